#include "module_state.hpp"
#include <cstdio>
#include <cstring>
#include "attributes.hpp"
#include "compat.hpp"
#include "coroutine.hpp"
#include "top_level.hpp"
#include "traceback.hpp"

namespace zv {
namespace {

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

ModuleState& state_of(PyModuleDef* def) { return *reinterpret_cast<ModuleState*>(def); }

int64_t current_interpreter() { return PyInterpreterState_GetID(PyInterpreterState_Get()); }

/// Copies one attribute of the import spec into the module namespace; a spec
/// without the attribute is passed over.
void copy_spec_attribute(PyObject* spec, PyObject* ns, const char* from, const char* to,
                         bool allow_none) {
    Ref value = optional_attr(spec, from);
    if (!value) return;
    if (allow_none || value.get() != Py_None) check(PyDict_SetItemString(ns, to, value.get()));
}

PyObject* create_module(PyObject* spec, PyModuleDef* def) noexcept {
    ModuleState& state = state_of(def);
    int64_t interp = current_interpreter();
    if (interp == -1) return nullptr;
    if (state.interpreter == -1) {
        state.interpreter = interp;
    } else if (state.interpreter != interp) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module) return Ref::borrow(state.module.get()).release();
    return guarded<PyObject*>(nullptr, [&] {
        Ref name = own(PyObject_GetAttrString(spec, "name"));
        Ref module = own(PyModule_NewObject(name.get()));
        PyObject* ns = checked(PyModule_GetDict(module.get()));
        copy_spec_attribute(spec, ns, "loader", "__loader__", true);
        copy_spec_attribute(spec, ns, "origin", "__file__", true);
        copy_spec_attribute(spec, ns, "parent", "__package__", true);
        copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__", false);
        return module.release();
    });
}

/// Major and minor number of the running host, read from its version text.
void running_version(int& major, int& minor) {
    const char* v = Py_GetVersion();
    major = minor = 0;
    for (; *v >= '0' && *v <= '9'; ++v) major = major * 10 + (*v - '0');
    if (*v == '.')
        for (++v; *v >= '0' && *v <= '9'; ++v) minor = minor * 10 + (*v - '0');
}

void check_version(const ModuleState& state) {
    int major, minor;
    running_version(major, minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[256];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, state.version_name, "does not match", major,
                  minor);
    check(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

/// Registers the module in sys.modules under its qualified name unless an
/// entry exists; reports whether it did.
bool register_module(const ModuleState& state) {
    PyObject* modules = checked(PyImport_GetModuleDict());
    if (PyDict_GetItemWithError(modules, state.name.get())) return false;
    if (PyErr_Occurred()) raise();
    check(PyDict_SetItem(modules, state.name.get(), state.module.get()));
    return true;
}

/// Takes back a registration made by a failed exec, keeping the pending error.
void unregister_module(const ModuleState& state) noexcept {
    SavedError pending;
    PyObject* modules = PyImport_GetModuleDict();
    if (modules && state.name && PyDict_GetItemWithError(modules, state.name.get()) == state.module.get())
        PyDict_DelItem(modules, state.name.get());
}

/// Binds the module on its parent package, as the host's import does after
/// loading a submodule; needed when the module entered sys.modules through
/// another name (the top-level forecast_tool).
void bind_on_parent(const ModuleState& state) {
    const char* dot = std::strrchr(state.qualified_name, '.');
    if (!dot) return;
    Ref parent_name = own(PyUnicode_FromStringAndSize(state.qualified_name, dot - state.qualified_name));
    Ref parent = Ref::steal(PyImport_GetModule(parent_name.get()));
    if (!parent) {
        if (PyErr_Occurred()) raise();
        return;
    }
    check(PyObject_SetAttrString(parent.get(), dot + 1, state.module.get()));
}

void resolve_builtins(ModuleState& state) {
    PyObject* dict = checked(PyModule_GetDict(builtins_module()));
    for (std::size_t i = 0; i < state.builtin_count; ++i) {
        Ref name = own(PyUnicode_InternFromString(state.builtins[i].name));
        PyObject* value = PyDict_GetItemWithError(dict, name.get());
        if (!value) {
            if (!PyErr_Occurred()) raise(PyExc_NameError, "name '%U' is not defined", name.get());
            raise();
        }
        state.builtins[i].slot->set(Ref::borrow(value));
    }
}

void run_exec_steps(ModuleState& state, bool& registered) {
    check(PyDict_SetItemString(state.globals, "__builtins__", builtins_module()));
    check_version(state);
    if (state.constants) state.constants();
    registered = register_module(state);
    resolve_builtins(state);
    if (state.registers_coroutine_type) register_coroutine_type();
    state.line = 1;
    run_top_level(state);
    Ref test = own(PyDict_New());
    state.set("__test__", test.get());
    if (registered) bind_on_parent(state);
}

int exec_module(PyObject* module) noexcept {
    PyModuleDef* def = PyModule_GetDef(module);
    if (!def) return -1;
    ModuleState& state = state_of(def);
    if (state.module) {
        if (state.module.get() == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.short_name);
        return -1;
    }
    state.module.set(Ref::borrow(module));
    state.globals = PyModule_GetDict(module);
    state.line = 1;
    bool registered = false;
    try {
        if (!state.name) intern(state.name, state.qualified_name);
        run_exec_steps(state, registered);
        return 0;
    } catch (const Error&) {
        // The host's exception is set, unless a call failed without setting
        // one: the ImportError below then names the init.
    } catch (...) {
        set_error_from_current_exception();
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, state.init_name);
    add_traceback(state.init_name, state.source_file, state.line, state.globals);
    if (registered) unregister_module(state);
    state.globals = nullptr;
    state.module.clear();  // the next import starts over with a fresh module
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, slot(create_module)},
    {Py_mod_exec, slot(exec_module)},
    {0, nullptr},
};

}  // namespace

ModuleState define_module(void (*describe)(ModuleDescription&)) {
    ModuleDescription description;
    describe(description);
    const char* dot = std::strrchr(description.qualified_name, '.');
    ModuleState state{};
    state.short_name = dot ? dot + 1 : description.qualified_name;
    state.def = PyModuleDef{PyModuleDef_HEAD_INIT, state.short_name, nullptr, 0, no_methods, module_slots,
                        nullptr, nullptr, nullptr};
    state.qualified_name = description.qualified_name;
    state.version_name = description.version_name ? description.version_name : description.qualified_name;
    std::snprintf(state.init_name, sizeof state.init_name, "init %s", description.qualified_name);
    state.source_file = description.source_file;
    state.builtins = description.builtins;
    state.builtin_count = description.builtin_count;
    state.name_homes = description.name_homes;
    state.name_home_count = description.name_home_count;
    state.constants = description.constants;
    state.body = description.body;
    state.registers_coroutine_type = description.registers_coroutine_type;
    return state;
}

PyObject* init_module(ModuleState& state) noexcept { return PyModuleDef_Init(&state.def); }

PyObject* intern(Persistent& slot, const char* text) {
    if (!slot) slot.set(own(PyUnicode_InternFromString(text)));
    return slot.get();
}

PyObject* builtins_module() {
    static PyObject* module = nullptr;  // borrowed: the interpreter keeps it alive
    if (!module) module = checked(PyImport_AddModule("builtins"));
    return module;
}

Ref ModuleState::global(PyObject* key) const {
    if (!globals) raise(PyExc_RuntimeError, "module '%s' is not initialised", qualified_name);
    PyObject* value = PyDict_GetItemWithError(globals, key);
    if (value) return Ref::borrow(value);
    if (PyErr_Occurred()) raise();
    value = PyDict_GetItemWithError(checked(PyModule_GetDict(builtins_module())), key);
    if (value) return Ref::borrow(value);
    if (PyErr_Occurred()) raise();
    raise(PyExc_NameError, "name '%U' is not defined", key);
}

Ref ModuleState::lookup_and_keep(const Name& key) const {
    std::uint64_t version = 0;
    if (!globals || !compat::dict_version(globals, version)) return global(key.get());
    PyObject* value = PyDict_GetItemWithError(globals, key.get());
    if (!value) return global(key.get());  // the builtins, or the error
    // Only what the namespace itself holds is kept: the builtins are another
    // dict, whose changes the namespace's version does not follow.
    key.version_ = version;
    key.value_ = value;
    return Ref::borrow(value);
}

void ModuleState::add_traceback(Persistent& cache, const char* qualname, int line) const noexcept {
    if (!cache) {
        char name[256];
        std::snprintf(name, sizeof name, "%s.%s", qualified_name, qualname);
        cache.set(Ref::steal(new_traceback_frame(name, source_file, line, globals)));
    }
    add_traceback_entry(cache.get());
}

void ModuleState::set(Borrowed key, Borrowed value) const {
    check(PyDict_SetItem(globals, key, value));
}

void ModuleState::set(const char* key, Borrowed value) const {
    check(PyDict_SetItemString(globals, key, value));
}

}  // namespace zv
