// Binding the arguments of a METH_FASTCALL | METH_KEYWORDS method to its
// parameters, with the messages a Python method of the same signature gives.
#pragma once

#include "../common/ref.hpp"

namespace pmodel {

struct Signature {
    const char* name;            // qualified name, e.g. "ProbabilityBag.add"
    const char* params[3];       // parameter names after self
    int required;                // how many of them have no default
    int total;                   // how many there are
    PyObject* interned[3];       // filled at first use
};

// Fills out[0..total) with borrowed references (nullptr where a parameter
// with a default was not given); -1 with TypeError on a bad call.
int bind(Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         PyObject** out);

}  // namespace pmodel
