"""Line coverage of both extension modules and the failure returns no test reached.

Reads the JSON files of `gcov --json-format --branch-probabilities` (the
coverage session of noxfile.py makes them) and prints:

- per source file under pjson/, pmodel/ and common/, the lines executed out
  of the lines that carry code;
- every failure return with no execution: a line that leaves a function
  with its error value (``PJ_FAIL(``, ``.fail(``, ``return -1``,
  ``return Ref()``, ``return nullptr``, ``return __LINE__``,
  ``line = __LINE__``).

Most failure returns share their line with the test that guards them
(``if (!x) return Ref();``), so the line runs whenever the test does.  Such
a line counts as unreached when one of its branch arcs was never taken: at
-O0 the arcs of a guard are its two outcomes, so a never-taken arc is the
failure never happening (or, for ``a || b``, one of its causes never
happening).  Arcs that stand for a C++ exception are left out: the module
throws none.

It reports; it never fails because something is unreached.
"""
import argparse
import gzip
import json
import os
import re
import sys
from collections import defaultdict

FAILURE = re.compile(
    r"PJ_FAIL\(|\.fail\(|return\s+-1\s*;|return\s+Ref\(\)\s*;|return\s+nullptr\s*;"
    r"|return\s+NULL\s*;|return\s+__LINE__\s*;|\bline\s*=\s*__LINE__\s*;"
)


def strip_comment(text):
    # Good enough for this code base: no "//" inside the string literals of
    # a failure line.
    return text.split("//", 1)[0]


class LineData:
    __slots__ = ("count", "arcs")

    def __init__(self):
        self.count = 0
        self.arcs = None  # counts of the non-exception branch arcs

    def add(self, count, arcs):
        self.count += count
        if self.arcs is None:
            self.arcs = list(arcs)
        elif len(self.arcs) == len(arcs):
            self.arcs = [a + b for a, b in zip(self.arcs, arcs)]
        elif sum(arcs) > sum(self.arcs):
            # Different code for the same line (another instantiation of a
            # template or inline function): keep the busier copy.
            self.arcs = list(arcs)

# The C++ of the two extension modules and what they share.
SOURCES = ("pjson", "pmodel", "common")


def load(paths, root):
    """{source path relative to root: {line number: LineData}}"""
    files = defaultdict(lambda: defaultdict(LineData))
    prefix = os.path.join(os.path.realpath(root), "")
    for path in paths:
        with gzip.open(path, "rt", encoding="utf-8") as f:
            data = json.load(f)
        cwd = data.get("current_working_directory", "")
        for entry in data["files"]:
            source = os.path.realpath(os.path.join(cwd, entry["file"]))
            if not source.startswith(prefix):
                continue
            relative = source[len(prefix):]
            if not relative.startswith(tuple(folder + os.sep for folder in SOURCES)):
                continue
            lines = files[relative]
            for line in entry["lines"]:
                arcs = [b["count"] for b in line.get("branches", ()) if not b.get("throw")]
                lines[line["line_number"]].add(line["count"], arcs)
    return files


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=".", help="project root (default: .)")
    parser.add_argument("json", nargs="+", help="gcov JSON files (*.gcov.json.gz)")
    args = parser.parse_args()

    files = load(args.json, args.root)
    if not files:
        sys.exit("no coverage data for %s in the files given" % ", ".join(
            folder + "/" for folder in SOURCES))

    print("Line coverage")
    total_hit = total_lines = 0
    for name in sorted(files):
        lines = files[name]
        hit = sum(1 for data in lines.values() if data.count > 0)
        total_hit += hit
        total_lines += len(lines)
        print("  %-32s %5d / %-5d %5.1f%%" % (name, hit, len(lines), 100.0 * hit / len(lines)))
    print("  %-32s %5d / %-5d %5.1f%%" % ("total", total_hit, total_lines,
                                           100.0 * total_hit / total_lines))

    unreached = []
    sites = 0
    for name in sorted(files):
        with open(os.path.join(args.root, name), encoding="utf-8") as f:
            text = f.read().splitlines()
        for number, data in sorted(files[name].items()):
            if number > len(text):
                continue
            code = strip_comment(text[number - 1])
            if not FAILURE.search(code):
                continue
            sites += 1
            if data.count == 0:
                why = "never run"
            elif data.arcs and min(data.arcs) == 0:
                why = "never taken"
            else:
                continue
            unreached.append((name, number, why, code.strip()))

    print()
    print("Failure returns not reached: %d of %d" % (len(unreached), sites))
    for name, number, why, code in unreached:
        print("  %s:%d: [%s] %s" % (name, number, why, code))


if __name__ == "__main__":
    main()
