// Tuples the cyclic collector need not follow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace common {

// Stops the cyclic collector from tracking a tuple that can never be part of
// a cycle: every item is an object the collector does not follow, or a tuple
// it already dropped.  The interpreter does the same lazily during
// collections; doing it at once keeps large documents out of them.
void untrack_if_atomic(PyObject* tuple);

}  // namespace common
