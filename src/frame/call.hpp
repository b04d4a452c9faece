// Short, checked forms of the host operations that module code uses.
#pragma once
#include <Python.h>
#include <initializer_list>
#include "ref.hpp"
#include "error.hpp"

namespace zv {

/// Calls `callable` with the positional arguments, then the keyword values
/// named by `kwnames` (a tuple of texts), all borrowed.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr) {
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return own(PyObject_Vectorcall(callable, args.begin(), args.size() - nkw, kwnames));
}

/// Calls the method `name` of `self` with positional arguments.
inline Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {},
                       PyObject* kwnames = nullptr) {
    PyObject* stack[8];
    size_t n = 0;
    stack[n++] = self;
    for (PyObject* a : args) stack[n++] = a;
    size_t nkw = kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return own(PyObject_VectorcallMethod(name, stack, n - nkw, kwnames));
}

/// `obj.name`. Module code passes names it interned once, which go straight
/// to the type's slot, as PyObject_GetAttr ends up doing.
inline Ref getattr(PyObject* obj, PyObject* name) {
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    if (get && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))
        return own(get(obj, name));
    return own(PyObject_GetAttr(obj, name));
}
/// `obj.name = value`; an interned name skips the host's interning step.
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    if (set && PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name))
        check(set(obj, name, value));
    else
        check(PyObject_SetAttr(obj, name, value));
}
inline Ref getitem(PyObject* obj, PyObject* key) { return own(PyObject_GetItem(obj, key)); }
inline void setitem(PyObject* obj, PyObject* key, PyObject* value) {
    check(PyObject_SetItem(obj, key, value));
}
inline bool truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }
inline Ref str(PyObject* obj) { return own(PyObject_Str(obj)); }
inline Ref integer(long value) { return own(PyLong_FromLong(value)); }

/// A tuple of the given objects (borrowed; the tuple takes its own references).
inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Ref::borrow(item).release());
    return t;
}

}  // namespace zv
