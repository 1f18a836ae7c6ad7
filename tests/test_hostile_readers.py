"""Hostile bags, sources, parsed documents, parser events, builders and
models against the two readers, and hostile documents against the compiled
one.

Whatever they do, a load must end in a Python exception or in the model the
document describes, and never crash; where the exception is determined, the
test says which.
"""

import gc
import io
import json as std_json
import os
import subprocess
import sys
import types
import weakref

import pytest

import pavro_cjson
from pavro.bag import ChainModel

from hostile_objects import Boom, Opaque, SMALL_DOC, raiser

ujson = pytest.importorskip("ujson")
ijson = pytest.importorskip("ijson")

pytestmark = pytest.mark.usefixtures("collect_abandoned_parsers", "real_collaborators")


# ---------------------------------------------------------------------------
# Bags, files and sources that misbehave
# ---------------------------------------------------------------------------



class RecordingModel:
    def __init__(self):
        self.calls = []

    def clear(self):
        self.calls.append("clear")

    def set_bag(self, start, bag):
        self.calls.append(("set_bag", start))

    def add_to_bag(self, start, follower, count=None):
        self.calls.append(("add_to_bag", start, tuple(follower), count))


def test_bag_classes_that_fail(monkeypatch):
    exc = Boom("add")

    class AddRaises:
        def add(self, follower, count=None):
            raise exc

    class InitRaises:
        def __init__(self):
            raise exc

    class NoAdd:
        pass

    for bag_class, error in ((AddRaises, Boom), (InitRaises, Boom), (5, TypeError),
                             (None, TypeError), (NoAdd, AttributeError)):
        monkeypatch.setattr(pavro_cjson, "ProbabilityBag", bag_class)
        model = RecordingModel()
        with pytest.raises(error) as info:
            pavro_cjson.load_json_small(model, io.StringIO(SMALL_DOC))
        if error is Boom:
            assert info.value is exc
        # Cleared, and no start handed over: its bag never completed.
        assert model.calls == ["clear"]
    monkeypatch.delattr(pavro_cjson, "ProbabilityBag")
    model = RecordingModel()
    with pytest.raises(NameError):
        pavro_cjson.load_json_small(model, io.StringIO(SMALL_DOC))


class OddSource:
    def __init__(self, result):
        self._result = result

    def read(self, size=-1):
        return self._result


@pytest.mark.parametrize("library", [ujson, std_json], ids=["ujson", "json"])
@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_whole_reader_sources_that_read_non_text(library, merge, monkeypatch):
    monkeypatch.setattr(pavro_cjson, "json", library)
    for result in (5, None, ["{}"], Opaque(), 2.5):
        model = RecordingModel()
        with pytest.raises(Exception):
            pavro_cjson.load_json_small(model, OddSource(result), merge)
        assert model.calls == []
    # Bytes are a document too, for both libraries.
    model = RecordingModel()
    pavro_cjson.load_json_small(model, OddSource(SMALL_DOC.encode()), True)
    assert model.calls == [("add_to_bag", "a", ("a", "b"), 2), ("add_to_bag", "b", ("b",), 1)]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_streaming_reader_sources_that_read_non_bytes(merge):
    for result in (5, None, ["{}"], Opaque()):
        model = RecordingModel()
        with pytest.raises(Exception):
            pavro_cjson.load_json_big(model, OddSource(result), merge)
        assert model.calls == []


# ---------------------------------------------------------------------------
# Hostile documents handed over by a JSON library stand-in
# ---------------------------------------------------------------------------


class GivenDocument:
    def __init__(self, doc):
        self._doc = doc

    def load(self, file):
        return self._doc


class Token:
    """A token whose hashing or comparing runs given code."""

    def __init__(self, value, on_hash=None, on_eq=None):
        self.value = value
        self.on_hash = on_hash
        self.on_eq = on_eq

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return hash(self.value)

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return self.value == getattr(other, "value", other)


def fails_before_the_model(load, merge, exc):
    """`load` into a fresh recording model raises `exc` itself, and never calls the model."""
    model = RecordingModel()
    with pytest.raises(Boom) as info:
        load(model, None, merge)
    assert info.value is exc
    assert model.calls == []


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_whole_reader_with_hostile_tokens(merge, monkeypatch):
    exc = Boom("token hash")
    doc = {"codes": [Token(0, on_hash=raiser(exc)), "a"], "chain": [0, [[0], 1]]}
    monkeypatch.setattr(pavro_cjson, "json", GivenDocument(doc))
    fails_before_the_model(pavro_cjson.load_json_small, merge, exc)

    # A start token whose comparison grows the chain table being walked.
    chain = [Token(0), [[0], 1]]

    def grow():
        if len(chain) < 8:
            chain.extend([0, [[0], len(chain)]])

    chain[0].on_eq = grow
    doc = {"codes": [0, "a"], "chain": chain}
    monkeypatch.setattr(pavro_cjson, "json", GivenDocument(doc))
    model = RecordingModel()
    if merge:
        pavro_cjson.load_json_small(model, None, merge)
        assert model.calls[0] == ("add_to_bag", "a", ("a",), 1)
        assert all(call[:3] == ("add_to_bag", "a", ("a",)) for call in model.calls)
    else:
        pavro_cjson.load_json_small(model, None, merge)
        assert model.calls[0] == "clear"
        assert all(call == ("set_bag", "a") for call in model.calls[1:])


@pytest.mark.parametrize("change", ["shrink", "grow"])
def test_follower_changed_by_its_own_lookups(change, monkeypatch):
    # The follower list is read as its iterator reads it, whatever the
    # lookups do to it meanwhile: the model gets tuple(codes[x] for x in it).
    def document():
        follower = [Token(0), 0, 0]

        def step():
            if change == "shrink" and len(follower) > 1:
                follower.pop()
            elif change == "grow" and len(follower) < 40:
                follower.append(Token(0, on_hash=step))

        follower[0].on_hash = step
        return {"codes": [0, "a"], "chain": [0, [follower, 1]]}, follower

    doc, _ = document()
    monkeypatch.setattr(pavro_cjson, "json", GivenDocument(doc))
    model = RecordingModel()
    pavro_cjson.load_json_small(model, None, True)
    _, follower = document()
    codes = {0: "a"}
    assert model.calls == [("add_to_bag", "a", tuple(codes[x] for x in follower), 1)]


class GivenEvents:
    """A parser stand-in that yields given events."""

    def __init__(self, events):
        self._events = events

    def parse(self, file):
        return iter(self._events)


def chain_events(code_table, chain=((0, [[0], 1]),)):
    events = [("", "start_map", None), ("", "map_key", "codes"), ("", "start_array", None)]
    for value in code_table:
        events.append(("", "string" if isinstance(value, str) else "number", value))
    events += [("", "end_array", None), ("", "map_key", "chain"), ("", "start_array", None)]
    for start, followers in chain:
        events += [("", "number", start), ("", "start_array", None)]
        for follower in followers:
            if isinstance(follower, list):
                events.append(("", "start_array", None))
                events += [("", "number", x) for x in follower]
                events.append(("", "end_array", None))
            else:
                events.append(("", "number", follower))
        events.append(("", "end_array", None))
    events += [("", "end_array", None), ("", "end_map", None)]
    return events


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_streaming_reader_with_hostile_tokens(merge, monkeypatch):
    # A token that cannot be hashed fails the code table's close, before
    # the model is touched: not even the replace-mode clear has happened.
    exc = Boom("token hash")
    monkeypatch.setattr(pavro_cjson, "ijson", GivenEvents(
        chain_events([Token(0, on_hash=raiser(exc)), "a"])))
    fails_before_the_model(pavro_cjson.load_json_big, merge, exc)

    # A start token whose comparison raises fails the first pair before
    # add_to_bag, and again before the clear.
    exc = Boom("token eq")
    events = chain_events([0, "a"])
    events[events.index(("", "number", 0), 4)] = ("", "number", Token(0, on_eq=raiser(exc)))
    monkeypatch.setattr(pavro_cjson, "ijson", GivenEvents(events))
    fails_before_the_model(pavro_cjson.load_json_big, merge, exc)


class Payload:
    """A weakly referenceable stand-in for a code, to see what survives."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.name == getattr(other, "name", other)


def test_streaming_reader_under_collection_keeps_nothing():
    # A model that keeps the decoding generator and is itself reachable
    # from what the generator holds: a cycle through the generator.
    payloads = []

    class Builder(ijson.ObjectBuilder):
        def event(self, event, value):
            super().event(event, value)
            gc.collect()

    class CycleModel:
        def __init__(self):
            self.kept = []

        def clear(self):
            pass

        def add_to_bag(self, start, follower, count=None):
            self.kept.append(follower)

    class FakeParse:
        def __init__(self, model):
            self.model = model

        def parse(self, file):
            payload = Payload("a")
            payloads.append(weakref.ref(payload))
            # The decoding map holds the payload, the payload the model.
            payload.model = self.model
            for event in (("", "start_map", None), ("", "map_key", "codes"),
                          ("", "start_array", None), ("", "number", 0),
                          ("", "string", payload), ("", "end_array", None),
                          ("", "map_key", "chain"), ("", "start_array", None),
                          ("", "number", 0), ("", "start_array", None),
                          ("", "start_array", None), ("", "number", 0),
                          ("", "end_array", None), ("", "number", 1),
                          ("", "end_array", None), ("", "end_array", None),
                          ("", "end_map", None)):
                gc.collect()
                yield event

    model = CycleModel()
    pavro_cjson.ObjectBuilder = Builder
    pavro_cjson.ijson = FakeParse(model)
    pavro_cjson.load_json_big(model, None)
    assert len(model.kept) == 1
    ref = weakref.ref(model)
    pavro_cjson.ijson = None
    del model
    gc.collect()
    assert ref() is None
    assert all(p() is None for p in payloads)


def test_readers_under_collection_keep_nothing_after_failures():
    class Model_(RecordingModel):
        def add_to_bag(self, start, follower, count=None):
            gc.collect()
            raise Boom("late")

        def set_bag(self, start, bag):
            gc.collect()
            raise Boom("late")

    for merge in (False, True):
        for load, source in ((pavro_cjson.load_json_small, lambda: io.StringIO(SMALL_DOC)),
                             (pavro_cjson.load_json_big, lambda: io.BytesIO(SMALL_DOC.encode()))):
            model = Model_()
            model.me = model
            ref = weakref.ref(model)
            with pytest.raises(Boom):
                load(model, source(), merge)
            del model
            gc.collect()
            assert ref() is None


class Touchy(str):
    """Event or key text whose comparison with, or startswith() test for,
    any of `against` raises."""

    def __new__(cls, text, *against):
        self = str.__new__(cls, text)
        self.against = against
        return self

    __hash__ = str.__hash__

    def __eq__(self, other):
        if other in self.against:
            raise Boom("compared with {!r}".format(other))
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def startswith(self, prefix, *args):
        if prefix in self.against:
            raise Boom("startswith {!r}".format(prefix))
        return str.startswith(self, prefix, *args)


# {"codes":[],"chain":["a",5]}: parsed to the end, it is refused for the 5.
EVENTS = [("", "start_map", None), ("", "map_key", "codes"), ("codes", "start_array", None),
          ("codes", "end_array", None), ("", "map_key", "chain"), ("chain", "start_array", None),
          ("chain.item", "string", "a"), ("chain.item", "number", 5),
          ("chain", "end_array", None), ("", "end_map", None)]


def touchy_event(index, *against):
    events = list(EVENTS)
    prefix, event, value = events[index]
    events[index] = (prefix, Touchy(event, *against), value)
    return events


def touchy_key(index, *against):
    events = list(EVENTS)
    prefix, event, value = events[index]
    events[index] = (prefix, event, Touchy(value, *against))
    return events


@pytest.mark.parametrize("events", [
    pytest.param(touchy_event(0, "start_"), id="start_ test"),
    pytest.param(touchy_event(0, "end_"), id="end_ test"),
    pytest.param(touchy_event(2, "start_array"), id="start_array compare"),
    pytest.param(touchy_event(3, "end_array"), id="end_array compare"),
    pytest.param(touchy_event(1, "map_key"), id="map_key compare"),
    pytest.param(touchy_key(1, "codes"), id="key compared with codes"),
    pytest.param(touchy_key(4, "chain"), id="key compared with chain"),
    pytest.param(touchy_event(7, "string"), id="scalar kind compare"),
])
def test_event_texts_whose_comparison_raises(monkeypatch, events):
    # A reader that takes the texts for what they are may read on; one that
    # compares them must pass the failure on.
    monkeypatch.setattr(pavro_cjson, "ijson", types.SimpleNamespace(parse=lambda f: iter(events)))
    with pytest.raises((Boom, TypeError)) as info:
        pavro_cjson.load_json_big(ChainModel(), None)
    if info.type is TypeError:
        assert str(info.value) == "a follower list must be an array, not a number"


class Picky(ijson.ObjectBuilder):
    """An object builder that fails on the value "boom", and whose value
    cannot be read once it is ["gone"]."""

    def event(self, event, value):
        if value == "boom":
            raise Boom("event")
        super().event(event, value)

    @property
    def value(self):
        if self._value == ["gone"]:
            raise Boom("value")
        return self._value

    @value.setter
    def value(self, value):
        self._value = value


class FailingModel(ChainModel):
    def clear(self):
        raise Boom("clear")

    def add_to_bag(self, start, follower, count=None):
        raise Boom("add_to_bag")


@pytest.mark.parametrize("events, merge", [
    # Streams that stop early: the chain table still open, or right after
    # a count (the pair is handed over when the stream ends).
    pytest.param(EVENTS[:6], False, id="ends in the chain table"),
    pytest.param(EVENTS[:6] + [("chain.item", "string", "a"), ("chain.item", "start_array", None),
                               ("chain.item.item", "start_array", None),
                               ("chain.item.item.item", "string", "b"),
                               ("chain.item.item", "end_array", None),
                               ("chain.item", "number", 1)], True, id="ends after a count"),
    pytest.param(EVENTS[:6] + EVENTS[-2:], False, id="empty chain table closes"),
])
def test_model_failing_where_the_stream_ends(monkeypatch, events, merge):
    monkeypatch.setattr(pavro_cjson, "ijson", types.SimpleNamespace(parse=lambda f: iter(events)))
    with pytest.raises(Boom):
        pavro_cjson.load_json_big(FailingModel(), None, merge)


@pytest.mark.parametrize("start", ["boom", "gone"])
def test_object_builder_failing_on_a_start_token(monkeypatch, start):
    monkeypatch.setattr(pavro_cjson, "ObjectBuilder", Picky)
    text = '{"codes":[],"chain":[["%s"],[["b"],1]]}' % start
    with pytest.raises(Boom):
        pavro_cjson.load_json_big(ChainModel(), io.BytesIO(text.encode()))


# ---------------------------------------------------------------------------
# Hostile documents: memory runs out
# ---------------------------------------------------------------------------

# One integer of 32 Mi digits, in one read, under an address-space cap that
# leaves no room for a copy of it.  Run in a child process: the failure mode
# was an abort (a C++ exception through yajl's frames).
HUGE_NUMBER = r"""
import resource, sys, types
import pavro_cjson
from ijson.backends import yajl2_cffi
if sys.argv[1] == "events":
    pavro_cjson.ijson = types.SimpleNamespace(parse=yajl2_cffi.parse)
text = b'{"codes":[],"chain":[0,[[1],' + b"7" * (32 << 20) + b"]]}"
class Source:
    def read(self, n):
        global text
        chunk, text = (text, b"") if n else (b"", text)
        return chunk
class Model:
    log = []
    def clear(self): self.log.append("clear")
    def add_to_bag(self, *args, **kwargs): self.log.append("add_to_bag")
source = Source()
size = [int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize")]
cap = size[0] * 1024 + (16 << 20)
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
try:
    pavro_cjson.load_json_big(Model(), source)
except Exception as exc:
    print(type(exc).__name__, Model.log)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.skipif(bool(os.environ.get("PJSON_SANITIZER")),
                    reason="the sanitizer's shadow memory leaves no address space to cap")
@pytest.mark.parametrize("path", ["compiled", "events"])
def test_allocation_failure_is_a_memory_error(path):
    if path == "compiled" and pavro_cjson.ijson.__name__ != "ijson.backends.yajl2_cffi":
        pytest.skip("no compiled path")
    done = subprocess.run([sys.executable, "-c", HUGE_NUMBER, path], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    name, log = done.stdout.split(" ", 1)
    # The backend turns its own callback's MemoryError into a JSONError.
    assert name == "MemoryError" if path == "compiled" else name in ("MemoryError", "JSONError")
    assert log.strip() == "[]"  # the model is left as it was, not even emptied
