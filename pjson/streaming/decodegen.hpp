// The lazy decoding generator the streaming reader hands to add_to_bag for
// a compressed follower.
#pragma once

#include "common.hpp"

namespace pjson {

// A generator over `follower` that yields codes[x] for each element x as
// it is drawn, through the rank index `ranks` of `codes` (see
// document::decode).  The follower list and the decoding map are bound now,
// so a model that keeps the generator and draws it later still gets the
// codes of the follower it was made for.
Ref new_decode_generator(PyObject* follower, PyObject* codes, PyObject* ranks);

// Readies the generator type and registers it as a
// collections.abc.Generator; safe to call again after a failure.  0, or -1
// with an exception set.
int init_decode_generator();

}  // namespace pjson
