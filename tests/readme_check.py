#!/usr/bin/env python3
"""Checks that what README.md and the guides in docs/ show is what ships and what the .exe does,
and that the README stays the front door to the guides. A row per check:

- failure-table-as-printed: every number in the failure table (docs/error-codes.md) is what the .exe
  prints for its hex code. Each table row becomes a black-box case: the stand-in fails both updates with the row's
  code, and the two lines must show the row's printed number; the arithmetic is checked too.
- batch-example-is-the-script: the batch file in docs/deploying.md is
  examples/scripts/update-drivers.cmd, line for line, so that the two cannot drift apart.
- links-resolve: every relative link and #anchor in README.md and docs/ resolves (markdown_links).
- front-door: README.md is at most 250 lines and links every guide in docs/, so that each guide is
  one click from it.
"""

import os
import re
import sys

import blackbox
import markdown_links

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
FRONT_DOOR_LINES = 250
ROW = re.compile(r"^\| (-?\d+) \| (0x[0-9A-F]+) \| ([A-Z_0-9]+) \|")


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8", newline="") as f:
        return f.read().replace("\r\n", "\n")


def failure_table(opts):
    table = [(int(m[1]), m[2], m[3]) for m in map(ROW.match, read("docs", "error-codes.md").splitlines()) if m]
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
    blocks = re.findall(r"```bat\n(.*?)```", read("docs", "deploying.md"), re.S)
    if script not in blocks:
        return ["docs/deploying.md shows no ```bat block that is examples/scripts/update-drivers.cmd as it stands"]
    return []


def links_resolve(opts):
    return markdown_links.problems(ROOT)


def front_door(opts):
    readme = read("README.md")
    problems = []
    lines = len(readme.splitlines())
    if lines > FRONT_DOOR_LINES:
        problems.append(f"README.md has {lines} lines, more than {FRONT_DOOR_LINES}")
    linked = {os.path.normpath(target) for target in re.findall(r"\]\((docs/[^)#\s]+)", readme)}
    guides = {os.path.join("docs", name) for name in os.listdir(os.path.join(ROOT, "docs")) if name.endswith(".md")}
    problems += [f"README.md does not link the guide {guide}" for guide in sorted(guides - linked)]
    return problems


CHECKS = {"failure-table-as-printed": failure_table, "batch-example-is-the-script": batch_example,
          "links-resolve": links_resolve, "front-door": front_door}


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
