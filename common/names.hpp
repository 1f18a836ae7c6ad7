// Tables of interned names, as both modules keep them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace common {

// Where one interned name goes, and its text.
struct NameEntry {
    PyObject** slot;
    const char* text;
};

// Interns every name of the table into its slot, where it stays for the life
// of the process; 0, or -1 with an exception (the names already made stay).
int intern_all(const NameEntry* table, std::size_t count);

template <std::size_t N>
int intern_all(const NameEntry (&table)[N]) {
    return intern_all(table, N);
}

}  // namespace common
