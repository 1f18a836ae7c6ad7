"""Chain models: a table from start codes to bags of weighted followers.

A *code* is any hashable value (a word, a number, a tuple of either).  A
*follower* is a tuple of codes; a bag maps followers to weights.  The model
can be built from sequences of codes, sampled from, saved with
``pavro_cjson`` and compared for equality after a round trip.

JSON has no tuples and parses non-integral numbers its own way, so codes
and weights that come back from a document are normalised on the way in:
lists become tuples (recursively) and ``decimal.Decimal`` becomes ``float``.
"""

import random
from decimal import Decimal

__all__ = ["ProbabilityBag", "ChainModel", "normalise_code"]


def normalise_code(code):
    """Return `code` as the model stores it: lists as tuples, Decimals as floats."""
    if isinstance(code, (list, tuple)):
        return tuple(normalise_code(element) for element in code)
    if isinstance(code, Decimal):
        return float(code)
    return code


def _normalise_follower(follower):
    # A one-pass iterable must be drawn to its end here, before the caller
    # goes on: the streaming reader relies on it.
    return tuple(normalise_code(element) for element in follower)


def _normalise_weight(count):
    return float(count) if isinstance(count, Decimal) else count


class ProbabilityBag:
    """Weighted followers of one start code, in the order first added."""

    __slots__ = ("_weights",)

    def __init__(self, weights=None):
        self._weights = {}
        if weights is not None:
            for follower, count in dict(weights).items():
                self.add(follower, count=count)

    def add(self, follower, count=1):
        """Add `count` to the weight of `follower` (a tuple, list or iterable of codes)."""
        key = _normalise_follower(follower)
        count = _normalise_weight(count)
        if key in self._weights:
            self._weights[key] += count
        else:
            self._weights[key] = count

    def choices(self):
        """The (follower, weight) pairs, in insertion order.

        The bag is walked live, not copied, so that saving a large model
        costs no memory per pair: adding a follower while the pairs are
        being walked raises RuntimeError, as it does for a dict.
        """
        return iter(self._weights.items())

    @property
    def unique_count(self):
        """How many distinct followers the bag holds."""
        return len(self._weights)

    @property
    def total(self):
        """The sum of all weights."""
        return sum(self._weights.values())

    def weight(self, follower):
        """The weight of `follower`, 0 when absent."""
        return self._weights.get(_normalise_follower(follower), 0)

    def choose(self, rng=random):
        """Draw one follower at random, with probability proportional to its weight."""
        if not self._weights:
            raise IndexError("choose from an empty bag")
        followers = list(self._weights)
        return rng.choices(followers, weights=[self._weights[f] for f in followers])[0]

    def __len__(self):
        return len(self._weights)

    def __eq__(self, other):
        if not isinstance(other, ProbabilityBag):
            return NotImplemented
        return self._weights == other._weights

    __hash__ = None

    def __repr__(self):
        return "ProbabilityBag({!r})".format(self._weights)


class ChainModel:
    """A table from start codes to ProbabilityBags.

    ``ChainModel.from_sequences(sentences, length=2)`` learns, for every
    position of every sequence, which `length` codes follow the code there.
    """

    def __init__(self):
        self._bags = {}

    @classmethod
    def from_sequences(cls, sequences, length=2):
        """Build a model from sequences of codes (e.g. sentences as word lists)."""
        model = cls()
        for sequence in sequences:
            model.learn(sequence, length)
        return model

    def learn(self, sequence, length=2):
        """Count, for each code of `sequence`, the up-to-`length` codes after it."""
        if length < 1:
            raise ValueError("length must be at least 1")
        sequence = [normalise_code(code) for code in sequence]
        for position in range(len(sequence) - 1):
            follower = sequence[position + 1:position + 1 + length]
            self.add_to_bag(sequence[position], follower, count=1)

    # -- what pavro_cjson relies on ------------------------------------------

    def build_frequency_dict(self):
        """Occurrences of every code in the saved document: starts and follower elements."""
        frequencies = {}
        for start, bag in self._bags.items():
            frequencies[start] = frequencies.get(start, 0) + 1
            for follower in bag._weights:
                for code in follower:
                    frequencies[code] = frequencies.get(code, 0) + 1
        return frequencies

    def items(self):
        """The (start, bag) pairs, in insertion order.

        Walked live like ProbabilityBag.choices(): a start code added or
        removed while the pairs are being walked raises RuntimeError.
        """
        return iter(self._bags.items())

    def __len__(self):
        return len(self._bags)

    def clear(self):
        """Forget every start code."""
        self._bags.clear()

    def add_to_bag(self, start, follower, count=1):
        """Add `follower` with weight `count` to the bag of `start`, creating it if needed."""
        start = normalise_code(start)
        bag = self._bags.get(start)
        if bag is None:
            bag = self._bags[start] = ProbabilityBag()
        bag.add(follower, count=count)

    def set_bag(self, start, bag):
        """Make `bag` the bag of `start`."""
        self._bags[normalise_code(start)] = bag

    # -- what a user expects of a model ----------------------------------------

    def bag(self, start):
        """The bag of `start` (KeyError when absent)."""
        return self._bags[normalise_code(start)]

    def __contains__(self, start):
        return normalise_code(start) in self._bags

    def generate(self, start, max_codes=20, rng=random):
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

    def __eq__(self, other):
        if not isinstance(other, ChainModel):
            return NotImplemented
        return self._bags == other._bags

    __hash__ = None

    def __repr__(self):
        return "<ChainModel with {} start codes>".format(len(self._bags))
