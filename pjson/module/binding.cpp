// Argument binding: positional first, then keywords by name.
#include "module/binding.hpp"

namespace pjson {

namespace {

int raise_count(const char* fname, const char* bound, Py_ssize_t expected,
                Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fname, bound, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter named `key`, or -1.  Identity first: callers
// almost always pass interned literals.
int param_index(const Signature& sig, PyObject* key) {
    for (int i = 0; i < 3; ++i) {
        if (key == *sig.params[i]) return i;
    }
    for (int i = 0; i < 3; ++i) {
        if (PyUnicode_Compare(key, *sig.params[i]) == 0) return i;
    }
    return -1;
}

}  // namespace

int bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Ref out[3]) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > 3) return raise_count(sig.name, "at most", 3, npos);
    for (Py_ssize_t i = 0; i < npos; ++i) {
        out[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key;    // borrowed
        PyObject* value;  // borrowed
        // Nothing in this loop runs Python code, so the dict cannot change
        // under PyDict_Next.
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                             sig.name);
                return -1;
            }
            const int index = param_index(sig, key);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got an unexpected keyword argument '%U'",
                             sig.name, key);
                return -1;
            }
            if (index < npos) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for keyword argument '%U'",
                             sig.name, key);
                return -1;
            }
            out[index] = Ref::borrow(value);
        }
    }
    // `chain` and `file` are required; the count reported is how many of
    // the leading parameters were bound before the first gap.
    for (Py_ssize_t i = 0; i < 2; ++i) {
        if (!out[i]) return raise_count(sig.name, "at least", 2, i);
    }
    if (!out[2]) out[2] = Ref::borrow(sig.default_third);
    return 0;
}

}  // namespace pjson
