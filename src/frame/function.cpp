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
    PyObject* tb_frame;    // traceback entry's frame, made on the first failure
    PyObject* module;      // __module__
    PyObject* doc;         // __doc__
    // What a call binds to parameters it is not given, read at each call.
    PyObject* defaults;    // __defaults__ (tuple) or null
    PyObject* kwdefaults;  // __kwdefaults__ (dict) or null
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
        Ref path = Ref::steal(
            PyUnicode_FromFormat("%U.%U", function->module_state->name.get(), function->qualname));
        const char* text = path ? PyUnicode_AsUTF8(path.get()) : nullptr;
        leaving.restore();
        if (text)
            function->tb_frame = new_traceback_frame(text, function->module_state->source_file,
                                                     function->fdef->line, function->globals);
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
PyObject* const* bind(const FunctionObject* function, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** bound) noexcept {
    const Signature& sig = function->sig;
    if (!kwnames && nargs == sig.nparams && nargs > 0 && sig.npositional == sig.nparams)
        return !sig.checks_types || check_types(sig, args) ? args : nullptr;
    Defaults defaults{function->defaults, function->kwdefaults};
    return bind_arguments(sig, defaults, args, nargs, kwnames, bound) ? bound : nullptr;
}

PyObject* run_body(const FunctionObject* function, PyObject* const* values) noexcept {
    return guarded<PyObject*>(nullptr, [&] { return function->fdef->body(values).release(); });
}

/// Runs the body on values the binder bound, keeping the defaults among them
/// alive while it runs, since the body may assign __defaults__ or change the
/// __kwdefaults__ dict: the tuple holds its items, the keyword-only
/// parameters' values are held one by one.
PyObject* run_body_holding_defaults(const FunctionObject* function, PyObject* const* values) noexcept {
    Ref tuple = Ref::borrow(function->defaults);
    const Signature& sig = function->sig;
    LocalReferences keyword_only(values + sig.npositional, sig.nparams - sig.npositional);
    return run_body(function, values);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* function = as_function(self);
    std::array<PyObject*, max_params> bound;  // sig.nparams <= max_params
    PyObject* const* values = bind(function, args, PyVectorcall_NARGS(nargsf), kwnames, bound.data());
    PyObject* result = nullptr;
    if (values && belongs_to_current_import(function)) {
        if (function->fdef->has(HoldsArguments)) {
            LocalReferences locals(values, function->sig.nparams);
            result = run_body(function, values);
        } else if (values == bound.data()) {
            result = run_body_holding_defaults(function, values);
        } else {
            result = run_body(function, values);
        }
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
    Py_VISIT(function->kwdefaults);
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
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->kwdefaults);
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

/// Setter of __defaults__ and __kwdefaults__: `kind` (a tuple or a dict, as
/// `check` tells) or None; deleting stores none. Audited as the host audits
/// the same assignments on its functions.
int set_defaults_slot(PyObject* self, PyObject** slot, PyObject* value, const char* attribute,
                      int (*check)(PyObject*), const char* kind) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a %s object", attribute, kind);
        return -1;
    }
    int audited = value ? PySys_Audit("object.__setattr__", "OsO", self, attribute, value)
                        : PySys_Audit("object.__delattr__", "Os", self, attribute);
    if (audited < 0) return -1;
    Py_XSETREF(*slot, Ref::borrow(value).release());
    return 0;
}

int is_tuple(PyObject* value) { return PyTuple_Check(value); }
int is_dict(PyObject* value) { return PyDict_Check(value); }

PyObject* get_defaults(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* v, void*) noexcept {
    return set_defaults_slot(self, &as_function(self)->defaults, v, "__defaults__", is_tuple, "tuple");
}
PyObject* get_kwdefaults(PyObject* self, void*) noexcept { return get_or_none(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* v, void*) noexcept {
    return set_defaults_slot(self, &as_function(self)->kwdefaults, v, "__kwdefaults__", is_dict, "dict");
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
    {"__defaults__", nothrow(get_defaults), nothrow(set_defaults), nullptr, nullptr},
    {"__kwdefaults__", nothrow(get_kwdefaults), nothrow(set_kwdefaults), nullptr, nullptr},
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

Ref make_varnames(const FunctionDef& fdef, Py_ssize_t nparams) {
    Ref names = own(PyTuple_New(nparams));
    for (Py_ssize_t i = 0; i < nparams; ++i)
        PyTuple_SET_ITEM(names.get(), i, own(PyUnicode_InternFromString(fdef.params[i].name)).release());
    return names;
}

/// A code object naming the function and its parameters, so that the host's
/// signature inspection sees them: an empty code object with the parameter
/// names put in through `replace`, which every supported interpreter offers.
Ref make_code(const FunctionDef& fdef, const ModuleState& state, PyObject* varnames, int nparams,
              int positional) {
    Ref empty = own(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(state.source_file, fdef.name, fdef.line)));
    Ref replace = getattr(empty.get(), "replace");
    Ref count = own(PyLong_FromLong(nparams));
    Ref positional_count = own(PyLong_FromLong(positional));
    Ref keyword_only_count = own(PyLong_FromLong(nparams - positional));
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
    Py_ssize_t nparams = 0;
    while (nparams < max_params && fdef.params[nparams].name) ++nparams;
    return nparams;
}

/// The parameters before the first keyword-only one. Keyword-only
/// parameters must come last.
Py_ssize_t count_positional(const FunctionDef& fdef, Py_ssize_t nparams) {
    Py_ssize_t positional = 0;
    while (positional < nparams && fdef.params[positional].kind != KeywordOnly) ++positional;
    for (Py_ssize_t i = positional; i < nparams; ++i)
        if (fdef.params[i].kind != KeywordOnly)
            raise(PyExc_SystemError, "keyword-only parameters of %s must come last", fdef.qualname);
    return positional;
}

/// The defaults a definition gives (a tuple for its last parameters, or null)
/// as the function holds them: those of positional parameters as
/// __defaults__, those of keyword-only parameters as __kwdefaults__ by name;
/// each null when there are none.
void split_defaults(Borrowed given, PyObject* varnames, Py_ssize_t positional, Ref& tuple,
                    Ref& by_name) {
    Py_ssize_t count = given ? PyTuple_GET_SIZE(given.get()) : 0;
    Py_ssize_t first = PyTuple_GET_SIZE(varnames) - count;  // the first parameter with a default
    Py_ssize_t positional_count = positional > first ? positional - first : 0;
    if (positional_count == count && count > 0)
        tuple = Ref::borrow(given);
    else if (positional_count > 0)
        tuple = own(PyTuple_GetSlice(given, 0, positional_count));
    for (Py_ssize_t i = first + positional_count; i < PyTuple_GET_SIZE(varnames); ++i) {
        if (!by_name) by_name = own(PyDict_New());
        check(PyDict_SetItem(by_name.get(), PyTuple_GET_ITEM(varnames, i),
                             PyTuple_GET_ITEM(given.get(), i - first)));
    }
}

}  // namespace

PyTypeObject* function_type() {
    if (!the_function_type) the_function_type.set(own(PyType_FromSpec(&function_def)));
    return reinterpret_cast<PyTypeObject*>(the_function_type.get());
}

Ref make_function(const FunctionDef& fdef, ModuleState& state, Borrowed defaults,
                  Borrowed annotations) {
    Py_ssize_t nparams = count_params(fdef);
    if (defaults && (!PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults.get()) > nparams))
        raise(PyExc_SystemError, "bad defaults for %s", fdef.qualname);
    Py_ssize_t positional = count_positional(fdef, nparams);
    Ref varnames = make_varnames(fdef, nparams);
    Ref positional_defaults, keyword_only_defaults;
    split_defaults(defaults, varnames.get(), positional, positional_defaults, keyword_only_defaults);
    Ref code = make_code(fdef, state, varnames.get(), static_cast<int>(nparams),
                         static_cast<int>(positional));
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
    function->defaults = positional_defaults.release();
    function->kwdefaults = keyword_only_defaults.release();
    function->annotations = Ref::borrow(annotations).release();
    function->dict = nullptr;
    function->globals = Ref::borrow(state.globals).release();
    function->code = code.release();
    function->varnames = varnames.release();
    function->tb_frame = nullptr;
    std::fill(std::begin(function->type_refusals), std::end(function->type_refusals), nullptr);
    function->weakrefs = nullptr;
    bool checks_types = std::any_of(fdef.params, fdef.params + nparams,
                                    [](const Param& param) { return param.exact != Exact::any; });
    function->sig = Signature{fdef.name, fdef.params, nparams, function->varnames, checks_types,
                              function->type_refusals, positional};
    PyObject_GC_Track(result.get());
    return result;
}

}  // namespace zv
