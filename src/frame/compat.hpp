// Differences of the C API between the interpreters the package builds for.
// Everything version-dependent lives here, so the rest of the code reads the same
// on every interpreter.
#pragma once
#include <Python.h>
#include <frameobject.h>
#include <cstdint>

namespace zv::compat {

/// Sets the line a traceback entry shows for `frame`. From 3.11 on, frames are
/// opaque and the line comes from the code object's first line.
inline void set_frame_line([[maybe_unused]] PyFrameObject* frame, [[maybe_unused]] int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#endif
}

/// Unlinks a frame made by PyFrame_New from the frame that was running when it
/// was made, so that a frame kept for later tracebacks keeps no caller alive.
/// From 3.11 on, such a frame is linked to none.
inline void detach_frame([[maybe_unused]] PyFrameObject* frame) {
#if PY_VERSION_HEX < 0x030B0000
    Py_CLEAR(frame->f_back);
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

/// The version tag of `dict`, which changes with every change of its
/// contents: true and the tag where the host keeps one for extensions to read
/// (up to 3.11), false from 3.12 on.
inline bool dict_version([[maybe_unused]] PyObject* dict, [[maybe_unused]] std::uint64_t& version) {
#if PY_VERSION_HEX < 0x030C0000
    version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    return true;
#else
    return false;
#endif
}

}  // namespace zv::compat
