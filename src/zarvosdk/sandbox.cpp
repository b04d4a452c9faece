// zarvosdk.sandbox: a code tool that looks to the framework and the model
// like its Python REPL tool, but runs the model's code in a bubblewrap
// sandbox: no network, a read-only view of the interpreter and the system
// libraries, one writable output folder, a private /tmp, an empty
// environment, its own process tree, and kernel limits on time, memory,
// processes and file size. It never runs code in the host: where the sandbox
// cannot be had, it raises SandboxUnavailable.
//
// One sandbox serves a tool object from its first run until the object is
// collected, the host exits or a limit stops the code. Its pid 1 (the worker,
// _sandbox_worker.py) never runs the code: each run is a process it forks,
// and it answers only once that process and every other of the sandbox have
// ended, so names do not persist between runs.
#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "../frame/attributes.hpp"
#include "../frame/call.hpp"
#include "../frame/class_builder.hpp"
#include "../frame/containers.hpp"
#include "../frame/conversions.hpp"
#include "../frame/function.hpp"
#include "../frame/imports.hpp"
#include "../frame/module_state.hpp"
#include "moved_names.hpp"

// This file is built in the C++ library's checked mode (CMakeLists.txt), so
// that its strings are made in the shared object instead of taken from a
// recent libstdc++. A failed check is reported through this function, which
// only libstdc++ 12 and later export: the shared object carries its own.
namespace std {
[[noreturn]] void __glibcxx_assert_fail(const char* file, int line, const char* function,
                                        const char* condition) noexcept {
    std::fprintf(stderr, "%s:%d: %s: check failed: %s\n", file, line, function, condition);
    std::abort();
}
}  // namespace std

namespace {

using zv::Borrowed;
using zv::Exact;
using zv::Ref;
using Clock = std::chrono::steady_clock;

#define NAMES(X)                                                                              \
    X(re) X(sub) X(os) X(sys) X(site) X(weakref) X(finalize) X(path) X(abspath) X(realpath)   \
    X(makedirs) X(exist_ok) X(getcwd) X(executable) X(prefix) X(base_prefix) X(exec_prefix)  \
    X(base_exec_prefix) X(getsitepackages) X(pop) X(BaseTool) X(Field) X(Optional)            \
    X(name) X(description) X(model_config) X(ignored_types) X(gt) X(le)   \
    X(timeout_seconds) X(memory_mb) X(max_processes) X(file_size_mb) X(output_bytes)          \
    X(output_dir) X(query) X(SandboxedPythonREPLTool) X(SandboxUnavailable) X(atexit)       \
    X(getusersitepackages)

#define TEXTS(X)                                                                             \
    X(head_pattern, "^(\\s|`)*(?i:python)?\\s*") X(tail_pattern, "(\\s|`)*$") X(empty, "")   \
    X(tool_name, "Python_REPL")                                                              \
    X(tool_description,                                                                      \
      "A Python shell. Use this to execute python commands. Input should be a valid python " \
      "command. If you want to see the output of a value, you should print it out with "     \
      "`print(...)`.")                                                                      \
    X(default_output, "media/images")                                                        \
    X(float_text, "float") X(int_text, "int") X(str_text, "str")                             \
    X(optional_text, "Optional[str]") X(return_key, "return")         \
    X(default_key, "default") X(file_key, "__file__")

struct {
    NAMES(ZV_DECLARE_NAME)
    TEXTS(ZV_DECLARE_TEXT)
    zv::Persistent sessions;     // id(tool) -> capsule of its Session
    zv::Persistent unavailable;  // the SandboxUnavailable class
} names;

void make_constants() {
    ZV_INTERN_TABLES(NAMES, TEXTS)
    names.sessions.set(zv::own(PyDict_New()));
}

void run_top_level(zv::ModuleState& state);

zv::ModuleState module_state = zv::define_module([](zv::ModuleDescription& description) {
    description.qualified_name = "zarvosdk.sandbox";
    description.source_file = "src/zarvosdk/sandbox.cpp";
    description.finds_moved_names(zarvosdk::moved_names);
    description.constants = make_constants;
    description.body = run_top_level;
});

// Limits and launch settings (plain data: used while the GIL is released) ------
// Limits and launch settings (plain data: used while the GIL is released) ------

struct Limits {
    double seconds = 30;
    long memory_mb = 1024;
    long processes = 64;
    long file_size_mb = 100;
    long output_bytes = 20000;
};

/// A host path the sandbox shows read-only at `inside`. A root host,
/// whose bubblewrap runs as a dedicated uid that may not reach the path (an
/// interpreter under root's mode-700 home), lends it through a mount in the
/// launching child's own mount namespace.
struct Lent {
    std::string path;
    std::string inside;
    bool folder = true;
};

/// A control group hierarchy the host may make this sandbox's group in.
struct GroupRoot {
    std::string dir;  // "" when none
    bool v2 = false;
};

struct Launch {
    std::vector<std::string> head;  // bubblewrap and its options before the lent paths
    std::vector<Lent> lent;
    std::vector<std::string> after_lent;  // the output folder's mount and the rest of the views
    std::string font_folder;              // the host's matplotlib cache ("" none)
    std::vector<std::string> font_lists;  // names of its font lists
    std::vector<std::string> tail;        // the last options and the command
    std::string output;                   // the application's output folder
    bool as_other_user = false;           // a root host: bubblewrap runs as a dedicated uid
    GroupRoot pids, memory;
    Limits limits;
};

// The answer frame: one kind byte, the count of bytes the code printed
// (8 bytes), the length of the text kept (4 bytes), big-endian, then the
// text. The worker is handed this format (for Python's struct) on its
// command line, so both sides read the one definition.
constexpr char answer_format[] = ">cQI";
constexpr std::size_t answer_header_size = 1 + 8 + 4;

// Each sandbox runs under its own host uid and gid, from this base up: a
// root host never gives the code root's rights, and the kernel's count of a
// user's processes is the sandbox's own.
constexpr unsigned long sandbox_id_base = 1517682688UL;
// Small POSIX helpers ------------------------------------------------------------

// open and access, not stat: the stat symbol of current C libraries is newer
// than the oldest one the wheel's manylinux tag promises.
bool is_directory(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool starts_with(const std::string& text, const std::string& head) {
    return text.size() >= head.size() && std::memcmp(text.data(), head.data(), head.size()) == 0;
}

/// Whether `path` is `root` or lies below it.
bool is_within(const std::string& path, const std::string& root) {
    if (root == "/") return true;
    return starts_with(path, root) &&
           (path.size() == root.size() || path[root.size()] == '/');
}

bool write_text(const std::string& file, const std::string& text) {
    int fd = open(file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && ok;
}

std::string read_text(const std::string& file, std::size_t limit = 65536) {
    std::string text;
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buffer[4096];
    ssize_t got;
    while (text.size() < limit && (got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    return text;
}

/// The first executable `name` on PATH (the usual folders when PATH is unset), or "".
std::string find_program(const char* name) {
    const char* env = std::getenv("PATH");
    std::string dirs = env ? env : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir(dirs.data() + start, end - start);
        if (!dir.empty()) {
            std::string candidate = dir + "/" + name;
            if (access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        start = end + 1;
    }
    return "";
}

/// Sleeps five milliseconds (between looks at a process that is ending).
void pause_briefly() {
    struct timespec five_ms = {0, 5000000};
    nanosleep(&five_ms, nullptr);
}

double seconds_left(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

/// Waits until `fd` is ready for `events` or the deadline passes.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        double left = seconds_left(deadline);
        if (left <= 0) return false;
        struct pollfd watched = {fd, events, 0};
        int ms = static_cast<int>(left * 1000) + 1;
        int ready = poll(&watched, 1, ms);
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

enum class Io { done, closed, late };

/// Moves `size` bytes at `data` with `step` (one read or send of what is
/// left), waiting for `events` between steps, until all have gone, the other
/// side has closed, or the deadline has passed.
template <class Byte, class Step>
Io transfer(int fd, short events, Byte* data, std::size_t size, Clock::time_point deadline, Step step) {
    while (size) {
        if (!wait_ready(fd, events, deadline)) return Io::late;
        ssize_t moved = step(data, size);
        if (moved == 0) return Io::closed;
        if (moved < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return Io::closed;
        }
        data += moved;
        size -= static_cast<std::size_t>(moved);
    }
    return Io::done;
}

Io read_exact(int fd, char* into, std::size_t size, Clock::time_point deadline) {
    return transfer(fd, POLLIN, into, size, deadline,
                    [fd](char* at, std::size_t left) { return read(fd, at, left); });
}

/// Sends on a stream socket without ever raising SIGPIPE.
Io write_all(int fd, const char* data, std::size_t size, Clock::time_point deadline) {
    return transfer(fd, POLLOUT, data, size, deadline, [fd](const char* at, std::size_t left) {
        return send(fd, at, left, MSG_NOSIGNAL);
    });
}

// The launcher thread -------------------------------------------------------------
//
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
// Everything the forked child needs is made before the fork: between fork
// and exec it makes only system calls.

struct ChildPlan {
    std::vector<char*> argv;
    std::vector<std::string> joins;  // cgroup.procs files the child enters
    rlim_t memory = 0, file_size = 0, files = 0;
    bool as_other_user = false;
    unsigned long id = 0;  // uid and gid when as_other_user
    std::string lend_root;  // where the lent paths are mounted ("/run")
    std::vector<std::string> lend_paths, lend_points;  // host path, its mount point
    std::vector<char> lend_folder;
    std::vector<int> inherited;  // descriptors bubblewrap reads (font lists)
    int fds[5] = {-1, -1, -1, -1, -1};  // its 0 to 4
    int program = -1;                   // bubblewrap, opened by the host
    bool program_is_script = false;
};

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

// The sandbox's processes, seen from the host ---------------------------------------

/// Whether process `pid` has ended (a zombie not yet reaped has).
bool process_gone(long pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat", 512);
    std::size_t close_paren = stat.rfind(')');
    return close_paren == std::string::npos || std::strncmp(stat.c_str() + close_paren, ") Z", 3) == 0;
}

/// The numbers in a text of whitespace-separated numbers.
std::vector<long> numbers_in(const std::string& text) {
    std::vector<long> found;
    const char* cursor = text.c_str();
    for (;;) {
        char* end;
        long value = std::strtol(cursor, &end, 10);
        if (end == cursor) break;
        if (value > 0) found.push_back(value);
        cursor = end;
    }
    return found;
}

/// The children of process `pid`, of all its threads.
std::vector<long> children_of(long pid) {
    std::vector<long> found;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return found;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        for (long child : numbers_in(read_text(tasks + "/" + entry->d_name + "/children")))
            found.push_back(child);
    }
    closedir(dir);
    return found;
}

/// A number a /proc/<pid>/status line gives ("Uid:"), or -1.
long status_field(long pid, const char* field) {
    // At a line's start: the first line is the name the process gave itself,
    // which may read "Uid:0".
    std::string status = "\n" + read_text("/proc/" + std::to_string(pid) + "/status");
    std::size_t at = status.find("\n" + std::string(field));
    if (at == std::string::npos) return -1;
    return std::atol(status.c_str() + at + 1 + std::strlen(field));
}

// Control groups ----------------------------------------------------------------------
//
// Where the host may make groups, each sandbox gets its own: a pids group
// (the kernel's per-user count does not hold root) and a memory group, which
// counts what the code keeps in tmpfs, /dev/shm and memfds as well as its
// heap.

/// This process's group path in the hierarchy of `controller` ("" for v2).
std::string own_group(const std::string& controller) {
    std::string table = read_text("/proc/self/cgroup");
    std::size_t start = 0;
    while (start < table.size()) {
        std::size_t end = table.find('\n', start);
        if (end == std::string::npos) end = table.size();
        std::string line = table.substr(start, end - start);
        std::size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first != std::string::npos && second != std::string::npos) {
            std::string names = line.substr(first + 1, second - first - 1);
            bool match = controller.empty() ? names.empty() : ("," + names + ",").find("," + controller + ",") != std::string::npos;
            if (match) {
                std::string path = line.substr(second + 1);
                return path == "/" ? std::string() : path;
            }
        }
        start = end + 1;
    }
    return "-";
}

/// The folder below which this host may make a group of `controller`: its
/// own group of a v1 hierarchy, or its v2 group where the controller is
/// delegated to subgroups.
GroupRoot group_root(const char* controller) {
    GroupRoot root;
    std::string v1 = own_group(controller);
    std::string dir = std::string("/sys/fs/cgroup/") + controller + (v1 == "-" ? "" : v1);
    if (v1 != "-" && is_directory(dir) && access(dir.c_str(), W_OK) == 0) {
        root.dir = dir;
        return root;
    }
    std::string v2 = own_group("");
    if (v2 == "-") return root;
    for (const char* mount : {"/sys/fs/cgroup/unified", "/sys/fs/cgroup"}) {
        std::string candidate = mount + v2;
        if (read_text(candidate + "/cgroup.subtree_control").find(controller) == std::string::npos) continue;
        if (access(candidate.c_str(), W_OK) != 0) continue;
        root.dir = candidate;
        root.v2 = true;
        return root;
    }
    return root;
}

/// Calls `remove` with the path of each entry of `root` named
/// zarvosdk-sandbox-<pid> whose host is gone: what hosts killed outright
/// left behind (the sandbox dies with its host, so nothing runs there).
template <class Remove>
void remove_left_behind(const std::string& root, Remove remove) {
    DIR* dir = opendir(root.c_str());
    if (!dir) return;
    const char prefix[] = "zarvosdk-sandbox-";
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix, sizeof prefix - 1) != 0) continue;
        long owner = std::atol(entry->d_name + sizeof prefix - 1);
        if (owner > 0 && owner != static_cast<long>(getpid()) && process_gone(owner))
            remove(root + "/" + entry->d_name);
    }
    closedir(dir);
}

/// One sandbox's group of one controller.
struct Group {
    std::string dir;  // "" when none

    /// Makes the group below `root` with `settings` (file, value; a value
    /// whose file is missing is skipped when `optional`). "" or what failed.
    std::string make(const GroupRoot& root, unsigned serial,
                     std::initializer_list<std::pair<const char*, std::string>> settings,
                     std::initializer_list<std::pair<const char*, std::string>> optional) {
        if (root.dir.empty()) return "";
        remove_left_behind(root.dir, [](const std::string& path) { rmdir(path.c_str()); });
        char name[96];
        std::snprintf(name, sizeof name, "/zarvosdk-sandbox-%ld-%u", static_cast<long>(getpid()), serial);
        std::string made = root.dir + name;
        if (mkdir(made.c_str(), 0700) != 0 && errno != EEXIST)
            return "cannot create the control group " + made + ": " + std::strerror(errno);
        dir = made;
        for (const auto& setting : settings)
            if (!write_text(dir + "/" + setting.first, setting.second))
                return std::string("cannot set ") + setting.first + " in " + dir + ": " + std::strerror(errno);
        for (const auto& setting : optional) write_text(dir + "/" + setting.first, setting.second);
        return "";
    }

    std::string procs() const { return dir.empty() ? "" : dir + "/cgroup.procs"; }

    /// A count from one of the group's event files ("max " of pids.events).
    long count(const char* file, const char* key) const {
        if (dir.empty()) return 0;
        std::string events = read_text(dir + "/" + file);
        std::size_t at = events.find(key);
        return at == std::string::npos ? 0 : std::atol(events.c_str() + at + std::strlen(key));
    }

    void kill_all() const {
        if (dir.empty()) return;
        for (long pid : numbers_in(read_text(procs()))) kill(static_cast<pid_t>(pid), SIGKILL);
    }

    /// Removes the group once the kernel has finished its killed processes.
    void remove() noexcept {
        if (dir.empty()) return;
        for (int i = 0; i < 200 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++i) {
            kill_all();
            pause_briefly();
        }
        dir.clear();
    }
};

// Publishing what the code wrote ------------------------------------------------
//
// The code writes into a tmpfs of the sandbox's own (bounded in bytes; with
// a memory group, counted as its memory), mounted at the output folder's
// path. The host holds that folder open from outside and, after each run and
// when the sandbox ends, copies into the application's output folder the
// regular files of the kinds a chart or a data export is, under plain names,
// at most 8 folders deep. Each file is opened without following a link and
// without blocking, written under a temporary name and renamed into place
// (a rename replaces a link instead of following it). A link, a pipe, a
// socket, a program or a dot-file the code made never reaches the output
// folder, so an application that reads a chart there cannot be led to one
// of its own files, kept waiting on a pipe, or handed a file that another
// program runs (a .py, a .pth, a shell profile).
//
// A name already in the output folder is replaced only when it is a file
// this tool published itself; every other one (the application's own
// files) stays as it is. The bounds and the marks of what was published
// belong to the tool, not to one sandbox: the code can end its interpreter
// whenever it likes, and a bound that a fresh sandbox reset would be none.

/// What a published file was when it was copied (copied again only when
/// changed), and the output file it became (device 0: the name was taken
/// by a file the tool did not publish, so nothing was copied).
struct FileMark {
    ino_t inode;
    off_t size;
    long seconds, nanoseconds;
    dev_t placed_device = 0;
    ino_t placed_inode = 0;
    bool same_source(const FileMark& o) const {
        return inode == o.inode && size == o.size && seconds == o.seconds && nanoseconds == o.nanoseconds;
    }
};

/// fstat through the system call: the C library's own fstat symbol is newer
/// than the oldest library the wheel's manylinux tag promises.
bool file_status(int fd, struct stat& st) { return syscall(SYS_fstat, fd, &st) == 0; }

constexpr int publish_depth = 8;          // folders below the output folder
constexpr long publish_entries = 1000;    // files and folders one tool publishes in its life
constexpr long publish_looks = 65536;     // entries looked at in one publication
constexpr int publish_run_files = 16;     // a run publishes at most this many files' worth of the size limit
constexpr int publish_run_seconds = 2;    // and copies for at most this long

/// What a tool has published and may still publish, kept across the
/// sandboxes it starts; used under its session's lock (or by its last owner).
struct Published {
    std::map<std::string, FileMark> marks;  // path below the output folder -> its file
    long entries_left = publish_entries;
    std::uint64_t run_bytes_left = 0;
    Clock::time_point run_until = Clock::time_point::max();  // max: no publication yet in this run

    /// A run begins: it may copy 16 files' worth of the size limit, for
    /// two seconds from its first publication on.
    void new_run(std::uint64_t file_limit) {
        run_bytes_left = file_limit * publish_run_files;
        run_until = Clock::time_point::max();
    }
};

const char* const published_kinds[] = {"png", "jpg", "jpeg", "gif", "webp", "pdf", "csv", "tsv", "json", "txt"};

/// A plain name: letters, digits, '_', '-' and '.', not starting with '.'
/// or '-', at most 128 bytes.
bool plain_name(const char* name) {
    std::size_t size = std::strlen(name);
    if (size == 0 || size > 128 || name[0] == '.' || name[0] == '-') return false;
    for (const char* c = name; *c; ++c)
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '_' && *c != '-' && *c != '.') return false;
    return true;
}

/// A plain name ending in one of the published kinds.
bool publishable_file(const char* name) {
    if (!plain_name(name)) return false;
    const char* dot = std::strrchr(name, '.');
    if (!dot || dot == name) return false;
    for (const char* kind : published_kinds)
        if (strcasecmp(dot + 1, kind) == 0) return true;
    return false;
}

struct Publication {
    Published& state;
    std::uint64_t file_limit;  // bytes of one file
    long looks_left = publish_looks;
    bool bound_hit = false;
    long taken = 0;            // names left alone, as files the tool did not publish hold them
    std::string first_taken;

    /// Whether the run's time for publishing is up (noted as a bound).
    bool out_of_time() {
        if (Clock::now() < state.run_until) return false;
        bound_hit = true;
        return true;
    }
};

bool write_whole(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

/// Whether `name` in the folder `dir` is the very file `mark` records
/// this tool placed there.
bool placed_by_tool(int dir, const char* name, const FileMark* mark) {
    if (!mark || mark->placed_device == 0) return false;
    int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool same = file_status(fd, st) && S_ISREG(st.st_mode) && st.st_dev == mark->placed_device &&
                st.st_ino == mark->placed_inode;
    close(fd);
    return same;
}

/// Whether `name` in `dir` is held by anything the tool did not publish.
bool taken_by_another(int dir, const char* name, const FileMark* mark) {
    int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return !placed_by_tool(dir, name, mark);
}

/// Renames `from` to `to` in `dir` unless `to` exists (EEXIST then).
/// renameat2's RENAME_NOREPLACE; where the kernel or the file system lacks
/// it, a hard link, which fails on an existing name too, and the old
/// name's removal.
int rename_without_replacing(int dir, const char* from, const char* to) {
#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1U << 0)
#endif
#ifdef SYS_renameat2
    if (syscall(SYS_renameat2, dir, from, dir, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL) return -1;
#endif
    if (linkat(dir, from, dir, to, 0) != 0) return -1;
    unlinkat(dir, from, 0);
    return 0;
}

enum class Placed { done, taken, failed };

/// Moves the written temporary file `part` to `name` in `to`: a new name,
/// or one holding the file this tool published there before.
Placed place_file(int to, const char* part, const char* name, const FileMark* known) {
    if (rename_without_replacing(to, part, name) == 0) return Placed::done;
    if (errno != EEXIST) return Placed::failed;
    if (!placed_by_tool(to, name, known)) return Placed::taken;
    return renameat(to, part, to, name) == 0 ? Placed::done : Placed::failed;
}

/// Copies the open file `from` into the new file `out`, within the file
/// size limit, the run's bytes and its time; false when it could not.
bool copy_within_bounds(int from, int out, std::uint64_t& copied, Publication& publication) {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        copied += static_cast<std::uint64_t>(got);
        if (copied > publication.file_limit || copied > publication.state.run_bytes_left ||
            publication.out_of_time()) {
            publication.bound_hit = true;
            return false;
        }
        if (!write_whole(out, buffer, static_cast<std::size_t>(got))) return false;
    }
}

/// Copies the open file `from` to `name` in the folder `to` and records
/// the output file in `mark`; the output folder keeps what it had when the
/// copy fails or the name is taken.
Placed copy_file(int from, int to, const char* name, FileMark& mark, const FileMark* known,
                 Publication& publication) {
    const char part[] = ".zarvosdk-sandbox-part";
    unlinkat(to, part, 0);
    int out = openat(to, part, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out < 0) return Placed::failed;
    std::uint64_t copied = 0;
    bool whole = copy_within_bounds(from, out, copied, publication);
    struct stat st;
    whole = file_status(out, st) && whole;
    whole = close(out) == 0 && whole;
    Placed placed = whole ? place_file(to, part, name, known) : Placed::failed;
    if (placed != Placed::done) {
        unlinkat(to, part, 0);
        return placed;
    }
    mark.placed_device = st.st_dev;
    mark.placed_inode = st.st_ino;
    publication.state.run_bytes_left -= copied;
    return placed;
}

/// Notes a name left alone because a file the tool did not publish holds it.
void note_taken(Publication& publication, const std::string& key) {
    if (publication.taken++ == 0) publication.first_taken = key;
}

/// Publishes the regular file `fd`, named `name` in the code's folder,
/// into the folder `to`; `key` is its path below the output folder.
void publish_file(int fd, const struct stat& st, int to, const char* name, const std::string& key,
                  Publication& publication) {
    FileMark mark{st.st_ino, st.st_size, static_cast<long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec};
    std::map<std::string, FileMark>& marks = publication.state.marks;
    auto found = marks.find(key);
    const FileMark* known = found == marks.end() ? nullptr : &found->second;
    if (known && known->same_source(mark)) return;
    if (taken_by_another(to, name, known)) {
        note_taken(publication, key);
        marks[key] = mark;  // not tried again until the code changes it
        return;
    }
    if (publication.state.entries_left <= 0) {
        publication.bound_hit = true;
        return;
    }
    Placed placed = copy_file(fd, to, name, mark, known, publication);
    if (placed == Placed::taken) note_taken(publication, key);
    if (placed == Placed::failed) return;
    marks[key] = mark;
    if (placed == Placed::done) --publication.state.entries_left;
}

/// Opens the output folder's subfolder `name` of `to`, making it (counted
/// as an entry) when it is missing; -1 when it is not a folder or the
/// bound stops it. A folder the application made is entered too: its files
/// follow the same rule.
int enter_folder(int to, const char* name, Publication& publication) {
    int sub = openat(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0 || errno != ENOENT) return sub;
    if (publication.state.entries_left <= 0) {
        publication.bound_hit = true;
        return -1;
    }
    if (mkdirat(to, name, 0777) != 0) return -1;
    --publication.state.entries_left;
    return openat(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

/// Publishes the folder `from` (the code's) into the folder `to` (output);
/// `prefix` is their path below the output folder.
void publish_folder(int from, int to, const std::string& prefix, int depth, Publication& publication) {
    int listed = openat(from, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0) close(listed);
        return;
    }
    std::vector<std::string> folders;
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (--publication.looks_left < 0 || publication.out_of_time()) {
            publication.bound_hit = true;
            break;
        }
        if (!plain_name(name)) continue;
        int fd = openat(from, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;  // a link (ELOOP), a socket, or gone
        struct stat st;
        if (file_status(fd, st) && S_ISDIR(st.st_mode) && depth < publish_depth) {
            if (folders.size() < 1000) folders.push_back(name);
        } else if (file_status(fd, st) && S_ISREG(st.st_mode) && publishable_file(name)) {
            publish_file(fd, st, to, name, prefix + name, publication);
        }
        close(fd);
    }
    closedir(dir);
    // A folder's files before its folders: a chart beside a folder of many
    // files is published before the bound on entries is reached.
    for (const std::string& name : folders) {
        int fd = openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        int sub = enter_folder(to, name.c_str(), publication);
        if (sub >= 0) {
            publish_folder(fd, sub, prefix + name + "/", depth + 1, publication);
            close(sub);
        }
        close(fd);
    }
}

/// Opens the folder `path` (absolute) below the folder `root`, following no
/// link on the way; -1 when it cannot.
int open_below(int root, const std::string& path) {
    int at = fcntl(root, F_DUPFD_CLOEXEC, 0);
    std::size_t start = 1;
    while (at >= 0 && start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        int next = openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(at);
        at = next;
    }
    return at;
}


// The system call filter ---------------------------------------------------------
//
// bubblewrap loads it (--seccomp) just before it execs the worker. It
// narrows the kernel the code can reach to what an interpreter drawing charts
// uses: no tracing or reading of other processes' memory, no SysV IPC, keys,
// io_uring, userfaultfd, perf events, BPF, file notification, namespaces or
// mounts, modules or reboots; sockets of the local, IPv4 and IPv6 families
// only (the network namespace is empty); clone3 answers ENOSYS, so that the
// C library falls back to clone, whose namespace flags the filter can see.

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
        SYS_semtimedop, SYS_personality,
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

// One running sandbox --------------------------------------------------------------

/// How a run ended.
enum class Outcome { output, memory, time, processes, file_size, ended, malformed };

struct Answer {
    Outcome outcome = Outcome::output;
    std::string text;        // what the code printed (output)
    std::uint64_t total = 0;  // bytes the code printed in all
    int status = 0;          // the wait status (ended)
};

/// Closes the descriptors it holds when it goes.
struct Descriptors {
    std::vector<int> fds;
    ~Descriptors() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    int keep(int fd) {
        fds.push_back(fd);
        return fd;
    }
};

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

class Sandbox {
public:
    /// `published`: the tool's record and bounds of what it published,
    /// which outlive this sandbox.
    explicit Sandbox(std::shared_ptr<Published> published) : published_(std::move(published)) {}
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox() { stop(); }

    /// Starts bubblewrap and waits for the worker's ready byte; `forked` is
    /// told the monitor's pid as soon as there is one. Returns "" on
    /// success, else what went wrong (bubblewrap's own message when it has one).
    std::string start(const Launch& launch, Clock::time_point deadline, bool& late,
                      const std::function<void(pid_t)>& forked);
    /// Sends one piece of code and reads the answer, then stops the worker
    /// until the next run.
    Answer exchange(const std::string& code, const Limits& limits, Clock::time_point deadline);
    /// Kills every process of the sandbox and reaps it, publishes what the
    /// code wrote last and lets its tmpfs go. Safe to call twice.
    void stop() noexcept;
    bool running() const { return pid_ > 0; }
    /// Copies what the code wrote since the last time into the output
    /// folder; a note when a bound stopped it, else "".
    std::string publish() noexcept;

private:
    std::string make_groups(const Launch& launch);
    bool find_worker(Clock::time_point deadline);
    Answer ended(Clock::time_point deadline);
    void settle();
    /// Signals the worker, once it is known (never pid -1: every process).
    void signal_worker(int signal_number) const {
        if (worker_ > 0) kill(static_cast<pid_t>(worker_), signal_number);
    }
    bool hit_process_limit() const { return pids_.count("pids.events", "max ") > 0; }
    bool hit_memory_limit() const { return memory_.count(memory_events_, "oom_kill ") > 0; }

    pid_t pid_ = -1;              // bubblewrap's monitor, our child
    long worker_ = -1;            // the worker, the namespace's pid 1, host pid
    int requests_ = -1, errors_ = -1, staging_ = -1;
    Group pids_, memory_;
    const char* memory_events_ = "memory.events";
    std::string output_;
    std::uint64_t file_limit_ = 0;
    unsigned long id_ = 0;  // the uid and gid a root host's sandbox runs as (0 none)
    std::shared_ptr<Published> published_;
};

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

/// After a run: stops the worker and checks that the sandbox holds nothing
/// but it and the next run's process, which the worker forks once it has
/// reaped every process of the run and which has run no code yet (it waits
/// for its code on a pipe of the worker's, so it is left running). Anything
/// more ends the sandbox: the next run starts a new one.
void Sandbox::settle() {
    signal_worker(SIGSTOP);
    std::size_t spares = 0;
    bool clean = true;
    for (long child : children_of(worker_)) {
        if (process_gone(child)) continue;
        if (++spares > 1 || !children_of(child).empty()) clean = false;
    }
    if (clean) return;
    stop();
    worker_ = -1;
}

/// The worker's answer pipe closed: waits (up to the deadline) for the
/// sandbox to end and says how it ended.
Answer Sandbox::ended(Clock::time_point deadline) {
    Answer answer;
    answer.outcome = Outcome::time;
    // Stopped already (the host is exiting): there is no process of its own
    // to wait for, and waitpid(-1) would reap one of the host's.
    if (pid_ <= 0) {
        answer.outcome = Outcome::ended;
        return answer;
    }
    while (seconds_left(deadline) > 0) {
        int status = 0;
        pid_t got = waitpid(pid_, &status, WNOHANG);
        if (got == pid_ || (got < 0 && errno == ECHILD)) {
            pid_ = -1;
            answer.outcome = Outcome::ended;
            answer.status = status;
            // bubblewrap exits with 128 + the signal that ended the code.
            if (WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGXFSZ)
                answer.outcome = Outcome::file_size;
            break;
        }
        pause_briefly();
    }
    if (hit_memory_limit()) answer.outcome = Outcome::memory;
    if (hit_process_limit()) answer.outcome = Outcome::processes;
    return answer;
}

/// Sends the request's length with the run's answer pipe attached.
Io send_with_descriptor(int socket, const unsigned char (&size)[4], int fd, Clock::time_point deadline) {
    if (!wait_ready(socket, POLLOUT, deadline)) return Io::late;
    struct iovec part = {const_cast<unsigned char*>(size), 4};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message = {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent;
    do sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent <= 0) return Io::closed;
    if (sent < 4) return write_all(socket, reinterpret_cast<const char*>(size) + sent, 4 - static_cast<std::size_t>(sent), deadline);
    return Io::done;
}

Answer Sandbox::exchange(const std::string& code, const Limits& limits, Clock::time_point deadline) {
    Answer answer;
    if (!running()) return ended(deadline);  // settle() found more than the worker and its spare
    signal_worker(SIGCONT);
    // A pipe of this run's own: what an earlier run left in a pipe, or wrote
    // to a copy of its descriptor, is never read as this run's answer.
    int answer_pipe[2];
    if (pipe2(answer_pipe, O_CLOEXEC) != 0) {
        answer.outcome = Outcome::malformed;
        return answer;
    }
    Descriptors held;
    int answers = held.keep(answer_pipe[0]);
    fcntl(answers, F_SETFL, fcntl(answers, F_GETFL) | O_NONBLOCK);
    unsigned char size[4];
    std::uint32_t length = static_cast<std::uint32_t>(code.size());
    for (int i = 0; i < 4; ++i) size[i] = static_cast<unsigned char>(length >> (24 - 8 * i));
    Io io = send_with_descriptor(requests_, size, answer_pipe[1], deadline);
    close(answer_pipe[1]);
    if (io == Io::done) io = write_all(requests_, code.data(), code.size(), deadline);
    unsigned char header[answer_header_size];
    if (io == Io::done) io = read_exact(answers, reinterpret_cast<char*>(header), sizeof header, deadline);
    if (io == Io::closed) return ended(deadline);
    if (io == Io::late) {
        answer.outcome = hit_process_limit() ? Outcome::processes : Outcome::time;
        return answer;
    }
    for (int i = 1; i <= 8; ++i) answer.total = (answer.total << 8) | header[i];
    std::uint32_t kept = 0;
    for (int i = 9; i <= 12; ++i) kept = (kept << 8) | header[i];
    char kind = static_cast<char>(header[0]);
    if (kept > static_cast<std::uint64_t>(limits.output_bytes) || (kind != 'o' && kind != 'm' && kind != 'p')) {
        answer.outcome = Outcome::malformed;
        return answer;
    }
    answer.text.resize(kept);
    io = kept ? read_exact(answers, &answer.text[0], kept, deadline) : Io::done;
    if (io == Io::closed) return ended(deadline);
    if (io == Io::late) answer.outcome = Outcome::time;
    else if (kind == 'm') answer.outcome = Outcome::memory;
    else if (kind == 'p') answer.outcome = Outcome::processes;
    if (hit_memory_limit()) answer.outcome = Outcome::memory;
    if (hit_process_limit()) answer.outcome = Outcome::processes;
    if (answer.outcome == Outcome::output) settle();
    return answer;
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

/// The lines a publication adds to the run's output: a bound that stopped
/// it, names left alone as the application's files hold them.
std::string publication_notes(const Publication& p) {
    std::string notes;
    if (p.bound_hit)
        notes += "\n[Output folder: the sandbox publishes at most " + std::to_string(publish_entries) +
                 " files and folders, each file within the file size limit, and in a run at most " +
                 std::to_string((p.file_limit * publish_run_files) >> 20) + " MB in " +
                 std::to_string(publish_run_seconds) + " seconds; the rest stayed in the sandbox.]";
    if (p.taken == 1)
        notes += "\n[Output folder: " + p.first_taken +
                 " was not published: the output folder holds a file of that name the sandbox did not write.]";
    if (p.taken > 1)
        notes += "\n[Output folder: " + p.first_taken + " and " + std::to_string(p.taken - 1) +
                 " more were not published: the output folder holds files of those names the sandbox did not write.]";
    return notes;
}

std::string Sandbox::publish() noexcept {
    if (staging_ < 0) return "";
    int to = open(output_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (to < 0) return "";
    Published& state = *published_;
    // The run's time for publishing starts with its first publication: a
    // run that timed out still publishes what it wrote, within that time.
    if (state.run_until == Clock::time_point::max())
        state.run_until = Clock::now() + std::chrono::seconds(publish_run_seconds);
    Publication p{state, file_limit_, publish_looks, false, 0, ""};
    std::string notes;
    try {
        publish_folder(staging_, to, "", 0, p);
        notes = publication_notes(p);
    } catch (...) {
        // Out of memory for a path: what was not copied stays in the sandbox.
    }
    close(to);
    return notes;
}

// The state of one tool object ---------------------------------------------------
//
// A session is shared between the tool's capsule and the threads in a run
// with it: a tool collected (or a host exiting) while another thread runs
// code in its sandbox ends the sandbox, and the session goes with the last
// of them.

struct Session {
    std::mutex lock;
    std::unique_ptr<Sandbox> sandbox;
    std::atomic<pid_t> monitor{-1};  // the running sandbox's monitor, for ending it from outside
    std::atomic<bool> closed{false};
    // What the tool published, and may still publish, across its sandboxes.
    std::shared_ptr<Published> published = std::make_shared<Published>();

    /// Ends the sandbox from any thread, without waiting for a run in it:
    /// the run then finds its sandbox gone.
    void end_from_outside() {
        closed = true;
        pid_t pid = monitor.load();
        if (pid > 0) kill(pid, SIGKILL);
    }
};

using SharedSession = std::shared_ptr<Session>;

/// The sessions alive, and the runs in flight, so that a host exiting can
/// end every sandbox and wait for the threads in a run before the
/// interpreter goes.
struct Registry {
    std::mutex lock;
    std::condition_variable idle;
    std::set<Session*> sessions;
    int runs = 0;
    bool exiting = false;
};

Registry& registry() {
    static Registry* the_registry = new Registry;  // never destroyed: threads may still use it at exit
    return *the_registry;
}

/// Counts a run in flight for as long as it lives (made and ended with the GIL held).
struct RunInFlight {
    bool admitted;
    RunInFlight() {
        std::lock_guard<std::mutex> hold(registry().lock);
        admitted = !registry().exiting;
        if (admitted) ++registry().runs;
    }
    ~RunInFlight() {
        if (!admitted) return;
        std::lock_guard<std::mutex> hold(registry().lock);
        if (--registry().runs == 0) registry().idle.notify_all();
    }
};

void destroy_session(PyObject* capsule) noexcept {
    auto* session = static_cast<SharedSession*>(PyCapsule_GetPointer(capsule, "zarvosdk.sandbox.Session"));
    if (!session) {
        PyErr_Clear();
        return;
    }
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        registry().sessions.erase(session->get());
    }
    (*session)->end_from_outside();
    Py_BEGIN_ALLOW_THREADS
    delete session;
    Py_END_ALLOW_THREADS
}

/// The session of `tool`, made on its first run; it ends (and its sandbox
/// with it) when the tool is collected or the host exits.
SharedSession session_of(PyObject* tool) {
    Ref key = zv::own(PyLong_FromVoidPtr(tool));
    PyObject* found = PyDict_GetItemWithError(names.sessions.get(), key.get());
    if (!found && PyErr_Occurred()) zv::raise();
    if (!found) {
        auto session = std::make_unique<SharedSession>(std::make_shared<Session>());
        Session* raw = session->get();
        Ref capsule = zv::own(PyCapsule_New(session.get(), "zarvosdk.sandbox.Session", destroy_session));
        session.release();
        {
            std::lock_guard<std::mutex> hold(registry().lock);
            registry().sessions.insert(raw);
        }
        zv::check(PyDict_SetItem(names.sessions.get(), key.get(), capsule.get()));
        Ref pop = zv::getattr(names.sessions, names.pop);
        zv::call(zv::getattr(module_state.global(names.weakref), names.finalize), {tool, pop, key, Py_None});
        found = capsule.get();
    }
    auto* session = static_cast<SharedSession*>(PyCapsule_GetPointer(found, "zarvosdk.sandbox.Session"));
    if (!session) zv::raise();
    return *session;
}

/// Called as the host exits (registered with atexit, so before the
/// interpreter finalises): ends every sandbox, refuses new runs, and waits
/// (five seconds at most) for the threads in a run to leave it, so that none
/// comes back into an interpreter that is going.
Ref end_all_sandboxes(PyObject* const*) {
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> hold(registry().lock);
        registry().exiting = true;
        for (Session* session : registry().sessions) session->end_from_outside();
        registry().idle.wait_for(hold, std::chrono::seconds(5), [] { return registry().runs == 0; });
    }
    Py_END_ALLOW_THREADS
    return Ref::borrow(Py_None);
}

const zv::FunctionDef end_all_sandboxes_def{
    "_end_all_sandboxes", "_end_all_sandboxes", "Ends every sandbox as the host exits.", ZV_HERE,
    end_all_sandboxes, {}};

// Reading the tool's settings --------------------------------------------------


[[noreturn]] void refuse_setting(const zv::Name& field, const char* what) {
    zv::raise(PyExc_ValueError, "SandboxedPythonREPLTool: %U must be %s", field.get(), what);
}

/// A limit the tool object holds: a whole number from 1 to 2**30 (sizes in
/// MB or bytes past that overflow what the kernel and the answer header take).
long positive_integer(PyObject* tool, const zv::Name& field) {
    Ref value = zv::getattr(tool, field);
    long number = PyLong_AsLong(value.get());
    if (number == -1 && PyErr_Occurred()) zv::raise();
    if (number <= 0 || number > (1L << 30)) refuse_setting(field, "a whole number from 1 to 2**30");
    return number;
}

Limits read_limits(PyObject* tool) {
    Limits limits;
    Ref seconds = zv::getattr(tool, names.timeout_seconds);
    limits.seconds = PyFloat_AsDouble(seconds.get());
    if (limits.seconds == -1 && PyErr_Occurred()) zv::raise();
    if (!(limits.seconds > 0) || limits.seconds > 1e6) refuse_setting(names.timeout_seconds, "a number of seconds from 0 to 10**6");
    limits.memory_mb = positive_integer(tool, names.memory_mb);
    limits.processes = positive_integer(tool, names.max_processes);
    limits.file_size_mb = positive_integer(tool, names.file_size_mb);
    limits.output_bytes = positive_integer(tool, names.output_bytes);
    return limits;
}

std::string utf8(Borrowed text) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) zv::raise();
    return std::string(data, static_cast<std::size_t>(size));
}

/// The code as UTF-8 for the worker; lone surrogates pass as they are, for
/// the worker's compiler to judge as the framework's tool would.
std::string code_bytes(Borrowed code) {
    Ref bytes = zv::own(PyUnicode_AsEncodedString(code, "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Ref call_path(const zv::Name& function, Borrowed arg) {
    Ref path_module = zv::getattr(module_state.global(names.os), names.path);
    return zv::call_method(path_module, function, {arg});
}

const char* const system_folders[] = {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32",
                                      "/etc", "/proc", "/dev", "/sys", "/boot", "/run", "/var/lib",
                                      "/var/cache", "/var/spool", "/var/log", "/var/mail"};

/// `path` resolved, or "" when it is not a string.
std::string resolved(Borrowed path) {
    if (!PyUnicode_Check(path)) return "";
    return utf8(call_path(names.realpath, path));
}

/// The folders Python imports from: the host interpreter's sys.path,
/// PYTHONPATH, and the user's site directory.
std::vector<std::string> import_folders() {
    std::vector<std::string> folders;
    Ref sys = module_state.global(names.sys);
    Ref path = zv::getattr(sys, names.path);
    Ref entries = zv::own(PySequence_Fast(path.get(), "sys.path is not a list"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(entries.get()); ++i) {
        // "" (the working directory of an interactive host, which may be the
        // output folder itself) is left to the publishing rules: no .py,
        // .pth or dot-file is ever published.
        Borrowed entry = PySequence_Fast_GET_ITEM(entries.get(), i);
        if (PyUnicode_Check(entry) && PyUnicode_GetLength(entry) == 0) continue;
        std::string folder = resolved(entry);
        if (!folder.empty()) folders.push_back(folder);
    }
    if (const char* extra = std::getenv("PYTHONPATH")) {
        std::string list = extra;
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) {
                Ref text = zv::own(PyUnicode_DecodeFSDefaultAndSize(list.data() + start, static_cast<Py_ssize_t>(end - start)));
                folders.push_back(resolved(call_path(names.abspath, text).get()));
            }
            start = end + 1;
        }
    }
    Ref user_site = zv::call_method(module_state.global(names.site), names.getusersitepackages);
    std::string user = resolved(user_site.get());
    if (!user.empty()) folders.push_back(user);
    return folders;
}

/// The home folders of the host's accounts (and HOME).
std::vector<std::string> home_folders() {
    std::vector<std::string> homes;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') homes.push_back(home);
    setpwent();
    while (struct passwd* account = getpwent())
        if (account->pw_dir && account->pw_dir[0] == '/' && std::strcmp(account->pw_dir, "/") != 0)
            homes.push_back(account->pw_dir);
    endpwent();
    return homes;
}

/// Whether a folder of `path` below the root starts with a dot (~/.ssh,
/// ~/.config, a project's .git).
bool has_dot_folder(const std::string& path) {
    return path.find("/.") != std::string::npos;
}

/// Refuses an output folder that would open to the code, or arm for the
/// host, what the sandbox shows read-only or not at all: the root, the
/// host's whole /tmp, a system folder, the interpreter's files, a folder
/// Python imports from, a home folder, a dot-folder (a home's ~/.ssh, ~/.config),
/// or a folder holding one of them.
void check_output_folder(const std::string& output, const std::vector<std::string>& folders) {
    bool overlaps = output == "/" || output == "/tmp" || has_dot_folder(output);
    for (const std::string& home : home_folders()) overlaps = overlaps || is_within(home, output);
    for (const char* system : system_folders)
        overlaps = overlaps || is_within(output, system) || is_within(system, output);
    for (const std::string& folder : folders)
        overlaps = overlaps || is_within(output, folder) || is_within(folder, output);
    for (const std::string& folder : import_folders()) overlaps = overlaps || is_within(folder, output);
    if (overlaps)
        zv::raise(PyExc_ValueError,
                  "SandboxedPythonREPLTool: output_dir %s would let the code write to the system's "
                  "or the interpreter's files, the home folder or all of /tmp; give it a folder of its own",
                  output.c_str());
}

/// The writable folder as an absolute, resolved path, made if missing,
/// once it is known to be a folder the code may have.
std::string output_folder(PyObject* tool, const std::vector<std::string>& folders) {
    Ref given = zv::getattr(tool, names.output_dir);
    Borrowed chosen = given.get() == Py_None ? names.default_output.get() : given.get();
    Ref folder = call_path(names.realpath, call_path(names.abspath, chosen));
    std::string path = utf8(folder);
    check_output_folder(path, folders);
    zv::call_method(module_state.global(names.os), names.makedirs, {folder}, {{names.exist_ok, Py_True}});
    return path;
}

[[noreturn]] void unavailable(const std::string& why) {
    zv::raise(names.unavailable.get(), "the sandboxed Python tool cannot run code: %s", why.c_str());
}

std::vector<std::string> interpreter_folders() {
    std::vector<std::string> folders;
    Ref sys = module_state.global(names.sys);
    auto add = [&](Borrowed path) {
        if (!PyUnicode_Check(path)) return;
        std::string resolved = utf8(call_path(names.realpath, path));
        if (!is_directory(resolved)) return;
        for (const std::string& known : folders)
            if (is_within(resolved, known)) return;
        folders.push_back(resolved);
    };
    for (const zv::Name* name : {&names.base_prefix, &names.base_exec_prefix, &names.prefix, &names.exec_prefix})
        add(zv::getattr(sys, *name));
    Ref packages = zv::call_method(module_state.global(names.site), names.getsitepackages);
    Ref items = zv::own(PySequence_Fast(packages.get(), "site.getsitepackages() is not a list"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i)
        add(PySequence_Fast_GET_ITEM(items.get(), i));
    // Package folders a .pth file put on sys.path (another venv's, a
    // checkout's): the code imports from them as the host does.
    Ref path = zv::getattr(sys, names.path);
    Ref entries = zv::own(PySequence_Fast(path.get(), "sys.path is not a list"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(entries.get()); ++i) {
        Borrowed entry = PySequence_Fast_GET_ITEM(entries.get(), i);
        std::string text = PyUnicode_Check(entry) ? utf8(entry) : "";
        for (const char* packages : {"/site-packages", "/dist-packages"}) {
            std::size_t size = std::strlen(packages);
            if (text.size() > size && text.compare(text.size() - size, size, packages) == 0) add(entry);
        }
    }
    return folders;
}

void add(std::vector<std::string>& argv, std::initializer_list<std::string> args) {
    argv.insert(argv.end(), args);
}

/// A tmpfs of `megabytes` at `path`. With a memory group its pages count as
/// the code's memory; without one its size bounds them.
void add_tmpfs(std::vector<std::string>& argv, const std::string& path, long megabytes) {
    add(argv, {"--size", std::to_string(static_cast<unsigned long long>(megabytes) << 20), "--tmpfs", path});
}

/// The system part of the sandbox's file system: /usr and the links or
/// folders of the root that lead into it, what the dynamic loader, fonts and
/// time zone need from /etc, fresh /proc (its writable knobs, /proc/sys
/// among them, read-only), /dev with a bounded /dev/shm, and a bounded /tmp.
void add_system_view(std::vector<std::string>& argv, const Limits& limits) {
    add(argv, {"--ro-bind", "/usr", "/usr"});
    for (const char* top : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        char target[4096];
        ssize_t size = readlink(top, target, sizeof target - 1);
        if (size > 0) add(argv, {"--symlink", std::string(target, static_cast<std::size_t>(size)), top});
        else if (is_directory(top)) add(argv, {"--ro-bind", top, top});
    }
    for (const char* file : {"/etc/ld.so.cache", "/etc/ld.so.conf", "/etc/ld.so.conf.d",
                             "/etc/fonts", "/etc/localtime", "/etc/alternatives"})
        add(argv, {"--ro-bind-try", file, file});
    add(argv, {"--proc", "/proc"});
    for (const char* knob : {"/proc/sys", "/proc/sysrq-trigger", "/proc/irq", "/proc/bus", "/proc/fs"})
        add(argv, {"--ro-bind-try", knob, knob});
    add(argv, {"--dev", "/dev"});
    add_tmpfs(argv, "/dev/shm", limits.memory_mb);
    add_tmpfs(argv, "/tmp", limits.memory_mb);
}

/// Whether the host's working directory can appear inside as an empty private
/// folder (not the root, /tmp itself, or a system or interpreter folder).
bool can_mirror_workdir(const std::string& cwd, const std::vector<std::string>& folders) {
    if (cwd == "/" || cwd == "/tmp") return false;
    for (const char* system : system_folders)
        if (is_within(cwd, system)) return false;
    for (const std::string& folder : folders)
        if (is_within(cwd, folder)) return false;
    return true;
}

const char* const sandbox_environment[][2] = {
    {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"HOME", "/tmp"}, {"TMPDIR", "/tmp"},
    {"LANG", "C.UTF-8"}, {"MPLBACKEND", "Agg"}, {"MPLCONFIGDIR", "/tmp/.matplotlib"},
    {"OPENBLAS_NUM_THREADS", "1"}, {"OMP_NUM_THREADS", "1"}, {"MKL_NUM_THREADS", "1"},
    {"PYTHONDONTWRITEBYTECODE", "1"}};

const char worker_file[] = "_sandbox_worker.py";  // beside this module's file
const char worker_inside[] = "/.zarvosdk/worker.py";

/// The host's matplotlib cache folder (where matplotlib itself looks), or "".
std::string matplotlib_cache() {
    if (const char* config = std::getenv("MPLCONFIGDIR")) return config;
    if (const char* cache = std::getenv("XDG_CACHE_HOME")) return std::string(cache) + "/matplotlib";
    if (const char* home = std::getenv("HOME")) return std::string(home) + "/.cache/matplotlib";
    return "";
}

/// Names the font lists of the host's matplotlib cache. The host reads them
/// itself when a sandbox starts (no link followed) and hands in their
/// content, which the worker copies into its own cache: a fresh sandbox then
/// skips the second or so matplotlib takes to list the system's fonts.
/// Nothing else of the cache folder, and nothing by path, reaches the sandbox.
void add_font_lists(Launch& launch) {
    std::string folder = matplotlib_cache();
    int fd = folder.empty() ? -1 : open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir) {
        if (fd >= 0) close(fd);
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (!starts_with(name, "fontlist-v") || name.size() < 15 || name.size() > 64 ||
            std::strcmp(name.c_str() + name.size() - 5, ".json") != 0 || !plain_name(name.c_str()))
            continue;
        launch.font_lists.push_back(name);
    }
    closedir(dir);
    launch.font_folder = folder;
}

/// The bubblewrap command line for `tool`'s sandbox. The code's working
/// directory is the host's working directory seen as an empty private folder,
/// with the output folder at its own path: a chart saved under the relative
/// path of the agent's prompt lands in the output folder, and one saved into
/// "the current directory" is moved there after the run.
Launch make_launch(PyObject* tool, const std::string& bwrap) {
    Launch launch;
    launch.limits = read_limits(tool);
    const Limits& limits = launch.limits;
    std::string python = utf8(zv::getattr(module_state.global(names.sys), names.executable));
    if (python.empty() || python[0] != '/') unavailable("the interpreter's own path (sys.executable) is unknown");
    std::string worker = utf8(call_path(names.realpath, module_state.global(names.file_key.get())));
    worker.resize(worker.rfind('/') + 1);
    worker += worker_file;
    if (!exists(worker)) unavailable("its worker program " + worker + " is missing from the installation");
    std::vector<std::string> folders = interpreter_folders();
    std::string output = output_folder(tool, folders);
    std::string cwd = utf8(call_path(names.realpath, zv::call_method(module_state.global(names.os), names.getcwd)));
    launch.as_other_user = geteuid() == 0;

    std::vector<std::string>& head = launch.head;
    add(head, {bwrap, "--unshare-all", "--unshare-user", "--disable-userns", "--die-with-parent",
               "--as-pid-1", "--new-session", "--cap-drop", "ALL", "--clearenv"});
    for (const auto& entry : sandbox_environment) add(head, {"--setenv", entry[0], entry[1]});
    add_system_view(head, limits);
    bool mirror = can_mirror_workdir(cwd, folders) && cwd != output;
    if (mirror) add_tmpfs(head, cwd, limits.memory_mb);
    for (const std::string& folder : folders)
        if (!is_within(folder, "/usr")) launch.lent.push_back({folder, folder, true});
    launch.lent.push_back({worker, worker_inside, false});
    // The code writes into a tmpfs of its own at the output folder's path,
    // which the host publishes into the output folder after each run.
    add_tmpfs(launch.after_lent, output, std::min(limits.memory_mb, 16 * limits.file_size_mb));
    launch.output = output;
    add_font_lists(launch);
    // The sandbox's own root (where the mount points live) read-only too.
    add(launch.tail, {"--remount-ro", "/"});
    add(launch.tail, {"--chdir", mirror ? cwd : output, "--", python, "-E", "-s", "-B", worker_inside,
                      std::to_string(limits.output_bytes), mirror ? output : "", std::to_string(limits.processes),
                      answer_format});
    return launch;
}

// SandboxedPythonREPLTool._run ------------------------------------------------------

/// The model's input as the framework's tool cleans it: surrounding
/// whitespace and backticks, and a leading "python", removed.
Ref sanitised(Borrowed query) {
    Ref sub = zv::getattr(module_state.global(names.re), names.sub);
    Ref head_done = zv::call(sub, {names.head_pattern, names.empty, query});
    return zv::call(sub, {names.tail_pattern, names.empty, head_done});
}

std::string describe_end(int status) {
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code > 128) {
        int signal_number = code - 128;
        const char* name = strsignal(signal_number);
        return "killed by signal " + std::to_string(signal_number) + " (" + (name ? name : "?") + ")";
    }
    return "exit status " + std::to_string(code);
}

std::string format_seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

/// The one line the model reads when the sandbox was ended.
std::string limit_line(const Answer& answer, const Limits& limits) {
    const char* stop = "The sandbox stopped the code and ended its interpreter: ";
    switch (answer.outcome) {
    case Outcome::time:
        return stop + ("it ran past the time limit of " + format_seconds(limits.seconds) + " seconds.");
    case Outcome::memory:
        return stop + ("it needed more than the memory limit of " + std::to_string(limits.memory_mb) + " MB.");
    case Outcome::processes:
        return stop + ("it started more processes than the process limit of " + std::to_string(limits.processes) + ".");
    case Outcome::file_size:
        return stop + ("it wrote a file past the size limit of " + std::to_string(limits.file_size_mb) + " MB.");
    case Outcome::malformed:
        return "The sandbox's interpreter sent a malformed answer and was ended.";
    case Outcome::ended:
        return "The code ended the sandbox's interpreter (" + describe_end(answer.status) + ").";
    case Outcome::output:
        break;
    }
    return "";
}

std::string output_text(const Answer& answer, const Limits& limits) {
    std::string text = answer.text;
    if (answer.total > static_cast<std::uint64_t>(limits.output_bytes))
        text += "\n[Output cut: the code printed " + std::to_string(answer.total) +
                " bytes; the sandbox returns the first " + std::to_string(limits.output_bytes) + ".]";
    return text;
}

/// Runs `code` in the session's sandbox, starting one when none is running.
/// Called without the GIL; `problem` is set when no sandbox could start.
std::string run_in_session(Session& session, const Launch& launch, const std::string& code,
                           std::string& problem) {
    std::lock_guard<std::mutex> guard(session.lock);
    Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(launch.limits.seconds));
    if (session.closed) {
        problem = "the host is exiting";
        return "";
    }
    session.published->new_run(static_cast<std::uint64_t>(launch.limits.file_size_mb) << 20);
    if (session.sandbox && !session.sandbox->running()) session.sandbox.reset();
    Answer answer;
    answer.outcome = Outcome::output;
    if (!session.sandbox) {
        session.sandbox = std::make_unique<Sandbox>(session.published);
        bool late = false;
        problem = session.sandbox->start(launch, deadline, late, [&session](pid_t monitor) {
            // Known from here on to a host that exits; one that began exiting
            // before it was known (it checks after it marks the session
            // closed) is seen here.
            session.monitor = monitor;
            if (session.closed) kill(monitor, SIGKILL);
        });
        if (!problem.empty() || session.closed) {
            if (session.closed) problem = "the host is exiting";
            session.monitor = -1;
            session.sandbox.reset();
            return "";
        }
        if (late) answer.outcome = Outcome::time;
    }
    if (answer.outcome == Outcome::output) answer = session.sandbox->exchange(code, launch.limits, deadline);
    if (answer.outcome == Outcome::output) return output_text(answer, launch.limits) + session.sandbox->publish();
    std::string text = limit_line(answer, launch.limits);
    session.monitor = -1;
    session.sandbox.reset();
    // The host ended it as it exits: the code did not.
    if (session.closed) problem = "the host is exiting";
    return text;
}

Ref tool_run(PyObject* const* args) {
    PyObject* self = args[0];
    std::string bwrap = find_program("bwrap");
    if (bwrap.empty())
        unavailable("bubblewrap (the bwrap program) is not installed; install it "
                    "(Debian, Ubuntu: apt-get install bubblewrap; Fedora: dnf install bubblewrap)");
    Launch launch = make_launch(self, bwrap);
    // Groups where the host may make them; else the kernel's limits alone.
    launch.pids = group_root("pids");
    launch.memory = group_root("memory");
    std::string code = code_bytes(sanitised(args[1]));
    std::string launcher = start_launcher();
    if (!launcher.empty()) unavailable(launcher);
    SharedSession session = session_of(self);
    std::string problem, result;
    // Counted until this thread holds the GIL again: a host exiting waits
    // for it before the interpreter finalises, so it never comes back into
    // one that is going.
    RunInFlight run;
    if (!run.admitted) unavailable("the host is exiting");
    Py_BEGIN_ALLOW_THREADS
    result = run_in_session(*session, launch, code, problem);
    Py_END_ALLOW_THREADS
    if (problem == "the host is exiting") unavailable(problem);
    if (!problem.empty())
        unavailable("the sandbox did not start (" + problem +
                    "); where the kernel refuses user namespaces (some containers), allow them "
                    "or run on a host that does");
    return zv::own(PyUnicode_DecodeUTF8(result.data(), static_cast<Py_ssize_t>(result.size()), "replace"));
}

const zv::FunctionDef tool_run_def{
    "_run", "SandboxedPythonREPLTool._run", "Runs the code in the sandbox and returns what it printed.",
    ZV_HERE, tool_run, {{"self"}, {"query", Exact::str}}};

// The class -------------------------------------------------------------------------


/// A field with a default that must be greater than zero and at most `most`.
Ref positive_field(Borrowed default_value, Borrowed most) {
    return zv::call(module_state.global(names.Field), {},
                    {{names.default_key, default_value}, {names.gt, zv::integer(0)}, {names.le, most}});
}

void tool_body(zv::ModuleState& state, PyObject* ns) {
    bool v2 = zv::is_pydantic_v2_model(state.global(names.BaseTool).get());
    Ref annotations = zv::dict({{names.name, names.str_text},
                                {names.description, names.str_text},
                                {names.timeout_seconds, names.float_text},
                                {names.memory_mb, names.int_text},
                                {names.max_processes, names.int_text},
                                {names.file_size_mb, names.int_text},
                                {names.output_bytes, names.int_text},
                                {names.output_dir, names.optional_text}});
    zv::set_entry(ns, "__annotations__", annotations.get());
    if (v2) {
        Ref ignored = zv::tuple({reinterpret_cast<PyObject*>(zv::function_type())});
        zv::set_entry(ns, names.model_config, zv::dict({{names.ignored_types, ignored}}));
    }
    Limits defaults;
    zv::set_entry(ns, names.name, names.tool_name);
    zv::set_entry(ns, names.description, names.tool_description);
    Ref most_seconds = zv::integer(1000000), most = zv::integer(1L << 30);
    zv::set_entry(ns, names.timeout_seconds,
                  positive_field(zv::own(PyFloat_FromDouble(defaults.seconds)), most_seconds));
    zv::set_entry(ns, names.memory_mb, positive_field(zv::integer(defaults.memory_mb), most));
    zv::set_entry(ns, names.max_processes, positive_field(zv::integer(defaults.processes), most));
    zv::set_entry(ns, names.file_size_mb, positive_field(zv::integer(defaults.file_size_mb), most));
    zv::set_entry(ns, names.output_bytes, positive_field(zv::integer(defaults.output_bytes), most));
    zv::set_entry(ns, names.output_dir, Py_None);
    zv::define_method(state, ns, tool_run_def, nullptr,
                      zv::dict({{names.query, names.str_text}, {names.return_key, names.str_text}}).get());
}

// Top level -------------------------------------------------------------------------

void run_top_level(zv::ModuleState& state) {
    ZV_LINE(state), zv::import_plain(state, "atexit", "atexit");
    ZV_LINE(state), zv::import_plain(state, "os", "os");
    ZV_LINE(state), zv::import_plain(state, "re", "re");
    ZV_LINE(state), zv::import_plain(state, "site", "site");
    ZV_LINE(state), zv::import_plain(state, "sys", "sys");
    ZV_LINE(state), zv::import_plain(state, "weakref", "weakref");
    ZV_LINE(state), zv::import_from(state, "typing", {"Optional"});
    ZV_LINE(state), zv::import_from(state, "langchain.tools.base", {"BaseTool"});
    // The field helper of the tool base's own pydantic line.
    ZV_LINE(state);
    if (zv::is_pydantic_v2_model(state.global(names.BaseTool).get())) zv::import_from(state, "pydantic", {"Field"});
    else zv::import_from(state, "langchain_core.pydantic_v1", {"Field"});

    ZV_LINE(state);
    Ref error = zv::own(PyErr_NewExceptionWithDoc(
        "zarvosdk.sandbox.SandboxUnavailable",
        "The sandbox cannot be had on this machine (bubblewrap missing, user namespaces "
        "refused) or the host is exiting; the tool never runs code outside it.",
        PyExc_RuntimeError, nullptr));
    state.set(names.SandboxUnavailable, error.get());
    names.unavailable.set(std::move(error));

    ZV_LINE(state);
    Ref tool = zv::build_class(state, "SandboxedPythonREPLTool", "SandboxedPythonREPLTool",
                               zv::tuple({state.global(names.BaseTool)}).get(),
                               "The framework's Python REPL tool, run in a bubblewrap sandbox.",
                               tool_body);
    state.set(names.SandboxedPythonREPLTool, tool.get());

    // Every sandbox ends as the host exits, before the interpreter goes.
    ZV_LINE(state);
    Ref end_all = zv::make_function(end_all_sandboxes_def, state);
    zv::call(zv::getattr(module_state.global(names.atexit), "register"), {end_all});
}

}  // namespace

PyMODINIT_FUNC PyInit_sandbox() { return zv::init_module(module_state); }
