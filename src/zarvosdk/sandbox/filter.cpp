// The system call filter.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>

#include "sandbox.hpp"

namespace zarvosdk_sandbox {

// bubblewrap loads it (--seccomp) just before it execs the worker. It
// narrows the kernel the code can reach to what an interpreter drawing charts
// uses: no tracing or reading of other processes' memory, no SysV IPC, keys,
// io_uring, userfaultfd, perf events, BPF, file notification, namespaces or
// mounts, modules or reboots; sockets of the local, IPv4 and IPv6 families
// only (the network namespace is empty); clone3 answers ENOSYS, so that the
// C library falls back to clone, whose namespace flags the filter can see.
// The calls that set another process's limits, scheduling or priority, which
// need only the same uid (the worker's), act on the caller alone: a run
// cannot change what the worker hands the runs after it.

std::vector<struct sock_filter> system_call_filter() {
    std::vector<struct sock_filter> program;
    auto statement = [&](std::uint16_t code, std::uint32_t k) { program.push_back(BPF_STMT(code, k)); };
    auto deny = [&](std::uint32_t error) { statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (error & SECCOMP_RET_DATA)); };
    // The return for system call `nr`, when it is the one loaded.
    auto when = [&](long nr, std::uint32_t error) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 1));
        deny(error);
    };
#if defined(__x86_64__)
    const std::uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const std::uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    const std::uint32_t arch = 0;
#endif
    // Another architecture's calling convention (i386 on x86-64): refused whole.
    statement(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0));
    deny(EPERM);
    statement(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr));
#if defined(__x86_64__)
    // The x32 calling convention.
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000U, 0, 1));
    deny(EPERM);
#endif
    const long refused[] = {
        SYS_ptrace, SYS_process_vm_readv, SYS_process_vm_writev, SYS_kcmp, SYS_keyctl, SYS_add_key,
        SYS_request_key, SYS_perf_event_open, SYS_bpf, SYS_userfaultfd, SYS_inotify_init1,
        SYS_inotify_add_watch, SYS_fanotify_init, SYS_fanotify_mark, SYS_unshare, SYS_setns, SYS_mount,
        SYS_umount2, SYS_pivot_root, SYS_chroot, SYS_init_module, SYS_finit_module, SYS_delete_module,
        SYS_kexec_load, SYS_reboot, SYS_swapon, SYS_swapoff, SYS_acct, SYS_quotactl,
        SYS_open_by_handle_at, SYS_name_to_handle_at, SYS_shmget, SYS_shmat, SYS_shmctl, SYS_shmdt,
        SYS_msgget, SYS_msgsnd, SYS_msgrcv, SYS_msgctl, SYS_semget, SYS_semop, SYS_semctl,
        SYS_semtimedop, SYS_personality, SYS_syslog,
#if defined(__x86_64__)
        SYS_inotify_init,
#endif
#ifdef SYS_pidfd_getfd
        SYS_pidfd_getfd,
#endif
#ifdef SYS_io_uring_setup
        SYS_io_uring_setup, SYS_io_uring_enter, SYS_io_uring_register,
#endif
#ifdef SYS_open_tree
        SYS_open_tree, SYS_move_mount, SYS_fsopen, SYS_fsconfig, SYS_fsmount, SYS_fspick,
#endif
#ifdef SYS_mount_setattr
        SYS_mount_setattr,
#endif
    };
    for (long nr : refused) when(nr, EPERM);
#ifdef SYS_clone3
    when(SYS_clone3, ENOSYS);
#endif
    // clone with a namespace flag (its first argument's low word).
    const std::uint32_t namespaces = 0x7E020000U;  // CLONE_NEWNS | NEWCGROUP | NEWUTS | NEWIPC | NEWUSER | NEWPID | NEWNET
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(SYS_clone), 0, 4));
    statement(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0]));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, namespaces, 0, 1));
    deny(EPERM);
    statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    // Calls whose first argument is a pid: 0 (the caller) only.
    for (long nr : {static_cast<long>(SYS_prlimit64), static_cast<long>(SYS_sched_setscheduler),
                    static_cast<long>(SYS_sched_setparam), static_cast<long>(SYS_sched_setaffinity),
#ifdef SYS_sched_setattr
                    static_cast<long>(SYS_sched_setattr),
#endif
                    static_cast<long>(SYS_migrate_pages)}) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 4));
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0]));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1));
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
        deny(EPERM);
    }
    // setpriority and ioprio_set (which, who, value): the caller's own
    // process (who 0) only, never its group or its user's processes.
    const std::pair<long, std::uint32_t> by_process[] = {{SYS_setpriority, 0 /* PRIO_PROCESS */},
                                                         {SYS_ioprio_set, 1 /* IOPRIO_WHO_PROCESS */}};
    for (const auto& call : by_process) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call.first), 0, 6));
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0]));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call.second, 0, 3));
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[1]));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1));
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
        deny(EPERM);
    }
    // socket and socketpair: the family (first argument) local, IPv4 or IPv6.
    for (long nr : {static_cast<long>(SYS_socket), static_cast<long>(SYS_socketpair)}) {
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(nr), 0, 6));
        statement(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0]));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 2, 0));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 1, 0));
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1));
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
        // (reached by the jump over the allow, or by a refused family)
        deny(EAFNOSUPPORT);
    }
    statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    return program;
}

/// A memfd holding the filter, for bubblewrap to read; -1 when none can be made.
int system_call_filter_fd() {
    std::vector<struct sock_filter> program = system_call_filter();
    int fd = static_cast<int>(syscall(SYS_memfd_create, "zarvosdk-seccomp", 1U /* MFD_CLOEXEC */));
    if (fd < 0) return -1;
    if (!write_whole(fd, reinterpret_cast<const char*>(program.data()), program.size() * sizeof program[0]) ||
        lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace zarvosdk_sandbox
