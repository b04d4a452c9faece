// One sandbox's start and end, and the uid it runs as.
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
#include <sys/resource.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sandbox.hpp"

namespace zarvosdk_sandbox {

/// A memfd holding a copy of the regular file `name` in the folder `dir`,
/// read without following a link (at most 16 MB); -1 when it is not one.
int copy_to_memfd(int dir, const char* name) {
    int from = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (from < 0) return -1;
    struct stat st;
    int copy = -1;
    if (file_status(from, st) && S_ISREG(st.st_mode) && st.st_size <= (16 << 20))
        copy = static_cast<int>(syscall(SYS_memfd_create, "zarvosdk-font-list", 1U /* MFD_CLOEXEC */));
    char buffer[65536];
    ssize_t got;
    while (copy >= 0 && (got = read(from, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 || !write_whole(copy, buffer, static_cast<std::size_t>(got))) {
            close(copy);
            copy = -1;
        }
    }
    close(from);
    if (copy >= 0 && lseek(copy, 0, SEEK_SET) != 0) {
        close(copy);
        copy = -1;
    }
    return copy;
}


std::string Sandbox::make_groups(const Launch& launch) {
    static std::atomic<unsigned> counter{0};
    unsigned serial = counter.fetch_add(1) + 1;
    const Limits& limits = launch.limits;
    // bubblewrap's monitor counts toward the pids group's limit but not
    // toward the code's.
    std::string problem = pids_.make(launch.pids, serial, {{"pids.max", std::to_string(limits.processes + 1)}}, {});
    if (!problem.empty()) return problem;
    std::string bytes = std::to_string(static_cast<unsigned long long>(limits.memory_mb) << 20);
    if (launch.memory.v2)
        return memory_.make(launch.memory, serial, {{"memory.max", bytes}}, {{"memory.swap.max", "0"}});
    memory_events_ = "memory.oom_control";
    return memory_.make(launch.memory, serial, {{"memory.limit_in_bytes", bytes}},
                        {{"memory.memsw.limit_in_bytes", bytes}});
}

// The ids a root host's sandboxes run as: from sandbox_id_base, a span of
// 2**24, each host starting in a block of 256 of its pid's own.
constexpr unsigned long sandbox_id_span = 1UL << 24;

/// The ids this process's sandboxes hold, from their start until they are reaped.
struct SandboxIds {
    std::mutex lock;
    std::set<unsigned long> held;
    unsigned long next = 0;
};

SandboxIds& sandbox_ids() {
    static SandboxIds* the_ids = new SandboxIds;  // never destroyed: a sandbox may stop at exit
    return *the_ids;
}

/// The sandbox ids some process of the machine runs as: another host's
/// sandboxes, or one of this host's whose processes are still ending.
std::set<unsigned long> sandbox_ids_running() {
    std::set<unsigned long> found;
    DIR* dir = opendir("/proc");
    if (!dir) return found;
    while (struct dirent* entry = readdir(dir)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        long uid = status_field(std::atol(entry->d_name), "Uid:");
        if (uid >= static_cast<long>(sandbox_id_base) && uid < static_cast<long>(sandbox_id_base + sandbox_id_span))
            found.insert(static_cast<unsigned long>(uid));
    }
    closedir(dir);
    return found;
}

/// Takes an id for a sandbox: its own uid and gid, which no other sandbox
/// of this host holds and no process runs as, so that two sandboxes never
/// share a uid (nor its process count); 0 when none is free.
unsigned long take_sandbox_id() {
    std::set<unsigned long> running = sandbox_ids_running();
    SandboxIds& ids = sandbox_ids();
    std::lock_guard<std::mutex> hold(ids.lock);
    const unsigned long block = (static_cast<unsigned long>(getpid()) & 0xffff) << 8;
    for (unsigned long tried = 0; tried < sandbox_id_span; ++tried) {
        unsigned long id = sandbox_id_base + (block + ids.next++) % sandbox_id_span;
        if (ids.held.count(id) || running.count(id)) continue;
        ids.held.insert(id);
        return id;
    }
    return 0;
}

void release_sandbox_id(unsigned long id) noexcept {
    if (id == 0) return;
    SandboxIds& ids = sandbox_ids();
    std::lock_guard<std::mutex> hold(ids.lock);
    ids.held.erase(id);
}

std::string Sandbox::start(const Launch& launch, Clock::time_point deadline, bool& late,
                           const std::function<void(pid_t)>& forked) {
    late = false;
    output_ = launch.output;
    file_limit_ = static_cast<std::uint64_t>(launch.limits.file_size_mb) << 20;
    std::string problem = make_groups(launch);
    if (!problem.empty()) return problem;
    // Requests go over a socket pair, which the host writes with MSG_NOSIGNAL:
    // a worker that died between runs must not raise SIGPIPE in a host that
    // does not ignore it (an embedding application's). Each request carries
    // the answer pipe of its run.
    Descriptors held;
    int request_pair[2] = {-1, -1}, ready_pipe[2] = {-1, -1}, error_pipe[2] = {-1, -1};
    bool made = socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, request_pair) == 0 &&
                pipe2(ready_pipe, O_CLOEXEC) == 0 && pipe2(error_pipe, O_CLOEXEC) == 0;
    for (int fd : {request_pair[0], request_pair[1], ready_pipe[0], ready_pipe[1], error_pipe[0], error_pipe[1]})
        if (fd >= 0) held.keep(fd);
    if (!made) return std::string("cannot make a pipe: ") + std::strerror(errno);
    int null_fd = held.keep(open("/dev/null", O_RDWR | O_CLOEXEC));

    ChildPlan plan;
    plan.as_other_user = launch.as_other_user;
    if (plan.as_other_user) {
        plan.id = id_ = take_sandbox_id();
        if (id_ == 0) return "no uid of the sandbox's range is free";
    }
    // Any folder will do (the child's tmpfs covers it in its own mount
    // namespace only, after it has opened what it lends).
    plan.lend_root = is_directory("/run") ? "/run" : "/tmp";
    for (const Group* group : {&pids_, &memory_})
        if (!group->dir.empty()) plan.joins.push_back(group->procs());
    const Limits& limits = launch.limits;
    plan.memory = static_cast<rlim_t>(limits.memory_mb) << 20;
    plan.file_size = static_cast<rlim_t>(limits.file_size_mb) << 20;
    plan.files = 256;
    std::vector<std::string> argv = launch.head;
    for (std::size_t i = 0; i < launch.lent.size(); ++i) {
        const Lent& lent = launch.lent[i];
        std::string source = lent.path;
        if (plan.as_other_user) {
            plan.lend_paths.push_back(lent.path);
            source = plan.lend_root + "/" + std::to_string(i);
            plan.lend_points.push_back(source);
            plan.lend_folder.push_back(lent.folder);
        }
        argv.insert(argv.end(), {"--ro-bind", source, lent.inside});
    }
    argv.insert(argv.end(), launch.after_lent.begin(), launch.after_lent.end());
    int fonts = launch.font_lists.empty() ? -1 : open(launch.font_folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fonts >= 0) {
        held.keep(fonts);
        for (const std::string& name : launch.font_lists) {
            int copy = copy_to_memfd(fonts, name.c_str());
            if (copy < 0) continue;
            plan.inherited.push_back(held.keep(copy));
            argv.insert(argv.end(), {"--ro-bind-data", std::to_string(copy), "/.zarvosdk/matplotlib/" + name});
        }
    }
    int filter = system_call_filter_fd();
    if (filter < 0) return std::string("cannot make the system call filter: ") + std::strerror(errno);
    plan.inherited.push_back(held.keep(filter));
    argv.insert(argv.end(), {"--seccomp", std::to_string(filter)});
    argv.insert(argv.end(), launch.tail.begin(), launch.tail.end());
    for (std::string& arg : argv) plan.argv.push_back(&arg[0]);
    plan.argv.push_back(nullptr);
    // Copies numbered 10 and up, so that placing the child's descriptors at
    // 0 to 4 never overwrites one still to be placed.
    int fds[5] = {null_fd, null_fd, error_pipe[1], request_pair[0], ready_pipe[1]};
    for (int i = 0; i < 5; ++i) plan.fds[i] = held.keep(fcntl(fds[i], F_DUPFD_CLOEXEC, 10));

    plan.program = held.keep(open(plan.argv[0], O_RDONLY | O_CLOEXEC));
    if (plan.program < 0) return std::string("cannot open ") + plan.argv[0] + ": " + std::strerror(errno);
    char magic[2] = {0, 0};
    plan.program_is_script = pread(plan.program, magic, 2, 0) == 2 && magic[0] == '#' && magic[1] == '!';
    std::function<void()> child = [&plan] { become_bubblewrap(plan); };
    pid_ = fork_on_launcher(child);
    int fork_error = errno;
    if (pid_ < 0) return std::string("cannot start bubblewrap: ") + std::strerror(fork_error);
    forked(pid_);
    requests_ = fcntl(request_pair[1], F_DUPFD_CLOEXEC, 0);
    errors_ = fcntl(error_pipe[0], F_DUPFD_CLOEXEC, 0);
    int ready_fd = held.keep(fcntl(ready_pipe[0], F_DUPFD_CLOEXEC, 0));
    for (int fd : {requests_, ready_fd, errors_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // The child's ends close here, so that the pipes report the child's end.
    for (int& fd : held.fds) {
        if (fd != ready_fd) close(fd);
        if (fd != ready_fd) fd = -1;
    }

    char ready = 0;
    Io io = read_exact(ready_fd, &ready, 1, deadline);
    if (io == Io::done && ready == 'R' && find_worker(deadline)) {
        settle();
        return "";
    }
    if (io == Io::late) {
        late = true;
        return "";
    }
    // bubblewrap or the interpreter failed before the worker began: their
    // message is on the error pipe, complete once the sandbox is reaped.
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    std::string message(2000, '\0');
    ssize_t got = read(errors_, &message[0], message.size());
    message.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    stop();
    return message.empty() ? "the sandbox ended before its interpreter started" : message;
}

/// Finds the worker (the monitor's child: it is the namespace's pid 1, so
/// every process of the sandbox descends from it and no process of
/// bubblewrap's is inside for the code to take over) and opens the code's
/// output tmpfs from outside, through the worker's root.
bool Sandbox::find_worker(Clock::time_point deadline) {
    while (seconds_left(deadline) > 0) {
        std::vector<long> workers = children_of(pid_);
        if (workers.size() == 1) {
            worker_ = workers[0];
            break;
        }
        pause_briefly();
    }
    if (worker_ < 0) return false;
    std::string root = "/proc/" + std::to_string(worker_) + "/root";
    int at = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (at < 0) return false;
    staging_ = open_below(at, output_);
    close(at);
    return staging_ >= 0;
}

void Sandbox::stop() noexcept {
    if (pid_ > 0) {
        // The monitor's death takes the namespace's init with it
        // (--die-with-parent), and the init's death every process inside.
        kill(pid_, SIGKILL);
        pids_.kill_all();
        memory_.kill_all();
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    // Its processes may still be ending: the next sandbox to take the id
    // looks for them first.
    release_sandbox_id(id_);
    id_ = 0;
    for (int* fd : {&requests_, &errors_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    pids_.remove();
    if (staging_ >= 0) {
        // The tmpfs outlives its namespace while the host holds it open.
        publish();
        close(staging_);
        staging_ = -1;
    }
    memory_.remove();
}

}  // namespace zarvosdk_sandbox
