// Streaming writer: one file.write per piece while the model is walked, so
// memory follows the number of distinct codes, never the document's size.
// Separators go by position (a comma before every unit but the first), so
// the text stays valid whatever len() or unique_count a model reports.
#include "document/document.hpp"
#include "functions.hpp"
#include "module/model.hpp"

#include <new>
#include <vector>

namespace pjson {

namespace {

constexpr Frame kBody = kDumpBigFrame;
constexpr Frame kWriteStart{"pavro_cjson.dump_json_big.write_start"};
constexpr Frame kWriteNextStart{"pavro_cjson.dump_json_big.write_next_start"};
constexpr Frame kGenexpr{"genexpr"};

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
    Ref json = lookup_global(names.json);
    if (!json) return Ref();
    Ref method(PyObject_GetAttr(json.get(), names.dumps));
    if (!method) return Ref();
    return require_text(call1(method.get(), value));
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
    PyObject* parts[] = {names.comma, text.get()};
    return concat_texts(parts, 2);
}

// The rank numbers' texts, made once while the code table is written:
// texts[r] is the text of rank number r, or empty where the code of rank r
// stands for itself.
using RankTexts = std::vector<Ref>;

class BigWriter {
public:
    BigWriter(PyObject* file, PyObject* codes, RankTexts rank_texts)
        : file_(file), codes_(codes), rank_texts_(std::move(rank_texts)) {}

    // The opening piece of a chain entry: [","] token-or-code ",["
    int write_start(PyObject* start, bool first) {
        Ref text;
        if (codes_ != nullptr) {
            Ref token = dict_lookup(codes_, start);
            if (!token) PJ_FAIL(kWriteStart);
            text = token_text(token.get());
        } else {
            text = dumps(start);
        }
        if (!text) PJ_FAIL(kWriteStart);
        PyObject* parts[] = {names.comma, text.get(), names.comma_open};
        Ref piece = first ? concat_texts(parts + 1, 2) : concat_texts(parts, 3);
        if (!piece || write_piece(file_, piece.get()) < 0) PJ_FAIL(kWriteStart);
        return 0;
    }

    // One follower: [","] "[" tokens joined by "," "]", or [","] dumps(follower).
    int write_next_start(PyObject* next_start, bool first) {
        Ref piece;
        if (codes_ != nullptr) {
            if (token_texts(next_start) < 0) {
                kGenexpr.fail(__LINE__);  // the lookups' own entry, inside ours
                PJ_FAIL(kWriteNextStart);
            }
            piece = joined_piece(first ? names.open_list : names.comma_open);
            if (!piece) PJ_FAIL(kWriteNextStart);
        } else {
            Ref text = dumps(next_start);
            if (!text) PJ_FAIL(kWriteNextStart);
            PyObject* parts[] = {names.comma, text.get()};
            piece = first ? std::move(text) : concat_texts(parts, 2);
            if (!piece) PJ_FAIL(kWriteNextStart);
        }
        if (write_piece(file_, piece.get()) < 0) PJ_FAIL(kWriteNextStart);
        return 0;
    }

private:
    // str(codes[x]) for x in next_start, into texts_; every lookup is done
    // before any token is turned into text, and both before the write.
    int token_texts(PyObject* next_start) {
        texts_.clear();
        SignalCheck signals;
        if (PyTuple_CheckExact(next_start)) {
            // Immutable: index it directly; lookups cannot change it.
            const Py_ssize_t n = PyTuple_GET_SIZE(next_start);
            for (Py_ssize_t i = 0; i < n; ++i) {
                Ref token = dict_lookup(codes_, PyTuple_GET_ITEM(next_start, i));
                if (!token || keep(std::move(token)) < 0) return -1;
                if (signals.tick() < 0) return -1;
            }
        } else {
            Ref iterator(PyObject_GetIter(next_start));
            if (!iterator) return -1;
            Ref element;
            for (;;) {
                const int got = next_item(iterator.get(), element);
                if (got < 0) return -1;
                if (got == 0) break;
                Ref token = dict_lookup(codes_, element.get());
                if (!token || keep(std::move(token)) < 0) return -1;
                if (signals.tick() < 0) return -1;
            }
        }
        for (Ref& token : texts_) {
            Ref text = token_text(token.get());
            if (!text) return -1;
            token = std::move(text);
        }
        return 0;
    }

    // "{}".format(token): a rank number's text comes ready from the code
    // table; anything else in the table (a code standing for itself) is
    // formatted as it stands.
    Ref token_text(PyObject* token) const {
        if (PyLong_CheckExact(token)) {
            int overflow = 0;
            const long long rank = PyLong_AsLongLongAndOverflow(token, &overflow);
            if (overflow == 0 && rank >= 0 &&
                static_cast<unsigned long long>(rank) < rank_texts_.size() &&
                rank_texts_[static_cast<size_t>(rank)]) {
                return Ref::borrow(rank_texts_[static_cast<size_t>(rank)].get());
            }
        }
        return format_text(token);
    }

    int keep(Ref text) {
        try {
            texts_.push_back(std::move(text));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        return 0;
    }

    // open + texts_ joined by "," + "]", in one allocation.
    Ref joined_piece(PyObject* open) {
        try {
            parts_.clear();
            parts_.push_back(open);
            for (const Ref& text : texts_) {
                if (parts_.size() > 1) parts_.push_back(names.comma);
                parts_.push_back(text.get());
            }
            parts_.push_back(names.close_list);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return Ref();
        }
        return concat_texts(parts_.data(), static_cast<Py_ssize_t>(parts_.size()));
    }

    PyObject* file_;   // borrowed from the caller for the call
    PyObject* codes_;  // borrowed; nullptr when writing a plain document
    RankTexts rank_texts_;
    // Reused for every follower, so the hot loop allocates nothing but the
    // piece itself.
    std::vector<Ref> texts_;           // the current follower's token texts
    std::vector<PyObject*> parts_;     // borrowed from texts_ and names
};

// The code table's pairs, ranked; fills `codes` with code -> token, where
// a code standing for itself has its JSON text as token, and `rank_texts`
// with the text of every rank number used.
int write_code_table(PyObject* chain, PyObject* file, PyObject* codes, RankTexts& rank_texts) {
    Ref freq_dict = model::frequency_items(chain);
    if (!freq_dict) return -1;
    Ref sorted = document::sort_by_frequency(freq_dict.get(), document::Writer::streaming);
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
        try {
            rank_texts.push_back(itself ? Ref() : Ref::borrow(token_text.get()));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        PyObject* parts[] = {names.comma, token_text.get(), names.comma, value_text.get()};
        Ref piece = ranking.rank() == 0 ? concat_texts(parts + 1, 3) : concat_texts(parts, 4);
        if (!piece || write_piece(file, piece.get()) < 0) return -1;
        if (signals.tick() < 0) return -1;
    }
    return 0;
}

}  // namespace

// dump_json_big(chain, file, frequency_compress=True)
PyObject* dump_json_big(PyObject* chain, PyObject* file, PyObject* frequency_compress) {
    if (write_piece(file, names.head) < 0) PJ_FAIL(kBody);
    const int compressed = PyObject_IsTrue(frequency_compress);
    if (compressed < 0) PJ_FAIL(kBody);
    Ref codes;
    RankTexts rank_texts;
    if (compressed) {
        codes = Ref(PyDict_New());
        if (!codes) PJ_FAIL(kBody);
        if (write_code_table(chain, file, codes.get(), rank_texts) < 0) PJ_FAIL(kBody);
    }
    BigWriter writer(file, codes.get(), std::move(rank_texts));
    if (write_piece(file, names.middle) < 0) PJ_FAIL(kBody);

    Ref entries = model::entries(chain);
    if (!entries) PJ_FAIL(kBody);
    Ref iterator(PyObject_GetIter(entries.get()));
    if (!iterator) PJ_FAIL(kBody);
    Ref item, choice;
    SignalCheck signals;
    for (bool first_entry = true;; first_entry = false) {
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
