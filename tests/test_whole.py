"""Saving a model as one document handed to the JSON library in one call,
and loading such a document back in replace or merge mode."""

import collections
import io
import json as std_json
import traceback

import pytest

import pavro_cjson
from pavro.bag import ChainModel

from fakes import RecordingBag, RecordingChain, RecordingFile


def pjson_entries(exc):
    """Names of the traceback entries the module added, outermost first."""
    return [
        frame.f_code.co_name
        for frame, _ in traceback.walk_tb(exc.__traceback__)
        if frame.f_code.co_filename == "pjson"
    ]


SENTENCES = [
    ["the", "cat", "sat"],
    ["the", "dog"],
]


def save(chain, compress=True):
    out = io.StringIO()
    pavro_cjson.dump_json_small(chain, out, compress)
    return out.getvalue()


def load(chain, text, merge=False):
    pavro_cjson.load_json_small(chain, io.StringIO(text), merge)


def library_text(compact, json_lib):
    """The document as the library under test spells it."""
    if json_lib.__name__ == "json":
        return std_json.dumps(std_json.loads(compact))
    return compact


# ---------------------------------------------------------------------------
# Writer: text and the single dump call
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("compress, compact", [
    (True, '{"codes":[0,"cat",1,"sat",2,"the",3,"dog"],'
           '"chain":[2,[[0,1],1,[3],1],0,[[1],1]]}'),
    (False, '{"codes":[],"chain":["the",[["cat","sat"],1,["dog"],1],"cat",[["sat"],1]]}'),
], ids=["compressed", "plain"])
def test_text_of_a_learned_model(json_lib, compress, compact):
    model = ChainModel.from_sequences(SENTENCES, length=2)
    expected = library_text(compact, json_lib)
    if json_lib.__name__ == "json":
        assert ", " in expected and ": " in expected
    assert save(model, compress) == expected


class RecordingJson:
    """Stands in for the JSON library: logs every call, writes nothing."""

    def __init__(self, log):
        self.log = log
        self.documents = []

    def dumps(self, *args, **kwargs):
        self.log.append(("dumps", args, kwargs))
        return std_json.dumps(args[0], separators=(",", ":"))

    def dump(self, *args, **kwargs):
        self.log.append(("dump",))
        self.documents.append((args, kwargs))


def example_chain(log, follower=("a", "b")):
    chain = RecordingChain(log=log, frequencies={"a": 5, "b": 3})
    chain._entries = [("a", RecordingBag(log, choices=[(follower, 2)]))]
    return chain


def test_compressed_document_is_built_whole_then_dumped_once(log, monkeypatch):
    library = RecordingJson(log)
    monkeypatch.setattr(pavro_cjson, "json", library)
    out = RecordingFile()
    pavro_cjson.dump_json_small(example_chain(log), out)
    assert log == [
        ("build_frequency_dict",),
        ("dumps", ("a",), {}),
        ("dumps", ("b",), {}),
        ("items",),
        ("choices", "bag"),
        ("dump",),
    ]
    [(args, kwargs)] = library.documents
    document, target = args
    assert target is out and kwargs == {}
    assert type(document) is collections.OrderedDict
    assert list(document.items()) == [("codes", [0, "a", 1, "b"]), ("chain", (0, ((0, 1), 2)))]
    assert type(document["codes"]) is list
    chain_table = document["chain"]
    assert type(chain_table) is tuple
    assert type(chain_table[1]) is tuple and type(chain_table[1][0]) is tuple
    assert out.pieces == []


def test_plain_document_holds_the_model_followers_themselves(log, monkeypatch):
    library = RecordingJson(log)
    monkeypatch.setattr(pavro_cjson, "json", library)
    follower = ["a", "b"]
    pavro_cjson.dump_json_small(example_chain(log, follower), RecordingFile(), False)
    assert log == [("items",), ("choices", "bag"), ("dump",)]
    [((document, _), _)] = library.documents
    assert list(document) == ["codes", "chain"]
    assert document["codes"] == []
    assert document["chain"] == ("a", (follower, 2))
    assert document["chain"][1][0] is follower


def test_document_mapping_is_the_module_level_ordered_dict(log, monkeypatch):
    made = []

    def ordered_dict(pairs):
        made.append(pairs)
        return collections.OrderedDict(pairs)

    monkeypatch.setattr(pavro_cjson, "OrderedDict", ordered_dict)
    monkeypatch.setattr(pavro_cjson, "json", RecordingJson(log))
    pavro_cjson.dump_json_small(example_chain(log), RecordingFile())
    assert made == [(("codes", [0, "a", 1, "b"]), ("chain", (0, ((0, 1), 2))))]


# ---------------------------------------------------------------------------
# Writer failures: nothing reaches the file
# ---------------------------------------------------------------------------


class Bare:
    """An object with none of the model's or the bag's methods."""


def model(entries=(), frequencies=None, log=None):
    chain = RecordingChain(frequencies=frequencies, log=log)
    chain._entries = [
        (item[0], RecordingBag(chain.log, choices=item[1])) if isinstance(item, list) else item
        for item in entries
    ]
    return chain


class NoFrequencies:
    """A model that can list its entries but not count its codes."""

    def items(self):
        return iter([])


class NoItems:
    """A model that can count its codes but not list its entries."""

    def build_frequency_dict(self):
        return {"a": 1}


BODY = "pavro_cjson.dump_json_small"
GEN_CHAIN = BODY + ".gen_chain"
GEN_START = BODY + ".gen_start"
GEN_NEXT_START = BODY + ".gen_next_start"

WRITER_FAILURES = [
    # (id, compress, make chain, exception, args, traceback entries)
    ("missing-start", True,
     lambda: model([["a", [(("b",), 1)]]], {"b": 1}),
     KeyError, ("a",), [BODY, GEN_CHAIN, GEN_START]),
    ("missing-tuple-start", True,
     lambda: model([[("t", 1), [(("b",), 1)]]], {"b": 1}),
     KeyError, (("t", 1),), [BODY, GEN_CHAIN, GEN_START]),
    ("missing-element", True,
     lambda: model([["a", [(("a",), 1), (("a", "z"), 1)]]], {"a": 1}),
     KeyError, ("z",), [BODY, GEN_CHAIN, GEN_NEXT_START, "genexpr"]),
    ("missing-element-of-list", True,
     lambda: model([["a", [(["a", 3], 1)]]], {"a": 1}),
     KeyError, (3,), [BODY, GEN_CHAIN, GEN_NEXT_START, "genexpr"]),
    ("missing-element-later-start", True,
     lambda: model([["a", [(("a",), 1)]], ["b", [((None,), 1)]]], {"a": 2, "b": 1}),
     KeyError, (None,), [BODY, GEN_CHAIN, GEN_NEXT_START, "genexpr"]),
]
for _compress in (True, False):
    _mode = "compressed" if _compress else "plain"
    _codes = {"a": 1}
    WRITER_FAILURES += [
        ("entry-of-three-" + _mode, _compress,
         lambda: model([("a", RecordingBag([]), "extra")], _codes),
         ValueError, ("too many values to unpack (expected 2)",), [BODY, GEN_CHAIN]),
        ("entry-of-one-" + _mode, _compress,
         lambda: model([("a",)], _codes),
         ValueError, ("need more than 1 value to unpack",), [BODY, GEN_CHAIN]),
        ("entry-of-none-" + _mode, _compress,
         lambda: model([()], _codes),
         ValueError, ("need more than 0 values to unpack",), [BODY, GEN_CHAIN]),
        ("choice-of-three-" + _mode, _compress,
         lambda: model([["a", [(("a",), 1, 0)]]], _codes),
         ValueError, ("too many values to unpack (expected 2)",),
         [BODY, GEN_CHAIN, GEN_NEXT_START]),
        ("choice-of-one-" + _mode, _compress,
         lambda: model([["a", [(("a",),)]]], _codes),
         ValueError, ("need more than 1 value to unpack",), [BODY, GEN_CHAIN, GEN_NEXT_START]),
        ("no-items-" + _mode, _compress,
         NoItems,
         AttributeError, None, [BODY, GEN_CHAIN]),
        ("bag-without-choices-" + _mode, _compress,
         lambda: model([("a", Bare())], _codes),
         AttributeError, None, [BODY, GEN_CHAIN]),
    ]
WRITER_FAILURES += [
    ("no-frequency-dict", True, NoFrequencies, AttributeError, None, [BODY]),
    ("occurrences-not-negatable", True, lambda: model([["a", []]], {"a": "many"}),
     TypeError, None, None),
]


@pytest.mark.parametrize("compress, make, error, args, entries",
                         [case[1:] for case in WRITER_FAILURES],
                         ids=[case[0] for case in WRITER_FAILURES])
def test_model_failure_leaves_the_file_untouched(json_lib, compress, make, error, args, entries):
    out = RecordingFile()
    with pytest.raises(error) as caught:
        pavro_cjson.dump_json_small(make(), out, compress)
    if args is not None:
        assert caught.value.args == args
    if entries is not None:
        assert pjson_entries(caught.value) == entries
    assert pjson_entries(caught.value)[0] == BODY
    assert out.pieces == []


def test_unserialisable_code_fails_with_the_library_error(json_lib):
    code = object()
    with pytest.raises(Exception) as expected:
        json_lib.dumps(code)
    out = RecordingFile()
    with pytest.raises(type(expected.value)) as caught:
        pavro_cjson.dump_json_small(model([["a", []]], {"a": 2, code: 1}), out)
    assert str(caught.value) == str(expected.value)
    assert out.pieces == []


# ---------------------------------------------------------------------------
# Reader: calls on the model
# ---------------------------------------------------------------------------

COMPRESSED = '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2]]}'
PLAIN = '{"codes":[],"chain":["a",[["a","b"],2]]}'

ONE_BAG = [
    ("clear",),
    ("ProbabilityBag", "bag0"),
    ("bag.add", "bag0", ("a", "b"), 2),
    ("set_bag", "a", "bag0"),
]
ONE_PAIR = [("add_to_bag", "a", ("a", "b"), 2)]

READER_SEQUENCES = [
    # (id, document, replace-mode log, merge-mode log)
    ("empty", '{"codes":[],"chain":[]}', [("clear",)], []),
    ("compressed", COMPRESSED, ONE_BAG, ONE_PAIR),
    ("plain", PLAIN, ONE_BAG, [("add_to_bag", "a", ["a", "b"], 2)]),
    ("chain-first", '{"chain":[0,[[0,1],2]],"codes":[0,"a",1,"b"]}', ONE_BAG, ONE_PAIR),
    ("extra-members",
     '{"version":2,"codes":[0,"a",1,"b"],"lengths":[1,2],"chain":[0,[[0,1],2]],"end":null}',
     ONE_BAG, ONE_PAIR),
    ("odd-elements", '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2,[1]],1]}', ONE_BAG, ONE_PAIR),
    ("odd-elements-plain", '{"codes":[],"chain":["a",[["a","b"],2,["b"]],"b"]}',
     ONE_BAG, [("add_to_bag", "a", ["a", "b"], 2)]),
    ("empty-follower-list", '{"codes":[0,"a"],"chain":[0,[]]}',
     [("clear",), ("ProbabilityBag", "bag0"), ("set_bag", "a", "bag0")], []),
    ("several",
     '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],2,[1],3],1,[[0],1]]}',
     [("clear",),
      ("ProbabilityBag", "bag0"),
      ("bag.add", "bag0", ("a", "b"), 2),
      ("bag.add", "bag0", ("b",), 3),
      ("set_bag", "a", "bag0"),
      ("ProbabilityBag", "bag1"),
      ("bag.add", "bag1", ("a",), 1),
      ("set_bag", "b", "bag1")],
     [("add_to_bag", "a", ("a", "b"), 2),
      ("add_to_bag", "a", ("b",), 3),
      ("add_to_bag", "b", ("a",), 1)]),
    ("start-twice", '{"codes":[],"chain":["a",[["x"],1],"a",[["y"],2]]}',
     [("clear",),
      ("ProbabilityBag", "bag0"), ("bag.add", "bag0", ("x",), 1), ("set_bag", "a", "bag0"),
      ("ProbabilityBag", "bag1"), ("bag.add", "bag1", ("y",), 2), ("set_bag", "a", "bag1")],
     [("add_to_bag", "a", ["x"], 1), ("add_to_bag", "a", ["y"], 2)]),
    # Counts are handed over as parsed, never decoded, even when they
    # equal a token.
    ("counts-as-parsed",
     '{"codes":[0,"a",1,"b"],"chain":[0,[[1],2.5,[0],"two",[0,1],1,[],null]]}',
     [("clear",),
      ("ProbabilityBag", "bag0"),
      ("bag.add", "bag0", ("b",), 2.5),
      ("bag.add", "bag0", ("a",), "two"),
      ("bag.add", "bag0", ("a", "b"), 1),
      ("bag.add", "bag0", (), None),
      ("set_bag", "a", "bag0")],
     [("add_to_bag", "a", ("b",), 2.5),
      ("add_to_bag", "a", ("a",), "two"),
      ("add_to_bag", "a", ("a", "b"), 1),
      ("add_to_bag", "a", (), None)]),
]


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("text, replace_log, merge_log",
                         [case[1:] for case in READER_SEQUENCES],
                         ids=[case[0] for case in READER_SEQUENCES])
def test_reader_calls(json_lib, log, bag_factory, merge, text, replace_log, merge_log):
    assert pavro_cjson.load_json_small(RecordingChain(log=log), io.StringIO(text), merge) is None
    expected = merge_log if merge else replace_log
    assert log == expected
    # Tuples and lists kept apart: only a plain document in merge mode hands
    # the parsed list over.
    assert [type(entry[2]) for entry in log if entry[0] in ("add_to_bag", "bag.add")] == [
        type(entry[2]) for entry in expected if entry[0] in ("add_to_bag", "bag.add")
    ]


def test_missing_start_with_empty_follower_list_matters_only_when_replacing(
        json_lib, log, bag_factory):
    text = '{"codes":[0,"a"],"chain":[5,[]]}'
    load(RecordingChain(log=log), text, merge=True)
    assert log == []
    with pytest.raises(KeyError) as caught:
        load(RecordingChain(log=log), text, merge=False)
    assert caught.value.args == (5,)
    assert log == []  # refused before the model was emptied


# ---------------------------------------------------------------------------
# Reader failures
# ---------------------------------------------------------------------------

LOAD = "pavro_cjson.load_json_small"

UNTOUCHED_FAILURES = [
    # (id, document, exception, args or None)
    ("not-json", '{"codes":[0,"a"],', ValueError, None),
    ("null", "null", TypeError, ("'NoneType' object is not subscriptable",)),
    ("array", "[1, 2]", TypeError, None),
    ("number", "3", TypeError, None),
    ("no-codes", '{"chain":[]}', KeyError, ("codes",)),
    ("no-chain", '{"codes":[0,"a"]}', KeyError, ("chain",)),
    ("codes-not-iterable", '{"codes":5,"chain":[]}', TypeError, None),
    ("chain-not-iterable", '{"codes":[],"chain":null}', TypeError, None),
    ("unhashable-token", '{"codes":[0,"a",[1],"b"],"chain":[]}', TypeError, None),
]


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("text, error, args", [case[1:] for case in UNTOUCHED_FAILURES],
                         ids=[case[0] for case in UNTOUCHED_FAILURES])
def test_failure_before_the_model_is_touched(json_lib, log, bag_factory, merge, text, error,
                                             args):
    with pytest.raises(error) as caught:
        load(RecordingChain(log=log), text, merge)
    if args is not None:
        assert caught.value.args == args
    assert pjson_entries(caught.value) == [LOAD]
    assert log == []


PART_LOADED_FAILURES = [
    # (id, document, missing token, traceback entries, merge log); replace
    # mode checks the whole document first and leaves the model untouched.
    ("missing-element",
     '{"codes":[0,"a"],"chain":[0,[[0],1],0,[[0],3,[0,9],2]]}', 9, [LOAD, "genexpr"],
     [("add_to_bag", "a", ("a",), 1), ("add_to_bag", "a", ("a",), 3)]),
    ("missing-string-element", '{"codes":[0,"a"],"chain":[0,[["q"],1]]}', "q",
     [LOAD, "genexpr"], []),
    ("missing-start", '{"codes":[0,"a"],"chain":[7,[[0],1]]}', 7, [LOAD], []),
    ("missing-float-start", '{"codes":[0,"a"],"chain":[0,[[0],1],2.5,[[0],1]]}', 2.5, [LOAD],
     [("add_to_bag", "a", ("a",), 1)]),
]


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("text, token, entries, merge_log",
                         [case[1:] for case in PART_LOADED_FAILURES],
                         ids=[case[0] for case in PART_LOADED_FAILURES])
def test_missing_token_leaves_what_was_loaded_before(json_lib, log, bag_factory, merge, text,
                                                     token, entries, merge_log):
    with pytest.raises(KeyError) as caught:
        load(RecordingChain(log=log), text, merge)
    assert caught.value.args == (token,)
    assert type(caught.value.args[0]) is type(token)
    assert pjson_entries(caught.value) == entries
    assert log == (merge_log if merge else [])


@pytest.mark.parametrize("merge, token", [(True, 7), (False, 8)], ids=["merge", "replace"])
def test_which_missing_token_is_reported_first(json_lib, log, bag_factory, merge, token):
    # Merge mode decodes the start before each follower; replace mode
    # decodes a start's followers before the start.
    with pytest.raises(KeyError) as caught:
        load(RecordingChain(log=log), '{"codes":[0,"a"],"chain":[7,[[8],1]]}', merge)
    assert caught.value.args == (token,)


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
@pytest.mark.parametrize("text, message, merge_log", [
    ('{"codes":[],"chain":["a",[["a"],1],"b",5]}',
     "a follower list must be an array, not a number", [("add_to_bag", "a", ["a"], 1)]),
    ('{"codes":[],"chain":["a",[["a"],1],"b","xy"]}',
     "a follower list must be an array, not a string", [("add_to_bag", "a", ["a"], 1)]),
    ('{"codes":[],"chain":["a",[["a"],1],"b",{"x":1}]}',
     "a follower list must be an array, not an object", [("add_to_bag", "a", ["a"], 1)]),
    ('{"codes":[0,"a"],"chain":[0,[[0],1,5,2]]}',
     "'int' object is not iterable", [("add_to_bag", "a", ("a",), 1)]),
], ids=["number-follower-list", "string-follower-list", "object-follower-list", "follower"])
def test_wrong_shape_in_the_chain_table(json_lib, log, bag_factory, merge, text, message,
                                        merge_log):
    with pytest.raises(TypeError) as caught:
        load(RecordingChain(log=log), text, merge)
    assert str(caught.value) == message
    assert log == (merge_log if merge else [])


class Strict:
    """A model and bag that take the count by keyword only, as promised."""

    def __init__(self, log, name="bag"):
        self.log = log
        self.name = name

    def clear(self):
        self.log.append(("clear",))

    def add_to_bag(self, start, follower, *, count):
        self.log.append(("add_to_bag", start, follower, count))

    def set_bag(self, start, bag):
        self.log.append(("set_bag", start, bag.name))

    def add(self, follower, *, count):
        self.log.append(("bag.add", self.name, follower, count))


@pytest.mark.parametrize("merge, expected", [
    (False, [("clear",), ("bag.add", "bag", ("a", "b"), 2), ("set_bag", "a", "bag")]),
    (True, ONE_PAIR),
], ids=["replace", "merge"])
def test_count_is_passed_by_keyword(json_lib, log, monkeypatch, merge, expected):
    monkeypatch.setattr(pavro_cjson, "ProbabilityBag", lambda: Strict(log))
    load(Strict(log), COMPRESSED, merge)
    assert log == expected


class Refused(Exception):
    pass


class RefusingBag:
    def __init__(self, error):
        self.error = error

    def choices(self):
        raise self.error


@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
def test_model_exception_is_passed_on_unchanged(json_lib, compress):
    error = Refused("no choices today")
    out = RecordingFile()
    with pytest.raises(Refused) as caught:
        pavro_cjson.dump_json_small(model([("a", RefusingBag(error))], {"a": 1}), out, compress)
    assert caught.value is error
    assert pjson_entries(caught.value) == [BODY, GEN_CHAIN]
    assert out.pieces == []


class ClearOnly:
    """A model that can be emptied but takes no bags."""

    def __init__(self, log):
        self.log = log

    def clear(self):
        self.log.append(("clear",))


def test_model_without_set_bag_fails_after_its_first_bag(json_lib, log, bag_factory):
    with pytest.raises(AttributeError):
        load(ClearOnly(log), COMPRESSED)
    assert log == ONE_BAG[:-1]


# ---------------------------------------------------------------------------
# Round trips with the real model
# ---------------------------------------------------------------------------


def learned(repeat=1):
    sentences = [
        ["the", "cat", "sat", "on", "the", "mat"],
        ["the", "dog", "sat", 3, ("tuple", 1), "the", "cat"],
        ["", "a", "", ("tuple", 1), 3],
    ]
    return ChainModel.from_sequences(sentences * repeat, length=2)


@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_round_trip(json_lib, compress, merge):
    model = learned()
    loaded = ChainModel()
    load(loaded, save(model, compress), merge)
    assert loaded == model
    assert list(loaded.items()) == list(model.items())


@pytest.mark.parametrize("compress", [True, False], ids=["compressed", "plain"])
def test_merge_adds_to_what_the_model_holds_and_replace_starts_over(json_lib, compress):
    text = save(learned(), compress)
    target = ChainModel()
    load(target, text, merge=True)
    load(target, text, merge=True)
    assert target == learned(repeat=2)
    load(target, text, merge=False)
    assert target == learned()


@pytest.mark.parametrize("merge", [False, True], ids=["replace", "merge"])
def test_equal_codes_of_a_plain_document_share_one_object(json_lib, log, bag_factory, merge):
    # Each occurrence is parsed into its own object; a loaded model keeps
    # one per distinct code.  Equal values of other types stay apart.
    text = ('{"codes":[],"chain":["aa",[["aa","bb",1,1.0,true,0.0,-0.0],1],'
            '"bb",[["bb","aa",1,1.0,true,-0.0,0.0],2]]}')
    load(RecordingChain(log=log), text, merge)
    followers = [entry[2] for entry in log if entry[0] in ("add_to_bag", "bag.add")]
    starts = [entry[1] for entry in log if entry[0] in ("add_to_bag", "set_bag")]
    first, second = followers
    assert first[0] is second[1] is starts[0] and first[1] is second[0] is starts[1]
    assert [type(x) for x in first[2:]] == [int, float, bool, float, float]
    assert [str(x) for x in first[2:] + second[2:]] == [
        "1", "1.0", "True", "0.0", "-0.0", "1", "1.0", "True", "-0.0", "0.0"]
