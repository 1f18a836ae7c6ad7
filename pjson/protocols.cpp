// Unpacking with the interpreter's messages.
#include "protocols.hpp"

namespace pjson {

namespace {

int raise_need_more(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack",
                 found, found == 1 ? "" : "s");
    return -1;
}

int raise_too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 expected);
    return -1;
}

}  // namespace

int unpack(PyObject* item, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size != n) return size > n ? raise_too_many(n) : raise_need_more(size);
        // Take every element before anything else can run: the item may be
        // a list that user code mutates later.
        for (Py_ssize_t i = 0; i < n; ++i) {
            out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(item, i));
        }
        return 0;
    }
    Ref iterator(PyObject_GetIter(item));
    if (!iterator) return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int got = next_item(iterator.get(), out[i]);
        if (got < 0) return -1;
        if (got == 0) return raise_need_more(i);
    }
    Ref extra;
    const int got = next_item(iterator.get(), extra);
    if (got < 0) return -1;
    if (got > 0) return raise_too_many(n);
    return 0;
}

}  // namespace pjson
