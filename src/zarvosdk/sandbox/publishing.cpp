// Copying what the code wrote into the application's output folder.
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

#include <cctype>
#include <cerrno>
#include <cstring>

#include "sandbox.hpp"

namespace zarvosdk_sandbox {

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

/// Whether `name` in the folder `dir` is the very file `mark` records
/// this tool placed there.
bool placed_by_tool(int dir, const char* name, const FileMark* mark) {
    if (!mark || mark->placed_device == 0) return false;
    int fd = openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool same = file_status(fd, st) && S_ISREG(st.st_mode) && st.st_dev == mark->placed_device &&
                st.st_ino == mark->placed_inode && st.st_size == mark->placed_size &&
                st.st_ctim.tv_sec == mark->placed_seconds && st.st_ctim.tv_nsec == mark->placed_nanoseconds;
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
            copied > publication.state.life_bytes_left || publication.out_of_time()) {
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
    // A name of this copy's own: tools of other sessions or processes may
    // publish into the same folder at the same moment.
    static std::atomic<unsigned long> copies{0};
    const std::string part_name = ".zarvosdk-sandbox-part-" + std::to_string(static_cast<long>(getpid())) + "-" +
                                  std::to_string(copies.fetch_add(1));
    const char* part = part_name.c_str();
    int out = openat(to, part, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out < 0) return Placed::failed;
    std::uint64_t copied = 0;
    bool whole = copy_within_bounds(from, out, copied, publication);
    // Known by what it is once placed, through its descriptor: a rename
    // changes the file's change time on most file systems.
    Placed placed = whole ? place_file(to, part, name, known) : Placed::failed;
    struct stat st;
    bool seen = placed == Placed::done && file_status(out, st);
    close(out);
    if (placed != Placed::done) {
        unlinkat(to, part, 0);
        return placed;
    }
    if (!seen) return Placed::failed;
    mark.placed_device = st.st_dev;
    mark.placed_inode = st.st_ino;
    mark.placed_size = st.st_size;
    mark.placed_seconds = static_cast<long>(st.st_ctim.tv_sec);
    mark.placed_nanoseconds = st.st_ctim.tv_nsec;
    publication.state.run_bytes_left -= copied;
    publication.state.life_bytes_left -= copied;
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
    // A file with holes costs the sandbox less than its length, and its
    // copy the host all of it: no chart or export has them.
    if (static_cast<std::uint64_t>(st.st_blocks) * 512 < static_cast<std::uint64_t>(st.st_size)) return;
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




/// The lines a publication adds to the run's output: a bound that stopped
/// it, names left alone as the application's files hold them.
std::string publication_notes(const Publication& p) {
    std::string notes;
    if (p.bound_hit)
        notes += "\n[Output folder: the sandbox publishes at most " + std::to_string(publish_entries) +
                 " files and folders, each file within the file size limit, in a run at most " +
                 std::to_string((p.file_limit * publish_run_files) >> 20) + " MB in " +
                 std::to_string(publish_run_seconds) + " seconds, and " +
                 std::to_string((p.file_limit * publish_life_files) >> 20) +
                 " MB in all; the rest stayed in the sandbox.]";
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

}  // namespace zarvosdk_sandbox
