import collections
import gc
import importlib
import os
import sysconfig

import pytest

import pavro
import pavro_cjson

from fakes import BagFactory, Log
# pytest --leaks: its hooks, handed to pytest from here.
from leaks import pytest_addoption, pytest_configure, pytest_pyfunc_call, pytest_report_header  # noqa: F401

if os.environ.get("PJSON_TEST_INSTALLED"):
    # The installed sessions test what pip installed from the sdist; a copy of
    # the package found first on sys.path would hide a file the sdist lacks.
    places = {os.path.realpath(sysconfig.get_paths()[key]) for key in ("purelib", "platlib")}
    for module, where in ((pavro, os.path.dirname(os.path.dirname(pavro.__file__))),
                          (pavro_cjson, os.path.dirname(pavro_cjson.__file__))):
        if os.path.realpath(where) not in places:
            raise ImportError("%s imports from %s, not from %s"
                              % (module.__name__, module.__file__, " or ".join(sorted(places))))


# The fault cases tests/test_faults.py injected, summed over every process
# that ran some (pytest -n); shown whatever the capture mode, as the figure
# is wanted in every run.
_injected = collections.Counter()


def pytest_runtest_logreport(report):
    if report.when == "teardown":
        for name, value in report.user_properties:
            if name == "injected fault cases":
                function, count = value
                _injected[function] += count


def pytest_terminal_summary(terminalreporter):
    if _injected:
        terminalreporter.write_line("injected fault cases: {} ({})".format(
            sum(_injected.values()),
            ", ".join("{}={}".format(*item) for item in sorted(_injected.items()))))


@pytest.fixture
def log():
    return Log()


@pytest.fixture
def bag_factory(monkeypatch, log):
    """Replaces the module's ProbabilityBag with a recording factory."""
    factory = BagFactory(log)
    monkeypatch.setattr(pavro_cjson, "ProbabilityBag", factory)
    return factory


@pytest.fixture(params=["ujson", "json"])
def json_lib(request, monkeypatch):
    """Runs a test with each JSON library bound as pavro_cjson.json."""
    module = pytest.importorskip(request.param)
    monkeypatch.setattr(pavro_cjson, "json", module)
    return module


@pytest.fixture
def collect_abandoned_parsers():
    """Collects, before the next test starts, the parser generators a failed
    load abandoned in reference cycles.  Finalised inside a later test, they
    raise from their clean-up, and the exception pytest keeps for its report
    holds that test's frames, and so its objects, alive past their end."""
    yield
    gc.collect()


@pytest.fixture
def real_collaborators(monkeypatch):
    """The test starts from the libraries bound at import, and whatever it
    binds is undone after it."""
    for name in ("json", "ijson", "ObjectBuilder", "ProbabilityBag"):
        monkeypatch.setattr(pavro_cjson, name, getattr(pavro_cjson, name))


@pytest.fixture(params=["yajl2_cffi", "ijson"])
def parser_backend(request, monkeypatch):
    """Runs a test with the compiled yajl2 backend and with the ijson package's own choice."""
    if request.param == "yajl2_cffi":
        backend = pytest.importorskip("ijson.backends.yajl2_cffi")
    else:
        backend = importlib.import_module("ijson")
    monkeypatch.setattr(pavro_cjson, "ijson", backend)
    return backend
