// Small POSIX helpers: files, paths, and reads and writes within a deadline.
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
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sandbox.hpp"

namespace zarvosdk_sandbox {

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

std::string read_text(const std::string& file, std::size_t limit) {
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

/// fstat through the system call: the C library's own fstat symbol is newer
/// than the oldest library the wheel's manylinux tag promises.
bool file_status(int fd, struct stat& st) { return syscall(SYS_fstat, fd, &st) == 0; }

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

}  // namespace zarvosdk_sandbox
