// Streaming reader: follows the parser's events with a depth counter and
// four flags, assembles only the code table and one follower at a time,
// and hands each pair to add_to_bag as soon as the parser has moved past
// its count.
#include "document/document.hpp"
#include "functions.hpp"
#include "module/model.hpp"
#include "streaming/decodegen.hpp"

namespace pjson {

namespace {

constexpr Frame kBody = kLoadBigFrame;

class BigReader {
public:
    BigReader(PyObject* chain, bool merging) : chain_(chain), merging_(merging) {}

    int open(PyObject* file) {
        Ref ijson = lookup_global(names.ijson);
        if (!ijson) return -1;
        Ref parse(PyObject_GetAttr(ijson.get(), names.parse));
        if (!parse) return -1;
        Ref parser = call1(parse.get(), file);
        if (!parser) return -1;
        Ref builder_class = lookup_global(names.ObjectBuilder);
        if (!builder_class) return -1;
        builder_ = call0(builder_class.get());
        if (!builder_) return -1;
        events_ = Ref(PyObject_GetIter(parser.get()));
        return events_ ? 0 : -1;
    }

    // Draws every event; returns the source line of a failure, or 0.
    int run() {
        Ref item;
        SignalCheck signals;
        for (;;) {
            const int got = next_item(events_.get(), item);
            if (got < 0) return __LINE__;
            if (got == 0) break;
            Ref triple[3];  // prefix, event, value
            if (unpack(item.get(), 3, triple) < 0) return __LINE__;
            if (flush_pending() < 0) return __LINE__;
            if (const int line = dispatch(triple[1].get(), triple[2].get())) return line;
            if (signals.tick() < 0) return __LINE__;
        }
        if (flush_pending() < 0) return __LINE__;
        // A stream that never opened a chain table is no chain document;
        // the model is left as it was.
        if (!saw_chain_) {
            raise_key_error(names.chain);
            return __LINE__;
        }
        if (clear_once() < 0) return __LINE__;
        return 0;
    }

private:
    // One event through the dispatch rules; the source line of a failure, or 0.
    int dispatch(PyObject* event, PyObject* value) {
        const int is_start = starts_with(event, names.start_prefix);
        if (is_start < 0) return __LINE__;
        const int is_end = starts_with(event, names.end_prefix);
        if (is_end < 0) return __LINE__;
        const int start_array = is_start ? equals_str(event, names.start_array) : 0;
        if (start_array < 0) return __LINE__;
        const int end_array = is_end ? equals_str(event, names.end_array) : 0;
        if (end_array < 0) return __LINE__;
        if (is_start) ++depth_;
        if (is_end) --depth_;
        if (!is_start && !is_end) {
            const int is_key = equals_str(event, names.map_key);
            if (is_key < 0) return __LINE__;
            if (is_key) last_key_ = Ref::borrow(value);
        }

        // Rule 1: a top-level member array opens.
        if (!in_codes_ && !in_chain_ && start_array && depth_ == 2) {
            const int is_codes = last_key_ ? equals_str(last_key_.get(), names.codes) : 0;
            if (is_codes < 0) return __LINE__;
            if (is_codes) {
                in_codes_ = true;
                return feed(event, value) < 0 ? __LINE__ : 0;
            }
            const int is_chain = last_key_ ? equals_str(last_key_.get(), names.chain) : 0;
            if (is_chain < 0) return __LINE__;
            if (is_chain) {
                in_chain_ = true;
                saw_chain_ = true;
                if (!codes_) chain_before_codes_ = true;
                chain_pos_ = 0;
                building_start_ = false;
                start_ = Ref::borrow(Py_None);
            }
            return 0;
        }
        // Rule 2: a top-level member array closes.
        if (end_array && depth_ == 1) {
            if (in_codes_) {
                Ref built(PyObject_GetAttr(builder_.get(), names.value));
                if (!built) return __LINE__;
                codes_ = document::decoding_map(built.get());
                if (!codes_) return __LINE__;
                // Sorted keys put "chain" first: its pairs went over as
                // rank numbers, which a late code table cannot take back.
                if (chain_before_codes_ && PyDict_GET_SIZE(codes_.get()) > 0) {
                    document::raise_codes_after_chain();
                    return __LINE__;
                }
                if (feed(event, value) < 0) return __LINE__;
                in_codes_ = false;
            }
            if (in_chain_ && clear_once() < 0) return __LINE__;
            in_chain_ = false;
            return 0;
        }
        // Rules 3 and 4, by position: the chain table alternates start
        // tokens and follower lists, so an array in a start position (a
        // tuple code in a plain document) is a start, not a follower list.
        if (in_chain_ && !in_bag_) return chain_element(is_start, is_end, start_array, event, value);
        if (in_chain_ && end_array && depth_ == 2) {
            in_bag_ = false;
            follower_.reset();  // a last follower without a count is dropped
            ++chain_pos_;
            return 0;
        }
        // Rule 5: inside the code table, everything goes to the builder.
        if (in_codes_) return feed(event, value) < 0 ? __LINE__ : 0;
        if (!in_bag_) return 0;
        return bag_element(is_start, is_end, event, value);
    }

    // An event inside a follower list.  Its elements alternate follower and
    // count, as the whole-document reader pairs them: a follower (an array,
    // nested ones included) is assembled up to its own closing bracket, and
    // each count hands the pair before it to the model.
    int bag_element(int is_start, int is_end, PyObject* event, PyObject* value) {
        if (building_bag_item_) {
            if (feed(event, value) < 0) return __LINE__;
            if (!is_end || depth_ != item_depth_ - 1) return 0;
            building_bag_item_ = false;
            Ref built(PyObject_GetAttr(builder_.get(), names.value));
            if (!built) return __LINE__;
            return bag_value(std::move(built)) < 0 ? __LINE__ : 0;
        }
        if (is_start) {
            building_bag_item_ = true;
            item_depth_ = depth_;
            return feed(event, value) < 0 ? __LINE__ : 0;
        }
        if (is_end) return 0;  // only a malformed stream closes here
        return bag_value(Ref::borrow(value)) < 0 ? __LINE__ : 0;
    }

    // A complete element of the follower list at the current position.
    int bag_value(Ref element) {
        const bool follower_position = bag_pos_++ % 2 == 0;
        if (follower_position) {
            follower_ = std::move(element);
            return 0;
        }
        // The pair waits for the parser's next event: a number at the very
        // end of a cut-off stream arrives as the digits read so far, and
        // only a following event proves the count whole.
        pending_follower_ = std::move(follower_);
        pending_count_ = std::move(element);
        return 0;
    }

    int flush_pending() {
        if (!pending_count_) return 0;
        Ref follower = std::move(pending_follower_);
        Ref count = std::move(pending_count_);
        return hand_over(follower.get(), count.get());
    }

    // An event directly inside the chain table, or inside a start token
    // being assembled there; the source line of a failure, or 0.
    int chain_element(int is_start, int is_end, int start_array, PyObject* event,
                      PyObject* value) {
        if (building_start_) {
            if (feed(event, value) < 0) return __LINE__;
            if (is_end && depth_ == 2) {
                start_ = Ref(PyObject_GetAttr(builder_.get(), names.value));
                if (!start_) return __LINE__;
                building_start_ = false;
                ++chain_pos_;
            }
            return 0;
        }
        if (is_end) return 0;  // only a malformed stream closes here
        const bool start_position = chain_pos_ % 2 == 0;
        if (is_start) {
            if (start_position) {
                building_start_ = true;
                return feed(event, value) < 0 ? __LINE__ : 0;
            }
            if (start_array) {
                in_bag_ = true;  // its start is the element before it
                bag_pos_ = 0;
                return 0;
            }
            document::raise_not_follower_list(document::Kind::object);
            return __LINE__;
        }
        if (!start_position) return not_follower_list(event);
        start_ = Ref::borrow(value);  // any scalar, null included
        ++chain_pos_;
        return 0;
    }

    // A scalar where a follower list belongs, refused as the whole-document
    // reader refuses it; the source line of the failure.
    int not_follower_list(PyObject* event) {
        document::Kind kind = document::Kind::number;
        PyObject* const named[] = {names.string, names.boolean, names.null};
        const document::Kind kinds[] = {document::Kind::string, document::Kind::boolean,
                                        document::Kind::null};
        for (int i = 0; i < 3; ++i) {
            const int same = equals_str(event, named[i]);
            if (same < 0) return __LINE__;
            if (same) kind = kinds[i];
        }
        document::raise_not_follower_list(kind);
        return __LINE__;
    }

    int feed(PyObject* event, PyObject* value) {
        Ref method(PyObject_GetAttr(builder_.get(), names.event));
        if (!method) return -1;
        return call2(method.get(), event, value) ? 0 : -1;
    }

    // Replace mode empties the model once, as late as possible: only when
    // the stream has proved to hold a chain table.
    int clear_once() {
        if (merging_ || cleared_) return 0;
        if (model::clear(chain_) < 0) return -1;
        cleared_ = true;
        return 0;
    }

    // One (start, follower, count) to chain.add_to_bag.  Everything the
    // document can get wrong is checked before a replace-mode clear.
    int hand_over(PyObject* follower, PyObject* count) {
        Ref add_to_bag(PyObject_GetAttr(chain_, names.add_to_bag));
        if (!add_to_bag) return -1;
        Ref start_code, handed;
        if (codes_ && PyDict_GET_SIZE(codes_.get()) > 0) {
            start_code = dict_lookup(codes_.get(), start_.get());
            if (!start_code) return -1;
            handed = new_decode_generator(follower, codes_.get());
            if (!handed) return -1;
        } else {
            start_code = Ref::borrow(start_.get());
            handed = Ref::borrow(follower);
        }
        if (clear_once() < 0) return -1;
        return call_with_count(add_to_bag.get(), start_code.get(), handed.get(), count) ? 0 : -1;
    }

    PyObject* chain_;  // borrowed from the caller for the call
    bool merging_;
    Ref events_;
    Ref builder_;
    Ref codes_;  // the decoding map; empty Ref until a code table closed
    Ref start_{Ref::borrow(Py_None)};
    Ref last_key_;
    Py_ssize_t depth_ = 0;
    size_t chain_pos_ = 0;  // direct elements of the chain table seen so far
    size_t bag_pos_ = 0;    // elements of the current follower list seen so far
    Ref follower_;          // the follower waiting for its count
    Ref pending_follower_;  // a complete pair waiting for the next event
    Ref pending_count_;
    Py_ssize_t item_depth_ = 0;
    bool in_codes_ = false;
    bool in_chain_ = false;
    bool in_bag_ = false;
    bool building_bag_item_ = false;
    bool building_start_ = false;  // assembling an array or object start token
    bool saw_chain_ = false;
    bool chain_before_codes_ = false;  // a chain table opened before any code table closed
    bool cleared_ = false;
};

}  // namespace

// load_json_big(chain, file, merge=False)
PyObject* load_json_big(PyObject* chain, PyObject* file, PyObject* merge) {
    const int merging = PyObject_IsTrue(merge);
    if (merging < 0) PJ_FAIL(kBody);
    BigReader reader(chain, merging != 0);
    if (reader.open(file) < 0) PJ_FAIL(kBody);
    if (const int line = reader.run()) return kBody.fail(line);
    Py_RETURN_NONE;
}

}  // namespace pjson
