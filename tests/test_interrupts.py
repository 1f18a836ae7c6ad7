"""Ctrl-C during long saves and loads, and the four functions used from
several threads at once.

The interrupt tests use models, files and library stand-ins made only of
C-implemented callables: no bytecode runs during the call, so the
interpreter never gets a chance to notice a pending Ctrl-C on its own, and
only the module's own checks in its loops can deliver it.  Each test first
times the same work at a small size, extrapolates the size that runs a few
seconds, and then requires the interrupt sent after 0.2 s to arrive well
before that.
"""

import _thread
import contextlib
import functools
import gc
import io
import itertools
import random
import signal
import sys
import threading
import time
import traceback
import types

import ijson
import pytest

import pavro_cjson
from pavro.bag import ChainModel

ujson = pytest.importorskip("ujson")
yajl2_cffi = pytest.importorskip("ijson.backends.yajl2_cffi")

TARGET = 3.0  # seconds an uninterrupted run is sized to take
DELAY = 0.2  # seconds before the interrupt is sent
MAX_PAIRS = 4000000  # keeps memory sane on a fast machine


def run_interrupted(call):
    """Runs `call` with a Ctrl-C arriving after DELAY seconds.

    The interrupt is a real signal from an interval timer, handled by the
    interpreter's own SIGINT handler, as a key press would be.  A Python
    thread cannot stand in for the key: it needs the interpreter lock to
    send anything, and the call holds that lock until it returns.

    Returns (outcome, elapsed), elapsed being the time until the call ended:
    "interrupted" when the KeyboardInterrupt came out of the module,
    "returned" when the call ran to its end, or the exception it raised
    instead.  An interrupt that arrives after the call is caught here, so it
    cannot escape into the test runner.
    """
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    outcome = "returned"
    start = time.perf_counter()
    signal.setitimer(signal.ITIMER_REAL, DELAY)
    try:
        try:
            call()
        except KeyboardInterrupt as exc:
            # Raised from inside the call, it passed through the module,
            # which adds its own traceback entries; raised by the first
            # bytecode after the call returned, it did not.
            entries = [entry.filename for entry in traceback.extract_tb(exc.__traceback__)]
            outcome = "interrupted" if "pjson" in entries else "returned"
        except Exception as exc:
            outcome = exc
        elapsed = time.perf_counter() - start
        time.sleep(max(0.0, DELAY + 0.1 - elapsed))
        for _ in range(10000):  # bytecode, so a pending interrupt surfaces here
            pass
    except KeyboardInterrupt:
        pass
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return outcome, elapsed


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


@contextlib.contextmanager
def no_garbage_collection():
    """A collection inside the call would skew the timing, and could run a
    Python finalizer of some earlier test's object there, which would take
    the Ctrl-C for itself and swallow it: neither is the module's doing."""
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def check_prompt_interrupt(make, call, size, instead=()):
    """Sizes `make(size)` to run ~TARGET seconds, then interrupts it.

    The call must stop with KeyboardInterrupt, or one of the exception types
    `instead`, well before it would have finished."""
    with no_garbage_collection():
        took = timed(lambda: call(make(size)))
        while took < 0.1:
            size *= 4
            took = timed(lambda: call(make(size)))
        took = min(took, timed(lambda: call(make(size))))
        for _ in range(3):
            big = max(size, int(size * min(TARGET / took, MAX_PAIRS / size)))
            predicted = took * big / size
            subject = make(big)
            outcome, elapsed = run_interrupted(lambda: call(subject))
            if outcome != "returned" or elapsed > 2 * DELAY:
                break
            size, took = big, elapsed  # done before the signal: size up, try again
    if isinstance(outcome, instead):
        outcome = "interrupted"
    assert outcome == "interrupted", (
        "Ctrl-C sent after {}s: {} ({:.2f}s; an uninterrupted run takes about {:.1f}s)"
        .format(DELAY, "the call ran to its end" if outcome == "returned"
                else "{!r} instead".format(outcome), elapsed, predicted))
    assert elapsed < DELAY + 0.3 * predicted, (
        "KeyboardInterrupt after {:.2f}s; an uninterrupted run takes about {:.1f}s"
        .format(elapsed, predicted))


# ---------------------------------------------------------------------------
# Models, documents and libraries made of C callables
# ---------------------------------------------------------------------------

PER_BAG = 20
VOCABULARY = ["w{}".format(i) for i in range(PER_BAG + 1)]
FOLLOWERS = {(VOCABULARY[i], VOCABULARY[i + 1]): i + 1 for i in range(PER_BAG)}
C_BAG = types.SimpleNamespace(choices=FOLLOWERS.items)


def c_chain(pairs):
    """About `pairs` (follower, count) pairs, PER_BAG to a start."""
    starts = dict.fromkeys(range(max(1, pairs // PER_BAG)), C_BAG)
    frequencies = dict.fromkeys(VOCABULARY, 7)
    frequencies.update(dict.fromkeys(starts, 1))
    return types.SimpleNamespace(items=starts.items, build_frequency_dict=frequencies.copy)


def c_model_for_loads():
    return types.SimpleNamespace(clear=[].clear, add_to_bag="{}{}".format,
                                 set_bag="{}{}".format)


def parsed_document(pairs, compressed):
    """What json.load would return for a document of about `pairs` pairs."""
    if compressed:
        codes = [x for i, word in enumerate(VOCABULARY) for x in (i, word)]
        follower_list = [x for i in range(PER_BAG) for x in ([i, i + 1], i + 1)]
        start = 0
    else:
        codes = []
        follower_list = [x for follower, count in FOLLOWERS.items()
                         for x in (list(follower), count)]
        start = "w0"
    return {"codes": codes, "chain": [start, follower_list] * max(1, pairs // PER_BAG)}


def document_text(pairs, compressed):
    return ujson.dumps(parsed_document(pairs, compressed)).encode("ascii")


@pytest.fixture
def c_library(monkeypatch):
    """Binds a json whose dump is a C no-op: the library's own dump is one
    C call the module cannot interrupt, and would blur the timing."""
    library = types.SimpleNamespace(dump=slice, dumps=ujson.dumps, load=None)
    monkeypatch.setattr(pavro_cjson, "json", library)
    monkeypatch.setattr(pavro_cjson, "ProbabilityBag",
                        functools.partial(types.SimpleNamespace, add="{}".format))
    return library


# ---------------------------------------------------------------------------
# Ctrl-C
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
@pytest.mark.parametrize("dump", [pavro_cjson.dump_json_small, pavro_cjson.dump_json_big],
                         ids=["small", "big"])
def test_ctrl_c_stops_a_long_save(c_library, dump, compress):
    check_prompt_interrupt(c_chain, lambda chain: dump(chain, io.StringIO(), compress), 20000)


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("compressed", [True, False], ids=["compressed", "plain"])
def test_ctrl_c_stops_a_long_small_load(c_library, compressed, merge):
    model = c_model_for_loads()

    def make(pairs):
        c_library.load = {"doc": parsed_document(pairs, compressed)}.get
        return "doc"

    check_prompt_interrupt(make, lambda doc: pavro_cjson.load_json_small(model, doc, merge),
                           20000)


@pytest.mark.parametrize("backend", ["ijson", "yajl2_cffi"])
@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("compressed", [True, False], ids=["compressed", "plain"])
def test_ctrl_c_stops_a_long_big_load(monkeypatch, compressed, merge, backend):
    monkeypatch.setattr(pavro_cjson, "ijson", ijson if backend == "ijson" else yajl2_cffi)
    model = c_model_for_loads()
    # The cffi backend runs Python callbacks inside the parser and turns any
    # exception raised there, a KeyboardInterrupt included, into its own
    # JSONError ("client cancelled parse"); that is the backend's doing.
    instead = (ijson.JSONError,) if backend == "yajl2_cffi" else ()
    check_prompt_interrupt(
        lambda pairs: document_text(pairs, compressed),
        lambda text: pavro_cjson.load_json_big(model, io.BytesIO(text), merge),
        2000, instead)


# One follower of many codes whose hashing is C work (tuples do not cache
# their hash): the time goes into the per-element token lookups.
SLOW_CODE = tuple(range(300))


def one_long_follower(elements):
    bag = types.SimpleNamespace(
        choices=[(itertools.repeat(SLOW_CODE, elements), 1)].__iter__)
    return types.SimpleNamespace(items={SLOW_CODE: bag}.items,
                                 build_frequency_dict={SLOW_CODE: 1}.copy)


@pytest.mark.parametrize("dump", [pavro_cjson.dump_json_small, pavro_cjson.dump_json_big],
                         ids=["small", "big"])
def test_ctrl_c_stops_a_save_inside_one_long_follower(c_library, dump):
    # Each call needs a fresh model: the follower is a one-pass iterator.
    # (Where a token is a rank number, turning it into text checks for
    # signals inside the interpreter; the module cannot count on that.)
    check_prompt_interrupt(lambda n: n,
                           lambda n: dump(one_long_follower(n), io.StringIO(), True), 20000)


def test_ctrl_c_stops_a_load_inside_one_long_follower(c_library):
    model = c_model_for_loads()

    def make(elements):
        c_library.load = lambda doc: {
            "codes": [SLOW_CODE, "x"],
            "chain": [SLOW_CODE, [itertools.repeat(SLOW_CODE, elements), 1]]}
        return "doc"

    check_prompt_interrupt(make, lambda doc: pavro_cjson.load_json_small(model, doc, True),
                           20000)


# ---------------------------------------------------------------------------
# Every loop's own check
# ---------------------------------------------------------------------------
#
# Deterministic, and one loop at a time: the interrupt is made pending
# from inside the call by C code alone (_thread.interrupt_main drawn through
# starmap; os.kill would run the handler at once) just as the loop under
# test begins (the iterable that feeds it, the model's clear, a write of
# the file), so no bytecode runs before that loop's check comes round, and
# the handler can only run there.


class Interrupted(Exception):
    """Raised by the test's SIGINT handler."""


def signalling(then=()):
    """A C callable that returns an iterator which, drawn, makes SIGINT
    pending and then yields `then`; only its first result does that."""
    trigger = filter(None, itertools.starmap(_thread.interrupt_main, [()]))
    return functools.partial(itertools.chain, trigger, then)


def raising_handler(signum, frame):
    raise Interrupted("signal {}".format(signum))


@pytest.fixture
def sigint():
    previous = signal.signal(signal.SIGINT, raising_handler)
    try:
        yield
    finally:
        # An interrupt no check took must not outlive the test.
        signal.signal(signal.SIGINT, lambda signum, frame: None)
        for _ in range(10):
            pass
        signal.signal(signal.SIGINT, previous)


LOOP = 1100  # iterations: more than the module lets pass between checks
EMPTY_BAG = types.SimpleNamespace(choices=().__iter__)


def c_model(items, frequency_items=None, clear=None):
    """A C-only model; what it is handed it leaves alone (a str() could
    check for signals itself)."""
    mapping = types.SimpleNamespace(items=frequency_items)
    return types.SimpleNamespace(items=items,
                                 build_frequency_dict=itertools.repeat(mapping).__next__,
                                 clear=clear or [].clear, add_to_bag="".format,
                                 set_bag="".format)


def long_follower(follower):
    # Turning an int into text checks for signals itself: the interrupt
    # comes after the start's rank number is written.
    bag = types.SimpleNamespace(choices=signalling([(follower, 1)]))
    return c_model([("a", bag)].__iter__, {"a": 2}.items)


def saves(make, compress, dumps=(pavro_cjson.dump_json_small, pavro_cjson.dump_json_big),
          file=io.StringIO):
    return [lambda dump=dump: dump(make(), file(), compress) for dump in dumps]


def file_signalling_at(write):
    """A C-only file whose `write`-th write makes SIGINT pending."""
    calls = itertools.chain(itertools.repeat(None, write - 1), signalling()(),
                            itertools.repeat(None))
    return types.SimpleNamespace(write=functools.partial(next, calls))


# A code table whose tokens from rank 100 on stand for themselves, so that
# no rank number is turned into text (which checks for signals itself) once
# the file's write of rank 100 has made the interrupt pending.
SELF_STANDING = ([("c{}".format(i), 10000 - i) for i in range(100)]
                 + [(chr(0x100 + i), 9000 - i) for i in range(900)]
                 + [(chr(0x100 + i) * 2, 100 - i) for i in range(100)])


def small_load(c_library, document, merge, model=None):
    def call():
        c_library.load = {"doc": document()}.get
        pavro_cjson.load_json_small(model or c_model(None), "doc", merge)
    return [call]


def big_load(monkeypatch, events):
    def call():
        monkeypatch.setattr(pavro_cjson, "ijson",
                            types.SimpleNamespace(parse=functools.partial(next, itertools.repeat(events()))))
        pavro_cjson.load_json_big(c_model(None), [])
    return [call]


CODES = [("c{}".format(i), LOOP - i) for i in range(LOOP)]
STARTS = [x for i in range(LOOP) for x in ("s{}".format(i), [])]
PAIRS = [x for i in range(LOOP) for x in (["a"], i)]
HEAD = [("", "start_map", None), ("", "map_key", "codes"), ("codes", "start_array", None),
        ("codes", "end_array", None), ("", "map_key", "chain"), ("chain", "start_array", None)]
EMPTY_ENTRIES = [event for i in range(LOOP) for event in (
    ("chain.item", "string", "s{}".format(i)), ("chain.item", "start_array", None),
    ("chain.item.item", "end_array", None))]


def signalling_clear():
    """The model is emptied only once the document is decoded: the interrupt
    comes with the clear, for the loops that fill the model."""
    return c_model(None, clear=functools.partial(list, signalling()()))


LOOPS = [
    # The streaming writer turns rank numbers into text as it goes, and that
    # takes the interrupt first.
    pytest.param(lambda lib, mp: saves(lambda: c_model([].__iter__, signalling(CODES)), True),
                 id="code table"),
    pytest.param(lambda lib, mp: [
        mp.setattr(lib, "dumps", functools.partial(ujson.dumps, ensure_ascii=False))]
        and saves(lambda: c_model([].__iter__, SELF_STANDING.__iter__), True,
                  [pavro_cjson.dump_json_big], lambda: file_signalling_at(102)),
        id="streamed code table"),
    pytest.param(lambda lib, mp: saves(lambda: c_model([("a", types.SimpleNamespace(
        choices=signalling([(("a",), 1.0)] * LOOP)))].__iter__), False), id="followers"),
    pytest.param(lambda lib, mp: saves(lambda: c_model(
        signalling([(i, EMPTY_BAG) for i in range(LOOP)])), False), id="starts"),
    pytest.param(lambda lib, mp: saves(lambda: long_follower(("a",) * LOOP), True),
                 id="codes of a tuple follower"),
    pytest.param(lambda lib, mp: saves(lambda: long_follower(["a"] * LOOP), True),
                 id="codes of a list follower"),
    pytest.param(lambda lib, mp: small_load(lib, lambda: {
        "codes": signalling([x for i in range(LOOP) for x in (i, "c{}".format(i))])(),
        "chain": []}, False), id="decoding map"),
    pytest.param(lambda lib, mp: small_load(lib, lambda: {
        "codes": [], "chain": signalling(["a", PAIRS])()}, True), id="merged pairs"),
    pytest.param(lambda lib, mp: small_load(lib, lambda: {
        "codes": [], "chain": signalling(STARTS)()}, True), id="merged starts"),
    pytest.param(lambda lib, mp: small_load(lib, lambda: {
        "codes": [], "chain": signalling(STARTS)()}, False), id="decoded starts"),
    pytest.param(lambda lib, mp: small_load(lib, lambda: {"codes": [], "chain": ["a", PAIRS]},
                                            False, signalling_clear()),
                 id="replaced pairs"),
    pytest.param(lambda lib, mp: small_load(lib, lambda: {"codes": [], "chain": STARTS},
                                            False, signalling_clear()),
                 id="replaced starts"),
    pytest.param(lambda lib, mp: big_load(mp, lambda: itertools.chain(
        HEAD, signalling(EMPTY_ENTRIES)())), id="parser events"),
]


@pytest.mark.parametrize("calls", LOOPS)
def test_every_loop_delivers_a_pending_signal(c_library, monkeypatch, sigint, calls):
    monkeypatch.setattr(pavro_cjson, "ProbabilityBag",
                        functools.partial(types.SimpleNamespace, add="".format))
    for call in calls(c_library, monkeypatch):
        with no_garbage_collection(), pytest.raises(Interrupted) as info:
            call()
        # From the module's own check, not from bytecode after the call.
        assert "pjson" in [entry.filename for entry in traceback.extract_tb(info.tb)]


# ---------------------------------------------------------------------------
# Threads
# ---------------------------------------------------------------------------

WORDS = ("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi "
         "omicron pi rho sigma tau upsilon phi chi psi omega").split()


def thread_model(seed):
    """A different real model per thread: words, numbers and None as codes."""
    rng = random.Random(seed)
    vocabulary = rng.sample(WORDS, 16) + [seed, seed + 0.5, None]
    sequences = [[rng.choice(vocabulary) for _ in range(rng.randint(2, 30))]
                 for _ in range(40)]
    return ChainModel.from_sequences(sequences, length=rng.randint(1, 3))


def save_and_load_everything(model):
    """Every writer, mode and reader over `model`: the texts and the models."""
    results = []
    for dump in (pavro_cjson.dump_json_small, pavro_cjson.dump_json_big):
        for compress in (True, False):
            out = io.StringIO()
            dump(model, out, compress)
            text = out.getvalue()
            results.append(text)
            for merge in (False, True):
                loaded = ChainModel()
                pavro_cjson.load_json_small(loaded, io.StringIO(text), merge)
                results.append(loaded)
                loaded = ChainModel()
                pavro_cjson.load_json_big(loaded, io.BytesIO(text.encode("utf-8")), merge)
                results.append(loaded)
    return results


@pytest.fixture
def busy_switching():
    """Makes threads take turns as often as the interpreter allows."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(saved)


def test_threads_give_the_results_of_a_serial_run(json_lib, monkeypatch, busy_switching):
    monkeypatch.setattr(pavro_cjson, "ijson", yajl2_cffi)
    models = [thread_model(seed) for seed in range(4)]
    serial = [save_and_load_everything(model) for model in models]
    for model, results in zip(models, serial):
        assert all(loaded == model for loaded in results if isinstance(loaded, ChainModel))

    rounds = 6
    differences = []
    errors = []
    start = threading.Barrier(len(models))

    def worker(index):
        try:
            start.wait()
            for round_ in range(rounds):
                got = save_and_load_everything(models[index])
                if got != serial[index]:
                    differences.append((index, round_, [
                        position for position, (a, b) in enumerate(zip(got, serial[index]))
                        if a != b]))
        except BaseException as exc:  # reported below, not lost in the thread
            errors.append((index, exc))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(models))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    assert not errors, errors
    assert not differences, differences
