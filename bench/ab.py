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
import io
import sys

import pavro_cjson
from pavro.bag import ChainModel
from scaling import timed
from speed import load_baseline, zipf_model

FUNCTIONS = ["dump_json_small", "dump_json_big", "load_json_small", "load_json_big"]


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
    args = parser.parse_intermixed_args()

    baseline = load_baseline(args.baseline)
    if baseline is pavro_cjson:
        sys.exit("{} is the installed build itself".format(args.baseline))
    model = zipf_model(args.pairs, seed=8)
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
                    times[name] = min(times[name], timed(lambda: run(module), 1))
            print("{:<16} {:<22} {:>9.4f}s {:>9.4f}s {:>7.3f}".format(
                function, label, times["baseline"], times["installed"],
                times["installed"] / times["baseline"]))


if __name__ == "__main__":
    main()
