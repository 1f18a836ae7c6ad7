// ChainModel in C, and the walk its generate() returns.
#include "model.hpp"

#include "../common/calls.hpp"
#include "../common/compat.hpp"
#include "../common/signals.hpp"
#include "../common/tuples.hpp"
#include "../common/types.hpp"
#include "args.hpp"
#include "bag.hpp"
#include "normalise.hpp"
#include "pickling.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace pmodel {

using common::as_method;

namespace {

ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }

// The names of the methods, as their traceback entries show them.
constexpr char k_from_sequences_method[] = "ChainModel.from_sequences";
constexpr char k_learn_method[] = "ChainModel.learn";
constexpr char k_build_frequency_dict_method[] = "ChainModel.build_frequency_dict";
constexpr char k_items_method[] = "ChainModel.items";
constexpr char k_clear_method[] = "ChainModel.clear";
constexpr char k_add_to_bag_method[] = "ChainModel.add_to_bag";
constexpr char k_set_bag_method[] = "ChainModel.set_bag";
constexpr char k_bag_method[] = "ChainModel.bag";
constexpr char k_generate_method[] = "ChainModel.generate";
constexpr char k_getstate_method[] = "ChainModel.__getstate__";
constexpr char k_setstate_method[] = "ChainModel.__setstate__";
constexpr char k_reduce_method[] = "ChainModel.__reduce__";

// The storage, made anew after the collector cleared it (borrowed).
PyObject* bags_of(ModelObject* model) {
    if (model->bags == nullptr) model->bags = PyDict_New();
    return model->bags;
}

// ===========================================================================
// Adding
// ===========================================================================

// bag.add(follower, count=count), straight to C for one of our own bags.
int add_to(PyObject* bag, PyObject* follower, PyObject* count) {
    if (Py_TYPE(bag) == &BagType) {
        return bag_add(reinterpret_cast<BagObject*>(bag), follower, count);
    }
    Ref method(PyObject_GetAttr(bag, state.add));
    if (!method) return -1;
    return common::call_with_keyword(method.get(), follower, nullptr, count,
                                     state.count_kwnames)
               ? 0
               : -1;
}

// model.add_to_bag(start, follower, count) of the reference: the bag is
// made and stored before the follower is looked at, so a follower that
// fails leaves the new, empty bag behind.
// The bag of a start code already as stored, made and stored if needed
// (a new reference).
Ref bag_for(ModelObject* model, PyObject* code) {
    Ref bags = Ref::borrow(bags_of(model));
    if (!bags) return Ref();
    PyObject* found = PyDict_GetItemWithError(bags.get(), code);  // borrowed
    Ref bag = Ref::borrow(found);
    if (found == nullptr || found == Py_None) {
        if (found == nullptr && PyErr_Occurred()) return Ref();
        bag = Ref(bag_new_empty());
        if (!bag || PyDict_SetItem(bags.get(), code, bag.get()) < 0) return Ref();
    }
    return bag;
}

int model_add(ModelObject* model, PyObject* start, PyObject* follower, PyObject* count) {
    Ref code(normalise_code(start));
    if (!code) return -1;
    Ref bags = Ref::borrow(bags_of(model));
    if (!bags) return -1;
    PyObject* found = PyDict_GetItemWithError(bags.get(), code.get());  // borrowed
    Ref bag = Ref::borrow(found);
    if (found == nullptr || found == Py_None) {
        if (found == nullptr && PyErr_Occurred()) return -1;
        bag = Ref(bag_new_empty());
        if (!bag || PyDict_SetItem(bags.get(), code.get(), bag.get()) < 0) return -1;
    }
    return add_to(bag.get(), follower, count);
}

Signature add_to_bag_signature{"ChainModel.add_to_bag", {"start", "follower", "count"}, 2, 3,
                               {}};
Signature set_bag_signature{"ChainModel.set_bag", {"start", "bag"}, 2, 2, {}};
Signature learn_signature{"ChainModel.learn", {"sequence", "length"}, 1, 2, {}};
Signature from_sequences_signature{"ChainModel.from_sequences", {"sequences", "length"}, 1, 2,
                                   {}};
Signature generate_signature{"ChainModel.generate", {"start", "max_codes", "rng"}, 1, 3, {}};
Signature setstate_signature{"ChainModel.__setstate__", {"state"}, 1, 1, {}};

PyObject* add_to_bag_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* bound[3];
    if (bind(add_to_bag_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    if (model_add(as_model(self), bound[0], bound[1],
                  bound[2] != nullptr ? bound[2] : state.one) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* set_bag_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* bound[2];
    if (bind(set_bag_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    Ref code(normalise_code(bound[0]));
    if (!code) return nullptr;
    Ref bags = Ref::borrow(bags_of(as_model(self)));
    if (!bags || PyDict_SetItem(bags.get(), code.get(), bound[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ===========================================================================
// Learning
// ===========================================================================

// codes[start:start + length] for a length that is no plain int: the slice
// made by Python's own arithmetic.
Ref general_slice(PyObject* codes, Py_ssize_t start, PyObject* length) {
    Ref low(PyLong_FromSsize_t(start));
    if (!low) return Ref();
    Ref high(PyNumber_Add(low.get(), length));
    if (!high) return Ref();
    Ref slice(PySlice_New(low.get(), high.get(), nullptr));
    if (!slice) return Ref();
    return Ref(PyObject_GetItem(codes, slice.get()));
}

// The reference's learn(), with `own_add` telling whether self.add_to_bag
// is the model's own (then the follower tuples are made here from codes
// already normalised, and no method is looked up per pair).
int learn(PyObject* self, PyObject* sequence, PyObject* length, bool own_add) {
    Py_ssize_t span = 0;  // the length, when it is a plain int
    bool plain_length = PyLong_CheckExact(length) || PyBool_Check(length);
    if (plain_length) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(length, &overflow);
        if (value == -1 && PyErr_Occurred()) return -1;
        if (overflow < 0 || (overflow == 0 && value < 1)) {
            PyErr_SetString(PyExc_ValueError, "length must be at least 1");
            return -1;
        }
        span = overflow > 0 || value > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX
                                                       : static_cast<Py_ssize_t>(value);
    } else {
        const int less = PyObject_RichCompareBool(length, state.one, Py_LT);
        if (less < 0) return -1;
        if (less) {
            PyErr_SetString(PyExc_ValueError, "length must be at least 1");
            return -1;
        }
    }
    Ref codes(PyList_New(0));
    if (!codes) return -1;
    {
        Ref iterator(PyObject_GetIter(sequence));
        if (!iterator) return -1;
        Ref item;
        common::SignalCheck signals;
        for (;;) {
            const int got = common::next_item(iterator.get(), item);
            if (got < 0) return -1;
            if (got == 0) break;
            Ref code(normalise_code(item.get()));
            if (!code || PyList_Append(codes.get(), code.get()) < 0) return -1;
            if (signals.tick() < 0) return -1;
        }
    }
    const Py_ssize_t n = PyList_GET_SIZE(codes.get());  // the list is ours alone
    common::SignalCheck signals;
    Ref add_to_bag;
    for (Py_ssize_t position = 0; position < n - 1; ++position) {
        PyObject* start = PyList_GET_ITEM(codes.get(), position);  // borrowed from codes
        Ref follower;
        if (plain_length) {
            const Py_ssize_t first = position + 1;
            const Py_ssize_t last = span > n - first ? n : first + span;
            if (own_add) {
                follower = Ref(PyTuple_New(last - first));
                if (!follower) return -1;
                for (Py_ssize_t i = first; i < last; ++i) {
                    PyObject* code = PyList_GET_ITEM(codes.get(), i);
                    Py_INCREF(code);
                    PyTuple_SET_ITEM(follower.get(), i - first, code);
                }
                common::untrack_if_atomic(follower.get());
            } else {
                follower = Ref(PyList_GetSlice(codes.get(), first, last));
            }
        } else {
            follower = general_slice(codes.get(), position + 1, length);
        }
        if (!follower) return -1;
        if (own_add && plain_length) {
            // Codes and follower as stored already: straight into the bag.
            Ref bag = bag_for(as_model(self), start);
            if (!bag) return -1;
            if (Py_TYPE(bag.get()) == &BagType) {
                if (bag_add_stored(reinterpret_cast<BagObject*>(bag.get()), follower.get(),
                                   state.one) < 0) {
                    return -1;
                }
            } else {
                // Any other bag is handed the list slice the reference hands it.
                Ref slice(PyList_GetSlice(codes.get(), position + 1,
                                          position + 1 + PyTuple_GET_SIZE(follower.get())));
                if (!slice || add_to(bag.get(), slice.get(), state.one) < 0) return -1;
            }
        } else if (own_add) {
            if (model_add(as_model(self), start, follower.get(), state.one) < 0) return -1;
        } else {
            add_to_bag = Ref(PyObject_GetAttr(self, state.add_to_bag));
            if (!add_to_bag) return -1;
            if (!common::call_with_keyword(add_to_bag.get(), start, follower.get(), state.one,
                                           state.count_kwnames)) {
                return -1;
            }
        }
        if (signals.tick() < 0) return -1;
    }
    return 0;
}

bool own_add_to_bag(PyObject* self) {
    return PyObject_TypeCheck(self, &ModelType) &&
           is_own_method(self, state.add_to_bag,
                         as_method<traced<add_to_bag_method, k_add_to_bag_method>>());
}

PyObject* learn_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    PyObject* bound[2];
    if (bind(learn_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    PyObject* length = bound[1];
    Ref two;
    if (length == nullptr) {
        two = Ref(PyLong_FromLong(2));
        if (!two) return nullptr;
        length = two.get();
    }
    if (learn(self, bound[0], length, own_add_to_bag(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* from_sequences_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    PyObject* bound[2];
    if (bind(from_sequences_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    Ref two;
    PyObject* length = bound[1];
    if (length == nullptr) {
        two = Ref(PyLong_FromLong(2));
        if (!two) return nullptr;
        length = two.get();
    }
    Ref model = common::call0(cls);
    if (!model) return nullptr;
    Ref iterator(PyObject_GetIter(bound[0]));
    if (!iterator) return nullptr;
    const bool own_learn = PyObject_TypeCheck(model.get(), &ModelType) &&
                           is_own_method(model.get(), state.learn,
                                         as_method<traced<learn_method, k_learn_method>>());
    const bool own_add = own_learn && own_add_to_bag(model.get());
    Ref sequence;
    common::SignalCheck signals;
    for (;;) {
        const int got = common::next_item(iterator.get(), sequence);
        if (got < 0) return nullptr;
        if (got == 0) break;
        if (own_learn) {
            if (learn(model.get(), sequence.get(), length, own_add) < 0) return nullptr;
        } else {
            Ref method(PyObject_GetAttr(model.get(), state.learn));
            if (!method || !common::call2(method.get(), sequence.get(), length)) return nullptr;
        }
        if (signals.tick() < 0) return nullptr;
    }
    return model.release();
}

// ===========================================================================
// Learning sentences
// ===========================================================================

// The follower (word,) of `word`, from the learner's table `words`, made and
// kept there when the word is new (borrowed from the table).  Every state
// and follower then shares one string per distinct word, and a word is
// one follower tuple however many bags hold it.
PyObject* word_follower(PyObject* words, PyObject* word) {
    if (!PyUnicode_CheckExact(word)) {
        PyErr_Format(PyExc_TypeError, "a word must be a str, not %.200s",
                     Py_TYPE(word)->tp_name);
        return nullptr;
    }
    PyObject* found = PyDict_GetItemWithError(words, word);  // borrowed from the table
    if (found != nullptr) {
        // The table is the caller's: what it holds is checked, not trusted.
        if (!PyTuple_CheckExact(found) || PyTuple_GET_SIZE(found) != 1 ||
            !PyUnicode_CheckExact(PyTuple_GET_ITEM(found, 0)) ||
            PyUnicode_Compare(PyTuple_GET_ITEM(found, 0), word) != 0) {
            Ref held = Ref::borrow(found);  // its repr may run code
            PyErr_Format(PyExc_ValueError, "the word table maps %R to %R, not to (%R,)", word,
                         held.get(), word);
            return nullptr;
        }
        return found;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref follower(PyTuple_Pack(1, word));
    if (!follower) return nullptr;
    common::untrack_if_atomic(follower.get());
    if (PyDict_SetItem(words, word, follower.get()) < 0) return nullptr;
    return follower.get();  // the table holds it now
}

// Adds the pairs of one sentence to `model`, as add_to_bag(state, (next,))
// for every word and then for the end mark `end` (the follower (None,)),
// each state the `order` codes before, None standing before the first
// word.  Straight into the bags when add_to_bag is the model's own, else
// through the model's add_to_bag, looked up once per sentence.  No pair is
// added unless every word of the sentence is a str.
int learn_sentence(PyObject* model, PyObject* sentence, Py_ssize_t order, PyObject* words,
                   PyObject* end, Py_ssize_t& learnt, common::SignalCheck& signals) {
    Ref sequence(PySequence_Fast(sentence, "a sentence must be a sequence of words"));
    if (!sequence) return -1;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.get());
    // The codes the states are cut from, and the follower after each state:
    // both held here, so that what is borrowed from them stays alive
    // whatever a model's own add_to_bag does.
    Ref codes(PyTuple_New(order + n));
    Ref followers(PyTuple_New(n + 1));
    if (!codes || !followers) return -1;
    for (Py_ssize_t i = 0; i < order; ++i) {
        Py_INCREF(Py_None);
        PyTuple_SET_ITEM(codes.get(), i, Py_None);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Held: a table the caller filled with odd keys may run code that
        // changes the sentence.
        Ref given = Ref::borrow(PySequence_Fast_GET_ITEM(sequence.get(), i));
        PyObject* follower = word_follower(words, given.get());
        if (follower == nullptr) return -1;
        PyObject* word = PyTuple_GET_ITEM(follower, 0);
        Py_INCREF(word);
        PyTuple_SET_ITEM(codes.get(), order + i, word);
        Py_INCREF(follower);
        PyTuple_SET_ITEM(followers.get(), i, follower);
    }
    Py_INCREF(end);
    PyTuple_SET_ITEM(followers.get(), n, end);
    const bool own = own_add_to_bag(model);
    Ref add_to_bag;
    if (!own) {
        add_to_bag = Ref(PyObject_GetAttr(model, state.add_to_bag));
        if (!add_to_bag) return -1;
    }
    for (Py_ssize_t at = 0; at <= n; ++at) {
        Ref start(PyTuple_GetSlice(codes.get(), at, at + order));
        if (!start) return -1;
        common::untrack_if_atomic(start.get());
        PyObject* follower = PyTuple_GET_ITEM(followers.get(), at);  // borrowed from followers
        if (own) {
            // Both already as stored: what model_add would store, without
            // looking at them again.
            Ref bag = bag_for(as_model(model), start.get());
            if (!bag) return -1;
            const int added =
                Py_TYPE(bag.get()) == &BagType
                    ? bag_add_stored(reinterpret_cast<BagObject*>(bag.get()), follower, state.one)
                    : add_to(bag.get(), follower, state.one);
            if (added < 0) return -1;
        } else if (!common::call2(add_to_bag.get(), start.get(), follower)) {
            return -1;
        }
        if (signals.tick() < 0) return -1;
    }
    learnt += n;
    return 0;
}

PyObject* learn_sentences(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_SetString(PyExc_TypeError, "learn_sentences() takes no keyword arguments");
        return nullptr;
    }
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "learn_sentences() takes 4 positional arguments but %zd "
                     "were given", nargs);
        return nullptr;
    }
    PyObject* model = args[0];
    PyObject* words = args[3];
    const Py_ssize_t order = PyNumber_AsSsize_t(args[2], PyExc_OverflowError);
    if (order == -1 && PyErr_Occurred()) return nullptr;
    if (order < 1) {
        PyErr_SetString(PyExc_ValueError, "the order must be at least 1");
        return nullptr;
    }
    if (!PyDict_CheckExact(words)) {
        PyErr_Format(PyExc_TypeError, "the word table must be a dict, not %.200s",
                     Py_TYPE(words)->tp_name);
        return nullptr;
    }
    Ref end(PyTuple_Pack(1, Py_None));
    if (!end) return nullptr;
    common::untrack_if_atomic(end.get());
    Ref iterator(PyObject_GetIter(args[1]));
    if (!iterator) return nullptr;
    Ref sentence;
    common::SignalCheck signals;
    Py_ssize_t learnt = 0;
    for (;;) {
        const int got = common::next_item(iterator.get(), sentence);
        if (got < 0) return nullptr;
        if (got == 0) break;
        if (learn_sentence(model, sentence.get(), order, words, end.get(), learnt, signals) < 0) {
            return nullptr;
        }
    }
    return PyLong_FromSsize_t(learnt);
}

// ===========================================================================
// What pavro_cjson relies on
// ===========================================================================

// The occurrences of every code, counted first by object and only then by
// value: a model's equal codes are mostly one shared object (learn() and the
// readers share them), so each distinct object is hashed and compared once
// instead of at every occurrence.  Objects are kept in the order first
// seen; summing them into the result by value in that order puts every
// value where its first occurrence puts it, as the reference's
// frequencies[code] = frequencies.get(code, 0) + 1 does.  The table is
// keyed by address, which no document or caller chooses, and each object
// in it is held, so no address is reused while it counts.
class ObjectCounts {
public:
    ObjectCounts() = default;
    ObjectCounts(const ObjectCounts&) = delete;
    ObjectCounts& operator=(const ObjectCounts&) = delete;
    ~ObjectCounts() {
        for (size_t i = 0; i < used_; ++i) Py_DECREF(entries_[i].object);
        PyMem_Free(entries_);
        PyMem_Free(slots_);
    }

    int count(PyObject* object) {
        if (used_ * 2 >= capacity_ && grow() < 0) return -1;
        size_t at = slot_of(object);
        for (;;) {
            const size_t index = slots_[at];
            if (index == kEmpty) break;
            if (entries_[index].object == object) {
                entries_[index].count += 1;
                return 0;
            }
            at = (at + 1) & (capacity_ - 1);
        }
        slots_[at] = used_;
        Py_INCREF(object);
        entries_[used_].object = object;
        entries_[used_].count = 1;
        ++used_;
        return 0;
    }

    // The counts by value, a new dict.
    PyObject* by_value() const {
        Ref result(PyDict_New());
        if (!result) return nullptr;
        for (size_t i = 0; i < used_; ++i) {
            PyObject* found = PyDict_GetItemWithError(result.get(), entries_[i].object);
            Ref total;
            if (found == nullptr) {
                if (PyErr_Occurred()) return nullptr;
                total = Ref(PyLong_FromSsize_t(entries_[i].count));
            } else {
                Ref more(PyLong_FromSsize_t(entries_[i].count));
                if (!more) return nullptr;
                total = Ref(PyNumber_Add(found, more.get()));
            }
            if (!total || PyDict_SetItem(result.get(), entries_[i].object, total.get()) < 0) {
                return nullptr;
            }
        }
        return result.release();
    }

private:
    struct Entry {
        PyObject* object;
        Py_ssize_t count;
    };
    static constexpr size_t kEmpty = static_cast<size_t>(-1);

    size_t slot_of(PyObject* object) const {
        const auto bits = reinterpret_cast<uintptr_t>(object) >> 4;
        return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - shift_));
    }

    int grow() {
        const size_t capacity = capacity_ == 0 ? 1024 : capacity_ * 2;
        size_t* slots = static_cast<size_t*>(PyMem_Malloc(capacity * sizeof(size_t)));
        Entry* entries = static_cast<Entry*>(
            PyMem_Realloc(entries_, (capacity / 2) * sizeof(Entry)));
        if (slots == nullptr || entries == nullptr) {
            PyMem_Free(slots);
            if (entries != nullptr) entries_ = entries;
            PyErr_NoMemory();
            return -1;
        }
        entries_ = entries;
        PyMem_Free(slots_);
        slots_ = slots;
        capacity_ = capacity;
        shift_ = 0;
        while ((size_t{1} << shift_) < capacity) ++shift_;
        for (size_t i = 0; i < capacity; ++i) slots_[i] = kEmpty;
        for (size_t i = 0; i < used_; ++i) {
            size_t at = slot_of(entries_[i].object);
            while (slots_[at] != kEmpty) at = (at + 1) & (capacity_ - 1);
            slots_[at] = i;
        }
        return 0;
    }

    size_t* slots_ = nullptr;
    Entry* entries_ = nullptr;
    size_t capacity_ = 0;
    size_t used_ = 0;
    unsigned shift_ = 0;
};

// Iterating a dict that code run by iterating or counting may change: the
// dict's own message when its size changes.
int changed_size() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return -1;
}

int count_follower_codes(ObjectCounts& counts, PyObject* follower) {
    if (PyTuple_CheckExact(follower)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(follower); ++i) {
            if (counts.count(PyTuple_GET_ITEM(follower, i)) < 0) return -1;
        }
        return 0;
    }
    Ref iterator(PyObject_GetIter(follower));
    if (!iterator) return -1;
    Ref code;
    for (;;) {
        const int got = common::next_item(iterator.get(), code);
        if (got <= 0) return got;
        if (counts.count(code.get()) < 0) return -1;
    }
}

int count_bag(ObjectCounts& counts, PyObject* bag) {
    if (is_bag(bag)) {
        Ref weights = Ref::borrow(bag_weights(reinterpret_cast<BagObject*>(bag)));
        if (!weights) return -1;
        // Followers are exact tuples: nothing here runs Python code.
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(weights.get(), &pos, &key, &value)) {
            if (count_follower_codes(counts, key) < 0) return -1;
        }
        return 0;
    }
    // Any other object serves as the reference's loop has it: through its
    // _weights, each follower iterated.
    Ref weights(PyObject_GetAttr(bag, state.weights_slot));
    if (!weights) return -1;
    Ref iterator(PyObject_GetIter(weights.get()));
    if (!iterator) return -1;
    Ref follower;
    for (;;) {
        const int got = common::next_item(iterator.get(), follower);
        if (got <= 0) return got;
        if (count_follower_codes(counts, follower.get()) < 0) return -1;
    }
}

PyObject* build_frequency_dict_method(PyObject* self, PyObject*) {
    Ref bags = Ref::borrow(bags_of(as_model(self)));
    if (!bags) return nullptr;
    ObjectCounts counts;
    const Py_ssize_t size = PyDict_GET_SIZE(bags.get());
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    common::SignalCheck signals;
    while (PyDict_Next(bags.get(), &pos, &key, &value)) {
        Ref bag = Ref::borrow(value);  // held: another bag's _weights may run code
        if (counts.count(key) < 0 || count_bag(counts, bag.get()) < 0) return nullptr;
        if (PyDict_GET_SIZE(bags.get()) != size) return changed_size(), nullptr;
        if (signals.tick() < 0) return nullptr;
    }
    return counts.by_value();
}

PyObject* items_method(PyObject* self, PyObject*) {
    PyObject* bags = bags_of(as_model(self));
    if (bags == nullptr) return nullptr;
    Ref items = common::call_method0(bags, state.items);
    if (!items) return nullptr;
    return PyObject_GetIter(items.get());
}

PyObject* clear_method(PyObject* self, PyObject*) {
    PyObject* bags = bags_of(as_model(self));
    if (bags == nullptr) return nullptr;
    PyDict_Clear(bags);
    Py_RETURN_NONE;
}

// ===========================================================================
// What a user expects of a model
// ===========================================================================

PyObject* bag_method(PyObject* self, PyObject* start) {
    Ref code(normalise_code(start));
    if (!code) return nullptr;
    PyObject* bags = bags_of(as_model(self));
    if (bags == nullptr) return nullptr;
    return common::dict_lookup(bags, code.get()).release();
}

PyObject* generate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

PyObject* getstate_method(PyObject* self, PyObject*) {
    Ref dict_state(PyDict_New());
    if (!dict_state) return nullptr;
    ModelObject* model = as_model(self);
    if (model->dict != nullptr && PyDict_Update(dict_state.get(), model->dict) < 0) {
        return nullptr;
    }
    PyObject* bags = bags_of(model);
    if (bags == nullptr) return nullptr;
    Ref copy(PyDict_Copy(bags));
    if (!copy || PyDict_SetItem(dict_state.get(), state.bags_slot, copy.get()) < 0) {
        return nullptr;
    }
    if (Py_TYPE(self) == &ModelType) return dict_state.release();
    Ref slots(PyDict_New());
    if (!slots || collect_slots(self, slots.get()) < 0) return nullptr;
    if (PyDict_GET_SIZE(slots.get()) == 0) return dict_state.release();
    return PyTuple_Pack(2, dict_state.get(), slots.get());
}

int adopt_bags(PyObject* self, PyObject* value) {
    if (!PyDict_Check(value)) {
        PyErr_Format(PyExc_TypeError, "a ChainModel's _bags must be a dict, not %.200s",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    PyObject* fresh = PyDict_Copy(value);
    if (fresh == nullptr) return -1;
    Py_XSETREF(as_model(self)->bags, fresh);
    return 0;
}

PyObject* setstate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* bound[1];
    if (bind(setstate_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    if (restore_state(self, bound[0], state.bags_slot, adopt_bags) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* reduce_method(PyObject* self, PyObject*) { return reduce_with_state(self); }


PyMethodDef model_methods[] = {
    {"from_sequences", as_method<traced<from_sequences_method, k_from_sequences_method>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_sequences($type, /, sequences, length=2)\n--\n\n"
     "Build a model from sequences of codes (e.g. sentences as word lists)."},
    {"learn", as_method<traced<learn_method, k_learn_method>>(), METH_FASTCALL | METH_KEYWORDS,
     "learn($self, /, sequence, length=2)\n--\n\n"
     "Count, for each code of `sequence`, the up-to-`length` codes after it."},
    {"build_frequency_dict", traced<build_frequency_dict_method, k_build_frequency_dict_method>,
     METH_NOARGS,
     "build_frequency_dict($self, /)\n--\n\n"
     "Occurrences of every code in the saved document: starts and follower elements."},
    {"items", traced<items_method, k_items_method>, METH_NOARGS,
     "items($self, /)\n--\n\nThe (start, bag) pairs, in insertion order, walked live."},
    {"clear", traced<clear_method, k_clear_method>,
     METH_NOARGS, "clear($self, /)\n--\n\nForget every start code."},
    {"add_to_bag", as_method<traced<add_to_bag_method, k_add_to_bag_method>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "add_to_bag($self, /, start, follower, count=1)\n--\n\n"
     "Add `follower` with weight `count` to the bag of `start`, creating it if needed."},
    {"set_bag", as_method<traced<set_bag_method, k_set_bag_method>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "set_bag($self, /, start, bag)\n--\n\nMake `bag` the bag of `start`."},
    {"bag", traced<bag_method, k_bag_method>, METH_O,
     "bag($self, start, /)\n--\n\nThe bag of `start` (KeyError when absent)."},
    {"generate", as_method<traced<generate_method, k_generate_method>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "generate($self, /, start, max_codes=20, rng=<module 'random'>)\n--\n\n"
     "Walk the chain from `start`, yielding up to `max_codes` codes."},
    {"__getstate__", traced<getstate_method, k_getstate_method>, METH_NOARGS, nullptr},
    {"__setstate__", as_method<traced<setstate_method, k_setstate_method>>(),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__reduce__", traced<reduce_method, k_reduce_method>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* model_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref model(type->tp_alloc(type, 0));
    if (!model) return nullptr;
    as_model(model.get())->bags = PyDict_New();
    if (as_model(model.get())->bags == nullptr) return nullptr;
    return model.release();
}

int model_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!PyArg_ParseTuple(args, ":ChainModel")) return -1;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "ChainModel() takes no keyword arguments");
        return -1;
    }
    ModelObject* model = as_model(self);
    if (model->bags == nullptr || Py_REFCNT(model->bags) > 1 ||
        PyDict_GET_SIZE(model->bags) != 0) {
        PyObject* fresh = PyDict_New();
        if (fresh == nullptr) return -1;
        Py_XSETREF(model->bags, fresh);
    }
    return 0;
}

int model_tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_model(self)->bags);
    Py_VISIT(as_model(self)->dict);
    return 0;
}

int model_tp_clear(PyObject* self) {
    Py_CLEAR(as_model(self)->bags);
    Py_CLEAR(as_model(self)->dict);
    return 0;
}

void model_tp_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_model(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    model_tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t model_length(PyObject* self) {
    PyObject* bags = bags_of(as_model(self));
    if (bags == nullptr) return -1;
    return PyDict_GET_SIZE(bags);
}

int model_contains(PyObject* self, PyObject* start) {
    Ref code(normalise_code(start));
    if (!code) return -1;
    PyObject* bags = bags_of(as_model(self));
    if (bags == nullptr) return -1;
    return PyDict_Contains(bags, code.get());
}

PyObject* model_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, &ModelType)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    Ref mine = Ref::borrow(bags_of(as_model(self)));
    Ref theirs = Ref::borrow(bags_of(as_model(other)));
    if (!mine || !theirs) return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), op);
}

PyObject* model_repr(PyObject* self) {
    PyObject* bags = bags_of(as_model(self));
    if (bags == nullptr) return nullptr;
    return PyUnicode_FromFormat("<ChainModel with %zd start codes>", PyDict_GET_SIZE(bags));
}

PySequenceMethods model_as_sequence = {model_length, nullptr, nullptr, nullptr, nullptr,
                                       nullptr, nullptr, model_contains};

// ===========================================================================
// The walk of generate()
// ===========================================================================

// The reference's generate() is a generator function; this is its body as
// a state machine, run one yield at a time.  Like a generator it does
// nothing until the first next(), and it is finished after any exception.
enum class Step { begin, after_start, in_follower, done };

struct WalkObject {
    PyObject_HEAD
    PyObject* model;
    PyObject* start;       // as given, normalised at the first next()
    PyObject* max_codes;
    PyObject* rng;
    PyObject* current;
    PyObject* follower;    // the drawn follower
    PyObject* rest;        // iterator over follower[:-1], when it is no tuple
    Py_ssize_t produced;
    Py_ssize_t at;         // position in follower[:-1], when it is a tuple
    Step step;
    bool running;
};

WalkObject* as_walk(PyObject* self) { return reinterpret_cast<WalkObject*>(self); }

// `produced < max_codes` (op Py_LT) or `produced >= max_codes` (Py_GE), as
// Python compares them; -1 on error.
int compare_limit(WalkObject* walk, int op) {
    if (PyLong_CheckExact(walk->max_codes)) {
        int overflow = 0;
        const long long limit = PyLong_AsLongLongAndOverflow(walk->max_codes, &overflow);
        if (limit == -1 && PyErr_Occurred()) return -1;
        const bool below = overflow != 0 ? overflow > 0 : walk->produced < limit;
        return op == Py_LT ? below : !below;
    }
    Ref produced(PyLong_FromSsize_t(walk->produced));
    if (!produced) return -1;
    return PyObject_RichCompareBool(produced.get(), walk->max_codes, op);
}

int below_limit(WalkObject* walk) { return compare_limit(walk, Py_LT); }

PyObject* yield(WalkObject* walk, PyObject* code) {
    walk->produced += 1;
    Py_INCREF(code);
    return code;
}

// current = follower[-1] if follower else current; then the loop test.
PyObject* next_start(WalkObject* walk);

// Makes `code` (a new reference, taken over) the current start code and
// yields it, unless max_codes are already produced.
PyObject* start_from(WalkObject* walk, PyObject* code) {
    Py_XSETREF(walk->current, code);
    const int more = below_limit(walk);
    if (more <= 0) return nullptr;
    walk->step = Step::after_start;
    return yield(walk, walk->current);
}

PyObject* walk_step(WalkObject* walk) {
    switch (walk->step) {
        case Step::begin: {
            PyObject* code = normalise_code(walk->start);
            if (code == nullptr) return nullptr;
            return start_from(walk, code);
        }
        case Step::after_start: {
            PyObject* bags = bags_of(as_model(walk->model));
            if (bags == nullptr) return nullptr;
            PyObject* found = PyDict_GetItemWithError(bags, walk->current);  // borrowed
            if (found == nullptr) return nullptr;  // exception or no bag: the walk ends
            Ref bag = Ref::borrow(found);
            const int truth = PyObject_IsTrue(bag.get());
            if (truth <= 0) return nullptr;
            Ref follower;
            if (Py_TYPE(bag.get()) == &BagType) {
                follower = Ref(bag_choose(reinterpret_cast<BagObject*>(bag.get()), walk->rng));
            } else {
                Ref choose(PyObject_GetAttr(bag.get(), state.choose));
                if (!choose) return nullptr;
                follower = common::call1(choose.get(), walk->rng);
            }
            if (!follower) return nullptr;
            Py_CLEAR(walk->rest);
            walk->at = 0;
            if (!PyTuple_CheckExact(follower.get())) {
                Ref minus_one(PyLong_FromLong(-1));
                if (!minus_one) return nullptr;
                Ref slice(PySlice_New(nullptr, minus_one.get(), nullptr));
                if (!slice) return nullptr;
                Ref head(PyObject_GetItem(follower.get(), slice.get()));
                if (!head) return nullptr;
                walk->rest = PyObject_GetIter(head.get());
                if (walk->rest == nullptr) return nullptr;
            }
            Py_XSETREF(walk->follower, follower.release());
            walk->step = Step::in_follower;
            return walk_step(walk);
        }
        case Step::in_follower: {
            Ref code;
            if (walk->rest == nullptr) {
                const Py_ssize_t n = PyTuple_GET_SIZE(walk->follower);
                if (walk->at < n - 1) {
                    code = Ref::borrow(PyTuple_GET_ITEM(walk->follower, walk->at));
                    walk->at += 1;
                }
            } else if (common::next_item(walk->rest, code) < 0) {
                return nullptr;
            }
            if (code) {
                const int reached = compare_limit(walk, Py_GE);
                if (reached != 0) return nullptr;
                return yield(walk, code.get());
            }
            return next_start(walk);
        }
        case Step::done:
            return nullptr;
    }
    return nullptr;
}

PyObject* next_start(WalkObject* walk) {
    const int truth = PyObject_IsTrue(walk->follower);
    if (truth < 0) return nullptr;
    if (!truth) return nullptr;
    PyObject* last;
    if (PyTuple_CheckExact(walk->follower)) {
        last = PyTuple_GET_ITEM(walk->follower, PyTuple_GET_SIZE(walk->follower) - 1);
        Py_INCREF(last);
    } else {
        last = PySequence_GetItem(walk->follower, -1);
        if (last == nullptr) return nullptr;
    }
    return start_from(walk, last);
}

PyObject* walk_next(PyObject* self) {
    WalkObject* walk = as_walk(self);
    if (walk->step == Step::done) return nullptr;
    if (walk->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    walk->running = true;
    PyObject* result = walk_step(walk);
    walk->running = false;
    if (result == nullptr) {
        walk->step = Step::done;
        Py_CLEAR(walk->follower);
        Py_CLEAR(walk->rest);
    }
    return result;
}

// Every reference a walk owns, in one list, so that the collector's visit
// and clear cannot drift apart.
std::array<PyObject**, 7> owned_members(WalkObject* walk) {
    return {&walk->model,   &walk->start,    &walk->max_codes, &walk->rng,
            &walk->current, &walk->follower, &walk->rest};
}

int walk_traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject** member : owned_members(as_walk(self))) Py_VISIT(*member);
    return 0;
}

int walk_clear(PyObject* self) {
    WalkObject* walk = as_walk(self);
    walk->step = Step::done;
    for (PyObject** member : owned_members(walk)) Py_CLEAR(*member);
    return 0;
}

void walk_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    walk_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* generate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* bound[3];
    if (bind(generate_signature, args, nargs, kwnames, bound) < 0) return nullptr;
    Ref twenty;
    if (bound[1] == nullptr) {
        twenty = Ref(PyLong_FromLong(20));
        if (!twenty) return nullptr;
        bound[1] = twenty.get();
    }
    if (bound[2] == nullptr) bound[2] = state.random_module;
    WalkObject* walk = PyObject_GC_New(WalkObject, &WalkType);
    if (walk == nullptr) return nullptr;
    PyObject* parts[] = {self, bound[0], bound[1], bound[2]};
    for (PyObject* part : parts) Py_INCREF(part);
    walk->model = self;
    walk->start = bound[0];
    walk->max_codes = bound[1];
    walk->rng = bound[2];
    walk->current = nullptr;
    walk->follower = nullptr;
    walk->rest = nullptr;
    walk->produced = 0;
    walk->at = 0;
    walk->step = Step::begin;
    walk->running = false;
    PyObject_GC_Track(walk);
    return reinterpret_cast<PyObject*>(walk);
}

}  // namespace

PyObject* learn_sentences_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return learn_sentences(args, nargs, kwnames);
}

PyTypeObject ModelType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject WalkType = {PyVarObject_HEAD_INIT(nullptr, 0)};

int model_ready() {
    common::collected_type(ModelType, "pavro.bag.ChainModel", sizeof(ModelObject),
                           "ChainModel()\n--\n\nA table from start codes to ProbabilityBags.",
                           model_tp_dealloc, model_tp_traverse, model_tp_clear,
                           Py_TPFLAGS_BASETYPE);
    ModelType.tp_new = model_tp_new;
    ModelType.tp_init = model_tp_init;
    ModelType.tp_methods = model_methods;
    ModelType.tp_as_sequence = &model_as_sequence;
    ModelType.tp_richcompare = model_richcompare;
    ModelType.tp_repr = model_repr;
    ModelType.tp_hash = PyObject_HashNotImplemented;
    ModelType.tp_dictoffset = offsetof(ModelObject, dict);
    ModelType.tp_weaklistoffset = offsetof(ModelObject, weakrefs);
    if (PyType_Ready(&ModelType) < 0) return -1;

    common::collected_type(WalkType, "_pavro_model.walk", sizeof(WalkObject),
                           "The codes of one walk along a chain model, from generate().",
                           walk_dealloc, walk_traverse, walk_clear);
    WalkType.tp_iter = PyObject_SelfIter;
    WalkType.tp_iternext = walk_next;
    return PyType_Ready(&WalkType);
}

}  // namespace pmodel
