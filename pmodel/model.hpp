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

// learn_sentences(model, sentences, order, words, /): the tool's learner.
// Adds to `model`, for every sentence (a sequence of str) and in text
// order, add_to_bag(state, (word,)) for each word and then for the end
// mark None, a state being the `order` codes before (None before the
// first word).  `words` is the caller's table str -> (str,), kept from
// call to call, which gives every state and follower one string per
// distinct word and one tuple per follower.  Returns the number of words.
PyObject* learn_sentences_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

}  // namespace pmodel
