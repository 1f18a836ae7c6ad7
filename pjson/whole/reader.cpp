// Whole-document reader: parses the text in one library call, then walks
// the chain table in place, in replace mode (one new bag per start) or
// merge mode (one add_to_bag per pair).
#include "document/document.hpp"
#include "functions.hpp"
#include "module/model.hpp"

namespace pjson {

namespace {

constexpr Frame kBody = kLoadSmallFrame;
constexpr Frame kGenexpr{"genexpr"};

// tuple(codes[x] for x in items), or tuple(items) for a plain document.
// Every lookup of the follower happens here, before the call it feeds.
Ref decode_follower(PyObject* items, PyObject* codes) {
    if (codes == nullptr) return Ref(PySequence_Tuple(items));
    Ref decoded = document::lookup_each(items, codes);
    if (!decoded) PJ_FAIL(kGenexpr);
    return decoded;
}

// The start code of `start`: looked up in a compressed document, as parsed
// in a plain one.
Ref decode_start(PyObject* start, PyObject* codes) {
    if (codes == nullptr) return Ref::borrow(start);
    return dict_lookup(codes, start);
}

}  // namespace

// load_json_small(chain, file, merge=False)
PyObject* load_json_small(PyObject* chain, PyObject* file, PyObject* merge) {
    Ref json = lookup_global(names.json);
    if (!json) PJ_FAIL(kBody);
    Ref load(PyObject_GetAttr(json.get(), names.load));
    if (!load) PJ_FAIL(kBody);
    Ref obj = call1(load.get(), file);
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
    if (!merging && model::clear(chain) < 0) PJ_FAIL(kBody);
    // nullptr marks a plain document: starts and followers as parsed.
    PyObject* decode = PyDict_GET_SIZE(codes.get()) > 0 ? codes.get() : nullptr;

    Ref start, bag, items, count;
    SignalCheck signals;
    for (;;) {
        int got = c_list.next(start, bag);
        if (got < 0) PJ_FAIL(kBody);
        if (got == 0) break;
        document::PairReader i_bag;
        if (i_bag.open(bag.get()) < 0) PJ_FAIL(kBody);
        if (merging) {
            while ((got = i_bag.next(items, count)) > 0) {
                Ref add_to_bag(PyObject_GetAttr(chain, names.add_to_bag));
                if (!add_to_bag) PJ_FAIL(kBody);
                Ref start_code = decode_start(start.get(), decode);
                if (!start_code) PJ_FAIL(kBody);
                // A plain document hands the parsed list over as it is.
                Ref follower = decode != nullptr ? decode_follower(items.get(), decode)
                                                 : Ref::borrow(items.get());
                if (!follower) PJ_FAIL(kBody);
                if (!call_with_count(add_to_bag.get(), start_code.get(), follower.get(),
                                     count.get()))
                    PJ_FAIL(kBody);
                if (signals.tick() < 0) PJ_FAIL(kBody);
            }
            if (got < 0) PJ_FAIL(kBody);
        } else {
            Ref new_bag = model::new_bag();
            if (!new_bag) PJ_FAIL(kBody);
            while ((got = i_bag.next(items, count)) > 0) {
                Ref add(PyObject_GetAttr(new_bag.get(), names.add));
                if (!add) PJ_FAIL(kBody);
                Ref follower = decode_follower(items.get(), decode);
                if (!follower) PJ_FAIL(kBody);
                if (!call_with_count(add.get(), follower.get(), nullptr, count.get()))
                    PJ_FAIL(kBody);
                if (signals.tick() < 0) PJ_FAIL(kBody);
            }
            if (got < 0) PJ_FAIL(kBody);
            Ref set_bag(PyObject_GetAttr(chain, names.set_bag));
            if (!set_bag) PJ_FAIL(kBody);
            Ref start_code = decode_start(start.get(), decode);
            if (!start_code) PJ_FAIL(kBody);
            if (!call2(set_bag.get(), start_code.get(), new_bag.get())) PJ_FAIL(kBody);
        }
        if (signals.tick() < 0) PJ_FAIL(kBody);
    }
    Py_RETURN_NONE;
}

}  // namespace pjson
