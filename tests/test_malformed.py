"""Both readers against damaged and hostile documents.

Whatever the bytes, a load either succeeds or raises an ordinary exception:
never a crash, a hang, or a SystemError (which would mean the C++ returned
failure without setting an exception, or the other way round).  What the
model receives is checked exactly: against the pairs of the readable prefix
for cut-off documents, and against a plain-Python reader for everything else
(``tests/reference/readers.py``), so a wrong count, a lost
pair or a pair handed over after the failure is caught, not only a crash.

Exceptions raised by the JSON library or the parser are theirs; the tests
require only that they are ordinary exceptions, and that the module passes
them on unchanged.
"""

import faulthandler
import gc
import io
import os
import json as std_json
import re
import subprocess
import sys
import textwrap

import ijson
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pavro_cjson
from pavro.bag import ChainModel

from examples import examples
from documents import (DOCUMENTS, ODD_VALUES, POSITIONS, WHOLE_TEXTS, WRONG_TYPES,
                       damaged_documents, listed_difference, place, sorted_keys)
from fakes import BagFactory, Log, RecordingChain
from reference.readers import ReferenceLoadBig, reference_load_small

ujson = pytest.importorskip("ujson")
yajl2_cffi = pytest.importorskip("ijson.backends.yajl2_cffi")
BOUND_PARSER = pavro_cjson.ijson  # as the module bound it at import


@pytest.fixture(autouse=True)
def hang_guard():
    """A reader stuck in a loop would stall the run; dump and exit instead."""
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# ---------------------------------------------------------------------------
# Readers and what a load did
# ---------------------------------------------------------------------------


class Outcome:
    """What one load did: the calls the model saw, and the exception if any."""

    def __init__(self, log, error):
        self.log = log
        self.error = error

    def same_error(self, other):
        if (self.error is None) != (other.error is None):
            return False
        if self.error is None:
            return True
        if type(self.error) is not type(other.error):
            return False
        # A missing token is the module's own KeyError and must name it; a
        # refused shape is the module's own TypeError and must say so alike.
        if isinstance(self.error, KeyError) or str(other.error).startswith(
                "a follower list"):
            return repr(self.error.args) == repr(other.error.args)
        return True

    def describe(self):
        error = "no error" if self.error is None else type(self.error).__name__
        return "{} after {!r}".format(error, self.log)[:2000]


def run_load(load, data, merge):
    """Loads `data` into a recording model; ProbabilityBag records into it too."""
    log = Log()
    chain = RecordingChain(log=log)
    saved = pavro_cjson.ProbabilityBag
    pavro_cjson.ProbabilityBag = BagFactory(log)
    error = None
    try:
        load(chain, io.BytesIO(data), merge)
    except Exception as exc:  # anything but an ordinary exception fails the test
        error = exc
    finally:
        pavro_cjson.ProbabilityBag = saved
    assert not isinstance(error, SystemError), "C++ error indicator out of step: {!r}".format(
        error
    )
    if error is not None:
        # Nothing may reach the model once the exception is out, e.g. from a
        # generator or parser finalised later (young objects are enough: a
        # full collection per load would cost more than the load).
        seen = len(log)
        gc.collect(0)
        assert len(log) == seen
    return Outcome(log, error)


class Reader:
    """One reader with one library or parser bound, and its Python twin."""

    def __init__(self, name, load, reference):
        self.name = name
        self.load = load
        self.reference = reference
        self.streaming = load is pavro_cjson.load_json_big
        # The cffi backend bound at import is parsed with yajl itself.
        self.compiled = self.streaming and pavro_cjson.ijson is BOUND_PARSER is yajl2_cffi

    def outcome(self, data, merge):
        return run_load(self.load, data, merge)

    def check_against_reference(self, data, merge):
        """The module does exactly what the Python reader does on `data`."""
        got = self.outcome(data, merge)
        want = run_load(self.reference, data, merge)
        if repr(got.log) == repr(want.log) and got.same_error(want):
            return got
        if self.compiled and listed_difference(got, want, data):
            return got
        pytest.fail(
            "{} merge={} on {!r}:\n  module:    {}\n  reference: {}".format(
                self.name, merge, data[:300], got.describe(), want.describe()
            )
        )


READERS = ["small-ujson", "small-json", "big-yajl2_cffi", "big-ijson"]


def make_reader(name, monkeypatch):
    kind, lib = name.split("-")
    if kind == "small":
        module = ujson if lib == "ujson" else std_json
        monkeypatch.setattr(pavro_cjson, "json", module)
        return Reader(name, pavro_cjson.load_json_small, reference_load_small)
    backend = yajl2_cffi if lib == "yajl2_cffi" else ijson
    monkeypatch.setattr(pavro_cjson, "ijson", backend)
    return Reader(name, pavro_cjson.load_json_big, ReferenceLoadBig())


@pytest.fixture(params=READERS)
def reader(request, monkeypatch):
    return make_reader(request.param, monkeypatch)


def test_reference_readers_read_the_worked_examples(reader):
    """The Python twins, and the module, read the two worked examples right."""
    compressed = b'{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2]]}'
    plain = b'{"codes":[],"chain":["a",[["a","b"],2]]}'
    decoded = ("gen", ("a", "b")) if reader.streaming else ("a", "b")
    for data, follower in ((compressed, decoded), (plain, ["a", "b"])):
        want = [("add_to_bag", "a", follower, 2)]
        assert list(run_load(reader.reference, data, True).log) == want
        assert list(reader.outcome(data, True).log) == want
        reader.check_against_reference(data, False)


def test_documents_cover_what_the_cuts_need():
    # Compact and blank-separated texts, compressed and plain (the streaming
    # writer's compressed text equals the compact one).
    assert {"small-ujson-compressed", "small-ujson-plain", "small-json-compressed",
            "small-json-plain", "big-json-plain"} <= set(DOCUMENTS)
    compressed = DOCUMENTS["small-ujson-compressed"].decode()
    assert "[10,1]" in compressed  # two-digit tokens
    counts = [compressed[:end] for end, _ in count_positions(compressed)]
    assert any(re.search(r"[^0-9][0-9]{4}$", head) for head in counts)  # long counts


_TOKEN = re.compile(r'\s*(?:([{}\[\]:,])|("(?:[^"\\]|\\.)*")|([^\s{}\[\]:,"]+))')


def count_positions(text):
    """For each count of the chain table, in order: the offset just past its
    token, and the offset of the bracket that follows it (the next event)."""
    tokens = []
    pos = 0
    while True:
        match = _TOKEN.match(text, pos)
        if match is None or match.end() == pos:
            break
        begin = match.start(match.lastindex)
        tokens.append((match.group(match.lastindex), begin, match.end()))
        pos = match.end()
    positions = []
    depth = 0
    key = None
    for index, (token, begin, end) in enumerate(tokens):
        if token in "{[":
            depth += 1
        elif token in "}]":
            depth -= 1
        elif token in ":,":
            pass
        elif depth == 1 and tokens[index + 1][0] == ":":
            key = std_json.loads(token)
        elif depth == 3 and key == "chain":
            after = next(t for t in tokens[index + 1:] if t[0] != ",")
            positions.append((end, after[1]))
    return positions


def test_count_positions():
    text = '{"codes": [], "chain": ["a", [["a", "b"], 12, [], 3], 0, []]}'
    assert count_positions(text) == [(text.index("12") + 2, text.index("[]", 40)),
                                     (text.index("3") + 1, text.index("3") + 1)]


# ---------------------------------------------------------------------------
# Truncation at every byte
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("doc", sorted(DOCUMENTS))
@pytest.mark.parametrize("lib", ["ujson", "json"])
def test_truncated_small_touches_nothing(lib, doc, merge, monkeypatch):
    reader = make_reader("small-" + lib, monkeypatch)
    data = DOCUMENTS[doc]
    full = reader.outcome(data, merge)
    assert full.error is None and full.log
    for cut in range(len(data)):
        got = reader.outcome(data[:cut], merge)
        assert got.error is not None, "cut at {} loaded".format(cut)
        assert list(got.log) == [], "cut at {}: {}".format(cut, got.describe())


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("doc", sorted(DOCUMENTS))
@pytest.mark.parametrize("backend", ["yajl2_cffi", "ijson"])
def test_truncated_big_hands_over_exactly_the_readable_pairs(backend, doc, merge,
                                                              monkeypatch):
    """A pair reaches the model only with its count whole.

    Cut inside a count ("…],12" of "…],1234") the parser still delivers the
    digits it has as a number, so a reader that hands a count over the moment
    it arrives gives the model a count the document never held.  Every count
    followed by its next bracket inside the prefix must have arrived; one
    whose text runs past the cut must not have.  In between (count complete
    but nothing after it yet) either is right.
    """
    reader = make_reader("big-" + backend, monkeypatch)
    data = DOCUMENTS[doc]
    full = reader.outcome(data, merge)
    assert full.error is None
    pairs = [entry for entry in full.log if entry[0] == "add_to_bag"]
    positions = count_positions(data.decode("utf-8"))
    assert len(positions) == len(pairs)
    clear = [] if merge else [("clear",)]
    assert list(full.log) == clear + pairs
    faults = []
    for cut in range(len(data)):
        got = reader.outcome(data[:cut], merge)
        assert got.error is not None, "cut at {} loaded".format(cut)
        at_least = sum(1 for _, after in positions if after < cut)
        at_most = sum(1 for end, _ in positions if end <= cut)
        handed = [entry for entry in got.log if entry[0] == "add_to_bag"]
        chain_closed = data.rindex(b"]") < cut
        expected = (clear if handed or chain_closed else []) + pairs[:len(handed)]
        if list(got.log) != expected or not at_least <= len(handed) <= at_most:
            faults.append("cut at {} ({!r}): model got {!r}, document holds {!r}".format(
                cut, data[max(0, cut - 12):cut], got.log[-1:],
                pairs[len(handed) - 1:len(handed)] if handed else []))
    assert not faults, "\n".join(faults[:10]) + "\n({} cuts wrong)".format(len(faults))


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@settings(max_examples=examples(120), derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture,
                                 HealthCheck.too_slow])
@given(data=damaged_documents())
def test_damaged_documents(reader, merge, data):
    reader.check_against_reference(data, merge)


# Tokens that equal a small int without being one (true, 1.0), ints past
# the table's length or below zero, and the strings that may stand for
# themselves: the readers index rank numbers directly and must still answer
# as the code table's dict does.
TOKENS = st.one_of(st.integers(-2, 12), st.sampled_from([True, False, 1.0, 2.0, 10 ** 20]),
                   st.sampled_from(["a", "b", "10"]))


@st.composite
def code_tables(draw):
    table = draw(st.lists(st.tuples(TOKENS, st.integers(0, 99)), max_size=12))
    known = [token for token, _ in table]
    follower_token = st.sampled_from(known) if known else TOKENS
    starts = draw(st.lists(follower_token, min_size=1, max_size=4))
    chain = []
    for start in starts:
        followers = draw(st.lists(st.lists(st.one_of(follower_token, TOKENS), min_size=1,
                                           max_size=3), min_size=1, max_size=3))
        chain += [start, [x for follower in followers for x in (follower, 1)]]
    document = {"codes": [x for pair in table for x in pair], "chain": chain}
    return std_json.dumps(document).encode()


@settings(max_examples=examples(150), derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=code_tables())
def test_rank_numbers_decode_as_the_code_table_says(reader, data):
    for merge in (False, True):
        reader.check_against_reference(data, merge)


@pytest.mark.parametrize("value", WRONG_TYPES, ids=lambda v: v.decode())
@pytest.mark.parametrize("position", sorted(POSITIONS))
def test_wrong_type_at_every_position(reader, position, value):
    data = place(POSITIONS[position], value)
    for merge in (False, True):
        reader.check_against_reference(data, merge)


@pytest.mark.parametrize("value", sorted(ODD_VALUES))
@pytest.mark.parametrize("position", sorted(POSITIONS))
def test_odd_value_at_every_position(reader, position, value):
    if value == "10**5000" and reader.name == "big-ijson" and ijson.backend == "yajl2_c":
        # ijson's own compiled backend crashes the interpreter on such a
        # number, outside this module; the cffi backend raises.
        pytest.skip("ijson's yajl2_c backend crashes on ints past the digit limit")
    data = place(POSITIONS[position], ODD_VALUES[value])
    for merge in (False, True):
        reader.check_against_reference(data, merge)


@pytest.mark.parametrize("text", sorted(WHOLE_TEXTS))
def test_odd_whole_texts(reader, text):
    for merge in (False, True):
        reader.check_against_reference(WHOLE_TEXTS[text], merge)


# ---------------------------------------------------------------------------
# The two readers agree
# ---------------------------------------------------------------------------

SMALL_LIBS = [("ujson", ujson), ("json", std_json)]
BIG_BACKENDS = [("yajl2_cffi", yajl2_cffi), ("ijson", ijson)]


def parsed(parse, data):
    """What a parser makes of `data`, or a marker when it refuses it."""
    try:
        return parse(data)
    except Exception:
        return REFUSED


REFUSED = object()


def model_after(load, data, merge):
    """A real model that held something before the load, as its start
    codes' non-empty bags, and the exception the load raised."""
    model = ChainModel()
    model.add_to_bag("held before", ("x",), count=1)
    error = None
    try:
        load(model, io.BytesIO(data), merge)
    except Exception as exc:
        error = exc
    # A start whose follower list is empty gets an empty bag from the
    # whole-document reader and no call from the streaming one.
    return {start: bag for start, bag in model.items() if bag.unique_count}, error


def raised_by_model(error):
    tb = error.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    # The compiled model's methods add an entry of their own.
    return os.path.basename(tb.tb_frame.f_code.co_filename) in ("bag.py", "_pavro_model")


def chain_before_codes(data):
    keys = []
    std_json.loads(data.decode("utf-8"), object_pairs_hook=lambda pairs: keys.append(
        [k for k, _ in pairs]) or dict(pairs))
    top = keys[-1]
    return "chain" in top and "codes" in top and top.index("chain") < top.index("codes")


def check_readers_agree(data, monkeypatch):
    """Both readers, with every library and backend, in both modes: equal
    models or the same exception type, but for the rules stated here."""
    untouched = model_after(lambda *args: None, data, False)[0]
    for small_name, lib in SMALL_LIBS:
        for big_name, backend in BIG_BACKENDS:
            if backend is ijson and ijson.backend == "yajl2_c" and re.search(
                    rb"[0-9]{4300}", data):
                continue  # that backend crashes the interpreter on such ints
            small_value = parsed(lib.loads, data)
            big_value = parsed(lambda d: list(backend.items(io.BytesIO(d), "")), data)
            small_ok, big_ok = small_value is not REFUSED, big_value is not REFUSED
            for merge in (False, True):
                monkeypatch.setattr(pavro_cjson, "json", lib)
                small, small_error = model_after(pavro_cjson.load_json_small, data, merge)
                monkeypatch.setattr(pavro_cjson, "ijson", backend)
                big, big_error = model_after(pavro_cjson.load_json_big, data, merge)
                where = "{} / {} merge={} on {!r}: {!r} / {!r}".format(
                    small_name, big_name, merge, data[:200], small_error, big_error)
                # Rule 1: text one parser refuses is that parser's call (NaN,
                # huge numbers, stray bytes); refused by both, both fail.
                if not (small_ok and big_ok):
                    assert small_ok or small_error is not None, where
                    assert small_ok == big_ok or small_ok or big_ok, where
                    if not small_ok and not big_ok:
                        assert big_error is not None, where
                    continue
                # ... and so are the values they read: a lone surrogate comes
                # back as "?" from the streaming parser, 1.5e-400 as 0.0 from
                # the JSON library but as a Decimal from the parser.
                if [small_value] != big_value:
                    continue
                # Rule 2: a compressed document with its chain table first
                # loads whole and is refused by the streaming reader.
                if isinstance(big_error, ValueError) and "before the code table" in str(
                        big_error):
                    assert chain_before_codes(data), where
                    continue
                # Rule 3: a document that is no object, a "codes" member that
                # is missing or no array, or a "chain" member that is no
                # array: the whole reader subscripts and iterates what the
                # library gives; the streaming one looks for member arrays
                # only (no chain array: KeyError('chain'); no code table: a
                # plain document).
                if not isinstance(small_value, dict) or "chain" in small_value and (
                        not isinstance(small_value.get("codes"), list)
                        or not isinstance(small_value["chain"], list)):
                    continue
                assert type(small_error) is type(big_error), where
                if small_error is None or merge:
                    assert small == big, where
                elif not raised_by_model(small_error):
                    # Rule 4: after a late failure the streaming reader keeps
                    # what it handed over; the whole reader refuses the
                    # document before it touches the model (what the model
                    # itself refuses, it can only find out by trying).
                    assert small == untouched, where


@pytest.mark.parametrize("doc", sorted(DOCUMENTS))
def test_readers_agree_on_cut_and_sorted_documents(doc, monkeypatch):
    data = DOCUMENTS[doc]
    check_readers_agree(sorted_keys(data), monkeypatch)
    for cut in range(0, len(data), 7):
        check_readers_agree(data[:cut], monkeypatch)


@settings(max_examples=examples(150), derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture,
                                 HealthCheck.too_slow])
@given(data=damaged_documents())
def test_readers_agree_on_damaged_documents(data, monkeypatch):
    check_readers_agree(data, monkeypatch)


@pytest.mark.parametrize("position", sorted(POSITIONS))
def test_readers_agree_on_wrong_shapes(position, monkeypatch):
    for value in WRONG_TYPES + sorted(ODD_VALUES.values()):
        check_readers_agree(place(POSITIONS[position], value), monkeypatch)
    for text in WHOLE_TEXTS.values():
        check_readers_agree(text, monkeypatch)


# ---------------------------------------------------------------------------
# Deep nesting, in a child process
# ---------------------------------------------------------------------------

DEPTH = 100000

CHILD = textwrap.dedent(r"""
    import io, os, resource, sys, types
    import ijson, ujson, json
    import ijson.backends.yajl2_cffi as yajl2_cffi
    import pavro_cjson

    # A runaway reader must not take the machine's memory with it.  Under
    # AddressSanitizer the address space cannot be capped: its shadow
    # memory is reserved up front.
    if not os.environ.get("PJSON_SANITIZER"):
        limit = int(sys.argv[4]) << 20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    template, nesting, readers = sys.argv[1], sys.argv[2], sys.argv[3].split(",")
    depth = int(sys.argv[5])
    values = {
        "arrays": b"[" * depth + b"]" * depth,
        "objects": b'{"k":' * depth + b"0" + b"}" * depth,
    }

    class Model:
        # Counts calls and draws a decoding generator; never prints what it got.
        calls = 0
        def clear(self):
            self.calls += 1
        def add_to_bag(self, start, follower, count=None):
            if not isinstance(follower, (list, dict)):
                tuple(follower)
            self.calls += 1
        def set_bag(self, start, bag):
            self.calls += 1

    def prefix_free(backend):
        # The same events without the prefix strings, which the reader
        # ignores and which grow with the depth.
        return types.SimpleNamespace(
            parse=lambda f: (("", e, v) for e, v in backend.basic_parse(f)))

    pavro_cjson.ProbabilityBag = lambda: types.SimpleNamespace(add=lambda f, count: None)
    for kind in nesting.split(","):
        data = template.encode("ascii").replace(b"@", values[kind])
        for name in readers:
            group, lib = name.split("-")
            if group == "small":
                pavro_cjson.json = ujson if lib == "ujson" else json
                load, modes = pavro_cjson.load_json_small, (False, True)
            else:
                backend = yajl2_cffi if lib.startswith("yajl2_cffi") else ijson
                pavro_cjson.ijson = prefix_free(backend) if lib.endswith("events") else backend
                load, modes = pavro_cjson.load_json_big, (False,)
            for merge in modes:
                print(kind, name, "merge" if merge else "replace", end=" ", flush=True)
                try:
                    load(Model(), io.BytesIO(data), merge)
                except Exception as exc:
                    print(type(exc).__name__, end=" ")
                else:
                    print("loaded", end=" ")
                print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss >> 10, flush=True)
""")


def run_child(template, nestings, readers, limit_mb=1024, depth=DEPTH):
    """Runs the loads in a child; returns its lines "nesting reader mode outcome peak-MB"."""
    try:
        done = subprocess.run(
            [sys.executable, "-c", CHILD, template, ",".join(nestings), ",".join(readers),
             str(limit_mb), str(depth)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=240,
            universal_newlines=True,
        )
    except subprocess.TimeoutExpired as expired:
        pytest.fail("hung; last output: {!r}".format((expired.stdout or "")[-300:]))
    lines = done.stdout.splitlines()
    assert done.returncode == 0, "child died with {} during {!r}; stderr: {}".format(
        done.returncode, lines[-1:] if lines else "start-up", done.stderr[-2000:]
    )
    for line in lines:
        outcome = line.split()[3]
        assert outcome == "loaded" or outcome.endswith(("Error", "Exception")), line
        assert outcome != "SystemError", line
    return lines


DEEP_POSITIONS = [
    "compressed top level",
    "compressed code table token",
    "compressed code table code",
    "compressed start token",
    "compressed follower",
    "compressed follower element",
    "compressed count",
    "plain start token",
    "plain follower",
]


@pytest.mark.parametrize("position", DEEP_POSITIONS)
def test_deep_nesting(position):
    """100,000 levels of arrays or objects: an exception or a load, never a crash.

    The streaming reader is fed the parser's events without prefixes here;
    the cost of the prefixes themselves is the next test's business."""
    lines = run_child(POSITIONS[position], ["arrays", "objects"],
                      ["small-ujson", "small-json", "big-ijson_events"])
    assert len(lines) == 2 * 5


@pytest.mark.skipif(bool(os.environ.get("PJSON_SANITIZER")),
                    reason="needs an address-space cap, which the sanitizer rules out")
@pytest.mark.parametrize("backend", ["yajl2_cffi", "ijson"])
def test_deep_nesting_through_the_bound_parser(backend):
    """Through the real ``ijson.parse``: an exception or a load, never a crash.

    ``parse`` gives every event the dotted path to it, so 100,000 levels cost
    the parser memory that grows with the square of the depth; under a cap
    that surfaces as its MemoryError (or the JSONError wrapping it), a
    Python exception the caller can handle."""
    lines = run_child(POSITIONS["compressed top level"], ["arrays"], ["big-" + backend],
                      limit_mb=512)
    assert len(lines) == 1
