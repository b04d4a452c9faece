// Top-level import statements of a module: names are always absolute.
#pragma once
#include <Python.h>
#include <initializer_list>
#include "module_frame.hpp"

namespace zv {

/// `import name` (binding `as`): reuses a finished module of sys.modules.
void import_plain(ModuleFrame& frame, const char* name, const char* as);

/// The module a plain `import name` inside a function gets (new reference).
Ref import_plain_module(ModuleFrame& frame, Borrowed name);

/// `from module import a, b, ...`: binds each name under itself.
void import_from(ModuleFrame& frame, const char* module, std::initializer_list<const char*> names);

/// `from module import *`: binds the names of `__all__`, or the public names.
void import_star(ModuleFrame& frame, const char* module);

}  // namespace zv
