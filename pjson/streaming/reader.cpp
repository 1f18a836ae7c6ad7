// Streaming reader: one state machine that follows the parser's events,
// assembles only the code table and one follower at a time, and hands each
// pair to add_to_bag as soon as the parser has moved past its count.  Its
// events come from the compiled yajl source when the module's parser
// bindings are the ones made at import, else from the bound parser's own
// event stream through ObjectBuilder.
//
// Every fallible function here returns -1 (or an empty Ref) having added
// load_json_big's traceback entry at the failing line (failure.hpp).
#include "document/document.hpp"
#include "failure.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "module/model.hpp"
#include "names.hpp"
#include "protocols.hpp"
#include "streaming/decodegen.hpp"
#include "streaming/events.hpp"
#include "streaming/yajl_source.hpp"
#include "texts.hpp"

#include <vector>

namespace pjson {

namespace {

using streaming::Event;
using streaming::EventSink;

constexpr Frame kBody = kLoadBigFrame;

// ===========================================================================
// Assembling values
// ===========================================================================

// Builds one array or object (the code table, a start token, a follower)
// from the balanced run of events fed to it.
class Assembler {
public:
    virtual int feed(Event kind, PyObject* name, PyObject* value) = 0;
    // The value assembled so far; nullptr with an exception set.
    virtual Ref value() = 0;

protected:
    ~Assembler() = default;
};

// The bound ObjectBuilder, fed the parser's events as they came.
class PythonBuilder final : public Assembler {
public:
    explicit PythonBuilder(Ref builder) : builder_(std::move(builder)) {}

    int feed(Event, PyObject* name, PyObject* value) override {
        Ref method(PyObject_GetAttr(builder_.get(), names.event));
        if (!method) PJ_FAIL(kBody);
        if (!call2(method.get(), name, value)) PJ_FAIL(kBody);
        return 0;
    }
    Ref value() override { return Ref(PyObject_GetAttr(builder_.get(), names.value)); }

private:
    Ref builder_;
};

// What ObjectBuilder builds (lists, dicts with the latest member name as
// key), built directly from the compiled source's events.
class CompiledBuilder final : public Assembler {
public:
    int feed(Event kind, PyObject*, PyObject* value) override {
        switch (kind) {
            case Event::start_array:
                return open(Ref(PyList_New(0)));
            case Event::start_map:
                return open(Ref(PyDict_New()));
            case Event::end_array:
            case Event::end_map:
                if (!open_.empty()) open_.pop_back();
                return 0;
            case Event::map_key:
                key_ = Ref::borrow(value);
                return 0;
            default:
                return attach(value);
        }
    }
    Ref value() override { return Ref::borrow(value_.get()); }

private:
    int open(Ref container) {
        if (!container) PJ_FAIL(kBody);
        if (attach(container.get()) < 0) return -1;
        open_.push_back(std::move(container));
        return 0;
    }
    // Puts `value` where ObjectBuilder would: the top-level value, the end
    // of the innermost list, or the innermost dict under the latest key.
    int attach(PyObject* value) {
        if (open_.empty()) {
            value_ = Ref::borrow(value);
            return 0;
        }
        PyObject* innermost = open_.back().get();
        const int status = PyList_CheckExact(innermost)
                               ? PyList_Append(innermost, value)
                               : PyDict_SetItem(innermost, key_.get(), value);
        if (status < 0) PJ_FAIL(kBody);
        return 0;
    }

    std::vector<Ref> open_;  // containers still open, innermost last
    Ref key_;
    Ref value_;
};

// ===========================================================================
// The reader
// ===========================================================================

// Where the reader stands in the document.
enum class State : unsigned char {
    idle,         // outside both tables
    codes,        // inside the code table: every event is assembled
    chain,        // directly inside the chain table
    start_token,  // assembling an array or object in a start position
    bag,          // directly inside a follower list
    item,         // assembling a follower (an array or object) in a follower list
};

// Nesting depths the reader tells its place by, counted after the event's
// own opening or closing: directly inside the document's object, and
// directly inside one of its member arrays (the code or chain table).
constexpr Py_ssize_t kInDocument = 1;
constexpr Py_ssize_t kInMember = 2;

// Whether a chain table has opened, and whether a code table had closed by then.
enum class ChainSeen : unsigned char { not_yet, after_codes, before_codes };

class ChainReader final : public EventSink {
public:
    ChainReader(PyObject* chain, bool merging, Assembler& builder)
        : chain_(chain), merging_(merging), builder_(builder) {}

    // One event: the pair waiting for it goes over first.  The parser's own
    // event stream has flushed already, before the event's name was
    // compared (read_events), so there this finds nothing pending; the
    // compiled source delivers its events here directly.
    int event(Event kind, PyObject* name, PyObject* value) override {
        if (flush_pending() < 0) return -1;
        if (dispatch(kind, name, value) < 0) return -1;
        if (signals_.tick() < 0) PJ_FAIL(kBody);
        return 0;
    }

    // The pair whose count was the last event, if any, goes over.
    int flush_pending() {
        if (!pending_count_) return 0;
        Ref follower = std::move(pending_follower_);
        Ref count = std::move(pending_count_);
        return hand_over(follower.get(), count.get());
    }

    // After the last event.
    int finish() {
        if (flush_pending() < 0) return -1;
        // A stream that never opened a chain table is no chain document;
        // the model is left as it was.
        if (chain_seen_ == ChainSeen::not_yet) {
            raise_key_error(names.chain);
            PJ_FAIL(kBody);
        }
        return clear_once();
    }

private:
    bool in_chain() const { return state_ != State::idle && state_ != State::codes; }

    int dispatch(Event kind, PyObject* name, PyObject* value) {
        const bool opens = streaming::is_start(kind);
        const bool closes = streaming::is_end(kind);
        if (opens) ++depth_;
        if (closes) --depth_;
        if (kind == Event::map_key) last_key_ = Ref::borrow(value);

        // A top-level member array opens.
        if (state_ == State::idle && kind == Event::start_array && depth_ == kInMember) {
            return member_opens(kind, name, value);
        }
        // A top-level member array closes.
        if (kind == Event::end_array && depth_ == kInDocument) return member_closes(kind, name, value);
        switch (state_) {
            case State::idle:
                return 0;
            case State::codes:
                return builder_.feed(kind, name, value);
            case State::chain:
            case State::start_token:
                return chain_element(kind, name, value);
            case State::bag:
            case State::item:
                if (kind == Event::end_array && depth_ == kInMember) {
                    state_ = State::chain;
                    follower_.reset();  // a last follower without a count is dropped
                    ++chain_pos_;
                    return 0;
                }
                return bag_element(kind, name, value);
        }
        return 0;
    }

    int member_opens(Event kind, PyObject* name, PyObject* value) {
        const int is_codes = last_key_ ? equals_str(last_key_.get(), names.codes) : 0;
        if (is_codes < 0) PJ_FAIL(kBody);
        if (is_codes) {
            state_ = State::codes;
            return builder_.feed(kind, name, value);
        }
        const int is_chain = last_key_ ? equals_str(last_key_.get(), names.chain) : 0;
        if (is_chain < 0) PJ_FAIL(kBody);
        if (is_chain) {
            state_ = State::chain;
            if (chain_seen_ == ChainSeen::not_yet) {
                chain_seen_ = codes_ ? ChainSeen::after_codes : ChainSeen::before_codes;
            }
            chain_pos_ = 0;
            start_ = Ref::borrow(Py_None);
        }
        return 0;
    }

    int member_closes(Event kind, PyObject* name, PyObject* value) {
        if (state_ == State::codes) {
            Ref built = builder_.value();
            if (!built) PJ_FAIL(kBody);
            codes_ = document::decoding_map(built.get());
            if (!codes_) PJ_FAIL(kBody);
            ranks_ = document::rank_index(codes_.get());
            if (!ranks_) PJ_FAIL(kBody);
            // Sorted keys put "chain" first: its pairs went over as rank
            // numbers, which a late code table cannot take back.
            if (chain_seen_ == ChainSeen::before_codes && PyDict_GET_SIZE(codes_.get()) > 0) {
                document::raise_codes_after_chain();
                PJ_FAIL(kBody);
            }
            if (builder_.feed(kind, name, value) < 0) return -1;
        } else if (in_chain()) {
            if (clear_once() < 0) return -1;
        }
        state_ = State::idle;
        return 0;
    }

    // An event directly inside the chain table, or inside a start token
    // being assembled there.  The chain table alternates start tokens and
    // follower lists by position, so an array in a start position (a tuple
    // code in a plain document) is a start, not a follower list.
    int chain_element(Event kind, PyObject* name, PyObject* value) {
        if (state_ == State::start_token) {
            if (builder_.feed(kind, name, value) < 0) return -1;
            if (streaming::is_end(kind) && depth_ == kInMember) {
                start_ = builder_.value();
                if (!start_) PJ_FAIL(kBody);
                state_ = State::chain;
                ++chain_pos_;
            }
            return 0;
        }
        if (streaming::is_end(kind)) return 0;  // only a malformed stream closes here
        const bool start_position = chain_pos_ % 2 == 0;
        if (streaming::is_start(kind)) {
            if (start_position) {
                state_ = State::start_token;
                return builder_.feed(kind, name, value);
            }
            if (kind == Event::start_array) {
                state_ = State::bag;  // its start is the element before it
                bag_pos_ = 0;
                return 0;
            }
            document::raise_not_follower_list(document::Kind::object);
            PJ_FAIL(kBody);
        }
        if (!start_position) return not_follower_list(kind, name);
        start_ = Ref::borrow(value);  // any scalar, null included
        ++chain_pos_;
        return 0;
    }

    // An event inside a follower list.  Its elements alternate follower and
    // count, as the whole-document reader pairs them: a follower (an array,
    // nested ones included) is assembled up to its own closing bracket, and
    // each count hands the pair before it to the model.
    int bag_element(Event kind, PyObject* name, PyObject* value) {
        if (state_ == State::item) {
            if (builder_.feed(kind, name, value) < 0) return -1;
            if (!streaming::is_end(kind) || depth_ != item_depth_ - 1) return 0;
            state_ = State::bag;
            Ref built = builder_.value();
            if (!built) PJ_FAIL(kBody);
            bag_value(std::move(built));
            return 0;
        }
        if (streaming::is_start(kind)) {
            state_ = State::item;
            item_depth_ = depth_;
            return builder_.feed(kind, name, value);
        }
        if (streaming::is_end(kind)) return 0;  // only a malformed stream closes here
        bag_value(Ref::borrow(value));
        return 0;
    }

    // A complete element of the follower list at the current position.
    void bag_value(Ref element) {
        const bool follower_position = bag_pos_++ % 2 == 0;
        if (follower_position) {
            follower_ = std::move(element);
            return;
        }
        // The pair waits for the parser's next event: a number at the very
        // end of a cut-off stream arrives as the digits read so far, and
        // only a following event proves the count whole.
        pending_follower_ = std::move(follower_);
        pending_count_ = std::move(element);
    }

    // A scalar where a follower list belongs, refused as the whole-document
    // reader refuses it.
    int not_follower_list(Event kind, PyObject* name) {
        document::Kind refused = document::Kind::number;
        if (kind == Event::other) {
            PyObject* const named[] = {names.string, names.boolean, names.null};
            const document::Kind kinds[] = {document::Kind::string, document::Kind::boolean,
                                            document::Kind::null};
            for (int i = 0; i < 3; ++i) {
                const int same = equals_str(name, named[i]);
                if (same < 0) PJ_FAIL(kBody);
                if (same) refused = kinds[i];
            }
        } else if (kind == Event::string) {
            refused = document::Kind::string;
        } else if (kind == Event::boolean) {
            refused = document::Kind::boolean;
        } else if (kind == Event::null) {
            refused = document::Kind::null;
        }
        document::raise_not_follower_list(refused);
        PJ_FAIL(kBody);
    }

    // Replace mode empties the model once, as late as possible: only when
    // the stream has proved to hold a chain table.
    int clear_once() {
        if (merging_ || cleared_) return 0;
        if (model::clear(chain_) < 0) PJ_FAIL(kBody);
        cleared_ = true;
        return 0;
    }

    // One (start, follower, count) to chain.add_to_bag.  Everything the
    // document can get wrong is checked before a replace-mode clear.
    int hand_over(PyObject* follower, PyObject* count) {
        if (!merging_ && !cleared_) {
            // The first pair of a replace: the method must be there before
            // the model is emptied.
            Ref add_to_bag(PyObject_GetAttr(chain_, names.add_to_bag));
            if (!add_to_bag) PJ_FAIL(kBody);
            Ref start_code, handed;
            if (decode_pair(follower, start_code, handed) < 0 || clear_once() < 0) return -1;
            if (!call_with_count(add_to_bag.get(), start_code.get(), handed.get(), count))
                PJ_FAIL(kBody);
            return 0;
        }
        // Decoding runs no Python code, so looking the method up after it, in
        // one call that binds no method object, is the same as before it;
        // only when both fail must the missing method be what is raised.
        Ref start_code, handed;
        if (decode_pair(follower, start_code, handed) < 0) {
            PyObject *type, *value, *tb;
            PyErr_Fetch(&type, &value, &tb);
            Ref add_to_bag(PyObject_GetAttr(chain_, names.add_to_bag));
            if (add_to_bag) {
                PyErr_Restore(type, value, tb);  // its entry is added
                return -1;
            }
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            PJ_FAIL(kBody);
        }
        if (!call_method_with_count(chain_, names.add_to_bag, start_code.get(), handed.get(),
                                    count))
            PJ_FAIL(kBody);
        return 0;
    }

    // The start code and what add_to_bag is handed for `follower`: the
    // decoding generator in a compressed document, the follower itself in a
    // plain one.  -1 with the traceback entry added.
    int decode_pair(PyObject* follower, Ref& start_code, Ref& handed) {
        if (codes_ && PyDict_GET_SIZE(codes_.get()) > 0) {
            start_code = document::decode(codes_.get(), ranks_.get(), start_.get());
            if (!start_code) PJ_FAIL(kBody);
            handed = new_decode_generator(follower, codes_.get(), ranks_.get());
            if (!handed) PJ_FAIL(kBody);
        } else {
            // The model keeps the follower as built: equal codes in it
            // become one object, bounded by the distinct codes.  Only what
            // reaches the model is kept here, in a dict (whose str hash the
            // interpreter seeds per process).
            if (shared_.share_list(follower) < 0) PJ_FAIL(kBody);
            start_code = Ref::borrow(start_.get());
            handed = Ref::borrow(follower);
        }
        return 0;
    }

    PyObject* chain_;  // borrowed from the caller for the call
    const bool merging_;
    Assembler& builder_;
    Ref codes_;  // the decoding map; empty Ref until a code table closed
    Ref ranks_;  // its rank index (document::rank_index)
    Ref start_{Ref::borrow(Py_None)};
    Ref last_key_;
    Ref follower_;          // the follower waiting for its count
    Ref pending_follower_;  // a complete pair waiting for the next event
    Ref pending_count_;
    document::SharedCodes shared_;  // equal codes of handed-over followers, kept once
    Py_ssize_t depth_ = 0;
    Py_ssize_t item_depth_ = 0;  // depth just inside the follower being assembled
    size_t chain_pos_ = 0;       // direct elements of the chain table seen so far
    size_t bag_pos_ = 0;         // elements of the current follower list seen so far
    State state_ = State::idle;
    ChainSeen chain_seen_ = ChainSeen::not_yet;
    bool cleared_ = false;
    SignalCheck signals_;
};

// ===========================================================================
// The parser's own event stream
// ===========================================================================

// Sorts an event by its name with exactly these comparisons, in this
// order (a name that is no exact str runs Python code for each of them):
// the two prefix tests, then one name test.  0, or -1 on failure.
int classify(PyObject* name, Event* kind) {
    const int opens = starts_with(name, names.start_prefix);
    if (opens < 0) PJ_FAIL(kBody);
    const int closes = starts_with(name, names.end_prefix);
    if (closes < 0) PJ_FAIL(kBody);
    if (opens) {
        const int array = equals_str(name, names.start_array);
        if (array < 0) PJ_FAIL(kBody);
        *kind = array ? Event::start_array : Event::start_other;
    } else if (closes) {
        const int array = equals_str(name, names.end_array);
        if (array < 0) PJ_FAIL(kBody);
        *kind = array ? Event::end_array : Event::end_other;
    } else {
        const int key = equals_str(name, names.map_key);
        if (key < 0) PJ_FAIL(kBody);
        *kind = key ? Event::map_key : Event::other;
    }
    return 0;
}

// ijson.parse(file) drawn to its end through an ObjectBuilder().
int read_events(PyObject* chain, bool merging, PyObject* file) {
    Ref parser = call_global_attr(names.ijson, names.parse, file);
    if (!parser) PJ_FAIL(kBody);
    Ref builder_class = lookup_global(names.ObjectBuilder);
    if (!builder_class) PJ_FAIL(kBody);
    Ref builder_object = call0(builder_class.get());
    if (!builder_object) PJ_FAIL(kBody);
    Ref events(PyObject_GetIter(parser.get()));
    if (!events) PJ_FAIL(kBody);
    PythonBuilder builder(std::move(builder_object));
    ChainReader reader(chain, merging, builder);
    Ref item;
    for (;;) {
        const int got = next_item(events.get(), item);
        if (got < 0) PJ_FAIL(kBody);
        if (got == 0) break;
        Ref triple[3];  // prefix, event, value
        if (unpack(item.get(), 3, triple) < 0) PJ_FAIL(kBody);
        // The event exists, so the pending count is whole: the pair goes
        // over before the event's name is compared, because a name that is
        // no exact str runs Python code in the comparisons.
        if (reader.flush_pending() < 0) return -1;
        Event kind;
        if (classify(triple[1].get(), &kind) < 0) return -1;
        if (reader.event(kind, triple[1].get(), triple[2].get()) < 0) return -1;
    }
    return reader.finish();
}

// The same document parsed by the compiled source.
int read_compiled(PyObject* chain, bool merging, PyObject* source) {
    CompiledBuilder builder;
    ChainReader reader(chain, merging, builder);
    if (streaming::parse_compiled(source, reader, kBody) < 0) return -1;
    return reader.finish();
}

}  // namespace

int init_load_json_big() { return init_decode_generator(); }

void bind_load_json_big() { streaming::remember_parser_bindings(); }

// load_json_big(chain, file, merge=False)
PyObject* load_json_big(PyObject* chain, PyObject* file, PyObject* merge) {
    const int merging = PyObject_IsTrue(merge);
    if (merging < 0) PJ_FAIL(kBody);
    Ref source;
    const int compiled = streaming::open_compiled(file, source);
    if (compiled < 0) PJ_FAIL(kBody);
    const int read = compiled ? read_compiled(chain, merging != 0, source.get())
                              : read_events(chain, merging != 0, file);
    if (read < 0) return nullptr;  // its entry is added where it failed
    Py_RETURN_NONE;
}

}  // namespace pjson
