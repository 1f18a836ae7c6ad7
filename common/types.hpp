// What every static type of both modules whose objects the cyclic collector
// tracks sets alike.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace common {

// Sets the name, size, docstring (nullptr for none), Py_TPFLAGS_DEFAULT |
// Py_TPFLAGS_HAVE_GC | `flags`, and the three slots the collector needs.
// The caller sets the rest and readies the type.
inline void collected_type(PyTypeObject& type, const char* name, Py_ssize_t size,
                           const char* doc, destructor dealloc, traverseproc traverse,
                           inquiry clear, unsigned long flags = 0) {
    type.tp_name = name;
    type.tp_basicsize = size;
    type.tp_doc = doc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | flags;
    type.tp_dealloc = dealloc;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
}

}  // namespace common
