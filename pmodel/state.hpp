// What the model module holds for the life of the process: interned names
// and the few objects of other modules it needs, bound at import.
#pragma once

#include "../common/ref.hpp"

namespace pmodel {

using common::Ref;

struct State {
    // attribute and parameter names
    PyObject* add;
    PyObject* add_to_bag;
    PyObject* learn;
    PyObject* choose;
    PyObject* choices;
    PyObject* random;
    PyObject* items;
    PyObject* values;
    PyObject* weights;      // "weights" (the keyword of random.choices)
    PyObject* count;
    PyObject* sum;
    PyObject* getstate;     // "__getstate__"
    PyObject* bags_slot;    // "_bags"
    PyObject* weights_slot; // "_weights"
    PyObject* count_kwnames;    // ("count",)
    PyObject* weights_kwnames;  // ("weights",)
    PyObject* one;              // 1
    PyObject* zero;             // 0
    // objects of other modules, kept for the life of the process
    PyObject* decimal_type;     // decimal.Decimal
    PyObject* list_or_tuple;    // (list, tuple)
    PyObject* random_module;    // the default chooser
    PyObject* random_choices;   // random.Random.choices, the function
    PyObject* builtin_sum;      // builtins.sum as it was at import
    PyObject* newobj;           // copyreg.__newobj__
    PyObject* slotnames;        // copyreg._slotnames
    PyObject* module_dict;      // borrowed from the module, which never dies
};

extern State state;

// Fills `state`; -1 with an exception on failure.  Safe to call again.
int init_state();

// Whether obj.<name> is the C method `method` of the model module bound to
// obj itself: then a call from inside the module may go straight to C.  A
// failed lookup counts as "not ours" and leaves no exception.
bool is_own_method(PyObject* obj, PyObject* name, PyCFunction method);

// The names of `type`'s __slots__ beyond the module's own types, as
// copyreg finds them for pickling; a new list reference or nullptr.
Ref slot_names(PyObject* type);

// A failed method of the module adds a traceback entry naming itself, so
// that a failure shows which model method it came from.
void add_entry(const char* name);

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*), const char* Name>
PyObject* traced(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = F(self, args, nargs, kwnames);
    if (result == nullptr) add_entry(Name);
    return result;
}

template <PyObject* (*F)(PyObject*, PyObject*), const char* Name>
PyObject* traced(PyObject* self, PyObject* arg) {
    PyObject* result = F(self, arg);
    if (result == nullptr) add_entry(Name);
    return result;
}

}  // namespace pmodel
