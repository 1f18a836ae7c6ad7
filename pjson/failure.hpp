// Failures and their traceback entries: the one way every function of
// pjson/ reports a failure.
#pragma once

#include "common.hpp"

namespace pjson {

// How every function of pjson/ fails
// -----------------------------------
// A function that can fail returns nullptr (a PyObject* or an empty Ref)
// or -1 (an int), with the exception set; any other value is an answer
// (0/1 for found/exhausted, a count, an object).  Nothing returns a line
// number or a status type of its own; the only other answers are the yajl
// callbacks' 1 and 0, which that C library wants (yajl_source.cpp).
//
// The traceback entries need the line of the failure, so it is reported
// where it happens, under the Frame of the function whose name the
// traceback shows:
//
//     if (!value) PJ_FAIL(kBody);   // adds kBody's entry here, returns the failure
//
// Helpers without a frame (lookups, calls, texts, document/) add no entry:
// their caller reports with PJ_FAIL.  A helper that works under its
// caller's frame (the readers' state machines, the yajl source) has added
// the entry already: the caller passes the failure on (`return -1;`).  A
// helper with a frame of its own (a "genexpr") adds its entry, and the
// caller adds its own outside it with PJ_FAIL.

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
