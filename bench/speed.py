"""Time of the two writers against the work they cannot avoid.

A chain model is learnt from one Zipf-distributed sequence of codes (fixed
seed), so a few codes are very frequent and most are rare, as in text.  Each
writer is timed side by side with its "floor": what any writer of the same
document has to spend anyway, in this process, on this model.

- dump_json_small floor: walking the model (items() and every choices()),
  build_frequency_dict() and the sort (compressed only), and one json.dump
  of the finished document.
- dump_json_big floor: the same walk, frequency count and sort, the same
  write calls with the pieces ready, and making that many piece strings.

Every figure is the best of --repeat runs; the ratio is writer / floor.
--baseline times another build of the module (say, of an older commit)
beside the installed one, in the same rounds.

    python bench/speed.py [--pairs N] [--repeat R] [--seed S] [--baseline SO]
    python bench/speed.py --plot FILE.png [--sizes N,N,...]

--plot draws time per million pairs and peak memory of the four functions
and a naive baseline against model size instead (bench/scaling.py; needs
matplotlib).
"""

import argparse
import collections
import gc
import io
import os
import sys
import tempfile
import time

import pavro_cjson
from zipf import FOLLOWER_LENGTH, zipf_model

# CPU time of this process (user and system): on a machine shared with other
# work it moves far less than wall-clock time, which counts the waits.
clock = time.process_time

def best_of(repeat, run):
    """The shortest of `repeat` timings; `run()` returns its own elapsed time."""
    times = []
    for _ in range(repeat):
        gc.collect()
        times.append(run())
    return min(times)


class Sink:
    """A real text file in a temporary folder, emptied before every run."""

    def __init__(self, folder):
        self.file = open(os.path.join(folder, "chain.json"), "w",
                         encoding="utf-8", newline="")

    def fresh(self):
        self.file.seek(0)
        self.file.truncate()
        return self.file

    def close(self):
        self.file.close()


class Capture:
    """Stands in for the JSON library or the file to capture what a writer
    hands over, so the floors reuse the very document and pieces."""

    def __init__(self, library):
        self.library = library
        self.document = None
        self.pieces = []

    def dumps(self, value):
        return self.library.dumps(value)

    def dump(self, document, file):
        self.document = document

    def write(self, piece):
        self.pieces.append(piece)


def captured_document(model, compressed):
    """The document dump_json_small hands to json.dump."""
    saved = pavro_cjson.json
    capture = Capture(saved)
    pavro_cjson.json = capture
    try:
        pavro_cjson.dump_json_small(model, io.StringIO(), compressed)
    finally:
        pavro_cjson.json = saved
    return capture.document


def captured_pieces(model, compressed):
    """The pieces dump_json_big writes, as bytes (made into str when timed)."""
    capture = Capture(None)
    pavro_cjson.dump_json_big(model, capture, compressed)
    return [piece.encode("ascii") for piece in capture.pieces]


# ---------------------------------------------------------------------------
# Measurements: each returns the elapsed seconds of one run
# ---------------------------------------------------------------------------


def walk_and_rank(model, compressed):
    """The model walk, plus frequency count and sort when compressing."""
    drain = collections.deque(maxlen=0).extend
    began = clock()
    if compressed:
        sorted(model.build_frequency_dict().items(), key=lambda item: -item[1])
    for _, bag in model.items():
        drain(bag.choices())
    return clock() - began


def run_writer(writer, model, sink, compressed):
    file = sink.fresh()
    began = clock()
    writer(model, file, compressed)
    elapsed = clock() - began
    file.flush()
    return elapsed


def floor_small(model, sink, compressed, document):
    file = sink.fresh()
    elapsed = walk_and_rank(model, compressed)
    dump = pavro_cjson.json.dump
    began = clock()
    dump(document, file)
    elapsed += clock() - began
    file.flush()
    return elapsed


def floor_big(model, sink, compressed, piece_bytes):
    file = sink.fresh()
    elapsed = walk_and_rank(model, compressed)
    began = clock()
    pieces = list(map(bytes.decode, piece_bytes))  # one new str per piece
    elapsed += clock() - began
    write = file.write
    began = clock()
    for piece in pieces:
        write(piece)
    elapsed += clock() - began
    file.flush()
    return elapsed


def load_baseline(path):
    """Another build of the module (e.g. of an older commit), loaded beside
    the installed one under its own name, so both run in this process."""
    import importlib.util
    found = importlib.util.spec_from_file_location("pavro_cjson", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def timed_cases(model, sink, baseline):
    """(writer, mode, {column: run}) for every writer and mode; each run
    returns the elapsed seconds of one call."""
    cases = []
    for compressed in (True, False):
        mode = "compressed" if compressed else "plain"
        document = captured_document(model, compressed)
        pieces = captured_pieces(model, compressed)
        for name, floor in (("dump_json_small", lambda c=compressed, d=document:
                             floor_small(model, sink, c, d)),
                            ("dump_json_big", lambda c=compressed, p=pieces:
                             floor_big(model, sink, c, p))):
            runs = {
                "time": lambda n=name, c=compressed: run_writer(
                    getattr(pavro_cjson, n), model, sink, c),
                "floor": floor,
            }
            if baseline is not None:
                runs["before"] = lambda n=name, c=compressed: run_writer(
                    getattr(baseline, n), model, sink, c)
            cases.append((name, mode, runs))
    return cases


def measure_all(model, folder, repeat, baseline=None):
    """Rows of (writer, mode, {column: best seconds}).  The runs of one
    round alternate, so a busy machine slows all columns alike."""
    sink = Sink(folder)
    try:
        cases = timed_cases(model, sink, baseline)
        best = [dict() for _ in cases]
        for _ in range(repeat):
            for (_, _, runs), found in zip(cases, best):
                for column, run in runs.items():
                    gc.collect()
                    elapsed = run()
                    found[column] = min(elapsed, found.get(column, elapsed))
    finally:
        sink.close()
    return [(name, mode, found) for (name, mode, _), found in zip(cases, best)]


def report(rows):
    with_before = "before" in rows[0][2]
    head = "{:<16} {:<11} {:>8} {:>8} {:>6}".format("writer", "mode", "time s", "floor s",
                                                  "ratio")
    if with_before:
        head += " {:>9} {:>12} {:>10}".format("before s", "before ratio", "speed-up")
    print(head)
    for name, mode, found in rows:
        line = "{:<16} {:<11} {:>8.4f} {:>8.4f} {:>6.2f}".format(
            name, mode, found["time"], found["floor"], found["time"] / found["floor"])
        if with_before:
            line += " {:>9.4f} {:>12.2f} {:>10.2f}".format(
                found["before"], found["before"] / found["floor"],
                found["before"] / found["time"])
        print(line)


def main():
    if "--plot" in sys.argv[1:]:
        import scaling
        return scaling.main(sys.argv[1:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=200000,
                        help="pairs the model is learnt from (default 200000)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per figure, best kept")
    parser.add_argument("--seed", type=int, default=8)
    parser.add_argument("--baseline", metavar="SO",
                        help="another build of pavro_cjson to time beside this one")
    args = parser.parse_args()
    baseline = load_baseline(args.baseline) if args.baseline else None

    model = zipf_model(args.pairs, args.seed)
    choices = sum(bag.unique_count for _, bag in model.items())
    print("python {}.{}, json={}".format(sys.version_info[0], sys.version_info[1],
                                         pavro_cjson.json.__name__))
    print("model: {:,} pairs, {:,} start codes, {:,} followers of up to {} codes, "
          "{:,} distinct codes".format(args.pairs, len(model), choices, FOLLOWER_LENGTH,
                                       len(model.build_frequency_dict())))
    with tempfile.TemporaryDirectory() as folder:
        rows = measure_all(model, folder, args.repeat, baseline)
    report(rows)


if __name__ == "__main__":
    main()
