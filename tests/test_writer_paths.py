"""Both writers against a plain-Python rendition of what they do.

The native writers build their pieces and tuples directly and keep their
own texts for rank numbers; the renditions in reference/writers.py do the
same work the obvious way.  Over the models the round-trip and streaming suites generate,
both must make the same calls on the model, the JSON library and
math.log10, in the same order and with the same arguments, hand json.dump
the same document (types included), and write the same pieces.
"""

import json
import math

import pytest
from hypothesis import given, settings, strategies as st

import pavro_cjson
from examples import examples
from fakes import RecordingFile
from fakes import ListModel
from models import chain_models, json_libraries, list_models
from reference.writers import reference_dump_big, reference_dump_small


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


WRITERS = [
    pytest.param(pavro_cjson.dump_json_small, reference_dump_small, id="dump_json_small"),
    pytest.param(pavro_cjson.dump_json_big, reference_dump_big, id="dump_json_big"),
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


# The odd models: empty bags, repeated starts, null and tuple codes, codes
# only in the code table, counts past 32 bits.
@pytest.mark.parametrize("models", [chain_models(), list_models()], ids=["real", "odd"])
@pytest.mark.parametrize("library", json_libraries(), ids=lambda lib: lib.__name__)
@pytest.mark.parametrize("native, reference", WRITERS)
@settings(derandomize=True, deadline=None, max_examples=examples(40))
@given(data=st.data())
def test_writers_match_rendition(native, reference, library, models, data):
    model = data.draw(models, label="model")
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
