// The four document functions, as the module publishes them.  Each returns
// a new reference to None, or nullptr with an exception set and its own
// traceback entry added.
#pragma once

#include "failure.hpp"

namespace pjson {

// Traceback names of the function bodies; argument binding reports under
// the same names.
inline constexpr Frame kDumpSmallFrame{"pavro_cjson.dump_json_small"};
inline constexpr Frame kLoadSmallFrame{"pavro_cjson.load_json_small"};
inline constexpr Frame kDumpBigFrame{"pavro_cjson.dump_json_big"};
inline constexpr Frame kLoadBigFrame{"pavro_cjson.load_json_big"};

PyObject* dump_json_small(PyObject* chain, PyObject* file, PyObject* frequency_compress);
PyObject* load_json_small(PyObject* chain, PyObject* file, PyObject* merge);
PyObject* dump_json_big(PyObject* chain, PyObject* file, PyObject* frequency_compress);
PyObject* load_json_big(PyObject* chain, PyObject* file, PyObject* merge);

// What each function needs readied once, called by the module's
// initialisation (module/module.cpp), each 0 or -1 with an exception set.
// Before the module body runs:
int init_dump_json_small();  // its sort key
int init_dump_json_big();    // its sort key
int init_load_json_big();    // the type of its decoding generators
// After the module body has bound the module-level names; never fails:
void bind_load_json_big();   // the parser bindings it compares with at every call

}  // namespace pjson
