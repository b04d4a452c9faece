#include "class_builder.hpp"
#include "attributes.hpp"
#include "call.hpp"

namespace zv {
namespace {

/// Replaces bases that define `__mro_entries__` by what it returns.
Ref resolve_bases(PyObject* bases) {
    Ref result = own(PyList_New(0));
    bool changed = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        Ref entries;
        if (!PyType_Check(base)) {
            if (Ref method = optional_attr(base, "__mro_entries__")) {
                entries = call(method.get(), {bases});
                if (!PyTuple_Check(entries.get()))
                    raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
                changed = true;
            }
        }
        if (entries) {
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(entries.get()); ++j)
                check(PyList_Append(result.get(), PyTuple_GET_ITEM(entries.get(), j)));
        } else {
            check(PyList_Append(result.get(), base));
        }
    }
    if (!changed) return Ref::borrow(bases);
    return own(PyList_AsTuple(result.get()));
}

/// The most derived metaclass of the bases (`type` when there are none).
PyObject* most_derived_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* meta = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, meta)) continue;
        if (PyType_IsSubtype(meta, winner)) {
            winner = meta;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
              "subclass of the metaclasses of all its bases");
    }
    return reinterpret_cast<PyObject*>(winner);
}

Ref prepare_namespace(PyObject* meta, PyObject* name, PyObject* bases) {
    Ref prepare = optional_attr(meta, "__prepare__");
    if (!prepare) return own(PyDict_New());
    Ref ns = call(prepare.get(), {name, bases});
    if (!PyMapping_Check(ns.get()))
        raise(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
              PyType_Check(meta) ? reinterpret_cast<PyTypeObject*>(meta)->tp_name : "<metaclass>",
              Py_TYPE(ns.get())->tp_name);
    return ns;
}

}  // namespace

bool is_pydantic_v2_model(Borrowed cls) { return bool(optional_attr(cls, "model_fields")); }

void set_entry(PyObject* ns, const char* key, PyObject* value) {
    check(PyMapping_SetItemString(ns, key, value));
}

void set_entry(PyObject* ns, Borrowed key, Borrowed value) { check(PyObject_SetItem(ns, key, value)); }

void define_method(ModuleState& state, PyObject* ns, const FunctionDef& fdef, Borrowed defaults,
                   Borrowed annotations) {
    Ref method = make_function(fdef, state, defaults, annotations);
    set_entry(ns, fdef.name, method.get());
}

Ref build_class(ModuleState& state, const char* name, const char* qualname, PyObject* bases,
                const char* doc, ClassBody body) {
    Ref resolved = resolve_bases(bases);
    PyObject* meta = most_derived_metaclass(resolved.get());
    Ref name_obj = own(PyUnicode_InternFromString(name));
    Ref ns = prepare_namespace(meta, name_obj.get(), resolved.get());
    Ref qualname_obj = own(PyUnicode_InternFromString(qualname));
    check(PyMapping_SetItemString(ns.get(), "__module__", state.name.get()));
    check(PyMapping_SetItemString(ns.get(), "__qualname__", qualname_obj.get()));
    if (doc) {
        Ref doc_obj = own(PyUnicode_FromString(doc));
        check(PyMapping_SetItemString(ns.get(), "__doc__", doc_obj.get()));
    }
    body(state, ns.get());
    if (resolved.get() != bases) check(PyMapping_SetItemString(ns.get(), "__orig_bases__", bases));
    return call(meta, {name_obj.get(), resolved.get(), ns.get()});
}

}  // namespace zv
