"""Save a chain model with every writer and load it back with every reader.

    python -m pavro.demo [TEXT_FILE] [--out DIR] [--length N] [--seed N]

Builds a chain model from a text (an embedded one by default), saves it
with ``dump_json_small`` and ``dump_json_big``, compressed and plain, loads
each file back with ``load_json_small`` and ``load_json_big``, checks that
every load equals the model it came from, and prints what it did.  Ends
with a sentence drawn from the model.  Exits with status 1 when any save
or load fails or any round trip does not give the model back.
"""

import argparse
import os
import random
import shutil
import sys
import tempfile
import time
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Set, Tuple

import pavro_cjson
from pavro.bag import ChainModel
from pavro.text import BUILTIN_TEXT, draw_sentence, sentences_of


def model_counts(model: ChainModel) -> Tuple[int, int]:
    """(start codes, followers) of `model`: its entries and their distinct followers."""
    return len(model), sum(bag.unique_count for _, bag in model.items())


# What each saved file is written with and read back with.  The streaming
# reader's parser wants bytes; everything else works on text.
Row = Dict[str, Any]
WRITERS: List[Tuple[str, Callable[..., None]]] = [
    ("dump_json_small", pavro_cjson.dump_json_small),
    ("dump_json_big", pavro_cjson.dump_json_big),
]
READERS: List[Tuple[str, Callable[..., None], str]] = [
    ("load_json_small", pavro_cjson.load_json_small, "r"),
    ("load_json_big", pavro_cjson.load_json_big, "rb"),
]


def save(writer: Callable[..., None], model: ChainModel, path: str, compress: bool) -> float:
    with open(path, "w", encoding="utf-8", newline="") as file:
        started = time.perf_counter()
        writer(model, file, frequency_compress=compress)
        # Closing flushes: the bytes on disk are part of the cost of a save.
        file.close()
        return time.perf_counter() - started


def load(reader: Callable[..., None], path: str, mode: str) -> Tuple[ChainModel, float]:
    model = ChainModel()
    encoding = None if "b" in mode else "utf-8"
    with open(path, mode, encoding=encoding) as file:
        started = time.perf_counter()
        reader(model, file)
        return model, time.perf_counter() - started


def describe_error(error: BaseException) -> str:
    text = "{}: {}".format(type(error).__name__, error)
    return text if len(text) <= 70 else text[:67] + "..."


def run(model: ChainModel, directory: str) -> Tuple[List[Row], List[str]]:
    """Save and load `model` every way; return (table rows, failure messages)."""
    rows: List[Row] = []
    failures: List[str] = []
    for writer_name, writer in WRITERS:
        for compress in (True, False):
            label = "compressed" if compress else "plain"
            path = os.path.join(directory, "{}-{}.json".format(writer_name[10:], label))
            row: Row = {"writer": writer_name, "compression": label}
            rows.append(row)
            try:
                row["save"] = save(writer, model, path, compress)
            except Exception as error:  # noqa: BLE001 - reported, then exit 1
                failures.append("{} {}: {}".format(writer_name, label, describe_error(error)))
                continue
            row["bytes"] = os.path.getsize(path)
            counts: Set[Tuple[int, int]] = set()
            for reader_name, reader, mode in READERS:
                what = "{} {} -> {}".format(writer_name, label, reader_name)
                try:
                    loaded, seconds = load(reader, path, mode)
                except Exception as error:  # noqa: BLE001
                    failures.append("{}: {}".format(what, describe_error(error)))
                    continue
                row[reader_name] = seconds
                counts.add(model_counts(loaded))
                if loaded == model:
                    row[reader_name + " ok"] = True
                else:
                    failures.append("{}: the loaded model differs from the saved one".format(what))
            row["counts"] = counts
    return rows, failures


def format_table(rows: List[Row]) -> str:
    def ms(seconds: Optional[float]) -> str:
        return "-" if seconds is None else "{:.2f}".format(seconds * 1000)

    def joined(values: Iterable[int]) -> str:
        return "/".join(str(value) for value in sorted(values)) if values else "-"

    header = ("writer", "compression", "bytes", "entries", "followers",
              "save ms", "load small ms", "load big ms", "round trip")
    lines = [header]
    for row in rows:
        counts = row.get("counts", set())
        round_trip = all(row.get(name + " ok") for name, _, _ in READERS)
        lines.append((
            row["writer"],
            row["compression"],
            str(row.get("bytes", "-")),
            joined({entries for entries, _ in counts}),
            joined({followers for _, followers in counts}),
            ms(row.get("save")),
            ms(row.get("load_json_small")),
            ms(row.get("load_json_big")),
            "yes" if round_trip else "NO",
        ))
    widths = [max(len(line[column]) for line in lines) for column in range(len(header))]
    # Names left-aligned, numbers right-aligned.
    left = {0, 1, 8}
    out = []
    for index, line in enumerate(lines):
        cells = [cell.ljust(width) if column in left else cell.rjust(width)
                 for column, (cell, width) in enumerate(zip(line, widths))]
        out.append("  ".join(cells).rstrip())
        if index == 0:
            out.append("  ".join("-" * width for width in widths))
    return "\n".join(out)


def sample_sentence(model: ChainModel, sentences: List[List[str]], seed: int,
                    max_words: int = 25) -> Optional[str]:
    """A sentence drawn from `model`, starting where a corpus sentence starts."""
    starts: List[str] = []
    for sentence in sentences:
        if sentence[0] in model and sentence[0] not in starts:
            starts.append(sentence[0])
    if not starts:
        return None
    rng = random.Random(seed)
    return draw_sentence(model, rng.choice(starts), rng, max_words)


def parse_arguments(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m pavro.demo",
        description="Save a chain model with each pavro_cjson writer, compressed and plain, "
                    "load it back with each reader and check that it round-trips.")
    parser.add_argument("text", nargs="?",
                        help="a UTF-8 text file to learn from (default: a built-in text)")
    parser.add_argument("--out", metavar="DIR",
                        help="keep the saved documents in DIR (default: a temporary "
                             "directory, removed afterwards)")
    parser.add_argument("--length", type=int, default=2, metavar="N",
                        help="codes per follower (default: 2)")
    parser.add_argument("--seed", type=int, default=6, metavar="N",
                        help="seed for the generated sentence (default: 6)")
    arguments = parser.parse_args(argv)
    if arguments.length < 1:
        parser.error("--length must be at least 1")
    return arguments


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    # Settled before any work, so that a bad --out costs nothing.
    if arguments.out is not None:
        directory = arguments.out
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as error:
            # An existing file makes makedirs say only "File exists".
            reason = ("it exists and is not a directory" if os.path.lexists(directory)
                      and not os.path.isdir(directory) else error.strerror or str(error))
            print("cannot keep the documents in {}: {}".format(directory, reason), file=sys.stderr)
            return 2
    if arguments.text is None:
        source, text = "the built-in text", BUILTIN_TEXT
    else:
        source = arguments.text
        try:
            with open(arguments.text, encoding="utf-8") as file:
                text = file.read()
        except (OSError, UnicodeDecodeError) as error:
            print("cannot read {}: {}".format(arguments.text, error), file=sys.stderr)
            return 2

    sentences = sentences_of(text)
    model = ChainModel.from_sequences(sentences, length=arguments.length)
    entries, followers = model_counts(model)
    print("Model: {} sentences, {} words from {}; {} start codes, {} followers of up to {} codes."
          .format(len(sentences), sum(len(s) for s in sentences), source,
                  entries, followers, arguments.length))
    print("JSON library: {}; streaming parser: {}".format(
        pavro_cjson.json.__name__, pavro_cjson.ijson.__name__))
    print()

    if arguments.out is None:
        directory = tempfile.mkdtemp(prefix="pavro-demo-")
    try:
        rows, failures = run(model, directory)
    finally:
        if arguments.out is None:
            shutil.rmtree(directory, ignore_errors=True)

    print(format_table(rows))
    print()
    if arguments.out is not None:
        print("Documents kept in {}".format(os.path.abspath(directory)))
    sentence = sample_sentence(model, sentences, arguments.seed)
    if sentence is not None:
        print("Generated (seed {}): {}".format(arguments.seed, sentence))

    if failures:
        print(file=sys.stderr)
        for failure in failures:
            print("FAILED: " + failure, file=sys.stderr)
        return 1
    print("All {} loads gave the model back.".format(len(WRITERS) * 2 * len(READERS)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
