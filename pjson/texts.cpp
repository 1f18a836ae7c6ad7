// Building and comparing str objects.
#include "texts.hpp"

#include "names.hpp"

#include <charconv>
#include <cstring>
#include <iterator>

namespace pjson {

TextPart TextPart::digits(long long number) {
    TextPart part;
    part.size = static_cast<unsigned>(
        std::to_chars(part.chars, std::end(part.chars), number).ptr - part.chars);
    return part;
}

Ref join_texts(const TextPart* parts, size_t n) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (size_t i = 0; i < n; ++i) {
        const TextPart& part = parts[i];
        if (part.text == nullptr) {
            length += part.size;
            continue;
        }
        if (text_ready(part.text) < 0) return Ref();
        length += PyUnicode_GET_LENGTH(part.text);
        // Every str is stored in the narrowest kind its characters allow,
        // so the widest part gives the result's kind (ASCII fits any).
        const Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(part.text);
        if (widest > maxchar) maxchar = widest;
    }
    Ref text(PyUnicode_New(length, maxchar));
    if (!text) return Ref();
    const int kind = PyUnicode_KIND(text.get());
    void* data = PyUnicode_DATA(text.get());
    Py_ssize_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        const TextPart& part = parts[i];
        if (part.text == nullptr) {
            for (unsigned c = 0; c < part.size; ++c) {
                PyUnicode_WRITE(kind, data, at + c, part.chars[c]);
            }
            at += part.size;
            continue;
        }
        const Py_ssize_t size = PyUnicode_GET_LENGTH(part.text);
        if (PyUnicode_KIND(part.text) == kind) {
            std::memcpy(static_cast<char*>(data) + at * kind, PyUnicode_DATA(part.text),
                        static_cast<size_t>(size) * kind);
        } else if (PyUnicode_CopyCharacters(text.get(), at, part.text, 0, size) < 0) {
            return Ref();
        }
        at += size;
    }
    return text;
}

Ref decimal_text(const char* prefix, long long value) {
    char buffer[48];
    const size_t head = std::strlen(prefix);
    if (head > sizeof buffer - 24) {
        PyErr_SetString(PyExc_SystemError, "decimal_text: prefix too long");
        return Ref();
    }
    std::memcpy(buffer, prefix, head);
    const std::to_chars_result end =
        std::to_chars(buffer + head, buffer + sizeof buffer, value);
    const Py_ssize_t length = end.ptr - buffer;
    Ref text(PyUnicode_New(length, 127));
    if (!text) return Ref();
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), buffer, static_cast<size_t>(length));
    return text;
}

int equals_str(PyObject* obj, PyObject* interned) {
    if (obj == interned) return 1;
    if (PyUnicode_CheckExact(obj)) return PyUnicode_Compare(obj, interned) == 0;
    return PyObject_RichCompareBool(obj, interned, Py_EQ);
}

int starts_with(PyObject* obj, PyObject* prefix) {
    if (PyUnicode_CheckExact(obj)) {
        const Py_ssize_t r =
            PyUnicode_Tailmatch(obj, prefix, 0, PY_SSIZE_T_MAX, -1);
        return r < 0 ? -1 : static_cast<int>(r);
    }
    Ref result = call_method1(obj, names.startswith, prefix);
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

}  // namespace pjson
