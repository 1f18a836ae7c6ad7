// ProbabilityBag in C: a dict follower -> weight, and a table of
// cumulative weights from which draws are made in O(log n).
#include "bag.hpp"

#include "../common/calls.hpp"
#include "../common/compat.hpp"
#include "../common/types.hpp"
#include "args.hpp"
#include "normalise.hpp"
#include "pickling.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pmodel {

using common::as_method;
using common::call1;

// ===========================================================================
// The table of cumulative weights
// ===========================================================================

// What random.Random.choices(followers, weights=[...]) computes before it
// draws: cum = list(accumulate(weights)), total = cum[-1] + 0.0.  Built only
// where the C arithmetic below gives exactly what Python's number addition
// gives: every weight an exact int (or bool) or float, the int sums within
// 64 bits, and a total the chooser of every Python version accepts.  In all
// other cases `usable` is false and the chooser itself is called.
union Entry {
    long long i;
    double d;
};

struct Table {
    Py_ssize_t n;        // followers when built; a bag of another size rebuilds
    Py_ssize_t ints;     // entries [0, ints) are ints, the rest floats
    bool usable;
    long long int_total; // cum[-1] when every entry is an int
    double total;        // cum[-1] + 0.0

    Entry* entries() noexcept { return reinterpret_cast<Entry*>(this + 1); }
};

static_assert(alignof(Table) >= alignof(Entry), "entries follow the header");

namespace {

// The tables of the bags drawn from since they last changed, by bag
// address (which no document or caller chooses): only those bags pay for
// one.  Linear probing, deletion by shifting back, so that no slot is ever
// a tombstone.  While no table exists at all, a change costs one test.
class TableMap {
public:
    Table* find(const BagObject* bag) const noexcept {
        if (used_ == 0) return nullptr;
        for (size_t at = home(bag);; at = (at + 1) & (capacity_ - 1)) {
            if (slots_[at].bag == bag) return slots_[at].table;
            if (slots_[at].bag == nullptr) return nullptr;
        }
    }

    // Keeps `table` for `bag`, which has none; frees it on failure (-1).
    int put(const BagObject* bag, Table* table) noexcept {
        if ((used_ + 1) * 2 > capacity_ && grow() < 0) {
            PyMem_Free(table);
            return -1;
        }
        size_t at = home(bag);
        while (slots_[at].bag != nullptr) at = (at + 1) & (capacity_ - 1);
        slots_[at] = Slot{bag, table};
        ++used_;
        return 0;
    }

    void drop(const BagObject* bag) noexcept {
        if (used_ == 0) return;
        size_t at = home(bag);
        while (slots_[at].bag != bag) {
            if (slots_[at].bag == nullptr) return;
            at = (at + 1) & (capacity_ - 1);
        }
        PyMem_Free(slots_[at].table);
        --used_;
        // Entries after the hole that could sit in it move back.
        size_t hole = at;
        for (size_t next = (hole + 1) & (capacity_ - 1); slots_[next].bag != nullptr;
             next = (next + 1) & (capacity_ - 1)) {
            const size_t want = home(slots_[next].bag);
            const bool movable = hole <= next ? (want <= hole || want > next)
                                              : (want <= hole && want > next);
            if (movable) {
                slots_[hole] = slots_[next];
                hole = next;
            }
        }
        slots_[hole] = Slot{nullptr, nullptr};
    }

private:
    struct Slot {
        const BagObject* bag;
        Table* table;
    };

    size_t home(const BagObject* bag) const noexcept {
        const auto bits = reinterpret_cast<uintptr_t>(bag) >> 4;
        return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - shift_));
    }

    int grow() noexcept {
        const size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        Slot* slots = static_cast<Slot*>(PyMem_Calloc(capacity, sizeof(Slot)));
        if (slots == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        Slot* old = slots_;
        const size_t old_capacity = capacity_;
        slots_ = slots;
        capacity_ = capacity;
        shift_ = 0;
        while ((size_t{1} << shift_) < capacity) ++shift_;
        for (size_t i = 0; i < old_capacity; ++i) {
            if (old[i].bag == nullptr) continue;
            size_t at = home(old[i].bag);
            while (slots_[at].bag != nullptr) at = (at + 1) & (capacity_ - 1);
            slots_[at] = old[i];
        }
        PyMem_Free(old);
        return 0;
    }

    Slot* slots_ = nullptr;
    size_t capacity_ = 0;
    size_t used_ = 0;
    unsigned shift_ = 0;
};

TableMap tables;

Table* table_of(const BagObject* bag) { return tables.find(bag); }

void drop_table(BagObject* bag) { tables.drop(bag); }

// Python's `float < int`, exactly, for a finite or infinite float and a
// 64-bit int: no conversion of the int, which may not fit a double.
bool float_less_than_int(double x, long long c) {
    if (std::isnan(x)) return false;
    if (x >= 9223372036854775808.0) return false;   // 2**63
    if (x < -9223372036854775808.0) return true;
    const double whole = std::trunc(x);
    const long long i = static_cast<long long>(whole);
    if (i != c) return i < c;
    return x < whole;
}

Table* build_table(PyObject* weights) {
    const Py_ssize_t n = PyDict_GET_SIZE(weights);
    Table* table = static_cast<Table*>(
        PyMem_Malloc(sizeof(Table) + static_cast<size_t>(n) * sizeof(Entry)));
    if (table == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    table->n = n;
    table->ints = n;
    table->usable = false;
    table->int_total = 0;
    table->total = 0.0;
    Entry* entry = table->entries();
    Py_ssize_t pos = 0, at = 0;
    PyObject *key, *value;  // borrowed; nothing below calls into Python
    long long int_sum = 0;
    double float_sum = 0.0;
    bool floating = false;
    while (PyDict_Next(weights, &pos, &key, &value)) {
        // A hole would break the position -> follower lookup of a draw.
        if (pos != at + 1) return table;
        if (PyLong_CheckExact(value) || PyBool_Check(value)) {
            int overflow = 0;
            const long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (overflow != 0) return table;
            if (!floating) {
                if (at == 0) {
                    int_sum = x;
                } else if (__builtin_add_overflow(int_sum, x, &int_sum)) {
                    return table;
                }
                entry[at].i = int_sum;
            } else {
                float_sum = float_sum + static_cast<double>(x);
                entry[at].d = float_sum;
            }
        } else if (PyFloat_CheckExact(value)) {
            const double x = PyFloat_AS_DOUBLE(value);
            if (!floating) {
                floating = true;
                table->ints = at;
                // int + float converts the int, correctly rounded.
                float_sum = at == 0 ? x : static_cast<double>(int_sum) + x;
            } else {
                float_sum = float_sum + x;
            }
            entry[at].d = float_sum;
        } else {
            return table;
        }
        ++at;
    }
    if (at != n) return table;
    table->int_total = int_sum;
    table->total = (floating ? float_sum : static_cast<double>(int_sum)) + 0.0;
    // 3.9 on refuse a total <= 0, 3.12 on (and 3.11.?) a total that is not
    // finite, 3.7 and 3.8 draw anyway: the chooser decides those cases.
    table->usable = table->total > 0.0 && std::isfinite(table->total);
    return table;
}

// bisect.bisect_right(cum, x, 0, n - 1) for a float x.
Py_ssize_t bisect_float(Table* table, double x) {
    Entry* entry = table->entries();
    size_t lo = 0, hi = static_cast<size_t>(table->n - 1);
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        const bool less = static_cast<Py_ssize_t>(mid) < table->ints
                              ? float_less_than_int(x, entry[mid].i)
                              : x < entry[mid].d;
        if (less) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return static_cast<Py_ssize_t>(lo);
}

PyObject* entry_object(Table* table, Py_ssize_t at) {
    return at < table->ints ? PyLong_FromLongLong(table->entries()[at].i)
                            : PyFloat_FromDouble(table->entries()[at].d);
}

// The same bisection for an x that is no float (a chooser whose random()
// returns something else): compared as Python objects, as bisect does.
// The table is the caller's own copy, so code run by a comparison cannot
// free it.  -1 on error.
Py_ssize_t bisect_object(Table* table, PyObject* x) {
    size_t lo = 0, hi = static_cast<size_t>(table->n - 1);
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        Ref item(entry_object(table, static_cast<Py_ssize_t>(mid)));
        if (!item) return -1;
        const int less = PyObject_RichCompareBool(x, item.get(), Py_LT);
        if (less < 0) return -1;
        if (less) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return static_cast<Py_ssize_t>(lo);
}

// What random.choices multiplies random() by: before 3.8, cum[-1] itself.
PyObject* total_object(Table* table) {
#if PY_VERSION_HEX < 0x03080000
    if (table->ints == table->n) return PyLong_FromLongLong(table->int_total);
#endif
    return PyFloat_FromDouble(table->total);
}

// The draw itself, from the table, with `choices` the chooser's
// random.Random.choices bound method.  The follower at the drawn position
// is returned; nullptr with an exception on failure.
PyObject* draw_from_table(BagObject* bag, PyObject* choices) {
    PyObject* source = PyMethod_GET_SELF(choices);  // borrowed from `choices`
    Ref random(PyObject_GetAttr(source, state.random));
    if (!random) return nullptr;
    Ref r = common::call0(random.get());
    if (!r) return nullptr;
    // Calling random() may have run code that changed the bag.
    Py_ssize_t at;
    PyObject* weights = bag_weights(bag);
    if (weights == nullptr) return nullptr;
    Table* table = table_of(bag);
    if (table == nullptr || table->n != PyDict_GET_SIZE(weights) || !table->usable) {
        PyErr_SetString(PyExc_RuntimeError, "bag changed size during a draw");
        return nullptr;
    }
    if (PyFloat_CheckExact(r.get())) {
        at = bisect_float(table, PyFloat_AS_DOUBLE(r.get()) * table->total);
    } else {
        Ref total(total_object(table));
        if (!total) return nullptr;
        Ref x(PyNumber_Multiply(r.get(), total.get()));
        if (!x) return nullptr;
        if (PyFloat_CheckExact(x.get())) {
            at = bisect_float(table, PyFloat_AS_DOUBLE(x.get()));
        } else {
            // A private copy: the comparisons may run any code.
            const size_t size =
                sizeof(Table) + static_cast<size_t>(table->n) * sizeof(Entry);
            Table* copy = static_cast<Table*>(PyMem_Malloc(size));
            if (copy == nullptr) return PyErr_NoMemory();
            std::memcpy(static_cast<void*>(copy), table, size);
            at = bisect_object(copy, x.get());
            PyMem_Free(copy);
            if (at < 0) return nullptr;
            weights = bag_weights(bag);
            if (weights == nullptr) return nullptr;
        }
    }
    PyObject* follower = common::dict_key_at(weights, at);  // borrowed
    if (follower == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "bag changed size during a draw");
        return nullptr;
    }
    Py_INCREF(follower);
    return follower;
}

}  // namespace

// ===========================================================================
// Operations used from C
// ===========================================================================

PyObject* bag_weights(BagObject* bag) {
    if (bag->weights == nullptr) bag->weights = PyDict_New();
    return bag->weights;
}

PyObject* bag_new_empty() {
    Ref bag(BagType.tp_alloc(&BagType, 0));
    if (!bag) return nullptr;
    BagObject* self = reinterpret_cast<BagObject*>(bag.get());
    self->weights = PyDict_New();
    if (self->weights == nullptr) return nullptr;
    return bag.release();
}

int bag_add(BagObject* bag, PyObject* follower, PyObject* count) {
    Ref key(normalise_follower(follower));
    if (!key) return -1;
    Ref value(normalise_weight(count));
    if (!value) return -1;
    return bag_add_stored(bag, key.get(), value.get());
}

int bag_add_stored(BagObject* bag, PyObject* key, PyObject* value) {
    // Held for the whole call, as `self._weights[key] += count` holds the
    // dict it evaluated: the addition may run code that replaces it.
    Ref weights = Ref::borrow(bag_weights(bag));
    if (!weights) return -1;
    drop_table(bag);
    // One lookup for a new follower: stored unless present, as the
    // reference's `if key in weights: ... else: weights[key] = count`.
    // (Inserted or not is told by the size: the stored weight may be the
    // very object given, a cached small int.)
    const Py_ssize_t size = PyDict_GET_SIZE(weights.get());
    PyObject* found = PyDict_SetDefault(weights.get(), key, value);  // borrowed
    if (found == nullptr) return -1;
    if (found == value && PyDict_GET_SIZE(weights.get()) != size) return 0;
    Ref old = Ref::borrow(found);
    Ref sum(PyNumber_InPlaceAdd(old.get(), value));
    if (!sum) return -1;
    drop_table(bag);
    return PyDict_SetItem(weights.get(), key, sum.get());
}

PyObject* bag_choose(BagObject* bag, PyObject* rng) {
    PyObject* weights = bag_weights(bag);
    if (weights == nullptr) return nullptr;
    if (PyDict_GET_SIZE(weights) == 0) {
        PyErr_SetString(PyExc_IndexError, "choose from an empty bag");
        return nullptr;
    }
    Ref choices(PyObject_GetAttr(rng, state.choices));
    if (!choices) return nullptr;
    if (PyMethod_Check(choices.get()) &&
        PyMethod_GET_FUNCTION(choices.get()) == state.random_choices) {
        weights = bag_weights(bag);  // the lookup may have run code
        if (weights == nullptr) return nullptr;
        Table* table = table_of(bag);
        if (PyDict_GET_SIZE(weights) != 0 &&
            (table == nullptr || table->n != PyDict_GET_SIZE(weights))) {
            drop_table(bag);
            table = build_table(weights);
            if (table == nullptr || tables.put(bag, table) < 0) return nullptr;
        }
        if (table != nullptr && table->usable) {
            return draw_from_table(bag, choices.get());
        }
    }
    // Any other chooser, or weights only the chooser can add up: called as
    // the reference implementation calls it.
    weights = bag_weights(bag);
    if (weights == nullptr) return nullptr;
    Ref followers(PyDict_Keys(weights));
    if (!followers) return nullptr;
    Ref values(PyDict_Values(weights));
    if (!values) return nullptr;
    Ref drawn = common::call_with_keyword(choices.get(), followers.get(), nullptr,
                                          values.get(), state.weights_kwnames);
    if (!drawn) return nullptr;
    return PySequence_GetItem(drawn.get(), 0);
}

// ===========================================================================
// Methods
// ===========================================================================

namespace {

BagObject* as_bag(PyObject* self) { return reinterpret_cast<BagObject*>(self); }

Signature add_signature{"ProbabilityBag.add", {"follower", "count"}, 1, 2, {}};
Signature weight_signature{"ProbabilityBag.weight", {"follower"}, 1, 1, {}};
Signature choose_signature{"ProbabilityBag.choose", {"rng"}, 0, 1, {}};
Signature setstate_signature{"ProbabilityBag.__setstate__", {"state"}, 1, 1, {}};

PyObject* add_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    PyObject* bound[2];
    if (bind(add_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    if (bag_add(as_bag(self), bound[0], bound[1] != nullptr ? bound[1] : state.one) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* choices_method(PyObject* self, PyObject*) {
    PyObject* weights = bag_weights(as_bag(self));
    if (weights == nullptr) return nullptr;
    Ref items = common::call_method0(weights, state.items);
    if (!items) return nullptr;
    return PyObject_GetIter(items.get());
}

PyObject* weight_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* bound[1];
    if (bind(weight_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    Ref key(normalise_follower(bound[0]));
    if (!key) return nullptr;
    PyObject* weights = bag_weights(as_bag(self));
    if (weights == nullptr) return nullptr;
    PyObject* found = PyDict_GetItemWithError(weights, key.get());  // borrowed
    if (found == nullptr) {
        if (PyErr_Occurred()) return nullptr;
        found = state.zero;
    }
    Py_INCREF(found);
    return found;
}

PyObject* choose_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* bound[1];
    if (bind(choose_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    return bag_choose(as_bag(self), bound[0] != nullptr ? bound[0] : state.random_module);
}

PyObject* unique_count_get(PyObject* self, void*) {
    PyObject* weights = bag_weights(as_bag(self));
    if (weights == nullptr) return nullptr;
    return PyLong_FromSsize_t(PyDict_GET_SIZE(weights));
}

PyObject* total_get(PyObject* self, void*) {
    PyObject* weights = bag_weights(as_bag(self));
    if (weights == nullptr) return nullptr;
    // The builtin sum, looked up as the reference finds it: it alone knows
    // how each Python version adds floats.
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* found = PyDict_GetItemWithError(builtins, state.sum);  // borrowed
    if (found == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'sum' is not defined");
        return nullptr;
    }
    Ref sum = Ref::borrow(found);
    if (found == state.builtin_sum) {
        // Exact ints that add up within 64 bits: the sum the builtin gives,
        // without a call per bag.  Nothing here runs Python code.
        long long total = 0;
        bool exact = true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (exact && PyDict_Next(weights, &pos, &key, &value)) {
            int overflow = 0;
            const long long x =
                PyLong_CheckExact(value) ? PyLong_AsLongLongAndOverflow(value, &overflow) : 0;
            exact = PyLong_CheckExact(value) && overflow == 0 &&
                    !__builtin_add_overflow(total, x, &total);
        }
        if (exact) return PyLong_FromLongLong(total);
    }
    Ref values = common::call_method0(weights, state.values);
    if (!values) return nullptr;
    return call1(sum.get(), values.get()).release();
}

// The pickled state has the shape the reference class gives it:
// (instance dict or None, {"_weights": {...}, other slots...}), so files
// pickled before the model was native load, and the other way round.
PyObject* getstate_method(PyObject* self, PyObject*) {
    Ref dict_state;
    PyObject* inst = common::instance_dict(self);
    if (inst == nullptr && PyErr_Occurred()) return nullptr;
    dict_state = Ref(inst);
    if (!dict_state || PyDict_GET_SIZE(dict_state.get()) == 0) {
        dict_state = Ref::borrow(Py_None);
    }
    Ref slots(PyDict_New());
    if (!slots) return nullptr;
    PyObject* weights = bag_weights(as_bag(self));
    if (weights == nullptr) return nullptr;
    Ref copy(PyDict_Copy(weights));
    if (!copy || PyDict_SetItem(slots.get(), state.weights_slot, copy.get()) < 0) {
        return nullptr;
    }
    if (Py_TYPE(self) != &BagType && collect_slots(self, slots.get()) < 0) return nullptr;
    return PyTuple_Pack(2, dict_state.get(), slots.get());
}

int adopt_weights(BagObject* bag, PyObject* value) {
    if (!PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "a ProbabilityBag's _weights must be a dict, not %.200s",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    // Copied by insertion, so the storage has no holes and no one else
    // holds it.
    Ref fresh(PyDict_New());
    if (!fresh || PyDict_Merge(fresh.get(), value, 1) < 0) return -1;
    drop_table(bag);
    Py_XSETREF(bag->weights, fresh.release());
    return 0;
}

PyObject* reduce_method(PyObject* self, PyObject*) { return reduce_with_state(self); }

int adopt_bag_weights(PyObject* self, PyObject* value) {
    return adopt_weights(as_bag(self), value);
}

PyObject* setstate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* bound[1];
    if (bind(setstate_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    if (restore_state(self, bound[0], state.weights_slot, adopt_bag_weights) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The names of the methods, as their traceback entries show them.
constexpr char k_add_method[] = "ProbabilityBag.add";
constexpr char k_choices_method[] = "ProbabilityBag.choices";
constexpr char k_weight_method[] = "ProbabilityBag.weight";
constexpr char k_choose_method[] = "ProbabilityBag.choose";
constexpr char k_getstate_method[] = "ProbabilityBag.__getstate__";
constexpr char k_setstate_method[] = "ProbabilityBag.__setstate__";
constexpr char k_reduce_method[] = "ProbabilityBag.__reduce__";

PyMethodDef bag_methods[] = {
    {"add", as_method<traced<add_method, k_add_method>>(), METH_FASTCALL | METH_KEYWORDS,
     "add($self, /, follower, count=1)\n--\n\n"
     "Add `count` to the weight of `follower` (a tuple, list or iterable of codes)."},
    {"choices", traced<choices_method, k_choices_method>, METH_NOARGS,
     "choices($self, /)\n--\n\n"
     "The (follower, weight) pairs, in insertion order, walked live."},
    {"weight", as_method<traced<weight_method, k_weight_method>>(), METH_FASTCALL | METH_KEYWORDS,
     "weight($self, /, follower)\n--\n\nThe weight of `follower`, 0 when absent."},
    {"choose", as_method<traced<choose_method, k_choose_method>>(), METH_FASTCALL | METH_KEYWORDS,
     "choose($self, /, rng=<module 'random'>)\n--\n\n"
     "Draw one follower at random, with probability proportional to its weight."},
    {"__getstate__", traced<getstate_method, k_getstate_method>, METH_NOARGS, nullptr},
    {"__setstate__", as_method<traced<setstate_method, k_setstate_method>>(),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__reduce__", traced<reduce_method, k_reduce_method>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef bag_getset[] = {
    {"unique_count", unique_count_get, nullptr, "How many distinct followers the bag holds.",
     nullptr},
    {"total", total_get, nullptr, "The sum of all weights.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* bag_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref bag(type->tp_alloc(type, 0));
    if (!bag) return nullptr;
    as_bag(bag.get())->weights = PyDict_New();
    if (as_bag(bag.get())->weights == nullptr) return nullptr;
    return bag.release();
}

int bag_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"weights", nullptr};
    PyObject* given = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:ProbabilityBag",
                                     const_cast<char**>(keywords), &given)) {
        return -1;
    }
    BagObject* bag = as_bag(self);
    // A fresh dict, unless the bag's own is empty and no one walks it.
    if (bag->weights == nullptr || Py_REFCNT(bag->weights) > 1 ||
        PyDict_GET_SIZE(bag->weights) != 0) {
        PyObject* fresh = PyDict_New();
        if (fresh == nullptr) return -1;
        Py_XSETREF(bag->weights, fresh);
    }
    drop_table(bag);
    if (given == Py_None) return 0;
    Ref pairs = call1(reinterpret_cast<PyObject*>(&PyDict_Type), given);
    if (!pairs) return -1;
    const bool own_add = Py_TYPE(self) == &BagType ||
                         is_own_method(self, state.add,
                                       as_method<traced<add_method, k_add_method>>());
    Ref items(PyDict_Items(pairs.get()));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);  // borrowed from items
        PyObject* follower = PyTuple_GET_ITEM(pair, 0);
        PyObject* count = PyTuple_GET_ITEM(pair, 1);
        if (own_add) {
            if (bag_add(bag, follower, count) < 0) return -1;
            continue;
        }
        Ref method(PyObject_GetAttr(self, state.add));
        if (!method) return -1;
        if (!common::call_with_keyword(method.get(), follower, nullptr, count,
                                       state.count_kwnames)) {
            return -1;
        }
    }
    return 0;
}

int bag_tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_bag(self)->weights);
    return 0;
}

int bag_tp_clear(PyObject* self) {
    drop_table(as_bag(self));
    Py_CLEAR(as_bag(self)->weights);
    return 0;
}

void bag_tp_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    bag_tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t bag_length(PyObject* self) {
    PyObject* weights = bag_weights(as_bag(self));
    if (weights == nullptr) return -1;
    return PyDict_GET_SIZE(weights);
}

PyObject* bag_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_bag(other)) Py_RETURN_NOTIMPLEMENTED;
    Ref mine = Ref::borrow(bag_weights(as_bag(self)));
    Ref theirs = Ref::borrow(bag_weights(as_bag(other)));
    if (!mine || !theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

PyObject* bag_repr(PyObject* self) {
    PyObject* weights = bag_weights(as_bag(self));
    if (weights == nullptr) return nullptr;
    return PyUnicode_FromFormat("ProbabilityBag(%R)", weights);
}

PySequenceMethods bag_as_sequence = {bag_length};

}  // namespace

PyTypeObject BagType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int bag_ready() {
    common::collected_type(BagType, "pavro.bag.ProbabilityBag", sizeof(BagObject),
                           "ProbabilityBag(weights=None)\n--\n\n"
                           "Weighted followers of one start code, in the order first added.",
                           bag_tp_dealloc, bag_tp_traverse, bag_tp_clear, Py_TPFLAGS_BASETYPE);
    BagType.tp_new = bag_tp_new;
    BagType.tp_init = bag_tp_init;
    BagType.tp_methods = bag_methods;
    BagType.tp_getset = bag_getset;
    BagType.tp_as_sequence = &bag_as_sequence;
    BagType.tp_richcompare = bag_richcompare;
    BagType.tp_repr = bag_repr;
    BagType.tp_hash = PyObject_HashNotImplemented;
    return PyType_Ready(&BagType);
}

}  // namespace pmodel
