"""The two writers written in Python, the obvious way.

The writer-path tests require the native writers to make the same calls
on the model, the JSON library and math.log10, and to write the same
pieces, as these.
"""

import pavro_cjson


def ranked_codes(chain):
    """(rank, code, code text, stands for itself) in rank order."""
    items = chain.build_frequency_dict().items()
    for rank, item in enumerate(sorted(items, key=lambda item: -item[1])):
        code = item[0]
        value = pavro_cjson.json.dumps(code)
        itself = (rank > 9 and value.startswith('"')
                  and int(pavro_cjson.math.log10(rank)) + 1 >= len(value))
        yield rank, code, value, itself


def reference_dump_small(chain, file, compress):
    codes, codes_list = {}, []
    if compress:
        for rank, code, _, itself in ranked_codes(chain):
            codes[code] = code if itself else rank
            codes_list += [codes[code], code]

    def gen_next_start(choices):
        for val, cnt in choices:
            yield tuple(codes[x] for x in val) if compress else val
            yield cnt

    def gen_chain():
        for start, bag in chain.items():
            yield codes[start] if compress else start
            yield tuple(gen_next_start(bag.choices()))

    dump = pavro_cjson.json.dump
    document = pavro_cjson.OrderedDict((("codes", codes_list), ("chain", tuple(gen_chain()))))
    dump(document, file)


def count_text(count):
    if type(count) is int:
        return str(count)
    if isinstance(count, int) and not isinstance(count, bool):
        return int.__repr__(count)
    return pavro_cjson.json.dumps(count)


def reference_dump_big(chain, file, compress):
    file.write('{"codes":[')
    codes = {}
    if compress:
        for rank, code, value, itself in ranked_codes(chain):
            codes[code] = value if itself else rank
            file.write("{}{},{}".format("," if rank else "", codes[code], value))
    file.write('],"chain":[')
    for index, (start, bag) in enumerate(chain.items()):
        text = "{}".format(codes[start]) if compress else pavro_cjson.json.dumps(start)
        file.write("{}{},[".format("," if index else "", text))
        for number, (follower, count) in enumerate(bag.choices()):
            comma = "," if number else ""
            if compress:
                tokens = [codes[x] for x in follower]
                file.write(comma + "[" + ",".join("{}".format(t) for t in tokens) + "]")
            else:
                file.write(comma + pavro_cjson.json.dumps(follower))
            file.write("," + count_text(count))
        file.write("]")
    file.write("]}")
