#include "arguments.hpp"
#include <algorithm>
#include <cstring>
#include "conversions.hpp"

namespace zv {
namespace {

/// The positional parameters that have a default: the last ones, as many as
/// `defaults` has items. A tuple longer than the positional parameters has
/// its first items unused, as on a host function.
Py_ssize_t count_positional_defaults(const Signature& sig, PyObject* defaults) {
    Py_ssize_t size = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    return size < sig.npositional ? size : sig.npositional;
}

/// The default of positional parameter `i`, which has one (borrowed).
PyObject* positional_default(const Signature& sig, PyObject* defaults, Py_ssize_t i) {
    return PyTuple_GET_ITEM(defaults, PyTuple_GET_SIZE(defaults) - sig.npositional + i);
}

/// Refuses a wrong number of positional arguments. Only the positional
/// parameters count; a missing keyword-only one is refused by name.
bool refuse_count(const Signature& sig, PyObject* defaults, Py_ssize_t given) {
    Py_ssize_t ndefaults = count_positional_defaults(sig, defaults);
    Py_ssize_t required = sig.npositional - ndefaults;
    Py_ssize_t expected = given < required ? required : sig.npositional;
    const char* bound = ndefaults == 0 ? "exactly" : given < required ? "at least" : "at most";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, bound, expected, expected == 1 ? "" : "s", given);
    return false;
}

/// Index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    PyObject* const* names = &PyTuple_GET_ITEM(sig.varnames, 0);
    for (Py_ssize_t i = 0; i < sig.nparams; ++i)
        if (names[i] == key) return i;
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        int eq = PyUnicode_Compare(names[i], key) == 0;
        if (eq) return i;
    }
    return -1;
}

/// The value passed for keyword `name`, or null (borrowed).
PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    PyObject* const* keys = &PyTuple_GET_ITEM(kwnames, 0);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (keys[i] == name) return kwvalues[i];
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Check(keys[i]) && PyUnicode_Compare(keys[i], name) == 0) return kwvalues[i];
    return nullptr;
}

/// Names the first keyword that cannot be bound: not a text, unknown, or a
/// parameter already given by position.
bool refuse_keywords(const Signature& sig, PyObject* kwnames, Py_ssize_t nargs) {
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        Py_ssize_t index = find_param(sig, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
            return false;
        }
        if (index < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return false;
        }
    }
    PyErr_SetString(PyExc_SystemError, "keyword arguments could not be bound");
    return false;
}

/// Refuses a call that leaves keyword-only parameters without a value, with
/// the host's message: "f() missing 2 required keyword-only arguments: 'a'
/// and 'b'".
bool refuse_missing_keyword_only(const Signature& sig, const Py_ssize_t* missing, Py_ssize_t count) {
    Ref listed;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(sig.varnames, missing[k]);
        const char* separator = k + 1 < count ? ", " : count == 2 ? " and " : ", and ";
        listed = Ref::steal(k == 0 ? PyUnicode_FromFormat("%R", name)
                                   : PyUnicode_FromFormat("%U%s%R", listed.get(), separator, name));
        if (!listed) return false;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() missing %zd required keyword-only argument%s: %U",
                 sig.name, count, count == 1 ? "" : "s", listed.get());
    return false;
}

/// Gives each keyword-only parameter the call left out (null in `out`) its
/// default, and refuses the call when one has none.
bool bind_keyword_only_defaults(const Signature& sig, PyObject* kwdefaults, PyObject** out) {
    Py_ssize_t missing[max_params];
    Py_ssize_t count = 0;
    for (Py_ssize_t i = sig.npositional; i < sig.nparams; ++i) {
        if (out[i]) continue;
        PyObject* value =
            kwdefaults ? PyDict_GetItemWithError(kwdefaults, PyTuple_GET_ITEM(sig.varnames, i)) : nullptr;
        if (value)
            out[i] = value;
        else if (PyErr_Occurred())
            return false;
        else
            missing[count++] = i;
    }
    return count == 0 || refuse_missing_keyword_only(sig, missing, count);
}

bool bind_keywords(const Signature& sig, Defaults defaults, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    Py_ssize_t required = sig.npositional - count_positional_defaults(sig, defaults.positional);
    Py_ssize_t unused = PyTuple_GET_SIZE(kwnames);
    PyObject* const* kwvalues = args + nargs;
    for (Py_ssize_t i = nargs; i < sig.nparams; ++i) {
        PyObject* value = find_keyword(kwnames, kwvalues, PyTuple_GET_ITEM(sig.varnames, i));
        if (value) {
            out[i] = value;
            --unused;
        } else if (i < required) {
            return refuse_count(sig, defaults.positional, i);
        } else {
            out[i] = i < sig.npositional ? positional_default(sig, defaults.positional, i) : nullptr;
        }
    }
    if (unused != 0) return refuse_keywords(sig, kwnames, nargs);
    return bind_keyword_only_defaults(sig, defaults.keyword_only, out);
}

/// Refuses the value of parameter `i` for its type, with the host's message
/// "Argument 'NAME' has incorrect type (expected TYPE, got GIVEN)". The
/// text up to GIVEN is made once per parameter; GIVEN is the type's name as
/// the host's formatter would insert it (at most 200 bytes, decoded as UTF-8
/// with replacement), so the general formatter is not needed for each refusal.
bool refuse_type(const Signature& sig, Py_ssize_t i, PyObject* value) {
    const Param& param = sig.params[i];
    PyObject*& head = sig.type_refusals[i];
    if (!head &&
        !(head = PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got ",
                                      param.name, param.exact == Exact::str ? "str" : "int")))
        return false;
    const char* type_name = Py_TYPE(value)->tp_name;
    Ref given = Ref::steal(PyUnicode_DecodeUTF8(type_name, strnlen(type_name, 200), "replace"));
    if (!given) return false;
    Ref close = Ref::steal(PyUnicode_FromStringAndSize(")", 1));
    if (!close) return false;
    Ref message = guarded<Ref>(Ref(), [&] { return concat({head, given, close}); });
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
}

}  // namespace

bool bind_arguments(const Signature& sig, Defaults defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (sig.nparams == 0) {
        if (nkw) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", sig.name);
            return false;
        }
        if (nargs) {
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", sig.name,
                         nargs);
            return false;
        }
        return true;
    }
    if (nargs > sig.npositional) return refuse_count(sig, defaults.positional, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (nkw) {
        if (!bind_keywords(sig, defaults, args, nargs, kwnames, out)) return false;
    } else {
        Py_ssize_t required = sig.npositional - count_positional_defaults(sig, defaults.positional);
        if (nargs < required) return refuse_count(sig, defaults.positional, nargs);
        for (Py_ssize_t i = nargs; i < sig.npositional; ++i)
            out[i] = positional_default(sig, defaults.positional, i);
        if (sig.npositional < sig.nparams) {
            std::fill(out + sig.npositional, out + sig.nparams, nullptr);
            if (!bind_keyword_only_defaults(sig, defaults.keyword_only, out)) return false;
        }
    }
    return check_types(sig, out);
}

bool check_types(const Signature& sig, PyObject* const* values) noexcept {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        Exact want = sig.params[i].exact;
        if (want == Exact::any) continue;
        PyObject* v = values[i];
        if (want == Exact::str ? PyUnicode_CheckExact(v) : PyLong_CheckExact(v)) continue;
        return refuse_type(sig, i, v);
    }
    return true;
}

}  // namespace zv
