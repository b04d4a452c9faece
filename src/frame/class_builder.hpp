// Class creation as the host's class statement does it.
#pragma once
#include <Python.h>
#include "module_frame.hpp"

namespace zv {

/// Fills the class namespace with the class body (throws `Error` on failure).
using ClassBody = void (*)(ModuleFrame& frame, PyObject* ns);

/// Creates a class: resolves `__mro_entries__` of the bases, picks the most
/// derived metaclass, prepares the namespace, sets `__module__`,
/// `__qualname__` and `__doc__` (when `doc` is not null), runs `body`, and calls
/// the metaclass. `bases` is a tuple (borrowed).
Ref build_class(ModuleFrame& frame, const char* name, const char* qualname, PyObject* bases,
                const char* doc, ClassBody body);

}  // namespace zv
