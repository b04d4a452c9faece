#include "error.hpp"

namespace zv {

Handler::Handler() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
    SavedError pending;
    pending.normalize();
    auto [type, value, trace] = pending.release();
    if (trace) check(PyException_SetTraceback(value.get(), trace.get()));
    value_ = Ref::borrow(value.get());
    PyObject *saved_type, *saved_value, *saved_tb;
    PyErr_GetExcInfo(&saved_type, &saved_value, &saved_tb);
    saved_type_ = Ref::steal(saved_type);
    saved_value_ = Ref::steal(saved_value);
    saved_tb_ = Ref::steal(saved_tb);
    PyErr_SetExcInfo(type.release(), value.release(), trace.release());
}

Handler::~Handler() {
    PyErr_SetExcInfo(saved_type_.release(), saved_value_.release(), saved_tb_.release());
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

}  // namespace zv
