// What the streaming reader receives from either event source: the kind of
// each parser event, and the interface both sources feed.
#pragma once

#include "common.hpp"

namespace pjson::streaming {

// The kinds of parser event the reader tells apart.  The compiled source
// knows every event exactly; the parser's own event stream is classified
// only as far as the reader compares event names (the opening and closing
// of arrays, other openings and closings, member names, and everything
// else): each comparison may run Python code, so it makes no more of them.
enum class Event : unsigned char {
    start_array,
    start_map,
    start_other,  // an event named "start_..." other than "start_array"
    end_array,
    end_map,
    end_other,  // an event named "end_..." other than "end_array"
    map_key,
    string,
    number,
    boolean,
    null,
    other,  // a value event from the parser's stream, known only by name
};

inline bool is_start(Event e) {
    return e == Event::start_array || e == Event::start_map || e == Event::start_other;
}

inline bool is_end(Event e) {
    return e == Event::end_array || e == Event::end_map || e == Event::end_other;
}

// Receives one event at a time.  `name` is the event's name object from the
// parser's stream, or nullptr from the compiled source; `value` is borrowed
// for the call.  Returns 0, or -1 with the exception set and the traceback
// entry added where it failed.
class EventSink {
public:
    virtual int event(Event kind, PyObject* name, PyObject* value) = 0;

protected:
    ~EventSink() = default;
};

}  // namespace pjson::streaming
