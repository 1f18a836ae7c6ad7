"""Hostile documents through load_json_big: compiled path against event path.

Prints, side by side in one run:

- time to load a document whose ignored member holds N strings crafted to
  share one hash of libstdc++'s std::hash<std::string_view> (the table the
  compiled reader used to key every string by), for N = 20,000 and 100,000;
- peak RSS of a load whose ignored member holds 2 M distinct strings (each
  load in its own child process, as the peak only grows);
- the memory a real model keeps after a compressed load of 100k non-ASCII
  codes.

    python bench/hostile.py [--baseline OLD.so] [--strings N ...]

With --baseline, another build of the module (e.g. of the revision before
the string table went) runs the same cases in the same run, to show the old
weakness; its colliding load is timed for the smallest N only, as it grows
with the square of N.
"""

import argparse
import gc
import io
import json
import os
import subprocess
import sys
import tempfile
import time
import tracemalloc

import pavro_cjson
from ijson.backends import yajl2_cffi
from pavro.bag import ChainModel
from speed import load_baseline

# The event path: any binding other than the backend bound at import.
EVENTS = type(sys)("events")
EVENTS.parse = yajl2_cffi.parse

# ---------------------------------------------------------------------------
# libstdc++'s _Hash_bytes on 64 bits (what std::hash<std::string_view> is)
# ---------------------------------------------------------------------------

MASK = (1 << 64) - 1
MUL = (0xC6A4A793 << 32) + 0x5BD1E995
MUL_INVERSE = MUL
for _ in range(6):  # Newton's step doubles the correct low bits each time
    MUL_INVERSE = MUL_INVERSE * (2 - MUL * MUL_INVERSE) & MASK
SEED = 0xC70F6907


def shift_mix(v):
    return v ^ (v >> 47)  # its own inverse on 64 bits


def mix(block):
    return shift_mix(block * MUL & MASK) * MUL & MASK


def unmix(value):
    return shift_mix(value * MUL_INVERSE & MASK) * MUL_INVERSE & MASK


def libstdcxx_hash(data):
    """std::hash<std::string_view> of libstdc++ for x86-64."""
    n = len(data)
    h = SEED ^ (n * MUL & MASK)
    whole = n & ~7
    for i in range(0, whole, 8):
        h = (h ^ mix(int.from_bytes(data[i:i + 8], "little"))) * MUL & MASK
    if n & 7:
        h = (h ^ int.from_bytes(data[whole:], "little")) * MUL & MASK
    return shift_mix(shift_mix(h) * MUL & MASK)


def colliding_blocks(state, count, tag):
    """`count` distinct 16-byte ASCII blocks (no NUL) that all take the
    hash state `state` to one state; returns (blocks, that state)."""
    target = 0x1234_5678_9ABC_DEF0
    blocks = []
    i = 0
    while len(blocks) < count:
        # The second half is free; the first half is solved for, and kept
        # when every byte of it is ASCII (one try in about 270).
        second = "{}{:07x}".format(tag, i).encode()
        i += 1
        first = unmix(((target ^ mix(int.from_bytes(second, "little"))) * MUL_INVERSE & MASK)
                      ^ state).to_bytes(8, "little")
        if all(0 < b < 128 for b in first):
            blocks.append(first + second)
    return blocks, target * MUL & MASK


def colliding_strings(count):
    """`count` distinct 32-byte ASCII strings with one libstdc++ hash: every
    pair of two 16-byte blocks from two colliding sets."""
    side = int(count ** 0.5) + 1
    firsts, middle = colliding_blocks(SEED ^ (32 * MUL & MASK), side, "a")
    seconds, _ = colliding_blocks(middle, side, "b")
    strings = [(a + b).decode("ascii") for a in firsts for b in seconds][:count]
    assert len({libstdcxx_hash(s.encode()) for s in strings[:50]}) == 1
    return strings


def ignored_member_document(strings):
    """A valid empty chain document whose first member holds `strings`."""
    return ('{"ignored":' + json.dumps(strings) + ',"codes":[],"chain":[]}').encode()


# ---------------------------------------------------------------------------
# Measuring
# ---------------------------------------------------------------------------


def with_parser(module, parser, action):
    saved = module.ijson
    module.ijson = parser
    try:
        return action()
    finally:
        module.ijson = saved


def load_seconds(module, parser, data):
    def run():
        start = time.perf_counter()
        module.load_json_big(ChainModel(), io.BytesIO(data))
        return time.perf_counter() - start
    return min(with_parser(module, parser, run) for _ in range(7))


PEAK = r"""
import io, sys
sys.path.insert(0, sys.argv[3])
import pavro_cjson
from ijson.backends import yajl2_cffi
if sys.argv[2] != "-":
    from speed import load_baseline
    pavro_cjson = load_baseline(sys.argv[2])
from pavro.bag import ChainModel
if sys.argv[1] == "events":
    pavro_cjson.ijson = type(sys)("events")
    pavro_cjson.ijson.parse = yajl2_cffi.parse
with open(sys.argv[4], "rb") as f:
    pavro_cjson.load_json_big(ChainModel(), f)
# VmHWM, not ru_maxrss: the latter keeps the parent's peak across exec.
print([line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM")][0])
"""


def peak_rss_kib(path, parser, baseline):
    """Peak RSS (KiB) of a child process that loads the file at `path`."""
    done = subprocess.run(
        [sys.executable, "-c", PEAK, parser, baseline or "-", os.path.dirname(__file__), path],
        stdout=subprocess.PIPE, check=True, universal_newlines=True)
    return int(done.stdout)


def non_ascii_document(count):
    codes, chain = [], []
    for i in range(count):
        codes += [i, "\u00e4\u00f6\u00fc\u4e2d{}".format(i)]
        chain += [i, [[(i + 1) % count], 1]]
    return json.dumps({"codes": codes, "chain": chain}).encode()


def model_bytes(module, parser, data):
    """Bytes a real model holds once loaded from `data`."""
    gc.collect()
    tracemalloc.start()
    try:
        model = ChainModel()
        with_parser(module, parser, lambda: module.load_json_big(model, io.BytesIO(data)))
        gc.collect()
        return tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", help="another build of the module, shown beside")
    parser.add_argument("--strings", type=int, nargs="*", default=[20000, 100000])
    parser.add_argument("--ignored", type=int, default=2000000)
    parser.add_argument("--codes", type=int, default=100000)
    args = parser.parse_args()
    if pavro_cjson.ijson is not yajl2_cffi:
        sys.exit("the bound parser is not yajl2_cffi: there is no compiled path")
    baseline = load_baseline(args.baseline) if args.baseline else None
    rows = []

    def row(case, unit, compiled, events, old=None):
        rows.append((case, unit, compiled, events, old))
        old_text = "" if old is None else "{:>14}".format(fmt(old, unit))
        # Times as a ratio, memory as a difference.
        compared = ("{:.2f}x".format(compiled / events) if unit == "s"
                    else "{:+.1f} MiB".format(compiled - events))
        print("{:<40} {:>12} {:>12} {:>12}{}".format(
            case, fmt(compiled, unit), fmt(events, unit), compared, old_text))
        sys.stdout.flush()

    print("{:<40} {:>12} {:>12} {:>12}{}".format(
        "case", "compiled", "events", "compared", "  old compiled" if baseline else ""))
    smallest = min(args.strings)
    for n in args.strings:
        data = ignored_member_document(colliding_strings(n))
        compiled = load_seconds(pavro_cjson, yajl2_cffi, data)
        events = load_seconds(pavro_cjson, EVENTS, data)
        old = (load_seconds(baseline, yajl2_cffi, data) if baseline and n == smallest
               else None)
        row("{:,} colliding strings ({:,} KiB)".format(n, len(data) // 1024), "s",
            compiled, events, old)

    with tempfile.NamedTemporaryFile(suffix=".json") as f:
        f.write(ignored_member_document(["s{:07d}".format(i) for i in range(args.ignored)]))
        f.flush()
        row("{:,} ignored strings, peak RSS".format(args.ignored), "MiB",
            peak_rss_kib(f.name, "compiled", None) / 1024,
            peak_rss_kib(f.name, "events", None) / 1024,
            peak_rss_kib(f.name, "compiled", args.baseline) / 1024 if baseline else None)

    data = non_ascii_document(args.codes)
    row("{:,} non-ASCII codes, model kept".format(args.codes), "MiB",
        model_bytes(pavro_cjson, yajl2_cffi, data) / 2**20,
        model_bytes(pavro_cjson, EVENTS, data) / 2**20,
        model_bytes(baseline, yajl2_cffi, data) / 2**20 if baseline else None)


def fmt(value, unit):
    return "{:.3f} {}".format(value, unit) if unit == "s" else "{:.1f} {}".format(value, unit)


if __name__ == "__main__":
    main()
