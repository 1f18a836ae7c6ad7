// Normalising codes on the way into the model.
#include "normalise.hpp"

#include "../common/calls.hpp"
#include "../common/tuples.hpp"

namespace pmodel {

namespace {

// Collects the normalised elements of one follower and hands them over as
// one exact tuple.  Short followers (nearly all of them) stay in the
// fixed buffer; longer ones spill into a list.
class TupleBuilder {
public:
    TupleBuilder() = default;
    TupleBuilder(const TupleBuilder&) = delete;
    TupleBuilder& operator=(const TupleBuilder&) = delete;
    ~TupleBuilder() {
        for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(small_[i]);
    }

    // Takes over the reference `item`; -1 on error.
    int append(PyObject* item) {
        if (n_ < kSmall && !spill_) {
            small_[n_++] = item;
            return 0;
        }
        if (!spill_) {
            spill_ = Ref(PyList_New(0));
            if (!spill_) {
                Py_DECREF(item);
                return -1;
            }
        }
        const int status = PyList_Append(spill_.get(), item);
        Py_DECREF(item);
        return status;
    }

    PyObject* finish() {
        const Py_ssize_t extra = spill_ ? PyList_GET_SIZE(spill_.get()) : 0;
        PyObject* tuple = PyTuple_New(n_ + extra);
        if (tuple == nullptr) return nullptr;
        for (Py_ssize_t i = 0; i < n_; ++i) PyTuple_SET_ITEM(tuple, i, small_[i]);
        n_ = 0;
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyObject* item = PyList_GET_ITEM(spill_.get(), i);
            Py_INCREF(item);
            PyTuple_SET_ITEM(tuple, kSmall + i, item);
        }
        return tuple;
    }

private:
    static constexpr Py_ssize_t kSmall = 16;
    PyObject* small_[kSmall];
    Py_ssize_t n_ = 0;
    Ref spill_;
};

// An exact tuple whose every element is stored as it is, recursively, is
// kept as it is: tuples are immutable, so sharing it is invisible.
// Returns 1 if so, 0 if not, -1 on error.
int stored_as_is(PyObject* tuple) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (plain_code(item)) continue;
        if (PyTuple_CheckExact(item)) {
            if (Py_EnterRecursiveCall(" while normalising a code")) return -1;
            const int inner = stored_as_is(item);
            Py_LeaveRecursiveCall();
            if (inner != 1) return inner;
            continue;
        }
        return 0;
    }
    return 1;
}

// tuple(normalise_code(e) for e in iterable).
PyObject* normalised_tuple(PyObject* iterable) {
    TupleBuilder built;
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        // The sequence is read at the position each step, as its iterator
        // would: an element's normalisation may run code that changes a list.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(iterable, i));
            PyObject* code = normalise_code(item.get());
            if (code == nullptr || built.append(code) < 0) return nullptr;
        }
        return built.finish();
    }
    Ref iterator(PyObject_GetIter(iterable));
    if (!iterator) return nullptr;
    Ref item;
    for (;;) {
        const int got = common::next_item(iterator.get(), item);
        if (got < 0) return nullptr;
        if (got == 0) break;
        PyObject* code = normalise_code(item.get());
        if (code == nullptr || built.append(code) < 0) return nullptr;
    }
    return built.finish();
}

PyObject* normalised_sequence(PyObject* sequence) {
    if (PyTuple_CheckExact(sequence)) {
        const int as_is = stored_as_is(sequence);
        if (as_is < 0) return nullptr;
        if (as_is) {
            Py_INCREF(sequence);
            return sequence;
        }
    }
    if (Py_EnterRecursiveCall(" while normalising a code")) return nullptr;
    PyObject* result = normalised_tuple(sequence);
    Py_LeaveRecursiveCall();
    // Stored for the model's life: kept out of the collector's passes.
    if (result != nullptr) common::untrack_if_atomic(result);
    return result;
}

}  // namespace

PyObject* normalise_code(PyObject* code) {
    if (plain_code(code)) {
        Py_INCREF(code);
        return code;
    }
    if (PyTuple_CheckExact(code) || PyList_CheckExact(code)) return normalised_sequence(code);
    if (Py_TYPE(code) != reinterpret_cast<PyTypeObject*>(state.decimal_type)) {
        const int sequence = PyObject_IsInstance(code, state.list_or_tuple);
        if (sequence < 0) return nullptr;
        if (sequence) return normalised_sequence(code);
    }
    const int decimal = PyObject_IsInstance(code, state.decimal_type);
    if (decimal < 0) return nullptr;
    if (decimal) return PyNumber_Float(code);
    Py_INCREF(code);
    return code;
}

PyObject* normalise_follower(PyObject* follower) {
    return normalised_sequence(follower);
}

PyObject* normalise_weight(PyObject* count) {
    if (PyLong_CheckExact(count) || PyFloat_CheckExact(count)) {
        Py_INCREF(count);
        return count;
    }
    const int decimal = PyObject_IsInstance(count, state.decimal_type);
    if (decimal < 0) return nullptr;
    if (decimal) return PyNumber_Float(count);
    Py_INCREF(count);
    return count;
}

}  // namespace pmodel
