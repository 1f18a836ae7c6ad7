"""pytest --leaks: each test run again until the interpreter's reference total
stops growing.

A function that forgets one reference per call leaves the total hundreds
higher after a few hundred calls; caches that fill once are absorbed by a
warm-up and a retry.  The count exists only in a debug build of CPython
(sys.gettotalrefcount); elsewhere the option only says so in the header and
the tests run once.  The module must be built against that interpreter's
own headers, or its reference counting never reaches the total (the leaks
session of noxfile.py sets both up).

A test is called again with the fixture values of its first run, so the
option suits tests whose fixtures keep no state between calls (the call
table, tests/test_call_table.py, is written for it).  conftest.py hands
pytest the hooks below.
"""

import gc
import sys
import time
import warnings

import pytest

import _pavro_model
import pavro_cjson

COUNTS = hasattr(sys, "gettotalrefcount")
WARMUP = 5
# Calls per measurement, fewer for slow tests but never so few that a leak
# of one reference per call could hide behind the limits.
ITERATIONS = 200
MIN_ITERATIONS = 40
BUDGET = 0.5  # seconds a measurement may take
ROUNDS = 2


def pytest_addoption(parser):
    parser.addoption(
        "--leaks", action="store_true",
        help="run each test again until the reference total stops growing, and fail "
             "those that keep it growing (needs a debug build of Python)")


def _active(config):
    return COUNTS and config.getoption("leaks")


def _built_without_debug_headers():
    """The extensions whose own increments and decrements never reach the total."""
    blind = []
    for module in (pavro_cjson, _pavro_model):
        with open(module.__file__, "rb") as built:
            if b"_Py_NegativeRefcount" not in built.read():
                blind.append(module.__file__)
    return blind


def pytest_configure(config):
    blind = _active(config) and _built_without_debug_headers()
    if blind:
        raise pytest.UsageError(
            "--leaks: %s was built without the debug interpreter's headers, so its "
            "reference counting is invisible to the check" % " and ".join(blind))


def pytest_report_header(config):
    if not config.getoption("leaks"):
        return None
    if not COUNTS:
        return "leaks: skipped, this interpreter has no sys.gettotalrefcount"
    return "leaks: each test re-run up to %d x %d times (warm-up %d)" % (
        ROUNDS, ITERATIONS, WARMUP)


def _snapshot():
    gc.collect()
    return sys.gettotalrefcount(), len(gc.get_objects())


def _growth(call, iterations):
    refs, objects = _snapshot()
    for _ in range(iterations):
        call()
    after = _snapshot()
    return after[0] - refs, after[1] - objects


_baseline = None


def _check(call):
    """Fails the test if calling it keeps growing the reference total."""
    # What lives now, garbage or not, is set aside unchanged: a collection
    # then walks only what the calls make, not the whole of pytest's heap.
    gc.freeze()
    try:
        _measure(call)
    finally:
        gc.unfreeze()


def _measure(call):
    global _baseline
    if _baseline is None:
        # What measuring itself leaves behind, to take off every test.
        _growth(lambda: None, ITERATIONS)
        _baseline = min(_growth(lambda: None, ITERATIONS) for _ in range(3))
    started = time.perf_counter()
    for _ in range(WARMUP):
        call()
    per_call = (time.perf_counter() - started) / WARMUP
    iterations = ITERATIONS
    if per_call * iterations > BUDGET:
        iterations = max(MIN_ITERATIONS, int(BUDGET / per_call))
    # What a healthy test may leave: caches that settle late, a free list
    # that grows once.
    ref_limit, object_limit = max(iterations // 20, 4), max(iterations // 50, 2)
    rounds = []
    for _ in range(ROUNDS):
        refs, objects = _growth(call, iterations)
        refs, objects = refs - _baseline[0], objects - _baseline[1]
        if refs <= ref_limit and objects <= object_limit:
            return
        rounds.append("refs %+d, objects %+d" % (refs, objects))
    pytest.fail("leaks: %s per %d calls (limits %d, %d)"
                % ("; then ".join(rounds), iterations, ref_limit, object_limit), pytrace=False)


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if not _active(pyfuncitem.config):
        return None
    function = pyfuncitem.obj
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}

    def call():
        function(**arguments)

    call()
    # Warnings and unraisable exceptions (ijson's cffi callbacks report
    # theirs so; its parsers closed half-way by a failing load complain)
    # are reported from the first run; kept again on every re-run, they
    # would grow the count themselves.
    hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            _check(call)
    finally:
        sys.unraisablehook = hook
    return True
