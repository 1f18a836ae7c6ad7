"""Chain models: a table from start codes to bags of weighted followers.

A *code* is any hashable value (a word, a number, a tuple of either).  A
*follower* is a tuple of codes; a bag maps followers to weights.  The model
can be built from sequences of codes, sampled from, saved with
``pavro_cjson`` and compared for equality after a round trip.

JSON has no tuples and parses non-integral numbers its own way, so codes
and weights that come back from a document are normalised on the way in:
lists become tuples (recursively) and ``decimal.Decimal`` becomes ``float``.

``ChainModel`` and ``ProbabilityBag`` are compiled (the ``_pavro_model``
extension module): their methods are C functions, a bag keeps a table of
cumulative weights so that a draw costs O(log n), and draws with the
``random`` module or a ``random.Random`` give the followers that
``rng.choices(followers, weights=...)`` gives for the same seed.
"""

from __future__ import annotations

import sys
from typing import Hashable, List, Sequence, Tuple, TypeVar, Union

from _pavro_model import ChainModel, ProbabilityBag, normalise_code

if sys.version_info >= (3, 8):
    from typing import Protocol
else:  # typing has no Protocol before 3.8; the checker never sees this branch
    Protocol = object

__all__ = ["ProbabilityBag", "ChainModel", "normalise_code"]

# A code as the model stores it: hashable, lists already made tuples.
Code = Hashable
# A follower as the model stores it.
Follower = Tuple[Code, ...]
# A weight: an int or float as given (a Decimal is made a float).
Weight = Union[int, float]

_T = TypeVar("_T")


class Chooser(Protocol):
    """What choose() and generate() draw with: the random module, or a random.Random."""

    def choices(self, population: Sequence[_T], weights: Sequence[float]) -> List[_T]: ...
