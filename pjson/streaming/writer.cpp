// Streaming writer: one file.write per piece while the model is walked, so
// memory follows the number of distinct codes, never the document's size.
// Separators go by position (a comma before every unit but the first), so
// the text stays valid whatever len() or unique_count a model reports.
#include "document/document.hpp"
#include "functions.hpp"
#include "module/model.hpp"

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

// prefix + text + suffix; prefix and suffix are interned literals and
// either may be nullptr.
Ref join3(PyObject* prefix, PyObject* text, PyObject* suffix) {
    Ref body = prefix != nullptr ? Ref(PyUnicode_Concat(prefix, text)) : Ref::borrow(text);
    if (!body || suffix == nullptr) return body;
    return Ref(PyUnicode_Concat(body.get(), suffix));
}

class BigWriter {
public:
    BigWriter(PyObject* file, PyObject* codes) : file_(file), codes_(codes) {}

    // The opening piece of a chain entry: [","] token-or-code ",["
    int write_start(PyObject* start, bool first) const {
        Ref text;
        if (codes_ != nullptr) {
            Ref token = dict_lookup(codes_, start);
            if (!token) PJ_FAIL(kWriteStart);
            text = format_text(token.get());
        } else {
            text = dumps(start);
        }
        if (!text) PJ_FAIL(kWriteStart);
        Ref piece = join3(first ? nullptr : names.comma, text.get(), names.comma_open);
        if (!piece || write_piece(file_, piece.get()) < 0) PJ_FAIL(kWriteStart);
        return 0;
    }

    // One follower: [","] "[" tokens joined by "," "]", or [","] dumps(follower).
    int write_next_start(PyObject* next_start, bool first) const {
        Ref piece;
        if (codes_ != nullptr) {
            Ref text = joined_tokens(next_start);
            if (!text) PJ_FAIL(kWriteNextStart);
            piece = join3(first ? names.open_list : names.comma_open, text.get(),
                          names.close_list);
        } else {
            Ref text = dumps(next_start);
            if (!text) PJ_FAIL(kWriteNextStart);
            piece = join3(first ? nullptr : names.comma, text.get(), nullptr);
        }
        if (!piece || write_piece(file_, piece.get()) < 0) PJ_FAIL(kWriteNextStart);
        return 0;
    }

private:
    // ",".join(str(codes[x]) for x in next_start); every lookup is done
    // before anything of the follower is written.
    Ref joined_tokens(PyObject* next_start) const {
        Ref tokens = document::lookup_each(next_start, codes_);
        if (!tokens) PJ_FAIL(kGenexpr);
        const Py_ssize_t n = PyTuple_GET_SIZE(tokens.get());
        Ref texts(PyList_New(n));
        if (!texts) PJ_FAIL(kGenexpr);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref text = format_text(PyTuple_GET_ITEM(tokens.get(), i));
            if (!text) PJ_FAIL(kGenexpr);
            PyList_SET_ITEM(texts.get(), i, text.release());
        }
        return Ref(PyUnicode_Join(names.comma, texts.get()));
    }

    PyObject* file_;   // borrowed from the caller for the call
    PyObject* codes_;  // borrowed; nullptr when writing a plain document
};

// The code table's pairs, ranked; fills `codes` with code -> token, where
// a code standing for itself has its JSON text as token.
int write_code_table(PyObject* chain, PyObject* file, PyObject* codes) {
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
        Ref w_code = ranking.stands_for_itself() ? Ref::borrow(ranking.text())
                                                 : ranking.rank_number();
        if (!w_code || PyDict_SetItem(codes, ranking.code(), w_code.get()) < 0) return -1;
        Ref value_text = require_text(Ref::borrow(ranking.text()));
        if (!value_text) return -1;
        Ref token_text = format_text(w_code.get());
        if (!token_text) return -1;
        Ref piece(PyUnicode_FromFormat("%s%U,%U", ranking.rank() == 0 ? "" : ",",
                                       token_text.get(), value_text.get()));
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
            Ref text = count_text(pair[1].get());
            if (!text) PJ_FAIL(kBody);
            Ref piece = join3(names.comma, text.get(), nullptr);
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
