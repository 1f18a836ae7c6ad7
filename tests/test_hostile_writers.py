"""Hostile models, bags, codes, frequency mappings, JSON libraries and
files against the two writers, and collaborators of every function failing
at each of the module's failure exits.

Whatever the objects handed to the module do, a call must end in a Python
exception or in a correct result, and never crash.  A correct result for a
writer is the logical document its honest twin (a well-behaved model with
the same contents) gets.  Where the exception is determined (a missing
method, a failed unpacking, an exception raised by the object itself), the
test says which.
"""

import builtins
import functools
import gc
import io
import types
import weakref

import pytest

import pavro_cjson
from pavro.bag import ChainModel, ProbabilityBag
from reference import bag as reference

from hostile_objects import (
    Bag, Boom, INVALID, MODES, Model, Opaque, SIMPLE, WRITERS,
    chain_model, document, exception_or_correct, frequencies_of, honest, parsed, pjson_names,
    raiser, write)

ujson = pytest.importorskip("ujson")

pytestmark = pytest.mark.usefixtures("collect_abandoned_parsers", "real_collaborators")


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
