// Module-level name lookup.
#include "globals.hpp"

namespace pjson {

PyObject* module_dict = nullptr;

Ref lookup_global(PyObject* name) {
    if (module_dict != nullptr) {
        PyObject* found = PyDict_GetItemWithError(module_dict, name);  // borrowed
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr) {
        PyObject* found = PyDict_GetItemWithError(builtins, name);  // borrowed
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref call_global_attr(PyObject* name, PyObject* attr, PyObject* arg) {
    Ref global = lookup_global(name);
    if (!global) return Ref();
    Ref method(PyObject_GetAttr(global.get(), attr));
    if (!method) return Ref();
    return call1(method.get(), arg);
}

}  // namespace pjson
