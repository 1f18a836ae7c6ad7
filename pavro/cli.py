"""The pavro command-line tool: build, inspect, sample and convert chain models.

    python -m pavro train TEXT... -o MODEL.json   learn a model from text files
    python -m pavro say MODEL.json                draw sentences from a model
    python -m pavro info MODEL.json               count what a saved model holds
    python -m pavro convert IN.json OUT.json      rewrite a model compressed or plain

Documents are read with the streaming reader, so ``info`` needs memory only
for the distinct codes, and ``convert`` for the model once.  Outputs are
written beside their final name and renamed into place only when complete.

A failure the user can act on (a missing or unreadable file, text that is
not UTF-8, a broken document, an output that exists) is one line on
standard error and exit status 1; a wrong command line exits with 2 and
Ctrl-C with 130.  Long steps show a progress bar on a terminal when tqdm
is installed.
"""

from __future__ import annotations

import argparse
import io
import os
import random
import sys
import tempfile
from decimal import Decimal
from typing import (BinaryIO, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Set,
                    TextIO, Tuple, Union, cast)

import pavro_cjson
from pavro.bag import ChainModel, Code, ProbabilityBag, Weight, normalise_code
from pavro.text import BUILTIN_TEXT, draw_sentence, sentences_from

if sys.version_info >= (3, 8):
    from typing import Protocol
else:  # typing has no Protocol before 3.8; the checker never sees this branch
    Protocol = object

# Inputs from this size on get a progress bar without --progress: text is
# learnt at about 0.3 MiB/s and documents are read at about 1 MiB/s, so
# below it every step takes a few seconds at most.
PROGRESS_THRESHOLD = 1 << 20
# Characters of text decoded and split at a time while training.
TEXT_CHUNK = 1 << 20


class Failure(Exception):
    """A failure the user can act on; its message is printed as one line."""


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
    texts: List[str]
    builtin: bool
    state_size: int
    streaming: bool
    # say and info
    model: str
    # say
    n: int
    seed: Optional[int]
    max_words: int
    # convert
    input: str


def reason(error: BaseException) -> str:
    """What went wrong, in one line, for an error from a file or a reader."""
    if isinstance(error, UnicodeDecodeError):
        return "not UTF-8 text ({})".format(error.reason)
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    # Parser errors can run over several lines, the text around the fault.
    lines = str(error).strip().splitlines()
    name = type(error).__name__
    return "{}: {}".format(name, lines[0].strip()) if lines else name


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

    def __init__(self, label: str, total: int, shown: bool, unit: str = "B") -> None:
        self._bar: Optional[_Bar] = None
        if not (shown and sys.stderr.isatty()):
            return
        try:
            # tqdm ships no types; the bar is used as _Bar describes it.
            from tqdm import tqdm  # type: ignore[import-untyped]
        except ImportError:
            return
        self._bar = tqdm(total=total, desc=label, unit=unit, unit_scale=True,
                         unit_divisor=1024 if unit == "B" else 1000, leave=False,
                         file=sys.stderr)

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


class _ReadWatcher:
    """A binary file whose reads move a progress bar to the file position."""

    def __init__(self, file: BinaryIO, bar: Progress) -> None:
        self._file = file
        self._bar = bar

    def read(self, size: int = -1) -> bytes:
        data = self._file.read(size)
        self._bar.to(self._file.tell())
        return data


class _WalkWatcher:
    """A model as the writers see it, moving a progress bar one start code at a time."""

    def __init__(self, model: ChainModel, bar: Progress) -> None:
        self._model = model
        self._bar = bar

    def build_frequency_dict(self) -> Dict[Code, int]:
        return self._model.build_frequency_dict()

    def __len__(self) -> int:
        return len(self._model)

    def items(self) -> Iterator[Tuple[Code, ProbabilityBag]]:
        for done, item in enumerate(self._model.items(), 1):
            yield item
            self._bar.to(done)


# -- files --------------------------------------------------------------------


def input_size(path: str) -> int:
    """The size of the readable file `path`, or a Failure saying why there is none."""
    try:
        size = os.stat(path).st_size
    except OSError as error:
        raise Failure("cannot read {}: {}".format(path, reason(error)))
    if os.path.isdir(path):
        raise Failure("cannot read {}: it is a directory".format(path))
    return size


def check_output(path: str, force: bool) -> None:
    """Fail before any work if `path` cannot become the output."""
    if os.path.isdir(path):
        raise Failure("cannot write {}: it is a directory".format(path))
    if not force and os.path.lexists(path):
        raise Failure("{} exists; pass --force to replace it".format(path))
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise Failure("cannot write {}: no directory {}".format(path, directory))


def _new_file_mode(path: str) -> int:
    # A replaced file keeps its permissions; a new one gets the usual ones,
    # not the owner-only ones of a temporary file.
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def write_replacing(path: str, force: bool,
                    write: Callable[[TextIO], object]) -> None:
    """Call `write(file)` on a text file that becomes `path` only once it is complete.

    The file is made beside `path`, so the final rename cannot cross file
    systems; on any failure it is removed and `path` stays as it was.
    """
    directory, name = os.path.split(os.path.abspath(path))
    try:
        descriptor, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".tmp",
                                                 dir=directory)
    except OSError as error:
        raise Failure("cannot write {}: {}".format(path, reason(error)))
    try:
        with io.open(descriptor, "w", encoding="utf-8", newline="") as file:
            write(file)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, _new_file_mode(path))
        # Checked again: the file may have appeared while we worked.
        if not force and os.path.lexists(path):
            raise Failure("{} exists; pass --force to replace it".format(path))
        os.replace(temporary, path)
    except OSError as error:
        _remove(temporary)
        raise Failure("cannot write {}: {}".format(path, reason(error)))
    except BaseException:
        _remove(temporary)
        raise


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def load_document(model: Union[ChainModel, Summary], path: str,
                  arguments: Arguments) -> int:
    """Load the document `path` into `model` with the streaming reader."""
    size = input_size(path)
    label = "loading " + os.path.basename(path)
    try:
        with open(path, "rb") as file, \
                Progress(label, size, progress_shown(arguments, size)) as bar:
            pavro_cjson.load_json_big(model, _ReadWatcher(file, bar))
    except MemoryError:
        raise Failure("not enough memory to load {}".format(path))
    except OSError as error:
        raise Failure("cannot read {}: {}".format(path, reason(error)))
    except Exception as error:  # noqa: BLE001 - whatever the reader says is the answer
        raise Failure("{} is not a readable chain document: {}".format(path, reason(error)))
    return size


def save_document(model: ChainModel, path: str, arguments: Arguments, shown: bool,
                  streaming: bool = True) -> str:
    """Save `model` to `path`, compressed unless --plain; return the format written."""
    writer = pavro_cjson.dump_json_big if streaming else pavro_cjson.dump_json_small
    compress = not arguments.plain
    with Progress("saving " + os.path.basename(path), len(model), shown, unit="codes") as bar:
        write_replacing(path, arguments.force,
                        lambda file: writer(_WalkWatcher(model, bar), file,
                                            frequency_compress=compress))
    return "compressed" if compress else "plain"


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
        # How followers arrived: decoding generators from a compressed
        # document, the parsed lists from a plain one.
        self.formats: Set[str] = set()

    def clear(self) -> None:
        Summary.__init__(self)

    def add_to_bag(self, start: object, follower: Iterable[object],
                   count: Union[Weight, Decimal] = 1) -> None:
        start = normalise_code(start)
        self.starts.add(start)
        self.codes.add(start)
        self.formats.add("plain" if isinstance(follower, list) else "compressed")
        # Drawn to its end before returning, as the streaming reader requires.
        for code in follower:
            self.codes.add(normalise_code(code))
        self.followers += 1
        self.total += float(count) if isinstance(count, Decimal) else count

    def report(self, path: str, size: int) -> None:
        if len(self.formats) == 1:
            document_format = next(iter(self.formats))
        else:
            document_format = "mixed" if self.formats else "either (no followers)"
        report(path, document_format, size, len(self.starts), self.followers, self.total,
               len(self.codes))


def report_model(model: ChainModel, path: str, document_format: str) -> None:
    """Report what `model`, just saved to `path`, holds, as `info` would report the file.

    Counted through the model's own methods, not as `info` counts, so
    that the two reports check each other.
    """
    report(path, document_format, os.path.getsize(path), len(model),
           sum(bag.unique_count for _, bag in model.items()),
           sum(bag.total for _, bag in model.items()),
           len(model.build_frequency_dict()))


def report(path: str, document_format: str, size: int, starts: int, followers: int,
           total: Weight, codes: int) -> None:
    rows: List[Tuple[str, object]] = [
        ("document", path),
        ("format", document_format),
        ("size", "{} bytes".format(size)),
        ("start codes", starts),
        ("followers", followers),
        ("total weight", total),
        ("distinct codes", codes),
    ]
    for label, value in rows:
        print("{:<16}{}".format(label + ":", value))


# -- the commands -------------------------------------------------------------


def _text_chunks(path: str, bar: Progress, done: int) -> Iterator[str]:
    with io.open(path, encoding="utf-8") as text:
        # A text file opened by name reads through a BufferedReader, whose
        # position tells how much of the file has been decoded.
        buffer = cast(io.BufferedReader, text.buffer)
        while True:
            chunk = text.read(TEXT_CHUNK)
            bar.to(done + buffer.tell())
            if not chunk:
                return
            yield chunk


def train(arguments: Arguments) -> None:
    check_output(arguments.output, arguments.force)
    sizes = [input_size(path) for path in arguments.texts]
    shown = progress_shown(arguments, sum(sizes))
    model = ChainModel()
    sentences = words = 0
    with Progress("reading text", sum(sizes), shown) as bar:
        sources: List[Tuple[str, Iterable[str]]] = (
            [("the built-in text", [BUILTIN_TEXT])] if arguments.builtin else [])
        for index, path in enumerate(arguments.texts):
            sources.append((path, _text_chunks(path, bar, sum(sizes[:index]))))
        for name, chunks in sources:
            try:
                for sentence in sentences_from(chunks):
                    model.learn(sentence, arguments.state_size)
                    sentences += 1
                    words += len(sentence)
            except (OSError, UnicodeDecodeError) as error:
                raise Failure("cannot read {}: {}".format(name, reason(error)))
    if not words:
        raise Failure("found no words to learn from")

    document_format = save_document(model, arguments.output, arguments, shown,
                                    streaming=arguments.streaming)
    print("learnt {} sentences, {} words from {}".format(
        sentences, words, sources[0][0] if len(sources) == 1 else "{} texts".format(len(sources))))
    report_model(model, arguments.output, document_format)


def say(arguments: Arguments) -> None:
    model = ChainModel()
    load_document(model, arguments.model, arguments)
    starts = [start for start, _ in model.items()]
    if not starts:
        raise Failure("{} holds no start codes to begin a sentence with".format(arguments.model))
    rng = random.Random(arguments.seed)
    for _ in range(arguments.n):
        print(draw_sentence(model, rng.choice(starts), rng, arguments.max_words))


def info(arguments: Arguments) -> None:
    summary = Summary()
    size = load_document(summary, arguments.model, arguments)
    summary.report(arguments.model, size)


def convert(arguments: Arguments) -> None:
    check_output(arguments.output, arguments.force)
    model = ChainModel()
    size = load_document(model, arguments.input, arguments)
    document_format = save_document(model, arguments.output, arguments,
                                    progress_shown(arguments, size))
    print("converted {} to {}".format(arguments.input, arguments.output))
    report_model(model, arguments.output, document_format)


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
    output.add_argument("--force", action="store_true", help="replace an existing output file")

    parser = argparse.ArgumentParser(
        prog=prog, description="Build, inspect, sample and convert pavro chain models "
                               "saved as JSON documents.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    command = commands.add_parser(
        "train", parents=[output, progress], help="learn a model from UTF-8 text files",
        description="Learn which words follow which in UTF-8 text files and save the model.")
    command.add_argument("texts", nargs="*", metavar="TEXT", help="a UTF-8 text file")
    command.add_argument("--builtin", action="store_true", help="learn from a built-in text too")
    command.add_argument("-o", "--output", required=True, metavar="MODEL.json",
                         help="where to save the model")
    command.add_argument("--state-size", type=_at_least_one, default=2, metavar="N",
                         help="words in each follower (default: 2)")
    command.add_argument("--streaming", action="store_true",
                         help="save with the streaming writer, which holds no second copy "
                              "of the model")
    command.set_defaults(run=train, parser=command)

    command = commands.add_parser(
        "say", parents=[progress], help="draw sentences from a model",
        description="Load a model and draw sentences from it, each from a random start code.")
    command.add_argument("model", metavar="MODEL.json")
    command.add_argument("-n", type=_at_least_one, default=3, metavar="N",
                         help="how many sentences (default: 3)")
    command.add_argument("--seed", type=int, help="seed for the random choices")
    command.add_argument("--max-words", type=_at_least_one, default=25, metavar="N",
                         help="words per sentence at most (default: 25)")
    command.set_defaults(run=say)

    command = commands.add_parser(
        "info", parents=[progress], help="count what a saved model holds",
        description="Read a document with the streaming reader, without holding the model, "
                    "and report its format, size, start codes, followers, total weight "
                    "and distinct codes.")
    command.add_argument("model", metavar="MODEL.json")
    command.set_defaults(run=info)

    command = commands.add_parser(
        "convert", parents=[output, progress], help="rewrite a model compressed or plain",
        description="Load a document with the streaming reader and save it again with the "
                    "streaming writer, compressed unless --plain.  OUT appears only once "
                    "it is complete.")
    command.add_argument("input", metavar="IN.json")
    command.add_argument("output", metavar="OUT.json")
    command.set_defaults(run=convert)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
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
        print("pavro: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # Whoever read the output stopped early (`say | head`).  Standard
        # output goes nowhere from now on, so that closing it cannot fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
