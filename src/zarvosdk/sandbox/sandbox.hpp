// zarvosdk.sandbox: what the sandbox's files share.
//
// The module is a folder of files, one job each:
//   module.cpp      the module, the tool class and its top level
//   settings.cpp    the tool's limits and output folder, read and checked;
//                   the mounts and options bubblewrap gets
//   launcher.cpp    the thread every sandbox is forked from, and the forked
//                   child that becomes bubblewrap
//   groups.cpp      the control groups that bound a sandbox, and its
//                   processes seen from the host
//   filter.cpp      the system call filter
//   lifecycle.cpp   one sandbox's start and end, and its uid
//   channel.cpp     one run: the request, the answer frame, the settling after
//   publishing.cpp  copying what the code wrote into the output folder
//   session.cpp     the state of one tool object, and the host's exit
//   run.cpp         SandboxedPythonREPLTool._run and its messages
//   posix.cpp       small helpers: files, paths, timed reads and writes
#pragma once
#include <Python.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "../../frame/function.hpp"
#include "../../frame/module_state.hpp"
#include "../../frame/ref.hpp"

struct stat;

namespace zarvosdk_sandbox {

using zv::Borrowed;
using zv::Exact;
using zv::Ref;
using Clock = std::chrono::steady_clock;

#define NAMES(X)                                                                              \
    X(os) X(sys) X(site) X(weakref) X(finalize) X(path) X(abspath) X(realpath)   \
    X(makedirs) X(exist_ok) X(getcwd) X(executable) X(prefix) X(base_prefix) X(exec_prefix)  \
    X(base_exec_prefix) X(getsitepackages) X(pop) X(BaseTool) X(Field) X(Optional)            \
    X(name) X(description) X(model_config) X(ignored_types) X(gt) X(le)   \
    X(timeout_seconds) X(memory_mb) X(max_processes) X(file_size_mb) X(output_bytes)          \
    X(output_dir) X(query) X(SandboxedPythonREPLTool) X(SandboxUnavailable) X(atexit)       \
    X(getusersitepackages)

#define TEXTS(X)                                                                             \
    X(tool_name, "Python_REPL")                                                              \
    X(tool_description,                                                                      \
      "A Python shell. Use this to execute python commands. Input should be a valid python " \
      "command. If you want to see the output of a value, you should print it out with "     \
      "`print(...)`.")                                                                      \
    X(default_output, "media/images")                                                        \
    X(float_text, "float") X(int_text, "int") X(str_text, "str")                             \
    X(optional_text, "Optional[str]") X(return_key, "return")         \
    X(default_key, "default") X(file_key, "__file__")

struct Names {
    NAMES(ZV_DECLARE_NAME)
    TEXTS(ZV_DECLARE_TEXT)
    zv::Persistent sessions;     // id(tool) -> capsule of its Session
    zv::Persistent unavailable;  // the SandboxUnavailable class
};
extern Names names;

extern zv::ModuleState module_state;

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

// posix.cpp ---------------------------------------------------------------------

bool is_directory(const std::string& path);
bool exists(const std::string& path);
bool starts_with(const std::string& text, const std::string& head);
/// Whether `path` is `root` or lies below it.
bool is_within(const std::string& path, const std::string& root);
bool write_text(const std::string& file, const std::string& text);
std::string read_text(const std::string& file, std::size_t limit = 65536);
/// The first executable `name` on PATH (the usual folders when PATH is unset), or "".
std::string find_program(const char* name);
/// Sleeps five milliseconds (between looks at a process that is ending).
void pause_briefly();
double seconds_left(Clock::time_point deadline);
/// Waits until `fd` is ready for `events` or the deadline passes.
bool wait_ready(int fd, short events, Clock::time_point deadline);
enum class Io { done, closed, late };
Io read_exact(int fd, char* into, std::size_t size, Clock::time_point deadline);
/// Sends on a stream socket without ever raising SIGPIPE.
Io write_all(int fd, const char* data, std::size_t size, Clock::time_point deadline);
/// Writes all of `data` to `fd`, retrying after a signal.
bool write_whole(int fd, const char* data, std::size_t size);
/// fstat through the system call: the C library's own fstat symbol is newer
/// than the oldest library the wheel's manylinux tag promises.
bool file_status(int fd, struct stat& st);
/// Opens the folder `path` (absolute) below the folder `root`, following no
/// link on the way; -1 when it cannot.
int open_below(int root, const std::string& path);

// launcher.cpp ------------------------------------------------------------------

/// Starts the launcher thread once; called with the GIL held, which orders
/// the first calls. Returns "" or what failed.
std::string start_launcher();
/// Forks on the launcher thread; the child runs `child`, which must only
/// make async-signal-safe calls and exec or _exit. Returns the child's pid,
/// or -1 with errno set.
pid_t fork_on_launcher(const std::function<void()>& child);

/// What the forked child needs to become bubblewrap, all made before the
/// fork: between fork and exec it makes only system calls.
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

/// The forked child: enters the sandbox's control groups, sets the limits,
/// on a root host becomes the sandbox's uid, places its descriptors 0 to 4
/// and execs bubblewrap with an empty environment.
[[noreturn]] void become_bubblewrap(const ChildPlan& plan);

// groups.cpp --------------------------------------------------------------------

/// Whether process `pid` has ended (a zombie not yet reaped has).
bool process_gone(long pid);
/// The numbers in a text of whitespace-separated numbers.
std::vector<long> numbers_in(const std::string& text);
/// The children of process `pid`, of all its threads.
std::vector<long> children_of(long pid);
/// A number a /proc/<pid>/status line gives ("Uid:"), or -1.
long status_field(long pid, const char* field);

/// The folder below which this host may make a group of `controller`: its
/// own group of a v1 hierarchy, or its v2 group where the controller is
/// delegated to subgroups.
GroupRoot group_root(const char* controller);

/// One sandbox's group of one controller.
struct Group {
    std::string dir;  // "" when none

    /// Makes the group below `root` with `settings` (file, value; a value
    /// whose file is missing is skipped when `optional`). "" or what failed.
    std::string make(const GroupRoot& root, unsigned serial,
                     std::initializer_list<std::pair<const char*, std::string>> settings,
                     std::initializer_list<std::pair<const char*, std::string>> optional);
    std::string procs() const { return dir.empty() ? "" : dir + "/cgroup.procs"; }
    /// A count from one of the group's event files ("max " of pids.events).
    long count(const char* file, const char* key) const;
    void kill_all() const;
    /// Removes the group once the kernel has finished its killed processes.
    void remove() noexcept;
};

// filter.cpp --------------------------------------------------------------------

/// A memfd holding the system call filter, for bubblewrap to read; -1 when
/// none can be made.
int system_call_filter_fd();

// publishing.cpp ----------------------------------------------------------------

/// A plain name: letters, digits, '_', '-' and '.', not starting with '.'
/// or '-', at most 128 bytes.
bool plain_name(const char* name);

/// What a published file was when it was copied (copied again only when
/// changed), and the output file it became (device 0: the name was taken
/// by a file the tool did not publish, so nothing was copied).
struct FileMark {
    ino_t inode;
    off_t size;
    long seconds, nanoseconds;
    dev_t placed_device = 0;
    ino_t placed_inode = 0;
    // and its size and change time: a number the file system gave again
    // to a file made after the application removed this one is not it.
    off_t placed_size = 0;
    long placed_seconds = 0, placed_nanoseconds = 0;
    bool same_source(const FileMark& o) const {
        return inode == o.inode && size == o.size && seconds == o.seconds && nanoseconds == o.nanoseconds;
    }
};

constexpr int publish_depth = 8;          // folders below the output folder
constexpr long publish_entries = 1000;    // files and folders one tool publishes in its life
constexpr long publish_looks = 65536;     // entries looked at in one publication
constexpr int publish_run_files = 16;     // a run publishes at most this many files' worth of the size limit
constexpr int publish_run_seconds = 2;    // and copies for at most this long
constexpr int publish_life_files = 64;    // a tool, this many in its life

/// What a tool has published and may still publish, kept across the
/// sandboxes it starts; used under its session's lock (or by its last owner).
struct Published {
    std::map<std::string, FileMark> marks;  // path below the output folder -> its file
    long entries_left = publish_entries;
    std::uint64_t run_bytes_left = 0;
    std::uint64_t life_bytes_left = 0;
    bool started = false;  // life_bytes_left is set (at the first run)
    Clock::time_point run_until = Clock::time_point::max();  // max: no publication yet in this run

    /// A run begins: it may copy 16 files' worth of the size limit, for
    /// two seconds from its first publication on; the tool's first run
    /// sets what it may copy in its life, 64 files' worth.
    void new_run(std::uint64_t file_limit) {
        if (!started) life_bytes_left = file_limit * publish_life_files;
        started = true;
        run_bytes_left = file_limit * publish_run_files;
        run_until = Clock::time_point::max();
    }
};

// lifecycle.cpp and channel.cpp: one running sandbox ------------------------------

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

// session.cpp: the state of one tool object -----------------------------------
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

Registry& registry();

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

/// The session of `tool`, made on its first run; it ends (and its sandbox
/// with it) when the tool is collected or the host exits.
SharedSession session_of(PyObject* tool);
/// Called as the host exits: ends every sandbox, refuses new runs, and
/// waits (five seconds at most) for the threads in a run to leave it.
Ref end_all_sandboxes(PyObject* const*);

// settings.cpp ------------------------------------------------------------------

[[noreturn]] void unavailable(const std::string& why);
std::string code_bytes(Borrowed code);
/// The launch of `tool`'s sandbox: its limits, output folder, mounts and options.
Launch make_launch(PyObject* tool, const std::string& bwrap);

// run.cpp -----------------------------------------------------------------------

Ref tool_run(PyObject* const* args);

}  // namespace zarvosdk_sandbox
