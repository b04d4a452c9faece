// How a module's top level runs: inside a Python frame of its own, with the
// deprecation notices it causes kept quiet.
#pragma once
#include <Python.h>
#include "module_frame.hpp"

namespace zv {

/// Runs `frame.body` as a Python module's top level runs: under a frame whose
/// code names the module's file and whose globals carry the module's name.
/// Libraries that look at their caller (the framework asks which module
/// imports a deprecated name, pydantic where a class is defined) then find
/// the module at once, and the warnings they issue name it. Deprecation
/// warnings raised on this thread while the top level runs are not shown:
/// they are about import paths and class forms the package chose, not the
/// application. Throws `Error` when the top level fails.
void run_top_level(ModuleFrame& frame);

}  // namespace zv
