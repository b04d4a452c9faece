// Differences of the C API between the interpreters the package builds for.
// Everything version-dependent lives here, so the rest of the code reads the same
// on every interpreter.
#pragma once
#include <Python.h>
#include <frameobject.h>

namespace zv::compat {

/// Sets the line a traceback entry shows for `frame`. From 3.11 on, frames are
/// opaque and the line comes from the code object's first line.
inline void set_frame_line([[maybe_unused]] PyFrameObject* frame, [[maybe_unused]] int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#endif
}

/// The globals of `frame` (new reference).
inline PyObject* frame_globals(PyFrameObject* frame) {
#if PY_VERSION_HEX < 0x030B0000
    Py_XINCREF(frame->f_globals);
    return frame->f_globals;
#else
    return PyFrame_GetGlobals(frame);
#endif
}

}  // namespace zv::compat
