// Binding of call arguments to a native function's parameters.
#pragma once
#include <Python.h>
#include "function.hpp"

namespace zv {

/// What the binder needs to know of a function.
struct Signature {
    const char* name;        // bare name, used in the refusal messages
    const Param* params;
    Py_ssize_t nparams;
    PyObject* varnames;      // tuple of the interned parameter names
    PyObject* defaults;      // tuple of the trailing parameters' defaults, or null
};

/// Binds positional arguments and keywords (vectorcall convention) to the
/// parameters, filling `out` with borrowed values, then applies the exact-type
/// requirements. Returns false with the host's TypeError set on refusal.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) noexcept;

}  // namespace zv
