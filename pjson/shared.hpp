// Helpers every group of the module leans on: owned references, the
// interned names, traceback entries, module-level name lookup and the few
// call shapes the readers and writers need.  What the model module uses as
// well (the owned reference, the calls, the version differences) lives in
// common/ and is named here as pjson's own.
#pragma once

#include "../common/calls.hpp"
#include "../common/compat.hpp"
#include "../common/ref.hpp"
#include "../common/signals.hpp"
#include "../common/traceback.hpp"
#include "../common/tuples.hpp"

#include <cstddef>
#include <utility>

namespace pjson {

using common::call0;
using common::call1;
using common::call2;
using common::call_method0;
using common::call_method1;
using common::dict_lookup;
using common::next_item;
using common::raise_key_error;
using common::Ref;
using common::SignalCheck;
using common::text_ready;
using common::untrack_if_atomic;

// ---------------------------------------------------------------------------
// Interned names
// ---------------------------------------------------------------------------

// Every string the hot paths look up or compare, created once at import so
// that attribute lookups hit the interned fast path and no loop builds the
// same string twice.
struct Names {
    // module-level names
    PyObject* json;
    PyObject* math;
    PyObject* OrderedDict;
    PyObject* ObjectBuilder;
    PyObject* ProbabilityBag;
    PyObject* ijson;
    PyObject* sorted;
    // attributes and methods
    PyObject* dump;
    PyObject* dumps;
    PyObject* load;
    PyObject* log10;
    PyObject* parse;
    PyObject* event;
    PyObject* value;
    PyObject* items;
    PyObject* choices;
    PyObject* build_frequency_dict;
    PyObject* clear;
    PyObject* add_to_bag;
    PyObject* set_bag;
    PyObject* add;
    PyObject* write;
    PyObject* startswith;
    PyObject* key;
    PyObject* count;
    // parameter names
    PyObject* file;
    PyObject* frequency_compress;
    PyObject* merge;
    // document members
    PyObject* codes;
    PyObject* chain;
    // parser event names
    PyObject* start_array;
    PyObject* end_array;
    PyObject* map_key;
    PyObject* start_map;
    PyObject* string;
    PyObject* boolean;
    PyObject* null;
    PyObject* start_prefix;  // "start_"
    PyObject* end_prefix;    // "end_"
    // literal pieces of the streaming writer
    PyObject* comma;
    PyObject* head;         // {"codes":[
    PyObject* middle;       // ],"chain":[
    PyObject* tail;         // ]}
    PyObject* open_list;    // [
    PyObject* comma_open;   // ,[
    PyObject* close_list;   // ]
    PyObject* format_spec;   // "" for format(x, "")
    PyObject* count_kwnames; // ("count",)
};

extern Names names;

// Creates the interned names; safe to call more than once.
int init_names();

// ---------------------------------------------------------------------------
// Traceback entries
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Module-level names
// ---------------------------------------------------------------------------

// The module's dictionary, set once the module object exists.
extern PyObject* module_dict;  // borrowed from the module, which never dies

// Looks `name` up in the module's dictionary at the moment of use, then in
// the builtins, raising NameError as the interpreter would.
Ref lookup_global(PyObject* name);

// ---------------------------------------------------------------------------
// Calls and small protocols
// ---------------------------------------------------------------------------

// callable(args..., count=count) with one or two positional arguments
// (`b` may be nullptr).
inline Ref call_with_count(PyObject* callable, PyObject* a, PyObject* b, PyObject* count) {
    return common::call_with_keyword(callable, a, b, count, names.count_kwnames);
}

// ---------------------------------------------------------------------------
// Building texts and tuples
// ---------------------------------------------------------------------------

// The concatenation of `n` str objects (exact or subclasses, read as
// stored), made with one allocation; the result is an exact str.
Ref concat_texts(PyObject* const* parts, Py_ssize_t n);

// prefix + the decimal digits of `value`, an exact str; `prefix` is ASCII.
Ref decimal_text(const char* prefix, long long value);

// Unpacks `item` into exactly `n` values (n <= 3) with the messages a
// failing unpack gives: "too many values to unpack (expected %zd)" and
// "need more than %zd value%.1s to unpack".
int unpack(PyObject* item, Py_ssize_t n, Ref* out);

// str equality with a fast path for exact str objects; -1 on error.
int equals_str(PyObject* obj, PyObject* interned);
// obj.startswith(prefix), fast for exact str; -1 on error.
int starts_with(PyObject* obj, PyObject* prefix);

}  // namespace pjson
