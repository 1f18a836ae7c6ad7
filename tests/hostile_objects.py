"""Objects the hostile tests share: models and bags whose items() and
choices() yield whatever they are given, honest twins to compare with,
helpers to run a writer and read what it wrote, and a small document."""

import io
import json as std_json

import pytest

import pavro_cjson
from pavro.bag import ChainModel

WRITERS = ["dump_json_small", "dump_json_big"]
MODES = [pytest.param(True, id="compressed"), pytest.param(False, id="plain")]

SMALL_DOC = '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2],1,[[1],1]]}'


class Boom(Exception):
    """Raised by the hostile objects themselves."""


# ---------------------------------------------------------------------------
# Building blocks
# ---------------------------------------------------------------------------


class Bag:
    """A bag whose choices() is whatever it is given (a list, or a callable
    that makes the iterable)."""

    def __init__(self, choices):
        self._choices = choices

    def choices(self):
        if callable(self._choices):
            return self._choices()
        return iter(self._choices)


class Model:
    """A chain model whose items() and frequency mapping are given."""

    def __init__(self, entries, frequencies=None):
        self._entries = entries
        self._frequencies = frequencies

    def build_frequency_dict(self):
        if callable(self._frequencies):
            return self._frequencies()
        return self._frequencies

    def items(self):
        if callable(self._entries):
            return self._entries()
        return iter(self._entries)


def frequencies_of(entries):
    counts = {}
    for start, bag in entries:
        counts[start] = counts.get(start, 0) + 1
        for follower, _ in bag:
            for code in follower:
                counts[code] = counts.get(code, 0) + 1
    return counts


def honest(entries):
    """A well-behaved model: [(start, [(follower, count), ...]), ...]."""
    return Model([(s, Bag(list(c))) for s, c in entries], frequencies_of(entries))


SIMPLE = [("a", [(("a", "b"), 2), (("c",), 1)]), ("b", [(("a",), 3)])]


def write(function, model, compressed):
    out = io.StringIO()
    getattr(pavro_cjson, function)(model, out, compressed)
    return out.getvalue()


def document(function, model, compressed):
    return std_json.loads(write(function, model, compressed))


def exception_or_correct(function, model, compressed, twin):
    """Runs a writer; returns the exception, or checks the text is the
    twin's document and returns None."""
    try:
        text = write(function, model, compressed)
    except Exception as exc:  # any Python exception is an acceptable end
        return exc
    got = parsed(text)
    assert got is not INVALID, "{} reported success but wrote invalid JSON: {!r}".format(function, text)
    assert got == document(function, twin, compressed), text
    return None


INVALID = object()


def parsed(text):
    try:
        return std_json.loads(text)
    except ValueError:
        return INVALID


def pjson_names(exc):
    names = []
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "pjson":
            names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def raiser(exc):
    def fail():
        raise exc

    return fail


class Opaque:
    """Supports nothing."""


def chain_model(entries):
    model = ChainModel()
    for start, choices in entries:
        for follower, count in choices:
            model.add_to_bag(start, follower, count=count)
    return model
