"""Sentence chains: order-N models of word sequences that know where sentences begin and end.

A state is the tuple of the last N words; its bag holds the next word as
a one-word follower.  The boundary code ``None`` (JSON ``null``) stands
before every sentence and after it: ``(None,) * N`` is where every sentence
begins and the follower ``(None,)`` is where one ends.  No word is ``None``,
and a compressed document gives ``None`` a rank number like any other code
that is not a string, so the mark survives both writers and both readers.

The model also keeps what ``say`` needs to tell a drawn sentence from a
source sentence: the start code ``None`` alone, never a state since states
are tuples, holds one-code followers that are strings of sorted 8-character
digests of the source sentences (see ``SourceDigest``).  It travels inside
the document, so a copy, a ``convert`` or a merge keeps it, and every reader
loads it as an ordinary start code.
"""

from __future__ import annotations

import base64
import hashlib
import itertools
import operator
from typing import Dict, Hashable, Iterable, Iterator, List, Optional, Sequence, Set, Tuple

from _pavro_model import learn_sentences
from pavro import ChainModel
from pavro.bag import Chooser, Code, Follower

__all__ = ["MARK", "Learner", "add_transitions", "SourceDigest", "add_digest",
           "kind_of", "Kind", "walk", "sentence_key"]

# Sentence boundary, and the start code of the source digest.
MARK = None
# Digest records: 6 bytes of BLAKE2b in URL-safe base64, 8 characters with
# no padding.  A false match only makes `say` draw once more, and with 48
# bits even a million source sentences give one in 2**28 drawn sentences.
RECORD = 8
_DIGEST_BYTES = 6
# Records per follower string: strings of 64 KiB, which every parser takes.
RECORDS_PER_CODE = 8192



def add_transitions(model: ChainModel, sentences: Iterable[Sequence[str]], order: int,
                    words: Optional[Dict[str, Tuple[str]]] = None) -> int:
    """Add to `model` every (state, (next word,)) of `sentences`, in text order; return the words.

    One add_to_bag(state, (word,)) per word, weight 1, made in C: straight
    into the bags when add_to_bag is the model's own, else through the
    model's own add_to_bag.  `words`, the table of the words seen so far
    (each word to its follower), is kept from batch to batch by the
    caller: states and followers then share one string per distinct word
    and one tuple per follower, as the model keeps them.
    """
    return learn_sentences(model, sentences, order, {} if words is None else words)


def sentence_key(words: Sequence[object]) -> str:
    """The digest record of a sentence given as its words."""
    return _record(" ".join(str(word) for word in words))


def _record(text: str) -> str:
    digest = hashlib.blake2b(text.encode("utf-8", "surrogatepass"), digest_size=_DIGEST_BYTES)
    return base64.urlsafe_b64encode(digest.digest()).decode("ascii")


def records_of(sentences: Iterable[Sequence[str]]) -> Iterator[str]:
    """The records of sentences of words that are all str: sentence_key of each, fewer steps."""
    return map(_record, map(" ".join, sentences))


class SourceDigest:
    """The set of source sentences' records, asked by binary search.

    Kept as the sorted strings the document holds, never as a table keyed
    by document input: a record costs its 8 characters and nothing else.
    """

    def __init__(self, codes: Iterable[object] = ()) -> None:
        self._codes: List[str] = [code for code in codes
                                  if isinstance(code, str) and len(code) % RECORD == 0 and code]

    @classmethod
    def of_model(cls, model: ChainModel) -> SourceDigest:
        if MARK not in model:
            return cls()
        return cls(code for follower, _ in model.bag(MARK).choices() for code in follower)

    def __len__(self) -> int:
        return sum(len(code) // RECORD for code in self._codes)

    def __contains__(self, record: str) -> bool:
        for code in self._codes:
            low, high = 0, len(code) // RECORD
            while low < high:
                middle = (low + high) // 2
                found = code[middle * RECORD:(middle + 1) * RECORD]
                if found == record:
                    return True
                if found < record:
                    low = middle + 1
                else:
                    high = middle
        return False

    @staticmethod
    def codes_for(records: Iterable[str]) -> Iterator[str]:
        """The follower strings that hold `records`, sorted and without repeats."""
        ordered = sorted(set(records))
        for first in range(0, len(ordered), RECORDS_PER_CODE):
            yield "".join(ordered[first:first + RECORDS_PER_CODE])


def add_digest(model: ChainModel, records: Iterable[str]) -> None:
    """Store the source sentences' records in `model`, as the start code MARK."""
    for code in SourceDigest.codes_for(records):
        model.add_to_bag(MARK, (code,), 1)


class Kind:
    """What a document's start codes say it is.

    ``sentences``: every start but the digest is a tuple of `order` codes,
    and the beginning state is among them.  ``words``: every start is a
    single code (what the tool wrote before it learnt sentences); it is
    walked first-order.  ``other``: anything else, walked first-order too.
    """

    def __init__(self) -> None:
        self.lengths: Set[int] = set()
        self.singles = 0
        self.digest = False
        self.beginnings: Set[int] = set()

    def see(self, start: Hashable) -> None:
        if start is MARK:
            self.digest = True
        elif isinstance(start, tuple):
            self.lengths.add(len(start))
            if start and all(code is MARK for code in start):
                self.beginnings.add(len(start))
        else:
            self.singles += 1

    @property
    def order(self) -> Optional[int]:
        """N for a sentence chain of order N, else None."""
        if self.singles or len(self.lengths) != 1:
            return None
        (order,) = self.lengths
        return order if order in self.beginnings else None

    def describe(self) -> str:
        if self.order is not None:
            return "sentences, order {}".format(self.order)
        if self.singles and not self.lengths:
            return "words, first order (no sentence marks)"
        return "other (walked first-order)" if self.singles or self.lengths else "empty"


def kind_of(model: ChainModel) -> Kind:
    kind = Kind()
    starts = operator.itemgetter(0)
    types = set(map(type, map(starts, model.items())))
    if types <= {tuple, type(None)}:
        # What see() finds for every start, told by passes that run no
        # bytecode per start code: a model that train made has only these.
        kind.digest = type(None) in types
        tuples = itertools.compress(map(starts, model.items()),
                                    map(operator.is_not, map(starts, model.items()),
                                        itertools.repeat(MARK)))
        kind.lengths = set(map(len, tuples))
        kind.beginnings = {length for length in kind.lengths
                           if length and (MARK,) * length in model}
        return kind
    for start, _ in model.items():
        kind.see(start)
    return kind


def walk(model: ChainModel, order: int, rng: Chooser, max_words: int) -> Tuple[List[Code], bool]:
    """Draw one sentence from the beginning state: (its words, whether it reached an end).

    Stops with False once the sentence has more than `max_words` words or
    reaches a state the model has no bag for.
    """
    state: Tuple[Code, ...] = (MARK,) * order
    words: List[Code] = []
    while True:
        try:
            bag = model.bag(state)
        except KeyError:
            return words, False
        follower: Follower = bag.choose(rng)
        if not follower:
            return words, False
        for code in follower:
            if code is MARK:
                return words, True
            words.append(code)
        if len(words) > max_words:
            return words, False
        state = (state + tuple(follower))[-order:]


class Learner:
    """Learns sentences into a model, a batch at a time, and keeps their digest records."""

    # Sentences held at a time, for their digest records.
    BATCH = 5000

    def __init__(self, model: ChainModel, order: int) -> None:
        self.model = model
        self.order = order
        self.records: Set[str] = set()
        self.sentences = 0
        self.words = 0
        self._words: Dict[str, Tuple[str]] = {}

    def learn(self, sentences: Iterable[Sequence[str]]) -> None:
        batch: List[Sequence[str]] = []
        for sentence in sentences:
            batch.append(sentence)
            if len(batch) >= self.BATCH:
                self._learn_batch(batch)
                batch = []
        self._learn_batch(batch)

    def distinct_codes(self) -> int:
        """The distinct codes of the model, told without a walk over it.

        Holds only while the model holds nothing but this learner's pairs
        and the digest that ``add_digest`` stored from its records.  The
        start codes are then the states (tuples) and the digest's MARK; the
        other codes are the words (str), the end mark MARK and the digest's
        strings, which only a word could equal.
        """
        digest: Set[object] = set()
        if MARK in self.model:
            digest.update(code for follower, _ in self.model.bag(MARK).choices()
                          for code in follower)
        return len(self.model) + len(digest.union(self._words)) + (MARK not in self.model)

    def _learn_batch(self, batch: List[Sequence[str]]) -> None:
        self.words += add_transitions(self.model, batch, self.order, self._words)
        self.sentences += len(batch)
        self.records.update(records_of(batch))
