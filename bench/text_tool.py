"""`pavro train` and `pavro say` against markovify on the same text, each step in its own process.

    python bench/text_tool.py TEXT [--markovify-python PYTHON] [--pavro-python PYTHON]
                              [--before-python PYTHON] [--repeat N] [--sentences 200]
                              [--state-size 2] [--jobs N] [--work DIR]

Steps, each timed (wall clock) with its peak resident memory (the child's
own, from wait4):

1. train + save: ``pavro train TEXT -o pavro.json`` and
   ``markovify.Text(text, state_size=N)`` then ``to_json()`` to a file;
2. load + draw: ``pavro say pavro.json -n S`` and ``Text.from_json`` then
   ``make_sentence()`` S times.

Then the sentences of both are judged against the text's own sentences,
split and lower-cased the way ``pavro`` splits them (``pavro.text``), so
that one rule judges both: a sentence *begins and ends* well when its first
and last two words are the first and last two of some source sentence, and
*repeats* when all its words are some source sentence's.  markovify is run
as a black box, through its public calls only; PYTHON is an interpreter
that can import it (default: this one).  Prints a Markdown table with the
ratios (pavro / markovify) and a few sentences of each.

``--before-python`` times ``pavro train`` once more with another
interpreter (an older install of pavro, say) in the same run, as one more
row.  ``--repeat N`` runs every timed step N times, in turns, and keeps
the fastest run of each (with its memory): on a shared machine the fastest
run is the one least slowed by others.  Every child runs in the work
directory, so each interpreter imports the pavro installed in it.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from pavro.text import sentences_from  # noqa: E402

MARKOVIFY_TRAIN = """
import sys, markovify
text_path, out_path, order = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(text_path, encoding="utf-8") as file:
    model = markovify.Text(file.read(), state_size=order)
with open(out_path, "w", encoding="utf-8") as file:
    file.write(model.to_json())
"""

MARKOVIFY_SAY = """
import sys, markovify
with open(sys.argv[1], encoding="utf-8") as file:
    model = markovify.Text.from_json(file.read())
for _ in range(int(sys.argv[2])):
    print(model.make_sentence())
"""


def run(command, label, cwd=None):
    """Run `command`; (seconds, peak RSS in MiB, stdout)."""
    with tempfile.TemporaryFile() as out:
        started = time.perf_counter()
        child = subprocess.Popen(command, stdout=out, stderr=subprocess.PIPE, cwd=cwd)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - started
        child.returncode = os.waitstatus_to_exitcode(status) if hasattr(
            os, "waitstatus_to_exitcode") else status >> 8
        errors = child.stderr.read().decode("utf-8", "replace")
        child.stderr.close()
        if child.returncode:
            sys.exit("{} failed ({}): {}".format(label, child.returncode, errors))
        out.seek(0)
        return seconds, usage.ru_maxrss / 1024, out.read().decode("utf-8")


def source_sets(path):
    with open(path, encoding="utf-8") as file:
        chunks = iter(lambda: file.read(1 << 20), "")
        beginnings, ends, whole = set(), set(), set()
        for words in sentences_from(chunks):
            beginnings.add(tuple(words[:2]))
            ends.add(tuple(words[-2:]))
            whole.add(tuple(words))
    return beginnings, ends, whole


def judge(lines, sources):
    beginnings, ends, whole = sources
    said = [[word for sentence in sentences_from([line]) for word in sentence]
            for line in lines if line.strip() and line.strip() != "None"]
    bounded = sum(tuple(w[:2]) in beginnings and tuple(w[-2:]) in ends for w in said)
    repeated = sum(tuple(w) in whole for w in said)
    share = lambda count: 100.0 * count / len(lines) if lines else 0.0  # noqa: E731
    return share(bounded), share(repeated), len(lines) - len(said)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("text")
    parser.add_argument("--markovify-python", default=sys.executable)
    parser.add_argument("--pavro-python", default=sys.executable)
    parser.add_argument("--before-python", help="also time pavro train with this interpreter")
    parser.add_argument("--repeat", type=int, default=1, help="runs of each step; the fastest counts")
    parser.add_argument("--sentences", type=int, default=200)
    parser.add_argument("--state-size", type=int, default=2)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--work", help="keep the two models here (default: a temporary directory)")
    arguments = parser.parse_args()
    arguments.text = os.path.abspath(arguments.text)
    work = os.path.abspath(arguments.work or tempfile.mkdtemp(prefix="text-tool-"))
    os.makedirs(work, exist_ok=True)
    ours, theirs = os.path.join(work, "pavro.json"), os.path.join(work, "markovify.json")
    order, count = str(arguments.state_size), str(arguments.sentences)

    def train(python, out):
        return [python, "-m", "pavro", "train", arguments.text, "-o", out, "--force",
                "--no-progress", "--state-size", order, "--jobs", str(arguments.jobs)]

    steps = {
        "pavro train": train(arguments.pavro_python, ours),
        "markovify train": [arguments.markovify_python, "-c", MARKOVIFY_TRAIN, arguments.text,
                            theirs, order],
        "pavro say": [arguments.pavro_python, "-m", "pavro", "say", ours, "-n", count,
                      "--seed", str(arguments.seed), "--no-progress"],
        "markovify say": [arguments.markovify_python, "-c", MARKOVIFY_SAY, theirs, count],
    }
    if arguments.before_python:
        steps["before train"] = train(arguments.before_python, os.path.join(work, "before.json"))
    best = {}
    for _ in range(arguments.repeat):
        for label, command in steps.items():
            result = run(command, label, cwd=work)
            if label not in best or result[0] < best[label][0]:
                best[label] = result
    rows = {"train + save": (best["pavro train"], best["markovify train"])}
    if arguments.before_python:
        rows["train + save, before ({})".format(arguments.before_python)] = (
            best["before train"], best["markovify train"])
    said = (best["pavro say"], best["markovify say"])
    rows["load + {} sentences".format(count)] = said

    print("text: {} ({:.1f} MB)\n".format(arguments.text, os.path.getsize(arguments.text) / 1e6))
    print("| step | pavro | markovify | ratio (time, memory) |")
    print("|---|---|---|---|")
    for step, ((our_time, our_memory, _), (their_time, their_memory, _)) in rows.items():
        print("| {} | {:.1f} s, {:.0f} MiB | {:.1f} s, {:.0f} MiB | {:.2f}x, {:.2f}x |".format(
            step, our_time, our_memory, their_time, their_memory, our_time / their_time,
            our_memory / their_memory))
    our_size, their_size = os.path.getsize(ours), os.path.getsize(theirs)
    print("| file size | {:.1f} MB | {:.1f} MB | {:.2f}x |".format(
        our_size / 1e6, their_size / 1e6, our_size / their_size))
    sources = source_sets(arguments.text)
    judged = [judge(output.splitlines(), sources) for _, _, output in said]
    print("| sentences that begin where a source sentence begins and end where one ends "
          "| {:.1f}% | {:.1f}% | |".format(judged[0][0], judged[1][0]))
    print("| sentences that repeat a source sentence | {:.1f}% | {:.1f}% | |".format(
        judged[0][1], judged[1][1]))
    print("| no sentence given (markovify's None) | {} | {} | |".format(
        judged[0][2], judged[1][2]))
    for name, (_, _, output) in zip(("pavro", "markovify"), said):
        print("\n{}:".format(name))
        for line in output.splitlines()[:4]:
            print("> " + line)


if __name__ == "__main__":
    main()
