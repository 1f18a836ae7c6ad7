"""The pavro command-line tool: build, inspect, sample and convert chain models.

    python -m pavro train TEXT... -o MODEL.json   learn a model from text files
    python -m pavro say MODEL.json                draw sentences from a model
    python -m pavro info MODEL.json               count what a saved model holds
    python -m pavro convert IN.json OUT.json      rewrite a model compressed or plain

`train` learns an order-N sentence chain (pavro.sentences); documents of
the first-order kind that earlier versions wrote still load and still
`say`.  Documents are read with the streaming reader, so ``info`` needs
memory only for the distinct codes, and ``convert`` for the model once;
a document whose keys were sorted is read whole instead.  An output is
written beside its final name (through a symbolic link, beside the file
it points to) and renamed into place only when complete; ``-`` is
standard output for an output and standard input for an input.

A failure the user can act on (a missing or unreadable file, text that is
not UTF-8, a broken document, an output that exists) is one line on
standard error and exit status 1; a wrong command line exits with 2,
Ctrl-C with 130 and SIGTERM or SIGHUP with 128 plus the signal's number,
leaving no temporary file behind.  Long steps show a progress bar on a
terminal when tqdm is installed.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import io
import multiprocessing
import operator
import os
import random
import signal
import struct
import sys
from decimal import Decimal
from typing import (BinaryIO, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Set,
                    TextIO, Tuple, Union)

import pavro_cjson
from pavro import ChainModel
from pavro.bag import Code, ProbabilityBag, Weight, normalise_code
from pavro.files import (ENDING_SIGNALS, STDIO, Failure, Output, Stopped, describe,
                         first_bad_utf8, handle_ending_signals, ignore_ending_signals,
                         input_size, pieces_of, reason, text_chunks)
from pavro.sentences import Kind, Learner, SourceDigest, add_digest, kind_of, sentence_key, walk
from pavro.text import BUILTIN_TEXT, draw_sentence, sentences_from

if sys.version_info >= (3, 8):
    from typing import Protocol
else:  # typing has no Protocol before 3.8; the checker never sees this branch
    Protocol = object

# Inputs from this size on get a progress bar without --progress: text is
# learnt at about 1 MiB/s and documents are read at about 1 MiB/s, so
# below it every step takes a few seconds at most.
PROGRESS_THRESHOLD = 1 << 20
# The signals that end the tool, blocked while a child is started.
STOPPING = set(ENDING_SIGNALS + [signal.SIGINT])
# What the streaming reader says of a document whose keys were sorted.
CHAIN_FIRST = "the chain table came before the code table"


def version() -> str:
    try:
        if sys.version_info >= (3, 8):
            from importlib.metadata import version as installed
        else:  # pragma: no cover - importlib.metadata is new in 3.8
            from importlib_metadata import version as installed  # type: ignore[import-not-found]
        return str(installed("pavro-cjson"))
    except Exception:  # noqa: BLE001 - run from a source tree: no metadata to read
        return "(not installed)"


class Arguments(argparse.Namespace):
    """The parsed command line; each command has the options it was given."""

    command: str
    # The command's function, and (for train) its parser, to report misuse.
    run: Callable[[Arguments], None]
    parser: argparse.ArgumentParser
    # None: shown for large inputs only.
    progress: Optional[bool]
    # train and convert
    output: str
    plain: bool
    force: bool
    # train
    compressed: bool
    texts: List[str]
    builtin: bool
    state_size: int
    streaming: bool
    jobs: int
    # say and info
    model: str
    # say
    n: int
    seed: Optional[int]
    max_words: int
    tries: int
    # convert
    input: str


# -- progress -----------------------------------------------------------------


class _Bar(Protocol):
    """What Progress uses of a tqdm bar."""

    n: float

    def update(self, n: float = 1) -> object: ...

    def close(self) -> None: ...


class Progress:
    """A progress bar on standard error, or nothing.

    The bar shows only when `shown`, when standard error is a terminal and
    when tqdm can be imported; otherwise every method does nothing.
    """

    # Said once per run: --progress was asked for and tqdm is missing.
    missing_said = False

    def __init__(self, label: str, total: Optional[int], shown: bool, unit: str = "B",
                 asked: bool = False) -> None:
        self._bar: Optional[_Bar] = None
        if not (shown and (asked or sys.stderr.isatty())):
            return
        try:
            # tqdm ships no types; the bar is used as _Bar describes it.
            from tqdm import tqdm  # type: ignore[import-untyped]
        except ImportError:
            if asked and not Progress.missing_said:
                Progress.missing_said = True
                print("pavro: --progress needs tqdm (pip install tqdm); going on without "
                      "a progress bar", file=sys.stderr)
            return
        if not sys.stderr.isatty():
            return
        self._bar = tqdm(total=total or None, desc=label, unit=unit, unit_scale=True,
                         unit_divisor=1024 if unit == "B" else 1000, leave=False,
                         file=sys.stderr)

    @property
    def shown(self) -> bool:
        return self._bar is not None

    def to(self, position: int) -> None:
        if self._bar is not None:
            self._bar.update(position - self._bar.n)

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._bar is not None:
            self._bar.close()


def progress_shown(arguments: Arguments, size: int) -> bool:
    return arguments.progress if arguments.progress is not None else size >= PROGRESS_THRESHOLD


def progress(label: str, arguments: Arguments, size: int, unit: str = "B",
             shown: Optional[bool] = None) -> Progress:
    return Progress(label, size, progress_shown(arguments, size) if shown is None else shown,
                    unit, asked=bool(arguments.progress))


class _ReadWatcher:
    """A binary file whose reads move a progress bar to the file position."""

    def __init__(self, file: BinaryIO, bar: Progress) -> None:
        self._file = file
        self._bar = bar
        # Counted, not asked of the file: standard input may be a pipe.
        self.done = 0

    def read(self, size: int = -1) -> bytes:
        data = self._file.read(size)
        self.done += len(data)
        self._bar.to(self.done)
        return data


class _WalkWatcher:
    """A model as the writers see it, moving a progress bar one start code at a time.

    Keeps how many distinct codes the writer's frequency table held, so
    that the report after a save need not build the table again.  With no
    bar shown, ``items`` is the model's own, so no Python code runs per
    start code.
    """

    def __init__(self, model: ChainModel, bar: Progress) -> None:
        self._model = model
        self._bar = bar
        self.distinct_codes: Optional[int] = None
        if not bar.shown:
            self.items = model.items  # type: ignore[method-assign]

    def build_frequency_dict(self) -> Dict[Code, int]:
        frequencies = self._model.build_frequency_dict()
        self.distinct_codes = len(frequencies)
        return frequencies

    def __len__(self) -> int:
        return len(self._model)

    def items(self) -> Iterator[Tuple[Code, ProbabilityBag]]:
        for done, item in enumerate(self._model.items(), 1):
            yield item
            self._bar.to(done)


# -- documents ----------------------------------------------------------------


def _open_binary(path: str) -> BinaryIO:
    return sys.stdin.buffer if path == STDIO else open(path, "rb")


def load_document(model: Union[ChainModel, Summary], path: str,
                  arguments: Arguments) -> int:
    """Load the document `path` into `model`; return its size in bytes.

    The streaming reader serves, but for a document whose keys were sorted
    (the chain table first): that one is read again with the whole-document
    reader, which takes the tables in either order.
    """
    size = input_size(path)
    name = describe(path)
    try:
        try:
            with progress("loading " + os.path.basename(name), arguments, size) as bar:
                file = _open_binary(path)
                watcher = _ReadWatcher(file, bar)
                try:
                    pavro_cjson.load_json_big(model, watcher)
                finally:
                    if path != STDIO:
                        file.close()
                size = size if path != STDIO else watcher.done
        except ValueError as error:
            if not str(error).startswith(CHAIN_FIRST):
                raise
            if path == STDIO:
                raise Failure("standard input holds a document whose keys were sorted (the "
                              "chain table first), which only a second reading could decode; "
                              "save it to a file and give its name")
            model.clear()
            with io.open(path, encoding="utf-8") as text:
                pavro_cjson.load_json_small(model, text, merge=True)
    except MemoryError:
        raise Failure("not enough memory to load {}".format(name))
    except OSError as error:
        raise Failure("cannot read {}: {}".format(name, reason(error)))
    except Failure:
        raise
    except Exception as error:  # noqa: BLE001 - whatever the reader says is the answer
        raise Failure("{} is not a readable chain document: {}".format(
            name, fault_in_document(path, error)))
    return size


def fault_in_document(path: str, error: Exception) -> str:
    """What is wrong with the document `path`, which a reader refused with `error`."""
    bad = first_bad_utf8(path) if path != STDIO else None
    if bad is not None:
        return bad
    if isinstance(error, KeyError) and error.args:
        token = error.args[0]
        where = locate_token(path, token) if path != STDIO else None
        if where is None and token in ("codes", "chain"):
            return ('no "{}" member (a chain document is a JSON object with "codes" and '
                    '"chain")'.format(token))
        return "token {!r}{} is not in the code table".format(
            token, " (" + where + ")" if where else "")
    return reason(error)


def locate_token(path: str, token: object) -> Optional[str]:
    """Where the document `path` first uses `token` in its chain table, in words."""
    ijson = pavro_cjson.ijson
    entry = follower = 0
    try:
        with open(path, "rb") as file:
            for prefix, event, value in ijson.parse(file):
                if prefix == "chain.item" and event in ("start_array", "string", "number",
                                                        "boolean", "null"):
                    entry += 1
                    follower = 0
                    if event != "start_array" and entry % 2 and value == token:
                        return "the start token of chain entry {}".format(entry // 2 + 1)
                elif prefix == "chain.item.item" and event == "start_array":
                    follower += 1
                elif prefix == "chain.item.item.item" and value == token and \
                        event in ("string", "number"):
                    return "in follower {} of chain entry {}".format(
                        (follower + 1) // 2, entry // 2)
    except Exception:  # noqa: BLE001 - the first reader's error is the one reported
        return None
    return None


def save_document(model: ChainModel, output: Output, arguments: Arguments, shown: bool,
                  streaming: bool = True) -> Tuple[str, Optional[int]]:
    """Save `model` to `output`, compressed unless --plain.

    Returns the format written and, when the writer counted them, the
    number of distinct codes.
    """
    writer = pavro_cjson.dump_json_big if streaming else pavro_cjson.dump_json_small
    compress = not arguments.plain
    label = "saving " + os.path.basename(describe(output.path, output=True))
    with progress(label, arguments, len(model), unit="codes", shown=shown) as bar:
        watched = _WalkWatcher(model, bar)
        output.write(lambda file: writer(watched, file, frequency_compress=compress))
    return ("compressed" if compress else "plain"), watched.distinct_codes


# -- counting -----------------------------------------------------------------


class Summary:
    """What a model holds, counted by a stand-in model that holds nothing else.

    Handed to ``load_json_big`` as the chain, it keeps the distinct codes
    and a few numbers, never a follower, so a document of any size can be
    counted in the memory its vocabulary needs.
    """

    def __init__(self) -> None:
        self.starts: Set[Code] = set()
        self.codes: Set[Code] = set()
        self.followers = 0
        self.total: Weight = 0
        self.kind = Kind()
        self.digest = 0
        # How followers arrived: decoding generators from a compressed
        # document, the parsed lists from a plain one.
        self.formats: Set[str] = set()

    def clear(self) -> None:
        Summary.__init__(self)

    def add_to_bag(self, start: object, follower: Iterable[object],
                   count: Union[Weight, Decimal] = 1) -> None:
        start = normalise_code(start)
        if start not in self.starts:
            self.starts.add(start)
            self.kind.see(start)
        self.codes.add(start)
        self.formats.add("plain" if isinstance(follower, list) else "compressed")
        # Drawn to its end before returning, as the streaming reader requires.
        codes = [normalise_code(code) for code in follower]
        self.codes.update(codes)
        if start is None:
            self.digest += len(SourceDigest(codes))
        self.followers += 1
        self.total += float(count) if isinstance(count, Decimal) else count

    def set_bag(self, start: object, bag: ProbabilityBag) -> None:
        # The whole-document reader's replace mode: counted as added.
        for follower, count in bag.choices():
            self.add_to_bag(start, follower, count)

    def report(self, path: str, size: int) -> None:
        if len(self.formats) == 1:
            document_format = next(iter(self.formats))
        else:
            document_format = "mixed" if self.formats else "either (no followers)"
        report(describe(path), document_format, self.kind, self.digest, size, len(self.starts),
               self.followers, self.total, len(self.codes))


def report_model(model: ChainModel, output: Output, document_format: str,
                 distinct_codes: Optional[int] = None) -> None:
    """Report what `model`, just saved to `output`, holds, as `info` would report the file.

    Counted through the model's own methods, not as `info` counts, so
    that the two reports check each other; `distinct_codes` is what the
    writer's frequency table held, if it built one.  Goes to standard
    error when the document went to standard output.
    """
    if distinct_codes is None:
        distinct_codes = len(model.build_frequency_dict())
    bags = operator.itemgetter(1)
    report(describe(output.path, output=True), document_format, kind_of(model),
           len(SourceDigest.of_model(model)), output.size, len(model),
           sum(map(operator.attrgetter("unique_count"), map(bags, model.items()))),
           sum(map(operator.attrgetter("total"), map(bags, model.items()))),
           distinct_codes, sys.stderr if output.to_stdout else sys.stdout)


def report(path: str, document_format: str, kind: Kind, digest: int, size: int, starts: int,
           followers: int, total: Weight, codes: int, file: TextIO = sys.stdout) -> None:
    rows: List[Tuple[str, object]] = [
        ("document", path),
        ("format", document_format),
        ("kind", kind.describe()),
    ]
    if kind.order is not None:
        rows.append(("source digest", "{} sentences".format(digest) if digest else "none"))
    rows += [
        ("size", "{} bytes".format(size)),
        ("start codes", starts),
        ("followers", followers),
        ("total weight", total),
        ("distinct codes", codes),
    ]
    for label, value in rows:
        print("{:<16}{}".format(label + ":", value), file=file)


# -- training -----------------------------------------------------------------


Piece = Tuple[str, int, Optional[int]]


def learn_piece(learner: Learner, piece: Piece, moved: Callable[[int], None]) -> None:
    """Learn the bytes `start` to `end` of a text file (or standard input) into `learner`."""
    path, start, end = piece
    try:
        file = _open_binary(path)
        try:
            if start:
                file.seek(start)
            learner.learn(sentences_from(text_chunks(file, path, start, end, moved)))
        finally:
            if path != STDIO:
                file.close()
    except OSError as error:
        raise Failure("cannot read {}: {}".format(describe(path), reason(error)))


def learn_alone(learner: Learner, arguments: Arguments, sizes: List[int]) -> None:
    with progress("reading text", arguments, sum(sizes)) as bar:
        done = 0
        for path, size in zip(arguments.texts, sizes):
            learn_piece(learner, (path, 0, None), lambda position: bar.to(done + position))
            done += size


def _train_shard(shard: List[Piece], order: int, reader: int, writer: int,
                 stdin_copy: Optional[int]) -> None:
    """In a child process: learn `shard`, then send its digest and its document down `writer`."""
    os.close(reader)
    if stdin_copy is not None:
        os.dup2(stdin_copy, 0)
        sys.stdin = io.TextIOWrapper(io.open(0, "rb", closefd=False))
    # The parent ends this process with SIGTERM; Ctrl-C and a hang-up are
    # the parent's to handle.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPPING)
    with os.fdopen(writer, "wb") as pipe:
        learner = Learner(ChainModel(), order)
        try:
            for piece in shard:
                learn_piece(learner, piece, lambda position: None)
        except (Failure, MemoryError) as error:
            message = str(error) if isinstance(error, Failure) else "not enough memory to learn"
            _send(pipe, b"E", message.encode("utf-8"))
            return
        head = "{} {}\n".format(learner.sentences, learner.words)
        _send(pipe, b"D", (head + "".join(sorted(learner.records))).encode("ascii"))
        text = io.TextIOWrapper(pipe, encoding="utf-8", newline="")
        pavro_cjson.dump_json_big(learner.model, text, frequency_compress=False)
        text.flush()
        text.detach()


def _send(pipe: BinaryIO, kind: bytes, payload: bytes) -> None:
    pipe.write(kind + struct.pack("!Q", len(payload)) + payload)
    pipe.flush()


def learn_in_jobs(learner: Learner, arguments: Arguments) -> None:
    """Learn the texts in shards, one process each, and merge their documents in order.

    Each child learns its part of the text into a model of its own and
    writes it as a plain document down a pipe; the parent merges them in
    text order with ``load_json_big(..., merge=True)``.  Counts add up, and
    every start and follower first appears in the same order as in one
    pass over the whole text, so the model is the one a single process
    learns.
    """
    shards = pieces_of(arguments.texts, arguments.jobs)
    if len(shards) == 1:
        learn_alone(learner, arguments, [input_size(path) for path in arguments.texts])
        return
    context = multiprocessing.get_context("fork")
    children: List[Tuple[multiprocessing.process.BaseProcess, int]] = []
    # A child's standard input is closed as it starts; the one that reads
    # it gets a copy.
    stdin_copy = os.dup(0) if STDIO in arguments.texts else None
    try:
        for shard in shards:
            reader, writer = os.pipe()
            child = context.Process(
                target=_train_shard, daemon=True,
                args=(shard, learner.order, reader, writer,
                      stdin_copy if any(path == STDIO for path, _, _ in shard) else None))
            # A signal waits until the child is in the list the clean-up
            # ends; the child unblocks it once its own handlers are set.
            signal.pthread_sigmask(signal.SIG_BLOCK, STOPPING)
            try:
                child.start()
                children.append((child, reader))
            finally:
                signal.pthread_sigmask(signal.SIG_UNBLOCK, STOPPING)
            os.close(writer)
        if stdin_copy is not None:
            os.close(stdin_copy)
            stdin_copy = None
        with progress("merging", arguments, len(children), unit="shards",
                      shown=progress_shown(arguments, sum(map(input_size, arguments.texts)))
                      ) as bar:
            for number, (merged, reader) in enumerate(children, 1):
                _merge_shard(learner, merged, reader, number)
                bar.to(number)
    finally:
        if stdin_copy is not None:
            os.close(stdin_copy)
        for ended, reader in children:
            if ended.is_alive():
                ended.terminate()
            ended.join()
            try:
                os.close(reader)
            except OSError:
                pass


def _merge_shard(learner: Learner, child: multiprocessing.process.BaseProcess, reader: int,
                 number: int) -> None:
    with os.fdopen(os.dup(reader), "rb") as pipe:
        kind = pipe.read(1)
        if not kind:
            child.join()
            raise Failure("training process {} ended with status {} before it was done".format(
                number, child.exitcode))
        (length,) = struct.unpack("!Q", pipe.read(8))
        payload = pipe.read(length).decode("utf-8")
        if kind == b"E":
            raise Failure(payload)
        head, records = payload.split("\n", 1)
        sentences, words = head.split()
        learner.sentences += int(sentences)
        learner.words += int(words)
        learner.records.update(records[i:i + 8] for i in range(0, len(records), 8))
        try:
            pavro_cjson.load_json_big(learner.model, pipe, merge=True)
        except Exception as error:  # noqa: BLE001 - a child that failed half-way
            child.join()
            raise Failure("training process {} failed (status {}): {}".format(
                number, child.exitcode, reason(error)))
    child.join()
    if child.exitcode:
        raise Failure("training process {} failed with status {}".format(number, child.exitcode))


# -- the commands -------------------------------------------------------------


@contextlib.contextmanager
def no_cycle_collection() -> Iterator[None]:
    """Pause the cyclic garbage collector, as it was before on the way out.

    Learning makes millions of tuples and no cycles; every collection
    would walk all the tuples that are still alive, for nothing.
    """
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def train(arguments: Arguments) -> None:
    arguments.plain = arguments.plain or not arguments.compressed
    with Output(arguments.output, arguments.force) as output, no_cycle_collection():
        sizes = [input_size(path) for path in arguments.texts]
        if arguments.texts.count(STDIO) > 1:
            raise Failure("standard input can be read only once; give - once")
        model = ChainModel()
        learner = Learner(model, arguments.state_size)
        if arguments.builtin:
            learner.learn(sentences_from([BUILTIN_TEXT]))
        if arguments.jobs > 1:
            learn_in_jobs(learner, arguments)
        else:
            learn_alone(learner, arguments, sizes)
        if not learner.words:
            raise Failure("found no words to learn from")
        add_digest(model, learner.records)
        document_format, distinct_codes = save_document(
            model, output, arguments, progress_shown(arguments, sum(sizes)),
            streaming=arguments.streaming)
        if distinct_codes is None and arguments.jobs == 1:
            # One process learnt every pair, so the learner can tell.
            distinct_codes = learner.distinct_codes()
    sources = ["the built-in text"] * arguments.builtin + [describe(path)
                                                           for path in arguments.texts]
    out = sys.stderr if output.to_stdout else sys.stdout
    print("learnt {} sentences, {} words from {}".format(
        learner.sentences, learner.words,
        sources[0] if len(sources) == 1 else "{} texts".format(len(sources))), file=out)
    report_model(model, output, document_format, distinct_codes)


def say(arguments: Arguments) -> None:
    model = ChainModel()
    load_document(model, arguments.model, arguments)
    if not len(model):
        raise Failure("{} holds no start codes to begin a sentence with".format(
            describe(arguments.model)))
    rng = random.Random(arguments.seed)
    order = kind_of(model).order
    if order is None:
        # The first-order kind knows no beginnings: any start code serves.
        starts = [start for start, _ in model.items()]
        for _ in range(arguments.n):
            print(draw_sentence(model, rng.choice(starts), rng, arguments.max_words))
        return
    digest = SourceDigest.of_model(model)
    for _ in range(arguments.n):
        print(capitalised(draw(model, order, digest, rng, arguments.max_words, arguments.tries)))


def draw(model: ChainModel, order: int, digest: SourceDigest, rng: random.Random,
         max_words: int, tries: int) -> List[Code]:
    """A sentence from beginning to end, of at most `max_words`, that no source sentence is.

    Drawn up to `tries` times; when no draw gives such a sentence, the
    first complete one that repeats a source sentence serves, else the
    first draw cut at `max_words`.
    """
    repeated: Optional[List[Code]] = None
    cut: Optional[List[Code]] = None
    for _ in range(tries):
        words, ended = walk(model, order, rng, max_words)
        if ended and words:
            if sentence_key(words) not in digest:
                return words
            repeated = repeated or words
        elif cut is None:
            cut = words[:max_words]
    return repeated or cut or []


def capitalised(words: List[Code]) -> str:
    text = " ".join(str(word) for word in words)
    return text[:1].upper() + text[1:] + "."


def info(arguments: Arguments) -> None:
    summary = Summary()
    size = load_document(summary, arguments.model, arguments)
    summary.report(arguments.model, size)


def convert(arguments: Arguments) -> None:
    with Output(arguments.output, arguments.force) as output:
        model = ChainModel()
        size = load_document(model, arguments.input, arguments)
        document_format, distinct_codes = save_document(model, output, arguments,
                                                        progress_shown(arguments, size))
    out = sys.stderr if output.to_stdout else sys.stdout
    print("converted {} to {}".format(describe(arguments.input),
                                      describe(arguments.output, output=True)), file=out)
    report_model(model, output, document_format, distinct_codes)


# -- the command line ---------------------------------------------------------


def _at_least_one(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: {!r}".format(text))
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, not {}".format(value))
    return value


def build_parser(prog: str) -> argparse.ArgumentParser:
    progress = argparse.ArgumentParser(add_help=False)
    progress.add_argument("--progress", action="store_const", const=True, default=None,
                          help="show a progress bar on a terminal (default: for inputs of "
                               "{} MiB or more; needs tqdm)".format(PROGRESS_THRESHOLD >> 20))
    progress.add_argument("--no-progress", dest="progress", action="store_const", const=False,
                          help="never show a progress bar")
    output = argparse.ArgumentParser(add_help=False)
    output.add_argument("--plain", action="store_true",
                        help="write every code as itself instead of compressing codes "
                             "into rank numbers")
    output.add_argument("--force", action="store_true",
                        help="replace an existing output file (through a symbolic link, "
                             "the file it points to)")

    parser = argparse.ArgumentParser(
        prog=prog, description="Build, inspect, sample and convert pavro chain models "
                               "saved as JSON documents.")
    parser.add_argument("--version", action="version", version="%(prog)s " + version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    command = commands.add_parser(
        "train", parents=[output, progress], help="learn a model from UTF-8 text files",
        description="Learn which word follows each run of N words in the sentences of UTF-8 "
                    "text files, where sentences begin and where they end, and save the "
                    "model.  - reads standard input.")
    command.add_argument("texts", nargs="*", metavar="TEXT", help="a UTF-8 text file, or -")
    command.add_argument("--builtin", action="store_true", help="learn from a built-in text too")
    command.add_argument("-o", "--output", required=True, metavar="MODEL.json",
                         help="where to save the model (- for standard output)")
    command.add_argument("--state-size", type=_at_least_one, default=2, metavar="N",
                         help="words of each state, the words the next word is drawn "
                              "after (default: 2)")
    command.add_argument("--jobs", type=_at_least_one, default=1, metavar="N",
                         help="learn the texts in N processes and merge their models "
                              "(default: 1)")
    # The whole-document writer by default: it writes the same bytes in
    # half the time, for a document's worth of memory more at the peak.
    command.add_argument("--whole", dest="streaming", action="store_false", default=False,
                         help="save with the whole-document writer, which builds the "
                              "document in memory first (the default)")
    command.add_argument("--streaming", action="store_true",
                         help="save with the streaming writer, which holds no second copy "
                              "of the model (same bytes, slower)")
    # Plain by default: a sentence chain's states are tuple codes that occur
    # once each, which a code table only makes longer; from two words of
    # state on the plain document is also the smaller one.
    # (Its own dest: a default set on this parser would reach convert's
    # --plain too, through the parent parser's shared action.)
    command.add_argument("--compressed", action="store_true",
                         help="compress codes into rank numbers (smaller for --state-size 1 "
                              "only; the default is a plain document, --plain)")
    command.set_defaults(run=train, parser=command)

    command = commands.add_parser(
        "say", parents=[progress], help="draw sentences from a model",
        description="Load a model and draw sentences from it, each from a sentence's "
                    "beginning to a sentence's end.  Models of the first-order kind that "
                    "earlier versions wrote begin each sentence at a random start code.")
    command.add_argument("model", metavar="MODEL.json", help="a document, or - for standard input")
    command.add_argument("-n", type=_at_least_one, default=3, metavar="N",
                         help="how many sentences (default: 3)")
    command.add_argument("--seed", type=int, help="seed for the random choices")
    command.add_argument("--max-words", type=_at_least_one, default=25, metavar="N",
                         help="words per sentence at most (default: 25)")
    command.add_argument("--tries", type=_at_least_one, default=20, metavar="N",
                         help="draws per sentence at most, to find one that ends within "
                              "--max-words and repeats no source sentence (default: 20)")
    command.set_defaults(run=say)

    command = commands.add_parser(
        "info", parents=[progress], help="count what a saved model holds",
        description="Read a document with the streaming reader, without holding the model, "
                    "and report its format, kind, size, start codes, followers, total "
                    "weight and distinct codes.")
    command.add_argument("model", metavar="MODEL.json", help="a document, or - for standard input")
    command.set_defaults(run=info)

    command = commands.add_parser(
        "convert", parents=[output, progress], help="rewrite a model compressed or plain",
        description="Load a document with the streaming reader and save it again with the "
                    "streaming writer, compressed unless --plain.  OUT appears only once "
                    "it is complete.")
    command.add_argument("input", metavar="IN.json", help="a document, or - for standard input")
    command.add_argument("output", metavar="OUT.json", help="where to save it, or - for "
                                                            "standard output")
    command.set_defaults(run=convert)
    return parser


def _stopped(what: str, number: int) -> int:
    ignore_ending_signals()
    print("pavro: " + what, file=sys.stderr)
    sys.stderr.flush()
    # The one line is said.  A parser cut short complains as it is thrown
    # away (ijson's cffi backend does), which would only repeat it.
    sys.stderr = open(os.devnull, "w")
    return 128 + number


def main(argv: Optional[Sequence[str]] = None) -> int:
    handle_ending_signals()
    name = os.path.basename(sys.argv[0])
    parser = build_parser("python -m pavro" if name == "__main__.py" else name or "pavro")
    arguments = parser.parse_args(argv, namespace=Arguments())
    if arguments.command == "train" and not (arguments.texts or arguments.builtin):
        arguments.parser.error("give at least one TEXT file, or --builtin")
    try:
        arguments.run(arguments)
        # Inside the try: a reader that went away shows up here, not at exit.
        sys.stdout.flush()
    except Failure as failure:
        print("pavro: {}".format(failure), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return _stopped("interrupted", signal.SIGINT)
    except Stopped as stopped:
        return _stopped("stopped by " + stopped.name, stopped.number)
    except BrokenPipeError:
        # Whoever read the output stopped early (`say | head`).  Standard
        # output goes nowhere from now on, so that closing it cannot fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
