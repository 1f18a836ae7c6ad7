// Creating the interned names.
#include "names.hpp"

#include "../common/names.hpp"

namespace pjson {

Names names;

// Creates every interned string once; later calls find them in place.
int init_names() {
    if (names.json != nullptr) return 0;
    const common::NameEntry table[] = {
        {&names.json, "json"},
        {&names.math, "math"},
        {&names.OrderedDict, "OrderedDict"},
        {&names.ObjectBuilder, "ObjectBuilder"},
        {&names.ProbabilityBag, "ProbabilityBag"},
        {&names.ijson, "ijson"},
        {&names.sorted, "sorted"},
        {&names.dump, "dump"},
        {&names.dumps, "dumps"},
        {&names.load, "load"},
        {&names.log10, "log10"},
        {&names.parse, "parse"},
        {&names.event, "event"},
        {&names.value, "value"},
        {&names.items, "items"},
        {&names.choices, "choices"},
        {&names.build_frequency_dict, "build_frequency_dict"},
        {&names.clear, "clear"},
        {&names.add_to_bag, "add_to_bag"},
        {&names.set_bag, "set_bag"},
        {&names.add, "add"},
        {&names.write, "write"},
        {&names.startswith, "startswith"},
        {&names.key, "key"},
        {&names.count, "count"},
        {&names.file, "file"},
        {&names.frequency_compress, "frequency_compress"},
        {&names.merge, "merge"},
        {&names.codes, "codes"},
        {&names.chain, "chain"},
        {&names.start_array, "start_array"},
        {&names.end_array, "end_array"},
        {&names.map_key, "map_key"},
        {&names.start_map, "start_map"},
        {&names.string, "string"},
        {&names.boolean, "boolean"},
        {&names.null, "null"},
        {&names.start_prefix, "start_"},
        {&names.end_prefix, "end_"},
        {&names.comma, ","},
        {&names.head, "{\"codes\":["},
        {&names.middle, "],\"chain\":["},
        {&names.tail, "]}"},
        {&names.open_list, "["},
        {&names.comma_open, ",["},
        {&names.close_list, "]"},
        {&names.format_spec, ""},
    };
    if (common::intern_all(table) < 0) return -1;
    names.count_kwnames = PyTuple_Pack(1, names.count);
    if (names.count_kwnames == nullptr) return -1;
    return 0;
}

}  // namespace pjson
