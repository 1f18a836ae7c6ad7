"""A model saved by either writer, compressed or plain, with either JSON
library, loads back equal through either reader, in either mode, through
either parser backend."""

import io

import ijson
import pytest
from hypothesis import given, settings

import pavro_cjson
from pavro.bag import ChainModel

from examples import examples
from models import chain_models, json_libraries, wide_start_model

WRITERS = {
    "dump_json_small": pavro_cjson.dump_json_small,
    "dump_json_big": pavro_cjson.dump_json_big,
}


def _backends():
    backends = [("ijson", ijson)]
    try:
        from ijson.backends import yajl2_cffi
    except ImportError:
        pass
    else:
        backends.insert(0, ("yajl2_cffi", yajl2_cffi))
    return backends


# (label, reader, parser backend or None); each runs in both modes.
READERS = [("load_json_small", pavro_cjson.load_json_small, None)] + [
    ("load_json_big/" + name, pavro_cjson.load_json_big, backend)
    for name, backend in _backends()
]


def prefilled():
    return ChainModel.from_sequences([["old", "words", ("x", 1), "old"]])


def check_round_trip(writer, compress, library, model):
    saved = pavro_cjson.json, pavro_cjson.ijson
    pavro_cjson.json = library
    try:
        text = io.StringIO()
        WRITERS[writer](model, text, compress)
        data = text.getvalue().encode("utf-8")
        for label, reader, backend in READERS:
            if backend is not None:
                pavro_cjson.ijson = backend
            for merge in (False, True):
                # Replace mode must drop what was there; merge mode adds to it.
                target = ChainModel() if merge else prefilled()
                reader(target, io.BytesIO(data), merge)
                assert target == model, "{} merge={} from {}".format(label, merge, data)
    finally:
        pavro_cjson.json, pavro_cjson.ijson = saved


@pytest.mark.parametrize("library", json_libraries(), ids=lambda lib: lib.__name__)
@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
@pytest.mark.parametrize("writer", list(WRITERS), ids=list(WRITERS))
@settings(derandomize=True, deadline=None, max_examples=examples(50))
@given(model=chain_models())
def test_round_trip(writer, compress, library, model):
    check_round_trip(writer, compress, library, model)


@pytest.mark.parametrize("library", json_libraries(), ids=lambda lib: lib.__name__)
@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
@pytest.mark.parametrize("writer", list(WRITERS), ids=list(WRITERS))
def test_null_and_tuple_starts_round_trip(writer, compress, library):
    check_round_trip(writer, compress, library, wide_start_model())
