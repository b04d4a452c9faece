// The launcher thread, and the forked child that becomes bubblewrap.
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
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sandbox.hpp"

namespace zarvosdk_sandbox {

// bubblewrap's --die-with-parent follows the thread that forked it, not the
// process: a sandbox forked from a short-lived thread (an executor's, a web
// server's worker) would die when that thread ends. Every sandbox is forked
// from one thread that lives as long as the host process instead.

// The thread is made with the C library's pthread_create of its first
// version, which every glibc still exports: libstdc++'s std::thread and the
// current default version would raise the oldest C and C++ libraries the
// wheel runs with. Requests and answers pass through two pipes.
extern "C" int pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
extern "C" int pthread_detach(pthread_t);
#if defined(__GLIBC__) && defined(__x86_64__)
// x86-64's first glibc version; other machines link the default version.
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_detach,pthread_detach@GLIBC_2.2.5");
#endif

struct Launcher {
    std::mutex one_at_a_time;
    int ask[2] = {-1, -1};     // the requester writes a byte, the launcher reads it
    int answer[2] = {-1, -1};  // and the other way round when it has forked
    const std::function<void()>* child = nullptr;
    pid_t pid = -1;
    int error = 0;
};

Launcher* the_launcher = nullptr;  // never destroyed: its thread runs until the process ends

/// Reads or writes one byte, retrying after a signal.
bool pass_byte(int fd, bool reading) {
    char byte = 0;
    for (;;) {
        ssize_t done = reading ? read(fd, &byte, 1) : write(fd, &byte, 1);
        if (done == 1) return true;
        if (done < 0 && errno == EINTR) continue;
        return false;
    }
}

void* serve_forks(void* state) {
    auto* launcher = static_cast<Launcher*>(state);
    while (pass_byte(launcher->ask[0], true)) {
        pid_t pid = fork();
        if (pid == 0) (*launcher->child)();  // does not return
        launcher->pid = pid;
        launcher->error = errno;
        pass_byte(launcher->answer[1], false);
    }
    return nullptr;
}

/// Starts the launcher thread once; called with the GIL held, which orders
/// the first calls. Returns "" or what failed.
std::string start_launcher() {
    if (the_launcher) return "";
    auto launcher = std::make_unique<Launcher>();
    if (pipe2(launcher->ask, O_CLOEXEC) || pipe2(launcher->answer, O_CLOEXEC))
        return std::string("cannot make a pipe: ") + std::strerror(errno);
    pthread_t thread;
    int failed = pthread_create(&thread, nullptr, serve_forks, launcher.get());
    if (failed) return std::string("cannot start the launcher thread: ") + std::strerror(failed);
    pthread_detach(thread);
    the_launcher = launcher.release();
    return "";
}

/// Forks on the launcher thread; the child runs `child`, which must only
/// make async-signal-safe calls and exec or _exit. Returns the child's pid,
/// or -1 with errno set.
pid_t fork_on_launcher(const std::function<void()>& child) {
    Launcher* launcher = the_launcher;
    std::lock_guard<std::mutex> turn(launcher->one_at_a_time);
    launcher->child = &child;
    if (!pass_byte(launcher->ask[1], false) || !pass_byte(launcher->answer[0], true)) {
        errno = EPIPE;
        return -1;
    }
    errno = launcher->error;
    return launcher->pid;
}

// Starting bubblewrap ------------------------------------------------------------
//
// Everything the forked child needs is made before the fork (ChildPlan):
// between fork and exec it makes only system calls.

/// Writes `what` on the error pipe, where the host reads why a start failed.
[[noreturn]] void child_fails(const ChildPlan& plan, const char* what) {
    ssize_t ignored = write(plan.fds[2], what, std::strlen(what));
    (void)ignored;
    _exit(126);
}

/// "/proc/self/fd/<fd>" into `text` (32 bytes), without the C library's
/// formatting, which is not safe in a forked child.
void fd_path(int fd, char* text) {
    const char head[] = "/proc/self/fd/";
    std::memcpy(text, head, sizeof head - 1);
    char digits[12];
    int count = 0;
    do digits[count++] = static_cast<char>('0' + fd % 10);
    while ((fd /= 10) > 0);
    char* at = text + sizeof head - 1;
    while (count) *at++ = digits[--count];
    *at = '\0';
}

/// A root host's child: mounts the lent paths where the dedicated uid can
/// reach them (a private tmpfs over `lend_root`, in a mount namespace of its
/// own, so the host's file system is not touched) and becomes that uid and
/// gid with no supplementary groups.
void lend_and_drop(const ChildPlan& plan) {
    if (unshare(CLONE_NEWNS) != 0) child_fails(plan, "cannot make a mount namespace for the launch");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        child_fails(plan, "cannot make the launch's mounts private");
    // Opened in this namespace (a bind takes its source from the caller's
    // own), before the tmpfs can cover one of them.
    int opened[64];
    std::size_t count = plan.lend_paths.size();
    if (count > 64) child_fails(plan, "too many folders to lend");
    for (std::size_t i = 0; i < count; ++i) {
        opened[i] = open(plan.lend_paths[i].c_str(), O_PATH | O_CLOEXEC);
        if (opened[i] < 0) child_fails(plan, "cannot open the interpreter's files");
    }
    if (mount("tmpfs", plan.lend_root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64k") != 0)
        child_fails(plan, "cannot mount the launch's private tmpfs");
    for (std::size_t i = 0; i < count; ++i) {
        const char* point = plan.lend_points[i].c_str();
        if (plan.lend_folder[i]) {
            if (mkdir(point, 0755) != 0) child_fails(plan, "cannot make a mount point");
        } else {
            int fd = open(point, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) child_fails(plan, "cannot make a mount point");
            close(fd);
        }
        char source[32];
        fd_path(opened[i], source);
        if (mount(source, point, nullptr, MS_BIND | MS_REC, nullptr) != 0)
            child_fails(plan, "cannot lend the interpreter's files to the sandbox's uid");
        close(opened[i]);
    }
    // The system calls themselves: they change this thread only, which is
    // the whole of the forked child.
    if (syscall(SYS_setgroups, 0, nullptr) != 0 || syscall(SYS_setresgid, plan.id, plan.id, plan.id) != 0 ||
        syscall(SYS_setresuid, plan.id, plan.id, plan.id) != 0)
        child_fails(plan, "cannot become the sandbox's own uid");
}

/// Marks every descriptor from 5 up close-on-exec: whatever the host holds
/// without that flag (a launcher's redirections, an inherited listening
/// socket, another thread's pipe) would otherwise pass through bubblewrap to
/// the code. The descriptors the sandbox needs are cleared again afterwards.
void close_the_hosts_descriptors_on_exec(unsigned long open_limit) {
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 5U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
    const unsigned long last = std::min(open_limit, 1ul << 20);
    for (unsigned long fd = 5; fd < last; ++fd) fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
}

/// The forked child: enters the sandbox's control groups, sets the limits,
/// on a root host becomes the sandbox's uid, places its descriptors 0 to 4
/// and execs bubblewrap with an empty environment.
[[noreturn]] void become_bubblewrap(const ChildPlan& plan) {
    // Taken before the sandbox's own limit lowers it: descriptors the host
    // holds above that limit stay open until they are marked.
    struct rlimit host_files = {1024, 1024};
    getrlimit(RLIMIT_NOFILE, &host_files);
    const unsigned long open_limit = host_files.rlim_cur;
    for (const std::string& procs : plan.joins) {
        int fd = open(procs.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0 || write(fd, "0", 1) != 1) child_fails(plan, "cannot enter the sandbox's control group");
        close(fd);
    }
    struct rlimit as = {plan.memory, plan.memory}, fs = {plan.file_size, plan.file_size}, core = {0, 0};
    struct rlimit files = {plan.files, plan.files};
    if (setrlimit(RLIMIT_AS, &as) || setrlimit(RLIMIT_FSIZE, &fs) || setrlimit(RLIMIT_CORE, &core) ||
        setrlimit(RLIMIT_NOFILE, &files))
        child_fails(plan, "cannot set the sandbox's limits");
    if (plan.as_other_user) lend_and_drop(plan);
    if (chdir("/") != 0) _exit(126);
    for (int target = 0; target < 5; ++target)
        if (dup2(plan.fds[target], target) < 0) _exit(126);
    close_the_hosts_descriptors_on_exec(open_limit);
    for (int fd : plan.inherited)
        if (fcntl(fd, F_SETFD, 0) != 0) _exit(126);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // bubblewrap gets no environment either: nothing of the host's (keys,
    // preloaded libraries) reaches even the sandbox's own tooling.
    char* const no_environment[] = {nullptr};
    // From the descriptor the host opened: the sandbox's uid need not reach
    // the program's folder (a script's interpreter reads it through
    // /proc/self/fd, so a script's descriptor stays open across the exec).
    if (plan.program_is_script && fcntl(plan.program, F_SETFD, 0) != 0) _exit(126);
    syscall(SYS_execveat, plan.program, "", plan.argv.data(), no_environment, AT_EMPTY_PATH);
    child_fails(plan, "cannot run bubblewrap");
}

}  // namespace zarvosdk_sandbox
