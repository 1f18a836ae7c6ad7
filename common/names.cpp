// Interning the name tables.
#include "names.hpp"

namespace common {

int intern_all(const NameEntry* table, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* s = PyUnicode_InternFromString(table[i].text);
        if (s == nullptr) return -1;
        *table[i].slot = s;  // kept for the life of the process
    }
    return 0;
}

}  // namespace common
