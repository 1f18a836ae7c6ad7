// Module-level names, looked up at the moment of use as Python code would.
#pragma once

#include "common.hpp"

namespace pjson {

// The module's dictionary, set once the module object exists.
extern PyObject* module_dict;  // borrowed from the module, which never dies

// Looks `name` up in the module's dictionary at the moment of use, then in
// the builtins, raising NameError as the interpreter would.
Ref lookup_global(PyObject* name);

// name.attr(arg): `name` looked up as a module-level name and `attr` read
// from it at this moment, as json.dumps(x) or ijson.parse(file) would be.
Ref call_global_attr(PyObject* name, PyObject* attr, PyObject* arg);

}  // namespace pjson
