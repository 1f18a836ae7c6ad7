"""Peak memory of saving and loading a chain model, at two sizes 10x apart.

The model is generated on the fly from a seed over a fixed vocabulary, so
it holds almost nothing itself: what tracemalloc sees at its peak is what
the functions under test keep.  The streaming pair should stay flat (ratio
large/small near 1.0); the whole-document pair grows with the document.

    python bench/memory.py [--starts N] [--seed S] [--loaded PAIRS]

With --loaded, it also measures what a loaded model keeps: a real model of
about PAIRS pairs is saved compressed and plain, and each document is loaded
by each reader; a plain document should cost no more than a compressed one,
since equal codes share one object either way.
"""

import argparse
import gc
import io
import os
import random
import sys
import tempfile
import time
import tracemalloc

import pavro_cjson
from pavro.bag import ChainModel

VOCABULARY = ["w{:03d}".format(i) for i in range(200)]
CHOICES_PER_BAG = 8
FOLLOWER_LENGTH = 3


class LazyBag:
    """The choices of one start, drawn anew from its own seed each time."""

    __slots__ = ("seed",)

    def __init__(self, seed):
        self.seed = seed

    def choices(self):
        rng = random.Random(self.seed)
        for _ in range(CHOICES_PER_BAG):
            follower = tuple(rng.choice(VOCABULARY) for _ in range(FOLLOWER_LENGTH))
            yield follower, rng.randint(1, 1000)


class LazyModel:
    """A chain model whose entries exist only while they are walked."""

    def __init__(self, starts, seed):
        self.starts = starts
        self.seed = seed

    def __len__(self):
        return self.starts

    def items(self):
        for i in range(self.starts):
            yield VOCABULARY[i % len(VOCABULARY)], LazyBag(self.seed * 1000003 + i)

    def build_frequency_dict(self):
        # Fixed, made-up occurrences over the whole vocabulary: the code
        # table is the same at every size.
        return {code: len(VOCABULARY) - rank for rank, code in enumerate(VOCABULARY)}


class CountingModel:
    """Counts what a reader hands over and keeps nothing."""

    def __init__(self):
        self.pairs = 0
        self.codes = 0

    def clear(self):
        pass

    def add_to_bag(self, start, follower, count=1):
        self.pairs += 1
        for _ in follower:
            self.codes += 1


def peak_of(action):
    """Peak traced memory, in bytes, while `action` runs."""
    gc.collect()
    tracemalloc.start()
    try:
        action()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def measure(path, starts, seed, dump, load, merge):
    model = LazyModel(starts, seed)
    with open(path, "w", encoding="utf-8") as f:
        dump_peak = peak_of(lambda: dump(model, f))
    size = os.path.getsize(path)
    target = CountingModel()
    with open(path, "rb") as f:
        load_peak = peak_of(lambda: load(target, f, merge))
    expected = starts * CHOICES_PER_BAG
    if target.pairs != expected or target.codes != expected * FOLLOWER_LENGTH:
        raise SystemExit("loaded {} pairs, expected {}".format(target.pairs, expected))
    return dump_peak, load_peak, size


def retained_by_load(load, data, binary):
    """Traced memory the loaded model keeps, in bytes."""
    gc.collect()
    tracemalloc.start()
    try:
        model = ChainModel()
        source = io.BytesIO(data.encode()) if binary else io.StringIO(data)
        load(model, source, False)
        del source
        gc.collect()
        return tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()


def loaded_models(pairs, seed):
    """Memory of a model loaded from its compressed and its plain document."""
    rng = random.Random(seed)
    words = ["w{}".format(i) for i in range(20000)]
    weights = [1.0 / (rank + 1) for rank in range(len(words))]
    model = ChainModel.from_sequences([rng.choices(words, weights, k=pairs)], length=2)
    print()
    print("loaded model, {} start codes: traced memory kept".format(len(model)))
    for name, load, binary in (("load_json_small", pavro_cjson.load_json_small, False),
                               ("load_json_big", pavro_cjson.load_json_big, True)):
        kept = {}
        for compress in (True, False):
            out = io.StringIO()
            pavro_cjson.dump_json_small(model, out, compress)
            kept[compress] = retained_by_load(load, out.getvalue(), binary)
        print("  {}: compressed {:>12,} B  plain {:>12,} B   ratio plain/compressed {:.3f}"
              .format(name, kept[True], kept[False], kept[False] / kept[True]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--starts", type=int, default=1000,
                        help="start states of the small model (the large one has 10x)")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--loaded", type=int, metavar="PAIRS",
                        help="also measure models loaded from documents of about PAIRS pairs")
    args = parser.parse_args()

    # The whole-document reader fills new bags in replace mode; merge mode
    # sends every pair to add_to_bag instead, so both readers feed the same
    # counting model.  The streaming reader runs in its default mode.
    pairs = [
        ("streaming (dump_json_big / load_json_big)",
         pavro_cjson.dump_json_big, pavro_cjson.load_json_big, False),
        ("whole document (dump_json_small / load_json_small)",
         pavro_cjson.dump_json_small, pavro_cjson.load_json_small, True),
    ]
    sizes = (args.starts, args.starts * 10)
    print("python {}.{}, json={}, parser={}".format(
        sys.version_info[0], sys.version_info[1],
        pavro_cjson.json.__name__, pavro_cjson.ijson.__name__))
    print("model: {} and {} start states, {} choices of {} codes each, {} distinct codes".format(
        sizes[0], sizes[1], CHOICES_PER_BAG, FOLLOWER_LENGTH, len(VOCABULARY)))
    began = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "chain.json")
        for label, dump, load, merge in pairs:
            # Two runs at the small size first, so one-time allocations
            # (caches and free lists filled on first use) land in neither
            # measurement.
            for _ in range(2):
                measure(path, sizes[0], args.seed, dump, load, merge)
            small = measure(path, sizes[0], args.seed, dump, load, merge)
            large = measure(path, sizes[1], args.seed, dump, load, merge)
            print()
            print(label)
            print("  document:  {:>12,} B  {:>12,} B".format(small[2], large[2]))
            for name, index in (("save peak", 0), ("load peak", 1)):
                print("  {}: {:>12,} B  {:>12,} B   ratio large/small {:.3f}".format(
                    name, small[index], large[index], large[index] / small[index]))
    if args.loaded:
        loaded_models(args.loaded, args.seed)
    print()
    print("took {:.1f} s".format(time.perf_counter() - began))


if __name__ == "__main__":
    main()
