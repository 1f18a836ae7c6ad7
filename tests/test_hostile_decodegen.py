"""Models that keep, skip, re-enter or play with the decoding generator of
load_json_big: whatever they do, the generator decodes the follower it was
made for, answers as a generator does, and never crashes the process.
"""

import gc
import io
import json as std_json
import subprocess
import sys
import textwrap
import weakref

import pytest

import pavro_cjson
from pavro.bag import ChainModel

from fakes import KeepingModel
from hostile_objects import (
    IGNORE_ABANDONED_PARSERS, Bag, Boom, Model, SIMPLE, SMALL_DOC, WRITERS, chain_model,
    document, frequencies_of, honest, pjson_names, write)

ijson = pytest.importorskip("ijson")

pytestmark = [IGNORE_ABANDONED_PARSERS,
              pytest.mark.usefixtures("collect_abandoned_parsers", "real_collaborators")]


# ---------------------------------------------------------------------------
# Models that keep, skip or play with the decoding generator
# ---------------------------------------------------------------------------

COMPRESSED_DOC = b'{"codes":[0,"a",1,"b",2,"c"],"chain":[0,[[0,1],2,[2,2,0],1],1,[[1],3]]}'
DECODED = [("a", ("a", "b"), 2), ("a", ("c", "c", "a"), 1), ("b", ("b",), 3)]


def test_generator_kept_and_drawn_later_gives_its_own_codes():
    model = KeepingModel(lambda follower: None)
    pavro_cjson.load_json_big(model, io.BytesIO(COMPRESSED_DOC))
    # Drawn in reverse order, long after the builder moved on.
    drawn = [(s, tuple(f), c) for s, f, c in reversed(model.kept)]
    assert drawn[::-1] == DECODED
    assert model.cleared == 1


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
