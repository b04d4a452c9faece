// Top-level import statements of a module: names are always absolute.
#pragma once
#include <Python.h>
#include <initializer_list>
#include "module_state.hpp"

namespace zv {

/// `import name` (binding `as`): reuses a finished module of sys.modules.
void import_plain(ModuleState& state, const char* name, const char* as);

/// The module a plain `import name` inside a function gets (new reference).
Ref import_plain_module(ModuleState& state, Borrowed name);

/// `from module import a, b, ...`: binds each name under itself.
void import_from(ModuleState& state, const char* module, std::initializer_list<const char*> names);

/// `from module import *`: binds the names of `__all__`, or the public names.
void import_star(ModuleState& state, const char* module);

}  // namespace zv
