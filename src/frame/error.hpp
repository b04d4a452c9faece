// Error propagation between host calls and C++ code.
//
// Inside the package a failed host call throws `Error` (the host's exception is
// already set). Every entry point called by the host catches it and returns
// NULL / -1, so no C++ exception ever crosses into the host.
#pragma once
#include <Python.h>
#include <new>
#include <exception>
#include <utility>
#include "ref.hpp"

namespace zv {

/// Thrown when the host's error indicator is set.
struct Error {};

[[noreturn]] inline void raise() { throw Error{}; }

/// Sets a host exception with a formatted message, then throws.
template <class... A>
[[noreturn]] void raise(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw Error{};
}

/// Checks a new reference returned by the host and takes ownership of it.
inline Ref own(PyObject* p) {
    if (!p) raise();
    return Ref::steal(p);
}
/// Checks a borrowed reference returned by the host (an error must be set when null).
inline PyObject* checked(PyObject* p) {
    if (!p) raise();
    return p;
}
/// Checks a host status code (negative on error) and returns it.
inline int check(int status) {
    if (status < 0) raise();
    return status;
}

/// An `except Exception` clause. Constructed while a host exception is
/// pending: takes it when it derives from `Exception` (anything else, such as
/// KeyboardInterrupt or SystemExit, stays pending and `Error` is rethrown),
/// normalises it, attaches its traceback and makes it the exception being
/// handled (sys.exc_info) until the handler ends, when the previous one returns.
class Handler {
public:
    Handler();
    ~Handler();
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;
    /// The exception object (borrowed).
    PyObject* value() const noexcept { return value_.get(); }

private:
    Ref saved_type_;  // the exception being handled before, put back at the end
    Ref saved_value_;
    Ref saved_tb_;
    Ref value_;
};

/// The pending exception, if any, taken out of the host's error indicator and
/// put back when the scope ends, replacing whatever was set in between: for
/// clean-up code that calls the host while an error may be on its way out,
/// and for code that edits the exception before it goes on. `restore` puts
/// it back early; `release` hands it over instead, and nothing is put back.
class SavedError {
public:
    /// The three parts of an exception, as the host's error indicator holds them.
    struct Parts {
        Ref type;
        Ref value;
        Ref traceback;
    };

    SavedError() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        parts_ = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    }
    ~SavedError() { restore(); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    /// Whether an exception was pending.
    explicit operator bool() const noexcept { return bool(parts_.type); }
    PyObject* value() const noexcept { return parts_.value.get(); }
    PyObject* traceback() const noexcept { return parts_.traceback.get(); }

    /// Makes the value an instance of the type, as the host does before
    /// handing an exception to Python code.
    void normalize() noexcept {
        PyObject* type = parts_.type.release();
        PyObject* value = parts_.value.release();
        PyObject* traceback = parts_.traceback.release();
        PyErr_NormalizeException(&type, &value, &traceback);
        parts_ = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    }
    /// Replaces the traceback that goes back with the exception.
    void set_traceback(Ref traceback) noexcept { parts_.traceback = std::move(traceback); }

    /// Puts the exception back now (or clears the indicator when none was
    /// pending); the end of the scope then leaves the indicator alone.
    void restore() noexcept {
        if (done_) return;
        done_ = true;
        PyErr_Restore(parts_.type.release(), parts_.value.release(), parts_.traceback.release());
    }
    /// Hands the exception over; the end of the scope puts nothing back.
    Parts release() noexcept {
        done_ = true;
        return std::move(parts_);
    }

private:
    Parts parts_;
    bool done_ = false;
};

/// Turns any C++ exception in flight into the matching host exception.
void set_error_from_current_exception() noexcept;

/// Accepts only a function declared `noexcept`: the slot and method tables of
/// the frame library's types are filled through it, so a function that could
/// let a C++ exception reach the host does not compile into one.
template <class R, class... A>
constexpr auto nothrow(R (*function)(A...) noexcept) noexcept {
    return function;
}

/// The same, as the untyped pointer that a `PyType_Slot` holds.
template <class R, class... A>
void* slot(R (*function)(A...) noexcept) noexcept {
    return reinterpret_cast<void*>(function);
}

/// Runs `body` for a host entry point: returns its result, or `fail` with the
/// host's exception set when it throws.
template <class R, class F>
R guarded(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return fail;
    }
}

}  // namespace zv
