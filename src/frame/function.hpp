// The package's function type: native functions that present themselves to
// callers like functions of the host.
#pragma once
#include <Python.h>
#include "arguments.hpp"
#include "ref.hpp"
#include "module_state.hpp"

namespace zv {

/// Body of a native function: receives the bound arguments (borrowed, in
/// parameter order, the instance first for methods) and returns a new reference.
/// Throws `Error` with the host's exception set on failure.
using FunctionBody = Ref (*)(PyObject* const* args);

/// What a function is besides its parameters, named at the end of its
/// definition: `{..., {{"df"}, {"period"}}, zv::HoldsArguments}`. Flags
/// combine with `|`.
enum FunctionFlags : unsigned {
    NoFlags = 0,
    // The host's asyncio takes it for a coroutine function.
    Coroutine = 1u << 0,
    // The body hands its arguments to code that judges how an object is used
    // by its reference count (pandas warns of chained assignment when a DataFrame
    // is referenced only by the call itself): hold a reference to each while
    // the body runs, as the local variables of a host function do.
    HoldsArguments = 1u << 1,
};

constexpr FunctionFlags operator|(FunctionFlags a, FunctionFlags b) noexcept {
    return static_cast<FunctionFlags>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

struct FunctionDef {
    const char* name;      // "_run"
    const char* qualname;  // "ForecastTool._run"
    const char* doc;       // null: no docstring
    int line;              // definition line, for code objects and tracebacks
    FunctionBody body;
    Param params[max_params];
    FunctionFlags flags = NoFlags;

    bool has(FunctionFlags flag) const noexcept { return (flags & flag) != 0; }
};

/// Makes a function object of the module `state` (new reference). `defaults`
/// (a tuple) and `annotations` (a dict) may be null.
Ref make_function(const FunctionDef& fdef, ModuleState& state, Borrowed defaults = nullptr,
                  Borrowed annotations = nullptr);

/// The package's function type (borrowed), made on first use.
PyTypeObject* function_type();

}  // namespace zv

/// The source line of a definition, for `FunctionDef::line`.
#define ZV_HERE __LINE__
