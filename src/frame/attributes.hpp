// Attribute and item access: `obj.name`, `obj.name = value`, `obj[key]`, in
// checked forms that throw `Error` when the host refuses.
#pragma once
#include <Python.h>
#include "ref.hpp"
#include "error.hpp"
#include "module_state.hpp"

namespace zv {

/// `obj.name` for a name given as C text, for lookups made once.
inline Ref getattr(Borrowed obj, const char* name) { return own(PyObject_GetAttrString(obj, name)); }

/// `obj.name`, or null when `obj` has no such attribute: AttributeError
/// means absent, any other error propagates (the host's
/// PyObject_GetOptionalAttr, which 3.13 gained).
Ref optional_attr(Borrowed obj, Borrowed name);
Ref optional_attr(Borrowed obj, const char* name);
/// `obj.name`. Module code passes names it interned once, which go straight
/// to the type's slot, as PyObject_GetAttr ends up doing.
inline Ref getattr(Borrowed obj, Borrowed name) {
    getattrofunc get = Py_TYPE(obj.get())->tp_getattro;
    if (get && PyUnicode_CheckExact(name.get()) && PyUnicode_CHECK_INTERNED(name.get()))
        return own(get(obj, name));
    return own(PyObject_GetAttr(obj, name));
}
/// `obj.name` for a name of a module's table, which is always an interned str.
inline Ref getattr(Borrowed obj, const Name& name) {
    getattrofunc get = Py_TYPE(obj.get())->tp_getattro;
    return own(get ? get(obj, name.get()) : PyObject_GetAttr(obj, name.get()));
}
/// `obj.name = value`; an interned name skips the host's interning step.
inline void setattr(Borrowed obj, Borrowed name, Borrowed value) {
    setattrofunc set = Py_TYPE(obj.get())->tp_setattro;
    if (set && PyUnicode_CheckExact(name.get()) && PyUnicode_CHECK_INTERNED(name.get()))
        check(set(obj, name, value));
    else
        check(PyObject_SetAttr(obj, name, value));
}
/// `obj[key]`.
inline Ref getitem(Borrowed obj, Borrowed key) { return own(PyObject_GetItem(obj, key)); }
/// `obj[key] = value`.
inline void setitem(Borrowed obj, Borrowed key, Borrowed value) {
    check(PyObject_SetItem(obj, key, value));
}

}  // namespace zv
