"""Documents the malformed-input tests and the compiled-path comparison share.

The module's own writings of a sample model, random damage to them, the
positions of the worked examples where a wrong type or odd value goes, odd
whole texts, and the differences between the two load_json_big paths that
docs/parsers.md lists.
"""

import io
import json as std_json

import ijson
import ujson
from hypothesis import strategies as st

import pavro_cjson
from pavro.bag import ChainModel


# ijson before 3.6 (pip's newest for CPython 3.7 to 3.9) cuts strings at a
# NUL; 3.3 (3.7 and 3.8) also drops the events of a chunk that fails to parse.
IJSON_VERSION = tuple(int(p) for p in ijson.__version__.split(".")[:2])
CUTS_AT_NUL = IJSON_VERSION < (3, 6)
OLD_IJSON = IJSON_VERSION < (3, 4)


def listed_difference(compiled, events, data):
    """True when load_json_big parsing with yajl itself (`compiled`) may
    differ from the same load over the backend's events (`events`) on
    `data`: only where the backend misbehaves, as docs/parsers.md lists."""
    if isinstance(events.error, ijson.JSONError) and not isinstance(
            events.error, ijson.IncompleteJSONError):
        # 1. An exception inside the backend's own callbacks (an int past
        # the digit limit, a string yajl passes that is no strict UTF-8)
        # becomes "client cancelled parse"; the compiled source raises the
        # exception itself.  What reached the model is the same.
        assert "client cancelled" in str(events.error)
        assert isinstance(compiled.error, ValueError), compiled.error
        assert repr(compiled.log) == repr(events.log)
        return True
    if CUTS_AT_NUL and b"\\u0000" in data:
        # 2. ijson before 3.6 cuts strings at a NUL.
        assert type(compiled.error) is type(events.error)
        return True
    if OLD_IJSON and isinstance(events.error, ijson.IncompleteJSONError):
        # 3. ijson 3.3 drops the events of the chunk that fails to parse:
        # its reader hands over a prefix of what the compiled one does, and
        # never meets a fault that lies in the dropped events.
        assert compiled.error is not None
        assert repr(compiled.log[:len(events.log)]) == repr(events.log)
        return True
    return False


# ---------------------------------------------------------------------------
# Documents written by the module itself
# ---------------------------------------------------------------------------


def sample_model():
    """A real model with more than ten codes (two-digit tokens), counts of
    several digits, an empty follower, and number, null and non-ASCII codes."""
    words = ("the cat sat on the mat while the dog slept under the old red "
             "table and the cat saw the dog").split()
    model = ChainModel.from_sequences(
        [words, words[3:], ["\u00e9t\u00e9", 7, None, "the", 2.5, "cat"]], length=2
    )
    model.add_to_bag("cat", ("sat", "on"), count=1234)
    model.add_to_bag(7, ("the",), count=56)
    model.add_to_bag("dog", (), count=10)
    return model


def _write_documents():
    docs = {}
    saved = pavro_cjson.json
    try:
        for writer_name, writer in (("small", pavro_cjson.dump_json_small),
                                    ("big", pavro_cjson.dump_json_big)):
            for lib in (ujson, std_json):
                pavro_cjson.json = lib
                for compress in (True, False):
                    out = io.StringIO()
                    writer(sample_model(), out, compress)
                    text = out.getvalue()
                    if text not in docs.values():  # big with ujson equals small
                        name = "{}-{}-{}".format(
                            writer_name, lib.__name__, "compressed" if compress else "plain"
                        )
                        docs[name] = text
    finally:
        pavro_cjson.json = saved
    return {name: text.encode("utf-8") for name, text in docs.items()}


DOCUMENTS = _write_documents()


# ---------------------------------------------------------------------------
# Random damage
# ---------------------------------------------------------------------------

SIGNIFICANT = [b"[", b"]", b"{", b"}", b",", b":", b'"', b"\\", b"0", b"-", b"1e", b".",
               b"null", b"true", b" ", b"\x00", b"\xff", b"\xc3"]


@st.composite
def damaged_documents(draw):
    data = bytearray(DOCUMENTS[draw(st.sampled_from(sorted(DOCUMENTS)))])
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["flip", "insert", "delete", "duplicate"]))
        pos = draw(st.integers(0, len(data)))
        if kind == "flip" and pos < len(data):
            data[pos] ^= draw(st.integers(1, 255))
        elif kind == "insert":
            data[pos:pos] = draw(st.sampled_from(SIGNIFICANT) | st.binary(min_size=1, max_size=3))
        elif kind == "delete":
            del data[pos:pos + draw(st.integers(1, 8))]
        elif kind == "duplicate":
            chunk = data[pos:pos + draw(st.integers(1, 24))]
            at = draw(st.integers(0, len(data)))
            data[at:at] = chunk
    return bytes(data)


# ---------------------------------------------------------------------------
# Wrong types and odd values at every position of the worked examples
# ---------------------------------------------------------------------------

# "@" marks the position that receives the value under test.
COMPRESSED_POSITIONS = {
    "top level": '@',
    "codes member": '{"codes":@,"chain":[0,[[0,1],2]]}',
    "code table token": '{"codes":[@,"a",1,"b"],"chain":[0,[[0,1],2]]}',
    "code table code": '{"codes":[0,@,1,"b"],"chain":[0,[[0,1],2]]}',
    "second token": '{"codes":[0,"a",@,"b"],"chain":[0,[[0,1],2]]}',
    "second code": '{"codes":[0,"a",1,@],"chain":[0,[[0,1],2]]}',
    "chain member": '{"codes":[0,"a",1,"b"],"chain":@}',
    "start token": '{"codes":[0,"a",1,"b"],"chain":[@,[[0,1],2]]}',
    "follower list": '{"codes":[0,"a",1,"b"],"chain":[0,@]}',
    "follower": '{"codes":[0,"a",1,"b"],"chain":[0,[@,2]]}',
    "follower element": '{"codes":[0,"a",1,"b"],"chain":[0,[[@,1],2]]}',
    "last follower element": '{"codes":[0,"a",1,"b"],"chain":[0,[[0,@],2]]}',
    "count": '{"codes":[0,"a",1,"b"],"chain":[0,[[0,1],@]]}',
}
PLAIN_POSITIONS = {
    "top level": '@',
    "codes member": '{"codes":@,"chain":["a",[["a","b"],2]]}',
    "chain member": '{"codes":[],"chain":@}',
    "start token": '{"codes":[],"chain":[@,[["a","b"],2]]}',
    "follower list": '{"codes":[],"chain":["a",@]}',
    "follower": '{"codes":[],"chain":["a",[@,2]]}',
    "follower element": '{"codes":[],"chain":["a",[[@,"b"],2]]}',
    "last follower element": '{"codes":[],"chain":["a",[["a",@],2]]}',
    "count": '{"codes":[],"chain":["a",[["a","b"],@]]}',
}
POSITIONS = dict(
    [("compressed " + k, v) for k, v in COMPRESSED_POSITIONS.items()]
    + [("plain " + k, v) for k, v in PLAIN_POSITIONS.items()]
)
# An odd value standing as a token, and used as the start token and as a
# follower element, so that the decoding map is asked for it.
POSITIONS["compressed token in use"] = '{"codes":[@,"a",1,"b"],"chain":[@,[[@,1],2]]}'
POSITIONS["plain start and element"] = '{"codes":[],"chain":[@,[[@,"b"],@]]}'


def place(template, value):
    return template.encode("ascii").replace(b"@", value)


WRONG_TYPES = [b"null", b"true", b"1", b'"s"', b"[]", b"{}"]


ODD_VALUES = {
    "1e400": b"1e400",
    "-1e400": b"-1e400",
    "-0": b"-0",
    "-0.0": b"-0.0",
    "1.0": b"1.0",
    "10**1000": b"1" + b"0" * 1000,
    "-10**1000": b"-1" + b"0" * 1000,
    "10**5000": b"1" + b"0" * 5000,  # past the interpreter's int digit limit
    "1.5e-400": b"1.5e-400",
    "long fraction": b"0." + b"3" * 500,
    "escaped lone surrogate": b'"\\ud800"',
    "escaped low surrogate first": b'"\\udc00\\ud800"',
    "escaped NUL": b'"a\\u0000b"',
    "raw NUL": b'"a\x00b"',
    "invalid UTF-8 byte": b'"\xff"',
    "cut UTF-8 sequence": b'"\xc3"',
    "overlong UTF-8": b'"\xc0\xaf"',
    "UTF-8 encoded surrogate": b'"\xed\xa0\x80"',
    "raw UTF-8": "\"\u00e9t\u00e9 \U0001f600\"".encode("utf-8"),
    "escaped key": b'"\\u0063odes"',
    "NaN": b"NaN",
    "Infinity": b"Infinity",
}


WHOLE_TEXTS = {
    "empty": b"",
    "whitespace only": b" \t\r\n  ",
    "BOM then document": b"\xef\xbb\xbf" + place(COMPRESSED_POSITIONS["count"], b"2"),
    "NUL byte": b"\x00",
    "NUL after document": place(COMPRESSED_POSITIONS["count"], b"2") + b"\x00",
    "garbage after document": place(COMPRESSED_POSITIONS["count"], b"2") + b"]x",
    "two documents": place(COMPRESSED_POSITIONS["count"], b"2") * 2,
    "UTF-16": place(COMPRESSED_POSITIONS["count"], b"2").decode().encode("utf-16"),
    "keys spelt with escapes": b'{"\\u0063odes":[0,"a"],"ch\\u0061in":[0,[[0],2]]}',
    "codes member twice": b'{"codes":[0,"a"],"codes":[0,"b"],"chain":[0,[[0],2]]}',
    "huge count": b'{"codes":[],"chain":["a",[["a"],' + b"9" * 4000 + b']]}',
}


def sorted_keys(data):
    return std_json.dumps(std_json.loads(data.decode("utf-8")), sort_keys=True).encode()
