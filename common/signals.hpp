// Lets a pending Ctrl-C (or any signal handler) interrupt long loops.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace common {

// The interpreter only checks between bytecodes, and a loop over
// C-implemented containers may run no bytecode at all.
class SignalCheck {
public:
    int tick() noexcept {
        if (++n_ < kEvery) return 0;
        n_ = 0;
        return PyErr_CheckSignals();
    }

private:
    static constexpr unsigned kEvery = 1024;
    unsigned n_ = 0;
};

}  // namespace common
