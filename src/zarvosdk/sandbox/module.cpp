// zarvosdk.sandbox: a code tool that looks to the framework and the model
// like its Python REPL tool, but runs the model's code in a bubblewrap
// sandbox: no network, a read-only view of the interpreter and the system
// libraries, one writable output folder, a private /tmp, an empty
// environment, its own process tree, and kernel limits on time, memory,
// processes and file size. It never runs code in the host: where the sandbox
// cannot be had, it raises SandboxUnavailable.
//
// One sandbox serves a tool object from its first run until the object is
// collected, the host exits or a limit stops the code. Its pid 1 (the worker,
// _sandbox_worker.py) never runs the code: each run is a process it forks,
// and it answers only once that process and every other of the sandbox have
// ended, so names do not persist between runs.
#include <Python.h>

#include <cstdio>
#include <cstdlib>

#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/class_builder.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"
#include "../../frame/function.hpp"
#include "../../frame/imports.hpp"
#include "../../frame/module_state.hpp"
#include "../moved_names.hpp"
#include "sandbox.hpp"

// This file is built in the C++ library's checked mode (CMakeLists.txt), so
// that its strings are made in the shared object instead of taken from a
// recent libstdc++. A failed check is reported through this function, which
// only libstdc++ 12 and later export: the shared object carries its own.
namespace std {
[[noreturn]] void __glibcxx_assert_fail(const char* file, int line, const char* function,
                                        const char* condition) noexcept {
    std::fprintf(stderr, "%s:%d: %s: check failed: %s\n", file, line, function, condition);
    std::abort();
}
}  // namespace std

namespace zarvosdk_sandbox {

Names names;

void make_constants() {
    ZV_INTERN_TABLES(NAMES, TEXTS)
    names.sessions.set(zv::own(PyDict_New()));
}

void run_top_level(zv::ModuleState& state);

zv::ModuleState module_state = zv::define_module([](zv::ModuleDescription& description) {
    description.qualified_name = "zarvosdk.sandbox";
    description.source_file = "src/zarvosdk/sandbox/module.cpp";
    description.finds_moved_names(zarvosdk::moved_names);
    description.constants = make_constants;
    description.body = run_top_level;
});

const zv::FunctionDef end_all_sandboxes_def{
    "_end_all_sandboxes", "_end_all_sandboxes", "Ends every sandbox as the host exits.", ZV_HERE,
    end_all_sandboxes, {}};

const zv::FunctionDef tool_run_def{
    "_run", "SandboxedPythonREPLTool._run", "Runs the code in the sandbox and returns what it printed.",
    ZV_HERE, tool_run, {{"self"}, {"query", Exact::str}}};

// The class -------------------------------------------------------------------------


/// A field with a default that must be greater than zero and at most `most`.
Ref positive_field(Borrowed default_value, Borrowed most) {
    return zv::call(module_state.global(names.Field), {},
                    {{names.default_key, default_value}, {names.gt, zv::integer(0)}, {names.le, most}});
}

void tool_body(zv::ModuleState& state, PyObject* ns) {
    bool v2 = zv::is_pydantic_v2_model(state.global(names.BaseTool).get());
    Ref annotations = zv::dict({{names.name, names.str_text},
                                {names.description, names.str_text},
                                {names.timeout_seconds, names.float_text},
                                {names.memory_mb, names.int_text},
                                {names.max_processes, names.int_text},
                                {names.file_size_mb, names.int_text},
                                {names.output_bytes, names.int_text},
                                {names.output_dir, names.optional_text}});
    zv::set_entry(ns, "__annotations__", annotations.get());
    if (v2) {
        Ref ignored = zv::tuple({reinterpret_cast<PyObject*>(zv::function_type())});
        zv::set_entry(ns, names.model_config, zv::dict({{names.ignored_types, ignored}}));
    }
    Limits defaults;
    zv::set_entry(ns, names.name, names.tool_name);
    zv::set_entry(ns, names.description, names.tool_description);
    Ref most_seconds = zv::integer(1000000), most = zv::integer(1L << 30);
    zv::set_entry(ns, names.timeout_seconds,
                  positive_field(zv::own(PyFloat_FromDouble(defaults.seconds)), most_seconds));
    zv::set_entry(ns, names.memory_mb, positive_field(zv::integer(defaults.memory_mb), most));
    zv::set_entry(ns, names.max_processes, positive_field(zv::integer(defaults.processes), most));
    zv::set_entry(ns, names.file_size_mb, positive_field(zv::integer(defaults.file_size_mb), most));
    zv::set_entry(ns, names.output_bytes, positive_field(zv::integer(defaults.output_bytes), most));
    zv::set_entry(ns, names.output_dir, Py_None);
    zv::define_method(state, ns, tool_run_def, nullptr,
                      zv::dict({{names.query, names.str_text}, {names.return_key, names.str_text}}).get());
}

// Top level -------------------------------------------------------------------------

void run_top_level(zv::ModuleState& state) {
    ZV_LINE(state), zv::import_plain(state, "atexit", "atexit");
    ZV_LINE(state), zv::import_plain(state, "os", "os");
    ZV_LINE(state), zv::import_plain(state, "site", "site");
    ZV_LINE(state), zv::import_plain(state, "sys", "sys");
    ZV_LINE(state), zv::import_plain(state, "weakref", "weakref");
    ZV_LINE(state), zv::import_from(state, "typing", {"Optional"});
    ZV_LINE(state), zv::import_from(state, "langchain.tools.base", {"BaseTool"});
    // The field helper of the tool base's own pydantic line.
    ZV_LINE(state);
    if (zv::is_pydantic_v2_model(state.global(names.BaseTool).get())) zv::import_from(state, "pydantic", {"Field"});
    else zv::import_from(state, "langchain_core.pydantic_v1", {"Field"});

    ZV_LINE(state);
    Ref error = zv::own(PyErr_NewExceptionWithDoc(
        "zarvosdk.sandbox.SandboxUnavailable",
        "The sandbox cannot be had on this machine (bubblewrap missing, user namespaces "
        "refused) or the host is exiting; the tool never runs code outside it.",
        PyExc_RuntimeError, nullptr));
    state.set(names.SandboxUnavailable, error.get());
    names.unavailable.set(std::move(error));

    ZV_LINE(state);
    Ref tool = zv::build_class(state, "SandboxedPythonREPLTool", "SandboxedPythonREPLTool",
                               zv::tuple({state.global(names.BaseTool)}).get(),
                               "The framework's Python REPL tool, run in a bubblewrap sandbox.",
                               tool_body);
    state.set(names.SandboxedPythonREPLTool, tool.get());

    // Every sandbox ends as the host exits, before the interpreter goes.
    ZV_LINE(state);
    Ref end_all = zv::make_function(end_all_sandboxes_def, state);
    zv::call(zv::getattr(module_state.global(names.atexit), "register"), {end_all});
}

}  // namespace zarvosdk_sandbox

PyMODINIT_FUNC PyInit_sandbox() { return zv::init_module(zarvosdk_sandbox::module_state); }
