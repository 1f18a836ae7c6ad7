// Tuples the cyclic collector need not follow.
#include "tuples.hpp"

#include "compat.hpp"

namespace common {

namespace {

// Whether the collector may have to follow `obj`: the interpreter's own rule
// for untracking tuples.
bool may_be_tracked(PyObject* obj) {
    if (!PyObject_IS_GC(obj)) return false;
    if (PyTuple_CheckExact(obj)) return gc_is_tracked(obj);
    return true;
}

}  // namespace

void untrack_if_atomic(PyObject* tuple) {
    if (!PyTuple_CheckExact(tuple) || !gc_is_tracked(tuple)) return;
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (may_be_tracked(PyTuple_GET_ITEM(tuple, i))) return;
    }
    PyObject_GC_UnTrack(tuple);
}

}  // namespace common
