// The interned names: every str the module looks up, compares or writes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pjson {

// Every string the hot paths look up or compare, created once at import so
// that attribute lookups hit the interned fast path and no loop builds the
// same string twice.
struct Names {
    // module-level names
    PyObject* json;
    PyObject* math;
    PyObject* OrderedDict;
    PyObject* ObjectBuilder;
    PyObject* ProbabilityBag;
    PyObject* ijson;
    PyObject* sorted;
    // attributes and methods
    PyObject* dump;
    PyObject* dumps;
    PyObject* load;
    PyObject* log10;
    PyObject* parse;
    PyObject* event;
    PyObject* value;
    PyObject* items;
    PyObject* choices;
    PyObject* build_frequency_dict;
    PyObject* clear;
    PyObject* add_to_bag;
    PyObject* set_bag;
    PyObject* add;
    PyObject* write;
    PyObject* startswith;
    PyObject* key;
    PyObject* count;
    // parameter names
    PyObject* file;
    PyObject* frequency_compress;
    PyObject* merge;
    // document members
    PyObject* codes;
    PyObject* chain;
    // parser event names
    PyObject* start_array;
    PyObject* end_array;
    PyObject* map_key;
    PyObject* start_map;
    PyObject* string;
    PyObject* boolean;
    PyObject* null;
    PyObject* start_prefix;  // "start_"
    PyObject* end_prefix;    // "end_"
    // literal pieces of the streaming writer
    PyObject* comma;
    PyObject* head;         // {"codes":[
    PyObject* middle;       // ],"chain":[
    PyObject* tail;         // ]}
    PyObject* open_list;    // [
    PyObject* comma_open;   // ,[
    PyObject* close_list;   // ]
    PyObject* format_spec;   // "" for format(x, "")
    PyObject* count_kwnames; // ("count",)
};

extern Names names;

// Creates the interned names; safe to call more than once.
int init_names();

}  // namespace pjson
