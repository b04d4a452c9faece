#include "top_level.hpp"
#include <frameobject.h>
#include <cstring>
#include "attributes.hpp"
#include "containers.hpp"
#include "quiet_notices.hpp"

namespace zv {
namespace {

// The top level's frame ------------------------------------------------------------

constexpr const char* top_level_source = "__top_level__()";
constexpr const char* top_level_line = "__top_level__()\n";

thread_local bool failed_silently = false;  // the body failed with no exception set

/// Called by the top level's frame: runs the module body.
PyObject* enter_body(PyObject* capsule, PyObject*) noexcept {
    auto* state = static_cast<ModuleState*>(PyCapsule_GetPointer(capsule, nullptr));
    if (!state) return nullptr;
    try {
        state->body(*state);
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
Ref frame_file_name(const ModuleState& state) {
    PyObject* file = PyDict_GetItemString(state.globals, "__file__");
    return Ref::borrow(file && PyUnicode_Check(file) ? file : state.name.get());
}

/// Gives the host's source-line cache the frame's one line under the frame's
/// file name. The file is the shared object, which stack walks (traceback,
/// logging's stack_info, inspect.stack) would otherwise read as Python source
/// and fail on before 3.12. The entry carries no modification time, so the
/// cache keeps it as a loader's entry and never reads the file itself; it is
/// put back at each import in case the cache was cleared since.
void cache_source_line(PyObject* file) {
    Ref linecache = own(PyImport_ImportModule("linecache"));
    Ref cache = getattr(linecache, "cache");
    Ref line = own(PyUnicode_FromString(top_level_line));
    Ref lines = list({line});
    Ref size = own(PyLong_FromSize_t(std::strlen(top_level_line)));
    setitem(cache, file, tuple({size, Py_None, lines, file}));
}

/// Drops the frame's own entry from the pending exception's traceback: the
/// module reports the failing statement with its init entry instead.
void drop_frame_entry(PyObject* code) noexcept {
    SavedError pending;
    if (!pending) return;
    pending.normalize();
    auto* head = reinterpret_cast<PyTracebackObject*>(pending.traceback());
    if (head && head->tb_frame) {
        Ref head_code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(head->tb_frame)));
        if (head_code.get() == code) {
            pending.set_traceback(Ref::borrow(reinterpret_cast<PyObject*>(head->tb_next)));
            PyObject* rest = pending.traceback();
            if (pending.value()) PyException_SetTraceback(pending.value(), rest ? rest : Py_None);
        }
    }
}

/// Empties the frame's globals, keeping any pending exception: a frame that
/// outlives the import (kept by a traceback) keeps no way back into the body.
void forget_body(PyObject* globals) noexcept {
    SavedError saved;
    PyDict_Clear(globals);
}

}  // namespace

void run_top_level(ModuleState& state) {
    Ref file = frame_file_name(state);
    Ref code = own(Py_CompileStringObject(top_level_source, file.get(), Py_eval_input, nullptr, -1));
    cache_source_line(file.get());
    Ref capsule = own(PyCapsule_New(&state, nullptr, nullptr));
    Ref enter = own(PyCFunction_New(&enter_def, capsule.get()));
    Ref globals = own(PyDict_New());
    check(PyDict_SetItemString(globals.get(), "__name__", state.name.get()));
    check(PyDict_SetItemString(globals.get(), "__builtins__", builtins_module()));
    check(PyDict_SetItemString(globals.get(), "__top_level__", enter.get()));
    failed_silently = false;
    Ref result;
    {
        QuietNotices quiet(code.get());
        result = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    }
    if (!result) drop_frame_entry(code.get());
    forget_body(globals.get());
    if (!result || failed_silently) raise();
}

}  // namespace zv
