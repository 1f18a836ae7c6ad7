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

A second table puts all four functions beside pickle.dump and pickle.load
of the same pavro model (highest protocol, same real file), with the
goals the project set itself, and a third compares pavro's compiled model
with its plain-Python reference (tests/reference/bag.py): learning the
same sequence, the memory a model loaded by load_json_big holds (traced by
tracemalloc, and the process's RSS growth, each measured in a fresh child
process), and the cost of one draw from bags of 1,000 and 100,000
followers.  --quick skips the writer table and the child processes.

    python bench/speed.py [--pairs N] [--repeat R] [--seed S] [--baseline SO] [--quick]
    python bench/speed.py --plot FILE.png [--sizes N,N,...]

--plot draws time per million pairs and peak memory of the four functions
and a naive baseline against model size instead (bench/scaling.py; needs
matplotlib).
"""

import argparse
import collections
import gc
import io
import itertools
import os
import pickle
import random
import subprocess
import sys
import tempfile
import time
import tracemalloc

import pavro_cjson
from pavro.bag import ChainModel, ProbabilityBag

# CPU time of this process (user and system): on a machine shared with other
# work it moves far less than wall-clock time, which counts the waits.
clock = time.process_time

VOCABULARY_SIZE = 8300
ZIPF_EXPONENT = 0.8
FOLLOWER_LENGTH = 2


def zipf_sequence(pairs, seed):
    """`pairs` + 1 codes drawn with Zipf weights."""
    rng = random.Random(seed)
    vocabulary = ["w{}".format(i) for i in range(VOCABULARY_SIZE)]
    weights = itertools.accumulate(1.0 / (rank + 1) ** ZIPF_EXPONENT
                                   for rank in range(VOCABULARY_SIZE))
    return rng.choices(vocabulary, cum_weights=list(weights), k=pairs + 1)


def zipf_model(pairs, seed, model_type=ChainModel):
    """A model learnt from `pairs` + 1 codes drawn with Zipf weights."""
    return model_type.from_sequences([zipf_sequence(pairs, seed)], length=FOLLOWER_LENGTH)


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


# ---------------------------------------------------------------------------
# Against pickle, and against the reference model
# ---------------------------------------------------------------------------


def reference_module():
    """tests/reference/bag.py: the plain-Python model the compiled one replaced."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    try:
        from reference import bag
    finally:
        sys.path.pop(0)
    return bag


class DiscardingModel:
    """A model that takes every pair and keeps nothing: what a load costs
    without any model work (the reader's own floor)."""

    def clear(self):
        pass

    def add_to_bag(self, start, follower, count=1):
        for _ in follower:  # the decoding generator must be drawn
            pass

    def set_bag(self, start, bag):
        pass


def timed_file_call(path, mode, call):
    with open(path, mode, **({} if "b" in mode else {"encoding": "utf-8", "newline": ""})) as file:
        began = clock()
        call(file)
        return clock() - began


# (function, document, goal as a ratio to the pickle column)
GOALS = {"dump_json_small": 1.0, "dump_json_big": 1.0, "load_json_small": 1.0,
         "load_json_big": 0.6}


def against_pickle(model, folder, repeat):
    """Rows (name, mode, seconds, pickle seconds, goal); best of `repeat`,
    the runs of one round alternating."""
    pickled = os.path.join(folder, "model.pickle")
    documents = {mode: os.path.join(folder, mode + ".json") for mode in ("compressed", "plain")}
    for mode, path in documents.items():
        with open(path, "w", encoding="utf-8", newline="") as file:
            pavro_cjson.dump_json_big(model, file, mode == "compressed")
    runs = {
        ("pickle.dump", ""): lambda: timed_file_call(
            pickled, "wb", lambda f: pickle.dump(model, f, pickle.HIGHEST_PROTOCOL)),
    }
    runs[("pickle.load", "")] = lambda: timed_file_call(pickled, "rb", pickle.load)
    for mode, path in documents.items():
        compressed = mode == "compressed"
        for name in ("dump_json_small", "dump_json_big"):
            runs[(name, mode)] = lambda n=name, c=compressed: timed_file_call(
                os.path.join(folder, "out.json"), "w",
                lambda f: getattr(pavro_cjson, n)(model, f, c))
        runs[("load_json_small", mode)] = lambda p=path: timed_file_call(
            p, "r", lambda f: pavro_cjson.load_json_small(ChainModel(), f))
        runs[("load_json_big", mode)] = lambda p=path: timed_file_call(
            p, "rb", lambda f: pavro_cjson.load_json_big(ChainModel(), f))
        runs[("load_json_big, no model work", mode)] = lambda p=path: timed_file_call(
            p, "rb", lambda f: pavro_cjson.load_json_big(DiscardingModel(), f))
    timed_file_call(pickled, "wb", lambda f: pickle.dump(model, f, pickle.HIGHEST_PROTOCOL))
    best = {}
    for _ in range(repeat):
        for key, run in runs.items():
            gc.collect()
            elapsed = run()
            best[key] = min(elapsed, best.get(key, elapsed))
    rows = []
    for (name, mode), seconds in best.items():
        if not mode:
            continue
        base = "pickle.dump" if name.startswith("dump") else "pickle.load"
        rows.append((name, mode, seconds, base, best[(base, "")], GOALS.get(name)))
    return best[("pickle.dump", "")], best[("pickle.load", "")], rows


def report_pickle(dump_seconds, load_seconds, rows):
    print()
    print("pickle.dump {:.4f} s, pickle.load {:.4f} s (highest protocol, same model)".format(
        dump_seconds, load_seconds))
    print("{:<30} {:<11} {:>8} {:>12} {:>8} {:>6}  {}".format(
        "function", "document", "time s", "against", "ratio", "goal", "met"))
    for name, mode, seconds, base, base_seconds, goal in rows:
        ratio = seconds / base_seconds
        print("{:<30} {:<11} {:>8.4f} {:>12} {:>8.2f} {:>6}  {}".format(
            name, mode, seconds, base, ratio, "" if goal is None else "<={:.1f}".format(goal),
            "" if goal is None else ("yes" if ratio <= goal else "no")))


MEMORY_CHILD = r"""
import gc, os, sys, tracemalloc
sys.path[:0] = sys.argv[4:]
import pavro_cjson
from reference import bag as reference
import pavro.bag
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
kind, path, traced = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
model_type = pavro.bag.ChainModel if kind == "native" else reference.ChainModel
gc.collect()
if traced:
    tracemalloc.start()
before = tracemalloc.get_traced_memory()[0] if traced else rss()
model = model_type()
with open(path, "rb") as f:
    pavro_cjson.load_json_big(model, f)
gc.collect()
after = tracemalloc.get_traced_memory()[0] if traced else rss()
print(after - before)
"""


def held_by_loaded_model(kind, path, traced):
    """Bytes a model loaded from `path` holds, in a fresh child process."""
    here = os.path.dirname(os.path.abspath(__file__))
    tests = os.path.join(here, "..", "tests")
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, kind, path, "1" if traced else "0",
                          tests], check=True, stdout=subprocess.PIPE, universal_newlines=True)
    return int(out.stdout.split()[-1])


def draw_seconds(bag_type, followers, draws=20000):
    bag = bag_type({("f{}".format(i),): 1 + i % 7 for i in range(followers)})
    rng = random.Random(1)
    bag.choose(rng)  # the first draw after a change builds the table
    began = clock()
    for _ in range(draws):
        bag.choose(rng)
    return (clock() - began) / draws


def against_reference(pairs, seed, folder, repeat, quick):
    reference = reference_module()
    sequence = zipf_sequence(pairs, seed)
    learnt = {}
    for _ in range(max(1, min(repeat, 3))):
        for name, model_type in (("compiled", ChainModel), ("reference", reference.ChainModel)):
            gc.collect()
            began = clock()
            model = model_type.from_sequences([sequence], length=FOLLOWER_LENGTH)
            elapsed = clock() - began
            del model  # freed outside the timing
            learnt[name] = min(elapsed, learnt.get(name, elapsed))
    print()
    print("compiled model against the reference (tests/reference/bag.py)")
    print("  ChainModel.from_sequences: compiled {:.4f} s, reference {:.4f} s: "
          "{:.1f}x faster (goal >= 5x)".format(learnt["compiled"], learnt["reference"],
                                               learnt["reference"] / learnt["compiled"]))
    small, large = (draw_seconds(ProbabilityBag, n) for n in (1000, 100000))
    ref_large = draw_seconds(reference.ProbabilityBag, 100000, draws=50)
    print("  choose(): 1,000 followers {:.2f} us, 100,000 followers {:.2f} us per draw "
          "({:.2f}x for 100x the followers); the reference, 100,000: {:.0f} us".format(
              small * 1e6, large * 1e6, large / small, ref_large * 1e6))
    if quick:
        return
    path = os.path.join(folder, "compressed.json")
    for traced, label in ((True, "tracemalloc"), (False, "RSS growth")):
        native = held_by_loaded_model("native", path, traced)
        ref = held_by_loaded_model("reference", path, traced)
        print("  model loaded by load_json_big, {}: compiled {:,} B, reference {:,} B "
              "(ratio {:.3f}, goal <= 1)".format(label, native, ref, native / ref))


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
    parser.add_argument("--quick", action="store_true",
                        help="only the pickle and reference comparisons, without child processes")
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
        if not args.quick:
            report(measure_all(model, folder, args.repeat, baseline))
        report_pickle(*against_pickle(model, folder, args.repeat))
        against_reference(args.pairs, args.seed, folder, args.repeat, args.quick)


if __name__ == "__main__":
    main()
