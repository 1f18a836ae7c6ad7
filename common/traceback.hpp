// Traceback entries for functions written in C, so that a failure shows
// which of them it passed through.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace common {

// Adds a traceback entry for source file `filename` to the exception being
// raised, naming `funcname` at `line`, with `globals` as the frame's
// globals (nullptr: a dict holding only the builtins).  Never disturbs the
// exception itself.
void add_traceback(const char* filename, const char* funcname, int line, PyObject* globals);

}  // namespace common
