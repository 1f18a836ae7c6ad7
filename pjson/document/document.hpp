// The chain document shared by all four functions: the token rule that
// turns codes into tokens, pair reading, and the decoding map.
#pragma once

#include "common.hpp"
#include "failure.hpp"
#include "texts.hpp"

namespace pjson::document {

// ---------------------------------------------------------------------------
// Token rule
// ---------------------------------------------------------------------------

// -item[1]: the body of a writer's sort key, a failure reported under
// `frame`, the key's own traceback name.
PyObject* negated_occurrences(PyObject* item, const Frame& frame);

template <const Frame& frame>
PyObject* negated_occurrences_as(PyObject* /*self*/, PyObject* item) {
    return negated_occurrences(item, frame);
}

// One writer's sort key, `lambda item: -item[1]`, a function object made
// once by the writer's initialisation:
//     document::SortKey key{document::negated_occurrences_as<kKeyFrame>};
class SortKey {
public:
    explicit constexpr SortKey(PyCFunction body) noexcept
        : def_{"<lambda>", body, METH_O, nullptr} {}
    // Makes the function object unless it exists; -1 on error.
    int make();
    PyObject* function() const noexcept { return function_; }  // borrowed

private:
    PyMethodDef def_;             // read by the function object for ever
    PyObject* function_ = nullptr;  // owned, kept for the life of the process
};

// sorted(freq_items, key=key): codes by occurrences, highest first, ties
// in the order the mapping yields them.
Ref sort_by_frequency(PyObject* freq_items, const SortKey& key);

// Walks sorted frequency items, giving each code its token.
class Ranking {
public:
    explicit Ranking(Ref sorted) : sorted_(std::move(sorted)) {}

    // Advances to the next code: 1 with code(), text() and, when the code
    // stands for itself, stands_for_itself() set; 0 at the end; -1 on error.
    int next();

    Py_ssize_t rank() const { return rank_; }
    PyObject* code() const { return code_.get(); }
    PyObject* text() const { return text_.get(); }  // json.dumps(code)
    bool stands_for_itself() const { return itself_; }
    // The rank number as an int object (a new reference).
    Ref rank_number() const { return Ref(PyLong_FromSsize_t(rank_)); }
    // The rank number's decimal digits, as "{}".format would spell them.
    Ref rank_text() const { return decimal_text("", rank_); }

private:
    Ref sorted_;  // a list only we hold
    Py_ssize_t rank_ = -1;
    Ref code_;
    Ref text_;
    bool itself_ = false;
};

// ---------------------------------------------------------------------------
// Pair reading
// ---------------------------------------------------------------------------

// Draws two consecutive elements at a time from one iterator; an odd
// trailing element is drawn and dropped without error.
class PairReader {
public:
    // iter(iterable); returns -1 if it is not iterable.
    int open(PyObject* iterable) {
        it_ = Ref(PyObject_GetIter(iterable));
        return it_ ? 0 : -1;
    }
    // 1 with both set, 0 when no complete pair is left, -1 on error.
    int next(Ref& first, Ref& second) {
        const int got = next_item(it_.get(), first);
        if (got <= 0) return got;
        return next_item(it_.get(), second);
    }

private:
    Ref it_;
};

// ---------------------------------------------------------------------------
// Decoding map
// ---------------------------------------------------------------------------

// dict(pairs of `iterable`): token -> code, a later equal token winning.
Ref decoding_map(PyObject* iterable);

// The values of a decoding map's exact-int keys 0 to len(map) - 1, by index:
// a compressed follower is mostly rank numbers, each a new int object that
// the dict would hash and compare again.  A slot with no such key holds
// NotImplemented, which only sends the lookup on to the dict, so even a
// map holding NotImplemented as a code answers right.
Ref rank_index(PyObject* map);

// map[token], looked up in `ranks` (rank_index(map), or nullptr) first for
// an exact int: always the dict's answer.  A miss raises KeyError(token).
Ref decode(PyObject* map, PyObject* ranks, PyObject* token);

// A compressed document's decoding map and its rank index, borrowed by a
// load that holds both.
struct Decoding {
    PyObject* map;
    PyObject* ranks;
    Ref code(PyObject* token) const { return decode(map, ranks, token); }
};

// tuple(map[x] for x in elements): a follower's tokens (writing) or codes
// (reading), every lookup done before the caller uses any of them, through
// `ranks` as decode() does.  A miss raises KeyError(x).  The caller adds the
// "genexpr" traceback entry.
Ref lookup_each(PyObject* elements, PyObject* map, PyObject* ranks = nullptr);

// ---------------------------------------------------------------------------
// Shared codes
// ---------------------------------------------------------------------------

// Equal codes met while a plain document is read, kept as one object each:
// a loaded model holds its codes for as long as it lives, and a parser
// makes a new string for every occurrence.  Only exact str and int are
// shared: equal values of other types (1, 1.0, True; 0.0 and -0.0) are
// not the same code, and a shared object must be indistinguishable by
// value and type from the one it replaces.
class SharedCodes {
public:
    // The first object seen equal to `code`, or `code` itself; a new
    // reference, or an empty one on error.
    Ref share(PyObject* code);
    // Replaces the elements of an exact list by their shared objects, in
    // place; other iterables are left as they are.  -1 on error.
    int share_list(PyObject* list);
    // tuple(share(x) for x in items).
    Ref shared_tuple(PyObject* items);

private:
    Ref strings_;
    Ref ints_;
};

// ---------------------------------------------------------------------------
// Document shape
// ---------------------------------------------------------------------------

// The JSON kinds that can never be a follower list.  Both readers name them
// the same way, so a refused document reads the same through either.
enum class Kind { number, string, boolean, null, object };

// Raises TypeError "a follower list must be an array, not a string" (and so on).
void raise_not_follower_list(Kind kind);

// For a parsed value in a follower list's place: true with `kind` set
// when it is a scalar or a mapping (never a follower list).  Other
// iterables are taken as they come.  Cannot fail.
bool refused_follower_list(PyObject* value, Kind* kind);

// Raises ValueError for a code table that arrives after the chain table
// has been handed over undecoded.
void raise_codes_after_chain();

}  // namespace pjson::document
