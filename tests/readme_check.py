#!/usr/bin/env python3
"""Checks that what README.md shows is what ships and what the .exe does. A row per check:

- failure-table-as-printed: every number in the failure table is what the .exe prints for its hex
  code. Each table row becomes a black-box case: the stand-in fails both updates with the row's
  code, and the two lines must show the row's printed number; the arithmetic is checked too.
- batch-example-is-the-script: the README's batch file is examples/scripts/update-drivers.cmd,
  line for line, so that the two cannot drift apart.
"""

import os
import re
import sys

import blackbox

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
ROW = re.compile(r"^\| (-?\d+) \| (0x[0-9A-F]+) \| ([A-Z_0-9]+) \|")


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8", newline="") as f:
        return f.read().replace("\r\n", "\n")


def failure_table(opts):
    table = [(int(m[1]), m[2], m[3]) for m in map(ROW.match, read("README.md").splitlines()) if m]
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
    return problems


def batch_example(opts):
    script = read("examples", "scripts", "update-drivers.cmd")
    blocks = re.findall(r"```bat\n(.*?)```", read("README.md"), re.S)
    if script not in blocks:
        return ["README.md shows no ```bat block that is examples/scripts/update-drivers.cmd as it stands"]
    return []


CHECKS = {"failure-table-as-printed": failure_table, "batch-example-is-the-script": batch_example}


def main():
    opts = blackbox.parse_options()
    if opts.list:
        print("\n".join(CHECKS))
        return
    problems = CHECKS[opts.case](opts)
    if problems:
        sys.exit(f"FAIL {opts.case}\n" + "\n".join(problems))
    print(f"PASS {opts.case}")


if __name__ == "__main__":
    main()
