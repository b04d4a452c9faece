#include "conversions.hpp"
#include <cstring>

namespace zv {

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

}  // namespace zv
