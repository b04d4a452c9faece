// Class creation as the host's class statement does it.
#pragma once
#include <Python.h>
#include "function.hpp"
#include "module_state.hpp"

namespace zv {

/// Fills the class namespace with the class body (throws `Error` on failure).
using ClassBody = void (*)(ModuleState& state, PyObject* ns);

/// Creates a class: resolves `__mro_entries__` of the bases, picks the most
/// derived metaclass, prepares the namespace, sets `__module__`,
/// `__qualname__` and `__doc__` (when `doc` is not null), runs `body`, and calls
/// the metaclass. `bases` is a tuple (borrowed).
Ref build_class(ModuleState& state, const char* name, const char* qualname, PyObject* bases,
                const char* doc, ClassBody body);

/// Whether `cls` is a pydantic v2 model class: those have `model_fields`, a
/// pydantic v1 model class (the framework's 0.2 line's tool base) has not.
bool is_pydantic_v2_model(Borrowed cls);

/// Binds `value` under `key` in a class namespace (any mapping).
void set_entry(PyObject* ns, const char* key, PyObject* value);
void set_entry(PyObject* ns, Borrowed key, Borrowed value);

/// Makes the method described by `fdef` and binds it in the class namespace
/// under its own name. `defaults` (a tuple) and `annotations` may be null.
void define_method(ModuleState& state, PyObject* ns, const FunctionDef& fdef,
                   Borrowed defaults = nullptr, Borrowed annotations = nullptr);

}  // namespace zv
