// Calls: the checked form in which module code calls the host.
//
// A call reads like the Python it stands for: the callee, its positional
// values, then its keyword arguments as (name, value) pairs, so that
//     Tool(name="SQLAgent", func=agent.run, description=D1)
// is written
//     call(tool_class, {}, {{names.name, names.sql_agent_name}, {names.func, run}, {names.description, d1}})
// Every value is borrowed; the elements of each list are evaluated left to
// right. The argument array is sized from the lists at compile time.
#pragma once
#include <Python.h>
#include <cstddef>
#include <initializer_list>
#include <array>
#include "ref.hpp"
#include "error.hpp"

namespace zv {

/// One keyword argument: its name (an interned text of a module's table) and its value.
struct Keyword {
    Keyword(Borrowed name, Borrowed value) noexcept : name(name), value(value) {}
    Borrowed name;
    Borrowed value;
};

using Positional = std::initializer_list<Borrowed>;
using Keywords = std::initializer_list<Keyword>;

/// Stands for "no positional arguments" before a call's keyword arguments:
/// `call(callable, {}, {{names.key, value}})`.
struct NoPositional {};

namespace detail {

/// The tuple of the keywords' names: `last` when it holds these very names,
/// otherwise a new tuple, which then becomes `last`.
Ref keyword_names(const Keyword* keywords, std::size_t count, Persistent& last);

/// The keyword names of a call: none, or the tuple of the `K` names. A call
/// in a loop passes the same names every time, so the last tuple made for
/// `K` names is kept and reused; the call holds its own reference, since a
/// call made by the callee may replace the kept one.
template <std::size_t K>
struct KeywordNames {
    explicit KeywordNames(const Keyword* keywords) : names(keyword_names(keywords, K, last)) {}
    PyObject* get() const noexcept { return names.get(); }
    Ref names;
    inline static Persistent last;
};
template <>
struct KeywordNames<0> {
    explicit KeywordNames(const Keyword*) noexcept {}
    PyObject* get() const noexcept { return nullptr; }
};

/// The vectorcall array of one call, sized at compile time: a free slot
/// first, which the host may use to prepend a bound method's self without
/// copying (PY_VECTORCALL_ARGUMENTS_OFFSET), then an optional self, the
/// positional values and the keyword values.
template <std::size_t Self, std::size_t N, std::size_t K>
struct ArgumentStack {
    ArgumentStack(PyObject* self, const Borrowed* args, const Keyword* keywords)
        : kwnames(keywords) {
        PyObject** out = slots.data() + 1;
        if (Self) *out++ = self;
        for (std::size_t i = 0; i < N; ++i) *out++ = args[i];
        for (std::size_t i = 0; i < K; ++i) *out++ = keywords[i].value;
    }
    PyObject* const* args() const noexcept { return slots.data() + 1; }
    static constexpr std::size_t nargsf = (Self + N) | PY_VECTORCALL_ARGUMENTS_OFFSET;

    // At least one slot after the free one, so that the argument pointer of a
    // call without arguments points into the array.
    std::array<PyObject*, 1 + (Self + N + K > 0 ? Self + N + K : 1)> slots{};
    KeywordNames<K> kwnames;
};

template <std::size_t N, std::size_t K>
Ref call(Borrowed callable, const Borrowed* args, const Keyword* keywords) {
    ArgumentStack<0, N, K> stack(nullptr, args, keywords);
    // A callee with a vectorcall entry is called through it directly, as
    // compiled extensions do; `own` checks the result.
    if (vectorcallfunc entry = PyVectorcall_Function(callable))
        return own(entry(callable, stack.args(), stack.nargsf, stack.kwnames.get()));
    return own(PyObject_Vectorcall(callable, stack.args(), stack.nargsf, stack.kwnames.get()));
}

template <std::size_t N, std::size_t K>
Ref call_method(Borrowed self, Borrowed name, const Borrowed* args, const Keyword* keywords) {
    ArgumentStack<1, N, K> stack(self, args, keywords);
    return own(PyObject_VectorcallMethod(name, stack.args(), stack.nargsf, stack.kwnames.get()));
}

}  // namespace detail

/// `callable()`.
inline Ref call(Borrowed callable) { return detail::call<0, 0>(callable, nullptr, nullptr); }
/// `callable(*args)`.
template <std::size_t N>
Ref call(Borrowed callable, const Borrowed (&args)[N]) {
    return detail::call<N, 0>(callable, args, nullptr);
}
/// `callable(*args, **keywords)`.
template <std::size_t N, std::size_t K>
Ref call(Borrowed callable, const Borrowed (&args)[N], const Keyword (&keywords)[K]) {
    return detail::call<N, K>(callable, args, keywords);
}
/// `callable(**keywords)`.
template <std::size_t K>
Ref call(Borrowed callable, NoPositional, const Keyword (&keywords)[K]) {
    return detail::call<0, K>(callable, nullptr, keywords);
}

/// `self.name()`, looked up and called as the host calls a method.
inline Ref call_method(Borrowed self, Borrowed name) {
    return detail::call_method<0, 0>(self, name, nullptr, nullptr);
}
/// `self.name(*args)`.
template <std::size_t N>
Ref call_method(Borrowed self, Borrowed name, const Borrowed (&args)[N]) {
    return detail::call_method<N, 0>(self, name, args, nullptr);
}
/// `self.name(*args, **keywords)`.
template <std::size_t N, std::size_t K>
Ref call_method(Borrowed self, Borrowed name, const Borrowed (&args)[N],
                const Keyword (&keywords)[K]) {
    return detail::call_method<N, K>(self, name, args, keywords);
}

}  // namespace zv
