// The tool's settings read and checked, and the mounts and options bubblewrap gets.
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
#include <pwd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"
#include "sandbox.hpp"

namespace zarvosdk_sandbox {

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
/// among them, read-only), a read-only /dev with its five data devices (no
/// terminals) and a bounded /dev/shm, and a bounded /tmp.
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
    // /dev by hand rather than bubblewrap's --dev, which mounts a devpts:
    // every devpts shares the machine's count of terminals, which one run
    // could then take.
    add(argv, {"--size", "65536", "--tmpfs", "/dev"});
    for (const char* device : {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"})
        add(argv, {"--dev-bind", device, device});
    add(argv, {"--symlink", "/proc/self/fd", "/dev/fd", "--symlink", "/proc/self/fd/0", "/dev/stdin",
               "--symlink", "/proc/self/fd/1", "/dev/stdout", "--symlink", "/proc/self/fd/2", "/dev/stderr"});
    add_tmpfs(argv, "/dev/shm", limits.memory_mb);
    add(argv, {"--remount-ro", "/dev"});
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
               "--as-pid-1", "--new-session", "--cap-drop", "ALL", "--clearenv", "--hostname", "sandbox"});
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

}  // namespace zarvosdk_sandbox
