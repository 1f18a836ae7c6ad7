"""Times the installed pavro_cjson against another build of it, side by side.

Both builds are loaded into one process and run in turns on the same model
and the same documents, best of N, so a difference in their ratio is the
code's and not the machine's mood.

    python bench/ab.py BASELINE.so [--pairs N] [--repeat N] [FUNCTION ...]

BASELINE.so is a build of another revision (e.g. configured with CMake from
a worktree of that revision).  FUNCTIONs are any of the four; the loads read
documents written by the installed build, compressed and plain.
"""

import argparse
import gc
import importlib.machinery
import importlib.util
import io
import random
import sys
import time

import pavro_cjson
from pavro.bag import ChainModel

FUNCTIONS = ["dump_json_small", "dump_json_big", "load_json_small", "load_json_big"]


def load_build(path):
    """Another build of the module, under its own name, beside the installed one."""
    loader = importlib.machinery.ExtensionFileLoader("pavro_cjson", path)
    spec = importlib.util.spec_from_file_location("pavro_cjson", path, loader=loader)
    installed = sys.modules.pop("pavro_cjson")
    try:
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
    finally:
        sys.modules["pavro_cjson"] = installed
    if module is installed:
        sys.exit("{} is the installed build itself".format(path))
    return module


def zipf_model(pairs, seed=1):
    """A model of about `pairs` (start, follower) pairs over Zipf-distributed words."""
    rng = random.Random(seed)
    words = ["w{}".format(i) for i in range(20000)]
    weights = [1.0 / (rank + 1) for rank in range(len(words))]
    text = rng.choices(words, weights, k=pairs)
    return ChainModel.from_sequences([text], length=2)


def best_of(repeat, run):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def cases(function, model, documents):
    """(label, run(module)) for one function of the module."""
    if function.startswith("dump"):
        binary = False
        for compress in (True, False):
            yield ("compressed" if compress else "plain",
                   lambda m, c=compress: getattr(m, function)(model, io.StringIO(), c))
        return
    binary = function == "load_json_big"
    for kind, text in documents.items():
        data = text.encode() if binary else text
        source = io.BytesIO if binary else io.StringIO
        for merge in (False, True):
            yield ("{} {}".format(kind, "merge" if merge else "replace"),
                   lambda m, d=data, s=source, g=merge: getattr(m, function)(
                       ChainModel(), s(d), g))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("baseline")
    parser.add_argument("functions", nargs="*", default=FUNCTIONS)
    parser.add_argument("--pairs", type=int, default=200000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    baseline = load_build(args.baseline)
    model = zipf_model(args.pairs)
    documents = {}
    for compress in (True, False):
        out = io.StringIO()
        pavro_cjson.dump_json_small(model, out, compress)
        documents["compressed" if compress else "plain"] = out.getvalue()
    print("{} start codes, {} pairs".format(
        len(model), sum(bag.unique_count for _, bag in model.items())))
    print("{:<16} {:<22} {:>10} {:>10} {:>7}".format(
        "function", "case", "baseline", "installed", "ratio"))
    for function in args.functions:
        for label, run in cases(function, model, documents):
            times = {"baseline": float("inf"), "installed": float("inf")}
            # Alternate the builds so that drift hits both alike.
            for _ in range(args.repeat):
                for name, module in (("baseline", baseline), ("installed", pavro_cjson)):
                    times[name] = min(times[name], best_of(1, lambda: run(module)))
            print("{:<16} {:<22} {:>9.4f}s {:>9.4f}s {:>7.3f}".format(
                function, label, times["baseline"], times["installed"],
                times["installed"] / times["baseline"]))


if __name__ == "__main__":
    main()
