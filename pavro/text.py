"""Text in and out of chain models: sentences as word lists, and back.

The demo and the command-line tool learn from text the same way and draw
sentences the same way; both come from here.
"""

from __future__ import annotations

import re
from typing import Iterable, Iterator, List

from pavro.bag import ChainModel, Chooser

__all__ = ["BUILTIN_TEXT", "sentences_of", "sentences_from", "draw_sentence"]

BUILTIN_TEXT = """\
The ferry left the harbour at seven, as it did every morning, and the gulls
followed it out past the breakwater. Most of the passengers stood at the rail
with their coffee and watched the town grow small behind them. A boy asked his
mother why the water looked green near the shore and grey further out. She told
him that the sea keeps its colours in layers, like a cake that nobody has cut.

On the far side of the bay there is a village with one road, one shop and a
bakery that opens before dawn. The baker has a rule that the first loaf of the
day goes to whoever is waiting at the door. Some mornings it is a fisherman,
some mornings it is a child on the way to school, and once it was a dog that
had learned the rule better than anyone. The shop sells everything a village
needs and a few things that nobody has ever needed.

In the evening the ferry comes back with the same gulls and different
passengers. The lights of the town come on one street at a time, starting with
the harbour and climbing the hill. From the deck you can watch the whole town
wake up for the night. The boy from the morning was asleep on a bench, and his
mother was reading a book about the sea. When the ferry reached the harbour the
gulls flew off to wherever gulls go at night, and the town was quiet again.
"""

_SENTENCE_ENDS = ".!?"
_SENTENCE_END = re.compile("[" + re.escape(_SENTENCE_ENDS) + "]+")
_WORD = re.compile(r"[^\W_]+(?:['\u2019-][^\W_]+)*")

# ASCII text is split without matching a word pattern at every word.  In
# ASCII, a word character is [a-z0-9] once the text is lower-cased (which
# keeps every character's class there), and an apostrophe or hyphen joins
# two runs of them only with a word character on either side: the others
# become spaces, and so does every character that is neither a word
# character nor a joiner, while "!" and "?" become ".".  What is left is
# sentences cut at ".", each made of words cut at spaces.
_LONE_JOINER = re.compile(r"['-](?:(?![a-z0-9])|(?<![a-z0-9]['-]))")
_KEPT = "abcdefghijklmnopqrstuvwxyz0123456789'-."
_ASCII_TABLE = str.maketrans({code: "." if chr(code) in _SENTENCE_ENDS else " "
                              for code in range(128) if chr(code) not in _KEPT})
# Non-ASCII text is looked at in blocks of about this many characters, cut
# after a sentence end, so that its ASCII blocks still take that way.
_BLOCK = 1 << 12


def _ascii_sentences(text: str) -> List[List[str]]:
    lowered = _LONE_JOINER.sub(" ", text.lower()).translate(_ASCII_TABLE)
    return list(filter(None, map(str.split, lowered.split("."))))


def _any_sentences(text: str) -> List[List[str]]:
    result: List[List[str]] = []
    for chunk in _SENTENCE_END.split(text):
        words = list(map(str.lower, _WORD.findall(chunk)))
        if words:
            result.append(words)
    return result


def sentences_of(text: str) -> List[List[str]]:
    """Split `text` into sentences, each a list of lower-case words."""
    if text.isascii():
        return _ascii_sentences(text)
    result: List[List[str]] = []
    start = 0
    while start < len(text):
        # A cut just after a sentence end splits neither a word nor a sentence.
        end = max(text.rfind(mark, start, start + _BLOCK) for mark in _SENTENCE_ENDS) + 1
        if end <= start:
            # No sentence ends in the block: it runs to the first that does.
            ends = [at for at in (text.find(mark, start + _BLOCK) for mark in _SENTENCE_ENDS)
                    if at >= 0]
            end = min(ends) + 1 if ends else len(text)
        if start + _BLOCK >= len(text):
            end = len(text)
        block = text[start:end]
        result += _ascii_sentences(block) if block.isascii() else _any_sentences(block)
        start = end
    return result


def sentences_from(chunks: Iterable[str]) -> Iterator[List[str]]:
    """Yield the sentences of the text that the strings `chunks` make together.

    Gives what ``sentences_of`` gives for the joined text, while holding no
    more than one chunk and one unfinished sentence: a cut just after a
    sentence-ending character can split neither a word nor a sentence.
    """
    rest = ""
    for chunk in chunks:
        # `rest` holds no sentence end, so only the new chunk is searched.
        end = max(chunk.rfind(mark) for mark in _SENTENCE_ENDS)
        if end < 0:
            rest += chunk
            continue
        for sentence in sentences_of(rest + chunk[:end + 1]):
            yield sentence
        rest = chunk[end + 1:]
    for sentence in sentences_of(rest):
        yield sentence


def draw_sentence(model: ChainModel, start: object, rng: Chooser, max_words: int = 25) -> str:
    """A sentence walked through `model` from `start`, capitalised and ended with a full stop."""
    text = " ".join(str(code) for code in model.generate(start, max_codes=max_words, rng=rng))
    return text[:1].upper() + text[1:] + "."
