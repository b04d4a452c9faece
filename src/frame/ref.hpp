// Owning handle for one reference to a host object.
#pragma once
#include <Python.h>
#include <utility>

namespace zv {

/// Owns exactly one reference (or none). Move-only; drops its reference on destruction.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    /// Adopts a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes an additional reference to a borrowed object (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    /// Hands the reference to the caller: returns a new reference.
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    /// Replaces the held object with a new reference; the old one is dropped after.
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Holds a process-wide object for the whole life of the process. It is never
/// released: destructors of statics run after the interpreter is gone.
class Persistent {
public:
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    /// Takes ownership of a new reference; drops the previous one.
    void set(Ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        Py_XDECREF(old);
    }
    void clear() noexcept { set(Ref()); }

private:
    PyObject* p_ = nullptr;
};

/// A borrowed reference: a view of an object that something else keeps alive
/// (a handle, the module's tables, the caller's arguments). What functions
/// take when they neither own nor keep what they are given.
class Borrowed {
public:
    Borrowed(PyObject* p) noexcept : p_(p) {}
    Borrowed(const Ref& r) noexcept : p_(r.get()) {}
    Borrowed(const Persistent& r) noexcept : p_(r.get()) {}

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_;
};

}  // namespace zv
