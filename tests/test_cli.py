"""The command-line tool, driven as a user drives it: a child process per
command, judged by its exit status, its output and the files it leaves."""

import fcntl
import os
import random
import resource
import select
import signal
import struct
import subprocess
import sys
import termios

import pytest

from pavro.text import BUILTIN_TEXT, sentences_from, sentences_of

TEXT = """The cat sat on the mat. The dog sat on the step!  Did the cat see the dog?
The dog\u2019s mat... was red; the cat's was not.  Over the hill and far away:
the end"""


def pavro(cwd, *args, **options):
    """Run `python -m pavro ARGS` in `cwd`; the result with text stdout and stderr."""
    options.setdefault("stdout", subprocess.PIPE)
    options.setdefault("stderr", subprocess.PIPE)
    return subprocess.run([sys.executable, "-m", "pavro"] + [str(arg) for arg in args],
                          cwd=str(cwd), universal_newlines=True, timeout=120, **options)


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


@pytest.mark.parametrize("writer", [[], ["--streaming"]])
def test_train_info_convert_agree(work, writer):
    trained = ok(work, "train", "a.txt", "--builtin", "-o", "m.json", "--state-size", "3", *writer)
    sentences = sentences_of(TEXT) + sentences_of(BUILTIN_TEXT)
    assert trained.splitlines()[0] == "learnt {} sentences, {} words from 2 texts".format(
        len(sentences), sum(map(len, sentences)))
    assert report(trained)["format"] == "compressed"
    assert ok(work, "info", "m.json") == trained.split("\n", 1)[1]

    converted = ok(work, "convert", "m.json", "p.json", "--plain")
    assert ok(work, "info", "p.json") == converted.split("\n", 1)[1]
    assert report(converted)["format"] == "plain"
    assert counts(converted) == dict(counts(trained), format="plain")

    # Back to compressed: the same text as either writer saved first.
    ok(work, "convert", "p.json", "c.json")
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
    "words.txt": "... !? ...",
}


@pytest.mark.parametrize("args, message", [
    (["train", "missing.txt", "-o", "m.json"], "cannot read missing.txt: No such file"),
    (["train", "latin1.txt", "-o", "m.json"], "cannot read latin1.txt: not UTF-8 text"),
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

    ok(work, "convert", "m.json", "out.json", "--force")
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
    done = pavro(work, "train", "a.txt", "-o", "m.json", "--progress")
    assert (done.returncode, done.stderr) == (0, "")

    pytest.importorskip("tqdm")
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
