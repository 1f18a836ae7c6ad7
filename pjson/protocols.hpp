// The call and unpacking shapes the readers and writers need.
#pragma once

#include "../common/calls.hpp"
#include "common.hpp"
#include "names.hpp"

namespace pjson {

// callable(args..., count=count) with one or two positional arguments
// (`b` may be nullptr).
inline Ref call_with_count(PyObject* callable, PyObject* a, PyObject* b, PyObject* count) {
    return common::call_with_keyword(callable, a, b, count, names.count_kwnames);
}

// obj.name(args..., count=count), the method looked up anew.
inline Ref call_method_with_count(PyObject* obj, PyObject* name, PyObject* a, PyObject* b,
                                  PyObject* count) {
    return common::call_method_with_keyword(obj, name, a, b, count, names.count_kwnames);
}

// Unpacks `item` into exactly `n` values (n <= 3) with the messages a
// failing unpack gives: "too many values to unpack (expected %zd)" and
// "need more than %zd value%.1s to unpack".
int unpack(PyObject* item, Py_ssize_t n, Ref* out);

}  // namespace pjson
