#include "coroutine.hpp"
#include "error.hpp"

namespace zv {
namespace {

struct CoroutineObject {
    PyObject_HEAD
    CoroutineBody body;
    PyObject* argument;  // emptied by the garbage collector's clear
    PyObject* name;      // texts: kept until the object is freed
    PyObject* qualname;
    bool finished;
};

CoroutineObject* as_coroutine(PyObject* self) noexcept {
    return reinterpret_cast<CoroutineObject*>(self);
}

/// Refuses to run a coroutine that has finished (or was closed).
bool refuse_reuse(CoroutineObject* coroutine) noexcept {
    if (!coroutine->finished) return false;
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return true;
}

/// Runs the body on the first send. Returns the result (new reference) or
/// null with an error set; a finished coroutine refuses to run again, and so
/// does one whose argument the garbage collector cleared.
PyObject* coroutine_run(PyObject* self, PyObject* value) noexcept {
    CoroutineObject* coroutine = as_coroutine(self);
    if (refuse_reuse(coroutine)) return nullptr;
    if (value && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return nullptr;
    }
    coroutine->finished = true;
    if (!coroutine->argument) {
        PyErr_Format(PyExc_RuntimeError, "coroutine %U was cleared by the garbage collector",
                     coroutine->qualname);
        return nullptr;
    }
    return guarded<PyObject*>(nullptr, [&] { return coroutine->body(coroutine->argument).release(); });
}

/// Raises StopIteration carrying `result` as its value. The exception is made
/// here: handed over as a bare value, a tuple would become its arguments.
void stop_with(PyObject* result) noexcept {
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, result));
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

/// Finishes the coroutine with its result: StopIteration carries the value.
PyObject* coroutine_send(PyObject* self, PyObject* value) noexcept {
    Ref result = Ref::steal(coroutine_run(self, value));
    if (result) stop_with(result.get());
    return nullptr;
}

PyObject* coroutine_iternext(PyObject* self) noexcept {
    Ref result = Ref::steal(coroutine_run(self, Py_None));
    if (result && result.get() != Py_None) stop_with(result.get());
    return nullptr;
}

/// Sets the exception that `throw(type, value, tb)` names, or a TypeError for
/// arguments that name none. Returns false when the arguments were refused.
bool set_thrown(PyObject* type, PyObject* value, PyObject* tb) noexcept {
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value ? value : Py_None);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(type)), type);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    if (tb) {
        SavedError thrown;
        thrown.set_traceback(Ref::borrow(tb));
    }
    return true;
}

/// A coroutine that never ran raises the thrown exception at its start and is
/// finished; a finished one refuses, as the host's coroutines do.
PyObject* coroutine_throw(PyObject* self, PyObject* args) noexcept {
    PyObject *type, *value = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &tb)) return nullptr;
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    CoroutineObject* coroutine = as_coroutine(self);
    if (!set_thrown(type, value, tb)) return nullptr;
    if (coroutine->finished) {
        PyErr_Clear();
        refuse_reuse(coroutine);
        return nullptr;
    }
    coroutine->finished = true;
    return nullptr;
}

PyObject* coroutine_close(PyObject* self, PyObject*) noexcept {
    as_coroutine(self)->finished = true;
    Py_RETURN_NONE;
}

PyObject* coroutine_await(PyObject* self) noexcept { return Ref::borrow(self).release(); }

PyObject* coroutine_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<native coroutine object %U at %p>", as_coroutine(self)->qualname,
                                self);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_coroutine(self)->argument);
    Py_VISIT(as_coroutine(self)->name);
    Py_VISIT(as_coroutine(self)->qualname);
    return 0;
}

/// Breaks reference cycles through the argument; the names stay for repr and
/// the getters.
int coroutine_clear(PyObject* self) noexcept {
    Py_CLEAR(as_coroutine(self)->argument);
    return 0;
}

void coroutine_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    coroutine_clear(self);
    Py_CLEAR(as_coroutine(self)->name);
    Py_CLEAR(as_coroutine(self)->qualname);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) noexcept {
    return Ref::borrow(as_coroutine(self)->name).release();
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Ref::borrow(as_coroutine(self)->qualname).release();
}
PyObject* get_false(PyObject*, void*) noexcept { Py_RETURN_FALSE; }
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyGetSetDef coroutine_getset[] = {
    {"__name__", nothrow(get_name), nullptr, nullptr, nullptr},
    {"__qualname__", nothrow(get_qualname), nullptr, nullptr, nullptr},
    {"cr_running", nothrow(get_false), nullptr, nullptr, nullptr},
    {"cr_frame", nothrow(get_none), nullptr, nullptr, nullptr},
    {"cr_await", nothrow(get_none), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", nothrow(coroutine_send), METH_O, nullptr},
    {"throw", nothrow(coroutine_throw), METH_VARARGS, nullptr},
    {"close", nothrow(coroutine_close), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, slot(coroutine_dealloc)},
    {Py_tp_traverse, slot(coroutine_traverse)},
    {Py_tp_clear, slot(coroutine_clear)},
    {Py_tp_repr, slot(coroutine_repr)},
    {Py_tp_iternext, slot(coroutine_iternext)},
    {Py_am_await, slot(coroutine_await)},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_methods, coroutine_methods},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "zarvosdk.coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    coroutine_slots,
};

Persistent the_coroutine_type;

PyObject* coroutine_type() {
    if (!the_coroutine_type) the_coroutine_type.set(own(PyType_FromSpec(&coroutine_spec)));
    return the_coroutine_type.get();
}

/// Calls `module.Coroutine.register(type)`; returns false with an error set on failure.
bool register_with(const char* module_name) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return false;
    Ref abc = Ref::steal(PyObject_GetAttrString(module.get(), "Coroutine"));
    if (!abc) return false;
    PyObject* type = the_coroutine_type.get();
    return Ref::steal(PyObject_CallMethod(abc.get(), "register", "O", type)).get() != nullptr;
}

}  // namespace

Ref make_coroutine(CoroutineBody body, PyObject* argument, PyObject* name, PyObject* qualname) {
    auto* coroutine = PyObject_GC_New(CoroutineObject, reinterpret_cast<PyTypeObject*>(coroutine_type()));
    if (!coroutine) raise();
    coroutine->body = body;
    coroutine->argument = Ref::borrow(argument).release();
    coroutine->name = Ref::borrow(name).release();
    coroutine->qualname = Ref::borrow(qualname).release();
    coroutine->finished = false;
    PyObject_GC_Track(coroutine);
    return Ref::steal(reinterpret_cast<PyObject*>(coroutine));
}

void register_coroutine_type() {
    static bool registered = false;
    if (registered) return;
    coroutine_type();
    if (!register_with("collections.abc")) {
        PyErr_Clear();
        check(PyErr_WarnEx(PyExc_RuntimeWarning,
                           "could not register the package's coroutine type with "
                           "collections.abc.Coroutine",
                           1));
    }
    if (!register_with("backports_abc")) PyErr_Clear();
    registered = true;
}

}  // namespace zv
