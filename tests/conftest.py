import pytest

import pavro_cjson

from fakes import BagFactory, Log


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
