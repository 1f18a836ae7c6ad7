"""Peak memory of dump_json_big over a real pavro ChainModel, walking the
model live (as it does) and walking copies (as it once did), in one run.

The streaming writer's promise is extra memory that follows the distinct
codes.  A model that copies its entries or a bag's pairs into a list per
save breaks it with memory per pair; this measures how much, side by side
on the same model.

    python bench/model_memory.py [--starts N] [--followers N] [--codes N]
"""

import argparse
import gc
import random
import sys
import time
import tracemalloc

import pavro_cjson
from pavro.bag import ChainModel, ProbabilityBag


class Discard:
    """A text file that keeps nothing, so only the writer's memory counts."""

    def write(self, text):
        return len(text)


def copying_items(self):
    return iter(list(self._bags.items()))


def copying_choices(self):
    return iter(list(self._weights.items()))


def build(starts, followers, codes, seed):
    rng = random.Random(seed)
    vocabulary = ["w{}".format(i) for i in range(codes)]
    model = ChainModel()
    for i in range(starts):
        start = vocabulary[i % codes] if starts <= codes else i
        bag = ProbabilityBag()
        while len(bag) < followers:
            bag.add((rng.choice(vocabulary), rng.choice(vocabulary)), count=rng.randint(1, 9))
        model.set_bag(start, bag)
    return model


def save_peak(model):
    """Peak traced bytes of one dump_json_big (its frequency count included)."""
    gc.collect()
    tracemalloc.start()
    try:
        pavro_cjson.dump_json_big(model, Discard())
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--starts", type=int, default=100000)
    parser.add_argument("--followers", type=int, default=10, help="pairs per bag")
    parser.add_argument("--codes", type=int, default=5000, help="distinct codes")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    began = time.perf_counter()
    model = build(args.starts, args.followers, args.codes, args.seed)
    print("python {}.{}, json={}".format(sys.version_info[0], sys.version_info[1],
                                          pavro_cjson.json.__name__))
    pairs = len(model) * args.followers
    print("model: {:,} starts x {:,} pairs = {:,} pairs, {:,} distinct codes".format(
        len(model), args.followers, pairs, len(model.build_frequency_dict())))

    live_items, live_choices = ChainModel.items, ProbabilityBag.choices
    save_peak(model)  # first-use caches land in neither figure
    live = save_peak(model)
    ChainModel.items, ProbabilityBag.choices = copying_items, copying_choices
    try:
        copying = save_peak(model)
    finally:
        ChainModel.items, ProbabilityBag.choices = live_items, live_choices
    print("save peak, walking live:   {:>12,} B".format(live))
    print("save peak, walking copies: {:>12,} B   ratio copies/live {:.1f}".format(
        copying, copying / live))
    print("took {:.1f} s".format(time.perf_counter() - began))


if __name__ == "__main__":
    main()
