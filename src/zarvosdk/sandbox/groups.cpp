// The control groups that bound a sandbox, and its processes seen from the host.
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

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sandbox.hpp"

namespace zarvosdk_sandbox {

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

std::string Group::make(const GroupRoot& root, unsigned serial,
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

long Group::count(const char* file, const char* key) const {
    if (dir.empty()) return 0;
    std::string events = read_text(dir + "/" + file);
    std::size_t at = events.find(key);
    return at == std::string::npos ? 0 : std::atol(events.c_str() + at + std::strlen(key));
}

void Group::kill_all() const {
    if (dir.empty()) return;
    for (long pid : numbers_in(read_text(procs()))) kill(static_cast<pid_t>(pid), SIGKILL);
}

void Group::remove() noexcept {
    if (dir.empty()) return;
    for (int i = 0; i < 200 && rmdir(dir.c_str()) != 0 && errno == EBUSY; ++i) {
        kill_all();
        pause_briefly();
    }
    dir.clear();
}

}  // namespace zarvosdk_sandbox
