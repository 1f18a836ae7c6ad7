// Shared helpers: interned names, traceback entries, name lookup, calls.
#include "shared.hpp"

#include <frameobject.h>

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
    // Building the code and frame objects may itself fail or clear the
    // error indicator, so the exception is parked while they are made.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty("pjson", funcname, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        PyObject* globals = module_dict;
        Ref fallback;
        if (globals == nullptr) {  // failure while the module is being made
            fallback = Ref(PyDict_New());
            if (fallback) {
                PyDict_SetItemString(fallback.get(), "__builtins__",
                                     PyEval_GetBuiltins());
            }
            globals = fallback.get();
        }
        if (globals != nullptr) {
            frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
        }
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) {
#if PY_VERSION_HEX < 0x030B0000
        // Before 3.11 the frame struct is public and its line is read
        // directly; from 3.11 on the empty code object carries the line.
        frame->f_lineno = line;
#endif
        PyTraceBack_Here(frame);
    }
    Py_XDECREF(frame);
    Py_XDECREF(code);
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
// Calls
// ===========================================================================

Ref call0(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref(PyObject_CallNoArgs(callable));
#else
    return Ref(PyObject_CallFunctionObjArgs(callable, nullptr));
#endif
}

Ref call1(PyObject* callable, PyObject* arg) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref(PyObject_CallOneArg(callable, arg));
#else
    return Ref(PyObject_CallFunctionObjArgs(callable, arg, nullptr));
#endif
}

Ref call2(PyObject* callable, PyObject* a, PyObject* b) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* args[2] = {a, b};
    return Ref(PyObject_Vectorcall(callable, args, 2, nullptr));
#else
    return Ref(PyObject_CallFunctionObjArgs(callable, a, b, nullptr));
#endif
}

Ref call_with_count(PyObject* callable, PyObject* a, PyObject* b, PyObject* count) {
    const Py_ssize_t npos = b != nullptr ? 2 : 1;
#if PY_VERSION_HEX >= 0x03090000
    PyObject* args[3] = {a, b != nullptr ? b : count, count};
    return Ref(PyObject_Vectorcall(callable, args, static_cast<size_t>(npos),
                                   names.count_kwnames));
#else
    Ref args(npos == 2 ? PyTuple_Pack(2, a, b) : PyTuple_Pack(1, a));
    if (!args) return Ref();
    Ref kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), names.count, count) < 0) return Ref();
    return Ref(PyObject_Call(callable, args.get(), kwargs.get()));
#endif
}

// From 3.9 on the method is looked up as PyObject_GetAttr would find it,
// but a plain function or method descriptor is called without first being
// bound to a new method object.
Ref call_method0(PyObject* obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref(PyObject_CallMethodNoArgs(obj, name));
#else
    Ref method(PyObject_GetAttr(obj, name));
    if (!method) return Ref();
    return call0(method.get());
#endif
}

Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref(PyObject_CallMethodOneArg(obj, name, arg));
#else
    Ref method(PyObject_GetAttr(obj, name));
    if (!method) return Ref();
    return call1(method.get(), arg);
#endif
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

namespace {

bool is_tracked(PyObject* obj) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsTracked(obj) != 0;
#else
    return _PyObject_GC_IS_TRACKED(obj);
#endif
}

// Whether the collector may have to follow `obj`: the interpreter's own rule
// for untracking tuples.
bool may_be_tracked(PyObject* obj) {
    if (!PyObject_IS_GC(obj)) return false;
    if (PyTuple_CheckExact(obj)) return is_tracked(obj);
    return true;
}

}  // namespace

void untrack_if_atomic(PyObject* tuple) {
    if (!PyTuple_CheckExact(tuple) || !is_tracked(tuple)) return;
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (may_be_tracked(PyTuple_GET_ITEM(tuple, i))) return;
    }
    PyObject_GC_UnTrack(tuple);
}

// ===========================================================================
// Small protocols
// ===========================================================================

void raise_key_error(PyObject* key) {
    // KeyError(key) with a tuple key would spread the tuple over args.
    PyObject* args = PyTuple_Pack(1, key);
    if (args == nullptr) return;
    PyErr_SetObject(PyExc_KeyError, args);
    Py_DECREF(args);
}

Ref dict_lookup(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed
    if (found != nullptr) return Ref::borrow(found);
    if (!PyErr_Occurred()) raise_key_error(key);
    return Ref();
}

int next_item(PyObject* iterator, Ref& out) {
    out.reset(PyIter_Next(iterator));
    if (out) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

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
