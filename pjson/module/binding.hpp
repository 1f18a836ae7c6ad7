// Argument binding shared by the four module functions.
#pragma once

#include "common.hpp"

namespace pjson {

// The three parameters of one module function and the default of the third.
struct Signature {
    const char* name;          // function name, as error messages show it
    PyObject* const* params[3];  // interned parameter names (filled at import)
    PyObject* default_third;   // borrowed: Py_True or Py_False
};

// Binds `args`/`kwargs` of a METH_VARARGS | METH_KEYWORDS call to the three
// parameters, raising TypeError with the interpreter's messages on a bad
// call.  `out` receives strong references.
int bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Ref out[3]);

}  // namespace pjson
