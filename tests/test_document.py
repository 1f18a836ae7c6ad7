"""The chain document both writers produce and both readers decode: which
codes get rank numbers, which stand for themselves, and how a code table
turns back into codes."""

import collections
import io
import json as std_json

import pytest

import pavro_cjson
from pavro.bag import ChainModel

from fakes import RecordingBag, RecordingChain, RecordingFile

WRITERS = ["dump_json_small", "dump_json_big"]


def write(writer, chain, compress=True):
    out = RecordingFile()
    getattr(pavro_cjson, writer)(chain, out, compress)
    return out.getvalue()


def read(reader, chain, text, merge=False):
    if reader == "load_json_big":
        source = io.BytesIO(text.encode("utf-8"))
    else:
        source = io.StringIO(text)
    getattr(pavro_cjson, reader)(chain, source, merge)


def one_start_chain(start, followers, frequencies):
    """A recording model with a single start code and the given followers."""
    chain = RecordingChain(frequencies=frequencies)
    chain._entries = [(start, RecordingBag(chain.log, choices=followers))]
    return chain


def exact(value):
    """JSON text of a parsed value, so that 1, 1.0 and true stay apart."""
    return std_json.dumps(value)


# ---------------------------------------------------------------------------
# Worked examples
# ---------------------------------------------------------------------------

EXAMPLE_TEXTS = {
    # (writer, library, compressed): text
    ("dump_json_small", "ujson", True): '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2]]}',
    ("dump_json_small", "ujson", False): '{"codes":[],"chain":["a",[["a","b"],2]]}',
    ("dump_json_small", "json", True):
        '{"codes": [0, "a", 1, "b"], "chain": [0, [[0, 1], 2]]}',
    ("dump_json_small", "json", False): '{"codes": [], "chain": ["a", [["a", "b"], 2]]}',
    ("dump_json_big", "ujson", True): '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2]]}',
    ("dump_json_big", "ujson", False): '{"codes":[],"chain":["a",[["a","b"],2]]}',
    # The streaming writer spells tokens itself but hands a plain follower
    # to the library whole, so only that piece carries the library's blanks.
    ("dump_json_big", "json", True): '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2]]}',
    ("dump_json_big", "json", False): '{"codes":[],"chain":["a",[["a", "b"],2]]}',
}


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
def test_worked_example(writer, json_lib, compress):
    chain = one_start_chain("a", [(("a", "b"), 2)], {"a": 5, "b": 3})
    text = write(writer, chain, compress)
    assert text == EXAMPLE_TEXTS[writer, json_lib.__name__, compress]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
def test_empty_model(writer, json_lib, compress):
    text = write(writer, RecordingChain(), compress)
    expected = '{"codes":[],"chain":[]}'
    if writer == "dump_json_small" and json_lib.__name__ == "json":
        expected = '{"codes": [], "chain": []}'
    assert text == expected


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
def test_empty_bag_and_empty_follower_are_empty_arrays(writer, json_lib, compress):
    chain = RecordingChain(frequencies={"a": 2, "b": 1})
    chain._entries = [
        ("a", RecordingBag(chain.log, name="a", choices=[((), 4)])),
        ("b", RecordingBag(chain.log, name="b", choices=[])),
    ]
    document = std_json.loads(write(writer, chain, compress))
    if compress:
        assert document == {"codes": [0, "a", 1, "b"], "chain": [0, [[], 4], 1, []]}
    else:
        assert document == {"codes": [], "chain": ["a", [[], 4], "b", []]}


# ---------------------------------------------------------------------------
# Token rule
# ---------------------------------------------------------------------------


def ranked_frequencies(code, rank):
    """Frequencies that put `code` at `rank`, behind distinct filler words."""
    frequencies = collections.OrderedDict(
        ("filler{:05d}".format(i), 2 * rank + 10 - i) for i in range(rank)
    )
    frequencies[code] = 1
    return frequencies


TOKEN_CASES = [
    # (code, rank, stands for itself)
    ("a", 9, False),
    ("a", 10, False),
    ("a", 99, False),
    ("a", 100, True),
    ("ab", 999, False),
    ("ab", 1000, True),
    ("", 9, False),
    ("", 10, True),
    ('"', 999, False),    # escaped: four characters of JSON text
    ('"', 1000, True),
    ("\u00e9", 1000, False),  # the JSON text is the escape, not one character
    # Only a JSON string may stand for itself: any other code would read
    # back as some other code's rank number.
    (7, 10, False),
    (42, 9, False),
    (42, 10, False),
    (42, 99, False),
    (-5, 10, False),
    (1.5, 100, False),
    (True, 1000, False),
    (None, 1000, False),
]


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("code, rank, itself", TOKEN_CASES,
                         ids=["{!r}@{}".format(c, r) for c, r, _ in TOKEN_CASES])
def test_token_of_a_code_at_a_rank(writer, json_lib, code, rank, itself):
    chain = one_start_chain(code, [((code, code), 3)], ranked_frequencies(code, rank))
    document = std_json.loads(write(writer, chain))
    token = code if itself else rank
    assert exact(document["codes"][2 * rank:]) == exact([token, code])
    assert exact(document["chain"]) == exact([token, [[token, token], 3]])


@pytest.mark.parametrize("writer", WRITERS)
def test_width_is_that_of_the_library_writing_the_document(writer, json_lib):
    # ujson escapes "/" (four characters of text), the standard module
    # does not (three), so rank 100 is wide enough for one and not the other.
    code, rank = "/", 100
    itself = len(json_lib.dumps(code)) <= 3
    chain = one_start_chain(code, [((code,), 1)], ranked_frequencies(code, rank))
    document = std_json.loads(write(writer, chain))
    token = code if itself else rank
    assert document["codes"][2 * rank:] == [token, code]
    assert document["chain"] == [token, [[token], 1]]


@pytest.mark.parametrize("writer", WRITERS)
def test_equal_occurrences_keep_mapping_order(writer, json_lib):
    frequencies = collections.OrderedDict(
        [("m", 1), ("z", 3), ("a", 1), ("k", 3), ("b", 1), ("y", 2)]
    )
    chain = one_start_chain("b", [(("a", "k", "m", "y", "z"), 1)], frequencies)
    document = std_json.loads(write(writer, chain))
    assert document == {
        "codes": [0, "z", 1, "k", 2, "y", 3, "m", 4, "a", 5, "b"],
        "chain": [5, [[4, 1, 3, 2, 0], 1]],
    }


class ThreeFieldItems:
    """A frequency mapping whose items carry a third, unused field."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return list(self._items)


@pytest.mark.parametrize("writer", WRITERS)
def test_frequency_items_are_indexed_not_unpacked(writer):
    frequencies = ThreeFieldItems([("b", 1, "note"), ("a", 2, "note")])
    chain = one_start_chain("a", [(("b",), 1)], frequencies)
    assert std_json.loads(write(writer, chain)) == {
        "codes": [0, "a", 1, "b"], "chain": [0, [[1], 1]],
    }


# ---------------------------------------------------------------------------
# Round trips where a naive token rule corrupts the model
# ---------------------------------------------------------------------------


class RankedModel(ChainModel):
    """A real model whose frequency mapping is fixed by the test."""

    def __init__(self, frequencies):
        super().__init__()
        self.frequencies = frequencies

    def build_frequency_dict(self):
        return self.frequencies


def ranked(*groups):
    """Frequencies giving every code its position in `groups` as its rank."""
    codes = [code for group in groups for code in group]
    return collections.OrderedDict((code, len(codes) - rank) for rank, code in enumerate(codes))


def fillers(first, last):
    return ["filler{:04d}".format(i) for i in range(first, last)]


def integer_beside_rank_number():
    # 15 at rank 11 could be written as itself (two digits, like the rank);
    # "x" at rank 15 then gets the token 15 as well.
    model = RankedModel(ranked(fillers(0, 11), [15], fillers(12, 15), ["x"]))
    model.add_to_bag(15, (15, "x"), count=1)
    model.add_to_bag("x", ("x", 15, "filler0003"), count=2)
    return model


def boolean_beside_rank_number():
    # true at rank 1000 could be written as itself, and true equals rank 1.
    model = RankedModel(ranked(fillers(0, 1000), [True]))
    model.add_to_bag(True, (True, "filler0001"), count=1)
    model.add_to_bag("filler0001", (True,), count=5)
    return model


def null_and_float_at_wide_ranks():
    model = RankedModel(ranked(fillers(0, 100), [2.5], fillers(101, 1000), [None]))
    model.add_to_bag("filler0099", (None, 2.5, "filler0002"), count=1)
    model.add_to_bag(2.5, (None,), count=3)
    return model


def contents(model):
    """The model spelled out with repr, so that True and 1 stay apart."""
    return [
        (repr(start), [(repr(follower), count) for follower, count in bag.choices()])
        for start, bag in model.items()
    ]


@pytest.mark.parametrize("make_model", [
    integer_beside_rank_number, boolean_beside_rank_number, null_and_float_at_wide_ranks,
])
@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("reader", ["load_json_small", "load_json_big"])
@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_non_string_codes_survive_a_round_trip(make_model, writer, reader, merge, json_lib):
    model = make_model()
    loaded = ChainModel()
    read(reader, loaded, write(writer, model), merge)
    assert loaded == model
    assert contents(loaded) == contents(model)


# ---------------------------------------------------------------------------
# Decoding map
# ---------------------------------------------------------------------------

DECODING_CASES = [
    # (code table, chain table, the single add_to_bag call expected)
    ('[0,"a",0,"b"]', '[0,[[0],1]]', ("b", ("b",), 1)),
    ('[0,"a",1,"b",0]', '[1,[[0,1],1]]', ("b", ("a", "b"), 1)),
    ('[0,"a",1,"b",7]', '[1,[[0,1],1]]', ("b", ("a", "b"), 1)),
    ('["x","x",0,"a"]', '["x",[["x",0],1]]', ("x", ("x", "a"), 1)),
    # A number standing for itself, as older documents may hold.
    ('[0,"a",42,42]', '[42,[[42,0],1]]', (42, (42, "a"), 1)),
    ('[1,"a",1.0,"b",true,"c"]', '[1,[[1.0,true],1]]', ("c", ("c", "c"), 1)),
    ('[0,["a",1],1,"b"]', '[1,[[0,1],1]]', ("b", (["a", 1], "b"), 1)),
    # A single element yields no pair: the document is plain.
    ('[0]', '[0,[[0],1]]', (0, [0], 1)),
    ('[]', '["a",[["a",0],1]]', ("a", ["a", 0], 1)),
]


@pytest.mark.parametrize("codes, chain_table, call", DECODING_CASES)
def test_decoding_map(json_lib, codes, chain_table, call):
    chain = RecordingChain()
    text = '{{"codes":{},"chain":{}}}'.format(codes, chain_table)
    read("load_json_small", chain, text, merge=True)
    assert chain.log == [("add_to_bag",) + call]
    # tuples and lists kept apart: a plain follower arrives as parsed
    assert [type(entry[2]) for entry in chain.log] == [type(call[1])]
