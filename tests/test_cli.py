"""The command-line tool, driven as a user drives it: a child process per
command, judged by its exit status, its output and the files it leaves."""

import collections
import fcntl
import json
import io
import itertools
import os
import pathlib
import random
import re
import resource
import select
import signal
import struct
import subprocess
import sys
import termios
import types
from unittest import mock

import pytest
from hypothesis import given, settings, strategies as st

import pavro.text as pavro_text
import pavro_cjson
from _pavro_model import learn_sentences
from pavro import ChainModel
from pavro.files import pieces_of, text_chunks
from pavro.sentences import (Kind, Learner, SourceDigest, add_digest, add_transitions, kind_of,
                             sentence_key)
from pavro.text import BUILTIN_TEXT, sentences_from, sentences_of

from examples import examples
from fakes import Log, RecordingBag, RecordingChain

TEXT = """The cat sat on the mat. The dog sat on the step!  Did the cat see the dog?
The dog\u2019s mat... was red; the cat's was not.  Over the hill and far away:
the end"""


def pavro(cwd, *args, **options):
    """Run `python -m pavro ARGS` in `cwd`; the result with text stdout and stderr."""
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    options.setdefault("timeout", 120)
    return subprocess.run([sys.executable, "-m", "pavro"] + [str(arg) for arg in args],
                          cwd=str(cwd), universal_newlines=True, **options)


def ok(cwd, *args):
    done = pavro(cwd, *args)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    return done.stdout


def report(stdout):
    """The `name: value` lines of a report, as a dict."""
    return dict((part.strip() for part in line.split(":", 1))
                for line in stdout.splitlines() if ":" in line)


def counts(stdout):
    found = report(stdout)
    found.pop("document")
    found.pop("size")
    return found


def fails_cleanly(done, status=1):
    """One line on stderr, no traceback, the given exit status."""
    assert done.returncode == status, (done.stdout, done.stderr)
    assert "Traceback" not in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr
    return done.stderr


@pytest.fixture
def work(tmp_path):
    (tmp_path / "a.txt").write_text(TEXT, encoding="utf-8")
    return tmp_path


def test_text_read_in_chunks_splits_as_the_whole_text():
    rng = random.Random(4)
    for _ in range(200):
        text = "".join(rng.choice(["a", "b ", ". ", "...", "?!", "\n", "don't ", "\u00e9"])
                       for _ in range(rng.randrange(60)))
        cuts = sorted(rng.randrange(len(text) + 1) for _ in range(rng.randrange(5)))
        chunks = [text[start:end] for start, end in zip([0] + cuts, cuts + [len(text)])]
        assert list(sentences_from(chunks)) == sentences_of(text), chunks


def _sentences_by_pattern(text):
    """The splitter as it was: one pattern finds the words of each sentence, then lower-cased."""
    result = []
    for chunk in re.split("[.!?]+", text):
        words = [word.lower() for word in re.findall(r"[^\W_]+(?:['\u2019-][^\W_]+)*", chunk)]
        if words:
            result.append(words)
    return result


_ascii_texts = st.text(st.sampled_from(list("aZq9_'-.!? \n\t,;\x00\x7f")), max_size=80)
_texts = st.text(st.sampled_from(list("aZ9_'-\u2019.!? \n,\u00e9\u00c6\u0130\u03a3\u00b2\u2160")),
                 max_size=80)


@settings(max_examples=examples(500), deadline=None)
@given(st.one_of(_ascii_texts, _texts, st.lists(_ascii_texts, max_size=4).map(".".join)),
       st.sampled_from([1 << 12, 1, 7]))
def test_sentences_split_as_one_pattern_splits_them(text, block):
    # Small blocks: non-ASCII text cut into many, some of them ASCII.
    with mock.patch.object(pavro_text, "_BLOCK", block):
        assert sentences_of(text) == _sentences_by_pattern(text)


@pytest.mark.parametrize("options", [[], ["--streaming"], ["--compressed"],
                                     ["--compressed", "--streaming"]])
def test_train_info_convert_agree(work, options):
    trained = ok(work, "train", "a.txt", "--builtin", "-o", "m.json", "--state-size", "3", *options)
    sentences = sentences_of(TEXT) + sentences_of(BUILTIN_TEXT)
    assert trained.splitlines()[0] == "learnt {} sentences, {} words from 2 texts".format(
        len(sentences), sum(map(len, sentences)))
    compressed = "--compressed" in options
    assert report(trained)["format"] == ("compressed" if compressed else "plain")
    # The report counts through the model (or the learner), info through the document.
    assert ok(work, "info", "m.json") == trained.split("\n", 1)[1]

    converted = ok(work, "convert", "m.json", "p.json", "--plain")
    assert ok(work, "info", "p.json") == converted.split("\n", 1)[1]
    assert report(converted)["format"] == "plain"
    assert counts(converted) == dict(counts(trained), format="plain")

    # Back to what train wrote: the same text as either writer saved first.
    ok(work, "convert", "p.json", "c.json", *([] if compressed else ["--plain"]))
    assert (work / "c.json").read_bytes() == (work / "m.json").read_bytes()
    assert sorted(os.listdir(str(work))) == ["a.txt", "c.json", "m.json", "p.json"]


def test_say_draws_reproducible_sentences(work):
    ok(work, "train", "a.txt", "-o", "m.json")
    said = ok(work, "say", "m.json", "-n", "4", "--seed", "3")
    assert said == ok(work, "say", "m.json", "-n", "4", "--seed", "3")
    lines = said.splitlines()
    assert len(lines) == 4 and all(line.endswith(".") and line[0].isupper() for line in lines)
    words = set(" ".join(lines).lower().rstrip(".").replace(".", "").split())
    assert words <= {word for sentence in sentences_of(TEXT) for word in sentence}


BROKEN = {
    "cut.json": '{"codes":[],"chain":["a",[["b"],1',
    "null.json": "null",
    "token.json": '{"codes":[0,"a"],"chain":[0,[[7],1]]}',
    "empty.json": '{"codes":[],"chain":[]}',
    "latin1.txt": b"caf\xe9 au lait.",
    "latin1.json": b'{"codes":[],"chain":["caf\xe9",[["x"],1]]}',
    "words.txt": "... !? ...",
}


@pytest.mark.parametrize("args, message", [
    (["train", "missing.txt", "-o", "m.json"], "cannot read missing.txt: No such file"),
    (["train", "latin1.txt", "-o", "m.json"],
     "cannot read latin1.txt: not UTF-8 text: byte 0xe9 at offset 3"),
    (["info", "latin1.json"], "latin1.json is not a readable chain document: not UTF-8 text: "
                              "byte 0xe9 at offset 25"),
    (["train", "sub", "-o", "m.json"], "cannot read sub: it is a directory"),
    (["train", "words.txt", "-o", "m.json"], "found no words"),
    (["train", "a.txt", "-o", "sub"], "cannot write sub: it is a directory"),
    (["train", "a.txt", "-o", "nowhere/m.json"], "cannot write nowhere/m.json: no directory"),
    (["train", "a.txt", "-o", "a.txt"], "a.txt exists; pass --force"),
    (["info", "missing.json"], "cannot read missing.json: No such file"),
    (["info", "cut.json"], "cut.json is not a readable chain document: IncompleteJSONError: "),
    (["info", "null.json"], 'null.json is not a readable chain document: no "chain" member'),
    (["say", "token.json"], "token.json is not a readable chain document: token 7 (in follower "
                            "1 of chain entry 1) is not in the code table"),
    (["say", "empty.json"], "empty.json holds no start codes"),
    (["convert", "cut.json", "m.json"], "cut.json is not a readable chain document"),
    (["convert", "empty.json", "null.json"], "null.json exists; pass --force"),
])
def test_failures_are_one_line_and_leave_nothing(work, args, message):
    (work / "sub").mkdir()
    for name, content in BROKEN.items():
        path = work / name
        path.write_bytes(content) if isinstance(content, bytes) else path.write_text(content)
    before = {path.name: path.read_bytes() for path in work.iterdir() if path.is_file()}
    stderr = fails_cleanly(pavro(work, *args))
    assert stderr.startswith("pavro: " + message)
    after = {path.name: path.read_bytes() for path in work.iterdir() if path.is_file()}
    assert after == before


def _limit_file_size():
    # Writes past the limit fail with EFBIG instead of killing the process.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))


def test_force_replaces_only_with_a_complete_document(work):
    ok(work, "train", "--builtin", "-o", "m.json")
    (work / "out.json").write_text("keep me")
    os.chmod(str(work / "out.json"), 0o640)

    # The plain document outgrows the file size limit half-way.
    done = pavro(work, "convert", "m.json", "out.json", "--plain", "--force",
                 preexec_fn=_limit_file_size)
    assert "cannot write out.json: File too large" in fails_cleanly(done)
    assert (work / "out.json").read_text() == "keep me"
    assert sorted(os.listdir(str(work))) == ["a.txt", "m.json", "out.json"]

    ok(work, "convert", "m.json", "out.json", "--force", "--plain")
    assert (work / "out.json").read_bytes() == (work / "m.json").read_bytes()
    assert os.stat(str(work / "out.json")).st_mode & 0o777 == 0o640


def test_usage_errors_exit_2(work):
    for args in (["train", "-o", "m.json"], ["say", "m.json", "-n", "0"], ["frobnicate"], []):
        done = pavro(work, *args)
        assert done.returncode == 2 and "Traceback" not in done.stderr


def test_a_reader_that_stops_early_is_no_error(work):
    ok(work, "train", "--builtin", "-o", "m.json")
    child = subprocess.Popen([sys.executable, "-m", "pavro", "say", "m.json", "-n", "100000"],
                             cwd=str(work), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.readline()
    child.stdout.close()
    assert child.wait(timeout=60) == 1
    assert child.stderr.read() == b""
    child.stderr.close()


def test_progress_bar_only_on_a_terminal(work):
    # Without tqdm --progress says so instead (a test of its own).
    pytest.importorskip("tqdm")
    done = pavro(work, "train", "a.txt", "-o", "m.json", "--progress")
    assert (done.returncode, done.stderr) == (0, "")

    master, slave = os.openpty()
    try:
        # A new terminal is 0 columns wide, and tqdm draws nothing in that.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        done = pavro(work, "info", "m.json", "--progress", stderr=slave)
    finally:
        os.close(slave)
    try:
        shown = b""
        while select.select([master], [], [], 0)[0]:
            try:
                data = os.read(master, 4096)
            except OSError:  # the terminal's far side is closed: all read
                break
            if not data:
                break
            shown += data
    finally:
        os.close(master)
    assert done.returncode == 0
    assert b"loading m.json" in shown and b"%|" in shown


def test_demo_refuses_a_file_as_its_output_directory(work):
    done = subprocess.run([sys.executable, "-m", "pavro.demo", "--out", "a.txt"], cwd=str(work),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          timeout=120)
    assert "a.txt: it exists and is not a directory" in fails_cleanly(done, status=2)
    assert done.stdout == ""


# -- sentences ----------------------------------------------------------------


def _sentence_model(text, order=2):
    model = ChainModel()
    learner = Learner(model, order)
    learner.learn(sentences_of(text))
    add_digest(model, learner.records)
    return model, learner


def _parsers():
    # The compiled reader, and the parser's own events where the cffi
    # backend is bound (any other binding reads those).
    yield pavro_cjson.ijson
    try:
        from ijson.backends import yajl2_cffi
    except ImportError:
        return
    if pavro_cjson.ijson is yajl2_cffi:
        yield types.SimpleNamespace(parse=yajl2_cffi.parse)


@pytest.mark.parametrize("order", [1, 2, 3])
def test_sentence_marks_and_digest_survive_every_writer_and_reader(monkeypatch, order):
    model, learner = _sentence_model(TEXT + BUILTIN_TEXT, order)
    libraries = [pytest.importorskip(name) for name in ("json", "ujson")]
    for library, writer, compress, parser, merge in itertools.product(
            libraries, [pavro_cjson.dump_json_small, pavro_cjson.dump_json_big], [True, False],
            list(_parsers()), [False, True]):
        monkeypatch.setattr(pavro_cjson, "json", library)
        monkeypatch.setattr(pavro_cjson, "ijson", parser)
        text = io.StringIO()
        writer(model, text, frequency_compress=compress)
        for load, source in ((pavro_cjson.load_json_small, io.StringIO(text.getvalue())),
                             (pavro_cjson.load_json_big, io.BytesIO(text.getvalue().encode()))):
            loaded = ChainModel()
            load(loaded, source, merge)
            assert loaded == model and list(loaded.items()) == list(model.items())
            assert kind_of(loaded).order == order
            assert len(SourceDigest.of_model(loaded)) == len(learner.records) > 0


def _kind_by_each_start(model):
    kind = Kind()
    for start, _ in model.items():
        kind.see(start)
    return vars(kind)


@pytest.mark.parametrize("order", [1, 2, 3])
def test_learner_gives_the_model_one_add_per_word_gives(monkeypatch, order):
    # Batches of 3 sentences: a pair counted in one batch comes back in the next.
    monkeypatch.setattr(Learner, "BATCH", 3)
    sentences = sentences_of(TEXT + BUILTIN_TEXT)
    model, learner = _sentence_model(TEXT + BUILTIN_TEXT, order)
    reference = ChainModel()
    for sentence in sentences:
        sequence = [None] * order + sentence + [None]
        for at in range(order, len(sequence)):
            reference.add_to_bag(tuple(sequence[at - order:at]), (sequence[at],))
    add_digest(reference, {sentence_key(sentence) for sentence in sentences})
    assert model == reference and list(model.items()) == list(reference.items())
    assert learner.words == sum(map(len, sentences)) and learner.sentences == len(sentences)
    assert _kind_by_each_start(model) == vars(kind_of(model))
    # Starts of other kinds, as old or foreign documents have, take the slow path.
    for start in ("word", (), ("a",), (None,) * 5):
        model.add_to_bag(start, ("x",))
        assert _kind_by_each_start(model) == vars(kind_of(model))


def _pairs_by_calls(model, sentences, order):
    """The learner as it was written in Python: one add_to_bag per pair, made by zip and map."""
    pad = (None,) * order
    for sentence in sentences:
        sequence = pad + tuple(map(sys.intern, sentence)) + (None,)
        states = zip(*(sequence[k:] for k in range(order)))
        collections.deque(map(model.add_to_bag, states, zip(sequence[order:])), maxlen=0)


class _LoggingModel(ChainModel):
    def __init__(self):
        super().__init__()
        self.log = []

    def add_to_bag(self, start, follower, count=1):
        self.log.append((start, follower, count))
        super().add_to_bag(start, follower, count)


_words = st.sampled_from(["a", "b", "the", "don't", "\u00e9", "".join(["th", "e"])])
_batches = st.lists(st.lists(st.lists(_words, max_size=6), max_size=5), max_size=4)


@settings(max_examples=examples(200), deadline=None)
@given(_batches, st.integers(1, 3), st.sampled_from(["model", "subclass", "foreign bag", "duck"]))
def test_native_learner_gives_the_model_the_python_learner_gives(batches, order, kind):
    """learn_sentences against add_to_bag per pair: the same model, in the same
    order, or, for a model with its own add_to_bag, the same calls."""
    def made():
        if kind == "duck":
            return RecordingChain()
        model = _LoggingModel() if kind == "subclass" else ChainModel()
        if kind == "foreign bag":
            model.set_bag((None,) * order, RecordingBag(Log()))
        return model

    native, reference, words = made(), made(), {}
    learnt = [add_transitions(native, batch, order, words) for batch in batches]
    for batch in batches:
        _pairs_by_calls(reference, batch, order)
    assert learnt == [sum(map(len, batch)) for batch in batches]
    if kind == "duck":
        assert native.log == reference.log
        return
    assert [start for start, _ in native.items()] == [start for start, _ in reference.items()]
    for (_, mine), (_, theirs) in zip(native.items(), reference.items()):
        if isinstance(mine, RecordingBag):
            assert mine.log == theirs.log
        else:
            assert mine == theirs and list(mine.choices()) == list(theirs.choices())
    if kind == "subclass":
        assert native.log == reference.log
    # One string per distinct word, one follower tuple per word.
    assert set(words) == {word for batch in batches for sentence in batch for word in sentence}
    assert all(follower == (word,) for word, follower in words.items())


def test_native_learner_refuses_what_the_python_learner_refuses():
    sentences = [["a", "b"], ["c", 7, "d"], ["e"]]
    native, reference = ChainModel(), ChainModel()
    with pytest.raises(TypeError):
        learn_sentences(native, sentences, 2, {})
    with pytest.raises(TypeError):
        _pairs_by_calls(reference, sentences, 2)
    # The sentences before the faulty one are learnt, nothing of it.
    assert native == reference and len(native) == 3
    for order, words, error in ((0, {}, ValueError), ("2", {}, TypeError), (2, [], TypeError),
                                (2, {"a": ("b",)}, ValueError), (2, {"a": "a"}, ValueError)):
        with pytest.raises(error):
            learn_sentences(ChainModel(), [["a"]], order, words)
    with pytest.raises(TypeError):
        learn_sentences(ChainModel(), [["a"]], 2)


def test_every_sentence_said_begins_and_ends_where_a_source_sentence_does(work):
    ok(work, "train", "a.txt", "--builtin", "-o", "m.json")
    source = sentences_of(TEXT) + sentences_of(BUILTIN_TEXT)
    said = ok(work, "say", "m.json", "-n", "40", "--seed", "5", "--max-words", "60")
    for line in said.splitlines():
        words = sentences_of(line)[0]
        assert any(words[:2] == sentence[:2] for sentence in source), line
        assert any(words[-2:] == sentence[-2:] for sentence in source), line


def test_say_redraws_a_sentence_that_repeats_a_source_sentence(work):
    # Of the four sentences this chain can make, two are the source's.
    (work / "t.txt").write_text("x a b. y a c.")
    ok(work, "train", "t.txt", "-o", "m.json", "--state-size", "1")
    said = ok(work, "say", "m.json", "-n", "30", "--seed", "1").splitlines()
    assert set(said) == {"X a c.", "Y a b."}
    # With no room to redraw, the repeats come back.
    said = ok(work, "say", "m.json", "-n", "30", "--seed", "1", "--tries", "1").splitlines()
    assert set(said) == {"X a b.", "X a c.", "Y a b.", "Y a c."}


def test_documents_of_the_first_order_kind_still_load_and_say(work):
    # What train wrote before it learnt sentences: words as starts.
    model = ChainModel.from_sequences(sentences_of(TEXT), 2)
    with open(str(work / "old.json"), "w") as file:
        pavro_cjson.dump_json_big(model, file)
    assert report(ok(work, "info", "old.json"))["kind"] == "words, first order (no sentence marks)"
    lines = ok(work, "say", "old.json", "-n", "5", "--seed", "2").splitlines()
    assert len(lines) == 5 and all(line.endswith(".") for line in lines)
    new = report(ok(work, "train", "a.txt", "-o", "new.json", "--state-size", "3"))
    assert new["kind"] == "sentences, order 3"
    assert new["source digest"] == "{} sentences".format(len(sentences_of(TEXT)))


# -- jobs -----------------------------------------------------------------------


def test_shards_read_as_the_whole_text(tmp_path):
    rng = random.Random(8)
    for trial in range(60):
        paths = []
        for index in range(rng.randrange(1, 4)):
            text = "".join(rng.choice(["a", "b ", ". ", "...", "?!", "\n", "\u00e9 "])
                           for _ in range(rng.randrange(80)))
            path = tmp_path / "{}-{}.txt".format(trial, index)
            path.write_text(text, encoding="utf-8")
            paths.append(str(path))
        shards = pieces_of(paths, rng.randrange(1, 5))
        pieces = [piece for shard in shards for piece in shard]
        assert [path for path, start, _ in pieces if start == 0] == paths
        learnt = []
        for path, start, end in pieces:
            with open(path, "rb") as file:
                file.seek(start)
                learnt += sentences_from(text_chunks(file, path, start, end))
        whole = [sentence for path in paths
                 for sentence in sentences_of(pathlib.Path(path).read_text(encoding="utf-8"))]
        assert learnt == whole, shards


def test_jobs_give_the_document_one_process_gives(work):
    (work / "b.txt").write_text(BUILTIN_TEXT * 3 + TEXT)
    one = ok(work, "train", "a.txt", "b.txt", "--builtin", "-o", "one.json")
    two = ok(work, "train", "a.txt", "b.txt", "--builtin", "-o", "two.json", "--jobs", "3")
    assert (work / "one.json").read_bytes() == (work / "two.json").read_bytes()
    assert one.replace("one.json", "two.json") == two
    piped = pavro(work, "train", "a.txt", "-", "-o", "-", "--jobs", "2", input=TEXT * 5)
    assert piped.stdout == pavro(work, "train", "a.txt", "-", "-o", "-", input=TEXT * 5).stdout
    assert piped.returncode == 0 and report(piped.stderr)["start codes"] != "0"
    (work / "latin1.txt").write_bytes(b"ok. caf\xe9.")
    done = pavro(work, "train", "a.txt", "latin1.txt", "-o", "bad.json", "--jobs", "2")
    assert "cannot read latin1.txt: not UTF-8 text: byte 0xe9 at offset 7" in fails_cleanly(done)
    assert not (work / "bad.json").exists()


# -- files --------------------------------------------------------------------


def test_force_through_a_symlink_replaces_its_target(work):
    (work / "real").mkdir()
    (work / "real" / "m.json").write_text("old")
    os.symlink(os.path.join("real", "m.json"), str(work / "link.json"))
    ok(work, "train", "a.txt", "-o", "link.json", "--force")
    assert os.readlink(str(work / "link.json")) == os.path.join("real", "m.json")
    assert report(ok(work, "info", "real/m.json"))["kind"] == "sentences, order 2"
    assert sorted(os.listdir(str(work / "real"))) == ["m.json"]


def _temporary_files(directory):
    return [name for name in os.listdir(str(directory)) if name.endswith(".tmp")]


def _default_interrupt():
    # As from a terminal: a runner started as a background job ignores
    # SIGINT, its children inherit that, and Python then never turns SIGINT
    # into KeyboardInterrupt.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
# With --jobs, the second child waits for standard input while the parent
# waits for the children: every process must go.  (A child left alive
# would hold standard error open, and reading it would not end.)
@pytest.mark.parametrize("command", [["train", "-"], ["convert", "-"],
                                     ["train", "a.txt", "-", "--jobs", "2"]])
def test_a_signal_removes_the_temporary_file_and_keeps_the_old_output(work, command, number):
    (work / "out.json").write_text("keep me")
    # Standard input held open: the tool has made its temporary file and
    # waits for text, so the signal arrives in the middle of the work.
    child = subprocess.Popen([sys.executable, "-m", "pavro"] + command
                             + ["out.json", "--force"] * (command[0] == "convert")
                             + ["-o", "out.json", "--force"] * (command[0] == "train"),
                             cwd=str(work), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, universal_newlines=True,
                             preexec_fn=_default_interrupt)
    try:
        child.stdin.write("the cat sat" if command[0] == "train" else '{"codes":[')
        child.stdin.flush()
        for _ in range(3000):
            if _temporary_files(work) or child.poll() is not None:
                break
            select.select([], [], [], 0.01)
        # Standard input stays open until the child is gone: its end would
        # let the tool finish on its own.  The signal is sent again while
        # the child lives: the first load of the yajl library clears an
        # exception raised while it looks for the library.
        for _ in range(60):
            child.send_signal(number)
            try:
                child.wait(timeout=1)
                break
            except subprocess.TimeoutExpired:
                pass
        # A child that outlived every signal would hold its standard error
        # open: it goes first, and the test fails instead of hanging.
        if child.poll() is None:
            child.kill()
        stderr = child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
        for stream in (child.stdin, child.stdout, child.stderr):
            stream.close()
    assert child.returncode == 128 + number, stderr
    assert len(stderr.splitlines()) == 1 and "Traceback" not in stderr
    assert stderr == ("pavro: interrupted\n" if number == signal.SIGINT
                      else "pavro: stopped by {}\n".format(signal.Signals(number).name))
    assert (work / "out.json").read_text() == "keep me" and not _temporary_files(work)


def test_an_unwritable_output_fails_before_any_reading(work):
    if os.geteuid() == 0:  # root writes anywhere but in /proc
        where = "/proc/pavro-test.json"
    else:
        (work / "ro").mkdir(mode=0o500)
        where = "ro/m.json"
    # A pipe that nobody writes to: opening it to read would never return.
    os.mkfifo(str(work / "text.fifo"))
    done = pavro(work, "train", "text.fifo", "-o", where, timeout=60)
    assert fails_cleanly(done).startswith("pavro: cannot write " + where)


def test_dash_is_standard_input_and_output(work):
    done = pavro(work, "train", "-", "-o", "-", input=TEXT)
    assert done.returncode == 0 and done.stdout.startswith('{"codes":[')
    assert "learnt" in done.stderr and not (work / "-").exists()
    document = done.stdout
    info = pavro(work, "info", "-", input=document)
    assert report(info.stdout)["size"] == report(done.stderr)["size"]
    assert counts(info.stdout) == dict(counts(done.stderr))
    converted = pavro(work, "convert", "-", "-", "--plain", input=document)
    assert converted.returncode == 0 and converted.stdout.startswith('{"codes":[],')
    (work / "m.json").write_text(document)
    said = pavro(work, "say", "-", "--seed", "4", input=document)
    assert (said.stdout, said.stderr) == (ok(work, "say", "m.json", "--seed", "4"), "")


def test_documents_with_sorted_keys_load_in_every_command(work):
    # Compressed: the streaming reader cannot decode its chain table first.
    ok(work, "train", "a.txt", "-o", "m.json", "--compressed")
    with open(str(work / "m.json")) as file:
        document = json.load(file)
    (work / "sorted.json").write_text(json.dumps(document, sort_keys=True))
    assert counts(ok(work, "info", "sorted.json")) == counts(ok(work, "info", "m.json"))
    assert ok(work, "say", "sorted.json", "--seed", "3") == ok(work, "say", "m.json", "--seed", "3")
    ok(work, "convert", "sorted.json", "back.json")
    assert (work / "back.json").read_bytes() == (work / "m.json").read_bytes()
    done = pavro(work, "info", "-", input=(work / "sorted.json").read_text())
    assert "save it to a file and give its name" in fails_cleanly(done)


def test_version_and_progress_without_tqdm(work):
    done = pavro(work, "--version")
    assert done.returncode == 0 and done.stdout.startswith("python -m pavro ")
    (work / "hide").mkdir()
    (work / "hide" / "tqdm.py").write_text("raise ImportError('hidden by the test')\n")
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(work / "hide")] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    done = pavro(work, "train", "a.txt", "-o", "m.json", "--progress", env=environment)
    assert done.returncode == 0
    assert done.stderr == ("pavro: --progress needs tqdm (pip install tqdm); going on "
                           "without a progress bar\n")
