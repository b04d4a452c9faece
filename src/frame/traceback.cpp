#include "traceback.hpp"
#include <frameobject.h>
#include "compat.hpp"
#include "ref.hpp"

namespace zv {

PyObject* new_traceback_code(const char* funcname, const char* filename, int line) noexcept {
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, line));
}

void add_traceback(PyObject* code, PyObject* globals) noexcept {
    if (!code || !globals) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    auto* c = reinterpret_cast<PyCodeObject*>(code);
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), c, globals, nullptr)));
    // Restoring drops any error of PyFrame_New: the entry is a courtesy and
    // must never replace the real exception.
    PyErr_Restore(type, value, tb);
    if (!frame) return;
    auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
    compat::set_frame_line(f, c->co_firstlineno);
    PyTraceBack_Here(f);
}

void add_traceback(const char* funcname, const char* filename, int line, PyObject* globals) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref code = Ref::steal(new_traceback_code(funcname, filename, line));
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    add_traceback(code.get(), globals);
}

}  // namespace zv
