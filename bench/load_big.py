"""load_json_big through the compiled yajl source against the parser's own
event stream, side by side in one process.

    python bench/load_big.py [--words N] [--repeat R]

Prints, for one deterministic Zipf-distributed model saved compressed:
  - the best of R timings of load_json_big on the compiled source, of
    load_json_big on ijson's event stream (the backend wrapped, which is
    how any other binding is read), of load_json_small on the same
    document, of yajl parsing the bytes with no callbacks (the floor), and
    of the model's own add_to_bag calls replayed;
  - the peak traced memory of both paths for a document 10x larger over the
    same codes (bench/memory.py's lazy model), as a ratio;
  - the memory a real model holds after loading the plain and the
    compressed document through each path, as a ratio.
"""

import argparse
import gc
import io
import os
import random
import sys
import time
import tracemalloc
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pavro_cjson  # noqa: E402
from ijson.backends import yajl2_cffi  # noqa: E402
from pavro.bag import ChainModel  # noqa: E402

import memory  # noqa: E402  (the lazy model of the memory bench)

EVENTS = types.SimpleNamespace(parse=yajl2_cffi.parse)  # any other binding: the event path


def zipf_model(words, seed=1):
    """A model learnt from `words` Zipf-distributed words (deterministic)."""
    rng = random.Random(seed)
    vocabulary = ["w{}".format(i) for i in range(words // 10)]
    weights = [1.0 / (rank + 1) for rank in range(len(vocabulary))]
    sequence = rng.choices(vocabulary, weights=weights, k=words)
    return ChainModel.from_sequences([sequence], length=2)


def best_of(repeat, action):
    times = []
    for _ in range(repeat):
        gc.collect()
        began = time.perf_counter()
        action()
        times.append(time.perf_counter() - began)
    return min(times)


class CallsOnly:
    """Draws what it gets, like a model, and keeps nothing."""

    def clear(self):
        pass

    def add_to_bag(self, start, follower, count=1):
        for _ in follower:
            pass


class Recorder:
    def __init__(self):
        self.calls = []

    def clear(self):
        pass

    def add_to_bag(self, start, follower, count=1):
        self.calls.append((start, list(follower), count))


def with_parser(backend, action):
    saved = pavro_cjson.ijson
    pavro_cjson.ijson = backend
    try:
        return action()
    finally:
        pavro_cjson.ijson = saved


def yajl_floor(data):
    """yajl itself over the document, through the backend's cffi handle."""
    ffi, lib = yajl2_cffi.ffi, yajl2_cffi.yajl
    callbacks = ffi.new("yajl_callbacks*")
    handle = lib.yajl_alloc(callbacks, ffi.NULL, ffi.NULL)
    try:
        assert lib.yajl_parse(handle, data, len(data)) == 0
        assert lib.yajl_complete_parse(handle) == 0
    finally:
        lib.yajl_free(handle)


def held_after_load(data, backend):
    """Bytes a real model holds once loaded from `data`."""
    gc.collect()
    tracemalloc.start()
    try:
        model = ChainModel()
        with_parser(backend, lambda: pavro_cjson.load_json_big(model, io.BytesIO(data)))
        gc.collect()
        return tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()


def memory_ratio(backend, starts, path):
    def measure(n):
        return with_parser(backend, lambda: memory.measure(
            path, n, 7, pavro_cjson.dump_json_big, pavro_cjson.load_json_big, False))[1]
    for _ in range(2):
        measure(starts)
    small, large = measure(starts), measure(starts * 10)
    return small, large


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--words", type=int, default=200000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--starts", type=int, default=1000,
                        help="start states of the small lazy model (memory)")
    args = parser.parse_args()
    if pavro_cjson.ijson is not yajl2_cffi:
        raise SystemExit("the yajl2_cffi backend is not the bound parser")

    model = zipf_model(args.words)
    out = io.StringIO()
    pavro_cjson.dump_json_big(model, out)
    compressed = out.getvalue().encode("utf-8")
    out = io.StringIO()
    pavro_cjson.dump_json_big(model, out, False)
    plain = out.getvalue().encode("utf-8")

    # Both paths hand over the same calls.
    logs = [Recorder(), Recorder()]
    pavro_cjson.load_json_big(logs[0], io.BytesIO(compressed))
    with_parser(EVENTS, lambda: pavro_cjson.load_json_big(logs[1], io.BytesIO(compressed)))
    assert logs[0].calls == logs[1].calls
    calls = logs[0].calls
    print("python {}.{}, model: {} words, {} start codes, {} pairs, document {:,} B "
          "compressed, {:,} B plain".format(sys.version_info[0], sys.version_info[1],
                                            args.words, len(model), len(calls),
                                            len(compressed), len(plain)))

    def replay():
        sink = CallsOnly()
        for start, follower, count in calls:
            sink.add_to_bag(start, (x for x in follower), count=count)

    timings = [
        ("load_json_big, compiled source", lambda: pavro_cjson.load_json_big(
            CallsOnly(), io.BytesIO(compressed))),
        ("load_json_big, parser events", lambda: with_parser(EVENTS, lambda: (
            pavro_cjson.load_json_big(CallsOnly(), io.BytesIO(compressed))))),
        ("load_json_small (merge, same doc)", lambda: pavro_cjson.load_json_small(
            CallsOnly(), io.BytesIO(compressed), True)),
        ("yajl alone, no callbacks", lambda: yajl_floor(compressed)),
        ("add_to_bag calls replayed", replay),
    ]
    results = {}
    for label, action in timings:
        results[label] = best_of(args.repeat, action)
    compiled = results["load_json_big, compiled source"]
    print("\nbest of {}:".format(args.repeat))
    for label, seconds in results.items():
        print("  {:<36} {:8.3f} s   {:6.2f}x compiled".format(label, seconds, seconds / compiled))

    import tempfile
    print("\npeak traced memory of load_json_big, lazy model {} and {} starts:".format(
        args.starts, args.starts * 10))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "chain.json")
        for label, backend in (("compiled source", yajl2_cffi), ("parser events", EVENTS)):
            small, large = memory_ratio(backend, args.starts, path)
            print("  {:<16} {:>10,} B {:>10,} B   ratio large/small {:.3f}".format(
                label, small, large, large / small))

    print("\nmemory a loaded model holds (plain / compressed document):")
    for label, backend in (("compiled source", yajl2_cffi), ("parser events", EVENTS)):
        held_plain = held_after_load(plain, backend)
        held_compressed = held_after_load(compressed, backend)
        print("  {:<16} {:>12,} B {:>12,} B   ratio {:.3f}".format(
            label, held_plain, held_compressed, held_plain / held_compressed))


if __name__ == "__main__":
    main()
