// Building and comparing str objects.
#pragma once

#include "common.hpp"

#include <cstddef>

namespace pjson {

// One part of a text being joined: a str (exact or a subclass, read as
// stored, borrowed until the join), or a run of ASCII characters held in
// place, such as a number's digits.
struct TextPart {
    PyObject* text = nullptr;  // nullptr: the characters below
    char chars[24];            // a long long needs at most 20
    unsigned size = 0;

    static TextPart of(PyObject* text) {
        TextPart part;
        part.text = text;
        return part;
    }
    // The decimal digits of `number`.
    static TextPart digits(long long number);
};

// The parts joined into one exact str, made with one allocation.
Ref join_texts(const TextPart* parts, size_t n);

// prefix + the decimal digits of `value`, an exact str; `prefix` is ASCII.
Ref decimal_text(const char* prefix, long long value);

// str equality with a fast path for exact str objects; -1 on error.
int equals_str(PyObject* obj, PyObject* interned);
// obj.startswith(prefix), fast for exact str; -1 on error.
int starts_with(PyObject* obj, PyObject* prefix);

}  // namespace pjson
