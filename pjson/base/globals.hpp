// Module-level names, looked up at the moment of use as Python code would.
#pragma once

#include "base/common.hpp"

namespace pjson {

// The module's dictionary, set once the module object exists.
extern PyObject* module_dict;  // borrowed from the module, which never dies

// Looks `name` up in the module's dictionary at the moment of use, then in
// the builtins, raising NameError as the interpreter would.
Ref lookup_global(PyObject* name);

}  // namespace pjson
