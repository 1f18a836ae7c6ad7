// Token rule, pair reading and the decoding map.
#include "document/document.hpp"

#include "functions.hpp"

#include <cmath>

namespace pjson::document {

namespace {

// ===========================================================================
// Sort keys
// ===========================================================================

// -item[1]; each writer has its own so that a failing key names its writer.
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

constexpr Frame kWholeKeyFrame{"pavro_cjson.dump_json_small.lambda1"};
constexpr Frame kStreamingKeyFrame{"pavro_cjson.dump_json_big.lambda4"};

PyObject* whole_key(PyObject*, PyObject* item) {
    return negated_occurrences(item, kWholeKeyFrame);
}

PyObject* streaming_key(PyObject*, PyObject* item) {
    return negated_occurrences(item, kStreamingKeyFrame);
}

PyMethodDef key_defs[] = {
    {"<lambda>", whole_key, METH_O, nullptr},
    {"<lambda>", streaming_key, METH_O, nullptr},
};

PyObject* key_functions[2] = {nullptr, nullptr};  // owned, made once

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
    Ref math = lookup_global(names.math);
    if (!math) return -1;
    Ref log10(PyObject_GetAttr(math.get(), names.log10));
    if (!log10) return -1;
    Ref number(PyLong_FromSsize_t(rank));
    if (!number) return -1;
    Ref logarithm = call1(log10.get(), number.get());
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

Ref sort_by_frequency(PyObject* freq_items, Writer writer) {
    Ref sorted = lookup_global(names.sorted);
    if (!sorted) return Ref();
    Ref args(PyTuple_Pack(1, freq_items));
    Ref kwargs(PyDict_New());
    if (!args || !kwargs) return Ref();
    PyObject* key = key_functions[writer == Writer::whole ? 0 : 1];
    if (PyDict_SetItem(kwargs.get(), names.key, key) < 0) return Ref();
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
    Ref json = lookup_global(names.json);
    if (!json) return -1;
    Ref dumps(PyObject_GetAttr(json.get(), names.dumps));
    if (!dumps) return -1;
    text_ = call1(dumps.get(), code_.get());
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

Ref lookup_each(PyObject* elements, PyObject* map) {
    SignalCheck signals;
    if (PyTuple_CheckExact(elements)) {
        // Immutable: index it directly; lookups cannot change it.
        const Py_ssize_t n = PyTuple_GET_SIZE(elements);
        Ref found(PyTuple_New(n));
        if (!found) return Ref();
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref value = dict_lookup(map, PyTuple_GET_ITEM(elements, i));
            if (!value) return Ref();
            PyTuple_SET_ITEM(found.get(), i, value.release());
            if (signals.tick() < 0) return Ref();
        }
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
        Ref value = dict_lookup(map, element.get());
        if (!value || PyList_Append(found.get(), value.get()) < 0) return Ref();
        if (signals.tick() < 0) return Ref();
    }
    return Ref(PyList_AsTuple(found.get()));
}

}  // namespace pjson::document

namespace pjson {

int init_document() {
    for (int i = 0; i < 2; ++i) {
        if (document::key_functions[i] != nullptr) continue;
        document::key_functions[i] = PyCFunction_NewEx(&document::key_defs[i], nullptr, nullptr);
        if (document::key_functions[i] == nullptr) return -1;
    }
    return 0;
}

}  // namespace pjson
