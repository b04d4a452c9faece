#include "call.hpp"
#include <cstring>

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

Ref concat(Positional texts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (Borrowed text : texts) {
        if (!PyUnicode_Check(text.get()))
            raise(PyExc_TypeError, "can only join str, not %.200s", Py_TYPE(text.get())->tp_name);
        Py_ssize_t part = PyUnicode_GetLength(text);  // also readies the text
        if (part < 0) raise();
        length += part;
        Py_UCS4 max_char = PyUnicode_MAX_CHAR_VALUE(text.get());
        if (max_char > widest) widest = max_char;
    }
    Ref result = own(PyUnicode_New(length, widest));
    int kind = PyUnicode_KIND(result.get());
    char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
    Py_ssize_t at = 0;
    for (Borrowed text : texts) {
        Py_ssize_t part = PyUnicode_GET_LENGTH(text.get());
        // A part stored as wide as the result is copied as bytes.
        if (static_cast<int>(PyUnicode_KIND(text.get())) == kind)
            std::memcpy(data + at * kind, PyUnicode_DATA(text.get()), part * kind);
        else if (PyUnicode_CopyCharacters(result.get(), at, text, 0, part) < 0)
            raise();
        at += part;
    }
    return result;
}

Ref tuple(Positional items) {
    Ref result = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed item : items) PyTuple_SET_ITEM(result.get(), i++, Ref::borrow(item).release());
    return result;
}

Ref list(Positional items) {
    Ref result = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Borrowed item : items) PyList_SET_ITEM(result.get(), i++, Ref::borrow(item).release());
    return result;
}

Ref dict(Keywords entries) {
    Ref result = own(PyDict_New());
    for (const Keyword& entry : entries) check(PyDict_SetItem(result.get(), entry.name, entry.value));
    return result;
}

namespace {

Ref absent_unless_error(Ref value) {
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return Ref();
}

}  // namespace

Ref optional_attr(Borrowed obj, Borrowed name) {
    return absent_unless_error(Ref::steal(PyObject_GetAttr(obj, name)));
}

Ref optional_attr(Borrowed obj, const char* name) {
    return absent_unless_error(Ref::steal(PyObject_GetAttrString(obj, name)));
}

}  // namespace zv
