"""The compiled chain model against its reference implementation.

pavro.bag's ChainModel and ProbabilityBag are C types; tests/reference/bag.py
holds the plain-Python classes they replaced.  Every test here runs the
same operations on both and requires the same outcome: the same state
(codes, followers and weights with their types, in order), the same
exceptions, the same repr, equality, pickles and copies, and the same
draws for every seed.
"""

import copy
import gc
import fractions
import pickle
import random
import sys
import tracemalloc
import types
import weakref
from unittest import mock

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import pavro.bag as native
from examples import examples
from reference import bag as reference


class NativeSub(native.ChainModel):
    """A subclass that goes through the Python-level add_to_bag."""

    def add_to_bag(self, start, follower, count=1):
        self.calls = getattr(self, "calls", 0) + 1
        super().add_to_bag(start, follower, count=count)


class ReferenceSub(reference.ChainModel):
    def add_to_bag(self, start, follower, count=1):
        self.calls = getattr(self, "calls", 0) + 1
        super().add_to_bag(start, follower, count=count)


class NativeBagSub(native.ProbabilityBag):
    __slots__ = ("label",)


class ReferenceBagSub(reference.ProbabilityBag):
    __slots__ = ("label",)


class Recording:
    """Logs what add() is handed: the model passes what the reference passes."""

    def add(self, follower, count=1):
        self.log.append((type(follower).__name__, canon(count)))
        super().add(follower, count=count)


class NativeRecordingBag(Recording, native.ProbabilityBag):
    pass


class ReferenceRecordingBag(Recording, reference.ProbabilityBag):
    pass


SIDES = {
    "native": (native.ChainModel, native.ProbabilityBag, NativeSub, NativeBagSub),
    "reference": (reference.ChainModel, reference.ProbabilityBag, ReferenceSub, ReferenceBagSub),
}
RECORDING = {"native": NativeRecordingBag, "reference": ReferenceRecordingBag}

scalars = st.one_of(
    st.text(max_size=2), st.integers(-3, 3), st.floats(allow_nan=False, width=16),
    st.booleans(), st.none(),
    st.decimals(allow_nan=False, allow_infinity=False, places=1, min_value=-9, max_value=9))
codes = st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=2),
                                                      st.tuples(inner, inner)), max_leaves=4)
counts = st.one_of(st.integers(-2, 5), st.integers(2 ** 62, 2 ** 64),
                   st.floats(-1, 8, width=16), st.just(float("inf")),
                   st.decimals(min_value=-1, max_value=5, places=1))
followers = st.lists(codes, max_size=3)
operations = st.lists(st.one_of(
    st.tuples(st.just("add"), codes, followers, counts),
    st.tuples(st.just("add_iterable"), codes, followers, counts),
    st.tuples(st.just("set_bag"), codes, st.lists(st.tuples(followers, counts), max_size=3)),
    st.tuples(st.just("learn"), st.lists(codes, max_size=5), st.integers(1, 3)),
    st.tuples(st.just("learn_into_own_bag"), codes, st.lists(codes, max_size=4)),
    st.tuples(st.just("unhashable"), codes, followers),
    st.tuples(st.just("grow_while_walked"), codes, followers),
    st.tuples(st.just("clear")),
), max_size=12)


def canon(value):
    """A value with its exact types visible: 1, 1.0 and True differ."""
    if isinstance(value, tuple):
        return ("tuple",) + tuple(canon(v) for v in value)
    return (type(value).__name__, repr(value))


def state_of(model):
    return [(canon(start), [(canon(f), canon(w)) for f, w in bag.choices()])
            for start, bag in model.items()]


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the outcome is the comparison
        return (type(error).__name__, str(error))


def apply(side, model, operation):
    _, bag_type, _, bag_sub = SIDES[side]
    kind = operation[0]
    if kind == "add":
        return outcome(lambda: model.add_to_bag(operation[1], operation[2], count=operation[3]))
    if kind == "add_iterable":
        # A one-pass iterable: drawn to its end before the call returns.
        source = iter(operation[2])
        result = outcome(lambda: model.add_to_bag(operation[1], source, count=operation[3]))
        return result, list(source)
    if kind == "set_bag":
        bag = bag_sub() if len(operation[2]) % 2 else bag_type()
        results = [outcome(lambda: bag.add(f, count=c)) for f, c in operation[2]]
        return results, outcome(lambda: model.set_bag(operation[1], bag))
    if kind == "learn":
        return outcome(lambda: model.learn(operation[1], operation[2]))
    if kind == "learn_into_own_bag":
        bag = RECORDING[side]()
        bag.log = []
        model.set_bag(operation[1], bag)
        return outcome(lambda: model.learn([operation[1]] + operation[2])), bag.log
    if kind == "unhashable":
        return (outcome(lambda: model.add_to_bag(operation[1], operation[2] + [{1}])),
                outcome(lambda: model.add_to_bag({2}, operation[2])))
    if kind == "grow_while_walked":
        def walk_models():
            walked = model.items()
            next(walked, None)
            model.add_to_bag(("new", len(model)), operation[2])
            return list(walked)

        def walk_bags():
            bag = next(model.items(), (None, None))[1]
            if not isinstance(bag, (native.ProbabilityBag, reference.ProbabilityBag)):
                return None
            walked = bag.choices()
            next(walked, None)
            bag.add(("new", bag.unique_count))
            return len(list(walked))
        return outcome(walk_models), outcome(walk_bags)
    return outcome(model.clear)


def observe(model, seed):
    """Everything a user can read from the model, draws included."""
    seen = [state_of(model), repr(model), len(model),
            outcome(lambda: canon(sorted(model.build_frequency_dict().items(), key=repr)))]
    for start, bag in model.items():
        seen += [repr(bag), bag.unique_count, len(bag), start in model,
                 outcome(lambda: canon(bag.total)), bag == copy.deepcopy(bag)]
        seen += [canon(bag.weight(list(f))) for f, _ in bag.choices()]
        rng = random.Random(seed)
        seen.append([outcome(lambda: canon(bag.choose(rng))) for _ in range(4)])
        random.seed(seed)
        seen.append(outcome(lambda: canon(bag.choose())))
        rng = random.Random(seed)
        seen.append(outcome(lambda: canon(list(model.generate(start, 7, rng)))))
    return seen


@settings(max_examples=examples(300), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(operations, st.booleans(), st.integers(0, 2 ** 32))
def test_native_model_behaves_as_the_reference(ops, subclassed, seed):
    models = {}
    results = {}
    for side, (model_type, _, model_sub, _) in SIDES.items():
        model = (model_sub if subclassed else model_type)()
        results[side] = [apply(side, model, op) for op in ops]
        models[side] = model
        results[side].append(observe(model, seed))
        results[side].append(getattr(model, "calls", None))
    assert results["native"] == results["reference"]

    model = models["native"]
    # Pickles and copies hold the same state, and no copy shares storage.
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(model, protocol))
        assert type(again) is type(model) and again == model
        assert state_of(again) == state_of(model)
    for copied in (copy.copy(model), copy.deepcopy(model)):
        assert copied == model and state_of(copied) == state_of(model)
        copied.add_to_bag("only in the copy", ("x",))
        assert "only in the copy" not in model


@settings(max_examples=examples(100), deadline=None)
@given(st.lists(st.one_of(st.integers(0, 4), st.integers(2 ** 50, 2 ** 53),
                          st.floats(0, 3, width=32), st.booleans()), min_size=1, max_size=40),
       st.integers(0, 2 ** 32))
def test_draws_follow_random_choices(weights, seed):
    # Any mix of weights, as random.choices adds and bisects them: a float
    # after ints, 53-bit ints near a float's precision, bools, zeros.
    bags = [side[1]() for side in SIDES.values()]
    for position, weight in enumerate(weights):
        for bag in bags:
            bag.add((position,), count=weight)
    draws = []
    for bag in bags:
        rng = random.Random(seed)
        draws.append([outcome(lambda: bag.choose(rng)) for _ in range(20)])
    assert draws[0] == draws[1]


@settings(max_examples=examples(200), deadline=None)
@given(st.lists(st.one_of(st.integers(-3, 3), st.integers(2 ** 62, 2 ** 64),
                          st.integers(-2 ** 64, -2 ** 62), st.floats(-2, 2), st.booleans()),
                max_size=12))
def test_totals_are_what_the_builtin_sum_gives(weights):
    # Exact ints within 64 bits are added in C; past them, or with any
    # other weight, or with the builtin sum rebound, sum itself adds.
    bags = [side[1]() for side in SIDES.values()]
    for position, weight in enumerate(weights):
        for bag in bags:
            bag.add((position,), count=weight)
    totals = [bag.total for bag in bags]
    assert [(type(total), total) for total in totals] == [(type(totals[1]), totals[1])] * 2
    with mock.patch("builtins.sum", lambda values: ("rebound", len(values))):
        assert [bag.total for bag in bags] == [("rebound", len(weights))] * 2


class Chooser:
    """Any other chooser is called as the reference calls it."""

    def __init__(self):
        self.calls = []

    def choices(self, population, weights):
        self.calls.append((list(population), list(weights)))
        return [population[-1]]


class Exact:
    """A draw that is no float: multiplied by the total it gives a Fraction."""

    def __init__(self, value):
        self.value = fractions.Fraction(value)

    def __mul__(self, total):
        return self.value * fractions.Fraction(total)


class ExactRandom(random.Random):
    """A Random whose random() returns no float: the draw compares objects."""

    def random(self):
        return Exact(super().random())


def test_other_choosers_are_called_as_by_the_reference():
    for side, (model_type, bag_type, _, _) in SIDES.items():
        bag = bag_type({("a",): 2, ("b",): 1.5})
        chooser = Chooser()
        assert bag.choose(chooser) == ("b",)
        assert chooser.calls == [([("a",), ("b",)], [2, 1.5])]
    results = []
    for side, (model_type, bag_type, _, _) in SIDES.items():
        bag = bag_type({("a",): 1, ("b",): 3, ("c",): 0})
        results.append([bag.choose(ExactRandom(seed)) for seed in range(5)])
    assert results[0] == results[1]


def test_pickles_of_the_python_model_load_into_the_compiled_one():
    # The pickled state has the reference's shape, so a pickle made before
    # the model was compiled loads: the reference pickled with the names
    # of pavro.bag, as it was.
    model = reference.ChainModel.from_sequences([["a", "b", "a", [1, 2]]])
    saved = {cls: (cls.__module__, cls.__qualname__)
             for cls in (reference.ChainModel, reference.ProbabilityBag)}
    try:
        for cls in saved:
            cls.__module__ = "tests_old_pavro_bag"
        old = types.ModuleType("tests_old_pavro_bag")
        old.ChainModel, old.ProbabilityBag = reference.ChainModel, reference.ProbabilityBag
        sys.modules["tests_old_pavro_bag"] = old
        data = pickle.dumps(model, pickle.HIGHEST_PROTOCOL)
        # ... and read back with today's classes in their place.
        old.ChainModel, old.ProbabilityBag = native.ChainModel, native.ProbabilityBag
        loaded = pickle.loads(data)
    finally:
        for cls, (module, _) in saved.items():
            cls.__module__ = module
        sys.modules.pop("tests_old_pavro_bag", None)
    assert type(loaded) is native.ChainModel
    assert state_of(loaded) == state_of(model)
    assert type(loaded.bag("a")) is native.ProbabilityBag


def test_storage_is_seen_by_tracemalloc():
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        model = native.ChainModel.from_sequences([[str(i), str(i + 1)] for i in range(2000)])
        assert tracemalloc.get_traced_memory()[0] - before > 2000 * 200
        rng = random.Random(1)
        bag = native.ProbabilityBag({(i,): 1 for i in range(50000)})
        held = tracemalloc.get_traced_memory()[0]
        bag.choose(rng)  # builds the bag's table of cumulative weights
        assert tracemalloc.get_traced_memory()[0] - held >= 50000 * 8
    finally:
        tracemalloc.stop()
    del model


def test_gc_collects_cycles_through_models_and_bags():
    model = native.ChainModel()
    bag = native.ProbabilityBag()
    bag.add(("x",), count=model)   # a weight may be any object
    model.set_bag("a", bag)
    model.me = model
    probe = weakref.ref(model)
    del model, bag
    gc.collect()
    assert probe() is None


def test_draws_from_many_bags_changed_in_turn():
    # Tables of many bags at once, dropped and rebuilt in any order: every
    # draw still matches the reference's.
    draws = []
    for side, (_, bag_type, _, _) in SIDES.items():
        rng = random.Random(5)
        bags = [bag_type({(i, j): j + 1 for j in range(i % 9 + 1)}) for i in range(600)]
        seen = []
        for round_ in range(4):
            seen += [bag.choose(rng) for bag in bags]
            for bag in bags[round_::3]:
                bag.add((round_, "more"), count=round_ + 0.5)
            del bags[round_::7]
        draws.append(seen)
    assert draws[0] == draws[1]
