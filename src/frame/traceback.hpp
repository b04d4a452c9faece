// Traceback entries for failures leaving native code.
#pragma once
#include <Python.h>

namespace zv {

/// Makes the code object that stands for a native function in tracebacks
/// (new reference, or null with an error set).
PyObject* new_traceback_code(const char* funcname, const char* filename, int line) noexcept;

/// Adds an entry for `code` to the traceback of the exception being raised.
/// Keeps the pending exception when the entry itself cannot be made.
void add_traceback(PyObject* code, PyObject* globals) noexcept;

/// Same, making the code object on the spot (for one-off failures such as an init).
void add_traceback(const char* funcname, const char* filename, int line, PyObject* globals) noexcept;

}  // namespace zv
