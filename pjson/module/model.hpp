// The operations the module performs on a chain model and its bags.  Each
// method is looked up anew at every use and every result of a mutating
// method is dropped; nothing else is ever read from the model.
#pragma once

#include "common.hpp"
#include "globals.hpp"
#include "names.hpp"

namespace pjson::model {

// chain.build_frequency_dict().items()
inline Ref frequency_items(PyObject* chain) {
    Ref mapping = call_method0(chain, names.build_frequency_dict);
    if (!mapping) return Ref();
    return call_method0(mapping.get(), names.items);
}

// chain.items()
inline Ref entries(PyObject* chain) { return call_method0(chain, names.items); }

// bag.choices()
inline Ref choices(PyObject* bag) { return call_method0(bag, names.choices); }

// chain.clear()
inline int clear(PyObject* chain) {
    return call_method0(chain, names.clear) ? 0 : -1;
}

// A fresh ProbabilityBag(), the class looked up as a module-level name.
inline Ref new_bag() {
    Ref cls = lookup_global(names.ProbabilityBag);
    if (!cls) return Ref();
    return call0(cls.get());
}

}  // namespace pjson::model
