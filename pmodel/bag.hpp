// ProbabilityBag: the weighted followers of one start code.
#pragma once

#include "state.hpp"

namespace pmodel {

struct Table;

struct BagObject {
    PyObject_HEAD
    // follower -> weight, in the order first added.  Never shared and
    // never handed out, and no key is ever deleted: a table of cumulative
    // weights may then find a follower by its position.  Tables are kept
    // beside the bags (bag.cpp), so that a bag is no bigger than the
    // Python class it replaced.
    PyObject* weights;
};

extern PyTypeObject BagType;

int bag_ready();

inline bool is_bag(PyObject* obj) { return PyObject_TypeCheck(obj, &BagType); }

// A new, empty ProbabilityBag.
PyObject* bag_new_empty();

// bag.add(follower, count=count) on one of our bags, exactly; 0 or -1.
int bag_add(BagObject* bag, PyObject* follower, PyObject* count);

// The same with a follower and weight already as stored.
int bag_add_stored(BagObject* bag, PyObject* key, PyObject* value);

// bag.choose(rng) on one of our bags; a new reference or nullptr.
PyObject* bag_choose(BagObject* bag, PyObject* rng);

// The storage of a bag (borrowed), made anew after the collector cleared
// it; nullptr with MemoryError if that fails.
PyObject* bag_weights(BagObject* bag);

}  // namespace pmodel
