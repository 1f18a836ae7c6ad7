// The call shapes and small protocols both modules need, each with the
// fastest entry point the running interpreter offers.
#pragma once

#include "ref.hpp"

namespace common {

Ref call0(PyObject* callable);
Ref call1(PyObject* callable, PyObject* arg);
Ref call2(PyObject* callable, PyObject* a, PyObject* b);
// callable(a[, b], <kwname>=value) where `kwname` is the one str of the
// tuple `kwnames`; `b` may be nullptr.
Ref call_with_keyword(PyObject* callable, PyObject* a, PyObject* b, PyObject* value,
                      PyObject* kwnames);

// obj.name(a[, b], <kwname>=value), the method looked up anew: from 3.9 on
// without binding it to a new method object first.
Ref call_method_with_keyword(PyObject* obj, PyObject* name, PyObject* a, PyObject* b,
                             PyObject* value, PyObject* kwnames);
// obj.name(a, b), likewise.
Ref call_method2(PyObject* obj, PyObject* name, PyObject* a, PyObject* b);

// obj.name() with the method looked up anew.
Ref call_method0(PyObject* obj, PyObject* name);
// obj.name(arg) with the method looked up anew.
Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg);

// Raises KeyError carrying `key` itself, even when `key` is a tuple.
void raise_key_error(PyObject* key);

// Looks `key` up in a dict; a miss raises KeyError(key).  The result is a
// new reference, safe across later calls into Python.
Ref dict_lookup(PyObject* dict, PyObject* key);

// Draws the next item of an iterator: returns 1 with `out` set, 0 when the
// iterator is exhausted (no exception), -1 on error.
int next_item(PyObject* iterator, Ref& out);

}  // namespace common
