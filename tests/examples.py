"""How many examples a property test draws.

Each test names its own number; PJSON_TEST_EXAMPLES_SCALE scales them all
(default 1).  The installed sessions set 0.25: they run the whole suite
again on five more interpreters, to prove the sdist's build and each
interpreter's C API, and a quarter of every property keeps those repeats
within CI's time.  The sessions that test from the tree draw the full
number.
"""

import os

SCALE = float(os.environ.get("PJSON_TEST_EXAMPLES_SCALE") or 1)


def examples(count):
    return max(1, int(count * SCALE))
