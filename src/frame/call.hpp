// Short, checked forms of the host operations that module code uses.
#pragma once
#include <Python.h>
#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include "ref.hpp"
#include "error.hpp"

namespace zv {

/// How many of `count` values are keyword values: the length of `kwnames`
/// (a tuple of texts, or null). More names than values is a fault of the
/// calling code, refused before anything is read past the values.
inline std::size_t keyword_count(PyObject* kwnames, std::size_t count) {
    if (!kwnames) return 0;
    auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames));
    if (n > count)
        raise(PyExc_SystemError, "%zu keyword names for %zu argument values", n, count);
    return n;
}

/// Calls `callable` with the positional arguments, then the keyword values
/// named by `kwnames` (a tuple of texts), all borrowed.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr) {
    std::size_t nkw = keyword_count(kwnames, args.size());
    return own(PyObject_Vectorcall(callable, args.begin(), args.size() - nkw, kwnames));
}

/// Calls the method `name` of `self` with no arguments.
inline Ref call_method(PyObject* self, PyObject* name) {
    PyObject* stack[] = {self};
    return own(PyObject_VectorcallMethod(name, stack, 1, nullptr));
}

/// Calls the method `name` of `self` with the positional arguments, then the
/// keyword values named by `kwnames`. The argument stack is sized at compile
/// time from the call site's list.
template <std::size_t N>
Ref call_method(PyObject* self, PyObject* name, PyObject* const (&args)[N],
                PyObject* kwnames = nullptr) {
    std::array<PyObject*, N + 1> stack;
    stack[0] = self;
    std::copy(args, args + N, stack.begin() + 1);
    std::size_t nkw = keyword_count(kwnames, N);
    return own(PyObject_VectorcallMethod(name, stack.data(), N + 1 - nkw, kwnames));
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
