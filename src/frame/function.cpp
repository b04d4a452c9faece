#include "function.hpp"
#include <structmember.h>
#include <algorithm>
#include <array>
#include <iterator>
#include <type_traits>
#include "arguments.hpp"
#include "attributes.hpp"
#include "traceback.hpp"

namespace zv {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* fdef;
    const ModuleState* module_state;
    Signature sig;
    // Kept until the object is freed: repr, the binder, the call path and the
    // attribute getters read them (texts, code objects and the module's
    // namespace; a cycle through the namespace is broken by clearing the dict).
    PyObject* name;        // __name__
    PyObject* qualname;    // __qualname__
    PyObject* code;        // __code__
    PyObject* varnames;    // parameter names
    PyObject* globals;     // __globals__
    PyObject* type_refusals[max_params];  // texts the binder makes on refusals
    // Emptied by the garbage collector's clear: they may hold any object.
    PyObject* tb_frame;    // traceback entry's state, made on the first failure
    PyObject* module;      // __module__
    PyObject* doc;         // __doc__
    PyObject* defaults;    // __defaults__ (tuple) or null
    PyObject* annotations; // __annotations__ (dict) or null until asked for
    PyObject* dict;        // __dict__ or null
    PyObject* weakrefs;
};

static_assert(std::extent<decltype(FunctionDef::params)>::value == max_params,
              "the binder's array holds every parameter a FunctionDef can declare");

FunctionObject* as_function(PyObject* self) noexcept {
    return reinterpret_cast<FunctionObject*>(self);
}

/// Adds this function's entry to the traceback of the exception leaving it.
/// The entry's frame is made on the first failure and kept for the next.
void add_function_traceback(FunctionObject* function) noexcept {
    if (!function->tb_frame) {
        SavedError leaving;
        Ref path = Ref::steal(PyUnicode_FromFormat("%U.%U", function->module_state->name.get(), function->qualname));
        const char* text = path ? PyUnicode_AsUTF8(path.get()) : nullptr;
        leaving.restore();
        if (text)
            function->tb_frame = new_traceback_frame(text, function->module_state->source_file, function->fdef->line, function->globals);
    }
    add_traceback_entry(function->tb_frame);
}

/// Holds a reference to each argument while the body runs, for functions
/// that declare `HoldsArguments`.
class LocalReferences {
public:
    LocalReferences(PyObject* const* values, Py_ssize_t count) noexcept
        : values_(values), count_(count) {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_INCREF(values_[i]);
    }
    ~LocalReferences() {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_DECREF(values_[i]);
    }
    LocalReferences(const LocalReferences&) = delete;
    LocalReferences& operator=(const LocalReferences&) = delete;

private:
    PyObject* const* values_;
    Py_ssize_t count_;
};

/// Module code reads the namespace of the module's current import. A function
/// made by an import that failed (its namespace is no longer the module's)
/// refuses to run rather than read another import's namespace.
bool belongs_to_current_import(FunctionObject* function) noexcept {
    if (function->globals == function->module_state->globals) return true;
    PyErr_Format(PyExc_RuntimeError,
                 "%U() belongs to a failed import of module '%s' and can no longer run",
                 function->qualname, function->module_state->qualified_name);
    return false;
}

/// The arguments in parameter order: the caller's own array when the call
/// passes every parameter by position, otherwise what the binder puts in
/// `bound`. Null with a TypeError set when the binder refuses the call.
PyObject* const* bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** bound) noexcept {
    if (!kwnames && nargs == sig.nparams && nargs > 0 && sig.npositional == sig.nparams)
        return !sig.checks_types || check_types(sig, args) ? args : nullptr;
    return bind_arguments(sig, args, nargs, kwnames, bound) ? bound : nullptr;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(self);
    std::array<PyObject*, max_params> bound;  // sig.nparams <= max_params
    PyObject* const* values = bind(function->sig, args, PyVectorcall_NARGS(nargsf), kwnames, bound.data());
    PyObject* result = nullptr;
    if (values && belongs_to_current_import(function)) {
        LocalReferences locals(values, function->fdef->has(HoldsArguments) ? function->sig.nparams : 0);
        result = guarded<PyObject*>(nullptr, [&] { return function->fdef->body(values).release(); });
    }
    if (!result) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "native function returned no result");
        add_function_traceback(function);
    }
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->defaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    Py_VISIT(function->varnames);
    Py_VISIT(function->tb_frame);
    return 0;
}

/// Breaks reference cycles: drops what may hold arbitrary objects and keeps
/// what the other paths read, as the host's function type keeps its name,
/// qualified name and code. A cleared function still binds and runs; it has
/// lost its defaults, annotations, docstring, __module__ and __dict__.
int function_clear(PyObject* self) noexcept {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    function->sig.defaults = nullptr;
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->tb_frame);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    FunctionObject* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    function->sig.varnames = nullptr;
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->code);
    Py_CLEAR(function->varnames);
    Py_CLEAR(function->globals);
    for (PyObject*& text : function->type_refusals) Py_CLEAR(text);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<native function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Ref::borrow(as_function(self)->qualname).release();
}

// Attributes -------------------------------------------------------------

PyObject* get_or_none(PyObject* value) noexcept { return Ref::borrow(value ? value : Py_None).release(); }

int set_text(PyObject** slot, PyObject* value, const char* what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Ref::borrow(value).release());
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) noexcept {
    return set_text(&as_function(self)->name, v, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) noexcept {
    return set_text(&as_function(self)->qualname, v, "__qualname__");
}

/// Setter for attributes that take any object (deleting stores None).
int set_any(PyObject** slot, PyObject* value) noexcept {
    Py_XSETREF(*slot, Ref::borrow(value ? value : Py_None).release());
    return 0;
}
PyObject* get_module(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->module); }
int set_module(PyObject* self, PyObject* v, void*) noexcept { return set_any(&as_function(self)->module, v); }
PyObject* get_doc(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) noexcept { return set_any(&as_function(self)->doc, v); }

/// Keyword-only parameters of the function (the last ones).
Py_ssize_t count_keyword_only(const FunctionObject* function) noexcept {
    return function->sig.nparams - function->sig.npositional;
}

/// The defaults of the positional parameters (the binder keeps one tuple for
/// all, the keyword-only parameters' last), or None.
PyObject* get_defaults(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    Py_ssize_t keyword_only = count_keyword_only(function);
    if (!function->defaults || keyword_only == 0) return get_or_none(function->defaults);
    Py_ssize_t positional = PyTuple_GET_SIZE(function->defaults) - keyword_only;
    if (positional == 0) Py_RETURN_NONE;
    return PyTuple_GetSlice(function->defaults, 0, positional);
}

/// The keyword-only parameters' defaults by name, or None when there are none.
PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    Py_ssize_t keyword_only = count_keyword_only(function);
    if (keyword_only == 0) Py_RETURN_NONE;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    Py_ssize_t first_default = PyTuple_GET_SIZE(function->defaults) - keyword_only;
    for (Py_ssize_t i = 0; i < keyword_only; ++i) {
        PyObject* name = PyTuple_GET_ITEM(function->varnames, function->sig.npositional + i);
        PyObject* value = PyTuple_GET_ITEM(function->defaults, first_default + i);
        if (PyDict_SetItem(result.get(), name, value) < 0) return nullptr;
    }
    return result.release();
}

PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->globals); }
PyObject* get_code(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->code); }

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (!function->annotations && !(function->annotations = PyDict_New())) return nullptr;
    return Ref::borrow(function->annotations).release();
}
int set_annotations(PyObject* self, PyObject* v, void*) noexcept {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Ref::borrow(v).release());
    return 0;
}

/// The host's coroutine marker for coroutine functions, otherwise False.
PyObject* get_is_coroutine(PyObject* self, void*) noexcept {
    if (!as_function(self)->fdef->has(Coroutine)) Py_RETURN_FALSE;
    Ref coroutines = Ref::steal(PyImport_ImportModule("asyncio.coroutines"));
    if (!coroutines) return nullptr;
    return PyObject_GetAttrString(coroutines.get(), "_is_coroutine");
}

PyGetSetDef function_getset[] = {
    {"__name__", nothrow(get_name), nothrow(set_name), nullptr, nullptr},
    {"__qualname__", nothrow(get_qualname), nothrow(set_qualname), nullptr, nullptr},
    {"__module__", nothrow(get_module), nothrow(set_module), nullptr, nullptr},
    {"__doc__", nothrow(get_doc), nothrow(set_doc), nullptr, nullptr},
    {"__defaults__", nothrow(get_defaults), nullptr, nullptr, nullptr},
    {"__kwdefaults__", nothrow(get_kwdefaults), nullptr, nullptr, nullptr},
    {"__annotations__", nothrow(get_annotations), nothrow(set_annotations), nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", nothrow(get_globals), nullptr, nullptr, nullptr},
    {"__closure__", nothrow(get_none), nullptr, nullptr, nullptr},
    {"__code__", nothrow(get_code), nullptr, nullptr, nullptr},
    {"_is_coroutine", nothrow(get_is_coroutine), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", nothrow(function_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, slot(function_dealloc)},
    {Py_tp_traverse, slot(function_traverse)},
    {Py_tp_clear, slot(function_clear)},
    {Py_tp_repr, slot(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, slot(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_def = {
    "zarvosdk.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

Persistent the_function_type;

Ref make_varnames(const FunctionDef& fdef, Py_ssize_t n) {
    Ref names = own(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(names.get(), i, own(PyUnicode_InternFromString(fdef.params[i].name)).release());
    return names;
}

/// A code object naming the function and its parameters, so that the host's
/// signature inspection sees them: an empty code object with the parameter
/// names put in through `replace`, which every supported interpreter offers.
Ref make_code(const FunctionDef& fdef, const ModuleState& state, PyObject* varnames, int n,
              int positional) {
    Ref empty = own(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(state.source_file, fdef.name, fdef.line)));
    Ref replace = getattr(empty.get(), "replace");
    Ref count = own(PyLong_FromLong(n));
    Ref positional_count = own(PyLong_FromLong(positional));
    Ref keyword_only_count = own(PyLong_FromLong(n - positional));
    Ref zero = own(PyLong_FromLong(0));
    Ref flags = own(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS | (fdef.has(Coroutine) ? CO_COROUTINE : 0)));
    Ref keywords = own(Py_BuildValue("{sOsOsOsOsOsO}", "co_argcount", positional_count.get(),
                                     "co_posonlyargcount", zero.get(), "co_kwonlyargcount",
                                     keyword_only_count.get(), "co_nlocals", count.get(), "co_varnames",
                                     varnames, "co_flags", flags.get()));
    Ref no_args = own(PyTuple_New(0));
    return own(PyObject_Call(replace.get(), no_args.get(), keywords.get()));
}

Py_ssize_t count_params(const FunctionDef& fdef) {
    Py_ssize_t n = 0;
    while (n < max_params && fdef.params[n].name) ++n;
    return n;
}

/// The parameters before the first keyword-only one. Keyword-only
/// parameters must come last and each have a default.
Py_ssize_t count_positional(const FunctionDef& fdef, Py_ssize_t n, Py_ssize_t ndefaults) {
    Py_ssize_t positional = 0;
    while (positional < n && fdef.params[positional].kind != KeywordOnly) ++positional;
    for (Py_ssize_t i = positional; i < n; ++i)
        if (fdef.params[i].kind != KeywordOnly)
            raise(PyExc_SystemError, "keyword-only parameters of %s must come last", fdef.qualname);
    if (n - positional > ndefaults)
        raise(PyExc_SystemError, "keyword-only parameters of %s need defaults", fdef.qualname);
    return positional;
}

}  // namespace

PyTypeObject* function_type() {
    if (!the_function_type) the_function_type.set(own(PyType_FromSpec(&function_def)));
    return reinterpret_cast<PyTypeObject*>(the_function_type.get());
}

Ref make_function(const FunctionDef& fdef, ModuleState& state, Borrowed defaults,
                  Borrowed annotations) {
    Py_ssize_t n = count_params(fdef);
    if (defaults && (!PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults.get()) > n))
        raise(PyExc_SystemError, "bad defaults for %s", fdef.qualname);
    Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    Py_ssize_t positional = count_positional(fdef, n, ndefaults);
    Ref varnames = make_varnames(fdef, n);
    Ref code = make_code(fdef, state, varnames.get(), static_cast<int>(n), static_cast<int>(positional));
    Ref name = own(PyUnicode_InternFromString(fdef.name));
    Ref qualname = own(PyUnicode_InternFromString(fdef.qualname));
    Ref doc = fdef.doc ? own(PyUnicode_FromString(fdef.doc)) : Ref::borrow(Py_None);
    PyTypeObject* type = function_type();
    FunctionObject* function = PyObject_GC_New(FunctionObject, type);
    if (!function) raise();
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(function));
    function->vectorcall = function_vectorcall;
    function->fdef = &fdef;
    function->module_state = &state;
    function->name = name.release();
    function->qualname = qualname.release();
    function->module = Ref::borrow(state.name.get()).release();
    function->doc = doc.release();
    function->defaults = defaults && PyTuple_GET_SIZE(defaults.get()) ? Ref::borrow(defaults).release() : nullptr;
    function->annotations = Ref::borrow(annotations).release();
    function->dict = nullptr;
    function->globals = Ref::borrow(state.globals).release();
    function->code = code.release();
    function->varnames = varnames.release();
    function->tb_frame = nullptr;
    std::fill(std::begin(function->type_refusals), std::end(function->type_refusals), nullptr);
    function->weakrefs = nullptr;
    bool checks_types = std::any_of(fdef.params, fdef.params + n,
                                    [](const Param& p) { return p.exact != Exact::any; });
    function->sig = Signature{fdef.name, fdef.params, n, function->varnames, function->defaults, checks_types,
                       function->type_refusals, positional};
    PyObject_GC_Track(result.get());
    return result;
}

}  // namespace zv
