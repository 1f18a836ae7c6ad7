// Token rule, pair reading and the decoding map.
#include "document/document.hpp"

#include "failure.hpp"
#include "globals.hpp"
#include "names.hpp"

#include <cmath>

namespace pjson::document {

namespace {

// ===========================================================================
// Sort keys
// ===========================================================================

// ===========================================================================
// Token rule helpers
// ===========================================================================

// Only a JSON string can stand for itself: a number, boolean or null
// standing for itself could be read back as some other code's rank number.
bool is_string_text(PyObject* text) {
    return PyUnicode_Check(text) && PyUnicode_GET_LENGTH(text) > 0 &&
           PyUnicode_READ_CHAR(text, 0) == '"';
}

// int(math.log10(rank)) + 1, with math looked up at the moment of use.
int rank_width(Py_ssize_t rank, Py_ssize_t* width) {
    Ref number(PyLong_FromSsize_t(rank));
    if (!number) return -1;
    Ref logarithm = call_global_attr(names.math, names.log10, number.get());
    if (!logarithm) return -1;
    Ref integer(PyNumber_Long(logarithm.get()));
    if (!integer) return -1;
    const Py_ssize_t digits = PyLong_AsSsize_t(integer.get());
    if (digits == -1 && PyErr_Occurred()) return -1;
    *width = digits + 1;
    return 0;
}

}  // namespace

// ===========================================================================
// Token rule
// ===========================================================================

// -item[1], a failure reported under `frame`.
PyObject* negated_occurrences(PyObject* item, const Frame& frame) {
    Ref occurrences;
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > 1) {
        occurrences = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    } else {
        Ref one(PyLong_FromLong(1));
        if (!one) PJ_FAIL(frame);
        occurrences = Ref(PyObject_GetItem(item, one.get()));
        if (!occurrences) PJ_FAIL(frame);
    }
    PyObject* negated = PyNumber_Negative(occurrences.get());
    if (negated == nullptr) PJ_FAIL(frame);
    return negated;
}

int SortKey::make() {
    if (function_ == nullptr) function_ = PyCFunction_NewEx(&def_, nullptr, nullptr);
    return function_ != nullptr ? 0 : -1;
}

Ref sort_by_frequency(PyObject* freq_items, const SortKey& key) {
    Ref sorted = lookup_global(names.sorted);
    if (!sorted) return Ref();
    Ref args(PyTuple_Pack(1, freq_items));
    Ref kwargs(PyDict_New());
    if (!args || !kwargs) return Ref();
    if (PyDict_SetItem(kwargs.get(), names.key, key.function()) < 0) return Ref();
    Ref result(PyObject_Call(sorted.get(), args.get(), kwargs.get()));
    if (!result) return Ref();
    // The ranking walks it by index; make sure a shadowed `sorted` that
    // returns something else still gives us a list of our own.
    if (!PyList_CheckExact(result.get())) return Ref(PySequence_List(result.get()));
    return result;
}

int Ranking::next() {
    ++rank_;
    if (rank_ >= PyList_GET_SIZE(sorted_.get())) return 0;
    // The list is ours alone, but the item is held strongly: json.dumps and
    // math.log10 below may run arbitrary code.
    Ref item = Ref::borrow(PyList_GET_ITEM(sorted_.get(), rank_));
    if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) > 0) {
        code_ = Ref::borrow(PyTuple_GET_ITEM(item.get(), 0));  // what item[0] gives
    } else {
        Ref zero(PyLong_FromLong(0));
        if (!zero) return -1;
        code_ = Ref(PyObject_GetItem(item.get(), zero.get()));
        if (!code_) return -1;
    }
    text_ = call_global_attr(names.json, names.dumps, code_.get());
    if (!text_) return -1;
    itself_ = false;
    if (rank_ > 9 && is_string_text(text_.get())) {
        Py_ssize_t width = 0;
        if (rank_width(rank_, &width) < 0) return -1;
        itself_ = width >= PyUnicode_GET_LENGTH(text_.get());
    }
    return 1;
}

// ===========================================================================
// Decoding map
// ===========================================================================

Ref decoding_map(PyObject* iterable) {
    PairReader pairs;
    if (pairs.open(iterable) < 0) return Ref();
    Ref map(PyDict_New());
    if (!map) return Ref();
    Ref token, code;
    SignalCheck signals;
    for (;;) {
        const int got = pairs.next(token, code);
        if (got < 0) return Ref();
        if (got == 0) break;
        if (PyDict_SetItem(map.get(), token.get(), code.get()) < 0) return Ref();
        if (signals.tick() < 0) return Ref();
    }
    return map;
}

namespace {

// `key` as an index below `size`, or -1 when it is not an exact int there.
Py_ssize_t index_below(PyObject* key, Py_ssize_t size) {
    if (!PyLong_CheckExact(key)) return -1;
    int overflow = 0;
    const long long k = PyLong_AsLongLongAndOverflow(key, &overflow);
    return overflow == 0 && k >= 0 && k < size ? static_cast<Py_ssize_t>(k) : -1;
}

// _PyTuple_Resize on a Ref, which it empties on failure as the call frees
// the tuple.
int resize(Ref& tuple, Py_ssize_t size) {
    PyObject* resized = tuple.release();
    const int done = _PyTuple_Resize(&resized, size);
    tuple.reset(resized);
    return done;
}

}  // namespace

Ref rank_index(PyObject* map) {
    // Nothing below runs Python code: the map cannot change under the walk.
    const Py_ssize_t entries = PyDict_GET_SIZE(map);
    Py_ssize_t size = 0, pos = 0;
    PyObject *key, *value;  // borrowed from the map
    while (PyDict_Next(map, &pos, &key, &value)) {
        const Py_ssize_t k = index_below(key, entries);
        if (k >= size) size = k + 1;
    }
    Ref ranks(PyTuple_New(size));
    if (!ranks) return Ref();
    for (Py_ssize_t i = 0; i < size; ++i)
        PyTuple_SET_ITEM(ranks.get(), i, Ref::borrow(Py_NotImplemented).release());
    pos = 0;
    while (PyDict_Next(map, &pos, &key, &value)) {
        const Py_ssize_t k = index_below(key, size);
        if (k < 0) continue;
        Py_DECREF(PyTuple_GET_ITEM(ranks.get(), k));
        PyTuple_SET_ITEM(ranks.get(), k, Ref::borrow(value).release());
    }
    return ranks;
}

Ref decode(PyObject* map, PyObject* ranks, PyObject* token) {
    if (ranks != nullptr) {
        const Py_ssize_t k = index_below(token, PyTuple_GET_SIZE(ranks));
        if (k >= 0 && PyTuple_GET_ITEM(ranks, k) != Py_NotImplemented)
            return Ref::borrow(PyTuple_GET_ITEM(ranks, k));
    }
    return dict_lookup(map, token);
}

Ref lookup_each(PyObject* elements, PyObject* map, PyObject* ranks) {
    SignalCheck signals;
    if (PyTuple_CheckExact(elements)) {
        // Immutable: index it directly; lookups cannot change it.
        const Py_ssize_t n = PyTuple_GET_SIZE(elements);
        Ref found(PyTuple_New(n));
        if (!found) return Ref();
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref value = decode(map, ranks, PyTuple_GET_ITEM(elements, i));
            if (!value) return Ref();
            PyTuple_SET_ITEM(found.get(), i, value.release());
            if (signals.tick() < 0) return Ref();
        }
        return found;
    }
    if (PyList_CheckExact(elements)) {
        // What a JSON library gives: filled straight into the tuple, the
        // list indexed as its iterator would, its length read at every step
        // (a lookup that runs Python code could change it), and the tuple
        // resized to fit as tuple(iterable) resizes its own.
        Ref found(PyTuple_New(PyList_GET_SIZE(elements)));
        if (!found) return Ref();
        Py_ssize_t i = 0;
        for (; i < PyList_GET_SIZE(elements); ++i) {
            Ref element = Ref::borrow(PyList_GET_ITEM(elements, i));
            Ref value = decode(map, ranks, element.get());
            if (!value || (i == PyTuple_GET_SIZE(found.get()) && resize(found, 2 * i + 8) < 0))
                return Ref();
            PyTuple_SET_ITEM(found.get(), i, value.release());
            if (signals.tick() < 0) return Ref();
        }
        if (i != PyTuple_GET_SIZE(found.get()) && resize(found, i) < 0) return Ref();
        return found;
    }
    Ref iterator(PyObject_GetIter(elements));
    if (!iterator) return Ref();
    Ref found(PyList_New(0));
    if (!found) return Ref();
    Ref element;
    for (;;) {
        const int got = next_item(iterator.get(), element);
        if (got < 0) return Ref();
        if (got == 0) break;
        Ref value = decode(map, ranks, element.get());
        if (!value || PyList_Append(found.get(), value.get()) < 0) return Ref();
        if (signals.tick() < 0) return Ref();
    }
    return Ref(PyList_AsTuple(found.get()));
}

// ===========================================================================
// Shared codes
// ===========================================================================

Ref SharedCodes::share(PyObject* code) {
    Ref* table = PyUnicode_CheckExact(code) ? &strings_ : PyLong_CheckExact(code) ? &ints_
                                                                                   : nullptr;
    if (table == nullptr) return Ref::borrow(code);
    if (!*table) {
        *table = Ref(PyDict_New());
        if (!*table) return Ref();
    }
    // Exact str and int compare and hash without running Python code.
    PyObject* kept = PyDict_SetDefault(table->get(), code, code);  // borrowed
    return Ref::borrow(kept);
}

int SharedCodes::share_list(PyObject* list) {
    if (!PyList_CheckExact(list)) return 0;
    // Nothing below runs Python code, so the list cannot change under us.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* element = PyList_GET_ITEM(list, i);  // borrowed
        Ref kept = share(element);
        if (!kept) return -1;
        if (kept.get() != element) PyList_SetItem(list, i, kept.release());
    }
    return 0;
}

Ref SharedCodes::shared_tuple(PyObject* items) {
    // A list or tuple is read in place (sharing runs no Python code, so it
    // cannot change meanwhile); anything else is drawn into a tuple first.
    Ref fast = PyList_CheckExact(items) || PyTuple_CheckExact(items)
                   ? Ref::borrow(items)
                   : Ref(PySequence_Tuple(items));
    if (!fast) return Ref();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    Ref tuple(PyTuple_New(n));
    if (!tuple) return Ref();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref kept = share(PySequence_Fast_GET_ITEM(fast.get(), i));
        if (!kept) return Ref();
        PyTuple_SET_ITEM(tuple.get(), i, kept.release());
    }
    return tuple;
}

// ===========================================================================
// Document shape
// ===========================================================================

void raise_not_follower_list(Kind kind) {
    static const char* const kinds[] = {"a number", "a string", "a boolean", "null",
                                        "an object"};
    PyErr_Format(PyExc_TypeError, "a follower list must be an array, not %s",
                 kinds[static_cast<int>(kind)]);
}

bool refused_follower_list(PyObject* value, Kind* kind) {
    // bool before int: True is an int too.
    if (PyBool_Check(value)) {
        *kind = Kind::boolean;
    } else if (PyLong_Check(value) || PyFloat_Check(value)) {
        *kind = Kind::number;
    } else if (PyUnicode_Check(value)) {
        *kind = Kind::string;
    } else if (value == Py_None) {
        *kind = Kind::null;
    } else if (PyDict_Check(value)) {
        *kind = Kind::object;
    } else {
        return false;
    }
    return true;
}

void raise_codes_after_chain() {
    PyErr_SetString(PyExc_ValueError,
                    "the chain table came before the code table, so its pairs were handed "
                    "over undecoded; load_json_small reads the two tables in either order");
}

}  // namespace pjson::document
