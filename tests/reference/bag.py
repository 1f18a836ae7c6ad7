"""The reference implementation of pavro's chain model, in plain Python.

pavro.bag exports the compiled ChainModel and ProbabilityBag; these are
the classes they replaced, kept so that tests can hold the compiled ones
to them (tests/test_model.py) and can subclass a model whose storage is a
plain dict they may reach into.  What codes, followers and bags are, and
how codes and weights are normalised on the way in, is pavro.bag's to say.
"""

from __future__ import annotations

import random
from decimal import Decimal
from typing import Any, ClassVar, Dict, Iterable, Iterator, Mapping, Tuple, Type, TypeVar, Union

# The types a user sees are the package's own.
from pavro.bag import Chooser, Code, Follower, Weight

__all__ = ["ProbabilityBag", "ChainModel", "normalise_code"]

_Model = TypeVar("_Model", bound="ChainModel")


def normalise_code(code: object) -> Code:
    """Return `code` as the model stores it: lists as tuples, Decimals as floats."""
    if isinstance(code, (list, tuple)):
        return tuple(normalise_code(element) for element in code)
    if isinstance(code, Decimal):
        return float(code)
    return code


def _normalise_follower(follower: Iterable[object]) -> Follower:
    # A one-pass iterable must be drawn to its end here, before the caller
    # goes on: the streaming reader relies on it.
    return tuple(normalise_code(element) for element in follower)


def _normalise_weight(count: Union[Weight, Decimal]) -> Weight:
    return float(count) if isinstance(count, Decimal) else count


class ProbabilityBag:
    """Weighted followers of one start code, in the order first added."""

    __slots__ = ("_weights",)

    def __init__(
        self,
        # Mapping keys are invariant: a dict keyed by tuples of str is no
        # Mapping[Follower, ...], so its keys are taken as they come.
        weights: Union[Mapping[Any, Union[Weight, Decimal]],
                       Iterable[Tuple[Follower, Union[Weight, Decimal]]], None] = None,
    ) -> None:
        self._weights: Dict[Follower, Weight] = {}
        if weights is not None:
            for follower, count in dict(weights).items():
                self.add(follower, count=count)

    def add(self, follower: Iterable[object], count: Union[Weight, Decimal] = 1) -> None:
        """Add `count` to the weight of `follower` (a tuple, list or iterable of codes)."""
        key = _normalise_follower(follower)
        count = _normalise_weight(count)
        if key in self._weights:
            self._weights[key] += count
        else:
            self._weights[key] = count

    def choices(self) -> Iterator[Tuple[Follower, Weight]]:
        """The (follower, weight) pairs, in insertion order.

        The bag is walked live, not copied, so that saving a large model
        costs no memory per pair: adding a follower while the pairs are
        being walked raises RuntimeError, as it does for a dict.
        """
        return iter(self._weights.items())

    @property
    def unique_count(self) -> int:
        """How many distinct followers the bag holds."""
        return len(self._weights)

    @property
    def total(self) -> Weight:
        """The sum of all weights."""
        return sum(self._weights.values())

    def weight(self, follower: Iterable[object]) -> Weight:
        """The weight of `follower`, 0 when absent."""
        return self._weights.get(_normalise_follower(follower), 0)

    def choose(self, rng: Chooser = random) -> Follower:
        """Draw one follower at random, with probability proportional to its weight."""
        if not self._weights:
            raise IndexError("choose from an empty bag")
        followers = list(self._weights)
        return rng.choices(followers, weights=[self._weights[f] for f in followers])[0]

    def __len__(self) -> int:
        return len(self._weights)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ProbabilityBag):
            return NotImplemented
        return self._weights == other._weights

    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return "ProbabilityBag({!r})".format(self._weights)


class ChainModel:
    """A table from start codes to ProbabilityBags.

    ``ChainModel.from_sequences(sentences, length=2)`` learns, for every
    position of every sequence, which `length` codes follow the code there.
    """

    def __init__(self) -> None:
        self._bags: Dict[Code, ProbabilityBag] = {}

    @classmethod
    def from_sequences(cls: Type[_Model], sequences: Iterable[Iterable[object]],
                       length: int = 2) -> _Model:
        """Build a model from sequences of codes (e.g. sentences as word lists)."""
        model = cls()
        for sequence in sequences:
            model.learn(sequence, length)
        return model

    def learn(self, sequence: Iterable[object], length: int = 2) -> None:
        """Count, for each code of `sequence`, the up-to-`length` codes after it."""
        if length < 1:
            raise ValueError("length must be at least 1")
        codes = [normalise_code(code) for code in sequence]
        for position in range(len(codes) - 1):
            follower = codes[position + 1:position + 1 + length]
            self.add_to_bag(codes[position], follower, count=1)

    # -- what pavro_cjson relies on ------------------------------------------

    def build_frequency_dict(self) -> Dict[Code, int]:
        """Occurrences of every code in the saved document: starts and follower elements."""
        frequencies: Dict[Code, int] = {}
        for start, bag in self._bags.items():
            frequencies[start] = frequencies.get(start, 0) + 1
            for follower in bag._weights:
                for code in follower:
                    frequencies[code] = frequencies.get(code, 0) + 1
        return frequencies

    def items(self) -> Iterator[Tuple[Code, ProbabilityBag]]:
        """The (start, bag) pairs, in insertion order.

        Walked live like ProbabilityBag.choices(): a start code added or
        removed while the pairs are being walked raises RuntimeError.
        """
        return iter(self._bags.items())

    def __len__(self) -> int:
        return len(self._bags)

    def clear(self) -> None:
        """Forget every start code."""
        self._bags.clear()

    def add_to_bag(self, start: object, follower: Iterable[object],
                   count: Union[Weight, Decimal] = 1) -> None:
        """Add `follower` with weight `count` to the bag of `start`, creating it if needed."""
        code = normalise_code(start)
        bag = self._bags.get(code)
        if bag is None:
            bag = self._bags[code] = ProbabilityBag()
        bag.add(follower, count=count)

    def set_bag(self, start: object, bag: ProbabilityBag) -> None:
        """Make `bag` the bag of `start`."""
        self._bags[normalise_code(start)] = bag

    # -- what a user expects of a model ----------------------------------------

    def bag(self, start: object) -> ProbabilityBag:
        """The bag of `start` (KeyError when absent)."""
        return self._bags[normalise_code(start)]

    def __contains__(self, start: object) -> bool:
        return normalise_code(start) in self._bags

    def generate(self, start: object, max_codes: int = 20,
                 rng: Chooser = random) -> Iterator[Code]:
        """Walk the chain from `start`, yielding up to `max_codes` codes."""
        current = normalise_code(start)
        produced = 0
        while produced < max_codes:
            yield current
            produced += 1
            bag = self._bags.get(current)
            if not bag:
                return
            follower = bag.choose(rng)
            for code in follower[:-1]:
                if produced >= max_codes:
                    return
                yield code
                produced += 1
            current = follower[-1] if follower else current
            if not follower:
                return

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ChainModel):
            return NotImplemented
        return self._bags == other._bags

    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return "<ChainModel with {} start codes>".format(len(self._bags))
