"""How a row of a table script ends: PASS, or FAIL with expected beside actual and the command
that re-runs the row."""

import shlex
import sys


def verdict(name, expected, actual):
    if actual != expected:
        sys.exit(f"FAIL {name}\n  expected: {expected!r}\n  actual:   {actual!r}\n"
                 f"  re-run:   {shlex.join([sys.executable] + sys.argv)}")
    print(f"PASS {name}")
