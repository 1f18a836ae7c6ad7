"""Recording stand-ins for the chain model, its bags and the file.

Every call lands in one shared log as a tuple, so a test can state the whole
expected sequence of calls.  Followers that arrive as one-pass iterables are
drawn when received (as a real model must) and logged as
``("gen", (codes...))`` so the log stays comparable.
"""

import collections.abc
import types


def snapshot(value):
    """What a follower looked like when it arrived, in a comparable form."""
    if isinstance(value, (list, tuple, dict, str)) or not isinstance(
        value, collections.abc.Iterator
    ):
        return value
    return ("gen", tuple(value))


class Log(list):
    """The ordered record of every call made on the recorders sharing it."""

    def names(self):
        return [entry[0] for entry in self]


class ListBag:
    """A bag that yields the choices it was given, nothing more."""

    def __init__(self, choices):
        self._choices = choices  # as given: a bag may be broken on purpose

    def choices(self):
        return iter(self._choices)


class RecordingBag:
    """A bag that yields given choices and logs what is done to it."""

    def __init__(self, log, name="bag", choices=(), unique_count=None):
        self.log = log
        self.name = name
        self._choices = list(choices)
        self.unique_count = len(self._choices) if unique_count is None else unique_count

    def choices(self):
        self.log.append(("choices", self.name))
        return iter(self._choices)

    def add(self, follower, count=None):
        self.log.append(("bag.add", self.name, snapshot(follower), count))


class BagFactory:
    """Stands in for ProbabilityBag: each call makes a numbered RecordingBag."""

    def __init__(self, log):
        self.log = log
        self.made = []

    def __call__(self):
        bag = RecordingBag(self.log, name="bag{}".format(len(self.made)))
        self.made.append(bag)
        self.log.append(("ProbabilityBag", bag.name))
        return bag


class RecordingChain:
    """A chain model that yields given entries and logs every call."""

    def __init__(self, entries=(), frequencies=None, log=None, length=None):
        self.log = Log() if log is None else log
        self._entries = list(entries)
        self._frequencies = frequencies if frequencies is not None else {}
        self._length = length

    def build_frequency_dict(self):
        self.log.append(("build_frequency_dict",))
        return self._frequencies

    def items(self):
        self.log.append(("items",))
        return iter(self._entries)

    def __len__(self):
        self.log.append(("len",))
        return len(self._entries) if self._length is None else self._length

    def clear(self):
        self.log.append(("clear",))

    def add_to_bag(self, start, follower, count=None):
        self.log.append(("add_to_bag", start, snapshot(follower), count))

    def set_bag(self, start, bag):
        self.log.append(("set_bag", start, getattr(bag, "name", bag)))


class RecordingFile:
    """A text sink that keeps every piece handed to write()."""

    def __init__(self):
        self.pieces = []

    def write(self, piece):
        self.pieces.append(piece)
        return len(piece)

    def getvalue(self):
        return "".join(self.pieces)


def is_generator_like(value):
    return isinstance(value, (types.GeneratorType, collections.abc.Generator))


class KeepingModel:
    """A model that keeps what it is handed, followers undrawn, as
    (start, follower, count) in `kept`; `behaviour`, if given, is called
    with each follower as it arrives."""

    def __init__(self, behaviour=None):
        self.behaviour = behaviour
        self.kept = []
        self.cleared = 0

    def clear(self):
        self.cleared += 1

    def add_to_bag(self, start, follower, count=None):
        self.kept.append((start, follower, count))
        if self.behaviour is not None:
            self.behaviour(follower)

    def followers(self):
        return [follower for _, follower, _ in self.kept]


class Raw(tuple):
    """An entry that the model yields as it stands, not as (start, bag)."""


class ListModel:
    """A model that yields given entries and a given frequency mapping.

    Unlike the real model it may hold empty bags, repeated starts and codes
    that occur only in the code table."""

    def __init__(self, entries, frequencies=None):
        self.entries = entries
        self.frequencies = frequencies if frequencies is not None else {}

    def build_frequency_dict(self):
        return dict(self.frequencies)

    def items(self):
        return iter([entry if isinstance(entry, Raw) else (entry[0], ListBag(entry[1]))
                     for entry in self.entries])
