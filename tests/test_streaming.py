"""The streaming pair: dump_json_big writes piece by piece, load_json_big
reads parser events and hands each pair to the model as soon as its count
is read."""

import decimal
import enum
import gc
import io
import json as std_json
import traceback
import types

import ijson
import pytest
from hypothesis import given, settings, strategies as st

import pavro_cjson
from pavro.bag import ChainModel

from examples import examples
from fakes import ListModel, Log, Raw, RecordingBag, RecordingChain, RecordingFile
from models import list_models


# ---------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------

EXAMPLE_COMPRESSED = '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2]]}'
EXAMPLE_PLAIN = '{"codes":[],"chain":["a",[["a","b"],2]]}'


def pjson_frames(exc):
    """The module's own traceback entries, outermost first."""
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.filename == "pjson"]


def example_chain(log=None):
    """The model of the worked example: a: 5, b: 3; a -> (a, b) x 2."""
    log = Log() if log is None else log
    bag = RecordingBag(log, choices=[(("a", "b"), 2)])
    return RecordingChain([("a", bag)], frequencies={"a": 5, "b": 3}, log=log)


def expected_piece_count(model, compressed):
    """Head, middle and tail, one per code-table pair, two per entry and per choice."""
    count = 3 + (len(model.frequencies) if compressed else 0)
    for _, choices in model.entries:
        count += 2 + 2 * len(choices)
    return count


def dump_big(model, compress=True):
    f = RecordingFile()
    pavro_cjson.dump_json_big(model, f, compress)
    return f


def load_big(chain, text, merge=False):
    pavro_cjson.load_json_big(chain, io.BytesIO(text.encode("utf-8")), merge)


@pytest.fixture(params=[False, True], ids=["replace", "merge"])
def merge(request):
    return request.param


class FakeParserModule:
    """Stands in for the parser module: parse() yields the given events."""

    def __init__(self, events, log=None):
        self.events = list(events)
        self.log = log
        self.files = []

    def parse(self, file):
        self.files.append(file)
        if self.log is not None:
            self.log.append(("parse",))
        return iter(self.events)


def recording_builder_class(log):
    """An ObjectBuilder that logs every event fed to it."""

    class RecordingBuilder(ijson.ObjectBuilder):
        def event(self, event, value):
            log.append(("builder", event, value))
            super().event(event, value)

    return RecordingBuilder


# ---------------------------------------------------------------------------
# dump_json_big: text
# ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "compress, expected",
    [
        (True, {"ujson": EXAMPLE_COMPRESSED, "json": EXAMPLE_COMPRESSED}),
        (False, {"ujson": EXAMPLE_PLAIN, "json": '{"codes":[],"chain":["a",[["a", "b"],2]]}'}),
    ],
    ids=["compressed", "plain"],
)
def test_worked_example(json_lib, compress, expected):
    log = Log()
    chain = example_chain(log)
    f = RecordingFile()
    pavro_cjson.dump_json_big(chain, f, frequency_compress=compress)
    assert f.getvalue() == expected[json_lib.__name__]
    # One write per piece: head, middle, tail, one per code pair, two per
    # entry, two per choice.
    assert len(f.pieces) == 3 + (2 if compress else 0) + 2 + 2
    assert all(type(piece) is str and piece for piece in f.pieces)
    expected_calls = [("items",), ("choices", "bag")]
    if compress:
        expected_calls.insert(0, ("build_frequency_dict",))
    assert log == expected_calls


def test_default_is_compressed():
    f = RecordingFile()
    pavro_cjson.dump_json_big(example_chain(), f)
    assert f.getvalue() == EXAMPLE_COMPRESSED


@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
def test_empty_model_and_empty_bag(json_lib, compress):
    assert dump_big(ListModel([]), compress).getvalue() == '{"codes":[],"chain":[]}'
    model = ListModel([("s", []), ("t", [((), 1)])], {"s": 2, "t": 1})
    text = dump_big(model, compress).getvalue()
    expected = ('{"codes":[0,"s",1,"t"],"chain":[0,[],1,[[],1]]}' if compress
                else '{"codes":[],"chain":["s",[],"t",[[],1]]}')
    assert text == expected


@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
def test_library_blanks_only_inside_its_own_pieces(json_lib, compress):
    model = ListModel([("s", [((("t", 1), None), 1)])], {"s": 2, ("t", 1): 1, None: 1})
    blank = " " if json_lib.__name__ == "json" else ""
    expected = (
        '{"codes":[0,"s",1,["t",%s1],2,null],"chain":[0,[[1,2],1]]}' if compress
        else '{"codes":[],"chain":["s",[[["t",%s1],%snull],1]]}'
    )
    assert dump_big(model, compress).getvalue() == expected.replace("%s", blank)


def test_rank_boundaries():
    # "" may stand for itself from rank 10, a one-letter string from rank
    # 100; numbers and null always keep their rank number.
    fillers = ["w{}".format(i) for i in range(100)]
    frequencies = dict.fromkeys(fillers, 5)
    frequencies.update({"": 4, 42: 4, None: 4, "x": 4, "yy": 4})
    model = ListModel([("x", [(("", 42, None, "x", "yy"), 1)])], frequencies)
    parsed = std_json.loads(dump_big(model).getvalue())
    table = dict(zip(parsed["codes"][1::2], parsed["codes"][0::2]))
    assert table[""] == ""
    assert table[42] == 101
    assert table[None] == 102
    assert table["x"] == "x"
    assert table["yy"] == 104
    assert parsed["chain"] == ["x", [["", 101, 102, "x", 104], 1]]


@settings(derandomize=True, deadline=None, max_examples=examples(60))
@given(model=list_models(), compress=st.booleans())
def test_text_equals_whole_writer_with_ujson(model, compress):
    ujson = pytest.importorskip("ujson")
    saved = pavro_cjson.json
    pavro_cjson.json = ujson
    try:
        small = io.StringIO()
        pavro_cjson.dump_json_small(model, small, compress)
        f = dump_big(model, compress)
    finally:
        pavro_cjson.json = saved
    assert f.getvalue() == small.getvalue()
    assert len(f.pieces) == expected_piece_count(model, compress)


def test_write_looked_up_for_every_piece():
    class SwappingFile:
        """Each write installs a fresh write, numbered, for the next piece."""

        def __init__(self):
            self.pieces = []
            self.write = self._writer(0)

        def _writer(self, number):
            def write(piece):
                self.pieces.append((number, piece))
                self.write = self._writer(number + 1)
            return write

    f = SwappingFile()
    pavro_cjson.dump_json_big(example_chain(), f)
    assert [number for number, _ in f.pieces] == list(range(len(f.pieces)))
    assert "".join(piece for _, piece in f.pieces) == EXAMPLE_COMPRESSED


# ---------------------------------------------------------------------------
# dump_json_big: separators never depend on what the model claims
# ---------------------------------------------------------------------------

def lying_chain(log, length, unique_counts):
    entries = [
        ("a", RecordingBag(log, "bag0", [(("a", "b"), 2), (("b",), 1)], unique_count=unique_counts[0])),
        ("b", RecordingBag(log, "bag1", [], unique_count=unique_counts[1])),
        ("a", RecordingBag(log, "bag2", [(("b", "a"), 7)], unique_count=unique_counts[2])),
    ]
    return RecordingChain(entries, frequencies={"a": 5, "b": 3}, log=log, length=length)


@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
@pytest.mark.parametrize(
    "length, unique_counts",
    [(0, (0, 0, 0)), (1, (1, 5, 0)), (7, (9, 1, 3)), (-1, (-1, -1, -1))],
)
def test_lying_sizes_change_nothing(compress, length, unique_counts):
    honest_log = Log()
    honest = dump_big(lying_chain(honest_log, None, (2, 0, 1)), compress).getvalue()
    log = Log()
    text = dump_big(lying_chain(log, length, unique_counts), compress).getvalue()
    assert text == honest
    expected = (
        [0, [[0, 1], 2, [1], 1], 1, [], 0, [[1, 0], 7]] if compress
        else ["a", [["a", "b"], 2, ["b"], 1], "b", [], "a", [["b", "a"], 7]]
    )
    assert std_json.loads(text)["chain"] == expected
    assert ("len",) not in log


def test_unique_count_and_len_never_read():
    class Bag:
        @property
        def unique_count(self):
            raise AssertionError("unique_count read")

        def choices(self):
            return iter([(("a",), 1)])

    class Chain:
        def __len__(self):
            raise AssertionError("len() taken")

        def build_frequency_dict(self):
            return {"a": 1}

        def items(self):
            return iter([("a", Bag()), ("a", Bag())])

    f = RecordingFile()
    pavro_cjson.dump_json_big(Chain(), f)
    assert f.getvalue() == '{"codes":[0,"a"],"chain":[0,[[0],1],0,[[0],1]]}'


# ---------------------------------------------------------------------------
# dump_json_big: every count is valid JSON
# ---------------------------------------------------------------------------

class LoudInt(int):
    """An int whose own str() and repr() are not its digits."""

    def __str__(self):
        return "loud"

    __repr__ = __str__


class Weight(enum.IntEnum):
    HEAVY = 3


@pytest.mark.parametrize(
    "count, digits",
    [
        (2, "2"),
        (-3, "-3"),
        (0, "0"),
        (LoudInt(7), "7"),
        (Weight.HEAVY, "3"),
        (2 ** 64, "18446744073709551616"),
        (10 ** 30, "1" + "0" * 30),
        (True, None),
        (False, None),
        (None, None),
        (2.5, None),
        ("x", None),
        ('say "hi"', None),
    ],
    ids=repr,
)
def test_count_text(json_lib, count, digits):
    # An int (not a bool) is written as its digits; anything else as the
    # library writes it.
    expected = digits if digits is not None else json_lib.dumps(count)
    model = ListModel([("a", [(("a",), count)])])
    text = dump_big(model, False).getvalue()
    assert text == '{"codes":[],"chain":["a",[["a"],%s]]}' % expected
    parsed = std_json.loads(text)["chain"][1][1]
    assert parsed == (int(count) if digits is not None else count)
    assert type(parsed) is not bool or type(count) is bool


@pytest.mark.parametrize("count", [True, None, 2.5, "x", LoudInt(7), 2 ** 64], ids=repr)
def test_count_text_matches_whole_writer(count):
    ujson = pytest.importorskip("ujson")
    saved = pavro_cjson.json
    pavro_cjson.json = ujson
    try:
        model = ListModel([("a", [(("a",), count), ((), count)])], {"a": 1})
        for compress in (True, False):
            small = io.StringIO()
            pavro_cjson.dump_json_small(model, small, compress)
            assert dump_big(model, compress).getvalue() == small.getvalue()
    finally:
        pavro_cjson.json = saved


# ---------------------------------------------------------------------------
# dump_json_big: mode by truth value
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("flag", [0, "", None, False, [], 0.0], ids=repr)
def test_false_flag_writes_plain_without_frequencies(flag):
    log = Log()
    f = RecordingFile()
    pavro_cjson.dump_json_big(example_chain(log), f, flag)
    assert f.getvalue() == EXAMPLE_PLAIN
    assert ("build_frequency_dict",) not in log


# Named by hand: an object's repr holds its address, which differs between
# the processes of pytest -n, and they must collect the same ids.
@pytest.mark.parametrize("flag", ["no", 2, -1, [0], object()],
                         ids=["'no'", "2", "-1", "[0]", "object()"])
def test_true_flag_writes_compressed(flag):
    f = RecordingFile()
    pavro_cjson.dump_json_big(example_chain(), f, flag)
    assert f.getvalue() == EXAMPLE_COMPRESSED


def test_failing_truth_test_leaves_head_piece():
    class Undecided:
        def __bool__(self):
            raise RuntimeError("undecided")

    log = Log()
    f = RecordingFile()
    with pytest.raises(RuntimeError, match="undecided") as info:
        pavro_cjson.dump_json_big(example_chain(log), f, Undecided())
    assert f.getvalue() == '{"codes":['
    assert log == []
    assert pjson_frames(info.value) == ["pavro_cjson.dump_json_big"]


# ---------------------------------------------------------------------------
# dump_json_big: what a failure leaves behind
# ---------------------------------------------------------------------------

class NotSerialisable:
    pass


class BadFrequencies:
    """A frequency mapping whose single item cannot be ranked."""

    def __init__(self, item):
        self.item = item

    def items(self):
        return [self.item]


class ChainWithFrequencies(ListModel):
    def __init__(self, entries, mapping):
        super().__init__(entries)
        self.mapping = mapping

    def build_frequency_dict(self):
        return self.mapping


BODY = "pavro_cjson.dump_json_big"
WRITE_START = "pavro_cjson.dump_json_big.write_start"
WRITE_NEXT_START = "pavro_cjson.dump_json_big.write_next_start"

FREQ = {"a": 2}

WRITER_FAILURES = [
    pytest.param(
        ListModel([("z", [(("a",), 1)])], FREQ), True,
        KeyError, ("z",), [BODY, WRITE_START],
        '{"codes":[0,"a"],"chain":[',
        id="first-start-missing"),
    pytest.param(
        ListModel([("a", [(("a",), 1)]), ("z", [])], FREQ), True,
        KeyError, ("z",), [BODY, WRITE_START],
        '{"codes":[0,"a"],"chain":[0,[[0],1]',
        id="later-start-missing"),
    pytest.param(
        ListModel([("a", [(("a", "q"), 1)])], FREQ), True,
        KeyError, ("q",), [BODY, WRITE_NEXT_START, "genexpr"],
        '{"codes":[0,"a"],"chain":[0,[',
        id="first-element-missing"),
    pytest.param(
        ListModel([("a", [(("a",), 1), (("a", ("t", 1)), 1)])], FREQ), True,
        KeyError, (("t", 1),), [BODY, WRITE_NEXT_START, "genexpr"],
        '{"codes":[0,"a"],"chain":[0,[[0],1',
        id="later-tuple-element-missing"),
    pytest.param(
        ListModel([("a", [(5, 1)])], FREQ), True,
        TypeError, None, [BODY, WRITE_NEXT_START, "genexpr"],
        '{"codes":[0,"a"],"chain":[0,[',
        id="follower-not-iterable"),
    pytest.param(
        ChainWithFrequencies([], BadFrequencies(("a", "many"))), True,
        TypeError, None, [BODY, "pavro_cjson.dump_json_big.lambda4"],
        '{"codes":[',
        id="occurrences-not-negatable"),
    pytest.param(
        ChainWithFrequencies([], BadFrequencies(("a",))), True,
        IndexError, None, [BODY, "pavro_cjson.dump_json_big.lambda4"],
        '{"codes":[',
        id="frequency-item-too-short"),
    pytest.param(
        ChainWithFrequencies([], {NotSerialisable(): 1}), True,
        TypeError, None, [BODY],
        '{"codes":[',
        id="code-not-serialisable"),
    pytest.param(
        ListModel([(NotSerialisable(), [])]), False,
        TypeError, None, [BODY, WRITE_START],
        '{"codes":[],"chain":[',
        id="plain-start-not-serialisable"),
    pytest.param(
        ListModel([("a", [(("a",), 1), ((NotSerialisable(),), 1)])]), False,
        TypeError, None, [BODY, WRITE_NEXT_START],
        '{"codes":[],"chain":["a",[["a"],1',
        id="plain-follower-not-serialisable"),
    pytest.param(
        ListModel([("a", [(("a",), 1, 2)])], FREQ), True,
        ValueError, ("too many values to unpack (expected 2)",), [BODY],
        '{"codes":[0,"a"],"chain":[0,[',
        id="choice-of-three"),
    pytest.param(
        ListModel([("a", [(("a",), 1)]), Raw(("a",))], FREQ), True,
        ValueError, ("need more than 1 value to unpack",), [BODY],
        '{"codes":[0,"a"],"chain":[0,[[0],1]',
        id="entry-of-one"),
]


@pytest.mark.parametrize("model, compress, exc_type, args, frames, written", WRITER_FAILURES)
def test_failure_leaves_pieces_written(model, compress, exc_type, args, frames, written):
    f = RecordingFile()
    with pytest.raises(exc_type) as info:
        pavro_cjson.dump_json_big(model, f, compress)
    if args is not None:
        assert info.value.args == args
    assert pjson_frames(info.value) == frames
    assert f.getvalue() == written


def test_file_without_write():
    with pytest.raises(AttributeError) as info:
        pavro_cjson.dump_json_big(example_chain(), object())
    assert pjson_frames(info.value) == [BODY]


def test_failing_write_stops_at_once():
    class FullFile(RecordingFile):
        def write(self, piece):
            if len(self.pieces) == 4:
                raise OSError("disk full")
            return super().write(piece)

    log = Log()
    f = FullFile()
    with pytest.raises(OSError, match="disk full") as info:
        pavro_cjson.dump_json_big(example_chain(log), f)
    assert len(f.pieces) == 4
    assert pjson_frames(info.value)[0] == BODY
    assert log == [("build_frequency_dict",), ("items",)]


# ---------------------------------------------------------------------------
# load_json_big: documents as exact call sequences
# ---------------------------------------------------------------------------

def gen(*codes):
    return ("gen", codes)


# (document, calls in merge mode).  Every document here opens a chain
# table, so replace mode makes the same calls after one clear.
READER_CASES = [
    pytest.param(EXAMPLE_COMPRESSED, [("add_to_bag", "a", gen("a", "b"), 2)],
                 id="compressed-example"),
    pytest.param(EXAMPLE_PLAIN, [("add_to_bag", "a", ["a", "b"], 2)], id="plain-example"),
    pytest.param('{"codes":[],"chain":[]}', [], id="empty"),
    # Keys sorted by a tool: a plain document loads as it is.
    pytest.param('{"chain":["a",[["b"],1]],"codes":[]}',
                 [("add_to_bag", "a", ["b"], 1)], id="plain-chain-before-codes"),
    pytest.param('{"v":[1,[2,{"chain":[3]}]],"codes":[],"x":{"chain":["q",[["r"],9]]},'
                 '"chain":["a",[["b"],1]],"z":[["c"],4],"w":null}',
                 [("add_to_bag", "a", ["b"], 1)], id="extra-members"),
    pytest.param('{"codes":[0,"a",1,"b"],"chain":[0,[],1,[[1],3]]}',
                 [("add_to_bag", "b", gen("b"), 3)], id="empty-follower-list"),
    pytest.param('{"codes":[],"chain":["a",[["b"],1,["c"]]]}',
                 [("add_to_bag", "a", ["b"], 1)], id="last-follower-without-count"),
    pytest.param('{"codes":[],"chain":["a",[[],1]]}', [("add_to_bag", "a", [], 1)],
                 id="empty-follower-plain"),
    pytest.param('{"codes":[0,"a",1,"b"],"chain":[0,[[],1]]}', [("add_to_bag", "a", gen(), 1)],
                 id="empty-follower-compressed"),
    pytest.param('{"codes":[],"chain":["a",[{"k":[1,2],"m":null},1]]}',
                 [("add_to_bag", "a", {"k": [1, 2], "m": None}, 1)], id="object-follower-plain"),
    pytest.param('{"codes":["x","a","y","b"],"chain":["x",[{"y":1,"x":2},5]]}',
                 [("add_to_bag", "a", gen("b", "a"), 5)], id="object-follower-compressed"),
    pytest.param('{"codes":[],"chain":["a",[[["x",1],"y"],3,[[["deep",[]]],{"k":[1]}],4]]}',
                 [("add_to_bag", "a", [["x", 1], "y"], 3),
                  ("add_to_bag", "a", [[["deep", []]], {"k": [1]}], 4)],
                 id="nested-arrays-plain"),
    pytest.param('{"codes":[0,["x",1],1,"y"],"chain":[1,[[0,1,0],2]]}',
                 [("add_to_bag", "y", gen(["x", 1], "y", ["x", 1]), 2)],
                 id="tuple-code-compressed"),
    pytest.param('{"codes":[],"chain":["a",[["b"],1],null,[["c"],2],true,[["d"],3],'
                 'false,[["e"],4],7,[["f"],5]]}',
                 [("add_to_bag", "a", ["b"], 1), ("add_to_bag", None, ["c"], 2),
                  ("add_to_bag", True, ["d"], 3), ("add_to_bag", False, ["e"], 4),
                  ("add_to_bag", 7, ["f"], 5)],
                 id="scalar-starts"),
    pytest.param('{"codes":[],"chain":[["t",[1]],[["b"],1],[],[[],2],{"k":[null]},[["c"],3]]}',
                 [("add_to_bag", ["t", [1]], ["b"], 1), ("add_to_bag", [], [], 2),
                  ("add_to_bag", {"k": [None]}, ["c"], 3)],
                 id="array-and-object-starts"),
    pytest.param('{"codes":[0,"a",0,"b"],"chain":[0,[[0],1]]}',
                 [("add_to_bag", "b", gen("b"), 1)], id="later-token-wins"),
    pytest.param('{"codes":[0],"chain":[0,[[0],1]]}',
                 [("add_to_bag", 0, [0], 1)], id="one-element-code-table-is-plain"),
    pytest.param('{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2.5,[1],"s",[0],null,[1],true]]}',
                 [("add_to_bag", "a", gen("a", "b"), decimal.Decimal("2.5")),
                  ("add_to_bag", "a", gen("b"), "s"),
                  ("add_to_bag", "a", gen("a"), None),
                  ("add_to_bag", "a", gen("b"), True)],
                 id="counts-as-parsed"),
    pytest.param('{"codes":[0,"a"],"chain":[0,[[0],1]],"codes":[0,"b"],"chain":[0,[[0],2]]}',
                 [("add_to_bag", "a", gen("a"), 1), ("add_to_bag", "b", gen("b"), 2)],
                 id="second-codes-and-chain"),
    pytest.param('{"codes":[0,"a"],"chain":[0,[[0],1],0,[[0,0],2],0,[]]}',
                 [("add_to_bag", "a", gen("a"), 1), ("add_to_bag", "a", gen("a", "a"), 2)],
                 id="start-repeated"),
    pytest.param('{"codes":[0,"a"],"chain":[5,[]]}', [],
                 id="unknown-start-without-followers"),
    # Follower lists pair their elements by position, as the whole-document
    # reader does: a stray scalar is a follower, never a repeat of the last.
    pytest.param('{"codes":[],"chain":["a",[["b"],1,7,2]]}',
                 [("add_to_bag", "a", ["b"], 1), ("add_to_bag", "a", 7, 2)],
                 id="scalar-in-follower-position"),
    pytest.param('{"codes":[],"chain":["a",[1],"b",[["c"],2]]}',
                 [("add_to_bag", "b", ["c"], 2)], id="count-without-follower"),
    pytest.param('{"codes":[],"chain":["a",[["b"],{"x":[1]}]]}',
                 [("add_to_bag", "a", ["b"], {"x": [1]})], id="object-count"),
]


@pytest.mark.parametrize("text, merge_calls", READER_CASES)
def test_reader_calls(parser_backend, merge, text, merge_calls):
    chain = RecordingChain()
    assert pavro_cjson.load_json_big(chain, io.BytesIO(text.encode()), merge) is None
    assert chain.log == (merge_calls if merge else [("clear",)] + merge_calls)
    # Counts arrive exactly as parsed: 2.5 stays the parser's Decimal.
    for call in chain.log:
        if call[0] == "add_to_bag" and isinstance(call[3], decimal.Decimal):
            assert type(call[3]) is decimal.Decimal


def test_plain_follower_is_the_assembled_list(parser_backend):
    received = []

    class Model:
        def clear(self):
            pass

        def add_to_bag(self, start, follower, count=None):
            received.append(follower)

    load_big(Model(), '{"codes":[],"chain":["a",[["a","b"],2,["c"],1]]}')
    assert [type(f) for f in received] == [list, list]
    assert received[0] is not received[1]


@pytest.mark.parametrize("flag, clears", [(0, True), ("", True), (None, True), ([], True),
                                          ("yes", False), (1, False), ([0], False)], ids=repr)
def test_mode_by_truth_value(flag, clears):
    chain = RecordingChain()
    pavro_cjson.load_json_big(chain, io.BytesIO(EXAMPLE_PLAIN.encode()), flag)
    assert (("clear",) in chain.log) is clears
    assert chain.log[-1] == ("add_to_bag", "a", ["a", "b"], 2)


def test_default_mode_is_replace():
    chain = RecordingChain()
    pavro_cjson.load_json_big(chain, io.BytesIO(EXAMPLE_PLAIN.encode()))
    assert chain.log == [("clear",), ("add_to_bag", "a", ["a", "b"], 2)]


# ---------------------------------------------------------------------------
# load_json_big: bad or empty streams leave the model alone
# ---------------------------------------------------------------------------

def prefilled_model():
    return ChainModel.from_sequences([["x", "y", "z", "x"]])


@pytest.mark.parametrize(
    "text",
    ['null', '{}', '{"codes":[]}', '{"codes":[0,"a",1,"b"]}', '[]', '[[],[]]', '"chain"',
     '{"codes":[],"x":["chain",[["a"],1]]}', '{"chain":{"a":[["b"],1]}}', '{"chain":5}'],
)
def test_stream_without_chain_table(parser_backend, merge, text):
    chain = RecordingChain()
    with pytest.raises(KeyError) as info:
        load_big(chain, text, merge)
    assert info.value.args == ("chain",)
    assert chain.log == []
    assert pjson_frames(info.value) == ["pavro_cjson.load_json_big"]
    model = prefilled_model()
    with pytest.raises(KeyError):
        load_big(model, text, merge)
    assert model == prefilled_model()


class UnreadableFile(io.RawIOBase):
    def readable(self):
        return True

    def read(self, size=-1):
        raise OSError("cannot read")

    def readinto(self, buffer):
        raise OSError("cannot read")


@pytest.mark.parametrize(
    "source, exc_type",
    [
        (lambda: io.BytesIO(b""), ijson.JSONError),
        (lambda: io.BytesIO(b"   "), ijson.JSONError),
        (lambda: io.BytesIO(b'{"codes":[0,"a"],"chain":[0,[[0],'), ijson.JSONError),
        (lambda: io.BytesIO(b'{"codes":[0,"a"],"chain":[3,[[0],1]]}'), KeyError),
        (lambda: io.BytesIO(b'{"codes":[[0],"a"],"chain":[0,[[0],1]]}'), TypeError),
        (UnreadableFile, OSError),
    ],
    ids=["empty", "blank", "cut-in-first-follower", "first-start-unknown",
         "unhashable-token", "unreadable"],
)
# The yajl2_cffi parser complains from its own clean-up when it is dropped
# after a failed read; that is the parser's business.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_failure_before_first_pair_leaves_model_alone(parser_backend, source, exc_type):
    chain = RecordingChain()
    with pytest.raises(exc_type) as info:
        pavro_cjson.load_json_big(chain, source())
    assert chain.log == []
    assert "pavro_cjson.load_json_big" in pjson_frames(info.value)
    model = prefilled_model()
    with pytest.raises(exc_type):
        pavro_cjson.load_json_big(model, source())
    assert model == prefilled_model()
    del info
    gc.collect()


class TrickleFile(io.BytesIO):
    """Hands the parser one byte per read, so it delivers every event it
    has seen before it meets the damage, whatever its buffering."""

    def read(self, size=-1):
        return super().read(1 if size != 0 else 0)

    def readinto(self, buffer):
        data = self.read(1)
        buffer[:len(data)] = data
        return len(data)


@pytest.mark.parametrize(
    "text, merge_calls",
    [
        ('{"codes":[],"chain":["a",[["b"],1],"c",[["d"],', [("add_to_bag", "a", ["b"], 1)]),
        ('{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2,[1],3],1,[[1],', [
            ("add_to_bag", "a", gen("a", "b"), 2), ("add_to_bag", "a", gen("b"), 3)]),
        ('{"codes":[],"chain":["a",[["b"],1]]', [("add_to_bag", "a", ["b"], 1)]),
        ('{"codes":[0,"a"],"chain":[0,[[0],1]] junk', [("add_to_bag", "a", gen("a"), 1)]),
        # A pair goes over only once the parser has moved past its count:
        # the last one before the damage is lost with it.
        ('{"codes":[],"chain":["a",[["b"],1,["c"],2 }', [("add_to_bag", "a", ["b"], 1)]),
        # Cut inside a number: the parser offers the digits it has, which
        # are not the count the document holds.
        ('{"codes":[],"chain":["a",[["b"],1,["c"],1235', [("add_to_bag", "a", ["b"], 1)]),
        ('{"codes":[],"chain":["a",[["c"],1235', []),
    ],
    ids=["cut-in-follower", "cut-in-compressed-follower", "cut-after-chain", "junk-after-chain",
         "syntax-error", "cut-in-count", "cut-in-first-count"],
)
def test_truncated_keeps_pairs_handed_over(parser_backend, merge, text, merge_calls):
    chain = RecordingChain()
    with pytest.raises(ijson.JSONError) as info:
        pavro_cjson.load_json_big(chain, TrickleFile(text.encode()), merge)
    # Replace mode clears only once a pair goes over.
    assert chain.log == (merge_calls if merge or not merge_calls else [("clear",)] + merge_calls)
    assert "pavro_cjson.load_json_big" in pjson_frames(info.value)


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("text, error, message", [
    ('{"chain":[0,[[0,1],2]],"codes":[0,"a",1,"b"]}', ValueError, "the chain table came "
     "before the code table, so its pairs were handed over undecoded; load_json_small "
     "reads the two tables in either order"),
    ('{"codes":[],"chain":["a",[[0,1],2],"b",5]}', TypeError,
     "a follower list must be an array, not a number"),
    ('{"codes":[],"chain":["a",[[0,1],2],"b","s"]}', TypeError,
     "a follower list must be an array, not a string"),
    ('{"codes":[],"chain":["a",[[0,1],2],"b",true]}', TypeError,
     "a follower list must be an array, not a boolean"),
    ('{"codes":[],"chain":["a",[[0,1],2],"b",null]}', TypeError,
     "a follower list must be an array, not null"),
    ('{"codes":[],"chain":["a",[[0,1],2],"b",{"x":[["q"],1]}]}', TypeError,
     "a follower list must be an array, not an object"),
], ids=["compressed-chain-before-codes", "number", "string", "boolean", "null", "object"])
def test_refused_document_keeps_what_was_handed_over(parser_backend, merge, text, error,
                                                     message):
    chain = RecordingChain()
    with pytest.raises(error) as info:
        load_big(chain, text, merge)
    assert str(info.value) == message
    first = ("add_to_bag", 0, [0, 1], 2) if text.startswith('{"chain"') else (
        "add_to_bag", "a", [0, 1], 2)
    assert chain.log == ([] if merge else [("clear",)]) + [first]
    assert "pavro_cjson.load_json_big" in pjson_frames(info.value)


def test_unknown_start_after_pairs(parser_backend):
    chain = RecordingChain()
    with pytest.raises(KeyError) as info:
        load_big(chain, '{"codes":[0,"a"],"chain":[0,[[0],1],"zz",[[0],2]]}')
    assert info.value.args == ("zz",)
    assert pjson_frames(info.value) == ["pavro_cjson.load_json_big"]
    assert chain.log == [("clear",), ("add_to_bag", "a", gen("a"), 1)]


def test_lost_add_to_bag_outranks_an_unknown_start(parser_backend):
    # The method is looked up before the pair is decoded, as
    # chain.add_to_bag(codes[start], ...) looks it up.
    class Forgetful:
        def __init__(self):
            self.log = []
            self.add_to_bag = self.first_add

        def clear(self):
            self.log.append("clear")

        def first_add(self, start, follower, count=1):
            self.log.append((start, list(follower), count))
            del self.add_to_bag

    chain = Forgetful()
    with pytest.raises(AttributeError, match="add_to_bag"):
        load_big(chain, '{"codes":[0,"a"],"chain":[0,[[0],1],"zz",[[0],2]]}')
    assert chain.log == ["clear", ("a", ["a"], 1)]


def test_failing_clear_stops_before_any_pair(parser_backend):
    class Stubborn(RecordingChain):
        def clear(self):
            super().clear()
            raise RuntimeError("will not clear")

    chain = Stubborn()
    with pytest.raises(RuntimeError, match="will not clear"):
        load_big(chain, EXAMPLE_PLAIN)
    assert chain.log == [("clear",)]


def test_failing_merge_truth_test_touches_nothing(monkeypatch):
    class Undecided:
        def __bool__(self):
            raise RuntimeError("undecided")

    log = Log()
    monkeypatch.setattr(pavro_cjson, "ijson", FakeParserModule([], log))
    chain = RecordingChain(log=log)
    with pytest.raises(RuntimeError, match="undecided"):
        pavro_cjson.load_json_big(chain, io.BytesIO(b""), Undecided())
    assert log == []


# ---------------------------------------------------------------------------
# load_json_big: the dispatch rules on given events
# ---------------------------------------------------------------------------

def trace_events(prefix="?"):
    """The compressed example as parser events; the prefix is never used."""
    p = prefix
    return [
        (p, "start_map", None),
        (p, "map_key", "codes"),
        (p, "start_array", None),
        (p, "number", 0), (p, "string", "a"), (p, "number", 1), (p, "string", "b"),
        (p, "end_array", None),
        (p, "map_key", "chain"),
        (p, "start_array", None),
        (p, "number", 0),
        (p, "start_array", None),
        (p, "start_array", None),
        (p, "number", 0), (p, "number", 1),
        (p, "end_array", None),
        (p, "number", 2),
        (p, "end_array", None),
        (p, "end_array", None),
        (p, "end_map", None),
    ]


def test_trace_on_given_events(monkeypatch, merge):
    log = Log()
    parser = FakeParserModule(trace_events(), log)
    monkeypatch.setattr(pavro_cjson, "ijson", parser)
    monkeypatch.setattr(pavro_cjson, "ObjectBuilder", recording_builder_class(log))
    chain = RecordingChain(log=log)
    source = object()
    pavro_cjson.load_json_big(chain, source, merge)
    assert parser.files == [source]
    expected = [
        ("parse",),
        # The code table goes to the builder whole, its closing included.
        ("builder", "start_array", None),
        ("builder", "number", 0), ("builder", "string", "a"),
        ("builder", "number", 1), ("builder", "string", "b"),
        ("builder", "end_array", None),
        # Only the follower goes to the builder; start token and count do not.
        ("builder", "start_array", None),
        ("builder", "number", 0), ("builder", "number", 1),
        ("builder", "end_array", None),
    ]
    expected += [] if merge else [("clear",)]
    expected += [("add_to_bag", "a", gen("a", "b"), 2)]
    assert log == expected


def test_nested_follower_on_given_events(monkeypatch):
    log = Log()
    p = "?"
    events = [
        (p, "start_map", None), (p, "map_key", "chain"), (p, "start_array", None),
        (p, "null", None),
        (p, "start_array", None),
        (p, "start_array", None),
        (p, "start_array", None), (p, "string", "x"), (p, "end_array", None),
        (p, "start_map", None), (p, "map_key", "k"), (p, "boolean", False), (p, "end_map", None),
        (p, "end_array", None),
        (p, "number", 3),
        (p, "end_array", None),
        (p, "end_array", None), (p, "end_map", None),
    ]
    monkeypatch.setattr(pavro_cjson, "ijson", FakeParserModule(events))
    monkeypatch.setattr(pavro_cjson, "ObjectBuilder", recording_builder_class(log))
    chain = RecordingChain(log=log)
    pavro_cjson.load_json_big(chain, None, True)
    assert log == [("builder", event, value) for _, event, value in events[5:14]] + [
        ("add_to_bag", None, [["x"], {"k": False}], 3)]


def test_names_looked_up_at_call_time(monkeypatch):
    chain = RecordingChain()
    monkeypatch.setattr(pavro_cjson, "ijson", FakeParserModule(trace_events()))
    pavro_cjson.load_json_big(chain, None)
    assert chain.log == [("clear",), ("add_to_bag", "a", gen("a", "b"), 2)]
    monkeypatch.setattr(pavro_cjson, "ijson", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        pavro_cjson.load_json_big(chain, None)
    monkeypatch.setattr(pavro_cjson, "ijson", FakeParserModule(trace_events()))
    monkeypatch.delattr(pavro_cjson, "ObjectBuilder")
    with pytest.raises(NameError):
        pavro_cjson.load_json_big(chain, None)


@pytest.mark.parametrize(
    "bad_item, message",
    [(("", "start_map"), "need more than 2 values to unpack"),
     (("", "start_map", None, 1), "too many values to unpack (expected 3)")],
)
def test_event_that_is_no_triple(monkeypatch, bad_item, message):
    events = trace_events()[:2] + [bad_item] + trace_events()[2:]
    monkeypatch.setattr(pavro_cjson, "ijson", FakeParserModule(events))
    chain = RecordingChain()
    with pytest.raises(ValueError) as info:
        pavro_cjson.load_json_big(chain, None)
    assert str(info.value) == message
    assert chain.log == []


def _raise(error):
    raise error


class HostileFile:
    """A source whose every attribute lookup raises (not AttributeError)."""

    def __getattr__(self, name):
        raise RuntimeError("no " + name)


@pytest.mark.parametrize("parse, source, error", [
    (lambda file: _raise(OSError("no parser today")), None, OSError),
    (lambda file: 5, None, TypeError),  # a parser result that is no iterable
    (None, HostileFile(), RuntimeError),  # the bound backend asks the file first
], ids=["parse-raises", "parse-gives-no-iterable", "file-lookups-raise"])
def test_parse_failure_touches_nothing(monkeypatch, parse, source, error):
    if parse is not None:
        monkeypatch.setattr(pavro_cjson, "ijson", types.SimpleNamespace(parse=parse))
    chain = RecordingChain()
    with pytest.raises(error) as info:
        pavro_cjson.load_json_big(chain, source)
    assert chain.log == []
    assert pjson_frames(info.value) == ["pavro_cjson.load_json_big"]
