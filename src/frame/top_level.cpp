#include "top_level.hpp"
#include <frameobject.h>
#include "call.hpp"
#include "compat.hpp"

namespace zv {
namespace {

// Quiet deprecations -----------------------------------------------------------
//
// The framework warns of deprecated import paths when a module imports a name
// through one, and names the importing module's caller as the culprit; on an
// application's import of the package that reads as if the application had
// written those imports. While a top level runs, the package's hook in front
// of the warnings module's display step drops deprecation warnings raised on
// the importing thread and passes everything else on. The filters are never
// touched, so whatever the framework or the application set stays in force,
// and the same deprecated import in the application's own code still warns.

thread_local int quiet_depth = 0;  // top levels running on this thread
int quiet_windows = 0;             // top levels running in the process
Persistent previous_display;       // warnings._showwarnmsg when the hook went in
Persistent quiet_display;          // the hook

bool is_deprecation(PyObject* message) {
    Ref category = Ref::steal(PyObject_GetAttrString(message, "category"));
    if (!category || !PyType_Check(category.get())) {
        PyErr_Clear();
        return false;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(category.get());
    return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyExc_DeprecationWarning)) ||
           PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(PyExc_PendingDeprecationWarning));
}

/// The frame a warning was attributed to: the innermost frame of this thread
/// running `file` at `line` (new reference, or null).
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
    PyErr_Clear();
    return frame;
}

/// Deletes `(text, category, line)` from `registry` when it is there.
void forget_key(PyObject* registry, PyObject* text, PyObject* category, PyObject* line) {
    Ref key = tuple({text, category, line});
    if (PyDict_DelItem(registry, key.get()) < 0) PyErr_Clear();
}

/// Removes the record a warning left in the registry of the module it was
/// attributed to. The host keys it by the warning's text, category and line;
/// the text is the warning's str, or the message given when a warning class
/// shows more than its message.
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
    Ref warning = getattr(message, "message");
    Ref category = getattr(message, "category");
    forget_key(registry, str(warning.get()).get(), category.get(), line.get());
    Ref args = Ref::steal(PyObject_GetAttrString(warning.get(), "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) >= 1 &&
        PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0)))
        forget_key(registry, PyTuple_GET_ITEM(args.get(), 0), category.get(), line.get());
    PyErr_Clear();
}

/// Stands in for warnings._showwarnmsg: drops deprecations of a running top
/// level of this thread, shows everything else as before.
PyObject* display_warning(PyObject*, PyObject* message) noexcept {
    if (quiet_depth > 0 && is_deprecation(message)) {
        try {
            forget_warning(message);
        } catch (const Error&) {
            PyErr_Clear();  // the warning stays recorded: harmless, and not worth failing an import
        }
        Py_RETURN_NONE;
    }
    if (!previous_display) Py_RETURN_NONE;
    return PyObject_CallOneArg(previous_display.get(), message);
}

PyMethodDef display_def = {"_showwarnmsg", display_warning, METH_O,
                           "Shows a warning, except the deprecations a zarvosdk module's "
                           "import causes."};

/// Puts the hook in front of the warnings module's display step for as long
/// as any top level runs in the process.
void install_hook() {
    if (quiet_windows > 0) {
        ++quiet_windows;
        return;
    }
    Ref warnings = own(PyImport_ImportModule("warnings"));
    if (!quiet_display) quiet_display.set(own(PyCFunction_New(&display_def, nullptr)));
    Ref current = getattr(warnings, "_showwarnmsg");
    if (current.get() != quiet_display.get()) {
        check(PyObject_SetAttrString(warnings.get(), "_showwarnmsg", quiet_display.get()));
        previous_display.set(std::move(current));
    }
    ++quiet_windows;
}

/// Takes the hook out when the last top level ends, unless something was put
/// in front of it since (the hook then stays in that chain and lets all pass).
void remove_hook() noexcept {
    if (--quiet_windows > 0) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* warnings = modules ? PyDict_GetItemString(modules, "warnings") : nullptr;
    if (warnings) {
        Ref current = Ref::steal(PyObject_GetAttrString(warnings, "_showwarnmsg"));
        if (current && current.get() == quiet_display.get())
            PyObject_SetAttrString(warnings, "_showwarnmsg", previous_display.get());
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

class QuietDeprecations {
public:
    QuietDeprecations() {
        install_hook();
        ++quiet_depth;
    }
    ~QuietDeprecations() {
        --quiet_depth;
        remove_hook();
    }
    QuietDeprecations(const QuietDeprecations&) = delete;
    QuietDeprecations& operator=(const QuietDeprecations&) = delete;
};

// The top level's frame ------------------------------------------------------------

thread_local bool failed_silently = false;  // the body failed with no exception set

/// Called by the top level's frame: runs the module body.
PyObject* enter_body(PyObject* capsule, PyObject*) noexcept {
    auto* frame = static_cast<ModuleFrame*>(PyCapsule_GetPointer(capsule, nullptr));
    if (!frame) return nullptr;
    try {
        frame->body(*frame);
    } catch (const Error&) {
        if (PyErr_Occurred()) return nullptr;
        failed_silently = true;  // reported by the caller, after the frame is gone
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef enter_def = {"__top_level__", enter_body, METH_NOARGS, nullptr};

/// The file the frame names: the module's own file, so that the host's
/// inspection finds the module from it, else the module's name.
Ref frame_file_name(const ModuleFrame& f) {
    PyObject* file = PyDict_GetItemString(f.globals, "__file__");
    return Ref::borrow(file && PyUnicode_Check(file) ? file : f.name.get());
}

/// Drops the frame's own entry from the pending exception's traceback: the
/// module reports the failing statement with its init entry instead.
void drop_frame_entry(PyObject* code) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    auto* head = reinterpret_cast<PyTracebackObject*>(tb);
    if (head && head->tb_frame) {
        Ref head_code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(head->tb_frame)));
        if (head_code.get() == code) {
            PyObject* rest = reinterpret_cast<PyObject*>(head->tb_next);
            Py_XINCREF(rest);
            Py_DECREF(tb);
            tb = rest;
            if (value) PyException_SetTraceback(value, tb ? tb : Py_None);
        }
    }
    PyErr_Restore(type, value, tb);
}

/// Empties the frame's globals, keeping any pending exception: a frame that
/// outlives the import (kept by a traceback) keeps no way back into the body.
void forget_body(PyObject* globals) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyDict_Clear(globals);
    PyErr_Restore(type, value, tb);
}

}  // namespace

void run_top_level(ModuleFrame& f) {
    Ref file = frame_file_name(f);
    Ref code = own(Py_CompileStringObject("__top_level__()", file.get(), Py_eval_input, nullptr, -1));
    Ref capsule = own(PyCapsule_New(&f, nullptr, nullptr));
    Ref enter = own(PyCFunction_New(&enter_def, capsule.get()));
    Ref globals = own(PyDict_New());
    check(PyDict_SetItemString(globals.get(), "__name__", f.name.get()));
    check(PyDict_SetItemString(globals.get(), "__builtins__", builtins_module()));
    check(PyDict_SetItemString(globals.get(), "__top_level__", enter.get()));
    failed_silently = false;
    Ref result;
    {
        QuietDeprecations quiet;
        result = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    }
    if (!result) drop_frame_entry(code.get());
    forget_body(globals.get());
    if (!result || failed_silently) raise();
}

}  // namespace zv
