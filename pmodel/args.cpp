// Argument binding for the fast calling convention.
#include "args.hpp"

namespace pmodel {

namespace {

int intern_params(Signature& sig) {
    for (int i = 0; i < sig.total; ++i) {
        if (sig.interned[i] != nullptr) continue;
        sig.interned[i] = PyUnicode_InternFromString(sig.params[i]);  // kept for good
        if (sig.interned[i] == nullptr) return -1;
    }
    return 0;
}

int find_param(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.total; ++i) {
        if (key == sig.interned[i]) return i;
    }
    for (int i = 0; i < sig.total; ++i) {
        if (PyUnicode_Check(key) && PyUnicode_Compare(key, sig.interned[i]) == 0) return i;
    }
    return -1;
}

}  // namespace

int bind(Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
         PyObject** out) {
    if (intern_params(sig) < 0) return -1;
    for (int i = 0; i < sig.total; ++i) out[i] = nullptr;
    if (nargs > sig.total) {
        // Counted with self, as a Python method reports it.
        if (sig.required == sig.total) {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes %d positional argument%s but %zd were given", sig.name,
                         sig.total + 1, sig.total == 0 ? "" : "s", nargs + 1);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %d to %d positional arguments but %zd were given",
                         sig.name, sig.required + 1, sig.total + 1, nargs + 1);
        }
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const int at = find_param(sig, key);
            if (at < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             sig.name, key);
                return -1;
            }
            if (out[at] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             sig.name, sig.params[at]);
                return -1;
            }
            out[at] = args[nargs + k];
        }
    }
    for (int i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "%s() missing 1 required positional argument: '%s'", sig.name,
                         sig.params[i]);
            return -1;
        }
    }
    return 0;
}

}  // namespace pmodel
