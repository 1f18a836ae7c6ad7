// Failures and their traceback entries: the one way every function of
// pjson/ reports a failure.
#pragma once

#include "base/common.hpp"

namespace pjson {

// How every function of pjson/ fails
// -----------------------------------
// A function that can fail returns nullptr (a PyObject* or an empty Ref)
// or -1 (an int), with the exception set; any other value is an answer
// (0/1, a count, an object).  A function that shows in the traceback has a
// Frame, and reports each failure where it happens, with that line:
//
//     if (!value) PJ_FAIL(kBody);   // adds the entry, returns the failure
//
// A caller that gets a failure from a function of its own frame has nothing
// to add and passes it on (`return -1;`); one with a frame of its own adds
// its entry with PJ_FAIL, outside the callee's.  No function returns a line
// number or a status of its own kind; the one exception is the yajl
// callbacks, which answer yajl 1 or 0 as that library wants.

// Adds a traceback entry for source file "pjson" to the exception being
// raised, naming `funcname` at `line`.  Never disturbs the exception itself.
void add_traceback(const char* funcname, int line);

// What PJ_FAIL returns: the failure value of the enclosing function's type.
struct Failure {
    operator PyObject*() const noexcept { return nullptr; }
    operator int() const noexcept { return -1; }
    operator Ref() const noexcept { return Ref(); }
};

// The traceback name of one function of the module.
class Frame {
public:
    explicit constexpr Frame(const char* name) noexcept : name_(name) {}
    // Adds the entry at `line`; PJ_FAIL is how a failing site says it.
    Failure fail(int line) const noexcept {
        add_traceback(name_, line);
        return Failure{};
    }
    const char* name() const noexcept { return name_; }

private:
    const char* name_;
};

// Reports a failure of the enclosing function under `frame` at this line.
#define PJ_FAIL(frame) return (frame).fail(__LINE__)

}  // namespace pjson
