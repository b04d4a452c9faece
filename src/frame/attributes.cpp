#include "attributes.hpp"

namespace zv {
namespace {

Ref absent_unless_error(Ref value) {
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return Ref();
}

}  // namespace

Ref optional_attr(Borrowed obj, Borrowed name) {
    return absent_unless_error(Ref::steal(PyObject_GetAttr(obj, name)));
}

Ref optional_attr(Borrowed obj, const char* name) {
    return absent_unless_error(Ref::steal(PyObject_GetAttrString(obj, name)));
}

}  // namespace zv
