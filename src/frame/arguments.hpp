// Binding of call arguments to a native function's parameters.
#pragma once
#include <Python.h>

namespace zv {

/// Exact-type requirement on a parameter, checked after binding.
enum class Exact : unsigned char { any, str, int_ };

/// How a parameter may be given. Keyword-only parameters (those after `*`
/// in a host function) come last: `{"seconds", Exact::any, zv::KeywordOnly}`.
enum ParamKind : unsigned char { PositionalOrKeyword, KeywordOnly };

struct Param {
    const char* name;
    Exact exact = Exact::any;
    ParamKind kind = PositionalOrKeyword;
};

constexpr int max_params = 8;

/// What the binder needs to know of a function.
struct Signature {
    const char* name;        // bare name, used in the refusal messages
    const Param* params;
    Py_ssize_t nparams;
    PyObject* varnames;      // tuple of the interned parameter names
    bool checks_types;       // some parameter takes only one exact type
    PyObject** type_refusals;  // per parameter: its type refusal's text up to the
                               // given type's name, made on the first refusal
    Py_ssize_t npositional;    // parameters that may be given by position: the
                               // leading ones, up to the first keyword-only one
};

/// The defaults a call binds, as the function holds them at the time of the
/// call: `positional` (a tuple or null) for the last positional parameters,
/// as many as it has items, and `keyword_only` (a dict or null) by the name
/// of a keyword-only parameter. A parameter without a default is required.
struct Defaults {
    PyObject* positional;
    PyObject* keyword_only;
};

/// Binds positional arguments and keywords (vectorcall convention) to the
/// parameters, filling `out` with borrowed values, then applies the exact-type
/// requirements. Returns false with the host's TypeError set on refusal.
bool bind_arguments(const Signature& sig, Defaults defaults, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept;

/// Applies the exact-type requirements to values in parameter order. Returns
/// false with the host's TypeError set when one is refused.
bool check_types(const Signature& sig, PyObject* const* values) noexcept;

}  // namespace zv
