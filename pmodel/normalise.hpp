// Codes, followers and weights as the model stores them: lists become
// tuples (recursively), decimal.Decimal becomes float.
#pragma once

#include "state.hpp"

namespace pmodel {

// The code as stored; a new reference, or nullptr with an exception.
PyObject* normalise_code(PyObject* code);

// Any iterable of codes as a stored follower, an exact tuple.  The
// iterable is drawn element by element, each normalised as it comes, so a
// failure stops the drawing where the reference implementation stops it.
PyObject* normalise_follower(PyObject* follower);

// A count as stored: a Decimal as float, anything else as given.
PyObject* normalise_weight(PyObject* count);

// Whether `obj` is stored as it is without looking at it further: exact
// str, int, float, bool and None.
inline bool plain_code(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
           type == &PyBool_Type || obj == Py_None;
}

}  // namespace pmodel
