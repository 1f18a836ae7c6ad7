"""Hostile models, bags, files and collaborators.

Whatever the objects handed to the module do, a call must end in a Python
exception or in a correct result, and never crash.  A correct result for a
writer is the logical document its honest twin (a well-behaved model with
the same contents) gets; for a reader it is the model the document
describes.  Where the exception is determined (a missing method, a failed
unpacking, an exception raised by the object itself), the test says which.
"""

import builtins
import functools
import gc
import io
import json as std_json
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

import pavro_cjson
from pavro.bag import ChainModel, ProbabilityBag
from reference import bag as reference

ujson = pytest.importorskip("ujson")
ijson = pytest.importorskip("ijson")

WRITERS = ["dump_json_small", "dump_json_big"]

# A parser abandoned mid-stream complains from its own finaliser; that is
# the backend's business, not the reader's.
pytestmark = pytest.mark.filterwarnings(
    "ignore:Exception ignored in. <generator object (basic_parse_basecoro|utf8_encoder)"
    ":pytest.PytestUnraisableExceptionWarning"
)
MODES = [pytest.param(True, id="compressed"), pytest.param(False, id="plain")]


class Boom(Exception):
    """Raised by the hostile objects themselves."""


# ---------------------------------------------------------------------------
# Building blocks
# ---------------------------------------------------------------------------


class Bag:
    """A bag whose choices() is whatever it is given (a list, or a callable
    that makes the iterable)."""

    def __init__(self, choices):
        self._choices = choices

    def choices(self):
        if callable(self._choices):
            return self._choices()
        return iter(self._choices)


class Model:
    """A chain model whose items() and frequency mapping are given."""

    def __init__(self, entries, frequencies=None):
        self._entries = entries
        self._frequencies = frequencies

    def build_frequency_dict(self):
        if callable(self._frequencies):
            return self._frequencies()
        return self._frequencies

    def items(self):
        if callable(self._entries):
            return self._entries()
        return iter(self._entries)


def frequencies_of(entries):
    counts = {}
    for start, bag in entries:
        counts[start] = counts.get(start, 0) + 1
        for follower, _ in bag:
            for code in follower:
                counts[code] = counts.get(code, 0) + 1
    return counts


def honest(entries):
    """A well-behaved model: [(start, [(follower, count), ...]), ...]."""
    return Model([(s, Bag(list(c))) for s, c in entries], frequencies_of(entries))


SIMPLE = [("a", [(("a", "b"), 2), (("c",), 1)]), ("b", [(("a",), 3)])]


def write(function, model, compressed):
    out = io.StringIO()
    getattr(pavro_cjson, function)(model, out, compressed)
    return out.getvalue()


def document(function, model, compressed):
    return std_json.loads(write(function, model, compressed))


def exception_or_correct(function, model, compressed, twin):
    """Runs a writer; returns the exception, or checks the text is the
    twin's document and returns None."""
    try:
        text = write(function, model, compressed)
    except Exception as exc:  # any Python exception is an acceptable end
        return exc
    got = parsed(text)
    assert got is not INVALID, "{} reported success but wrote invalid JSON: {!r}".format(function, text)
    assert got == document(function, twin, compressed), text
    return None


INVALID = object()


def parsed(text):
    try:
        return std_json.loads(text)
    except ValueError:
        return INVALID


def pjson_names(exc):
    names = []
    tb = exc.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == "pjson":
            names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


@pytest.fixture(autouse=True)
def collect_abandoned_parsers():
    """Collects, while the test still runs (and its warning filters hold),
    the parser generators a failed load abandoned in reference cycles."""
    yield
    gc.collect()


@pytest.fixture(autouse=True)
def real_collaborators(monkeypatch):
    """Every test starts from the libraries bound at import."""
    for name in ("json", "ijson", "ObjectBuilder", "ProbabilityBag"):
        monkeypatch.setattr(pavro_cjson, name, getattr(pavro_cjson, name))


# ---------------------------------------------------------------------------
# items() and choices() that yield things other than pairs
# ---------------------------------------------------------------------------

NON_PAIRS = [
    pytest.param(5, TypeError, None, id="int"),
    pytest.param(("a",), ValueError, "need more than 1 value to unpack", id="1-tuple"),
    pytest.param(("a", "b", "c"), ValueError, "too many values to unpack (expected 2)", id="3-tuple"),
    pytest.param([], ValueError, "need more than 0 values to unpack", id="empty list"),
]


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
@pytest.mark.parametrize("item, error, message", NON_PAIRS)
def test_items_yielding_non_pairs(function, compressed, item, error, message):
    good = honest(SIMPLE)
    model = Model(list(good._entries[:1]) + [item], good._frequencies)
    with pytest.raises(error) as info:
        write(function, model, compressed)
    if message is not None:
        assert str(info.value) == message
    assert pjson_names(info.value)[0] == "pavro_cjson." + function


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
@pytest.mark.parametrize("item, error, message", NON_PAIRS)
def test_choices_yielding_non_pairs(function, compressed, item, error, message):
    model = Model([("a", Bag([(("a",), 1), item]))], {"a": 2, "b": 1, "c": 1})
    with pytest.raises(error) as info:
        write(function, model, compressed)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_two_character_string_items_unpack_into_start_and_bag(function, compressed):
    # "ab" unpacks: start "a", bag "b", and a str has no choices().
    model = Model(["ab"], {"a": 1, "b": 1})
    with pytest.raises(AttributeError, match="choices"):
        write(function, model, compressed)


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_two_character_string_choices_unpack_into_follower_and_count(function, compressed):
    # ("ab") unpacks into the follower "a" (itself iterable) and the count "b".
    model = Model([("a", Bag(["ab"]))], {"a": 2})
    twin = Model([("a", Bag([("a", "b")]))], {"a": 2})
    assert exception_or_correct(function, model, compressed, twin) is None


def raising_midway(values, exc):
    def generate():
        for value in values:
            yield value
        raise exc

    return generate


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_generators_that_raise_midway(function, compressed):
    good = honest(SIMPLE)
    exc = Boom("items")
    model = Model(raising_midway(good._entries[:1], exc), good._frequencies)
    with pytest.raises(Boom) as info:
        write(function, model, compressed)
    assert info.value is exc

    exc = Boom("choices")
    model = Model([("a", Bag(raising_midway([(("a", "b"), 2)], exc)))], good._frequencies)
    with pytest.raises(Boom) as info:
        write(function, model, compressed)
    assert info.value is exc


@pytest.mark.parametrize("compressed", MODES)
def test_streaming_writer_keeps_pieces_before_a_generator_fails(compressed):
    function = "dump_json_big"
    good = honest(SIMPLE)
    out = io.StringIO()
    model = Model(raising_midway(good._entries[:1], Boom()), good._frequencies)
    with pytest.raises(Boom):
        pavro_cjson.dump_json_big(model, out, compressed)
    # Everything up to the end of the first entry, and no more.
    first_only = write(function, Model(good._entries[:1], good._frequencies), compressed)
    assert out.getvalue() == first_only[:-len("]}")]


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_lists_mutated_during_iteration(function, compressed):
    frequencies = {"a": 3, "b": 2, "c": 1}
    entries = []

    def choices_that_truncate_the_entries():
        del entries[1:]  # the entries list is being iterated by the writer
        return iter([(("b",), 1)])

    entries[:] = [("a", Bag(choices_that_truncate_the_entries)), ("b", Bag([])), ("c", Bag([]))]
    model = Model(lambda: iter(entries), frequencies)
    twin = Model([("a", Bag([(("b",), 1)]))], frequencies)
    assert exception_or_correct(function, model, compressed, twin) is None

    # A choice list that grows while it is walked: the writer follows the
    # iterator, so the new choice is written too.
    choices = [(("a",), 1)]

    def growing():
        for follower, count in choices:
            if len(choices) < 3:
                choices.append((("b",), len(choices) + 1))
            yield follower, count

    model = Model([("a", Bag(growing))], frequencies)
    twin = Model([("a", Bag([(("a",), 1), (("b",), 2), (("b",), 3)]))], frequencies)
    assert exception_or_correct(function, model, compressed, twin) is None


# ---------------------------------------------------------------------------
# Codes that misbehave
# ---------------------------------------------------------------------------


class HostileCode(str):
    """A string code; `on_hash` / `on_eq` / `on_len` run first."""

    on_hash = on_eq = on_len = None

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return str.__hash__(self)

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def __len__(self):
        if self.on_len:
            self.on_len()
        return str.__len__(self)


def raiser(exc):
    def fail():
        raise exc

    return fail


def hostile(text, **hooks):
    code = HostileCode(text)
    for name, hook in hooks.items():
        setattr(code, name, hook)
    return code


@pytest.mark.parametrize("function", WRITERS)
def test_codes_whose_hash_raises(function):
    exc = Boom("hash")
    bad = hostile("a", on_hash=raiser(exc))
    entries = [(bad, Bag([((bad, "b"), 1)]))]
    model = Model(entries, {"a": 2, "b": 1})
    with pytest.raises(Boom) as info:
        write(function, model, True)
    assert info.value is exc
    # A plain document never hashes a code.
    twin = Model([("a", Bag([(("a", "b"), 1)]))], {})
    assert exception_or_correct(function, model, False, twin) is None


@pytest.mark.parametrize("function", WRITERS)
def test_codes_whose_eq_raises(function):
    exc = Boom("eq")
    # The mapping's key compares itself with an equal start that is not the
    # same object.
    model = Model([("a", Bag([(("b",), 1)]))], {hostile("a", on_eq=raiser(exc)): 2, "b": 1})
    with pytest.raises(Boom) as info:
        write(function, model, True)
    assert info.value is exc
    assert pjson_names(info.value)[0] == "pavro_cjson." + function


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_codes_whose_len_raises(function, compressed):
    bad = hostile("a", on_len=raiser(Boom("len")))
    model = Model([(bad, Bag([((bad, "b"), 1)]))], {bad: 2, "b": 1})
    twin = honest([("a", [(("a", "b"), 1)])])
    assert exception_or_correct(function, model, compressed, twin) is None


class LenRaisingTuple(tuple):
    def __len__(self):
        raise Boom("len")


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_followers_whose_len_raises(function, compressed):
    model = Model([("a", Bag([(LenRaisingTuple(("a", "b")), 1)]))], {"a": 2, "b": 1})
    twin = honest([("a", [(("a", "b"), 1)])])
    assert exception_or_correct(function, model, compressed, twin) is None


class LiveModel(reference.ChainModel):
    """A dict-backed model whose items() walks its dictionary live (the
    reference model: its dictionary is within the test's reach)."""

    def items(self):
        return iter(self._bags.items())


class LiveBag(reference.ProbabilityBag):
    def choices(self):
        return iter(self._weights.items())


def live_model():
    model = LiveModel()
    for start, choices in SIMPLE:
        bag = LiveBag()
        for follower, count in choices:
            bag.add(follower, count=count)
        model.set_bag(start, bag)
    return model


def hook_the_mapping(model, hook):
    """Gives `model` a frequency mapping whose keys run `hook` whenever a
    lookup compares them (the model's own starts are equal, other objects)."""
    mapping = {hostile(k, on_eq=hook): v for k, v in model.build_frequency_dict().items()}
    model.build_frequency_dict = lambda: mapping
    return mapping


@pytest.mark.parametrize("function", WRITERS)
def test_code_eq_that_mutates_while_being_looked_up(function):
    twin = live_model()

    # ... the frequency mapping, already consumed: no effect.
    model = live_model()
    mappings = []

    def clear_mapping():
        mappings.append(len(mappings[0]))
        mappings[0].clear()

    mappings.append(hook_the_mapping(model, clear_mapping))
    assert exception_or_correct(function, model, True, twin) is None
    assert len(mappings) > 1  # the lookups did compare

    # ... the bag being walked: its own iterator notices.
    model = live_model()
    bag = model._bags["a"]

    def grow_bag():
        bag._weights[("new", len(bag._weights))] = 1

    hook_the_mapping(model, grow_bag)
    exc = exception_or_correct(function, model, True, twin)
    assert isinstance(exc, RuntimeError), exc

    # ... the model being walked: its own iterator notices.
    model = live_model()

    def grow_model():
        model._bags["z{}".format(len(model._bags))] = LiveBag()

    hook_the_mapping(model, grow_model)
    exc = exception_or_correct(function, model, True, twin)
    assert isinstance(exc, RuntimeError), exc


@pytest.mark.parametrize("function", WRITERS)
def test_code_eq_that_empties_the_writers_code_table(function):
    # The writer's own code -> token dictionary is found through the key
    # being compared and emptied mid-lookup: a KeyError, never a crash.
    emptied = []

    def empty_dicts_holding_the_key():
        for referrer in gc.get_referrers(stored):
            # Only the tables keyed by this very code: the mapping, and
            # the writer's own.
            if isinstance(referrer, dict) and list(referrer) == [stored]:
                emptied.append(list(referrer.values()))
                referrer.clear()

    stored = hostile("a", on_eq=empty_dicts_holding_the_key)
    model = Model([("a", Bag([]))], {stored: 1})
    exc = exception_or_correct(function, model, True, honest([("a", [])]))
    assert exc is None or isinstance(exc, KeyError), exc
    # The writer's table (code -> token 0) was among those emptied.
    assert [0] in emptied


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_models_that_change_while_walked(function, compressed):
    # A live dict-backed model that gains a start while it is walked: the
    # dictionary's own RuntimeError.
    model = live_model()
    original = model._bags["a"].choices

    def choices_adding_a_start():
        model._bags["late"] = LiveBag()
        return original()

    model._bags["a"].choices = choices_adding_a_start
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        write(function, model, compressed)

    # ... or loses one.
    model = live_model()

    def choices_removing_a_start():
        del model._bags["b"]
        return iter([])

    model._bags["a"].choices = choices_removing_a_start
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        write(function, model, compressed)

    # The real model walks its dictionaries as they are, not copies, so it
    # fails the same way: a start added while a bag is walked, or a
    # follower added to the bag being walked.
    for grows_the_model in (True, False):
        model = ChainModel.from_sequences([["a", "b", "a", "c"]])
        frequencies = model.build_frequency_dict()
        model.build_frequency_dict = lambda: frequencies
        bag = model.bag("a")
        if grows_the_model:
            grow = functools.partial(model.add_to_bag, "late", ("a",))
        else:
            grow = functools.partial(bag.add, ("late",))
        model.set_bag("a", GrowingWhileWalked(bag, grow))
        with pytest.raises(RuntimeError, match="changed size during iteration"):
            write(function, model, compressed)


class GrowingWhileWalked:
    """Hands over a real bag's choices, calling grow() after taking each."""

    def __init__(self, bag, grow):
        self.bag = bag
        self.grow = grow

    def choices(self):
        for pair in self.bag.choices():
            self.grow()
            yield pair


def test_real_model_and_bag_are_walked_live():
    # No copy per save: a change during the walk is the dict's RuntimeError.
    model = ChainModel.from_sequences([["a", "b", "a", "c"]])
    entries = model.items()
    next(entries)
    model.add_to_bag("late", ("a",))
    with pytest.raises(RuntimeError):
        next(entries)
    bag = model.bag("a")
    choices = bag.choices()
    next(choices)
    bag.add(("late",))
    with pytest.raises(RuntimeError):
        next(choices)


# ---------------------------------------------------------------------------
# build_frequency_dict() returning odd objects
# ---------------------------------------------------------------------------


class Opaque:
    """Supports nothing."""


class NegatesToOpaque:
    def __neg__(self):
        return Opaque()


class ItemsWithoutLen:
    def __init__(self, mapping):
        self._mapping = mapping

    def items(self):
        return (item for item in self._mapping.items())


class ItemsOf:
    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


BASE_FREQUENCIES = frequencies_of(SIMPLE)
ODD_FREQUENCIES = [
    pytest.param(None, AttributeError, id="None"),
    pytest.param([("a", 1)], AttributeError, id="list"),
    pytest.param({"a": "x", "b": "y", "c": "z"}, TypeError, id="string counts"),
    pytest.param({"a": Opaque(), "b": Opaque(), "c": Opaque()}, TypeError, id="counts without negation"),
    pytest.param({"a": NegatesToOpaque(), "b": NegatesToOpaque(), "c": NegatesToOpaque()},
                 TypeError, id="counts without comparison"),
    pytest.param(ItemsOf([5, 6]), TypeError, id="items not indexable"),
    pytest.param(ItemsOf([("a",), ("b",)]), IndexError, id="items of one element"),
    pytest.param(ItemsOf(5), TypeError, id="items not iterable"),
    pytest.param(ItemsOf([("a", 1)]), KeyError, id="mapping lacking codes"),
]


@pytest.mark.parametrize("function", WRITERS)
@pytest.mark.parametrize("frequencies, error", ODD_FREQUENCIES)
def test_frequency_mappings_that_do_not_serve(function, frequencies, error):
    model = Model(honest(SIMPLE)._entries, frequencies)
    out = io.StringIO()
    with pytest.raises(error):
        getattr(pavro_cjson, function)(model, out, True)
    if function == "dump_json_small":
        assert out.getvalue() == ""


@pytest.mark.parametrize("function", WRITERS)
def test_frequency_mappings_that_still_serve(function):
    twin = honest(SIMPLE)
    # NaN counts sort in no particular order, but every code gets a token.
    nan = float("nan")
    for frequencies in (
        {code: nan for code in BASE_FREQUENCIES},
        ItemsWithoutLen(BASE_FREQUENCIES),
        ItemsOf([(code, n, "extra") for code, n in BASE_FREQUENCIES.items()]),
    ):
        model = Model(twin._entries, frequencies)
        text = write(function, model, True)
        loaded = ChainModel()
        pavro_cjson.load_json_small(loaded, io.StringIO(text))
        assert loaded == SIMPLE_MODEL, text


def chain_model(entries):
    model = ChainModel()
    for start, choices in entries:
        for follower, count in choices:
            model.add_to_bag(start, follower, count=count)
    return model


SIMPLE_MODEL = chain_model(SIMPLE)


# ---------------------------------------------------------------------------
# A JSON library whose dumps does not return text
# ---------------------------------------------------------------------------


class OddDumps:
    def __init__(self, result):
        self._result = result

    def dumps(self, value):
        return self._result(value)

    def dump(self, value, file):
        return ujson.dump(value, file)

    def load(self, file):
        return ujson.load(file)


ODD_TEXTS = [
    pytest.param(lambda v: ujson.dumps(v).encode(), id="bytes"),
    pytest.param(lambda v: None, id="None"),
    pytest.param(lambda v: 7, id="int"),
    pytest.param(lambda v: Opaque(), id="object"),
]


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
@pytest.mark.parametrize("result", ODD_TEXTS)
def test_dumps_returning_non_strings(function, compressed, result, monkeypatch):
    twin = honest(SIMPLE)
    model = honest(SIMPLE)
    expected = document(function, twin, compressed)
    monkeypatch.setattr(pavro_cjson, "json", OddDumps(result))
    try:
        text = write(function, model, compressed)
    except Exception:
        return
    got = parsed(text)
    assert got is not INVALID, "wrote an invalid document and reported success: {!r}".format(text)
    assert got == expected, "wrote a different document and reported success: {!r}".format(text)


# ---------------------------------------------------------------------------
# Models that keep, skip or play with the decoding generator
# ---------------------------------------------------------------------------

COMPRESSED_DOC = b'{"codes":[0,"a",1,"b",2,"c"],"chain":[0,[[0,1],2,[2,2,0],1],1,[[1],3]]}'
DECODED = [("a", ("a", "b"), 2), ("a", ("c", "c", "a"), 1), ("b", ("b",), 3)]


class KeepingModel:
    def __init__(self, behaviour):
        self.behaviour = behaviour
        self.kept = []
        self.cleared = 0

    def clear(self):
        self.cleared += 1

    def add_to_bag(self, start, follower, count=None):
        self.kept.append((start, follower, count))
        self.behaviour(follower)


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


# ---------------------------------------------------------------------------
# Bags, files and sources that misbehave
# ---------------------------------------------------------------------------

SMALL_DOC = '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2],1,[[1],1]]}'


class RecordingModel:
    def __init__(self):
        self.calls = []

    def clear(self):
        self.calls.append("clear")

    def set_bag(self, start, bag):
        self.calls.append(("set_bag", start))

    def add_to_bag(self, start, follower, count=None):
        self.calls.append(("add_to_bag", start, tuple(follower), count))


def test_bag_classes_that_fail(monkeypatch):
    exc = Boom("add")

    class AddRaises:
        def add(self, follower, count=None):
            raise exc

    class InitRaises:
        def __init__(self):
            raise exc

    class NoAdd:
        pass

    for bag_class, error in ((AddRaises, Boom), (InitRaises, Boom), (5, TypeError),
                             (None, TypeError), (NoAdd, AttributeError)):
        monkeypatch.setattr(pavro_cjson, "ProbabilityBag", bag_class)
        model = RecordingModel()
        with pytest.raises(error) as info:
            pavro_cjson.load_json_small(model, io.StringIO(SMALL_DOC))
        if error is Boom:
            assert info.value is exc
        # Cleared, and no start handed over: its bag never completed.
        assert model.calls == ["clear"]
    monkeypatch.delattr(pavro_cjson, "ProbabilityBag")
    model = RecordingModel()
    with pytest.raises(NameError):
        pavro_cjson.load_json_small(model, io.StringIO(SMALL_DOC))


class OddFile:
    def __init__(self, result):
        self.pieces = []
        self._result = result

    def write(self, piece):
        self.pieces.append(piece)
        return self._result


class FalsyTrap:
    def __bool__(self):
        raise Boom("truth of write's result")

    def __index__(self):
        raise Boom("write's result as a number")


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_write_results_are_ignored(function, compressed):
    expected = write(function, honest(SIMPLE), compressed)
    for result in (None, -1, "nonsense", Opaque(), FalsyTrap()):
        out = OddFile(result)
        getattr(pavro_cjson, function)(honest(SIMPLE), out, compressed)
        assert "".join(out.pieces) == expected


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_files_whose_write_fails(function, compressed):
    exc = Boom("disk full")

    class Raising:
        def write(self, piece):
            raise exc

    class NotCallable:
        write = 5

    class NoWrite:
        pass

    with pytest.raises(Boom) as info:
        getattr(pavro_cjson, function)(honest(SIMPLE), Raising(), compressed)
    assert info.value is exc
    with pytest.raises(TypeError):
        getattr(pavro_cjson, function)(honest(SIMPLE), NotCallable(), compressed)
    with pytest.raises((AttributeError, TypeError)):
        getattr(pavro_cjson, function)(honest(SIMPLE), NoWrite(), compressed)


class OddSource:
    def __init__(self, result):
        self._result = result

    def read(self, size=-1):
        return self._result


@pytest.mark.parametrize("library", [ujson, std_json], ids=["ujson", "json"])
@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_whole_reader_sources_that_read_non_text(library, merge, monkeypatch):
    monkeypatch.setattr(pavro_cjson, "json", library)
    for result in (5, None, ["{}"], Opaque(), 2.5):
        model = RecordingModel()
        with pytest.raises(Exception):
            pavro_cjson.load_json_small(model, OddSource(result), merge)
        assert model.calls == []
    # Bytes are a document too, for both libraries.
    model = RecordingModel()
    pavro_cjson.load_json_small(model, OddSource(SMALL_DOC.encode()), True)
    assert model.calls == [("add_to_bag", "a", ("a", "b"), 2), ("add_to_bag", "b", ("b",), 1)]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_streaming_reader_sources_that_read_non_bytes(merge):
    for result in (5, None, ["{}"], Opaque()):
        model = RecordingModel()
        with pytest.raises(Exception):
            pavro_cjson.load_json_big(model, OddSource(result), merge)
        assert model.calls == []


# ---------------------------------------------------------------------------
# Hostile documents handed over by a JSON library stand-in
# ---------------------------------------------------------------------------


class GivenDocument:
    def __init__(self, doc):
        self._doc = doc

    def load(self, file):
        return self._doc


class Token:
    """A token whose hashing or comparing runs given code."""

    def __init__(self, value, on_hash=None, on_eq=None):
        self.value = value
        self.on_hash = on_hash
        self.on_eq = on_eq

    def __hash__(self):
        if self.on_hash:
            self.on_hash()
        return hash(self.value)

    def __eq__(self, other):
        if self.on_eq:
            self.on_eq()
        return self.value == getattr(other, "value", other)


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_whole_reader_with_hostile_tokens(merge, monkeypatch):
    exc = Boom("token hash")
    doc = {"codes": [Token(0, on_hash=raiser(exc)), "a"], "chain": [0, [[0], 1]]}
    monkeypatch.setattr(pavro_cjson, "json", GivenDocument(doc))
    model = RecordingModel()
    with pytest.raises(Boom) as info:
        pavro_cjson.load_json_small(model, None, merge)
    assert info.value is exc
    assert model.calls == []

    # A start token whose comparison grows the chain table being walked.
    chain = [Token(0), [[0], 1]]

    def grow():
        if len(chain) < 8:
            chain.extend([0, [[0], len(chain)]])

    chain[0].on_eq = grow
    doc = {"codes": [0, "a"], "chain": chain}
    monkeypatch.setattr(pavro_cjson, "json", GivenDocument(doc))
    model = RecordingModel()
    if merge:
        pavro_cjson.load_json_small(model, None, merge)
        assert model.calls[0] == ("add_to_bag", "a", ("a",), 1)
        assert all(call[:3] == ("add_to_bag", "a", ("a",)) for call in model.calls)
    else:
        pavro_cjson.load_json_small(model, None, merge)
        assert model.calls[0] == "clear"
        assert all(call == ("set_bag", "a") for call in model.calls[1:])


class GivenEvents:
    """A parser stand-in that yields given events."""

    def __init__(self, events):
        self._events = events

    def parse(self, file):
        return iter(self._events)


def chain_events(code_table, chain=((0, [[0], 1]),)):
    events = [("", "start_map", None), ("", "map_key", "codes"), ("", "start_array", None)]
    for value in code_table:
        events.append(("", "string" if isinstance(value, str) else "number", value))
    events += [("", "end_array", None), ("", "map_key", "chain"), ("", "start_array", None)]
    for start, followers in chain:
        events += [("", "number", start), ("", "start_array", None)]
        for follower in followers:
            if isinstance(follower, list):
                events.append(("", "start_array", None))
                events += [("", "number", x) for x in follower]
                events.append(("", "end_array", None))
            else:
                events.append(("", "number", follower))
        events.append(("", "end_array", None))
    events += [("", "end_array", None), ("", "end_map", None)]
    return events


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_streaming_reader_with_hostile_tokens(merge, monkeypatch):
    # A token that cannot be hashed fails the code table's close, before
    # the model is touched: not even the replace-mode clear has happened.
    exc = Boom("token hash")
    monkeypatch.setattr(pavro_cjson, "ijson", GivenEvents(
        chain_events([Token(0, on_hash=raiser(exc)), "a"])))
    model = RecordingModel()
    with pytest.raises(Boom) as info:
        pavro_cjson.load_json_big(model, None, merge)
    assert info.value is exc
    assert model.calls == []

    # A start token whose comparison raises fails the first pair before
    # add_to_bag, and again before the clear.
    exc = Boom("token eq")
    events = chain_events([0, "a"])
    events[events.index(("", "number", 0), 4)] = ("", "number", Token(0, on_eq=raiser(exc)))
    monkeypatch.setattr(pavro_cjson, "ijson", GivenEvents(events))
    model = RecordingModel()
    with pytest.raises(Boom) as info:
        pavro_cjson.load_json_big(model, None, merge)
    assert info.value is exc
    assert model.calls == []


# ---------------------------------------------------------------------------
# Under garbage-collector pressure: nothing is kept alive
# ---------------------------------------------------------------------------


class Collecting:
    """Collects garbage before every step it is asked for."""

    def __init__(self, values):
        self._values = list(values)

    def __iter__(self):
        for value in self._values:
            gc.collect()
            yield value


class CyclicBag:
    """A bag in a reference cycle with itself, reachable only through the
    iteration that yields it."""

    def __init__(self, choices):
        self.me = self
        self._choices = choices

    def choices(self):
        gc.collect()
        return Collecting(self._choices)


class CyclicModel:
    def __init__(self, entries, frequencies):
        self.me = self
        self._entries = entries
        self._frequencies = frequencies

    def build_frequency_dict(self):
        return self._frequencies

    def items(self):
        # Every (start, bag) is made afresh and yielded unnamed, so only
        # the writer holds it.
        for start, choices in self._entries:
            gc.collect()
            yield start, CyclicBag(list(choices))


@pytest.mark.parametrize("compressed", MODES)
@pytest.mark.parametrize("function", WRITERS)
def test_writers_under_collection_keep_nothing(function, compressed):
    expected = write(function, honest(SIMPLE), compressed)
    model = CyclicModel(SIMPLE, frequencies_of(SIMPLE))
    assert write(function, model, compressed) == expected
    ref = weakref.ref(model)

    failing = CyclicModel(SIMPLE + [("z", [(("nowhere",), 1)])], frequencies_of(SIMPLE))
    failing_ref = weakref.ref(failing)
    if compressed:
        with pytest.raises(KeyError):
            write(function, failing, compressed)
    else:
        write(function, failing, compressed)
    del model, failing
    gc.collect()
    assert ref() is None
    assert failing_ref() is None


class Payload:
    """A weakly referenceable stand-in for a code, to see what survives."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.name == getattr(other, "name", other)


def test_streaming_reader_under_collection_keeps_nothing():
    # A model that keeps the decoding generator and is itself reachable
    # from what the generator holds: a cycle through the generator.
    payloads = []

    class Builder(ijson.ObjectBuilder):
        def event(self, event, value):
            super().event(event, value)
            gc.collect()

    class CycleModel:
        def __init__(self):
            self.kept = []

        def clear(self):
            pass

        def add_to_bag(self, start, follower, count=None):
            self.kept.append(follower)

    class FakeParse:
        def __init__(self, model):
            self.model = model

        def parse(self, file):
            payload = Payload("a")
            payloads.append(weakref.ref(payload))
            # The decoding map holds the payload, the payload the model.
            payload.model = self.model
            for event in (("", "start_map", None), ("", "map_key", "codes"),
                          ("", "start_array", None), ("", "number", 0),
                          ("", "string", payload), ("", "end_array", None),
                          ("", "map_key", "chain"), ("", "start_array", None),
                          ("", "number", 0), ("", "start_array", None),
                          ("", "start_array", None), ("", "number", 0),
                          ("", "end_array", None), ("", "number", 1),
                          ("", "end_array", None), ("", "end_array", None),
                          ("", "end_map", None)):
                gc.collect()
                yield event

    model = CycleModel()
    pavro_cjson.ObjectBuilder = Builder
    pavro_cjson.ijson = FakeParse(model)
    pavro_cjson.load_json_big(model, None)
    assert len(model.kept) == 1
    ref = weakref.ref(model)
    pavro_cjson.ijson = None
    del model
    gc.collect()
    assert ref() is None
    assert all(p() is None for p in payloads)


def test_readers_under_collection_keep_nothing_after_failures():
    class Model_(RecordingModel):
        def add_to_bag(self, start, follower, count=None):
            gc.collect()
            raise Boom("late")

        def set_bag(self, start, bag):
            gc.collect()
            raise Boom("late")

    for merge in (False, True):
        for load, source in ((pavro_cjson.load_json_small, lambda: io.StringIO(SMALL_DOC)),
                             (pavro_cjson.load_json_big, lambda: io.BytesIO(SMALL_DOC.encode()))):
            model = Model_()
            model.me = model
            ref = weakref.ref(model)
            with pytest.raises(Boom):
                load(model, source(), merge)
            del model
            gc.collect()
            assert ref() is None


# ---------------------------------------------------------------------------
# Every failure exit of the module, provoked from outside
# ---------------------------------------------------------------------------
#
# One case per way a collaborator can fail that no test above reaches: a
# module-level name deleted or badly rebound, a namespace whose lookup
# raises, a math or JSON stand-in that misbehaves, a model or parsed
# document whose iterables raise or are not iterables.  Each must end in
# the collaborator's own exception (or the interpreter's, for a missing
# name or a failed protocol), with the module's traceback entries on it.

# Twelve string codes: those ranked 10 and 11 may stand for themselves, so
# the writers ask math.log10 about them.
RANKED = [("w{}".format(i), [(("w{}".format(i), "w0"), 1)]) for i in range(12)]
# The empty string, ranked last, does stand for itself ('""' is no longer
# than "12"); it is only ever a follower's code.
ITSELF = [("w0", [(("", "w0"), 1)])] + RANKED[1:]


class Collider:
    """A key that hashes as `name` does and whose first comparison raises
    (later ones, when the test puts things back, find it unequal)."""

    def __init__(self, name):
        self._hash = hash(name)
        self._compared = False

    def __hash__(self):
        return self._hash

    def __eq__(self, other):
        if not self._compared:
            self._compared = True
            raise Boom("compared")
        return False


class FormatsOnce(str):
    """JSON text whose first str.format works and whose later ones raise."""

    def __format__(self, how):
        if getattr(self, "formatted", False):
            raise Boom("format")
        self.formatted = True
        return str.__format__(self, how)


class RaisingIterable:
    """Yields `values`, then raises Boom."""

    def __init__(self, values):
        self._values = values

    def __iter__(self):
        yield from self._values
        raise Boom("iteration")


def without(name):
    return lambda mp: mp.delattr(pavro_cjson, name)


def bound(name, value):
    return lambda mp: mp.setattr(pavro_cjson, name, value)


def colliding(namespace):
    """`math` missing from the module, and a key colliding with it in
    `namespace` (the module's, or the builtins')."""

    def provoke(mp):
        mp.delattr(pavro_cjson, "math")
        mp.setitem(namespace(), Collider("math"), None)  # after the deletion: no compare

    return provoke


def parsed_as(document):
    """A JSON library whose load returns `document`."""
    return bound("json", types.SimpleNamespace(load=lambda file: document()))


def formats_once(mp):
    mp.setattr(pavro_cjson, "json", types.SimpleNamespace(
        dumps=lambda value: FormatsOnce(ujson.dumps(value)), dump=ujson.dump))


def small(model, merge):
    return lambda: pavro_cjson.load_json_small(model, io.StringIO("ignored"), merge)


def writers(model, compressed):
    """Both writers on `model`: entries for an honest one, or a model."""
    if isinstance(model, list):
        model = honest(model)
    return [lambda f=f: write(f, model, compressed) for f in WRITERS]


SITES = [
    # (provocation, calls, expected exception)
    pytest.param(without("math"), writers(RANKED, True), NameError, id="no math"),
    pytest.param(bound("math", types.SimpleNamespace()), writers(RANKED, True), AttributeError,
                 id="math without log10"),
    pytest.param(bound("math", types.SimpleNamespace(log10=lambda x: raiser(Boom("log10"))())),
                 writers(RANKED, True), Boom, id="log10 raises"),
    pytest.param(bound("math", types.SimpleNamespace(log10=lambda x: "x")),
                 writers(RANKED, True), ValueError, id="log10 gives no number"),
    pytest.param(bound("math", types.SimpleNamespace(log10=lambda x: 10 ** 30)),
                 writers(RANKED, True), OverflowError, id="log10 gives a huge number"),
    pytest.param(colliding(lambda: vars(pavro_cjson)), writers(RANKED, True), Boom,
                 id="module namespace lookup raises"),
    pytest.param(colliding(lambda: vars(builtins)), writers(RANKED, True), Boom,
                 id="builtins lookup raises"),
    pytest.param(lambda mp: mp.delattr(builtins, "sorted"), writers(SIMPLE, True), NameError,
                 id="no sorted"),
    pytest.param(without("json"), writers(SIMPLE, True) + writers(SIMPLE, False)
                 + [small(ChainModel(), False)], NameError, id="no json"),
    pytest.param(without("ijson"),
                 [lambda: pavro_cjson.load_json_big(ChainModel(), io.BytesIO(b"{}"))],
                 NameError, id="no ijson"),
    pytest.param(without("OrderedDict"), writers(SIMPLE, False)[:1], NameError,
                 id="no OrderedDict"),
    pytest.param(bound("OrderedDict", lambda pairs: raiser(Boom("OrderedDict"))()),
                 writers(SIMPLE, False)[:1], Boom, id="OrderedDict raises"),
    pytest.param(formats_once, writers(ITSELF, True)[1:], Boom,
                 id="token text that formats once"),
    pytest.param(lambda mp: None, writers(Model(lambda: 5, {}), True)
                 + writers(Model(lambda: 5, {}), False), TypeError, id="items not iterable"),
    pytest.param(lambda mp: None, writers(Model([("a", Bag(lambda: 5))], {"a": 1}), True)
                 + writers(Model([("a", Bag(lambda: 5))], {"a": 1}), False), TypeError,
                 id="choices not iterable"),
    pytest.param(lambda mp: None,
                 writers(Model([("a", Bag([(RaisingIterable(["a"]), 1)]))], {"a": 2}), True),
                 Boom, id="follower raises midway"),
    pytest.param(lambda mp: None, writers(Model([], ItemsOf([(hostile("a", on_hash=raiser(
        Boom("hash"))), 1)])), True), Boom, id="ranked code whose hash raises"),
    pytest.param(parsed_as(lambda: {"codes": RaisingIterable([0, "a"]), "chain": []}),
                 [small(ChainModel(), False)], Boom, id="code table raises midway"),
    pytest.param(parsed_as(lambda: {"codes": [], "chain": RaisingIterable(["a", [["b"], 1]])}),
                 [small(ChainModel(), False), small(ChainModel(), True)], Boom,
                 id="chain table raises midway"),
    pytest.param(parsed_as(lambda: {"codes": [], "chain": ["a", RaisingIterable([["b"], 1])]}),
                 [small(ChainModel(), False), small(ChainModel(), True)], Boom,
                 id="follower list raises midway"),
]


@pytest.mark.parametrize("provoke, calls, error", SITES)
def test_failing_collaborators_reach_every_failure_exit(monkeypatch, provoke, calls, error):
    for call in calls:
        with monkeypatch.context() as mp:
            provoke(mp)
            with pytest.raises(error) as info:
                call()
        assert pjson_names(info.value), "no traceback entry of the module"


class Touchy(str):
    """Event or key text whose comparison with, or startswith() test for,
    any of `against` raises."""

    def __new__(cls, text, *against):
        self = str.__new__(cls, text)
        self.against = against
        return self

    __hash__ = str.__hash__

    def __eq__(self, other):
        if other in self.against:
            raise Boom("compared with {!r}".format(other))
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    def startswith(self, prefix, *args):
        if prefix in self.against:
            raise Boom("startswith {!r}".format(prefix))
        return str.startswith(self, prefix, *args)


# {"codes":[],"chain":["a",5]}: parsed to the end, it is refused for the 5.
EVENTS = [("", "start_map", None), ("", "map_key", "codes"), ("codes", "start_array", None),
          ("codes", "end_array", None), ("", "map_key", "chain"), ("chain", "start_array", None),
          ("chain.item", "string", "a"), ("chain.item", "number", 5),
          ("chain", "end_array", None), ("", "end_map", None)]


def touchy_event(index, *against):
    events = list(EVENTS)
    prefix, event, value = events[index]
    events[index] = (prefix, Touchy(event, *against), value)
    return events


def touchy_key(index, *against):
    events = list(EVENTS)
    prefix, event, value = events[index]
    events[index] = (prefix, event, Touchy(value, *against))
    return events


@pytest.mark.parametrize("events", [
    pytest.param(touchy_event(0, "start_"), id="start_ test"),
    pytest.param(touchy_event(0, "end_"), id="end_ test"),
    pytest.param(touchy_event(2, "start_array"), id="start_array compare"),
    pytest.param(touchy_event(3, "end_array"), id="end_array compare"),
    pytest.param(touchy_event(1, "map_key"), id="map_key compare"),
    pytest.param(touchy_key(1, "codes"), id="key compared with codes"),
    pytest.param(touchy_key(4, "chain"), id="key compared with chain"),
    pytest.param(touchy_event(7, "string"), id="scalar kind compare"),
])
def test_event_texts_whose_comparison_raises(monkeypatch, events):
    # A reader that takes the texts for what they are may read on; one that
    # compares them must pass the failure on.
    monkeypatch.setattr(pavro_cjson, "ijson", types.SimpleNamespace(parse=lambda f: iter(events)))
    with pytest.raises((Boom, TypeError)) as info:
        pavro_cjson.load_json_big(ChainModel(), None)
    if info.type is TypeError:
        assert str(info.value) == "a follower list must be an array, not a number"


class Picky(ijson.ObjectBuilder):
    """An object builder that fails on the value "boom", and whose value
    cannot be read once it is ["gone"]."""

    def event(self, event, value):
        if value == "boom":
            raise Boom("event")
        super().event(event, value)

    @property
    def value(self):
        if self._value == ["gone"]:
            raise Boom("value")
        return self._value

    @value.setter
    def value(self, value):
        self._value = value


class FailingModel(ChainModel):
    def clear(self):
        raise Boom("clear")

    def add_to_bag(self, start, follower, count=None):
        raise Boom("add_to_bag")


@pytest.mark.parametrize("events, merge", [
    # Streams that stop early: the chain table still open, or right after
    # a count (the pair is handed over when the stream ends).
    pytest.param(EVENTS[:6], False, id="ends in the chain table"),
    pytest.param(EVENTS[:6] + [("chain.item", "string", "a"), ("chain.item", "start_array", None),
                               ("chain.item.item", "start_array", None),
                               ("chain.item.item.item", "string", "b"),
                               ("chain.item.item", "end_array", None),
                               ("chain.item", "number", 1)], True, id="ends after a count"),
    pytest.param(EVENTS[:6] + EVENTS[-2:], False, id="empty chain table closes"),
])
def test_model_failing_where_the_stream_ends(monkeypatch, events, merge):
    monkeypatch.setattr(pavro_cjson, "ijson", types.SimpleNamespace(parse=lambda f: iter(events)))
    with pytest.raises(Boom):
        pavro_cjson.load_json_big(FailingModel(), None, merge)


@pytest.mark.parametrize("start", ["boom", "gone"])
def test_object_builder_failing_on_a_start_token(monkeypatch, start):
    monkeypatch.setattr(pavro_cjson, "ObjectBuilder", Picky)
    text = '{"codes":[],"chain":[["%s"],[["b"],1]]}' % start
    with pytest.raises(Boom):
        pavro_cjson.load_json_big(ChainModel(), io.BytesIO(text.encode()))
