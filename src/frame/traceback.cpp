#include "traceback.hpp"
#include <frameobject.h>
#include "compat.hpp"
#include "error.hpp"
#include "ref.hpp"

namespace zv {

PyObject* new_traceback_frame(const char* funcname, const char* filename, int line,
                              PyObject* globals) noexcept {
    if (!globals) return nullptr;
    SavedError pending;
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, line)));
    Ref frame;
    if (code)
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    if (frame) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        compat::set_frame_line(f, line);
        compat::detach_frame(f);
    }
    return frame.release();
}

void add_traceback_entry(PyObject* frame) noexcept {
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
}

void add_traceback(const char* funcname, const char* filename, int line, PyObject* globals) noexcept {
    Ref frame = Ref::steal(new_traceback_frame(funcname, filename, line, globals));
    add_traceback_entry(frame.get());
}

}  // namespace zv
