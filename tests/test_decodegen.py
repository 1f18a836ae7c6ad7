"""The decoding generator that load_json_big hands the model for a compressed
follower: what it decodes and when, how it fails, what it answers as a
generator, and what models that keep, skip, re-enter or play with it get:
whatever they do, it decodes the follower it was made for and never crashes
the process.
"""

import collections.abc
import gc
import io
import json as std_json
import subprocess
import sys
import textwrap
import traceback
import weakref

import pytest

import pavro_cjson
from pavro.bag import ChainModel

from fakes import KeepingModel, RecordingChain
from hostile_objects import (
    Bag, Boom, Model, SIMPLE, SMALL_DOC, WRITERS, chain_model,
    document, frequencies_of, honest, pjson_names, write)

ijson = pytest.importorskip("ijson")

pytestmark = pytest.mark.usefixtures("collect_abandoned_parsers", "real_collaborators")


def load_text(chain, text, merge=False):
    pavro_cjson.load_json_big(chain, io.BytesIO(text.encode("utf-8")), merge)


# ---------------------------------------------------------------------------
# The generator as the model sees it: what it decodes, how it fails, what it answers
# ---------------------------------------------------------------------------

def test_kept_generators_decode_their_own_follower(parser_backend):
    model = KeepingModel()
    load_text(model, '{"codes":[0,"a",1,"b",2,["t",1]],'
                     '"chain":[0,[[0,1],2,[1,2,0],3],1,[[2],4,[1,9],5,[0],6]]}')
    assert [(s, c) for s, _, c in model.kept] == [("a", 2), ("a", 3), ("b", 4), ("b", 5), ("b", 6)]
    assert model.cleared == 1
    gens = [g for _, g, _ in model.kept]
    # Drawn out of order, long after the reader assembled later followers.
    assert list(gens[4]) == ["a"]
    assert list(gens[1]) == ["b", ["t", 1], "a"]
    assert list(gens[0]) == ["a", "b"]
    assert list(gens[2]) == [["t", 1]]
    # A token missing from the map fails only when the model draws it.
    assert next(gens[3]) == "b"
    with pytest.raises(KeyError) as info:
        next(gens[3])
    assert info.value.args == (9,)
    assert pjson_names(info.value) == ["genexpr"]
    # A generator that raised is finished, like a Python generator.
    assert list(gens[3]) == []


def test_missing_element_raises_from_drawing_inside_add_to_bag(parser_backend):
    chain = RecordingChain()
    with pytest.raises(KeyError) as info:
        load_text(chain, '{"codes":[0,"a"],"chain":[0,[[0],1,[0,4],2,[0],3]]}')
    assert info.value.args == (4,)
    frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert frames.index("pavro_cjson.load_json_big") < frames.index("add_to_bag") \
        < frames.index("genexpr")
    assert frames[-1] == "genexpr"
    assert chain.log == [("clear",), ("add_to_bag", "a", ("gen", ("a",)), 1)]


def test_generator_presentation(parser_backend):
    model = KeepingModel()
    load_text(model, '{"codes":[0,"a",1,"b"],'
                     '"chain":[0,[[0,1],1,[1,0],2,[0,0],3,[1],4,[1,0],5,[0],6]]}')
    g1, g2, g3, g4, g5, g6 = [g for _, g, _ in model.kept]
    assert g1.__name__ == "genexpr"
    assert g1.__qualname__ == "load_json_big.<locals>.genexpr"
    assert isinstance(g1, collections.abc.Generator)
    assert isinstance(g1, collections.abc.Iterator)
    assert iter(g1) is g1
    assert "load_json_big.<locals>.genexpr" in repr(g1)
    # send(None) steps it like next().
    assert g1.send(None) == "a"
    assert g1.send(None) == "b"
    with pytest.raises(StopIteration):
        g1.send(None)
    # Only None may be sent before the first step.
    with pytest.raises(TypeError, match="just-started"):
        g5.send("x")
    assert next(g5) == "b"
    assert g5.send("ignored") == "a"
    # throw() raises the exception out of the generator, which is then done.
    assert next(g2) == "b"
    boom = ValueError("boom")
    with pytest.raises(ValueError) as info:
        g2.throw(boom)
    assert info.value is boom
    assert list(g2) == []
    with pytest.raises(LookupError, match="typed"):
        g3.throw(LookupError, LookupError("typed"))
    assert list(g3) == []
    # throw() refuses what a generator's throw() refuses, and the generator
    # stays as it was.
    for args, message in [((), "expected at least 1 argument"),
                          ((ValueError, None, "tb"), "traceback object"),
                          ((ValueError("x"), "separate"), "separate value"),
                          ((42,), "deriving from BaseException")]:
        with pytest.raises(TypeError, match=message):
            g6.throw(*args)
    assert list(g6) == ["a"]
    # close() finishes it quietly; closing again is harmless.
    assert g4.close() is None
    assert g4.close() is None
    assert list(g4) == []


# ---------------------------------------------------------------------------
# Models that keep, skip or play with the decoding generator
# ---------------------------------------------------------------------------

COMPRESSED_DOC = b'{"codes":[0,"a",1,"b",2,"c"],"chain":[0,[[0,1],2,[2,2,0],1],1,[[1],3]]}'
DECODED = [("a", ("a", "b"), 2), ("a", ("c", "c", "a"), 1), ("b", ("b",), 3)]


def test_generator_never_drawn():
    model = KeepingModel(lambda follower: None)
    pavro_cjson.load_json_big(model, io.BytesIO(COMPRESSED_DOC), merge=True)
    assert [(s, c) for s, _, c in model.kept] == [(s, c) for s, _, c in DECODED]
    assert model.cleared == 0
    del model
    gc.collect()


def test_generator_drawn_twice():
    seen = []

    def twice(follower):
        seen.append((tuple(follower), tuple(follower)))

    pavro_cjson.load_json_big(KeepingModel(twice), io.BytesIO(COMPRESSED_DOC))
    assert seen == [(f, ()) for _, f, _ in DECODED]


def test_generator_throw_close_and_send():
    outcomes = []

    def play(follower):
        first = follower.send(None)
        if len(outcomes) == 0:
            exc = Boom("thrown in")
            try:
                follower.throw(exc)
            except Boom as got:
                outcomes.append(("throw", first, got is exc, list(follower)))
        elif len(outcomes) == 1:
            follower.close()
            outcomes.append(("close", first, list(follower)))
        else:
            outcomes.append(("send", first, list(follower)))

    pavro_cjson.load_json_big(KeepingModel(play), io.BytesIO(COMPRESSED_DOC))
    assert outcomes == [("throw", "a", True, []), ("close", "c", []), ("send", "b", [])]

    def send_before_start(follower):
        with pytest.raises(TypeError):
            follower.send("x")
        outcomes.append(tuple(follower))

    outcomes = []
    pavro_cjson.load_json_big(KeepingModel(send_before_start), io.BytesIO(COMPRESSED_DOC))
    assert outcomes == [f for _, f, _ in DECODED]


def test_generator_reentered_while_drawing():
    # A follower element whose comparison draws the generator again gets
    # the interpreter's "generator already executing".
    holder = {}
    errors = []

    class Reenter:
        def __hash__(self):
            return hash(0)

        def __eq__(self, other):
            try:
                next(holder["gen"])
            except ValueError as exc:
                errors.append(str(exc))
            return other == 0

    class Builder(ijson.ObjectBuilder):
        def event(self, event, value):
            super().event(event, value)
            if event == "end_array" and self.value == [1]:
                self.value[0] = Reenter()

    def draw(follower):
        holder["gen"] = follower
        holder["drawn"] = list(follower)

    pavro_cjson.ObjectBuilder = Builder
    pavro_cjson.load_json_big(
        KeepingModel(draw), io.BytesIO(b'{"codes":[0,"a",1,"b"],"chain":[0,[[1],1]]}'))
    assert errors == ["generator already executing"]
    assert holder["drawn"] == ["a"]


def test_add_to_bag_raising_midway_keeps_earlier_pairs():
    exc = Boom("midway")
    got = []

    class Model_:
        def clear(self):
            got.append("clear")

        def add_to_bag(self, start, follower, count=None):
            codes = iter(follower)
            first = next(codes, None)
            if len(got) == 2:
                raise exc
            got.append((start, (first,) + tuple(codes), count))

    with pytest.raises(Boom) as info:
        pavro_cjson.load_json_big(Model_(), io.BytesIO(COMPRESSED_DOC))
    assert info.value is exc
    assert got == ["clear", DECODED[0]]
    assert pjson_names(info.value) == ["pavro_cjson.load_json_big"]


# The decoding generator being ended (close or throw) from inside its own
# step: user code runs during the step (the follower's iterator, the
# comparison of an element with a token).  A generator expression answers
# "generator already executing"; whatever the answer, the process must
# survive.  Run in a child process, since the failure mode is a crash.
REENTRANT_END = textwrap.dedent("""
    import io, sys
    import ijson
    import pavro_cjson

    how, where = sys.argv[1], sys.argv[2]
    kept = []

    def end_generator():
        gen = kept[0]
        try:
            if how == "close":
                gen.close()
            elif how == "throw":
                gen.throw(RuntimeError("ended"))
        except (ValueError, RuntimeError):
            pass
        # Reuse the freed memory, if any was freed.
        junk = [dict.fromkeys(range(300)) for _ in range(50)]

    class Element:
        def __hash__(self):
            return hash(5)

        def __eq__(self, other):
            end_generator()
            return other == 5

    class Follower:
        def __iter__(self):
            self.step = 0
            return self

        def __next__(self):
            self.step += 1
            if self.step > 1:
                raise StopIteration
            end_generator()
            return 5

    class Builder(ijson.ObjectBuilder):
        def event(self, event, value):
            super().event(event, value)
            if event == "end_array" and self.value == [7]:
                if where == "element":
                    self.value[0] = Element()
                else:
                    self.follower = Follower()

        @property
        def value(self):
            return self.__dict__.get("follower") or self.__dict__["value"]

        @value.setter
        def value(self, v):
            self.__dict__["value"] = v

    class Model:
        def clear(self):
            pass

        def add_to_bag(self, start, follower, count=None):
            kept.append(follower)

    codes = ",".join("%d,\\"code%d\\"" % (i, i) for i in range(300))
    text = '{"codes":[%s],"chain":[0,[[7],1]]}' % codes
    pavro_cjson.ObjectBuilder = Builder
    pavro_cjson.load_json_big(Model(), io.BytesIO(text.encode()), True)
    try:
        print("drawn", list(kept[0]))
    except Exception as exc:
        print("raised", type(exc).__name__)
""")


@pytest.mark.parametrize("where", ["element", "iterator"])
@pytest.mark.parametrize("how", ["none", "close", "throw"])
def test_generator_ended_from_inside_its_own_step(how, where):
    child = subprocess.run(
        [sys.executable, "-c", REENTRANT_END, how, where],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60,
    )
    assert child.returncode == 0, "child died ({}): {}".format(
        child.returncode, child.stderr.decode()[-400:])
    out = child.stdout.decode()
    if how == "none":  # the set-up itself: the follower decodes
        assert out == "drawn ['code5']\n"
    else:
        assert out.startswith(("drawn", "raised")), out


def test_generator_is_weakly_referenceable_like_a_generator():
    kept = []
    pavro_cjson.load_json_big(KeepingModel(kept.append), io.BytesIO(COMPRESSED_DOC))
    ref = weakref.ref(kept[0])
    del kept[:]
    gc.collect()
    assert ref() is None


def test_models_that_call_the_module_from_inside():
    # Every call keeps its own state: a model may save or load other models
    # while it is itself being saved or loaded.
    inner_texts = []

    def nested_saves():
        for function in WRITERS:
            inner_texts.append(write(function, honest(SIMPLE), True))
        return iter([(("a", "b"), 2), (("c",), 1)])

    outer = Model([("a", Bag(nested_saves)), ("b", Bag([(("a",), 3)]))], frequencies_of(SIMPLE))
    for function in WRITERS:
        assert document(function, outer, True) == document(function, honest(SIMPLE), True)
    assert len({std_json.dumps(std_json.loads(t)) for t in inner_texts}) == 1

    class LoadingModel(ChainModel):
        def add_to_bag(self, start, follower, count=1):
            inner = ChainModel()
            pavro_cjson.load_json_big(inner, io.BytesIO(COMPRESSED_DOC))
            pavro_cjson.load_json_small(inner, io.StringIO(SMALL_DOC), True)
            self.inner = inner
            ChainModel.add_to_bag(self, start, follower, count=count)

    for load, source in ((pavro_cjson.load_json_big, io.BytesIO(COMPRESSED_DOC)),
                         (pavro_cjson.load_json_small, io.StringIO(COMPRESSED_DOC.decode()))):
        model = LoadingModel()
        load(model, source, True)
        assert model == chain_model([("a", [(("a", "b"), 2), (("c", "c", "a"), 1)]),
                                     ("b", [(("b",), 3)])])
        assert model.inner.bag("b").weight(("b",)) == 4
