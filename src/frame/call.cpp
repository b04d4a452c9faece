#include "call.hpp"

namespace zv {

Ref detail::keyword_names(const Keyword* keywords, std::size_t count, Persistent& last) {
    // The kept tuple holds its names alive, so an equal address is the same name.
    if (PyObject* kept = last.get()) {
        std::size_t i = 0;
        while (i < count && PyTuple_GET_ITEM(kept, static_cast<Py_ssize_t>(i)) == keywords[i].name.get())
            ++i;
        if (i == count) return Ref::borrow(kept);
    }
    Ref names = own(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), Ref::borrow(keywords[i].name).release());
    last.set(Ref::borrow(names.get()));
    return names;
}

}  // namespace zv
