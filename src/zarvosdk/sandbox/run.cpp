// SandboxedPythonREPLTool._run and the lines it adds to what the code printed.
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
#include <strings.h>

#include <cctype>
#include <cstring>

#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"
#include "sandbox.hpp"

namespace zarvosdk_sandbox {

bool blank_or_backtick(Py_UCS4 c) { return c == '`' || Py_UNICODE_ISSPACE(c); }

/// The model's input as the framework's tool cleans it: surrounding
/// whitespace and backticks, and a leading "python", removed. Its patterns
/// (^(\s|`)*(?i:python)?\s* and (\s|`)*$) read in one pass: the regular
/// expression engine takes time in the square of a run of spaces inside
/// the code, with the GIL held.
Ref sanitised(Borrowed query) {
    PyObject* text = query.get();
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) zv::raise();
#endif
    const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t start = 0, end = size;
    while (start < end && blank_or_backtick(PyUnicode_READ(kind, data, start))) ++start;
    static const char python[] = "python";
    Py_ssize_t word = 0;
    while (word < 6 && start + word < end) {
        Py_UCS4 c = PyUnicode_READ(kind, data, start + word);
        if (c >= 128 || std::tolower(static_cast<int>(c)) != python[word]) break;
        ++word;
    }
    if (word == 6) start += 6;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && blank_or_backtick(PyUnicode_READ(kind, data, end - 1))) --end;
    return zv::own(PyUnicode_Substring(text, start, end));
}

// The longest code a request carries (its length travels in 32 bits).
constexpr std::size_t most_code_bytes = std::size_t(64) << 20;

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
    // The time limit counts from the call: runs of one tool take its
    // sandbox in turn, and a run waits for its turn within its own limit.
    Clock::time_point deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(launch.limits.seconds));
    std::unique_lock<std::mutex> guard(session.lock, std::try_to_lock);
    while (!guard.owns_lock() && seconds_left(deadline) > 0 && !session.closed) {
        pause_briefly();
        guard.try_lock();
    }
    if (session.closed) {
        problem = "the host is exiting";
        return "";
    }
    if (!guard.owns_lock())
        return "The sandbox did not run the code: other runs of this tool held its sandbox for the whole time "
               "limit of " + format_seconds(launch.limits.seconds) + " seconds.";
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
    // Refused before it is cleaned or encoded: a code point is a byte at least.
    Py_ssize_t points = PyUnicode_GET_LENGTH(args[1]);
    if (static_cast<std::size_t>(points) > most_code_bytes)
        return zv::own(PyUnicode_FromFormat(
            "The sandbox did not run the code: it is at least %zd bytes long, and the sandbox takes at most %zu.",
            points, most_code_bytes));
    std::string code = code_bytes(sanitised(args[1]));
    if (code.size() > most_code_bytes)
        return zv::own(PyUnicode_FromFormat(
            "The sandbox did not run the code: it is %zu bytes long, and the sandbox takes at most %zu.",
            code.size(), most_code_bytes));
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

}  // namespace zarvosdk_sandbox
