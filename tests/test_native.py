"""load_json_big parses with yajl itself while the bound parser is the cffi
backend bound at import; any other binding reads the parser's own event
stream.  Both must do exactly the same to the model and raise exactly the
same, over every document the other suites generate, but for the
differences listed in ``documents.listed_difference``: places where the backend
itself misbehaves and the compiled source does the sound thing.
"""

import decimal
import io
import sys
import types
import warnings

import ijson
import pytest
from hypothesis import HealthCheck, given, settings

import pavro_cjson

from examples import examples
import documents
from models import chain_models, wide_start_model
from fakes import Log, RecordingChain

yajl2_cffi = pytest.importorskip("ijson.backends.yajl2_cffi")

pytestmark = pytest.mark.skipif(pavro_cjson.ijson is not yajl2_cffi,
                                reason="the cffi backend is not the bound parser")

# Any binding other than the backend bound at import reads its events.
EVENTS = types.SimpleNamespace(parse=yajl2_cffi.parse)
class Recorded:
    """What one load did: the model's calls, every read, warnings, the error."""

    def __init__(self, log, reads, warned, error):
        self.log, self.reads, self.warned, self.error = log, reads, warned, error

    def error_text(self):
        if self.error is None:
            return None
        return type(self.error), repr(self.error.args)


class ReadRecorder:
    """A file that logs the size of every read."""

    def __init__(self, inner, reads):
        self.inner, self.reads = inner, reads

    def read(self, size=-1):
        self.reads.append(size)
        return self.inner.read(size)


def load_with(parser, make_source, merge):
    log, reads = Log(), []
    chain = RecordingChain(log=log)
    error = None
    saved = pavro_cjson.ijson
    pavro_cjson.ijson = parser
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                pavro_cjson.load_json_big(chain, make_source(reads), merge)
            except Exception as exc:
                error = exc
    finally:
        pavro_cjson.ijson = saved
    assert not isinstance(error, SystemError), error
    # The backend's own warning about text files; not what its clean-up
    # reports about a failed read.
    warned = [(w.category, str(w.message)) for w in caught
              if issubclass(w.category, DeprecationWarning)]
    return Recorded(log, reads, warned, error)


def check_same(data, merges=(False, True), source=lambda data, reads: io.BytesIO(data)):
    for merge in merges:
        make = lambda reads: ReadRecorder(source(data, reads), reads)  # noqa: E731
        compiled = load_with(yajl2_cffi, make, merge)
        events = load_with(EVENTS, make, merge)
        assert compiled.reads == events.reads, data[:200]
        assert compiled.warned == events.warned, data[:200]
        if (repr(compiled.log), compiled.error_text()) == (repr(events.log), events.error_text()):
            continue
        assert documents.listed_difference(compiled, events, data), (
            "merge={} on {!r}:\n  compiled: {!r} {!r}\n  events:   {!r} {!r}".format(
                merge, data[:300], compiled.error, list(compiled.log)[:20],
                events.error, list(events.log)[:20]))


def test_bound_backend_is_parsed_without_its_python_callbacks():
    """Only the exact bindings made at import take the compiled path."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == yajl2_cffi.__file__:
            calls.append(frame.f_code.co_name)

    data = documents.DOCUMENTS["small-ujson-compressed"]

    def traced(parser, builder=pavro_cjson.ObjectBuilder):
        del calls[:]
        saved = pavro_cjson.ijson, pavro_cjson.ObjectBuilder
        pavro_cjson.ijson, pavro_cjson.ObjectBuilder = parser, builder
        sys.setprofile(profile)
        try:
            pavro_cjson.load_json_big(RecordingChain(), io.BytesIO(data))
        finally:
            sys.setprofile(None)
            pavro_cjson.ijson, pavro_cjson.ObjectBuilder = saved
        return len(calls)

    assert traced(yajl2_cffi) == 0
    assert traced(EVENTS) > 0
    # A replaced ObjectBuilder is used, so its events are the parser's.
    assert traced(yajl2_cffi, type("Builder", (pavro_cjson.ObjectBuilder,), {})) > 0


@pytest.mark.parametrize("doc", sorted(documents.DOCUMENTS))
def test_same_on_every_cut(doc):
    data = documents.DOCUMENTS[doc]
    check_same(data)
    check_same(documents.sorted_keys(data))
    for cut in range(len(data)):
        check_same(data[:cut], merges=(cut % 5 == 0,))


@settings(max_examples=examples(150), derandomize=True, database=None, deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(data=documents.damaged_documents())
def test_same_on_damaged_documents(data):
    check_same(data)


@pytest.mark.parametrize("position", sorted(documents.POSITIONS))
def test_same_on_wrong_shapes_and_odd_values(position):
    for value in documents.WRONG_TYPES + sorted(documents.ODD_VALUES.values()):
        check_same(documents.place(documents.POSITIONS[position], value))


def test_same_on_whole_texts():
    for text in documents.WHOLE_TEXTS.values():
        check_same(text)


@settings(derandomize=True, deadline=None, max_examples=examples(60),
          suppress_health_check=[HealthCheck.too_slow])
@given(model=chain_models())
def test_same_on_round_trip_documents(model):
    for writer in (pavro_cjson.dump_json_small, pavro_cjson.dump_json_big):
        for compress in (True, False):
            text = io.StringIO()
            writer(model, text, compress)
            check_same(text.getvalue().encode("utf-8"))


class TextSource(io.StringIO):
    pass


SOURCES = {
    # A binary file, read 64 KiB at a time after a read(0) probe.
    "binary": lambda data, reads: io.BytesIO(data),
    # A text file: the backend's DeprecationWarning, then UTF-8 of each read.
    "text": lambda data, reads: io.StringIO(data.decode("utf-8")),
    # A file whose reads fail, or give what is no bytes.
    "failing read": lambda data, reads: types.SimpleNamespace(
        read=lambda n: b"" if n == 0 else 1 / 0),
    "bytearray read": lambda data, reads: types.SimpleNamespace(
        read=lambda n: bytearray(data) if n else b""),
    "str read after bytes probe": lambda data, reads: types.SimpleNamespace(
        read=lambda n: data.decode("utf-8") if n else b""),
    "int read": lambda data, reads: types.SimpleNamespace(read=lambda n: 5 if n else b""),
    "text read giving no str": lambda data, reads: types.SimpleNamespace(
        read=lambda n: None if n else ""),
    # cffi takes lists and tuples of ints for the buffer, and refuses bad ones.
    "list read": lambda data, reads: ConvertedReads(data, list),
    "tuple read": lambda data, reads: ConvertedReads(data, tuple),
    "list read with a bad element": lambda data, reads: ConvertedReads(
        data, lambda chunk: list(chunk[:-1]) + [300]),
    "list read of strs": lambda data, reads: ConvertedReads(
        data, lambda chunk: [chr(c) for c in chunk]),
}


class ConvertedReads:
    """A binary file whose reads come as `convert` makes them, and whose
    end comes as `end` (any false value)."""

    def __init__(self, data, convert, end=b""):
        self.inner, self.convert, self.end = io.BytesIO(data), convert, end

    def read(self, size=-1):
        if size == 0:
            return b""
        got = self.inner.read(size)
        return self.convert(got) if got else self.end


@pytest.mark.parametrize("end", [None, 0, False, "", [], (), bytearray()], ids=repr)
def test_same_on_false_reads(end):
    """The backend ends the parse at any false read; its message for an
    incomplete document asks the read for its length and buffer."""
    data = documents.DOCUMENTS["small-ujson-compressed"]
    for cut in (len(data), len(data) // 2, 1):
        check_same(data[:cut],
                   source=lambda data, reads: ConvertedReads(data, bytes, end))


def test_rebound_helpers_are_honoured(monkeypatch):
    """A helper of ijson.common rebound after import is used on both paths."""
    data = documents.DOCUMENTS["small-ujson-plain"]
    want = load_with(yajl2_cffi, lambda reads: io.BytesIO(data), False)
    monkeypatch.setattr(ijson.common, "integer_or_decimal", lambda text: "#" + text)
    marked = load_with(yajl2_cffi, lambda reads: io.BytesIO(data), False)
    assert marked.error is None and len(marked.log) > 1
    assert [entry[-1] for entry in marked.log[1:]] == [
        "#{}".format(entry[-1]) for entry in want.log[1:]]
    monkeypatch.undo()
    reads = []
    monkeypatch.setattr(ijson.common, "file_source", lambda f, buf_size: (
        reads.append(buf_size) or iter([f.read(buf_size), f.read(buf_size)])))
    assert repr(load_with(yajl2_cffi, lambda r: io.BytesIO(data), False).log) == repr(want.log)
    assert reads == [65536]


@pytest.mark.parametrize("kind", sorted(SOURCES))
def test_same_reading_of_the_source(kind):
    """Every read the same size, at the same moment, with the same warning."""
    model = wide_start_model()
    # One read, then several 64 KiB reads: 8,000 words make documents of
    # 130 KB (plain) and 200 KB (compressed), so two full reads and a short one
    # at the least.
    for words in (10, 8000):
        for i in range(words):
            model.add_to_bag("w{}".format(i % 997), ["w{}".format(i)], count=i + 1)
        for compress in (True, False):
            text = io.StringIO()
            pavro_cjson.dump_json_big(model, text, compress)
            check_same(text.getvalue().encode("utf-8"), source=SOURCES[kind])


@pytest.mark.parametrize("given_as", [bytes, str])
def test_same_on_documents_given_directly(given_as):
    """bytes and str are parsed as JSON text themselves, as parse() does."""
    data = documents.DOCUMENTS["small-ujson-compressed"]
    source = (lambda data, reads: data) if given_as is bytes else (
        lambda data, reads: data.decode("utf-8"))
    for merge in (False, True):
        compiled = load_with(yajl2_cffi, lambda reads: source(data, reads), merge)
        events = load_with(EVENTS, lambda reads: source(data, reads), merge)
        assert repr(compiled.log) == repr(events.log)
        assert compiled.error is None and events.error is None
        assert compiled.warned == events.warned
        assert len(compiled.log) > 1


def test_plain_document_shares_equal_strings():
    """Equal codes of a plain document reach the model as one object, on
    both paths, and nothing else about them changes."""
    data = b'{"codes":[],"chain":["a",[["a","b"],2,["b","a",1,1.0,true],3],"a",[["a"],4]]}'
    for parser in (yajl2_cffi, EVENTS):
        got = load_with(parser, lambda reads: io.BytesIO(data), True)
        assert got.error is None
        followers = [entry[2] for entry in got.log]
        assert followers == [["a", "b"], ["b", "a", 1, 1.0, True], ["a"]]
        assert [type(x) for x in followers[1]] == [str, str, int, decimal.Decimal, bool]
        a_objects = {id(x) for f in followers for x in f if type(x) is str and x == "a"}
        assert len(a_objects) == 1


LOOKUP = r"""
import io, os, signal, sys, threading, time
mode = sys.argv[1]
if mode == "chosen at import":
    os.environ["YAJL_DLL"] = sys.argv[2]
from ijson.backends import yajl2_cffi
import pavro_cjson
os.environ.pop("YAJL_DLL", None)

class Model:
    def __init__(self): self.log = []
    def clear(self): self.log.append("clear")
    def add_to_bag(self, start, follower, count=None):
        self.log.append((start, list(follower), count))

backend_calls = []
def profile(frame, event, arg):
    if event == "call" and frame.f_code.co_filename == yajl2_cffi.__file__:
        backend_calls.append(frame.f_code.co_name)

def load():
    # How the load went, and whether the backend's Python code ran.
    del backend_calls[:]
    model = Model()
    sys.setprofile(profile)
    try:
        pavro_cjson.load_json_big(model, io.BytesIO(b'{"codes":[0,"a"],"chain":[0,[[0,0],2]]}'))
    except BaseException as exc:
        return type(exc).__name__
    finally:
        sys.setprofile(None)
    assert model.log == ["clear", ("a", ["a", "a"], 2)], model.log
    return "events" if backend_calls else "compiled"

class SlowFFI:
    # The backend's FFI, slowed down or interrupted while the library is looked up.
    def __init__(self, ffi, on_cast):
        self._ffi, self._on_cast = ffi, on_cast
    def cast(self, *args):
        self._on_cast()
        return self._ffi.cast(*args)
    def __getattr__(self, name):
        return getattr(self._ffi, name)

real_ffi = yajl2_cffi.ffi
if mode == "chosen at import":
    print(load(), load())
    maps = {line.split()[-1] for line in open("/proc/self/maps") if "libyajl" in line}
    print(sorted(os.path.realpath(m) for m in maps))
elif mode == "not established":
    class Wrapped:
        # Works for the backend, but one function is no cffi function.
        def __init__(self, lib): self._lib = lib
        def __getattr__(self, name): return getattr(self._lib, name)
        def yajl_version(self): return self._lib.yajl_version()
    real_yajl = yajl2_cffi.yajl
    yajl2_cffi.yajl = Wrapped(real_yajl)
    print(load(), end=" ")
    yajl2_cffi.yajl = real_yajl
    print(load())
elif mode == "interrupt":
    interrupts = []
    def interrupt():
        if not interrupts:
            interrupts.append(1)
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.5)  # the handler runs in here
    yajl2_cffi.ffi = SlowFFI(real_ffi, interrupt)
    print(load(), load(), load())
elif mode == "threads":
    yajl2_cffi.ffi = SlowFFI(real_ffi, lambda: time.sleep(0.02))
    results = []
    def run():
        threading.setprofile(profile)
        results.append(load())
    threads = [threading.Thread(target=run) for _ in range(4)]
    for t in threads: t.start()
    for t in threads: t.join()
    print(sorted(results))
"""


def run_lookup(*args):
    import subprocess
    done = subprocess.run([sys.executable, "-c", LOOKUP] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip().split("\n")


def test_the_library_is_the_one_the_backend_loaded():
    """A library chosen through YAJL_DLL at import serves every load after
    the variable is gone, and no second yajl is ever mapped."""
    import glob
    import os
    bundled = glob.glob(os.path.join(os.path.dirname(ijson.__file__) + ".libs", "libyajl*"))
    if not bundled:
        pytest.skip("no second yajl library next to ijson")
    lines = run_lookup("chosen at import", bundled[0])
    assert lines[0] == "compiled compiled"
    assert lines[1] == repr([os.path.realpath(bundled[0])])


def test_lookup_failures():
    """A backend whose library cannot be established leaves the events in
    charge for good; an interrupt during the lookup reaches the caller and
    the next load looks again; threads arriving during the lookup wait for
    its answer instead of taking the events."""
    assert run_lookup("not established") == ["events events"]
    assert run_lookup("interrupt") == ["KeyboardInterrupt compiled compiled"]
    assert run_lookup("threads") == [repr(["compiled"] * 4)]
