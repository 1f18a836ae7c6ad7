// The compiled event source of load_json_big: the same yajl library the
// bound cffi backend loads, driven directly, reading the file exactly as
// that backend's parse() would.
#pragma once

#include "failure.hpp"
#include "streaming/events.hpp"

namespace pjson::streaming {

// Remembers the parser backend, its parse function and ObjectBuilder as
// the module bound them at import.  Never fails: when the backend is not
// the cffi one, or lacks what the compiled source mirrors, the compiled
// source is simply never used.
void remember_parser_bindings();

// Prepares a compiled parse of `file`: 1 with `source` set (the file as
// the backend would read it), 0 when the reader must use the parser's own
// event stream (module-level names or the backend's helpers rebound, the
// backend's yajl functions not established, a source the backend would not
// read as a file), -1 with an exception set (the first load's library
// lookup included: the next load looks again).
int open_compiled(PyObject* file, Ref& source);

// Parses `source` to its end, handing every event to `sink`; every string
// is a new object, kept only as long as the sink keeps it.  Returns 0, or
// -1 with the exception set (the parser's own exception class and
// message, the error of a read, or whatever `sink` raised) and its
// traceback entry added: the sink's own, or one under `frame` where this
// source failed.
int parse_compiled(PyObject* source, EventSink& sink, const Frame& frame);

}  // namespace pjson::streaming
