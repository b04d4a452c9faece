// The package's function type: native functions that present themselves to
// callers like functions of the host.
#pragma once
#include <Python.h>
#include "arguments.hpp"
#include "ref.hpp"
#include "module_frame.hpp"

namespace zv {

/// Body of a native function: receives the bound arguments (borrowed, in
/// parameter order, the instance first for methods) and returns a new reference.
/// Throws `Error` with the host's exception set on failure.
using FunctionBody = Ref (*)(PyObject* const* args);

struct FunctionDef {
    const char* name;      // "_run"
    const char* qualname;  // "ForecastTool._run"
    const char* doc;       // null: no docstring
    int line;              // definition line, for code objects and tracebacks
    FunctionBody body;
    Param params[max_params];
    bool coroutine = false;  // the host's asyncio takes it for a coroutine function
    // The body hands its arguments to code that judges how an object is used
    // by its reference count (pandas warns of chained assignment when a frame
    // is referenced only by the call itself): hold a reference to each while
    // the body runs, as the local variables of a host function do.
    bool holds_arguments = false;
};

/// Makes a function object of the module `frame` (new reference). `defaults`
/// (a tuple) and `annotations` (a dict) may be null.
Ref make_function(const FunctionDef& fdef, ModuleFrame& frame, Borrowed defaults = nullptr,
                  Borrowed annotations = nullptr);

/// The package's function type (borrowed), made on first use.
PyTypeObject* function_type();

}  // namespace zv

/// The source line of a definition, for `FunctionDef::line`.
#define ZV_HERE __LINE__
