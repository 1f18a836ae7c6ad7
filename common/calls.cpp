// Calls and small protocols, version by version.
#include "calls.hpp"

namespace common {

Ref call0(PyObject* callable) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref(PyObject_CallNoArgs(callable));
#else
    return Ref(PyObject_CallFunctionObjArgs(callable, nullptr));
#endif
}

Ref call1(PyObject* callable, PyObject* arg) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref(PyObject_CallOneArg(callable, arg));
#else
    return Ref(PyObject_CallFunctionObjArgs(callable, arg, nullptr));
#endif
}

Ref call2(PyObject* callable, PyObject* a, PyObject* b) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* args[2] = {a, b};
    return Ref(PyObject_Vectorcall(callable, args, 2, nullptr));
#else
    return Ref(PyObject_CallFunctionObjArgs(callable, a, b, nullptr));
#endif
}

Ref call_with_keyword(PyObject* callable, PyObject* a, PyObject* b, PyObject* value,
                      PyObject* kwnames) {
    const Py_ssize_t npos = b != nullptr ? 2 : 1;
#if PY_VERSION_HEX >= 0x03090000
    PyObject* args[3] = {a, b != nullptr ? b : value, value};
    return Ref(PyObject_Vectorcall(callable, args, static_cast<size_t>(npos), kwnames));
#else
    Ref args(npos == 2 ? PyTuple_Pack(2, a, b) : PyTuple_Pack(1, a));
    if (!args) return Ref();
    Ref kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, 0), value) < 0) {
        return Ref();
    }
    return Ref(PyObject_Call(callable, args.get(), kwargs.get()));
#endif
}

// From 3.9 on the method is looked up as PyObject_GetAttr would find it,
// but a plain function or method descriptor is called without first being
// bound to a new method object.
Ref call_method0(PyObject* obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref(PyObject_CallMethodNoArgs(obj, name));
#else
    Ref method(PyObject_GetAttr(obj, name));
    if (!method) return Ref();
    return call0(method.get());
#endif
}

Ref call_method_with_keyword(PyObject* obj, PyObject* name, PyObject* a, PyObject* b,
                             PyObject* value, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03090000
    const size_t npos = b != nullptr ? 3 : 2;
    PyObject* args[4] = {obj, a, b != nullptr ? b : value, value};
    return Ref(PyObject_VectorcallMethod(name, args, npos, kwnames));
#else
    Ref method(PyObject_GetAttr(obj, name));
    if (!method) return Ref();
    return call_with_keyword(method.get(), a, b, value, kwnames);
#endif
}

Ref call_method2(PyObject* obj, PyObject* name, PyObject* a, PyObject* b) {
#if PY_VERSION_HEX >= 0x03090000
    PyObject* args[3] = {obj, a, b};
    return Ref(PyObject_VectorcallMethod(name, args, 3, nullptr));
#else
    Ref method(PyObject_GetAttr(obj, name));
    if (!method) return Ref();
    return call2(method.get(), a, b);
#endif
}

Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg) {
#if PY_VERSION_HEX >= 0x03090000
    return Ref(PyObject_CallMethodOneArg(obj, name, arg));
#else
    Ref method(PyObject_GetAttr(obj, name));
    if (!method) return Ref();
    return call1(method.get(), arg);
#endif
}

void raise_key_error(PyObject* key) {
    // KeyError(key) with a tuple key would spread the tuple over args.
    PyObject* args = PyTuple_Pack(1, key);
    if (args == nullptr) return;
    PyErr_SetObject(PyExc_KeyError, args);
    Py_DECREF(args);
}

Ref dict_lookup(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed
    if (found != nullptr) return Ref::borrow(found);
    if (!PyErr_Occurred()) raise_key_error(key);
    return Ref();
}

int next_item(PyObject* iterator, Ref& out) {
    out.reset(PyIter_Next(iterator));
    if (out) return 1;
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace common
