// ChainModel: a table from start codes to ProbabilityBags.
#pragma once

#include "state.hpp"

namespace pmodel {

struct ModelObject {
    PyObject_HEAD
    PyObject* bags;      // start code -> bag, in the order first added
    PyObject* dict;      // the instance dictionary, as a Python class has one
    PyObject* weakrefs;
};

extern PyTypeObject ModelType;
extern PyTypeObject WalkType;

int model_ready();

}  // namespace pmodel
