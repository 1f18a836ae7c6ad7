"""Both writers against a plain-Python rendition of what they do.

The native writers build their pieces and tuples directly and keep their
own texts for rank numbers; the renditions below do the same work the
obvious way.  Over the models the round-trip and streaming suites generate,
both must make the same calls on the model, the JSON library and
math.log10, in the same order and with the same arguments, hand json.dump
the same document (types included), and write the same pieces.
"""

import json
import math

import pytest
from hypothesis import given, settings

import pavro_cjson
from fakes import RecordingFile
from test_roundtrip import _json_libraries, chain_models
from test_streaming import ListModel, list_models


def shape(value):
    """`value` with every container's exact type spelled out."""
    if isinstance(value, (tuple, list)):
        return (type(value).__name__,) + tuple(shape(item) for item in value)
    if isinstance(value, dict):
        return (type(value).__name__,) + tuple((shape(k), shape(v)) for k, v in value.items())
    return (type(value).__name__, value)


class Recorder:
    """Stands in for the JSON library and for math; logs every call."""

    def __init__(self, library, log):
        self.library = library
        self.log = log

    def dumps(self, value):
        text = self.library.dumps(value)
        self.log.append(("dumps", shape(value), text))
        return text

    def dump(self, document, file):
        self.log.append(("dump", shape(document)))
        return self.library.dump(document, file)

    def log10(self, number):
        self.log.append(("log10", number))
        return math.log10(number)


class LoggedModel:
    """Passes a model through, logging the calls the writers make on it."""

    def __init__(self, model, log):
        self.model = model
        self.log = log

    def build_frequency_dict(self):
        self.log.append(("build_frequency_dict",))
        return self.model.build_frequency_dict()

    def items(self):
        self.log.append(("items",))
        return ((start, LoggedBag(bag, start, self.log)) for start, bag in self.model.items())


class LoggedBag:
    def __init__(self, bag, start, log):
        self.bag = bag
        self.start = start
        self.log = log

    def choices(self):
        self.log.append(("choices", shape(self.start)))
        return self.bag.choices()


# ---------------------------------------------------------------------------
# The renditions
# ---------------------------------------------------------------------------


def ranked_codes(chain):
    """(rank, code, code text, stands for itself) in rank order."""
    items = chain.build_frequency_dict().items()
    for rank, item in enumerate(sorted(items, key=lambda item: -item[1])):
        code = item[0]
        value = pavro_cjson.json.dumps(code)
        itself = (rank > 9 and value.startswith('"')
                  and int(pavro_cjson.math.log10(rank)) + 1 >= len(value))
        yield rank, code, value, itself


def reference_small(chain, file, compress):
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


def reference_big(chain, file, compress):
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


WRITERS = [
    pytest.param(pavro_cjson.dump_json_small, reference_small, id="dump_json_small"),
    pytest.param(pavro_cjson.dump_json_big, reference_big, id="dump_json_big"),
]


def run(write, model, compress, library):
    """Everything one writer does: its log and the pieces it writes."""
    log = []
    recorder = Recorder(library, log)
    saved = pavro_cjson.json, pavro_cjson.math
    pavro_cjson.json = pavro_cjson.math = recorder
    try:
        file = RecordingFile()
        write(LoggedModel(model, log), file, compress)
    finally:
        pavro_cjson.json, pavro_cjson.math = saved
    return log, file.pieces


def check_same(native, reference, model, compress, library):
    got = run(native, model, compress, library)
    expected = run(reference, model, compress, library)
    assert got == expected


@pytest.mark.parametrize("library", _json_libraries(), ids=lambda lib: lib.__name__)
@pytest.mark.parametrize("native, reference", WRITERS)
@settings(derandomize=True, deadline=None, max_examples=40)
@given(model=chain_models())
def test_writers_match_rendition_on_real_models(native, reference, library, model):
    for compress in (True, False):
        check_same(native, reference, model, compress, library)


@pytest.mark.parametrize("library", _json_libraries(), ids=lambda lib: lib.__name__)
@pytest.mark.parametrize("native, reference", WRITERS)
@settings(derandomize=True, deadline=None, max_examples=40)
@given(model=list_models())
def test_writers_match_rendition_on_odd_models(native, reference, library, model):
    # Empty bags, repeated starts, null and tuple codes, codes only in the
    # code table, counts past 32 bits.
    for compress in (True, False):
        check_same(native, reference, model, compress, library)


def test_log_holds_every_kind_of_call():
    # The comparisons above are only as good as the log: it must see the
    # model, every dumps, and log10 for the string codes ranked past 9.
    frequencies = {"w{}".format(i): 100 - i for i in range(12)}
    model = ListModel([("w0", [(("w11",), 3)])], frequencies)
    log, pieces = run(pavro_cjson.dump_json_big, model, True, json)
    assert [entry[0] for entry in log] == (
        ["build_frequency_dict"] + ["dumps"] * 11 + ["log10", "dumps", "log10", "items", "choices"])
    assert "".join(pieces) == (
        '{"codes":[' + ",".join('{},"w{}"'.format(i, i) for i in range(12)) +
        '],"chain":[0,[[11],3]]}')
