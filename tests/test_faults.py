"""Fault injection: every operation the functions perform on the objects
they are handed is made to fail, one at a time.

The model, its bags, the file, the frequency mapping, the codes, the JSON
library, the parser and the object builder all report to one `Ops` counter.
A run without faults counts the operations of a call; then, for every k,
the call is repeated with the k-th operation raising a fresh exception.
Each such run must end with that very exception, carry the module's
traceback entries, perform exactly the operations the fault-free run
performed up to k and nothing after, and leave the file and the model
holding exactly what the failure rules allow: nothing from the
whole-document writer until the model has been walked, the pieces already
written by the streaming writer, the calls already completed by the
readers (the streaming reader's clear deferred until the first pair or the
chain table's close).
"""

import collections
import io
import json as std_json

import pytest

import pavro_cjson

ujson = pytest.importorskip("ujson")
ijson = pytest.importorskip("ijson")

REAL_IJSON = pavro_cjson.ijson
REAL_BUILDER = pavro_cjson.ObjectBuilder

#: Injected fault cases run, per function.
INJECTED = collections.Counter()


# Parsers a failed load abandoned are collected after each test.
pytestmark = pytest.mark.usefixtures("collect_abandoned_parsers")


@pytest.fixture(autouse=True)
def report_injected_cases(request):
    """Hands the cases this test injected to the summary (conftest.py) as
    report properties: with the tests spread over processes (pytest -n),
    only reports reach the one that writes the summary."""
    before = INJECTED.copy()
    yield
    for function, count in sorted((INJECTED - before).items()):
        request.node.user_properties.append(("injected fault cases", (function, count)))


# ---------------------------------------------------------------------------
# The shared operation counter
# ---------------------------------------------------------------------------


class Injected(Exception):
    """The fault of one run; a new instance every time."""


class Ops:
    """Counts operations while armed and raises at operation `fail_at`."""

    def __init__(self, fail_at=None):
        self.fail_at = fail_at
        self.armed = False
        self.trail = []
        self.raised = None
        # (operations done when the call completed, the call) for every
        # call into the model that ran to its end.
        self.model_calls = []
        # (index of the write operation, piece) for every piece accepted.
        self.writes = []

    def __call__(self, *what):
        if not self.armed:
            return
        self.trail.append(what)
        if len(self.trail) == self.fail_at:
            self.raised = Injected("operation {}: {!r}".format(len(self.trail), what))
            raise self.raised

    def model_call(self, call):
        if self.armed:
            self.model_calls.append((len(self.trail), call))


def plain(value):
    """A comparable, operation-free picture of a value for the trail."""
    if isinstance(value, str):
        return str.__str__(value)
    if isinstance(value, (list, tuple)):
        return tuple(plain(v) for v in value)
    if isinstance(value, dict):
        return tuple((plain(k), plain(v)) for k, v in value.items())
    if isinstance(value, (int, float, type(None))):
        return value
    return type(value).__name__


class Counted:
    """Base of the recorders: every public attribute lookup is an operation."""

    _label = "object"

    def __getattribute__(self, name):
        if not name.startswith("_"):
            object.__getattribute__(self, "_ops")("getattr", object.__getattribute__(self, "_label"), name)
        return object.__getattribute__(self, name)


class CountingIterator:
    """Iterates over given values; each step, the last included, is an operation."""

    def __init__(self, ops, label, values):
        self._ops = ops
        self._label = label
        self._values = iter(values)
        self._index = 0

    def __iter__(self):
        return self

    def __next__(self):
        self._ops("next", self._label, self._index)
        self._index += 1
        return next(self._values)


class CountingIterable:
    """A sequence known only through iteration: iter() is an operation."""

    def __init__(self, ops, label, values):
        self._ops = ops
        self._label = label
        self._values = tuple(values)

    def __iter__(self):
        self._ops("iter", self._label)
        return CountingIterator(self._ops, self._label, self._values)


# ---------------------------------------------------------------------------
# Writer side: codes, frequency mapping, model, bags, file
# ---------------------------------------------------------------------------


class Code(str):
    """A string code whose hashing and comparing are operations."""

    def __new__(cls, text, ops):
        self = str.__new__(cls, text)
        self._ops = ops
        return self

    def __hash__(self):
        self._ops("hash", str.__str__(self))
        return str.__hash__(self)

    def __eq__(self, other):
        self._ops("eq", str.__str__(self), plain(other))
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)


class Occurrences:
    """A frequency whose negation and comparisons are operations."""

    def __init__(self, n, ops):
        self._n = n
        self._ops = ops

    def __neg__(self):
        self._ops("neg", self._n)
        return Occurrences(-self._n, self._ops)

    def __lt__(self, other):
        self._ops("lt", self._n, other._n)
        return self._n < other._n


class FrequencyItem:
    """One (code, occurrences) item, known only by indexing."""

    def __init__(self, ops, code, occurrences):
        self._ops = ops
        self._parts = (code, occurrences)

    def __getitem__(self, index):
        self._ops("freq item", str.__str__(self._parts[0]), index)
        return self._parts[index]


class FrequencyItems(CountingIterable):
    def __len__(self):
        self._ops("len", self._label)
        return len(self._values)


class FrequencyMapping(Counted):
    _label = "frequencies"

    def __init__(self, ops, entries):
        self._ops = ops
        self._entries = entries

    def items(self):
        self._ops("call", "frequencies.items")
        return FrequencyItems(
            self._ops,
            "frequency items",
            [FrequencyItem(self._ops, Code(code, self._ops), Occurrences(n, self._ops))
             for code, n in self._entries],
        )


class Bag(Counted):
    def __init__(self, ops, label, choices):
        self._ops = ops
        self._label = label
        self._choices = choices

    def choices(self):
        self._ops("call", self._label + ".choices")
        return CountingIterator(self._ops, self._label + ".choices", self._choices)

    @property
    def unique_count(self):
        return len(self._choices)


class Model(Counted):
    _label = "chain"

    def __init__(self, ops, frequencies, entries):
        self._ops = ops
        self._frequencies = frequencies
        self._entries = entries

    def build_frequency_dict(self):
        self._ops("call", "chain.build_frequency_dict")
        return FrequencyMapping(self._ops, self._frequencies)

    def items(self):
        self._ops("call", "chain.items")
        return CountingIterator(self._ops, "chain.items", self._entries)

    def __len__(self):
        self._ops("len", "chain")
        return len(self._entries)


class SinkFile(Counted):
    """A text sink; `write` lookups count only when the module makes them
    (the JSON library's own handling of a failing lookup is its business)."""

    _label = "file"

    def __init__(self, ops, lookups_counted=True):
        self._ops = ops
        self._lookups_counted = lookups_counted

    def __getattribute__(self, name):
        if name.startswith("_") or object.__getattribute__(self, "_lookups_counted"):
            return Counted.__getattribute__(self, name)
        return object.__getattribute__(self, name)

    def write(self, piece):
        self._ops("call", "file.write", plain(piece))
        self._ops.writes.append((len(self._ops.trail), piece))
        return len(piece)


class FakeJson(Counted):
    """Stands in for the JSON library; delegates to a real one."""

    _label = "json"

    def __init__(self, ops, real):
        self._ops = ops
        self._real = real

    def dumps(self, value):
        self._ops("call", "json.dumps", plain(value))
        return self._real.dumps(value)

    def dump(self, value, file):
        self._ops("call", "json.dump")
        return self._real.dump(value, file)

    def load(self, file):
        self._ops("call", "json.load")
        return self._real.load(file)


# The model every writer case walks: three starts, a tie in the frequency
# mapping, a code the chain never uses, an empty follower and a bag
# without choices.
FREQUENCIES = [("a", 5), ("b", 3), ("c", 3), ("d", 1), ("e", 1)]
CHAIN = [
    ("a", [(("a", "b"), 2), (("c",), 1)]),
    ("b", [((), 3), (("b", "d", "a"), 1)]),
    ("c", []),
]
COMPRESSED_DOCUMENT = {
    "codes": [0, "a", 1, "b", 2, "c", 3, "d", 4, "e"],
    "chain": [0, [[0, 1], 2, [2], 1], 1, [[], 3, [1, 3, 0], 1], 2, []],
}
PLAIN_DOCUMENT = {
    "codes": [],
    "chain": ["a", [["a", "b"], 2, ["c"], 1], "b", [[], 3, ["b", "d", "a"], 1], "c", []],
}


def build_model(ops, compressed):
    """The model above, spread over every kind of recorder.

    Starts and follower elements are new Code objects, equal to but not
    identical with the mapping's, so looking them up compares them.  Items
    and choices alternate between tuples and counted iterables; compressed
    followers alternate likewise (a plain follower goes to the library
    as it is, so it stays a tuple).
    """

    def code(text):
        return Code(text, ops)

    entries = []
    for i, (start, choices) in enumerate(CHAIN):
        pairs = []
        for j, (follower, count) in enumerate(choices):
            elements = tuple(code(x) for x in follower)
            if compressed and j == 0:
                elements = CountingIterable(ops, "follower {}.{}".format(i, j), elements)
            pair = (elements, count)
            if j == 1:
                pair = CountingIterable(ops, "choice {}.{}".format(i, j), pair)
            pairs.append(pair)
        entry = (code(start), Bag(ops, "bag {}".format(i), pairs))
        if i == 1:
            entry = CountingIterable(ops, "entry {}".format(i), entry)
        entries.append(entry)
    return Model(ops, FREQUENCIES, entries)


# ---------------------------------------------------------------------------
# Reader side: file, parser, builder, model, bags
# ---------------------------------------------------------------------------


class SourceFile:
    """The document's text; only the library or parser reads it, so its
    lookups are not counted (their handling is theirs), its reads are."""

    def __init__(self, ops, data):
        self._ops = ops
        self._data = data

    def read(self, size=-1):
        self._ops("call", "file.read", size)
        if size is None or size < 0:
            chunk, self._data = self._data, self._data[:0]
        else:
            chunk, self._data = self._data[:size], self._data[size:]
        return chunk


class FakeIjson(Counted):
    """Stands in for the parser module; wraps a real backend's events."""

    _label = "ijson"

    def __init__(self, ops, backend):
        self._ops = ops
        self._backend = backend

    def parse(self, file):
        self._ops("call", "ijson.parse")
        return self._events(self._backend.parse(file))

    def _events(self, inner):
        for prefix, event, value in inner:
            self._ops("event", event, plain(value))
            yield prefix, event, value
        self._ops("event", "end of stream")


def builder_class(ops):
    class Builder(Counted):
        _label = "builder"

        def __init__(self):
            ops("call", "ObjectBuilder()")
            self._ops = ops
            self._real = REAL_BUILDER()

        def event(self, event, value):
            self._ops("call", "builder.event", event, plain(value))
            self._real.event(event, value)

        @property
        def value(self):
            return self._real.value

    return Builder


def draw(ops, follower):
    """What a follower held; a one-pass iterable is drawn, each step an operation."""
    if isinstance(follower, (list, tuple)):
        return plain(follower)
    drawn = []
    for code in follower:
        ops("draw", plain(code))
        drawn.append(plain(code))
    return ("gen", tuple(drawn))


class ReaderBag(Counted):
    def __init__(self, ops, label):
        self._ops = ops
        self._label = label
        self._added = []

    def add(self, follower, count=None):
        self._ops("call", self._label + ".add", plain(follower), plain(count))
        self._added.append((draw(self._ops, follower), plain(count)))


class ReaderModel(Counted):
    _label = "chain"

    def __init__(self, ops):
        self._ops = ops

    def clear(self):
        self._ops("call", "chain.clear")
        self._ops.model_call(("clear",))

    def add_to_bag(self, start, follower, count=None):
        self._ops("call", "chain.add_to_bag", plain(start), plain(count))
        self._ops.model_call(("add_to_bag", plain(start), draw(self._ops, follower), plain(count)))

    def set_bag(self, start, bag):
        self._ops("call", "chain.set_bag", plain(start))
        self._ops.model_call(("set_bag", plain(start), tuple(bag._added)))


def bag_factory(ops):
    made = []

    def ProbabilityBag():
        ops("call", "ProbabilityBag()")
        bag = ReaderBag(ops, "bag{}".format(len(made)))
        made.append(bag)
        return bag

    return ProbabilityBag


# ---------------------------------------------------------------------------
# The harness
# ---------------------------------------------------------------------------


def pjson_entries(exc):
    """Names of the traceback entries the module added, outermost first,
    and the innermost frame's code."""
    names = []
    tb = exc.__traceback__
    last = None
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == "pjson":
            names.append(code.co_name)
        last = code
        tb = tb.tb_next
    return names, last


def check_traceback(exc, function):
    names, innermost = pjson_entries(exc)
    body = "pavro_cjson." + function
    assert names, "no pjson traceback entry"
    assert names[0] == body, names
    for name in names[1:]:
        assert name.startswith(body + ".") or name == "genexpr", names
    # The exception still carries its origin: it was not replaced.
    assert innermost is Ops.__call__.__code__


class Case:
    """One function in one mode, run with and without faults."""

    def __init__(self, function, setup):
        self.function = function
        # setup(ops) -> (arguments, outcome); outcome() tells what the file
        # or the model received.
        self.setup = setup

    def run(self, fail_at):
        ops = Ops(fail_at)
        args, outcome = self.setup(ops)
        ops.armed = True
        try:
            getattr(pavro_cjson, self.function)(*args)
        except BaseException as exc:  # the fault itself is what we check
            error = exc
        else:
            error = None
        finally:
            ops.armed = False
        return ops, error, outcome()

    def baseline(self, expected_error=None):
        ops, error, outcome = self.run(None)
        if expected_error is None:
            assert error is None, repr(error)
        else:
            assert isinstance(error, expected_error[0]) and error.args == expected_error[1], repr(error)
        return ops, outcome

    def inject_all(self, check, expected_error=None):
        """Runs every fault; `check(k, ops, outcome, base_ops, base_outcome)`
        states what the outcome must be.  Returns the number of runs."""
        base_ops, base_outcome = self.baseline(expected_error)
        n = len(base_ops.trail)
        assert n > 0
        problems = []
        for k in range(1, n + 1):
            ops, error, outcome = self.run(k)
            INJECTED[self.function] += 1
            try:
                assert ops.raised is not None, "operation {} never happened".format(k)
                assert error is ops.raised, "got {!r} instead of {!r}".format(error, ops.raised)
                check_traceback(error, self.function)
                assert ops.trail == base_ops.trail[:k], "operations differ from the fault-free run"
                check(k, ops, outcome, base_ops, base_outcome)
            except AssertionError as failure:
                problems.append("k={} ({!r}): {}".format(
                    k, base_ops.trail[k - 1], str(failure).splitlines()[0]))
        assert not problems, "{} of {} injected faults misbehaved:\n{}".format(
            len(problems), n, "\n".join(problems[:15]))
        return n


def pieces_before(base_ops, k):
    """The pieces the fault-free run had written before operation k."""
    return [piece for index, piece in base_ops.writes if index < k]


def calls_before(base_ops, k):
    """The model calls the fault-free run had completed before operation k."""
    return [call for index, call in base_ops.model_calls if index < k]


# ---------------------------------------------------------------------------
# Writers
# ---------------------------------------------------------------------------

JSON_LIBRARIES = [pytest.param(ujson, id="ujson"), pytest.param(std_json, id="json")]


def writer_case(function, compressed, library, monkeypatch):
    def setup(ops):
        monkeypatch.setattr(pavro_cjson, "json", FakeJson(ops, library))
        model = build_model(ops, compressed)
        file = SinkFile(ops, lookups_counted=function == "dump_json_big")
        return (model, file, compressed), lambda: [piece for _, piece in ops.writes]

    return Case(function, setup)


@pytest.mark.parametrize("library", JSON_LIBRARIES)
@pytest.mark.parametrize("compressed", [True, False], ids=["compressed", "plain"])
def test_whole_document_writer_faults(compressed, library, monkeypatch):
    case = writer_case("dump_json_small", compressed, library, monkeypatch)
    base_ops, base_pieces = case.baseline()
    text = "".join(base_pieces)
    assert std_json.loads(text) == (COMPRESSED_DOCUMENT if compressed else PLAIN_DOCUMENT)
    dump_at = base_ops.trail.index(("call", "json.dump")) + 1
    # Nothing reaches the library before the model has been walked.
    assert not any(op[0] == "call" and op[1].startswith(("chain", "bag"))
                   for op in base_ops.trail[dump_at:])

    def check(k, ops, pieces, base_ops, base_pieces):
        if k <= dump_at:
            assert pieces == [], "the file was written before dump"
        assert pieces == pieces_before(base_ops, k)

    case.inject_all(check)


@pytest.mark.parametrize("library", JSON_LIBRARIES)
@pytest.mark.parametrize("compressed", [True, False], ids=["compressed", "plain"])
def test_streaming_writer_faults(compressed, library, monkeypatch):
    case = writer_case("dump_json_big", compressed, library, monkeypatch)
    base_ops, base_pieces = case.baseline()
    text = "".join(base_pieces)
    assert std_json.loads(text) == (COMPRESSED_DOCUMENT if compressed else PLAIN_DOCUMENT)
    assert ("len", "chain") not in base_ops.trail

    def check(k, ops, pieces, base_ops, base_pieces):
        expected = pieces_before(base_ops, k)
        assert pieces == expected
        assert pieces == base_pieces[:len(pieces)]

    case.inject_all(check)


# ---------------------------------------------------------------------------
# Readers
# ---------------------------------------------------------------------------

# (name, text, replace-mode calls, merge-mode calls, error) for the whole-
# document reader; the streaming reader's calls follow from them.
COMPRESSED_EXAMPLE = '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2]]}'
PLAIN_EXAMPLE = '{"codes":[],"chain":["a",[["a","b"],2]]}'
LARGER = '{"codes":[0,"a",1,"b",2,"c"],"chain":[0,[[0,1],2,[2],1],1,[[],3],2,[]]}'
PLAIN_LARGER = '{"codes":[],"chain":["a",[["a","b"],2,[],1],"z",[]]}'
ONLY_EMPTY_LIST = '{"codes":[],"chain":["z",[]]}'
NO_CHAIN = '{"codes":[0,"a",1,"b"],"other":[0,[[0,1],2]]}'

SMALL_READER_DOCUMENTS = {
    "compressed example": (
        COMPRESSED_EXAMPLE,
        [("clear",), ("set_bag", "a", ((("a", "b"), 2),))],
        [("add_to_bag", "a", ("a", "b"), 2)],
    ),
    "plain example": (
        PLAIN_EXAMPLE,
        [("clear",), ("set_bag", "a", ((("a", "b"), 2),))],
        [("add_to_bag", "a", ("a", "b"), 2)],
    ),
    "larger": (
        LARGER,
        [("clear",),
         ("set_bag", "a", ((("a", "b"), 2), (("c",), 1))),
         ("set_bag", "b", (((), 3),)),
         ("set_bag", "c", ())],
        [("add_to_bag", "a", ("a", "b"), 2),
         ("add_to_bag", "a", ("c",), 1),
         ("add_to_bag", "b", (), 3)],
    ),
    "plain larger": (
        PLAIN_LARGER,
        [("clear",), ("set_bag", "a", ((("a", "b"), 2), ((), 1))), ("set_bag", "z", ())],
        [("add_to_bag", "a", ("a", "b"), 2), ("add_to_bag", "a", (), 1)],
    ),
    "no chain": (NO_CHAIN, None, None),
}

BIG_READER_DOCUMENTS = {
    "compressed example": (COMPRESSED_EXAMPLE, [("add_to_bag", "a", ("gen", ("a", "b")), 2)]),
    "plain example": (PLAIN_EXAMPLE, [("add_to_bag", "a", ("a", "b"), 2)]),
    "larger": (LARGER, [
        ("add_to_bag", "a", ("gen", ("a", "b")), 2),
        ("add_to_bag", "a", ("gen", ("c",)), 1),
        ("add_to_bag", "b", ("gen", ()), 3),
    ]),
    "plain larger": (PLAIN_LARGER, [
        ("add_to_bag", "a", ("a", "b"), 2),
        ("add_to_bag", "a", (), 1),
    ]),
    "only an empty follower list": (ONLY_EMPTY_LIST, []),
    "no chain": (NO_CHAIN, None),
}

MERGE_MODES = [pytest.param(False, id="replace"), pytest.param(True, id="merge")]


@pytest.mark.parametrize("library", JSON_LIBRARIES)
@pytest.mark.parametrize("merge", MERGE_MODES)
@pytest.mark.parametrize("document", sorted(SMALL_READER_DOCUMENTS))
def test_whole_document_reader_faults(document, merge, library, monkeypatch):
    text, replace_calls, merge_calls = SMALL_READER_DOCUMENTS[document]

    def setup(ops):
        monkeypatch.setattr(pavro_cjson, "json", FakeJson(ops, library))
        monkeypatch.setattr(pavro_cjson, "ProbabilityBag", bag_factory(ops))
        return (ReaderModel(ops), SourceFile(ops, text), merge), lambda: [
            call for _, call in ops.model_calls]

    case = Case("load_json_small", setup)
    expected_error = (KeyError, ("chain",)) if replace_calls is None else None
    base_ops, base_calls = case.baseline(expected_error)
    if replace_calls is None:
        assert base_calls == []
    else:
        assert base_calls == (merge_calls if merge else replace_calls)

    def check(k, ops, calls, base_ops, base_calls):
        assert calls == calls_before(base_ops, k)

    case.inject_all(check, expected_error)


BACKENDS = ["yajl2_cffi", "python"]


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("merge", MERGE_MODES)
@pytest.mark.parametrize("document", sorted(BIG_READER_DOCUMENTS))
def test_streaming_reader_faults(document, merge, backend, monkeypatch):
    text, pairs = BIG_READER_DOCUMENTS[document]
    real_backend = ijson.get_backend(backend)

    def setup(ops):
        monkeypatch.setattr(pavro_cjson, "ijson", FakeIjson(ops, real_backend))
        monkeypatch.setattr(pavro_cjson, "ObjectBuilder", builder_class(ops))
        return (ReaderModel(ops), SourceFile(ops, text.encode()), merge), lambda: [
            call for _, call in ops.model_calls]

    case = Case("load_json_big", setup)
    expected_error = (KeyError, ("chain",)) if pairs is None else None
    base_ops, base_calls = case.baseline(expected_error)
    if pairs is None:
        # A stream without a chain table leaves the model untouched.
        assert base_calls == []
    elif merge:
        assert base_calls == pairs
    else:
        assert base_calls == [("clear",)] + pairs
        # The clear waits for the first pair or, without one, for the
        # chain table's close.
        clear_at = next(i for i, call in base_ops.model_calls if call == ("clear",))
        before = base_ops.trail[:clear_at]
        assert before[-1] == ("call", "chain.clear")
        assert not any(op[:2] == ("call", "chain.add_to_bag") for op in before)
        events = [op for op in before if op[0] == "event"]
        if pairs:
            # The first pair goes over once the parser has moved past its count.
            assert events[-2] == ("event", "number", pairs[0][3])
        else:
            assert events[-1] == ("event", "end_array", None)  # the chain table's close

    def check(k, ops, calls, base_ops, base_calls):
        assert calls == calls_before(base_ops, k)
        if pairs is None:
            assert calls == []

    case.inject_all(check, expected_error)
