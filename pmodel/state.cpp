// Process-wide state of the model module.
#include "state.hpp"

#include "../common/calls.hpp"
#include "../common/names.hpp"
#include "../common/traceback.hpp"

namespace pmodel {

State state;

namespace {

PyObject* attribute_of(const char* module, const char* name) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    return PyObject_GetAttrString(mod.get(), name);
}

}  // namespace

int init_state() {
    if (state.add != nullptr) return 0;
    const common::NameEntry table[] = {
        {&state.add, "add"},
        {&state.add_to_bag, "add_to_bag"},
        {&state.learn, "learn"},
        {&state.choose, "choose"},
        {&state.choices, "choices"},
        {&state.random, "random"},
        {&state.items, "items"},
        {&state.values, "values"},
        {&state.weights, "weights"},
        {&state.count, "count"},
        {&state.sum, "sum"},
        {&state.getstate, "__getstate__"},
        {&state.bags_slot, "_bags"},
        {&state.weights_slot, "_weights"},
    };
    if (common::intern_all(table) < 0) return -1;
    state.count_kwnames = PyTuple_Pack(1, state.count);
    state.weights_kwnames = PyTuple_Pack(1, state.weights);
    state.one = PyLong_FromLong(1);
    state.zero = PyLong_FromLong(0);
    state.list_or_tuple = PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyList_Type),
                                       reinterpret_cast<PyObject*>(&PyTuple_Type));
    if (!state.count_kwnames || !state.weights_kwnames || !state.one || !state.zero ||
        !state.list_or_tuple) {
        return -1;
    }
    state.decimal_type = attribute_of("decimal", "Decimal");
    if (state.decimal_type == nullptr) return -1;
    state.random_module = PyImport_ImportModule("random");
    if (state.random_module == nullptr) return -1;
    Ref random_class(PyObject_GetAttrString(state.random_module, "Random"));
    if (!random_class) return -1;
    state.random_choices = PyObject_GetAttr(random_class.get(), state.choices);
    if (state.random_choices == nullptr) return -1;
    state.builtin_sum = attribute_of("builtins", "sum");
    if (state.builtin_sum == nullptr) return -1;
    state.newobj = attribute_of("copyreg", "__newobj__");
    if (state.newobj == nullptr) return -1;
    state.slotnames = attribute_of("copyreg", "_slotnames");
    if (state.slotnames == nullptr) return -1;
    return 0;
}

bool is_own_method(PyObject* obj, PyObject* name, PyCFunction method) {
    Ref found(PyObject_GetAttr(obj, name));
    if (!found) {
        PyErr_Clear();
        return false;
    }
    return PyCFunction_Check(found.get()) && PyCFunction_GET_SELF(found.get()) == obj &&
           PyCFunction_GET_FUNCTION(found.get()) == method;
}

void add_entry(const char* name) {
    common::add_traceback("_pavro_model", name, 1, state.module_dict);
}

Ref slot_names(PyObject* type) {
    return common::call1(state.slotnames, type);
}

}  // namespace pmodel
