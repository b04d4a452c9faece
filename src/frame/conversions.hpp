// Conversions between values: an object's truth and text, texts joined into
// one, a C integer as the host's int.
#pragma once
#include <Python.h>
#include "ref.hpp"
#include "error.hpp"
#include "call.hpp"

namespace zv {

/// `bool(obj)`.
inline bool truth(Borrowed obj) { return check(PyObject_IsTrue(obj)) != 0; }
/// `str(obj)`.
inline Ref str(Borrowed obj) { return own(PyObject_Str(obj)); }
/// A value's text: a str as it is, anything else as `format(value, "")` gives it.
inline Ref text(Borrowed value) { return own(PyObject_Format(value, nullptr)); }
/// `int` of a C long.
inline Ref integer(long value) { return own(PyLong_FromLong(value)); }

/// The texts (each a str) joined end to end in one new text.
Ref concat(Positional texts);

}  // namespace zv
