// Container builders: new tuples, lists and dicts from values module code
// has at hand, and a list made by transforming each item of an iterable.
#pragma once
#include <Python.h>
#include "ref.hpp"
#include "error.hpp"
#include "call.hpp"

namespace zv {

/// A tuple of the given objects (the tuple takes its own references).
Ref tuple(Positional items);

/// A list of the given objects (the list takes its own references).
Ref list(Positional items);

/// A dict of the given entries, inserted in order.
Ref dict(Keywords entries);

/// `[transform(item) for item in iterable]`: a new list, `transform` taking a
/// borrowed item and returning a `Ref`.
template <class F>
Ref list_of(Borrowed iterable, F&& transform) {
    Ref result = own(PyList_New(0));
    Ref iterator = own(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref value = transform(item.get());
        check(PyList_Append(result.get(), value.get()));
    }
    if (PyErr_Occurred()) raise();
    return result;
}

}  // namespace zv
