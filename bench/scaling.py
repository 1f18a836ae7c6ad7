"""How time and memory of the four functions grow with the model.

For each model size it saves and loads a Zipf-distributed word model with
each of the four functions, with `pickle` (highest protocol), and with the
naive baseline: what a user would write without this module (the standard
`json` module on a structure built in Python, and a loop of `add_to_bag`
calls to load it back).  It reports
seconds per million pairs (flat lines mean linear cost) and peak traced
memory, and can draw both as a picture.

    python bench/scaling.py [--sizes 50000,200000,...] [--repeat N] [--plot FILE.png]

`python bench/speed.py --plot FILE.png [--sizes ...]` runs the same.
"""

import argparse
import gc
import json as std_json
import os
import pickle
import platform
import sys
import tempfile
import time

import pavro_cjson
from pavro.bag import ChainModel
from memory import peak_of as peak
from zipf import zipf_model

DEFAULT_SIZES = [50000, 100000, 200000, 500000, 1000000, 2000000]


def pair_count(model):
    return sum(bag.unique_count for _, bag in model.items())


# ---------------------------------------------------------------------------
# The naive baseline
# ---------------------------------------------------------------------------

def naive_dump(model, file):
    """The model as nested lists, through the standard json module."""
    std_json.dump([[start, [[list(follower), count] for follower, count in bag.choices()]]
                   for start, bag in model.items()], file)


def naive_load(model, file):
    model.clear()
    for start, followers in std_json.load(file):
        for follower, count in followers:
            model.add_to_bag(start, follower, count=count)


def pickle_dump(model, file):
    pickle.dump(model, file.buffer, pickle.HIGHEST_PROTOCOL)


def pickle_load(model, file):
    # pickle makes its own model; the one handed in stays empty.
    return pickle.load(file)


# ---------------------------------------------------------------------------
# Measurements
# ---------------------------------------------------------------------------

def functions():
    """(label, save, load, binary load file) for each way of saving and loading."""
    return [
        ("whole document", pavro_cjson.dump_json_small, pavro_cjson.load_json_small, False),
        ("streaming", pavro_cjson.dump_json_big, pavro_cjson.load_json_big, True),
        ("pickle", pickle_dump, pickle_load, True),
        ("naive json", naive_dump, naive_load, False),
    ]


def timed(action, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        began = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - began)
    return best


def measure(model, path, repeat):
    """{(label, "save"|"load"): (seconds, peak bytes)} for one model."""
    results = {}
    for label, save, load, binary in functions():
        def do_save():
            with open(path, "w", encoding="utf-8") as f:
                save(model, f)

        def do_load():
            with open(path, "rb" if binary else "r", encoding=None if binary else "utf-8") as f:
                load(ChainModel(), f)

        do_save()
        results[(label, "save")] = (timed(do_save, repeat), peak(do_save))
        results[(label, "load")] = (timed(do_load, repeat), peak(do_load))
    return results


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "{}, {} cores, Python {}, json={}, parser={}".format(
        cpu, os.cpu_count(), platform.python_version(), pavro_cjson.json.__name__,
        getattr(pavro_cjson.ijson, "backend", pavro_cjson.ijson.__name__))


def plot(rows, labels, path, title):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4), dpi=80)
    for label in labels:
        style = {"naive json": "--", "pickle": ":"}.get(label[0], "-")
        marker = "o" if label[1] == "save" else "s"
        xs = [row["pairs"] for row in rows]
        left.plot(xs, [row[label][0] / row["pairs"] * 1e6 for row in rows], style,
                  marker=marker, label="{} {}".format(*label))
        right.plot(xs, [row[label][1] / 2**20 for row in rows], style, marker=marker,
                   label="{} {}".format(*label))
    for axes, ylabel in ((left, "seconds per million pairs"), (right, "peak traced memory, MiB")):
        axes.set_xscale("log")
        axes.set_xlabel("pairs in the model")
        axes.set_ylabel(ylabel)
        axes.grid(True, which="both", alpha=0.3)
    right.set_yscale("log")
    left.legend(fontsize=7)
    fig.suptitle(title, fontsize=9)
    fig.tight_layout()
    fig.savefig(path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default=",".join(str(n) for n in DEFAULT_SIZES),
                        help="words of text the models are learnt from, comma-separated")
    parser.add_argument("--repeat", type=int, default=3, help="best of N for each time")
    parser.add_argument("--plot", metavar="FILE.png", help="draw the results (needs matplotlib)")
    args = parser.parse_args(argv)
    if args.plot:
        try:
            import matplotlib  # noqa: F401  (fail before the long run, not after it)
        except ImportError:
            sys.exit("--plot needs matplotlib: pip install matplotlib")

    labels = [(label, step) for label, _, _, _ in functions() for step in ("save", "load")]
    print(machine())
    header = "{:>9}  ".format("pairs") + "  ".join(
        "{:>22}".format("{} {}".format(*label)) for label in labels)
    print(header)
    print("{:>9}  ".format("") + "  ".join("{:>22}".format("s/M pairs   peak MiB")
                                            for _ in labels))
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "chain.json")
        for words in (int(size) for size in args.sizes.split(",")):
            model = zipf_model(words, seed=8)
            row = measure(model, path, args.repeat)
            row["pairs"] = pair_count(model)
            rows.append(row)
            print("{:>9,}  ".format(row["pairs"]) + "  ".join(
                "{:>11.3f} {:>10.1f}".format(row[label][0] / row["pairs"] * 1e6,
                                             row[label][1] / 2**20) for label in labels),
                  flush=True)
            del model
    if args.plot:
        plot(rows, labels, args.plot, machine())
        print("picture written to", args.plot)


if __name__ == "__main__":
    main()
