#!/usr/bin/env python3
"""Checks that every number in README.md's failure table is what the .exe prints for its hex code.

Each table row becomes a black-box case: the stand-in fails both updates with the row's code, and
the two lines must show the row's printed number. It also checks the arithmetic: the printed
number is the code read as a signed 32-bit integer.
"""

import os
import re
import sys

import blackbox

ROW = re.compile(r"^\| (-?\d+) \| (0x[0-9A-F]+) \| ([A-Z_0-9]+) \|")


def rows(readme):
    with open(readme, encoding="utf-8") as f:
        return [(int(m[1]), m[2], m[3]) for m in map(ROW.match, f) if m]


def main():
    opts = blackbox.parse_options()
    table = rows(os.path.join(os.path.dirname(__file__), "..", "README.md"))
    problems = []
    if len(table) < 28:
        problems.append(f"the failure table has {len(table)} rows, fewer than the 28 documented codes")
    for printed, code, name in table:
        value = int(code, 16)
        signed = value - (1 << 32) if value >= 1 << 31 else value
        if signed != printed:
            problems.append(f"{name}: {code} reads as {signed}, the table says {printed}")
        case = blackbox.Case(f"readme-{name}", [blackbox.PKG],
                             blackbox.err("FTDIBus", printed) + blackbox.err("FTDIPort", printed),
                             blackbox.both(blackbox.PKG), f"fail:{code},fail:{code}")
        try:
            blackbox.run(opts, case)
        except blackbox.Failure as failure:
            problems.append(str(failure))
    if problems:
        sys.exit("FAIL\n" + "\n".join(problems))
    print(f"PASS {len(table)} rows")


if __name__ == "__main__":
    main()
