// Traceback entries under the source file name "pjson".
#include "failure.hpp"

#include "../common/traceback.hpp"
#include "globals.hpp"

namespace pjson {

void add_traceback(const char* funcname, int line) {
    common::add_traceback("pjson", funcname, line, module_dict);
}

}  // namespace pjson
