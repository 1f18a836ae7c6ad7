// Differences between the CPython versions both modules are built for
// (3.7 to 3.13), kept here so that no other file tests PY_VERSION_HEX.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace common {

// Makes a str's characters readable in place (before 3.12 a str made by the
// legacy API may not be ready yet); -1 on error.
inline int text_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

// Whether the cyclic collector tracks `obj` (a GC object).
inline bool gc_is_tracked(PyObject* obj) {
#if PY_VERSION_HEX >= 0x03090000
    return PyObject_GC_IsTracked(obj) != 0;
#else
    return _PyObject_GC_IS_TRACKED(obj);
#endif
}

// The signature of a METH_FASTCALL | METH_KEYWORDS function: public from
// 3.13, with a leading underscore (and the same shape) from 3.7 on.
using FastcallKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <FastcallKeywords F>
constexpr PyCFunction as_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// The instance dictionary of `obj` (a new reference, made if absent), or
// nullptr without an exception when its type gives instances none.
inline PyObject* instance_dict(PyObject* obj) {
    if (Py_TYPE(obj)->tp_dictoffset == 0) return nullptr;
    return PyObject_GenericGetDict(obj, nullptr);
}

// The key at position `index` of a dict that never had a key deleted
// (borrowed, nullptr past the end).  From 3.6 to 3.13 a dict keeps its
// entries in insertion order in one array, holes only where keys were
// deleted, and PyDict_Next's position is the index into that array; a
// growing dict moves its entries without reordering them.
inline PyObject* dict_key_at(PyObject* dict, Py_ssize_t index) {
    Py_ssize_t pos = index;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyDict_Next(dict, &pos, &key, &value)) return nullptr;
    return key;
}

}  // namespace common
