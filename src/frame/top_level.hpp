// How a module's top level runs: inside a Python frame of its own, with the
// framework's deprecation notices about its imports kept quiet.
#pragma once
#include <Python.h>
#include "module_state.hpp"

namespace zv {

/// Runs `state.body` as a Python module's top level runs: under a frame whose
/// code names the module's file and whose globals carry the module's name.
/// Libraries that look at their caller (the framework asks which module
/// imports a deprecated name, pydantic where a class is defined) then find
/// the module at once, and the warnings they issue name it. The framework's
/// and pydantic's deprecation notices about the top level's own imports and
/// classes are not shown (see QuietNotices). Throws `Error` when the top
/// level fails.
void run_top_level(ModuleState& state);

}  // namespace zv
