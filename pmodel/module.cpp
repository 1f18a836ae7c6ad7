// The _pavro_model extension module: pavro's ChainModel and ProbabilityBag
// in C, exported by pavro.bag under their own names.
#include "../common/compat.hpp"
#include "bag.hpp"
#include "model.hpp"
#include "normalise.hpp"
#include "state.hpp"

namespace pmodel {
namespace {

PyObject* normalise_code_function(PyObject*, PyObject* code) { return normalise_code(code); }

constexpr char k_learn_sentences[] = "learn_sentences";

PyMethodDef module_functions[] = {
    {"normalise_code", normalise_code_function, METH_O,
     "normalise_code(code, /)\n--\n\n"
     "Return `code` as the model stores it: lists as tuples, Decimals as floats."},
    {"learn_sentences",
     common::as_method<traced<learn_sentences_function, k_learn_sentences>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "learn_sentences(model, sentences, order, words, /)\n--\n\n"
     "Add every (state, (word,)) pair of the sentences to `model`; return the words."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_pavro_model",
    "pavro's chain model in C: ChainModel, ProbabilityBag, normalise_code and the "
    "sentence learner.",
    -1,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module, once made: an embedding application that calls the init
// function again gets the same one, as it gets the same types.
PyObject* made = nullptr;

PyObject* make_module() {
    if (made != nullptr) {
        Py_INCREF(made);
        return made;
    }
    if (init_state() < 0) return nullptr;
    if (bag_ready() < 0 || model_ready() < 0) return nullptr;
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    const struct {
        const char* name;
        PyTypeObject* type;
    } types[] = {{"ProbabilityBag", &BagType}, {"ChainModel", &ModelType}};
    for (const auto& entry : types) {
        Py_INCREF(entry.type);
        if (PyModule_AddObject(module.get(), entry.name,
                               reinterpret_cast<PyObject*>(entry.type)) < 0) {
            Py_DECREF(entry.type);
            return nullptr;
        }
    }
    state.module_dict = PyModule_GetDict(module.get());
    made = module.get();
    Py_INCREF(made);  // kept for the life of the process
    return module.release();
}

}  // namespace
}  // namespace pmodel

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__pavro_model() {
    return pmodel::make_module();
}
