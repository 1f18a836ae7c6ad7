// Whole-document reader: parses the text in one library call, then walks
// the chain table in place, in replace mode (one new bag per start) or
// merge mode (one add_to_bag per pair).
#include "document/document.hpp"
#include "failure.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "module/model.hpp"
#include "names.hpp"
#include "protocols.hpp"

#include <vector>

namespace pjson {

namespace {

constexpr Frame kBody = kLoadSmallFrame;
constexpr Frame kGenexpr{"genexpr"};

// tuple(codes[x] for x in items), or tuple(items) for a plain document.
// Every lookup of the follower happens here, before the call it feeds.
Ref decode_follower(PyObject* items, const document::Decoding* codes,
                    document::SharedCodes& shared) {
    Ref decoded;
    if (codes == nullptr) {
        decoded = shared.shared_tuple(items);
        if (!decoded) return Ref();
    } else {
        decoded = document::lookup_each(items, codes->map, codes->ranks);
        if (!decoded) PJ_FAIL(kGenexpr);
    }
    // Codes are nearly always atomic: untracked now, the model's followers
    // are not traversed by the collections the rest of the load sets off.
    untrack_if_atomic(decoded.get());
    return decoded;
}

// The start code of `start`: looked up in a compressed document, as parsed
// in a plain one.
Ref decode_start(PyObject* start, const document::Decoding* codes,
                 document::SharedCodes& shared) {
    if (codes == nullptr) return shared.share(start);
    return codes->code(start);
}

// iter(bag) for a follower list, refusing the values a JSON library gives
// for anything but an array (a string's characters or a mapping's keys
// would otherwise pass for followers and counts).
int open_follower_list(document::PairReader& i_bag, PyObject* bag) {
    document::Kind kind;
    if (document::refused_follower_list(bag, &kind)) {
        document::raise_not_follower_list(kind);
        return -1;
    }
    return i_bag.open(bag);
}

// The chain table of a parsed document, walked entry by entry and each
// entry's follower list pair by pair.  Both steps answer 1 with the fields
// set, 0 at the end, -1 on failure.
struct ChainWalk {
    explicit ChainWalk(document::PairReader& c_list) : c_list_(c_list) {}

    // The next start and its follower list.
    int next_entry() {
        i_bag_ = document::PairReader();  // the last list's iterator goes first
        const int got = c_list_.next(start, bag);
        if (got < 0) PJ_FAIL(kBody);
        if (got == 0) return 0;
        if (open_follower_list(i_bag_, bag.get()) < 0) PJ_FAIL(kBody);
        return 1;
    }
    // The next follower and count of the entry's list.
    int next_pair() {
        const int got = i_bag_.next(items, count);
        if (got < 0) PJ_FAIL(kBody);
        return got;
    }

    Ref start, bag, items, count;

private:
    document::PairReader& c_list_;
    document::PairReader i_bag_;
};

// Merge mode: every pair goes to chain.add_to_bag the moment it is read.
PyObject* merge_into(PyObject* chain, document::PairReader& c_list, const document::Decoding* decode) {
    document::SharedCodes shared;
    ChainWalk walk(c_list);
    SignalCheck signals;
    for (;;) {
        const int entry = walk.next_entry();
        if (entry < 0) return nullptr;
        if (entry == 0) break;
        int got;
        while ((got = walk.next_pair()) > 0) {
            Ref add_to_bag(PyObject_GetAttr(chain, names.add_to_bag));
            if (!add_to_bag) PJ_FAIL(kBody);
            Ref start_code = decode_start(walk.start.get(), decode, shared);
            if (!start_code) PJ_FAIL(kBody);
            // A plain document hands the parsed list over as it is, its
            // codes shared with the equal ones before.
            Ref follower = decode != nullptr ? decode_follower(walk.items.get(), decode, shared)
                                             : Ref::borrow(walk.items.get());
            if (!follower) PJ_FAIL(kBody);
            if (decode == nullptr && shared.share_list(follower.get()) < 0) PJ_FAIL(kBody);
            if (!call_with_count(add_to_bag.get(), start_code.get(), follower.get(),
                                 walk.count.get()))
                PJ_FAIL(kBody);
            if (signals.tick() < 0) PJ_FAIL(kBody);
        }
        if (got < 0) return nullptr;
        if (signals.tick() < 0) PJ_FAIL(kBody);
    }
    Py_RETURN_NONE;
}

// The chain table of a replace-mode load, decoded in full before the model
// is touched: per start, its code and then its (follower, count) pairs.
// Everything the document can get wrong is found while this is filled, so
// a refused document leaves the caller's model as it was.  It holds the
// follower tuples the bags will hold anyway, and reads each iterable of
// the parsed document once, so one-pass iterables work.
struct DecodedChain {
    std::vector<Ref> objects;          // start code, follower, count, follower, count, ...
    std::vector<Py_ssize_t> pairs;     // number of pairs per start, in order
};

int decode_chain(document::PairReader& c_list, const document::Decoding* decode, DecodedChain& out) {
    document::SharedCodes shared;
    ChainWalk walk(c_list);
    SignalCheck signals;
    for (;;) {
        const int entry = walk.next_entry();
        if (entry <= 0) return entry;
        // The start's slot is filled once its pairs are decoded: a start
        // token is looked up after its followers, as set_bag comes after
        // the bag is full.
        const size_t start_slot = out.objects.size();
        out.objects.emplace_back();
        Py_ssize_t n = 0;
        int got;
        while ((got = walk.next_pair()) > 0) {
            Ref follower = decode_follower(walk.items.get(), decode, shared);
            if (!follower) PJ_FAIL(kBody);
            out.objects.push_back(std::move(follower));
            out.objects.push_back(std::move(walk.count));
            ++n;
            if (signals.tick() < 0) PJ_FAIL(kBody);
        }
        if (got < 0) return -1;
        Ref start_code = decode_start(walk.start.get(), decode, shared);
        if (!start_code) PJ_FAIL(kBody);
        out.objects[start_slot] = std::move(start_code);
        out.pairs.push_back(n);
        if (signals.tick() < 0) PJ_FAIL(kBody);
    }
}

// decode_chain, with a vector that cannot grow raising MemoryError: no C++
// exception may reach the interpreter.
int decode_chain_guarded(document::PairReader& c_list, const document::Decoding* decode,
                         DecodedChain& out) noexcept {
    try {
        return decode_chain(c_list, decode, out);
    } catch (...) {  // only the vectors throw, and only bad_alloc
        PyErr_NoMemory();
        PJ_FAIL(kBody);
    }
}

// Replace mode: empties the model, then hands each start a new bag.
PyObject* replace_with(PyObject* chain, document::PairReader& c_list, const document::Decoding* decode) {
    DecodedChain decoded;
    if (decode_chain_guarded(c_list, decode, decoded) < 0) return nullptr;  // entry added
    if (model::clear(chain) < 0) PJ_FAIL(kBody);
    SignalCheck signals;
    size_t at = 0;
    for (const Py_ssize_t n : decoded.pairs) {
        // Held by the vector for the whole call, which no model call can
        // reach, so borrowing from it is safe.
        PyObject* start_code = decoded.objects[at++].get();
        Ref new_bag = model::new_bag();
        if (!new_bag) PJ_FAIL(kBody);
        for (Py_ssize_t i = 0; i < n; ++i, at += 2) {
            if (!call_method_with_count(new_bag.get(), names.add, decoded.objects[at].get(),
                                        nullptr, decoded.objects[at + 1].get()))
                PJ_FAIL(kBody);
            if (signals.tick() < 0) PJ_FAIL(kBody);
        }
        if (!call_method2(chain, names.set_bag, start_code, new_bag.get())) PJ_FAIL(kBody);
        if (signals.tick() < 0) PJ_FAIL(kBody);
    }
    Py_RETURN_NONE;
}

}  // namespace

// load_json_small(chain, file, merge=False)
PyObject* load_json_small(PyObject* chain, PyObject* file, PyObject* merge) {
    Ref obj = call_global_attr(names.json, names.load, file);
    if (!obj) PJ_FAIL(kBody);
    Ref code_table(PyObject_GetItem(obj.get(), names.codes));
    if (!code_table) PJ_FAIL(kBody);
    Ref codes = document::decoding_map(code_table.get());
    if (!codes) PJ_FAIL(kBody);
    Ref chain_table(PyObject_GetItem(obj.get(), names.chain));
    if (!chain_table) PJ_FAIL(kBody);
    document::PairReader c_list;
    if (c_list.open(chain_table.get()) < 0) PJ_FAIL(kBody);
    const int merging = PyObject_IsTrue(merge);
    if (merging < 0) PJ_FAIL(kBody);
    Ref ranks = document::rank_index(codes.get());
    if (!ranks) PJ_FAIL(kBody);
    const document::Decoding decoding{codes.get(), ranks.get()};
    // nullptr marks a plain document: starts and followers as parsed.
    const document::Decoding* decode = PyDict_GET_SIZE(codes.get()) > 0 ? &decoding : nullptr;
    return merging ? merge_into(chain, c_list, decode) : replace_with(chain, c_list, decode);
}

}  // namespace pjson
