#include "imports.hpp"
#include "attributes.hpp"
#include "containers.hpp"
#include "conversions.hpp"

namespace zv {
namespace {

/// The host's import with the module's namespace as globals, level 0.
Ref import_module(ModuleState& state, PyObject* name, PyObject* fromlist) {
    Ref locals = own(PyDict_New());
    return own(PyImport_ImportModuleLevelObject(name, state.globals, locals.get(), fromlist, 0));
}

/// The entry of sys.modules for `name` when that module finished initialising.
Ref finished_module(PyObject* name) {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (!module) {
        if (PyErr_Occurred()) raise();
        return module;
    }
    // None marks a module whose import is blocked: the host's import reports it.
    if (module.get() == Py_None) return Ref();
    Ref spec = Ref::steal(PyObject_GetAttrString(module.get(), "__spec__"));
    if (!spec) {
        PyErr_Clear();
        return module;
    }
    Ref initializing = Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
    if (!initializing) {
        PyErr_Clear();
        return module;
    }
    return truth(initializing.get()) ? Ref() : std::move(module);
}

/// `from module import name`: the attribute, else the submodule entry of sys.modules.
Ref import_name(PyObject* module, PyObject* name) {
    Ref value = optional_attr(module, name);
    if (value) return value;
    Ref module_name = optional_attr(module, "__name__");
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref full = own(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        value = Ref::steal(PyImport_GetModule(full.get()));
        if (value) return value;
        if (PyErr_Occurred()) raise();
    }
    raise(PyExc_ImportError, "cannot import name %S", name);
}

}  // namespace

Ref import_plain_module(ModuleState& state, Borrowed name) {
    Ref module = finished_module(name);
    if (!module) module = import_module(state, name, nullptr);
    return module;
}

void import_plain(ModuleState& state, const char* name, const char* as) {
    Ref key = own(PyUnicode_InternFromString(name));
    Ref module = import_plain_module(state, key.get());
    state.set(as, module.get());
}

namespace {

// Moved names -------------------------------------------------------------------
//
// A from-import whose module fails to import, or lacks a name, with an
// ImportError tries each home the module's table lists for the name; the
// first that imports and has it supplies the value. Only what imports
// decides, and a name found in none of its homes raises the ImportError of
// the statement's own module, as it would without the table. An import of a
// home that fails with anything but ImportError goes on as that failure.

/// Whether the module's table lists a home for `name`.
bool has_home(const ModuleState& state, PyObject* name) {
    for (std::size_t i = 0; i < state.name_home_count; ++i)
        if (PyUnicode_CompareWithASCIIString(name, state.name_homes[i].name) == 0) return true;
    return false;
}

/// Whether the pending exception is an ImportError and the table lists a
/// home for each name of `fromlist`.
bool every_name_has_home(const ModuleState& state, PyObject* fromlist) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fromlist); ++i)
        if (!has_home(state, PyTuple_GET_ITEM(fromlist, i))) return false;
    return true;
}

/// The pending exception, taken out of the error indicator.
SavedError::Parts take_error() noexcept {
    SavedError pending;
    return pending.release();
}

/// Sets `error` (a copy of it: each name may raise it again) and throws.
[[noreturn]] void raise_again(const SavedError::Parts& error) {
    PyErr_Restore(Ref::borrow(error.type.get()).release(), Ref::borrow(error.value.get()).release(),
                  Ref::borrow(error.traceback.get()).release());
    raise();
}

/// `from home import name`, or an empty Ref when that fails with ImportError.
Ref name_in_home(ModuleState& state, const char* home, PyObject* name) {
    try {
        Ref key = own(PyUnicode_InternFromString(home));
        Ref fromlist = tuple({name});
        Ref module = import_module(state, key.get(), fromlist.get());
        return import_name(module.get(), name);
    } catch (const Error&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
        PyErr_Clear();
        return Ref();
    }
}

/// `name` from the first of its homes that has it; else raises `first`, the
/// ImportError of the statement's own module.
Ref moved_name(ModuleState& state, PyObject* name, const SavedError::Parts& first) {
    for (std::size_t i = 0; i < state.name_home_count; ++i) {
        const NameHome& entry = state.name_homes[i];
        if (PyUnicode_CompareWithASCIIString(name, entry.name) != 0) continue;
        if (Ref value = name_in_home(state, entry.home, name)) return value;
    }
    raise_again(first);
}

/// `name` of the imported `module`, else from one of its homes.
Ref name_from(ModuleState& state, PyObject* module, PyObject* name) {
    try {
        return import_name(module, name);
    } catch (const Error&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError) || !has_home(state, name)) throw;
    }
    SavedError::Parts missing = take_error();
    return moved_name(state, name, missing);
}

}  // namespace

void import_from(ModuleState& state, const char* module, std::initializer_list<const char*> names) {
    Ref key = own(PyUnicode_InternFromString(module));
    Ref fromlist = own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names)
        PyTuple_SET_ITEM(fromlist.get(), i++, own(PyUnicode_InternFromString(n)).release());
    Ref imported;
    SavedError::Parts module_error;
    try {
        imported = import_module(state, key.get(), fromlist.get());
    } catch (const Error&) {
        // As without the table, nothing is bound unless every name has a home to try.
        if (!every_name_has_home(state, fromlist.get())) throw;
        module_error = take_error();
    }
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
        Ref value = imported ? name_from(state, imported.get(), name)
                             : moved_name(state, name, module_error);
        state.set(name, value.get());
    }
}

/// Refuses a name listed for `from module import *` that is not a text, with
/// the host's message.
[[noreturn]] void refuse_star_name(PyObject* module, PyObject* name, bool from_dict) {
    Ref module_name = getattr(module, "__name__");
    if (!PyUnicode_Check(module_name.get()))
        raise(PyExc_TypeError, "module __name__ must be a string, not %.100s",
              Py_TYPE(module_name.get())->tp_name);
    raise(PyExc_TypeError, "%s in %U.%s must be str, not %.100s", from_dict ? "Key" : "Item",
          module_name.get(), from_dict ? "__dict__" : "__all__", Py_TYPE(name)->tp_name);
}

void import_star(ModuleState& state, const char* module) {
    Ref key = own(PyUnicode_InternFromString(module));
    Ref star = own(PyUnicode_InternFromString("*"));
    Ref fromlist = tuple({star.get()});
    Ref imported = import_module(state, key.get(), fromlist.get());
    Ref names = optional_attr(imported, "__all__");
    bool public_only = false;
    if (!names) {
        Ref dict = optional_attr(imported, "__dict__");
        if (!dict) raise(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        names = own(PyMapping_Keys(dict.get()));
        public_only = true;
    }
    // As the host does: the names by index until IndexError, each a text.
    for (Py_ssize_t i = 0;; ++i) {
        Ref name = Ref::steal(PySequence_GetItem(names.get(), i));
        if (!name) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) raise();
            PyErr_Clear();
            return;
        }
        if (!PyUnicode_Check(name.get())) refuse_star_name(imported.get(), name.get(), public_only);
        if (public_only && PyUnicode_GetLength(name.get()) > 0 &&
            PyUnicode_READ_CHAR(name.get(), 0) == '_')
            continue;
        Ref value = getattr(imported.get(), name.get());
        state.set(name.get(), value.get());
    }
}

}  // namespace zv
