// Traceback entries for failures leaving native code.
#pragma once
#include <Python.h>

namespace zv {

/// Makes the frame that stands for a native function in tracebacks: a frame of
/// an empty code object named `funcname` at `line` of `filename`, running in
/// `globals` and linked to no caller, so that it can be kept and given to
/// every failure of the function (new reference, or null). The pending
/// exception stays as it was either way: an entry is a courtesy and never
/// replaces the real exception.
PyObject* new_traceback_frame(const char* funcname, const char* filename, int line,
                              PyObject* globals) noexcept;

/// Adds an entry for `frame` to the traceback of the exception being raised
/// (nothing when `frame` is null).
void add_traceback_entry(PyObject* frame) noexcept;

/// Both at once, for one-off failures such as an init.
void add_traceback(const char* funcname, const char* filename, int line, PyObject* globals) noexcept;

}  // namespace zv
