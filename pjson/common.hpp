// The common layer (common/, shared with the model module) under the names
// pjson uses: the owned reference, the calls, the signal checks, the
// version differences and the slots of collected types.
#pragma once

#include "../common/calls.hpp"
#include "../common/compat.hpp"
#include "../common/ref.hpp"
#include "../common/signals.hpp"
#include "../common/tuples.hpp"
#include "../common/types.hpp"

namespace pjson {

using common::call0;
using common::call1;
using common::call2;
using common::call_method0;
using common::call_method1;
using common::call_method2;
using common::collected_type;
using common::dict_lookup;
using common::next_item;
using common::raise_key_error;
using common::Ref;
using common::SignalCheck;
using common::text_ready;
using common::untrack_if_atomic;

}  // namespace pjson
