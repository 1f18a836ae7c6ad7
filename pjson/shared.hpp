// Helpers every group of the module leans on: owned references, the
// interned names, traceback entries, module-level name lookup and the few
// call shapes the readers and writers need.  Version differences of the C
// API are confined to this header and shared.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace pjson {

// ---------------------------------------------------------------------------
// Owned references
// ---------------------------------------------------------------------------

// Holds one strong reference.  Construct it from a *new* reference (or from
// nullptr after a failed call); `Ref::borrow` turns a borrowed pointer into
// an owned one.  Moves transfer ownership; copies are not allowed, so a
// reference can neither leak on an early return nor be released twice.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : p_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes a strong reference to an object we were only lent.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (for returning a new reference).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = p_;
        p_ = owned;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

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

// Adds a traceback entry for source file "pjson" to the exception being
// raised, naming `funcname` at `line`.  Never disturbs the exception itself.
void add_traceback(const char* funcname, int line);

// The frame of one function of the module, as the traceback should show it.
// `fail(__LINE__)` records the entry and yields the failure value of the
// enclosing function, so an error path reads `return fr.fail(__LINE__);`.
struct Failure {
    operator PyObject*() const noexcept { return nullptr; }
    operator int() const noexcept { return -1; }
    operator Ref() const noexcept { return Ref(); }
};

class Frame {
public:
    explicit constexpr Frame(const char* name) noexcept : name_(name) {}
    Failure fail(int line) const noexcept {
        add_traceback(name_, line);
        return Failure{};
    }
    const char* name() const noexcept { return name_; }

private:
    const char* name_;
};

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

Ref call0(PyObject* callable);
Ref call1(PyObject* callable, PyObject* arg);
Ref call2(PyObject* callable, PyObject* a, PyObject* b);
// callable(args..., count=count) with one or two positional arguments
// (`b` may be nullptr).
Ref call_with_count(PyObject* callable, PyObject* a, PyObject* b, PyObject* count);

// obj.name() with the method looked up anew.
Ref call_method0(PyObject* obj, PyObject* name);
// obj.name(arg) with the method looked up anew.
Ref call_method1(PyObject* obj, PyObject* name, PyObject* arg);

// ---------------------------------------------------------------------------
// Building texts and tuples
// ---------------------------------------------------------------------------

// Makes a str's characters readable in place (before 3.12 a str made by the
// legacy API may not be ready yet); -1 on error.
inline int text_ready(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(text);
#else
    (void)text;
    return 0;
#endif
}

// The concatenation of `n` str objects (exact or subclasses, read as
// stored), made with one allocation; the result is an exact str.
Ref concat_texts(PyObject* const* parts, Py_ssize_t n);

// prefix + the decimal digits of `value`, an exact str; `prefix` is ASCII.
Ref decimal_text(const char* prefix, long long value);

// Stops the cyclic collector from tracking a tuple that can never be part of
// a cycle: every item is an object the collector does not follow, or a tuple
// it already dropped.  The interpreter does the same lazily during
// collections; doing it at once keeps large documents out of them.
void untrack_if_atomic(PyObject* tuple);

// Raises KeyError carrying `key` itself, even when `key` is a tuple.
void raise_key_error(PyObject* key);

// Looks `key` up in a dict the module owns; a miss raises KeyError(key).
// The result is a new reference, safe across later calls into Python.
Ref dict_lookup(PyObject* dict, PyObject* key);

// Draws the next item of an iterator: returns 1 with `out` set, 0 when the
// iterator is exhausted (no exception), -1 on error.
int next_item(PyObject* iterator, Ref& out);

// Unpacks `item` into exactly `n` values (n <= 3) with the messages a
// failing unpack gives: "too many values to unpack (expected %zd)" and
// "need more than %zd value%.1s to unpack".
int unpack(PyObject* item, Py_ssize_t n, Ref* out);

// str equality with a fast path for exact str objects; -1 on error.
int equals_str(PyObject* obj, PyObject* interned);
// obj.startswith(prefix), fast for exact str; -1 on error.
int starts_with(PyObject* obj, PyObject* prefix);

// Lets a pending Ctrl-C (or any signal handler) interrupt long loops.  The
// interpreter only checks between bytecodes, and a loop over C-implemented
// containers may run no bytecode at all.
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

}  // namespace pjson
