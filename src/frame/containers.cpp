#include "containers.hpp"

namespace zv {

Ref tuple(Positional items) {
    Ref result = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed item : items) PyTuple_SET_ITEM(result.get(), i++, Ref::borrow(item).release());
    return result;
}

Ref list(Positional items) {
    Ref result = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed item : items) PyList_SET_ITEM(result.get(), i++, Ref::borrow(item).release());
    return result;
}

Ref dict(Keywords entries) {
    Ref result = own(PyDict_New());
    for (const Keyword& entry : entries) check(PyDict_SetItem(result.get(), entry.name, entry.value));
    return result;
}

}  // namespace zv
