// Shared helpers: interned names, traceback entries, name lookup, calls.
#include "shared.hpp"

#include <charconv>
#include <cstring>

namespace pjson {

Names names;
PyObject* module_dict = nullptr;

// ===========================================================================
// Interned names
// ===========================================================================

namespace {

struct NameEntry {
    PyObject** slot;
    const char* text;
};

}  // namespace

// Creates every interned string once; later calls find them in place.
int init_names() {
    if (names.json != nullptr) return 0;
    const NameEntry table[] = {
        {&names.json, "json"},
        {&names.math, "math"},
        {&names.OrderedDict, "OrderedDict"},
        {&names.ObjectBuilder, "ObjectBuilder"},
        {&names.ProbabilityBag, "ProbabilityBag"},
        {&names.ijson, "ijson"},
        {&names.sorted, "sorted"},
        {&names.dump, "dump"},
        {&names.dumps, "dumps"},
        {&names.load, "load"},
        {&names.log10, "log10"},
        {&names.parse, "parse"},
        {&names.event, "event"},
        {&names.value, "value"},
        {&names.items, "items"},
        {&names.choices, "choices"},
        {&names.build_frequency_dict, "build_frequency_dict"},
        {&names.clear, "clear"},
        {&names.add_to_bag, "add_to_bag"},
        {&names.set_bag, "set_bag"},
        {&names.add, "add"},
        {&names.write, "write"},
        {&names.startswith, "startswith"},
        {&names.key, "key"},
        {&names.count, "count"},
        {&names.file, "file"},
        {&names.frequency_compress, "frequency_compress"},
        {&names.merge, "merge"},
        {&names.codes, "codes"},
        {&names.chain, "chain"},
        {&names.start_array, "start_array"},
        {&names.end_array, "end_array"},
        {&names.map_key, "map_key"},
        {&names.start_map, "start_map"},
        {&names.string, "string"},
        {&names.boolean, "boolean"},
        {&names.null, "null"},
        {&names.start_prefix, "start_"},
        {&names.end_prefix, "end_"},
        {&names.comma, ","},
        {&names.head, "{\"codes\":["},
        {&names.middle, "],\"chain\":["},
        {&names.tail, "]}"},
        {&names.open_list, "["},
        {&names.comma_open, ",["},
        {&names.close_list, "]"},
        {&names.format_spec, ""},
    };
    for (const NameEntry& entry : table) {
        PyObject* s = PyUnicode_InternFromString(entry.text);
        if (s == nullptr) return -1;
        *entry.slot = s;  // kept for the life of the process
    }
    names.count_kwnames = PyTuple_Pack(1, names.count);
    if (names.count_kwnames == nullptr) return -1;
    return 0;
}

// ===========================================================================
// Traceback entries
// ===========================================================================

void add_traceback(const char* funcname, int line) {
    common::add_traceback("pjson", funcname, line, module_dict);
}

// ===========================================================================
// Module-level names
// ===========================================================================

Ref lookup_global(PyObject* name) {
    if (module_dict != nullptr) {
        PyObject* found = PyDict_GetItemWithError(module_dict, name);  // borrowed
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr) {
        PyObject* found = PyDict_GetItemWithError(builtins, name);  // borrowed
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

// ===========================================================================
// Building texts and tuples
// ===========================================================================

Ref concat_texts(PyObject* const* parts, Py_ssize_t n) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (text_ready(parts[i]) < 0) return Ref();
        length += PyUnicode_GET_LENGTH(parts[i]);
        // Every str is stored in the narrowest kind its characters allow,
        // so the widest part gives the result's kind.
        const Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (widest > maxchar) maxchar = widest;
    }
    Ref text(PyUnicode_New(length, maxchar));
    if (!text) return Ref();
    const int kind = PyUnicode_KIND(text.get());
    char* data = static_cast<char*>(PyUnicode_DATA(text.get()));
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_ssize_t size = PyUnicode_GET_LENGTH(parts[i]);
        if (PyUnicode_KIND(parts[i]) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(parts[i]),
                        static_cast<size_t>(size) * kind);
        } else if (PyUnicode_CopyCharacters(text.get(), at, parts[i], 0, size) < 0) {
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

// ===========================================================================
// Small protocols
// ===========================================================================

namespace {

int raise_need_more(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack",
                 found, found == 1 ? "" : "s");
    return -1;
}

int raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 expected);
    return -1;
}

}  // namespace

int unpack(PyObject* item, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size != n) return size > n ? raise_too_many(n) : raise_need_more(size);
        // Take every element before anything else can run: the item may be
        // a list that user code mutates later.
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(item, i));
        }
        return 0;
    }
    Ref iterator(PyObject_GetIter(item));
    if (!iterator) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int got = next_item(iterator.get(), out[i]);
        if (got < 0) return -1;
        if (got == 0) return raise_need_more(i);
    }
    Ref extra;
    const int got = next_item(iterator.get(), extra);
    if (got < 0) return -1;
    if (got > 0) return raise_too_many(n);
    return 0;
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
