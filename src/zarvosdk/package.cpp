// zarvosdk: the package module. It binds nothing of its own and imports none
// of its submodules; each is loaded when the application imports it.
#include "../frame/module_state.hpp"

namespace {

/// Binds submodules that entered sys.modules before the package itself did
/// (importing the top-level forecast_tool registers zarvosdk.forecast_tool),
/// so that `zarvosdk.forecast_tool` reads as an attribute like any submodule.
void bind_loaded_submodules(zv::ModuleState& state) {
    for (const char* name : {"agent", "base", "forecast_tool", "sandbox", "guard"}) {
        zv::Ref qualified = zv::own(PyUnicode_FromFormat("zarvosdk.%s", name));
        zv::Ref module = zv::Ref::steal(PyImport_GetModule(qualified.get()));
        if (!module && PyErr_Occurred()) zv::raise();
        // None marks a blocked import, not a loaded submodule.
        if (module && module.get() != Py_None) state.set(name, module.get());
    }
}

void run_top_level(zv::ModuleState& state) { bind_loaded_submodules(state); }

zv::ModuleState module_state = zv::define_module([](zv::ModuleDescription& description) {
    description.qualified_name = "zarvosdk";
    description.version_name = "zarvosdk.__init__";
    description.source_file = "src/zarvosdk/package.cpp";
    description.body = run_top_level;
});

}  // namespace

PyMODINIT_FUNC PyInit_zarvosdk() { return zv::init_module(module_state); }
