// The pickled state of both types: collected as the reference class gives
// it, restored as pickle's own BUILD would.
#include "pickling.hpp"

#include "../common/calls.hpp"
#include "../common/compat.hpp"

namespace pmodel {

namespace {

using Adopt = int (*)(PyObject*, PyObject*);

// Where a member of a pickled state that is not the storage goes; 0 or -1.
using Store = int (*)(PyObject* self, PyObject* key, PyObject* value);

int store_in_instance_dict(PyObject* self, PyObject* key, PyObject* value) {
    Ref inst(common::instance_dict(self));
    if (!inst) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '__dict__'",
                         Py_TYPE(self)->tp_name);
        }
        return -1;
    }
    return PyDict_SetItem(inst.get(), key, value);
}

int store_as_attribute(PyObject* self, PyObject* key, PyObject* value) {
    return PyObject_SetAttr(self, key, value);
}

// Sets one part of a pickled state (None: nothing); `not_a_dict` is the
// TypeError's message when the part is something else.
int set_state_part(PyObject* self, PyObject* part, const char* not_a_dict, Store store,
                   PyObject* special, Adopt adopt) {
    if (part == Py_None) return 0;
    if (!PyDict_Check(part)) {
        PyErr_SetString(PyExc_TypeError, not_a_dict);
        return -1;
    }
    Ref items(PyDict_Items(part));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);  // borrowed from items
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        const int is_special = PyUnicode_Check(key) ? PyUnicode_Compare(key, special) == 0 : 0;
        if (is_special) {
            if (adopt(self, value) < 0) return -1;
        } else if (store(self, key, value) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int collect_slots(PyObject* self, PyObject* slots) {
    Ref names = slot_names(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    if (!names) return -1;
    Ref iterator(PyObject_GetIter(names.get()));
    if (!iterator) return -1;
    Ref name;
    for (;;) {
        const int got = common::next_item(iterator.get(), name);
        if (got < 0) return -1;
        if (got == 0) return 0;
        Ref value(PyObject_GetAttr(self, name.get()));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            continue;
        }
        if (PyDict_SetItem(slots, name.get(), value.get()) < 0) return -1;
    }
}

PyObject* reduce_with_state(PyObject* self) {
    Ref got = common::call_method0(self, state.getstate);
    if (!got) return nullptr;
    return Py_BuildValue("O(O)O", state.newobj, reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         got.get());
}

int restore_state(PyObject* self, PyObject* whole, PyObject* special, Adopt adopt) {
    Ref held = Ref::borrow(whole);
    PyObject* dict_state = held.get();
    PyObject* slot_state = Py_None;
    if (PyTuple_Check(held.get()) && PyTuple_GET_SIZE(held.get()) == 2) {
        dict_state = PyTuple_GET_ITEM(held.get(), 0);
        slot_state = PyTuple_GET_ITEM(held.get(), 1);
    }
    if (set_state_part(self, dict_state, "state is not a dictionary", store_in_instance_dict,
                       special, adopt) < 0) {
        return -1;
    }
    return set_state_part(self, slot_state, "slot state is not a dictionary",
                          store_as_attribute, special, adopt);
}

}  // namespace pmodel
