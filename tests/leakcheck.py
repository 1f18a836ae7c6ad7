"""Reference-leak check for pavro_cjson.

Runs each of the four functions many times over its success paths (both
JSON libraries, both parser backends, compressed and plain, replace and
merge) and over its failure paths (bad arguments, failing models, files and
libraries, broken documents, decoding generators kept by the model), and
checks after each case that the interpreter's total reference count and
its number of live objects came back to where they were.  A function that
forgets one reference per call leaves the count hundreds higher after a
few hundred calls; caches that fill once are absorbed by a warm-up and one
retry.

It needs an interpreter with sys.gettotalrefcount (a debug build, such as
Debian's python3.11-dbg) and the module built against that interpreter's
own headers; tools/leakcheck.sh sets both up.  It is a script, not a pytest
module:

    python tests/leakcheck.py [-n ITERATIONS] [-k SUBSTRING] [-x] [--list]

It prints one line per case and closes with "N passed, N failed"; it exits
1 if any case leaked or did not behave as expected, 2 if it cannot run.
"""

import argparse
import copy
import ctypes
import decimal
import fractions
import gc
import io
import pickle
import random
import json as std_json
import sys
import time
import traceback
import types

import ijson
import ujson

import pavro_cjson
import _pavro_model
from pavro.bag import ChainModel, ProbabilityBag

from fakes import KeepingModel, ListBag, RecordingFile

try:
    from ijson.backends import yajl2_cffi
except ImportError:  # the compiled backend is optional; the package serves
    yajl2_cffi = None


# ===========================================================================
# Stand-ins
# ===========================================================================

class Boom(Exception):
    """What every deliberately failing stand-in raises."""


def boom(*args, **kwargs):
    raise Boom("boom")


class BadBool:
    """A flag whose truth test fails."""

    def __bool__(self):
        raise Boom("truth")


class TrueFlag:
    """A flag that is true through its own truth test."""

    def __bool__(self):
        return True


class RaisingBag:
    def choices(self):
        raise Boom("choices")


class NoChoicesBag:
    pass


class ListModel:
    """A writer's model yielding given entries and a given frequency mapping."""

    def __init__(self, entries, frequencies=None):
        self.entries = entries
        self.frequencies = {} if frequencies is None else frequencies

    def build_frequency_dict(self):
        return self.frequencies

    def items(self):
        return iter(self.entries)


class NoItemsModel:
    def build_frequency_dict(self):
        return {"a": 1}


class NoFrequencyModel:
    def items(self):
        return iter([("a", ListBag([]))])


class RaisingFrequencyModel(ListModel):
    def build_frequency_dict(self):
        raise Boom("build_frequency_dict")


class RaisingItemsModel(ListModel):
    def items(self):
        raise Boom("items")


class FrequencyItems:
    """A frequency mapping whose items() returns what it was given."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return list(self._items)


class FailingSink:
    """A text file whose k-th write (counted from 1) raises."""

    def __init__(self, k):
        self.k = k
        self.calls = 0

    def write(self, piece):
        self.calls += 1
        if self.calls == self.k:
            raise OSError("disk full")
        return len(piece)


class NoWrite:
    pass


class FailingReader:
    """A file whose read fails."""

    def read(self, *args):
        raise OSError("read failed")


class DrawingModel:
    """A reader's model that accepts everything and draws every follower."""

    def clear(self):
        pass

    def add_to_bag(self, start, follower, count=1):
        for _ in follower:
            pass

    def set_bag(self, start, bag):
        pass


class Missing:
    """A model lacking every method the readers call."""


class NoClearModel:
    def add_to_bag(self, start, follower, count=1):
        pass

    def set_bag(self, start, bag):
        pass


class ClearRaises(DrawingModel):
    def clear(self):
        raise Boom("clear")


class AddRaises(DrawingModel):
    def add_to_bag(self, start, follower, count=1):
        raise Boom("add_to_bag")


class SetBagRaises(DrawingModel):
    def set_bag(self, start, bag):
        raise Boom("set_bag")


class OnlyClear:
    def clear(self):
        pass


class NoAddBag:
    """Stands in for ProbabilityBag: a bag without add()."""


class AddRaisingBag:
    def add(self, follower, count=1):
        raise Boom("add")


class FakeParser:
    """Stands in for the parser module: parse() returns what it was given."""

    def __init__(self, events):
        self.events = events

    def parse(self, file):
        return iter(self.events) if isinstance(self.events, list) else self.events


class FailingEventStream:
    """A parse() result that fails while being drawn."""

    def __iter__(self):
        return self

    def __next__(self):
        raise Boom("parser")


class StartswithRaises(str):
    """An event name whose startswith fails."""

    def startswith(self, *args):
        raise Boom("startswith")


class EqRaises(str):
    """An event name that cannot be compared."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise Boom("eq")


class EventRaisesBuilder:
    def event(self, event, value):
        raise Boom("event")


class ValuelessBuilder:
    def event(self, event, value):
        pass


class BytesDumps:
    """A JSON library whose dumps returns bytes."""

    dump = staticmethod(ujson.dump)
    load = staticmethod(ujson.load)

    @staticmethod
    def dumps(value):
        return ujson.dumps(value).encode()


class DumpRaises:
    dumps = staticmethod(ujson.dumps)

    @staticmethod
    def dump(*args):
        raise Boom("dump")


class LoadRaises:
    @staticmethod
    def load(*args):
        raise Boom("load")


class Unserialisable:
    """Hashable and comparable, but no JSON library can write it."""


UNSERIALISABLE = Unserialisable()


class GenItem:
    """An item that is iterable but neither a tuple nor a list."""

    def __init__(self, *values):
        self.values = values

    def __iter__(self):
        return iter(self.values)


class RaisingIterable:
    def __iter__(self):
        yield 1
        raise Boom("iteration")


class Ender:
    """Ends a kept decoding generator from inside its own step."""

    generator = None
    how = "close"

    @classmethod
    def end(cls):
        try:
            if cls.how == "close":
                cls.generator.close()
            else:
                cls.generator.throw(RuntimeError("ended"))
        except (ValueError, RuntimeError):
            pass


class EndingElement:
    """A follower element whose comparison with a token ends the generator."""

    def __hash__(self):
        return hash(0)

    def __eq__(self, other):
        Ender.end()
        return other == 0


class EndingFollower:
    """A follower whose first step ends the generator drawing it."""

    def __init__(self):
        self.step = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.step += 1
        if self.step > 1:
            raise StopIteration
        Ender.end()
        return 0


class SwapBuilder(ijson.ObjectBuilder):
    """Builds the follower [7] as [EndingElement()] or as an EndingFollower."""

    swap = "an element"

    def event(self, event, value):
        super().event(event, value)
        if event == "end_array" and self.__dict__.get("value") == [7]:
            if self.swap == "an element":
                self.__dict__["value"][0] = EndingElement()
            else:
                self.follower = EndingFollower()

    @property
    def value(self):
        return self.__dict__.get("follower") or self.__dict__["value"]

    @value.setter
    def value(self, value):
        self.__dict__["value"] = value


# ===========================================================================
# Helpers
# ===========================================================================

ABSENT = object()


class using:
    """Binds module-level names of pavro_cjson for the duration of a block
    (a name the module only finds among the builtins is removed after)."""

    def __init__(self, **names):
        self.names = names
        self.saved = {}

    def __enter__(self):
        for name, value in self.names.items():
            self.saved[name] = pavro_cjson.__dict__.get(name, ABSENT)
            setattr(pavro_cjson, name, value)
        return self

    def __exit__(self, *exc):
        for name, value in self.saved.items():
            if value is ABSENT:
                delattr(pavro_cjson, name)
            else:
                setattr(pavro_cjson, name, value)
        self.saved.clear()
        return False


def expect(exc_type, function, *args, **kwargs):
    """Calls `function` and insists that it raises `exc_type` (a tuple
    holding None also lets it return)."""
    if isinstance(exc_type, tuple) and None in exc_type:
        exc_type = tuple(e for e in exc_type if e is not None)
        try:
            function(*args, **kwargs)
        except exc_type:
            pass
        return
    try:
        function(*args, **kwargs)
    except exc_type:
        return
    names = exc_type if isinstance(exc_type, tuple) else (exc_type,)
    raise AssertionError("%s(...) did not raise %s" % (
        getattr(function, "__name__", function), " or ".join(e.__name__ for e in names)))


def _with(lib, function):
    with using(json=lib):
        function()


def written(writer, model, lib, compress):
    """A document as `writer` writes it with `lib`."""
    with using(json=lib):
        sink = io.StringIO()
        writer(model, sink, compress)
        return sink.getvalue()


def call_with_raw_kwargs(function, args, kwargs):
    """function(*args, **kwargs) without the interpreter's own keyword
    checks, so that a non-string keyword reaches the module."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(function, args, kwargs)


# ===========================================================================
# Sample models and documents
# ===========================================================================

def sample_sequences():
    """Enough distinct codes that ranks pass 9 and 99, so rank numbers,
    codes standing for themselves and the logarithm all get used."""
    words = ["w%d" % i for i in range(130)]
    sequences = [words[i:i + 12] for i in range(0, 130, 3)]
    # Rare short codes land at ranks above 99 and stand for themselves.
    sequences.append(["", "a", "b", "\u00e9", 7, 1.5, "w0", ("t", 1)])
    sequences.append(["w1", "w2", "", "w3"])
    return sequences


def medium_sequences():
    """Past rank 9 with a few codes, so most cases stay cheap."""
    return [["a", "b", "c", "d", "e", "f", "g", "h", "a", "b", "c"],
            # A tuple code only ever follows: as a start it would be an
            # array, which the streaming reader takes for a follower list.
            ["i", "j", "k", "", "l", 7, 1.5, "\u00e9", "a", ("t", 1)],
            ["b", "", "c"]]


SAMPLE = ChainModel.from_sequences(sample_sequences(), length=2)
MEDIUM = ChainModel.from_sequences(medium_sequences(), length=2)
EMPTY = ChainModel()
TINY = ListModel([("a", ListBag([(("a", "b"), 2)]))], {"a": 5, "b": 3})
EMPTY_BAG = ListModel([("a", ListBag([]))], {"a": 1})

EXAMPLE_COMPRESSED = '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2]]}'
EXAMPLE_PLAIN = '{"codes":[],"chain":["a",[["a","b"],2]]}'

LIBS = [("ujson", ujson), ("json", std_json)]
PARSERS = [("ijson", ijson)]
if yajl2_cffi is not None:
    # Bound as imported, load_json_big parses with yajl itself; any other
    # binding of the same backend reads its events.
    PARSERS.insert(0, ("yajl2_cffi", yajl2_cffi))
    PARSERS.insert(1, ("yajl2_cffi events", types.SimpleNamespace(parse=yajl2_cffi.parse)))
MODES = [("replace", False), ("merge", True)]


def parser_leak(parser):
    """References a parser backend leaks by itself per parse of a small
    document; ijson's compiled yajl2_c backend leaks about one reference to
    None per event."""
    if not hasattr(sys, "gettotalrefcount"):
        return 0.0
    data = b'{"codes":[0,"a"],"chain":[0,[[0,null],1]]}'
    for _ in range(3):
        list(parser.parse(io.BytesIO(data)))
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(50):
        list(parser.parse(io.BytesIO(data)))
    gc.collect()
    return (sys.gettotalrefcount() - before) / 50.0


# A parser that leaks by itself would hide whatever pavro_cjson does: in
# its place the cases run with ijson's pure-Python backend, which is also
# what the ijson package falls back to.
NOTES = []
for _index, (_name, _parser) in enumerate(PARSERS):
    _leak = parser_leak(_parser)
    if _leak >= 1 and _parser is ijson:
        from ijson.backends import python as _python_backend
        NOTES.append("the ijson package's %s backend leaks %.0f references per parse by "
                     "itself; the ijson cases use its pure-Python backend"
                     % (ijson.backend, _leak))
        PARSERS[_index] = ("ijson/python", _python_backend)
    elif _leak >= 1:
        NOTES.append("the %s parser leaks %.0f references per parse by itself"
                     % (_name, _leak))

WRITERS = [("dump_json_small", pavro_cjson.dump_json_small),
           ("dump_json_big", pavro_cjson.dump_json_big)]
FUNCTIONS = [pavro_cjson.dump_json_small, pavro_cjson.load_json_small,
             pavro_cjson.dump_json_big, pavro_cjson.load_json_big]

# Every document the writers make of the medium model, and the large
# sample as each writer compresses it: (label, text).
DOCUMENTS = []
for _wname, _writer in WRITERS:
    for _lname, _lib in LIBS:
        for _compress in (True, False):
            DOCUMENTS.append(("%s/%s/%s" % (_wname, _lname,
                                            "compressed" if _compress else "plain"),
                              written(_writer, MEDIUM, _lib, _compress)))
    DOCUMENTS.append(("%s/ujson/compressed, large" % _wname,
                      written(_writer, SAMPLE, ujson, True)))
MEDIUM_COMPRESSED = written(pavro_cjson.dump_json_big, MEDIUM, ujson, True)


# ===========================================================================
# Cases
# ===========================================================================

CASES = []  # (name, function of no arguments)


def add(name, function):
    CASES.append((name, function))


# --- argument binding, all four functions -----------------------------------

def binding_cases():
    for function in FUNCTIONS:
        name = function.__name__
        third = "frequency_compress" if name.startswith("dump") else "merge"
        bad_calls = [
            ("no arguments", (), {}),
            ("one argument", (EMPTY,), {}),
            ("chain by keyword only", (), {"chain": EMPTY}),
            ("file by keyword only", (), {"file": None}),
            ("four arguments", (EMPTY, None, False, None), {}),
            ("unknown keyword", (EMPTY, None), {"bogus": 1}),
            ("repeated argument", (EMPTY, None), {"chain": EMPTY}),
            ("repeated third", (EMPTY, None, False), {third: False}),
        ]
        for label, args, kwargs in bad_calls:
            add("%s: bad call, %s" % (name, label),
                lambda f=function, a=args, k=kwargs: expect(TypeError, f, *a, **k))
        add("%s: bad call, non-string keyword" % name,
            lambda f=function: expect(TypeError, call_with_raw_kwargs, f, (EMPTY, None),
                                      {1: 2}))


# --- writers: success ---------------------------------------------------------

def writer_success_cases():
    odd_counts = ListModel([("a", ListBag([(("a",), True), (("a",), 2.5), (("a",), "x"),
                                           (("a",), None), (("a",), 10 ** 30),
                                           (["a"], 3), ((), 1)]))],
                           {"a": 1})
    iterator_items = ListModel([GenItem("a", ListBag([GenItem(("a",), 1)]))], {"a": 1})
    repeated = ListModel([("a", ListBag([])), ("a", ListBag([(("a",), 1)]))], {"a": 1})
    for wname, writer in WRITERS:
        for lname, lib in LIBS:
            for compress in (True, False):
                mode = "compressed" if compress else "plain"
                for model_name, model in (("large", SAMPLE), ("medium", MEDIUM),
                                          ("empty", EMPTY),
                                          ("empty bag", EMPTY_BAG),
                                          ("odd counts", odd_counts),
                                          ("iterator items", iterator_items),
                                          ("repeated start", repeated)):
                    def run(writer=writer, lib=lib, model=model, compress=compress):
                        with using(json=lib):
                            writer(model, RecordingFile(), compress)
                    add("%s: %s, %s, %s model" % (wname, lname, mode, model_name), run)

        def keywords(writer=writer):
            writer(file=RecordingFile(), chain=TINY, frequency_compress=TrueFlag())
            writer(TINY, RecordingFile())
            writer(TINY, RecordingFile(), frequency_compress=0)
            writer(TINY, file=RecordingFile())
        add("%s: keywords, defaults and truth tests" % wname, keywords)

        def bytes_dumps(writer=writer):
            # Written through, or refused with TypeError.
            with using(json=BytesDumps):
                expect((TypeError, None), writer, TINY, RecordingFile(), True)
                expect((TypeError, None), writer, TINY, RecordingFile(), False)
        add("%s: a library whose dumps returns bytes" % wname, bytes_dumps)

        def into_stringio(writer=writer):
            writer(SAMPLE, io.StringIO(), True)
        add("%s: into io.StringIO" % wname, into_stringio)


# --- writers: failure ---------------------------------------------------------

def writer_failure_cases():
    missing_start = ListModel([("zz", ListBag([(("a",), 1)]))], {"a": 1})
    missing_element = ListModel([("a", ListBag([(("a", "zz"), 1)]))], {"a": 1})
    missing_in_list = ListModel([("a", ListBag([(["a", "zz"], 1)]))], {"a": 1})
    second_entry_fails = ListModel([("a", ListBag([(("a",), 1)])), ("zz", ListBag([]))],
                                   {"a": 1})
    failures = [
        # (label, model, frequency_compress, expected exception)
        ("truth test raises", TINY, BadBool(), Boom),
        ("no build_frequency_dict", NoFrequencyModel(), True, AttributeError),
        ("no items", NoItemsModel(), True, AttributeError),
        ("no items, plain", NoItemsModel(), False, AttributeError),
        ("build_frequency_dict raises", RaisingFrequencyModel([]), True, Boom),
        ("items raises", RaisingItemsModel([]), False, Boom),
        ("bag without choices", ListModel([("a", NoChoicesBag())]), False, AttributeError),
        ("choices raises", ListModel([("a", RaisingBag())]), False, Boom),
        ("frequency mapping without items", ListModel([], 5), True, AttributeError),
        ("frequency items not iterable", ListModel([], FrequencyItems(5)), True, TypeError),
        ("frequency item not indexable", ListModel([], FrequencyItems([1, 2])), True,
         TypeError),
        ("frequency item too short", ListModel([], FrequencyItems([("a",), ("b",)])), True,
         IndexError),
        ("occurrences not negatable", ListModel([], {"a": "x", "b": "y"}), True, TypeError),
        ("occurrences not comparable", ListModel([], {"a": 1j, "b": 2j}), True, TypeError),
        ("unserialisable code", ListModel([], {UNSERIALISABLE: 1}), True, TypeError),
        ("entry of three", ListModel([("a", ListBag([]), 3)]), False, ValueError),
        ("entry of one", ListModel([("a",)]), False, ValueError),
        ("entry not iterable", ListModel([5]), False, TypeError),
        ("entry iterator of three", ListModel([GenItem("a", ListBag([]), 3)]), False,
         ValueError),
        ("entry iterator of one", ListModel([GenItem("a")]), False, ValueError),
        ("entry iterator raising", ListModel([RaisingIterable()]), False, Boom),
        ("items not iterable", ListModel(5), False, TypeError),
        ("choice of three", ListModel([("a", ListBag([(("a",), 1, 2)]))]), False, ValueError),
        ("choice of one", ListModel([("a", ListBag([(("a",),)]))]), False, ValueError),
        ("choices not iterable", ListModel([("a", ListBag(5))]), False, TypeError),
        ("start missing from the code table", missing_start, True, KeyError),
        ("second start missing", second_entry_fails, True, KeyError),
        ("follower element missing", missing_element, True, KeyError),
        ("list follower element missing", missing_in_list, True, KeyError),
        ("follower not iterable", ListModel([("a", ListBag([(5, 1)]))], {"a": 1}), True,
         TypeError),
        ("follower raising while iterated",
         ListModel([("a", ListBag([(RaisingIterable(), 1)]))], {1: 1, "a": 1}), True, Boom),
        ("unhashable start", ListModel([(["a"], ListBag([]))], {"a": 1}), True, TypeError),
        ("unhashable follower element",
         ListModel([("a", ListBag([((["a"],), 1)]))], {"a": 1}), True, TypeError),
        ("unserialisable start, plain", ListModel([(UNSERIALISABLE, ListBag([]))]), False,
         TypeError),
        ("unserialisable follower, plain",
         ListModel([("a", ListBag([((UNSERIALISABLE,), 1)]))]), False, TypeError),
        ("unserialisable count",
         ListModel([("a", ListBag([(("a",), UNSERIALISABLE)]))]), False, TypeError),
    ]
    for wname, writer in WRITERS:
        for lname, lib in LIBS:
            for label, model, compress, expected in failures:
                def run(writer=writer, lib=lib, model=model, compress=compress,
                        expected=expected):
                    with using(json=lib):
                        expect(expected, writer, model, RecordingFile(), compress)
                add("%s: %s, fails: %s" % (wname, lname, label), run)

            def failing_writes(writer=writer, lib=lib):
                # Every write of the sample failing in turn, until one
                # call gets through without a failure.
                with using(json=lib):
                    for model in (TINY, MEDIUM):
                        for compress in (True, False):
                            k = 1
                            while True:
                                try:
                                    writer(model, FailingSink(k), compress)
                                except OSError:
                                    k += 1
                                    continue
                                break
                            if k == 1:
                                raise AssertionError("no write failed")
            add("%s: %s, fails: the k-th write, every k" % (wname, lname), failing_writes)

            # ujson.dump rejects such a file itself, with TypeError.
            add("%s: %s, fails: file without write" % (wname, lname),
                lambda writer=writer, lib=lib: _with(lib, lambda: expect(
                    (AttributeError, TypeError), writer, TINY, NoWrite())))

        def names_replaced(writer=writer):
            with using(json=types.SimpleNamespace()):
                expect(AttributeError, writer, TINY, RecordingFile(), True)
            with using(math=types.SimpleNamespace()):
                twelve = ListModel([], {"c%d" % i: 1 for i in range(12)})
                expect(AttributeError, writer, twelve, RecordingFile(), True)
            with using(sorted=boom):
                expect(Boom, writer, TINY, RecordingFile(), True)
        add("%s: fails: module-level names replaced" % wname, names_replaced)

    def dump_raises():
        with using(json=DumpRaises):
            expect(Boom, pavro_cjson.dump_json_small, TINY, RecordingFile())
        with using(OrderedDict=boom):
            expect(Boom, pavro_cjson.dump_json_small, TINY, RecordingFile())
    add("dump_json_small: fails: json.dump or OrderedDict raises", dump_raises)


# --- load_json_small ------------------------------------------------------------

SMALL_EDGE_DOCUMENTS = [
    ("the compressed example", EXAMPLE_COMPRESSED),
    ("the plain example", EXAMPLE_PLAIN),
    ("an empty document", '{"codes":[],"chain":[]}'),
    ("chain before codes, extra members",
     '{"x":[1,2],"chain":[0,[[0,1],2]],"codes":[0,"a",1,"b"],"y":{}}'),
    ("odd trailing elements", '{"codes":[0,"a",1],"chain":[0,[[0],1,[0]],5]}'),
    ("a repeated token", '{"codes":[0,"a",0,"b"],"chain":[0,[[0],1],0,[]]}'),
    ("counts of every kind",
     '{"codes":[],"chain":["a",[["a"],1.5,["b"],"x",["c"],null,["d"],true,[],1]]}'),
    ("array codes", '{"codes":[0,["a",1],1,"b"],"chain":[1,[[0,1],2]]}'),
]

SMALL_FAILURES = [
    # (label, text, expected exception)
    ("truncated", '{"codes":[0,"a"],"chain":[0,[[0],', ValueError),
    ("not JSON", "nope", ValueError),
    ("empty text", "", ValueError),
    ("null", "null", TypeError),
    ("an array", "[1,2]", TypeError),
    ("a string", '"text"', TypeError),
    ("a number", "3", TypeError),
    ("no codes", '{"chain":[]}', KeyError),
    ("no chain", '{"codes":[0,"a"]}', KeyError),
    ("codes a number", '{"codes":3,"chain":[]}', TypeError),
    ("chain null", '{"codes":[],"chain":null}', TypeError),
    ("unhashable token", '{"codes":[[0],"a"],"chain":[]}', TypeError),
    ("object token", '{"codes":[{"x":1},"a"],"chain":[]}', TypeError),
    ("follower list not iterable", '{"codes":[],"chain":["a",5]}', TypeError),
    ("string for a follower list", '{"codes":[],"chain":["a",[["b"],1],"c","xy"]}',
     TypeError),
    ("start token missing", '{"codes":[0,"a"],"chain":[7,[[0],1]]}', KeyError),
    ("second start token missing",
     '{"codes":[0,"a"],"chain":[0,[[0],1],7,[[0],1]]}', KeyError),
    ("follower element missing", '{"codes":[0,"a"],"chain":[0,[[0,9],1]]}', KeyError),
    ("follower not iterable", '{"codes":[0,"a"],"chain":[0,[5,1]]}', TypeError),
    ("plain follower not iterable", '{"codes":[],"chain":["a",[5,1]]}', TypeError),
    ("unhashable start token", '{"codes":[0,"a"],"chain":[[0],[[0],1]]}', TypeError),
    ("unhashable follower element", '{"codes":[0,"a"],"chain":[0,[[[0]],1]]}', TypeError),
]


def load_small_cases():
    load = pavro_cjson.load_json_small
    for lname, lib in LIBS:
        for mname, merge in MODES:
            for dname, text in DOCUMENTS + SMALL_EDGE_DOCUMENTS:
                def run(lib=lib, merge=merge, text=text):
                    with using(json=lib):
                        load(ChainModel(), io.StringIO(text), merge)
                add("load_json_small: %s, %s, %s" % (lname, mname, dname), run)

            for label, text, expected in SMALL_FAILURES:
                def run(lib=lib, merge=merge, text=text, expected=expected):
                    with using(json=lib):
                        expect(expected, load, ChainModel(), io.StringIO(text), merge)
                add("load_json_small: %s, %s, fails: %s" % (lname, mname, label), run)

            def model_fails(lib=lib, merge=merge):
                with using(json=lib):
                    text = io.StringIO
                    expect(Boom, load, ChainModel(), text(EXAMPLE_COMPRESSED), BadBool())
                    expect(OSError, load, ChainModel(), FailingReader(), merge)
                    expect(AttributeError, load, Missing(), text(EXAMPLE_COMPRESSED), merge)
                    expect(Boom, load, AddRaises(), text(EXAMPLE_COMPRESSED), True)
                    expect(Boom, load, AddRaises(), text(EXAMPLE_PLAIN), True)
                    expect(AttributeError, load, OnlyClear(), text(EXAMPLE_COMPRESSED), merge)
                    if not merge:
                        expect(AttributeError, load, NoClearModel(), text(EXAMPLE_PLAIN))
                        expect(Boom, load, ClearRaises(), text(EXAMPLE_PLAIN))
                        expect(Boom, load, SetBagRaises(), text(EXAMPLE_COMPRESSED))
                        with using(ProbabilityBag=NoAddBag):
                            expect(AttributeError, load, ChainModel(), text(EXAMPLE_PLAIN))
                        with using(ProbabilityBag=AddRaisingBag):
                            expect(Boom, load, ChainModel(), text(EXAMPLE_PLAIN))
                        with using(ProbabilityBag=boom):
                            expect(Boom, load, ChainModel(), text(EXAMPLE_PLAIN))
            add("load_json_small: %s, %s, fails: model, file or flag" % (lname, mname),
                model_fails)

        def keywords(lib=lib):
            with using(json=lib):
                load(file=io.StringIO(EXAMPLE_PLAIN), chain=ChainModel(), merge=TrueFlag())
                load(ChainModel(), io.StringIO(EXAMPLE_PLAIN))
                load(ChainModel(), file=io.StringIO(EXAMPLE_PLAIN), merge=0)
        add("load_json_small: %s, keywords, defaults and truth tests" % lname, keywords)

    def library_fails():
        with using(json=LoadRaises):
            expect(Boom, load, ChainModel(), io.StringIO(EXAMPLE_PLAIN))
        with using(json=types.SimpleNamespace()):
            expect(AttributeError, load, ChainModel(), io.StringIO(EXAMPLE_PLAIN))
    add("load_json_small: fails: json.load raises or is missing", library_fails)


# --- load_json_big ---------------------------------------------------------------

BIG_EDGE_DOCUMENTS = [
    ("the compressed example", EXAMPLE_COMPRESSED),
    ("the plain example", EXAMPLE_PLAIN),
    ("an empty document", '{"codes":[],"chain":[]}'),
    ("plain chain before codes, extra members",
     '{"x":[1,[2]],"chain":["a",[["b"],2]],"codes":[],"y":{"z":[]}}'),
    ("odd trailing elements", '{"codes":[0,"a",1],"chain":[0,[[0],1,[0]],5]}'),
    ("a repeated token and a second code table",
     '{"codes":[0,"a",0,"b"],"chain":[0,[[0],1]],"codes":[0,"c"],"chain":[0,[[0],2]]}'),
    ("counts of every kind",
     '{"codes":[],"chain":["a",[["a"],1.5,["b"],"x",["c"],null,["d"],true,[],1]]}'),
    ("nested followers",
     '{"codes":[],"chain":["a",[[["a",["b"]],{"c":[1]}],1,{"d":2},3]]}'),
    ("scalar start tokens", '{"codes":[],"chain":[null,[["a"],1],true,[["b"],2],1.5,[]]}'),
    ("a follower list before any start", '{"codes":[],"chain":[[["a"],1]]}'),
    ("array codes", '{"codes":[0,["a",1],1,"b"],"chain":[1,[[0,1],2]]}'),
    ("a follower without count", '{"codes":[0,"a"],"chain":[0,[[0],1,[0]]]}'),
]

BIG_FAILURES = [
    # (label, data, model class, expected exception)
    ("truncated in the chain", b'{"codes":[0,"a"],"chain":[0,[[0],', ChainModel,
     ijson.JSONError),
    ("not JSON", b'{"codes":[0,"a"]xx', ChainModel, ijson.JSONError),
    ("empty text", b"", ChainModel, ijson.JSONError),
    ("trailing garbage", b'{"codes":[],"chain":[]}}', ChainModel, ijson.JSONError),
    ("invalid UTF-8", b'{"codes":[0,"\xff"],"chain":[]}', ChainModel, ijson.JSONError),
    ("null", b"null", ChainModel, KeyError),
    ("an array", b"[1,[2]]", ChainModel, KeyError),
    ("no chain", b'{"codes":[0,"a"]}', ChainModel, KeyError),
    ("unhashable token", b'{"codes":[[0],"a"],"chain":[]}', ChainModel, TypeError),
    ("compressed chain before codes", b'{"chain":[0,[[0,1],2]],"codes":[0,"a",1,"b"]}',
     ChainModel, ValueError),
    ("number for a follower list", b'{"codes":[],"chain":["a",[["b"],1],"c",5]}',
     ChainModel, TypeError),
    ("object for a follower list", b'{"codes":[],"chain":["a",{"b":[1]}]}', ChainModel,
     TypeError),
    ("start token missing", b'{"codes":[0,"a"],"chain":[7,[[0],1]]}', ChainModel,
     KeyError),
    ("follower element missing", b'{"codes":[0,"a"],"chain":[0,[[0,9],1]]}', ChainModel,
     KeyError),
    ("follower element missing, model draws",
     b'{"codes":[0,"a"],"chain":[0,[[0,9],1]]}', DrawingModel, KeyError),
    ("unhashable follower element", b'{"codes":[0,"a"],"chain":[0,[[[0]],1]]}',
     ChainModel, TypeError),
    # A count with no follower before it: dropped, or refused.
    ("count before any follower", b'{"chain":["a",[5]]}', ChainModel,
     (AttributeError, TypeError, None)),
    ("no add_to_bag", b'{"codes":[0,"a"],"chain":[0,[[0],1]]}', OnlyClear,
     AttributeError),
    # Raised while yajl itself parses, or by the backend's callbacks.
    ("an int past the digit limit", b'{"codes":[],"chain":["a",[["b"],' + b"1" * 5000
     + b']]}', ChainModel, (ValueError, ijson.JSONError, None)),
    ("a surrogate encoded in UTF-8", b'{"codes":[],"chain":["\xed\xa0\x80",[["b"],1]]}',
     ChainModel, (UnicodeDecodeError, ijson.JSONError)),
    ("add_to_bag raises", EXAMPLE_COMPRESSED.encode(), AddRaises, Boom),
    ("add_to_bag raises, plain", EXAMPLE_PLAIN.encode(), AddRaises, Boom),
]


def load_big_cases():
    load = pavro_cjson.load_json_big
    sample_bytes = MEDIUM_COMPRESSED.encode()
    # Cut points through the code table, the chain table and the tail.
    cuts = sorted({0, 1, 5, 12} | {len(sample_bytes) * i // 12 for i in range(1, 12)}
                  | {len(sample_bytes) - 1})
    for pname, parser in PARSERS:
        for mname, merge in MODES:
            documents = [(d, t, ChainModel) for d, t in DOCUMENTS]
            # Edge documents hold followers no real model could hash.
            documents += [(d, t, DrawingModel) for d, t in BIG_EDGE_DOCUMENTS]
            for dname, text, model_class in documents:
                def run(parser=parser, merge=merge, data=text.encode(),
                        model_class=model_class):
                    with using(ijson=parser):
                        load(model_class(), io.BytesIO(data), merge)
                add("load_json_big: %s, %s, %s" % (pname, mname, dname), run)

            for label, data, model_class, expected in BIG_FAILURES:
                def run(parser=parser, merge=merge, data=data, model_class=model_class,
                        expected=expected):
                    with using(ijson=parser):
                        expect(expected, load, model_class(), io.BytesIO(data), merge)
                add("load_json_big: %s, %s, fails: %s" % (pname, mname, label), run)

            def truncated(parser=parser, merge=merge):
                with using(ijson=parser):
                    for cut in cuts:
                        expect(ijson.JSONError, load, ChainModel(),
                               io.BytesIO(sample_bytes[:cut]), merge)
            add("load_json_big: %s, %s, fails: the sample cut at %d points"
                % (pname, mname, len(cuts)), truncated)

            def model_fails(parser=parser, merge=merge):
                data = EXAMPLE_COMPRESSED.encode()
                with using(ijson=parser):
                    expect(Boom, load, ChainModel(), io.BytesIO(data), BadBool())
                    expect(OSError, load, ChainModel(), FailingReader(), merge)
                    if not merge:
                        expect(AttributeError, load, NoClearModel(), io.BytesIO(data))
                        expect(Boom, load, ClearRaises(), io.BytesIO(data))
                        expect(Boom, load, ClearRaises(),
                               io.BytesIO(b'{"codes":[],"chain":[]}'))
            add("load_json_big: %s, %s, fails: model, file or flag" % (pname, mname),
                model_fails)

        def keywords(parser=parser):
            with using(ijson=parser):
                data = EXAMPLE_PLAIN.encode()
                load(file=io.BytesIO(data), chain=ChainModel(), merge=TrueFlag())
                load(ChainModel(), io.BytesIO(data))
                load(ChainModel(), file=io.BytesIO(data), merge=0)
        add("load_json_big: %s, keywords, defaults and truth tests" % pname, keywords)

    def stand_in_parsers():
        data = io.BytesIO(b"")
        start = ("", "start_map", None)
        stand_ins = [
            (types.SimpleNamespace(), AttributeError),
            (types.SimpleNamespace(parse=boom), Boom),
            (FakeParser(5), TypeError),
            (FakeParser(FailingEventStream()), Boom),
            (FakeParser([start, ("", "start_map")]), ValueError),
            (FakeParser([start, ("", "start_map", None, 1)]), ValueError),
            (FakeParser([5]), TypeError),
            (FakeParser([GenItem("", "start_map")]), ValueError),
            (FakeParser([("", 5, None)]), AttributeError),
            (FakeParser([("", StartswithRaises("start_map"), None)]), Boom),
            (FakeParser([("", EqRaises("map_key"), "codes")]), Boom),
            (FakeParser([("", "map_key", EqRaises("codes")), ("", "start_map", None),
                         ("", "start_array", None)]), Boom),
        ]
        for parser, expected in stand_ins:
            with using(ijson=parser):
                expect(expected, load, ChainModel(), data)
        with using(ObjectBuilder=boom):
            expect(Boom, load, ChainModel(), io.BytesIO(EXAMPLE_PLAIN.encode()))
        with using(ObjectBuilder=EventRaisesBuilder):
            expect(Boom, load, ChainModel(), io.BytesIO(EXAMPLE_PLAIN.encode()))
        with using(ObjectBuilder=ValuelessBuilder):
            expect(AttributeError, load, ChainModel(), io.BytesIO(EXAMPLE_PLAIN.encode()))
    add("load_json_big: fails: stand-in parsers and builders", stand_in_parsers)

    def string_events():
        # Event names and values that are str subclasses take the slow paths.
        class Name(str):
            pass
        events = [("", Name(e), v) for e, v in [
            ("start_map", None), ("map_key", Name("codes")), ("start_array", None),
            ("number", 0), ("string", "a"), ("end_array", None),
            ("map_key", Name("chain")), ("start_array", None), ("number", 0),
            ("start_array", None), ("start_array", None), ("number", 0),
            ("end_array", None), ("number", 2), ("end_array", None), ("end_array", None),
            ("end_map", None)]]
        with using(ijson=FakeParser(events)):
            load(ChainModel(), io.BytesIO(b""))
    add("load_json_big: event names that are str subclasses", string_events)

    def odd_reads():
        # Reads as lists and tuples of ints, refused lists, false reads that
        # end an incomplete document, and a rebound helper of ijson.common.
        data = EXAMPLE_COMPRESSED.encode()

        class Reads:
            def __init__(self, convert, end=b""):
                self.inner, self.convert, self.end = io.BytesIO(data), convert, end

            def read(self, size):
                got = self.inner.read(size) if size else b""
                return self.convert(got) if got else (self.end if size else b"")
        for parser in (yajl2_cffi, types.SimpleNamespace(parse=yajl2_cffi.parse)):
            with using(ijson=parser):
                load(ChainModel(), Reads(list))
                load(ChainModel(), Reads(tuple))
                expect(OverflowError, load, ChainModel(), Reads(lambda c: [300]))
                for end in (None, 0, ""):
                    expect(TypeError, load, ChainModel(), Reads(lambda c: c[:-3], end))
        common = ijson.common
        saved = common.integer_or_decimal
        common.integer_or_decimal = lambda text: saved(text)
        try:
            load(ChainModel(), io.BytesIO(data))
        finally:
            common.integer_or_decimal = saved
    if yajl2_cffi is not None:
        add("load_json_big: reads as lists, false reads, rebound helpers", odd_reads)

    decoding_generator_cases()


def kept(parser, text=MEDIUM_COMPRESSED):
    """The decoding generators of a compressed document, kept undrawn."""
    model = KeepingModel()
    with using(ijson=parser):
        pavro_cjson.load_json_big(model, io.BytesIO(text.encode()))
    if not model.kept:
        raise AssertionError("no follower was handed over")
    return model.followers()


def decoding_generator_cases():
    missing = '{"codes":[0,"a"],"chain":[0,[[0,9],1]]}'

    def never_drawn(parser):
        kept(parser)

    def drawn_later(parser):
        for generator in kept(parser):
            for _ in generator:
                pass
            expect(StopIteration, next, generator)

    def drawn_halfway(parser):
        for generator in kept(parser):
            next(generator, None)

    def raises_later(parser):
        generator = kept(parser, missing)[0]
        next(generator)
        expect(KeyError, next, generator)
        expect(StopIteration, next, generator)

    def thrown_into(parser):
        generators = kept(parser)
        try:
            raise Boom("for its traceback")
        except Boom as caught:
            tb = caught.__traceback__
        throws = [
            ((ValueError,), ValueError),
            ((ValueError("x"),), ValueError),
            ((ValueError, "x"), ValueError),
            ((ValueError, ValueError("x")), ValueError),
            ((ValueError, None, tb), ValueError),
            ((ValueError("x"), "y"), TypeError),
            ((5,), TypeError),
            ((), TypeError),
        ]
        del tb
        for (args, expected), generator in zip(throws, generators):
            expect(expected, generator.throw, *args)
            for _ in generator:
                pass

    def closed_and_sent(parser):
        generators = kept(parser)
        generators[0].close()
        generators[0].close()
        expect(StopIteration, next, generators[0])
        generators[1].send(None)
        expect(TypeError, generators[2].send, "too early")
        generators[2].send(None)
        while True:
            try:
                generators[2].send("ignored")
            except StopIteration:
                break
        repr(generators[3])
        (generators[3].__name__, generators[3].__qualname__, generators[3].gi_running)
        assert iter(generators[3]) is generators[3]

    def in_a_cycle(parser):
        holder = kept(parser)
        holder.append(holder)

    def ended_from_inside(parser, how, where):
        # User code that runs during the generator's own step (the
        # follower's iterator, an element's comparison) closes it or
        # throws into it.
        model = KeepingModel()
        text = b'{"codes":[0,"a",7,"b"],"chain":[0,[[7],1]]}'
        with using(ijson=parser, ObjectBuilder=SwapBuilder):
            SwapBuilder.swap = where
            pavro_cjson.load_json_big(model, io.BytesIO(text))
        Ender.generator, Ender.how = model.followers()[0], how
        try:
            list(model.followers()[0])
        except (ValueError, RuntimeError, KeyError):
            pass
        Ender.generator = None

    def draw_raises_inside_call(parser):
        with using(ijson=parser):
            expect(KeyError, pavro_cjson.load_json_big, DrawingModel(),
                   io.BytesIO(missing.encode()))

    for pname, parser in PARSERS:
        for label, function in [
            ("kept, never drawn", never_drawn),
            ("kept, drawn after the call", drawn_later),
            ("kept, drawn halfway", drawn_halfway),
            ("kept, KeyError when drawn later", raises_later),
            ("kept, thrown into", thrown_into),
            ("kept, closed and sent to", closed_and_sent),
            ("kept in a reference cycle", in_a_cycle),
            ("KeyError while the model draws", draw_raises_inside_call),
        ] + [("%s from inside its own step, by %s" % (how, where),
              lambda parser, how=how, where=where: ended_from_inside(parser, how, where))
             for how in ("close", "throw") for where in ("an element", "its iterator")]:
            add("load_json_big: %s, decoding generator %s" % (pname, label),
                lambda function=function, parser=parser: function(parser))


# --- round trips through every pair ------------------------------------------

def round_trip_cases():
    for wname, writer in WRITERS:
        for lname, lib in LIBS:
            def small(writer=writer, lib=lib):
                with using(json=lib):
                    for compress in (True, False):
                        sink = io.StringIO()
                        writer(MEDIUM, sink, compress)
                        model = ChainModel()
                        pavro_cjson.load_json_small(model, io.StringIO(sink.getvalue()))
                        if model != MEDIUM:
                            raise AssertionError("the model came back changed")
            add("round trip: %s then load_json_small, %s" % (wname, lname), small)
        for pname, parser in PARSERS:
            def big(writer=writer, parser=parser):
                with using(ijson=parser):
                    for compress in (True, False):
                        sink = io.StringIO()
                        writer(MEDIUM, sink, compress)
                        model = ChainModel()
                        pavro_cjson.load_json_big(model,
                                                  io.BytesIO(sink.getvalue().encode()))
                        if model != MEDIUM:
                            raise AssertionError("the model came back changed")
            add("round trip: %s then load_json_big, %s" % (wname, pname), big)


# --- the compiled model itself ------------------------------------------------

class SubModel(ChainModel):
    def add_to_bag(self, start, follower, count=1):
        ChainModel.add_to_bag(self, start, follower, count=count)


class Two(int):
    """A length that is no exact int: learn() slices with Python's arithmetic."""


class SlottedBag(ProbabilityBag):
    __slots__ = ("label",)


class Draw(float):
    """A random() result that is no exact float."""

    def __mul__(self, other):
        return fractions.Fraction(float(self)) * fractions.Fraction(other)


class DrawRandom(random.Random):
    def random(self):
        return Draw(super().random())


def model_cases():
    sentences = [["a", "b", [1, decimal.Decimal("2.5")], "a", "c", "b"], ["x", ("y",)]]

    def learn():
        model = ChainModel.from_sequences(sentences, length=2)
        SubModel.from_sequences(sentences, length=Two(2))
        model.learn(iter(["a", "b"]))
        model.build_frequency_dict()
        list(model.items())
        model.set_bag("z", ProbabilityBag({("q",): 2}))
        model.bag("z").weight(["q"])
        repr(model), repr(model.bag("a")), model == model, "a" in model, len(model)
        model.clear()
    add("model: learn, look up, count, clear", learn)

    def draws():
        model = ChainModel.from_sequences(sentences)
        bag = ProbabilityBag({("a",): 1, ("b",): 2.5, ("c",): 2 ** 70})
        for rng in (random.Random(3), DrawRandom(3), random):
            bag.choose(rng)
            model.bag("a").choose(rng)
            list(model.generate("a", 5, rng))
        ProbabilityBag({("a",): 0}).choose(random.Random(1)) if sys.version_info < (3, 9) else None
        bag.total, bag.unique_count
    add("model: draws from the table, from the chooser, of objects", draws)

    def pickles():
        model = ChainModel.from_sequences(sentences)
        model.note = "kept"
        bag = SlottedBag({("a",): 1})
        bag.label = "slot"
        model.set_bag("s", bag)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            pickle.loads(pickle.dumps(model, protocol))
        copy.copy(model), copy.deepcopy(model)
    add("model: pickle, copy, deepcopy", pickles)

    def failures():
        model = ChainModel()
        expect(TypeError, model.add_to_bag, {1}, ("a",))
        expect(TypeError, model.add_to_bag, "a", ("a", {1}))
        expect(TypeError, model.add_to_bag, "a", 5)
        expect(ValueError, model.add_to_bag, "a", ("b",), count=decimal.Decimal("sNaN"))
        expect(ValueError, model.learn, ["a"], 0)
        expect(TypeError, model.learn, ["a", "b"], 1.5)
        expect(KeyError, model.bag, ("missing",))
        expect(IndexError, ProbabilityBag().choose)
        expect(ValueError, ProbabilityBag({("a",): 0}).choose, random.Random(1)) \
            if sys.version_info >= (3, 9) else None
        expect(TypeError, model.add_to_bag)
        expect(TypeError, model.add_to_bag, "a", ("b",), counts=1)
        expect(TypeError, ProbabilityBag().__setstate__, (None, {"_weights": 1}))
        model.add_to_bag("a", ("b",))
        walked = model.items()
        model.add_to_bag("b", ("c",))
        expect(RuntimeError, list, walked)
        expect(Boom, list, model.generate("a", rng=types.SimpleNamespace(choices=boom)))
    add("model: failures", failures)

    def cycles():
        model = ChainModel()
        bag = ProbabilityBag()
        bag.add(("x",), count=model)
        model.set_bag("a", bag)
        model.me = model
        walk = model.generate("a")
        model.walk = walk
    add("model: reference cycles are collected", cycles)


binding_cases()
model_cases()
writer_success_cases()
writer_failure_cases()
load_small_cases()
load_big_cases()
round_trip_cases()


# ===========================================================================
# Measuring
# ===========================================================================

def snapshot():
    gc.collect()
    return sys.gettotalrefcount(), len(gc.get_objects())


def measure(function, iterations):
    """How much the reference total and the live objects grew over
    `iterations` calls."""
    refs0, objects0 = snapshot()
    for _ in range(iterations):
        function()
    refs1, objects1 = snapshot()
    return refs1 - refs0, objects1 - objects0


def short_error(exc):
    lines = traceback.format_exception_only(type(exc), exc)
    return lines[-1].strip()


def run_case(name, function, options, baseline):
    """Returns (passed, the report line)."""
    started = time.perf_counter()
    try:
        for _ in range(options.warmup):
            function()
    except Exception as exc:  # the case does not behave as it should
        detail = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        return False, "FAIL  %s: %s\n%s" % (name, short_error(exc), detail.rstrip())
    # Slow cases get fewer calls, never fewer than a leak of one reference
    # per call could hide behind the limits below.
    per_call = (time.perf_counter() - started) / max(options.warmup, 1)
    iterations = options.iterations
    if per_call * iterations > options.budget:
        iterations = max(options.min_iterations, int(options.budget / per_call))
    # What a healthy case may leave behind: caches that settle late, a
    # free list that grows once.
    ref_limit = max(iterations // 20, 4)
    object_limit = max(iterations // 50, 2)
    attempts = []
    for _ in range(2):
        refs, objects = measure(function, iterations)
        refs -= baseline[0]
        objects -= baseline[1]
        attempts.append("refs %+d, objects %+d" % (refs, objects))
        if refs <= ref_limit and objects <= object_limit:
            return True, "ok    %-26s %4d calls %6.2fs  %s%s" % (
                attempts[-1], iterations, time.perf_counter() - started, name,
                " (on the retry; first %s)" % attempts[0] if len(attempts) > 1 else "")
    return False, "LEAK  %s: %s per %d calls (limits %d, %d)" % (
        name, "; then ".join(attempts), iterations, ref_limit, object_limit)


class UnraisableFilter:
    """Counts the complaints of ijson's parser generators that are closed
    half-way (they parse the empty rest of the input while closing, and
    fail), and shows every other unraisable exception."""

    def __init__(self):
        self.parser_closings = 0
        self.default = sys.unraisablehook

    def __call__(self, unraisable):
        code = getattr(unraisable.object, "gi_code", None)
        if (isinstance(unraisable.exc_value, ijson.JSONError) and code is not None
                and "ijson" in code.co_filename):
            self.parser_closings += 1
            return
        self.default(unraisable)


def module_counts_references():
    """Whether the module was built with the debug interpreter's headers:
    its own increments and decrements only reach the total if it was."""
    for module in (pavro_cjson, _pavro_model):
        with open(module.__file__, "rb") as built:
            if b"_Py_NegativeRefcount" not in built.read():
                return False
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-n", "--iterations", type=int, default=200,
                        help="calls per measurement (default 200)")
    parser.add_argument("--warmup", type=int, default=5,
                        help="calls before the first measurement (default 5)")
    parser.add_argument("--budget", type=float, default=0.5,
                        help="seconds one measurement may take; slower cases get "
                             "fewer calls (default 0.5)")
    parser.add_argument("--min-iterations", type=int, default=40,
                        help="calls per measurement however slow the case (default 40)")
    parser.add_argument("-k", dest="keyword", default="",
                        help="run only the cases whose name contains this text")
    parser.add_argument("-x", "--exitfirst", action="store_true",
                        help="stop at the first failing case")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    args = parser.parse_args(argv)

    selected = [entry for entry in CASES if args.keyword in entry[0]]
    if args.list:
        for name, _ in selected:
            print(name)
        print("%d cases" % len(selected))
        return 0
    if not hasattr(sys, "gettotalrefcount"):
        print("leakcheck: this interpreter has no sys.gettotalrefcount; run it with a "
              "debug build (tools/leakcheck.sh sets one up)", file=sys.stderr)
        return 2
    if not module_counts_references():
        print("leakcheck: %s was built without the debug interpreter's headers, so its "
              "reference counting is invisible to the check" % pavro_cjson.__file__,
              file=sys.stderr)
        return 2
    if not selected:
        print("leakcheck: no case matches %r" % args.keyword, file=sys.stderr)
        return 2

    print("pavro_cjson leak check: %s, %d calls per measurement, parsers %s"
          % (sys.version.split()[0], args.iterations,
             ", ".join(name for name, _ in PARSERS)))
    # What measuring itself leaves behind, to take off every case.
    noop = lambda: None  # noqa: E731
    measure(noop, args.iterations)
    baseline = min((measure(noop, args.iterations) for _ in range(3)))
    for note in NOTES:
        print("note:", note)
    unraisable = UnraisableFilter()
    sys.unraisablehook = unraisable
    passed = failed = 0
    for name, function in selected:
        ok, line = run_case(name, function, args, baseline)
        print(line, flush=True)
        if ok:
            passed += 1
        else:
            failed += 1
            if args.exitfirst:
                break
    sys.unraisablehook = unraisable.default
    if unraisable.parser_closings:
        print("note: %d parsers abandoned by a failing load complained while closing "
              "(ijson's own behaviour)" % unraisable.parser_closings)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
