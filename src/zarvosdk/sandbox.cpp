// zarvosdk.sandbox: a code tool that looks to the framework and the model
// like its Python REPL tool, but runs the model's code in a bubblewrap
// sandbox: no network, a read-only view of the interpreter and the system
// libraries, one writable output folder, a private /tmp, an empty
// environment, its own process tree, and kernel limits on time, memory,
// processes and file size. It never runs code in the host: where the sandbox
// cannot be had, it raises SandboxUnavailable.
//
// One sandboxed interpreter (the worker, _sandbox_worker.py) serves a tool
// object from its first run until the object is collected, the host exits or
// a limit stops the code; names the code defines persist between runs.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pthread.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
    X(output_dir) X(query) X(SandboxedPythonREPLTool) X(SandboxUnavailable)

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

struct Limits {
    double seconds = 30;
    long memory_mb = 1024;
    long processes = 64;
    long file_size_mb = 100;
    long output_bytes = 20000;
};

struct Launch {
    std::vector<std::string> argv;  // the bubblewrap command line
    std::size_t staging_arg = 0;    // the argument that names the staging folder
    std::string output;             // the application's output folder
    std::string staging_root;       // where the staging folders are made
    std::string pids_root;          // pids cgroup hierarchy for this sandbox's group ("" off)
    Limits limits;
};

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

/// A close-on-exec copy of `fd` numbered 10 or above, so that placing the
/// child's descriptors at 0 to 4 never overwrites one still to be placed.
int high_fd(int fd) {
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    close(fd);
    return copy;
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

// One running sandbox --------------------------------------------------------------

[[noreturn]] void become_bubblewrap(char* const* argv, const std::string& procs, rlim_t memory,
                                    rlim_t file_size, rlim_t processes, const int (&fds)[5]);

// Publishing what the code wrote ------------------------------------------------
//
// The code writes into a staging folder of the host's, which the sandbox
// shows at the output folder's path; only the host writes the application's
// output folder. After each run it copies the regular files and folders of
// the staging folder there, each opened without following a link and
// without blocking, written under a temporary name and renamed into place (a
// rename replaces a link instead of following it). A link, a pipe or a
// socket the code made never reaches the output folder, so an application
// that reads or writes a chart there cannot be led to one of its own files,
// or kept waiting on a pipe, by what the model wrote.

/// What a published file was when it was copied: copied again only when changed.
struct FileMark {
    ino_t inode;
    off_t size;
    long seconds, nanoseconds;
    bool operator==(const FileMark& o) const {
        return inode == o.inode && size == o.size && seconds == o.seconds && nanoseconds == o.nanoseconds;
    }
};

/// fstat through the system call: the C library's own fstat symbol is newer
/// than the oldest library the wheel's manylinux tag promises.
bool file_status(int fd, struct stat& st) { return syscall(SYS_fstat, fd, &st) == 0; }

constexpr int publish_depth = 8;         // folders below the output folder
constexpr int publish_entries = 4096;    // entries looked at in one publication

struct Publication {
    std::map<std::string, FileMark>& marks;
    std::uint64_t file_limit;  // bytes of one file
    std::uint64_t budget;      // bytes left to copy in this publication
    int entries_left = publish_entries;
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

/// Copies the open file `from` to `name` in the folder `to`; false when it
/// could not (the output folder keeps what it had).
bool copy_file(int from, int to, const char* name, Publication& publication) {
    const char part[] = ".zarvosdk-sandbox-part";
    unlinkat(to, part, 0);
    int out = openat(to, part, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out < 0) return false;
    char buffer[65536];
    std::uint64_t copied = 0;
    bool whole = true;
    for (;;) {
        ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) whole = false;
        if (got <= 0) break;
        copied += static_cast<std::uint64_t>(got);
        if (copied > publication.file_limit || copied > publication.budget ||
            !write_whole(out, buffer, static_cast<std::size_t>(got))) {
            whole = false;
            break;
        }
    }
    whole = close(out) == 0 && whole;
    if (whole && renameat(to, part, to, name) == 0) {
        publication.budget -= copied;
        return true;
    }
    unlinkat(to, part, 0);
    return false;
}

/// Publishes the folder `from` (staging) into the folder `to` (output);
/// `prefix` is their path below the staging folder.
void publish_folder(int from, int to, const std::string& prefix, int depth, Publication& publication) {
    int listed = dup(from);
    DIR* dir = listed >= 0 ? fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0) close(listed);
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (--publication.entries_left < 0) break;
        int fd = openat(from, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;  // a link (ELOOP), a socket, or gone
        struct stat st;
        if (file_status(fd, st) && S_ISDIR(st.st_mode) && depth < publish_depth) {
            if (mkdirat(to, name, 0777) == 0 || errno == EEXIST) {
                int sub = openat(to, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (sub >= 0) {
                    publish_folder(fd, sub, prefix + name + "/", depth + 1, publication);
                    close(sub);
                }
            }
        } else if (file_status(fd, st) && S_ISREG(st.st_mode)) {
            FileMark mark{st.st_ino, st.st_size, static_cast<long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec};
            std::string key = prefix + name;
            auto known = publication.marks.find(key);
            if ((known == publication.marks.end() || !(known->second == mark)) && copy_file(fd, to, name, publication))
                publication.marks[key] = mark;
        }
        close(fd);
    }
    closedir(dir);
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    remove(path);
    return 0;
}

/// Removes a folder and everything below it, following no link.
void remove_tree(const std::string& folder) {
    nftw(folder.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

/// How a run ended.
enum class Outcome { output, memory, time, processes, file_size, ended, malformed };

struct Answer {
    Outcome outcome = Outcome::output;
    std::string text;        // what the code printed (output)
    std::uint64_t total = 0;  // bytes the code printed in all
    int status = 0;          // the wait status (ended)
};

class Sandbox {
public:
    Sandbox() = default;
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox() { stop(); }

    /// Starts bubblewrap and waits for the worker's ready byte. Returns "" on
    /// success, else what went wrong (bubblewrap's own message when it has one).
    std::string start(const Launch& launch, Clock::time_point deadline, bool& late);
    /// Sends one piece of code and reads the answer.
    Answer exchange(const std::string& code, const Limits& limits, Clock::time_point deadline);
    /// Kills every process of the sandbox and reaps it, publishes what the
    /// code wrote last and removes the staging folder. Safe to call twice.
    void stop() noexcept;
    bool running() const { return pid_ > 0; }
    /// Copies what the code wrote since the last time into the output folder.
    void publish() noexcept;

private:
    std::string make_staging(const Launch& launch);
    std::string make_group(const Launch& launch);
    void spawn(const Launch& launch, int requests, int answers, int errors, int null_fd);
    bool hit_process_limit() const;
    Answer ended(Clock::time_point deadline);
    void kill_group() const;

    pid_t pid_ = -1;
    int requests_ = -1, answers_ = -1, errors_ = -1;
    std::string group_;  // the pids cgroup directory, "" when none
    std::string staging_, output_;
    std::uint64_t file_limit_ = 0;
    std::map<std::string, FileMark> published_;
};

/// Whether process `pid` has ended (a zombie not yet reaped has).
bool process_gone(long pid) {
    if (kill(static_cast<pid_t>(pid), 0) != 0) return errno == ESRCH;
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat", 512);
    std::size_t close_paren = stat.rfind(')');
    return close_paren != std::string::npos && std::strncmp(stat.c_str() + close_paren, ") Z", 3) == 0;
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

/// Removes the empty pids groups of hosts killed outright.
void remove_stale_groups(const std::string& root) {
    remove_left_behind(root, [](const std::string& path) { rmdir(path.c_str()); });
}

std::string Sandbox::make_group(const Launch& launch) {
    if (launch.pids_root.empty()) return "";
    remove_stale_groups(launch.pids_root);
    static std::atomic<unsigned> counter{0};
    char name[96];
    std::snprintf(name, sizeof name, "/zarvosdk-sandbox-%ld-%u", static_cast<long>(getpid()),
                  counter.fetch_add(1) + 1);
    std::string dir = launch.pids_root + name;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create the pids cgroup " + dir + ": " + std::strerror(errno);
    group_ = dir;
    // The two bubblewrap processes (its monitor and the namespace's init)
    // count toward the cgroup's limit but not toward the code's.
    if (!write_text(dir + "/pids.max", std::to_string(launch.limits.processes + 2)))
        return "cannot set pids.max in " + dir + ": " + std::strerror(errno);
    return "";
}

void Sandbox::spawn(const Launch& launch, int requests, int answers, int errors, int null_fd) {
    std::vector<char*> argv;
    for (std::size_t i = 0; i < launch.argv.size(); ++i) {
        const std::string& arg = i == launch.staging_arg ? staging_ : launch.argv[i];
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::string procs = group_.empty() ? "" : group_ + "/cgroup.procs";
    const Limits& limits = launch.limits;
    rlim_t memory = static_cast<rlim_t>(limits.memory_mb) << 20;
    rlim_t file_size = static_cast<rlim_t>(limits.file_size_mb) << 20;
    rlim_t processes = static_cast<rlim_t>(limits.processes + 2);
    bool limit_by_rlimit = group_.empty();

    std::function<void()> child = [&] {
        // Only async-signal-safe calls until exec.
        become_bubblewrap(argv.data(), procs, memory, file_size, limit_by_rlimit ? processes : 0,
                          {null_fd, null_fd, errors, requests, answers});
    };
    pid_ = fork_on_launcher(child);
}

/// The forked child: joins the pids cgroup (when `procs` names one), sets the
/// limits (`processes` 0: none), places its descriptors 0 to 4 and execs
/// bubblewrap with an empty environment.
[[noreturn]] void become_bubblewrap(char* const* argv, const std::string& procs, rlim_t memory,
                                    rlim_t file_size, rlim_t processes, const int (&fds)[5]) {
    if (!procs.empty()) {
        int fd = open(procs.c_str(), O_WRONLY);
        if (fd < 0 || write(fd, "0", 1) != 1) _exit(126);
        close(fd);
    }
    struct rlimit as = {memory, memory}, fs = {file_size, file_size}, core = {0, 0};
    struct rlimit np = {processes, processes};
    if (setrlimit(RLIMIT_AS, &as) || setrlimit(RLIMIT_FSIZE, &fs) || setrlimit(RLIMIT_CORE, &core))
        _exit(126);
    if (processes && setrlimit(RLIMIT_NPROC, &np)) _exit(126);
    for (int target = 0; target < 5; ++target)
        if (dup2(fds[target], target) < 0) _exit(126);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // bubblewrap gets no environment either: nothing of the host's (keys,
    // preloaded libraries) reaches even the sandbox's own tooling.
    char* const no_environment[] = {nullptr};
    execve(argv[0], argv, no_environment);
    _exit(127);
}

/// Removes the staging folders that hosts killed outright left behind.
void remove_stale_staging(const std::string& root) {
    remove_left_behind(root, [](const std::string& path) { remove_tree(path); });
}

/// Makes this sandbox's staging folder, private to the host's user.
std::string Sandbox::make_staging(const Launch& launch) {
    remove_stale_staging(launch.staging_root);
    std::string name = launch.staging_root + "/zarvosdk-sandbox-" +
                       std::to_string(static_cast<long>(getpid())) + "-XXXXXX";
    if (!mkdtemp(&name[0]))
        return "cannot make a staging folder in " + launch.staging_root + ": " + std::strerror(errno);
    staging_ = name;
    output_ = launch.output;
    file_limit_ = static_cast<std::uint64_t>(launch.limits.file_size_mb) << 20;
    return "";
}

std::string Sandbox::start(const Launch& launch, Clock::time_point deadline, bool& late) {
    late = false;
    std::string problem = make_staging(launch);
    if (!problem.empty()) return problem;
    problem = make_group(launch);
    if (!problem.empty()) return problem;
    // Requests go over a socket pair, which the host writes with MSG_NOSIGNAL:
    // a worker that died between runs must not raise SIGPIPE in a host that
    // does not ignore it (an embedding application's).
    int request_pipe[2] = {-1, -1}, answer_pipe[2] = {-1, -1}, error_pipe[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, request_pipe) ||
        pipe2(answer_pipe, O_CLOEXEC) || pipe2(error_pipe, O_CLOEXEC)) {
        std::string problem = std::string("cannot make a pipe: ") + std::strerror(errno);
        for (int fd : {request_pipe[0], request_pipe[1], answer_pipe[0], answer_pipe[1]})
            if (fd >= 0) close(fd);
        return problem;
    }
    int child_requests = high_fd(request_pipe[0]), child_answers = high_fd(answer_pipe[1]);
    int child_errors = high_fd(error_pipe[1]);
    requests_ = high_fd(request_pipe[1]);
    answers_ = high_fd(answer_pipe[0]);
    errors_ = high_fd(error_pipe[0]);
    int null_fd = high_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
    spawn(launch, child_requests, child_answers, child_errors, null_fd);
    int fork_error = errno;
    for (int fd : {child_requests, child_answers, child_errors, null_fd}) close(fd);
    if (pid_ < 0) return std::string("cannot start bubblewrap: ") + std::strerror(fork_error);
    for (int fd : {requests_, answers_, errors_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

    char ready = 0;
    Io io = read_exact(answers_, &ready, 1, deadline);
    if (io == Io::done && ready == 'R') return "";
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

bool Sandbox::hit_process_limit() const {
    if (group_.empty()) return false;
    std::string events = read_text(group_ + "/pids.events");
    std::size_t at = events.find("max ");
    return at != std::string::npos && std::atol(events.c_str() + at + 4) > 0;
}

void Sandbox::kill_group() const {
    if (group_.empty()) return;
    std::string procs = read_text(group_ + "/cgroup.procs");
    const char* cursor = procs.c_str();
    while (*cursor) {
        char* end;
        long pid = std::strtol(cursor, &end, 10);
        if (end == cursor) break;
        if (pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
        cursor = end;
        while (*cursor == '\n') ++cursor;
    }
}

/// The worker's answer pipe closed: waits (up to the deadline) for the
/// sandbox to end and says how it ended.
Answer Sandbox::ended(Clock::time_point deadline) {
    Answer answer;
    answer.outcome = Outcome::time;
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
    if (hit_process_limit()) answer.outcome = Outcome::processes;
    return answer;
}

Answer Sandbox::exchange(const std::string& code, const Limits& limits,
                         Clock::time_point deadline) {
    Answer answer;
    unsigned char size[4];
    std::uint32_t length = static_cast<std::uint32_t>(code.size());
    for (int i = 0; i < 4; ++i) size[i] = static_cast<unsigned char>(length >> (24 - 8 * i));
    Io io = write_all(requests_, reinterpret_cast<const char*>(size), 4, deadline);
    if (io == Io::done) io = write_all(requests_, code.data(), code.size(), deadline);
    unsigned char header[13];
    if (io == Io::done) io = read_exact(answers_, reinterpret_cast<char*>(header), 13, deadline);
    if (io == Io::closed) return ended(deadline);
    if (io == Io::late) {
        answer.outcome = hit_process_limit() ? Outcome::processes : Outcome::time;
        return answer;
    }
    for (int i = 1; i <= 8; ++i) answer.total = (answer.total << 8) | header[i];
    std::uint32_t kept = 0;
    for (int i = 9; i <= 12; ++i) kept = (kept << 8) | header[i];
    if (kept > static_cast<std::uint64_t>(limits.output_bytes) || (header[0] != 'o' && header[0] != 'm')) {
        answer.outcome = Outcome::malformed;
        return answer;
    }
    answer.text.resize(kept);
    io = read_exact(answers_, &answer.text[0], kept, deadline);
    if (io == Io::closed) return ended(deadline);
    if (io == Io::late) answer.outcome = Outcome::time;
    else if (header[0] == 'm') answer.outcome = Outcome::memory;
    if (hit_process_limit()) answer.outcome = Outcome::processes;
    return answer;
}

void Sandbox::stop() noexcept {
    if (pid_ > 0) {
        // The monitor's death takes the namespace's init with it
        // (--die-with-parent), and the init's death every process inside.
        kill(pid_, SIGKILL);
        kill_group();
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    for (int* fd : {&requests_, &answers_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    if (!group_.empty()) {
        // The cgroup empties as the kernel finishes the killed processes.
        for (int i = 0; i < 100 && rmdir(group_.c_str()) != 0 && errno == EBUSY; ++i) {
            kill_group();
            pause_briefly();
        }
        group_.clear();
    }
    if (errors_ >= 0) close(errors_);
    errors_ = -1;
    if (!staging_.empty()) {
        publish();
        remove_tree(staging_);
        staging_.clear();
    }
}

void Sandbox::publish() noexcept {
    if (staging_.empty()) return;
    int from = open(staging_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int to = open(output_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (from >= 0 && to >= 0) {
        // At most sixteen files' worth of the size limit in one publication.
        Publication p{published_, file_limit_, file_limit_ * 16};
        try {
            publish_folder(from, to, "", 0, p);
        } catch (...) {
            // Out of memory for a path: what was not copied stays in staging.
        }
    }
    if (from >= 0) close(from);
    if (to >= 0) close(to);
}

// The state of one tool object ---------------------------------------------------

struct Session {
    std::mutex lock;
    std::unique_ptr<Sandbox> sandbox;
    bool restarted = false;  // the previous sandbox was ended with names in it
};

void destroy_session(PyObject* capsule) noexcept {
    auto* session = static_cast<Session*>(PyCapsule_GetPointer(capsule, "zarvosdk.sandbox.Session"));
    if (!session) {
        PyErr_Clear();
        return;
    }
    Py_BEGIN_ALLOW_THREADS
    delete session;
    Py_END_ALLOW_THREADS
}

/// The session of `tool`, made on its first run; it ends (and its sandbox
/// with it) when the tool is collected or the host exits.
Session* session_of(PyObject* tool) {
    Ref key = zv::own(PyLong_FromVoidPtr(tool));
    PyObject* found = PyDict_GetItemWithError(names.sessions.get(), key.get());
    if (!found && PyErr_Occurred()) zv::raise();
    if (!found) {
        auto session = std::make_unique<Session>();
        Ref capsule = zv::own(PyCapsule_New(session.get(), "zarvosdk.sandbox.Session", destroy_session));
        session.release();
        zv::check(PyDict_SetItem(names.sessions.get(), key.get(), capsule.get()));
        Ref pop = zv::getattr(names.sessions, names.pop);
        zv::call(zv::getattr(module_state.global(names.weakref), names.finalize), {tool, pop, key, Py_None});
        found = capsule.get();
    }
    auto* session = static_cast<Session*>(PyCapsule_GetPointer(found, "zarvosdk.sandbox.Session"));
    if (!session) zv::raise();
    return session;
}

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

const char* const system_folders[] = {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64",
                                      "/libx32", "/etc", "/proc", "/dev", "/sys"};

/// Refuses an output folder that would open to the code what the sandbox
/// shows read-only or not at all: the root, the host's whole /tmp, a system
/// folder, the interpreter's files, the home folder, or a folder holding one
/// of them.
void check_output_folder(const std::string& output, const std::vector<std::string>& folders) {
    bool overlaps = output == "/" || output == "/tmp";
    // A home folder holds keys and tokens (~/.ssh, ~/.aws): not it, nor a folder holding it.
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') overlaps = overlaps || is_within(home, output);
    for (const char* system : system_folders)
        overlaps = overlaps || is_within(output, system) || is_within(system, output);
    for (const std::string& folder : folders)
        overlaps = overlaps || is_within(output, folder) || is_within(folder, output);
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

/// The folders of the interpreter's installation and its packages, resolved.
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
    return folders;
}

/// The pids cgroup directory under which this host may make a group, or "".
std::string pids_hierarchy() {
    const char* v1 = "/sys/fs/cgroup/pids";
    if (is_directory(v1) && access(v1, W_OK) == 0) return v1;
    // cgroup v2: a group below the host's own, where pids is delegated.
    std::string own = read_text("/proc/self/cgroup");
    std::size_t at = own.find("0::");
    if (at == std::string::npos) return "";
    std::size_t end = own.find('\n', at);
    std::string path(own.data() + at + 3, (end == std::string::npos ? own.size() : end) - at - 3);
    std::string dir = "/sys/fs/cgroup" + (path == "/" ? "" : path);
    if (read_text(dir + "/cgroup.subtree_control").find("pids") == std::string::npos) return "";
    return access(dir.c_str(), W_OK) == 0 ? dir : "";
}

void add(std::vector<std::string>& argv, std::initializer_list<std::string> args) {
    argv.insert(argv.end(), args);
}

/// The system part of the sandbox's file system: /usr and the links or
/// folders of the root that lead into it, what the dynamic loader, fonts and
/// time zone need from /etc, and fresh /proc, /dev and /tmp.
void add_system_view(std::vector<std::string>& argv) {
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
    add(argv, {"--proc", "/proc", "--dev", "/dev", "--tmpfs", "/tmp"});
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
const char font_lists_inside[] = "/.zarvosdk/matplotlib";

/// The host's matplotlib cache folder (where matplotlib itself looks), or "".
std::string matplotlib_cache() {
    if (const char* config = std::getenv("MPLCONFIGDIR")) return config;
    if (const char* cache = std::getenv("XDG_CACHE_HOME")) return std::string(cache) + "/matplotlib";
    if (const char* home = std::getenv("HOME")) return std::string(home) + "/.cache/matplotlib";
    return "";
}

/// Binds the font lists of the host's matplotlib cache, read-only, for the
/// worker to copy into its own cache: a fresh sandbox then skips the second
/// or so matplotlib takes to list the system's fonts. Nothing else of the
/// cache folder is shown.
void add_font_lists(std::vector<std::string>& argv) {
    std::string folder = matplotlib_cache();
    DIR* dir = folder.empty() ? nullptr : opendir(folder.c_str());
    if (!dir) return;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (!starts_with(name, "fontlist-v") || name.size() < 15 ||
            std::strcmp(name.c_str() + name.size() - 5, ".json") != 0)
            continue;
        add(argv, {"--ro-bind-try", folder + "/" + name, std::string(font_lists_inside) + "/" + name});
    }
    closedir(dir);
}

/// The bubblewrap command line for `tool`'s sandbox. The code's working
/// directory is the host's working directory seen as an empty private folder,
/// with the output folder at its own path: a chart saved under the relative
/// path of the agent's prompt lands in the output folder, and one saved into
/// "the current directory" is moved there after the run.
Launch make_launch(PyObject* tool, const std::string& bwrap) {
    Launch launch;
    launch.limits = read_limits(tool);
    std::string python = utf8(zv::getattr(module_state.global(names.sys), names.executable));
    if (python.empty() || python[0] != '/') unavailable("the interpreter's own path (sys.executable) is unknown");
    std::string worker = utf8(call_path(names.realpath, module_state.global(names.file_key.get())));
    worker.resize(worker.rfind('/') + 1);
    worker += worker_file;
    if (!exists(worker)) unavailable("its worker program " + worker + " is missing from the installation");
    std::vector<std::string> folders = interpreter_folders();
    std::string output = output_folder(tool, folders);
    std::string cwd = utf8(call_path(names.realpath, zv::call_method(module_state.global(names.os), names.getcwd)));

    std::vector<std::string>& arguments = launch.argv;
    add(arguments, {bwrap, "--unshare-all", "--unshare-user", "--disable-userns", "--die-with-parent",
            "--new-session", "--cap-drop", "ALL", "--clearenv"});
    for (const auto& entry : sandbox_environment) add(arguments, {"--setenv", entry[0], entry[1]});
    add_system_view(arguments);
    bool mirror = can_mirror_workdir(cwd, folders) && cwd != output;
    if (mirror) add(arguments, {"--tmpfs", cwd});
    for (const std::string& folder : folders)
        if (!is_within(folder, "/usr")) add(arguments, {"--ro-bind", folder, folder});
    // The code writes into arguments staging folder, shown at the output folder's
    // path and published into it after each run; its name is set when arguments
    // sandbox starts.
    add(arguments, {"--ro-bind", worker, worker_inside, "--bind", "", output});
    launch.staging_arg = arguments.size() - 2;
    launch.output = output;
    const char* temporary = std::getenv("TMPDIR");
    launch.staging_root = temporary && temporary[0] == '/' ? temporary : "/tmp";
    add_font_lists(arguments);
    // The sandbox's own root (where the mount points live) read-only too.
    add(arguments, {"--remount-ro", "/"});
    add(arguments, {"--chdir", mirror ? cwd : output, "--", python, "-E", "-s", "-B", worker_inside,
            std::to_string(launch.limits.output_bytes), mirror ? output : ""});
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

const char fresh_note[] = "[A new sandbox interpreter: names defined by earlier runs are gone.]\n";

/// Runs `code` in the session's sandbox, starting one when none is running.
/// Called without the GIL; `problem` is set when no sandbox could start.
std::string run_in_session(Session& session, const Launch& launch, const std::string& code,
                           std::string& problem) {
    std::lock_guard<std::mutex> guard(session.lock);
    Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(launch.limits.seconds));
    std::string note;
    if (session.sandbox && !session.sandbox->running()) session.sandbox.reset();
    Answer answer;
    answer.outcome = Outcome::output;
    if (!session.sandbox) {
        if (session.restarted) note = fresh_note;
        session.restarted = false;
        session.sandbox = std::make_unique<Sandbox>();
        bool late = false;
        problem = session.sandbox->start(launch, deadline, late);
        if (!problem.empty()) {
            session.sandbox.reset();
            return "";
        }
        if (late) answer.outcome = Outcome::time;
    }
    if (answer.outcome == Outcome::output) answer = session.sandbox->exchange(code, launch.limits, deadline);
    if (answer.outcome == Outcome::output) {
        session.sandbox->publish();
        return note + output_text(answer, launch.limits);
    }
    session.sandbox.reset();
    session.restarted = true;
    return note + limit_line(answer, launch.limits);
}

Ref tool_run(PyObject* const* args) {
    PyObject* self = args[0];
    std::string bwrap = find_program("bwrap");
    if (bwrap.empty())
        unavailable("bubblewrap (the bwrap program) is not installed; install it "
                    "(Debian, Ubuntu: apt-get install bubblewrap; Fedora: dnf install bubblewrap)");
    Launch launch = make_launch(self, bwrap);
    if (geteuid() == 0) {
        // Root is not held by RLIMIT_NPROC, even in a user namespace: its
        // processes are counted in a pids cgroup instead.
        launch.pids_root = pids_hierarchy();
        if (launch.pids_root.empty())
            unavailable("running as root, it limits processes with a pids cgroup, and no pids "
                        "cgroup is writable here (mount the pids controller or delegate it)");
    }
    std::string code = code_bytes(sanitised(args[1]));
    std::string launcher = start_launcher();
    if (!launcher.empty()) unavailable(launcher);
    Session* session = session_of(self);
    std::string problem, result;
    Py_BEGIN_ALLOW_THREADS
    result = run_in_session(*session, launch, code, problem);
    Py_END_ALLOW_THREADS
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
        "The sandbox cannot be had on this machine (bubblewrap missing, namespaces or a pids "
        "cgroup refused); the tool never runs code outside it.",
        PyExc_RuntimeError, nullptr));
    state.set(names.SandboxUnavailable, error.get());
    names.unavailable.set(std::move(error));

    ZV_LINE(state);
    Ref tool = zv::build_class(state, "SandboxedPythonREPLTool", "SandboxedPythonREPLTool",
                               zv::tuple({state.global(names.BaseTool)}).get(),
                               "The framework's Python REPL tool, run in a bubblewrap sandbox.",
                               tool_body);
    state.set(names.SandboxedPythonREPLTool, tool.get());
}

}  // namespace

PyMODINIT_FUNC PyInit_sandbox() { return zv::init_module(module_state); }
