// Pickling, shared by both types: __reduce__ gives
// (copyreg.__newobj__, (type(self),), self.__getstate__()), and a state is
// (instance dict or None, slots) or an instance dict alone, as pickle's own
// BUILD takes it.
#pragma once

#include "state.hpp"

namespace pmodel {

// Puts into the dict `slots` the value of every slot the classes of `self`
// declare, by name, skipping those not set, as the reference's
// __getstate__ does; 0, or -1 with an exception.
int collect_slots(PyObject* self, PyObject* slots);

PyObject* reduce_with_state(PyObject* self);

// `special` names the member that is the type's storage, handed to `adopt`
// instead of being set as an attribute.
int restore_state(PyObject* self, PyObject* whole, PyObject* special,
                  int (*adopt)(PyObject*, PyObject*));

}  // namespace pmodel
