#include "quiet_notices.hpp"
#include <frameobject.h>
#include <algorithm>
#include <cstring>
#include <vector>
#include "attributes.hpp"
#include "call.hpp"
#include "compat.hpp"
#include "containers.hpp"
#include "conversions.hpp"

namespace zv {
namespace {

// The framework warns of deprecated import paths when a module imports a name
// through one, and pydantic of the class forms the forecast tool is specified
// to have. Raised while a package module's top level runs, those notices read
// as if the application had written the imports. The package puts a hook in
// front of the warnings module's display step (warnings._showwarnmsg, which
// every display passes through, recording ones included) while a top level
// runs, and the hook drops exactly those notices. The filters are never
// touched, so whatever the framework or the application set stays in force,
// and the same deprecated import in the application's own code still warns.

std::vector<PyObject*> running_top_levels;  // code of each top level running (borrowed)
Persistent hook;                            // the display function put in front
Persistent first_display;                   // warnings._showwarnmsg as the package first found it

// What the hook was put in front of, one entry per time it was put in and not
// taken out again. Code that wraps the hook (calling what it found, as
// wrappers do) keeps it in the chain after an import; the next import puts it
// in front once more, and a message then reaches it once per entry, each time
// going on to the next older one.
std::vector<Persistent> passed_on;

// The message the hook is passing on, on this thread, and how many times it
// has reached the hook before.
thread_local PyObject* message_passing_on = nullptr;
thread_local std::size_t times_passed_on = 0;

/// The top-level packages whose notices about the package's imports are the
/// package's to drop: the framework's distributions (langchain_classic and
/// langgraph since its 1.x line) and pydantic.
constexpr const char* library_packages[] = {
    "langchain", "langchain_core", "langchain_community", "langchain_experimental",
    "langchain_classic", "langchain_text_splitters", "langgraph", "langsmith", "pydantic",
};

/// The host's import system, which stands between a top level and the code
/// its imports run.
constexpr const char* import_packages[] = {"importlib", "_frozen_importlib",
                                           "_frozen_importlib_external"};

/// Whether the module name `name` is one of `packages` or inside one.
template <std::size_t N>
bool in_packages(PyObject* name, const char* const (&packages)[N]) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return std::any_of(std::begin(packages), std::end(packages), [&](const char* package) {
        std::size_t size = std::strlen(package);
        return static_cast<std::size_t>(length) >= size && std::memcmp(text, package, size) == 0 &&
               (static_cast<std::size_t>(length) == size || text[size] == '.');
    });
}

enum class Owner { library, import_system, other };

/// Who runs `frame`, by the name of the module whose globals it runs in.
Owner owner_of(PyFrameObject* frame) {
    Ref globals = Ref::steal(compat::frame_globals(frame));
    PyObject* name = globals && PyDict_Check(globals.get())
                         ? PyDict_GetItemString(globals.get(), "__name__")
                         : nullptr;
    if (!name || !PyUnicode_Check(name)) return Owner::other;
    if (in_packages(name, library_packages)) return Owner::library;
    if (in_packages(name, import_packages)) return Owner::import_system;
    return Owner::other;
}

bool is_running_top_level(PyFrameObject* frame) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    return std::find(running_top_levels.begin(), running_top_levels.end(), code.get()) !=
           running_top_levels.end();
}

/// Whether the frame that called `warn` is the framework's or pydantic's,
/// and the first frame outside them and the import system a top level's.
bool raised_for_top_level(PyFrameObject* caller) {
    if (owner_of(caller) != Owner::library) return false;
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(caller)));
    while (frame) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        if (owner_of(f) == Owner::other) return is_running_top_level(f);
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return false;
}

/// The warnings module when it is loaded (new reference, or null).
Ref loaded_warnings() noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    return Ref::borrow(modules ? PyDict_GetItemString(modules, "warnings") : nullptr);
}

/// The code a display step runs when called: a function's, a method's or a
/// callable object's (new reference, or null when it runs none of its own).
Ref code_of(PyObject* display) {
    Ref function = Ref::borrow(display);
    if (!PyFunction_Check(display) && !PyMethod_Check(display)) {
        auto* type = reinterpret_cast<PyObject*>(Py_TYPE(display));
        function = Ref::steal(PyObject_GetAttrString(type, "__call__"));
    }
    if (function && PyMethod_Check(function.get()))
        function = Ref::borrow(PyMethod_GET_FUNCTION(function.get()));
    if (!function || !PyFunction_Check(function.get())) {
        PyErr_Clear();
        return Ref();
    }
    return Ref::borrow(PyFunction_GET_CODE(function.get()));
}

/// The frame that called `warn` (new reference, or null when it cannot be
/// told). `warn` and the hook run no frame of their own, so with the hook as
/// the first display step it is the innermost frame. When code wrapped the
/// hook during an import, the wrapper runs first: the caller is then the
/// frame below the innermost one running the wrapper's code.
Ref warn_caller() {
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    Ref warnings = loaded_warnings();
    if (!frame || !warnings) return Ref();
    Ref first = getattr(warnings, "_showwarnmsg");
    if (first.get() == hook.get()) return frame;
    Ref code = code_of(first.get());
    if (!code) return Ref();
    while (frame) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref running = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
        if (running.get() == code.get()) return frame;
    }
    return Ref();
}

bool is_deprecation(PyObject* category) {
    if (!PyType_Check(category)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(category);
    return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyExc_DeprecationWarning)) ||
           PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyExc_PendingDeprecationWarning));
}

// Registry records ---------------------------------------------------------------
//
// Before a warning reaches the display step, the host records it in the
// registry of the module it is attributed to: (text, category, line) for
// every action but "always", and (text, category) as well for "once" and
// "module". A warning that reaches the display step was in neither before
// (the host shows nothing it finds there), so removing those keys removes
// exactly what this notice added.

/// The innermost frame of this thread running `file` at `line`: the frame the
/// host attributed the warning to (new reference, or null).
Ref attributed_frame(PyObject* file, long line) {
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    while (frame) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        PyObject* name = reinterpret_cast<PyCodeObject*>(code.get())->co_filename;
        if (PyFrame_GetLineNumber(f) == line && PyUnicode_Check(name) &&
            PyUnicode_Compare(name, file) == 0)
            return frame;
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return frame;
}

/// Whether filter field `pattern` (None or a compiled pattern) matches `text`.
bool filter_matches(PyObject* pattern, PyObject* text) {
    if (pattern == Py_None) return true;
    return truth(call(getattr(pattern, "match"), {text}));
}

/// The action the host's filters chose for the warning, as the host chooses
/// it: the first filter whose message, category, module and line match, else
/// the default action.
Ref chosen_action(PyObject* text, PyObject* category, PyObject* module, long line) {
    Ref warnings = loaded_warnings();
    if (!warnings) return Ref();
    Ref filters = getattr(warnings, "filters");
    if (!PyList_Check(filters.get())) return Ref();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters.get()); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(filters.get(), i));
        if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 5) return Ref();
        PyObject* action = PyTuple_GET_ITEM(item.get(), 0);
        long filter_line = PyLong_AsLong(PyTuple_GET_ITEM(item.get(), 4));
        if (filter_line == -1 && PyErr_Occurred()) raise();
        if (filter_matches(PyTuple_GET_ITEM(item.get(), 1), text) &&
            check(PyObject_IsSubclass(category, PyTuple_GET_ITEM(item.get(), 2))) &&
            filter_matches(PyTuple_GET_ITEM(item.get(), 3), module) &&
            (filter_line == 0 || filter_line == line))
            return Ref::borrow(action);
    }
    return getattr(warnings, "defaultaction");
}

void forget_key(PyObject* registry, Positional key) {
    Ref entry = tuple(key);
    if (PyDict_DelItem(registry, entry.get()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
        PyErr_Clear();
    }
}

/// Removes the records of a notice keyed by `text`: the one of its line, and
/// the one of its text where the action that showed it writes that too.
void forget_records(PyObject* registry, PyObject* text, PyObject* category, PyObject* line,
                    long number, PyObject* module) {
    forget_key(registry, {text, category, line});
    Ref action = chosen_action(text, category, module, number);
    if (action && PyUnicode_Check(action.get()) &&
        (PyUnicode_CompareWithASCIIString(action.get(), "once") == 0 ||
         PyUnicode_CompareWithASCIIString(action.get(), "module") == 0))
        forget_key(registry, {text, category});
}

/// Removes what the warning `message` (a warnings.WarningMessage) added to the
/// registry of the module it was attributed to.
void forget_warning(PyObject* message) {
    Ref file = getattr(message, "filename");
    Ref line = getattr(message, "lineno");
    long number = PyLong_AsLong(line.get());
    if (number == -1 && PyErr_Occurred()) raise();
    if (!PyUnicode_Check(file.get())) return;
    Ref frame = attributed_frame(file.get(), number);
    if (!frame) return;
    Ref globals = own(compat::frame_globals(reinterpret_cast<PyFrameObject*>(frame.get())));
    PyObject* registry = PyDict_GetItemString(globals.get(), "__warningregistry__");
    if (!registry || !PyDict_Check(registry)) return;
    Ref hold_registry = Ref::borrow(registry);
    PyObject* module = PyDict_GetItemString(globals.get(), "__name__");
    Ref module_name = Ref::borrow(module && PyUnicode_Check(module) ? module : nullptr);
    if (!module_name) module_name = own(PyUnicode_FromString("<string>"));
    Ref warning = getattr(message, "message");
    Ref category = getattr(message, "category");
    // The host keys the record by the text `warn` was given: the message when
    // it was a str (the warning object then holds it as its first argument),
    // else the warning object's str, which a warning class may make longer.
    Ref text = str(warning.get());
    forget_records(registry, text.get(), category.get(), line.get(), number, module_name.get());
    Ref args = getattr(warning, "args");
    if (PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) >= 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0)) &&
        PyUnicode_Compare(PyTuple_GET_ITEM(args.get(), 0), text.get()) != 0)
        forget_records(registry, PyTuple_GET_ITEM(args.get(), 0), category.get(), line.get(),
                       number, module_name.get());
}

// The hook --------------------------------------------------------------------

/// Whether `message` is a notice that the hook drops.
bool is_quiet_notice(PyObject* message) {
    Ref category = getattr(message, "category");
    if (!is_deprecation(category.get())) return false;
    Ref caller = warn_caller();
    return caller && raised_for_top_level(reinterpret_cast<PyFrameObject*>(caller.get()));
}

/// Shows `message` through what the hook was put in front of: the newest
/// entry the first time the message reaches the hook, the next older one each
/// time a wrapper in between brings it back, and the display step the
/// package first found past the oldest.
PyObject* pass_on(PyObject* message) noexcept {
    std::size_t times = message == message_passing_on ? times_passed_on + 1 : 0;
    PyObject* next = times < passed_on.size() ? passed_on[passed_on.size() - 1 - times].get()
                                              : first_display.get();
    if (!next) Py_RETURN_NONE;
    PyObject* outer_message = message_passing_on;
    std::size_t outer_times = times_passed_on;
    message_passing_on = message;
    times_passed_on = times;
    PyObject* result = PyObject_CallOneArg(next, message);
    message_passing_on = outer_message;
    times_passed_on = outer_times;
    return result;
}

/// Stands in for warnings._showwarnmsg. A message that comes back through a
/// wrapper was judged when it first reached the hook.
PyObject* display_warning(PyObject*, PyObject* message) noexcept {
    if (running_top_levels.empty() || message == message_passing_on) return pass_on(message);
    bool quiet = false;
    try {
        quiet = is_quiet_notice(message);
    } catch (const Error&) {
        PyErr_Clear();  // undecided: the message is shown, as without the hook
    }
    if (!quiet) return pass_on(message);
    try {
        forget_warning(message);
    } catch (const Error&) {
        // The record stays: a later identical notice of the framework's
        // stays silent, which is not worth failing an import for.
        PyErr_Clear();
    }
    Py_RETURN_NONE;
}

PyMethodDef display_def = {"_showwarnmsg", display_warning, METH_O,
                           "Shows a warning, except the framework's deprecation notices "
                           "about a zarvosdk module's own imports."};

/// Puts the hook in front of the warnings module's display step.
void put_hook_in() {
    Ref warnings = own(PyImport_ImportModule("warnings"));
    if (!hook) hook.set(own(PyCFunction_New(&display_def, nullptr)));
    Ref current = getattr(warnings, "_showwarnmsg");
    if (current.get() == hook.get()) return;
    passed_on.emplace_back();
    check(PyObject_SetAttrString(warnings.get(), "_showwarnmsg", hook.get()));
    if (!first_display) first_display.set(Ref::borrow(current.get()));
    passed_on.back().set(std::move(current));
}

/// Takes the hook out, unless something was put in front of it since: that
/// stays installed, and the hook stays in its chain, passing everything on.
void take_hook_out() noexcept {
    if (passed_on.empty()) return;
    SavedError saved;
    Ref warnings = loaded_warnings();
    if (!warnings) return;
    Ref current = Ref::steal(PyObject_GetAttrString(warnings.get(), "_showwarnmsg"));
    if (current && current.get() == hook.get() &&
        PyObject_SetAttrString(warnings.get(), "_showwarnmsg", passed_on.back().get()) == 0) {
        passed_on.back().clear();
        passed_on.pop_back();
    }
    PyErr_Clear();
}

}  // namespace

QuietNotices::QuietNotices(PyObject* top_level_code) : code_(top_level_code) {
    if (running_top_levels.empty()) put_hook_in();
    running_top_levels.push_back(code_);
}

QuietNotices::~QuietNotices() {
    auto found = std::find(running_top_levels.rbegin(), running_top_levels.rend(), code_);
    if (found != running_top_levels.rend()) running_top_levels.erase(std::next(found).base());
    if (running_top_levels.empty()) take_hook_out();
}

}  // namespace zv
