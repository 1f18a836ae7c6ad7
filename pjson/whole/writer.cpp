// Whole-document writer: walks the model into tuples first, then hands the
// complete document to the JSON library in one dump call, so a model that
// fails half-way leaves the file untouched.
#include "document/document.hpp"
#include "failure.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "module/model.hpp"
#include "names.hpp"
#include "protocols.hpp"

namespace pjson {

namespace {

constexpr Frame kBody = kDumpSmallFrame;
constexpr Frame kGenStart{"pavro_cjson.dump_json_small.gen_start"};
constexpr Frame kGenNextStart{"pavro_cjson.dump_json_small.gen_next_start"};
constexpr Frame kGenChain{"pavro_cjson.dump_json_small.gen_chain"};
constexpr Frame kGenexpr{"genexpr"};
constexpr Frame kSortKeyFrame{"pavro_cjson.dump_json_small.lambda1"};

// The key the code table is ranked with, made by init_dump_json_small.
document::SortKey sort_key{document::negated_occurrences_as<kSortKeyFrame>};

// Tuple of `list`'s contents (the document holds tuples, as the library
// would be handed by a generator collected with tuple()).  The document's
// tuples hold tokens, codes and counts, nearly always atomic: untracked at
// once, they are not traversed by the many young collections that
// building a large document sets off.
Ref to_tuple(PyObject* list) {
    Ref tuple(PyList_AsTuple(list));
    if (tuple) untrack_if_atomic(tuple.get());
    return tuple;
}

class SmallWriter {
public:
    SmallWriter(PyObject* chain, PyObject* codes, bool compressed)
        : chain_(chain), codes_(codes), compressed_(compressed) {}

    // The chain table: start token, follower list, start token, ...
    Ref gen_chain() const {
        Ref entries = model::entries(chain_);
        if (!entries) PJ_FAIL(kGenChain);
        Ref iterator(PyObject_GetIter(entries.get()));
        if (!iterator) PJ_FAIL(kGenChain);
        Ref table(PyList_New(0));
        if (!table) PJ_FAIL(kGenChain);
        Ref item;
        SignalCheck signals;
        for (;;) {
            item.reset();  // as in gen_next_start
            const int got = next_item(iterator.get(), item);
            if (got < 0) PJ_FAIL(kGenChain);
            if (got == 0) break;
            Ref parts[2];  // start, bag
            if (unpack(item.get(), 2, parts) < 0) PJ_FAIL(kGenChain);
            Ref token = gen_start(parts[0].get());
            if (!token || PyList_Append(table.get(), token.get()) < 0) PJ_FAIL(kGenChain);
            Ref choices = model::choices(parts[1].get());
            if (!choices) PJ_FAIL(kGenChain);
            Ref followers = gen_next_start(choices.get());
            if (!followers || PyList_Append(table.get(), followers.get()) < 0)
                PJ_FAIL(kGenChain);
            if (signals.tick() < 0) PJ_FAIL(kGenChain);
        }
        return table;
    }

private:
    // The start token of a start code: its token, or the code itself.
    Ref gen_start(PyObject* start) const {
        if (!compressed_) return Ref::borrow(start);
        Ref token = dict_lookup(codes_, start);
        if (!token) PJ_FAIL(kGenStart);
        return token;
    }

    // One bag's choices as the tuple follower, count, follower, count, ...
    Ref gen_next_start(PyObject* choices) const {
        Ref iterator(PyObject_GetIter(choices));
        if (!iterator) PJ_FAIL(kGenNextStart);
        Ref flat(PyList_New(0));
        if (!flat) PJ_FAIL(kGenNextStart);
        Ref choice;
        SignalCheck signals;
        for (;;) {
            // Let go of the last pair first: a dict's item iterator hands out
            // its own pair tuple again when nobody else holds it.
            choice.reset();
            const int got = next_item(iterator.get(), choice);
            if (got < 0) PJ_FAIL(kGenNextStart);
            if (got == 0) break;
            Ref parts[2];  // val, cnt
            if (unpack(choice.get(), 2, parts) < 0) PJ_FAIL(kGenNextStart);
            Ref follower = compressed_ ? tokens_of(parts[0].get()) : std::move(parts[0]);
            if (!follower || PyList_Append(flat.get(), follower.get()) < 0 ||
                PyList_Append(flat.get(), parts[1].get()) < 0)
                PJ_FAIL(kGenNextStart);
            if (signals.tick() < 0) PJ_FAIL(kGenNextStart);
        }
        return to_tuple(flat.get());
    }

    // tuple(codes[x] for x in val)
    Ref tokens_of(PyObject* val) const {
        Ref tokens = document::lookup_each(val, codes_);
        if (!tokens) PJ_FAIL(kGenexpr);
        untrack_if_atomic(tokens.get());
        return tokens;
    }

    PyObject* chain_;  // borrowed from the caller for the call
    PyObject* codes_;  // borrowed from dump_json_small's frame
    bool compressed_;
};

}  // namespace

int init_dump_json_small() { return sort_key.make(); }

// dump_json_small(chain, file, frequency_compress=True)
PyObject* dump_json_small(PyObject* chain, PyObject* file, PyObject* frequency_compress) {
    Ref codes(PyDict_New());
    Ref codes_list(PyList_New(0));
    if (!codes || !codes_list) PJ_FAIL(kBody);
    const int compressed = PyObject_IsTrue(frequency_compress);
    if (compressed < 0) PJ_FAIL(kBody);
    if (compressed) {
        Ref freq_items = model::frequency_items(chain);
        if (!freq_items) PJ_FAIL(kBody);
        Ref sorted = document::sort_by_frequency(freq_items.get(), sort_key);
        if (!sorted) PJ_FAIL(kBody);
        document::Ranking ranking(std::move(sorted));
        SignalCheck signals;
        for (;;) {
            const int got = ranking.next();
            if (got < 0) PJ_FAIL(kBody);
            if (got == 0) break;
            PyObject* code = ranking.code();
            Ref token = ranking.stands_for_itself() ? Ref::borrow(code) : ranking.rank_number();
            if (!token || PyDict_SetItem(codes.get(), code, token.get()) < 0 ||
                PyList_Append(codes_list.get(), token.get()) < 0 ||
                PyList_Append(codes_list.get(), code) < 0)
                PJ_FAIL(kBody);
            if (signals.tick() < 0) PJ_FAIL(kBody);
        }
    }
    SmallWriter writer(chain, codes.get(), compressed != 0);

    Ref json = lookup_global(names.json);
    if (!json) PJ_FAIL(kBody);
    Ref dump(PyObject_GetAttr(json.get(), names.dump));
    if (!dump) PJ_FAIL(kBody);
    Ref ordered_dict = lookup_global(names.OrderedDict);
    if (!ordered_dict) PJ_FAIL(kBody);
    Ref codes_pair(PyTuple_Pack(2, names.codes, codes_list.get()));
    if (!codes_pair) PJ_FAIL(kBody);
    Ref chain_list = writer.gen_chain();
    if (!chain_list) PJ_FAIL(kBody);
    Ref chain_table = to_tuple(chain_list.get());
    if (!chain_table) PJ_FAIL(kBody);
    chain_list.reset();
    Ref chain_pair(PyTuple_Pack(2, names.chain, chain_table.get()));
    if (!chain_pair) PJ_FAIL(kBody);
    Ref pairs(PyTuple_Pack(2, codes_pair.get(), chain_pair.get()));
    if (!pairs) PJ_FAIL(kBody);
    Ref document = call1(ordered_dict.get(), pairs.get());
    if (!document) PJ_FAIL(kBody);
    if (!call2(dump.get(), document.get(), file)) PJ_FAIL(kBody);
    Py_RETURN_NONE;
}

}  // namespace pjson
