// Streaming writer: one file.write per piece while the model is walked, so
// memory follows the number of distinct codes, never the document's size.
// Separators go by position (a comma before every unit but the first), so
// the text stays valid whatever len() or unique_count a model reports.
#include "document/document.hpp"
#include "failure.hpp"
#include "functions.hpp"
#include "globals.hpp"
#include "module/model.hpp"
#include "names.hpp"
#include "protocols.hpp"
#include "texts.hpp"

#include <charconv>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

namespace pjson {

namespace {

constexpr Frame kBody = kDumpBigFrame;
constexpr Frame kWriteStart{"pavro_cjson.dump_json_big.write_start"};
constexpr Frame kWriteNextStart{"pavro_cjson.dump_json_big.write_next_start"};
constexpr Frame kGenexpr{"genexpr"};
constexpr Frame kSortKeyFrame{"pavro_cjson.dump_json_big.lambda4"};

// The key the code table is ranked with, made by init_dump_json_big.
document::SortKey sort_key{document::negated_occurrences_as<kSortKeyFrame>};

// file.write(piece), the method looked up anew for every piece.
int write_piece(PyObject* file, PyObject* piece) {
    return call_method1(file, names.write, piece) ? 0 : -1;
}

// Refuses a code text that is not a str: written into the document it
// would corrupt it (bytes, None) or silently change the code (an int).
Ref require_text(Ref text) {
    if (text && !PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "json.dumps() returned %.200s, not str",
                     Py_TYPE(text.get())->tp_name);
        return Ref();
    }
    return text;
}

// json.dumps(value) through the module-level json; always a str.
Ref dumps(PyObject* value) {
    return require_text(call_global_attr(names.json, names.dumps, value));
}

// "{}".format(value): exact str and int skip the format machinery.
Ref format_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value)) return Ref(PyObject_Str(value));
    return Ref(PyObject_Format(value, names.format_spec));
}

// A count's text: an int (not a bool) as its decimal digits, anything else
// as the library writes it, so every count is valid JSON and matches what
// the whole-document writer produces for it.
Ref count_text(PyObject* count) {
    if (PyLong_CheckExact(count)) return Ref(PyObject_Str(count));
    if (PyLong_Check(count) && !PyBool_Check(count)) {
        return Ref(PyLong_Type.tp_repr(count));  // digits, whatever str() says
    }
    return dumps(count);
}

// "," + the count's text.  Most counts are machine-sized ints, spelled
// straight into the piece.
Ref count_piece(PyObject* count) {
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(count, &overflow);
        if (overflow == 0) return decimal_text(",", value);
    }
    Ref text = count_text(count);
    if (!text) return Ref();
    const TextPart parts[] = {TextPart::of(names.comma), TextPart::of(text.get())};
    return join_texts(parts, 2);
}

// A token as a piece needs it: an exact int (a rank number, nearly always)
// kept as its value, read while the table still holds it; anything else
// held strongly and later replaced by its "{}".format text.
struct Token {
    Ref text;
    long long number = 0;
};

// One piece assembled from texts and integers with a single allocation.
class Piece {
public:
    void clear() { parts_.clear(); }
    // `text` is borrowed: it must stay alive until build().
    int add(PyObject* text) { return push(TextPart::of(text)); }
    int add(long long number) { return push(TextPart::digits(number)); }
    int add(const Token& token) {
        return token.text ? add(token.text.get()) : add(token.number);
    }

    Ref build() const { return join_texts(parts_.data(), parts_.size()); }

private:
    int push(const TextPart& part) {
        try {
            parts_.push_back(part);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    std::vector<TextPart> parts_;
};

// codes[key] as a Token; a miss raises KeyError(key).
int lookup_token(PyObject* codes, PyObject* key, Token& token) {
    PyObject* found = PyDict_GetItemWithError(codes, key);  // borrowed
    if (found == nullptr) {
        if (!PyErr_Occurred()) raise_key_error(key);
        return -1;
    }
    if (PyLong_CheckExact(found)) {
        int overflow = 0;
        token.number = PyLong_AsLongLongAndOverflow(found, &overflow);
        if (overflow == 0) {  // an exact int's value: its str() is its digits
            token.text.reset();
            return 0;
        }
    }
    token.text = Ref::borrow(found);
    return 0;
}

// Replaces a held token by its "{}".format text.
int format_token(Token& token) {
    if (!token.text) return 0;
    Ref text = format_text(token.text.get());
    if (!text) return -1;
    token.text = std::move(text);
    return 0;
}

class BigWriter {
public:
    BigWriter(PyObject* file, PyObject* codes) : file_(file), codes_(codes) {}

    // The opening piece of a chain entry: [","] token-or-code ",["
    int write_start(PyObject* start, bool first) {
        piece_.clear();
        if (!first && piece_.add(names.comma) < 0) PJ_FAIL(kWriteStart);
        Token token;
        if (codes_ != nullptr) {
            if (lookup_token(codes_, start, token) < 0 || format_token(token) < 0)
                PJ_FAIL(kWriteStart);
        } else {
            token.text = dumps(start);
            if (!token.text) PJ_FAIL(kWriteStart);
        }
        if (piece_.add(token) < 0 || piece_.add(names.comma_open) < 0) PJ_FAIL(kWriteStart);
        Ref piece = piece_.build();
        if (!piece || write_piece(file_, piece.get()) < 0) PJ_FAIL(kWriteStart);
        return 0;
    }

    // One follower: [","] "[" tokens joined by "," "]", or [","] dumps(follower).
    int write_next_start(PyObject* next_start, bool first) {
        Ref piece;
        if (codes_ != nullptr) {
            if (follower_tokens(next_start) < 0) PJ_FAIL(kWriteNextStart);
            piece = follower_piece(first ? names.open_list : names.comma_open);
            if (!piece) PJ_FAIL(kWriteNextStart);
        } else {
            Ref text = dumps(next_start);
            if (!text) PJ_FAIL(kWriteNextStart);
            const TextPart parts[] = {TextPart::of(names.comma), TextPart::of(text.get())};
            piece = first ? std::move(text) : join_texts(parts, 2);
            if (!piece) PJ_FAIL(kWriteNextStart);
        }
        if (write_piece(file_, piece.get()) < 0) PJ_FAIL(kWriteNextStart);
        return 0;
    }

private:
    // codes[x] for x in next_start, into tokens_; every lookup is done
    // before any token is formatted, and both before the write.  The
    // lookups have a traceback entry of their own, inside the caller's.
    int follower_tokens(PyObject* next_start) {
        tokens_.clear();
        SignalCheck signals;
        if (PyTuple_CheckExact(next_start)) {
            // Immutable: index it directly; lookups cannot change it.
            const Py_ssize_t n = PyTuple_GET_SIZE(next_start);
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (keep_token(PyTuple_GET_ITEM(next_start, i)) < 0) PJ_FAIL(kGenexpr);
                if (signals.tick() < 0) PJ_FAIL(kGenexpr);
            }
        } else {
            Ref iterator(PyObject_GetIter(next_start));
            if (!iterator) PJ_FAIL(kGenexpr);
            Ref element;
            for (;;) {
                const int got = next_item(iterator.get(), element);
                if (got < 0) PJ_FAIL(kGenexpr);
                if (got == 0) break;
                if (keep_token(element.get()) < 0) PJ_FAIL(kGenexpr);
                if (signals.tick() < 0) PJ_FAIL(kGenexpr);
            }
        }
        for (Token& token : tokens_) {
            if (format_token(token) < 0) PJ_FAIL(kGenexpr);
        }
        return 0;
    }

    int keep_token(PyObject* element) {
        try {
            tokens_.emplace_back();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        return lookup_token(codes_, element, tokens_.back());
    }

    // open + tokens_ joined by "," + "]"
    Ref follower_piece(PyObject* open) {
        piece_.clear();
        if (piece_.add(open) < 0) return Ref();
        for (size_t i = 0; i < tokens_.size(); ++i) {
            if (i > 0 && piece_.add(names.comma) < 0) return Ref();
            if (piece_.add(tokens_[i]) < 0) return Ref();
        }
        if (piece_.add(names.close_list) < 0) return Ref();
        return piece_.build();
    }

    PyObject* file_;   // borrowed from the caller for the call
    PyObject* codes_;  // borrowed; nullptr when writing a plain document
    // Reused for every piece, so the hot loop allocates nothing but the
    // piece itself.
    std::vector<Token> tokens_;  // the current follower's tokens
    Piece piece_;
};

// The code table's pairs, ranked; fills `codes` with code -> token, where
// a code standing for itself has its JSON text as token.
int write_code_table(PyObject* chain, PyObject* file, PyObject* codes) {
    Ref freq_dict = model::frequency_items(chain);
    if (!freq_dict) return -1;
    Ref sorted = document::sort_by_frequency(freq_dict.get(), sort_key);
    if (!sorted) return -1;
    document::Ranking ranking(std::move(sorted));
    SignalCheck signals;
    for (;;) {
        const int got = ranking.next();
        if (got < 0) return -1;
        if (got == 0) break;
        const bool itself = ranking.stands_for_itself();
        Ref w_code = itself ? Ref::borrow(ranking.text()) : ranking.rank_number();
        if (!w_code || PyDict_SetItem(codes, ranking.code(), w_code.get()) < 0) return -1;
        Ref value_text = require_text(Ref::borrow(ranking.text()));
        if (!value_text) return -1;
        Ref token_text = itself ? format_text(w_code.get()) : ranking.rank_text();
        if (!token_text) return -1;
        const TextPart parts[] = {TextPart::of(names.comma), TextPart::of(token_text.get()),
                                  TextPart::of(names.comma), TextPart::of(value_text.get())};
        Ref piece = ranking.rank() == 0 ? join_texts(parts + 1, 3) : join_texts(parts, 4);
        if (!piece || write_piece(file, piece.get()) < 0) return -1;
        if (signals.tick() < 0) return -1;
    }
    return 0;
}

}  // namespace

int init_dump_json_big() { return sort_key.make(); }

// dump_json_big(chain, file, frequency_compress=True)
PyObject* dump_json_big(PyObject* chain, PyObject* file, PyObject* frequency_compress) {
    if (write_piece(file, names.head) < 0) PJ_FAIL(kBody);
    const int compressed = PyObject_IsTrue(frequency_compress);
    if (compressed < 0) PJ_FAIL(kBody);
    Ref codes;
    if (compressed) {
        codes = Ref(PyDict_New());
        if (!codes) PJ_FAIL(kBody);
        if (write_code_table(chain, file, codes.get()) < 0) PJ_FAIL(kBody);
    }
    BigWriter writer(file, codes.get());
    if (write_piece(file, names.middle) < 0) PJ_FAIL(kBody);

    Ref entries = model::entries(chain);
    if (!entries) PJ_FAIL(kBody);
    Ref iterator(PyObject_GetIter(entries.get()));
    if (!iterator) PJ_FAIL(kBody);
    Ref item, choice;
    SignalCheck signals;
    for (bool first_entry = true;; first_entry = false) {
        // Nothing holds the last pair while the next is drawn: a dict's
        // item iterator then hands out its own pair tuple again.
        item.reset();
        int got = next_item(iterator.get(), item);
        if (got < 0) PJ_FAIL(kBody);
        if (got == 0) break;
        Ref parts[2];  // start, bag
        if (unpack(item.get(), 2, parts) < 0) PJ_FAIL(kBody);
        if (writer.write_start(parts[0].get(), first_entry) < 0) PJ_FAIL(kBody);
        Ref choices = model::choices(parts[1].get());
        if (!choices) PJ_FAIL(kBody);
        Ref choice_iterator(PyObject_GetIter(choices.get()));
        if (!choice_iterator) PJ_FAIL(kBody);
        for (bool first_choice = true;; first_choice = false) {
            choice.reset();
            got = next_item(choice_iterator.get(), choice);
            if (got < 0) PJ_FAIL(kBody);
            if (got == 0) break;
            Ref pair[2];  // next_start, count
            if (unpack(choice.get(), 2, pair) < 0) PJ_FAIL(kBody);
            if (writer.write_next_start(pair[0].get(), first_choice) < 0) PJ_FAIL(kBody);
            Ref piece = count_piece(pair[1].get());
            if (!piece || write_piece(file, piece.get()) < 0) PJ_FAIL(kBody);
            if (signals.tick() < 0) PJ_FAIL(kBody);
        }
        if (write_piece(file, names.close_list) < 0) PJ_FAIL(kBody);
        if (signals.tick() < 0) PJ_FAIL(kBody);
    }
    if (write_piece(file, names.tail) < 0) PJ_FAIL(kBody);
    Py_RETURN_NONE;
}

}  // namespace pjson
