// The coroutine objects returned by the package's asynchronous functions.
#pragma once
#include <Python.h>
#include "ref.hpp"

namespace zv {

/// What a coroutine computes when it first runs: its result (new reference),
/// or throws `Error` with the host's exception set. `argument` is borrowed.
using CoroutineBody = Ref (*)(PyObject* argument);

/// Makes a coroutine that runs `body(argument)` once, on its first send, and is
/// then finished. It never suspends.
Ref make_coroutine(CoroutineBody body, PyObject* argument, PyObject* name, PyObject* qualname);

/// Registers the coroutine type with collections.abc.Coroutine (once per
/// process; a failure only warns), then with backports_abc when present.
void register_coroutine_type();

}  // namespace zv
