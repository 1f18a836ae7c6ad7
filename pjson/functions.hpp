// The four document functions, as the module publishes them.  Each returns
// a new reference to None, or nullptr with an exception set and its own
// traceback entry added.
#pragma once

#include "base/failure.hpp"

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

// Readies the writers' sort keys and the streaming reader's decoding
// generator type; called once while the module is made.
int init_document();
int init_decode_generator();

}  // namespace pjson
