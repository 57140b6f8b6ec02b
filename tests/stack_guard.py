#!/usr/bin/env python3
"""The command's stack protection at work, under Wine, on a program built with the same hardening
(tests/smash.cpp): an overflow of a local array ends the process before the overwritten return
address is used, and the canary is seeded anew for every run. A row per case. With --root, the
ARM64 build's, as ARM64 code under arm64 Wine in that root (tools/arm64root.py)."""

import argparse
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import winerun  # noqa: E402
from verdict import verdict  # noqa: E402

STATUS_STACK_BUFFER_OVERRUN = 0xC0000409


def overflow_ends_the_process(run):
    out, _, status = run()
    # Wine hands the low byte of the Windows exit code to its Linux parent.
    return (out, status), (b"", STATUS_STACK_BUFFER_OVERRUN & 0xFF)


def canary_differs_between_runs(run):
    guards = [int(run("guard")[0], 16) for _ in range(3)]
    return ((len(set(guards)), all(g & 0xFF == 0 for g in guards), 0 in guards), (3, True, False))


CASES = {"overflow-ends-the-process": overflow_ends_the_process,
         "canary-differs-between-runs": canary_differs_between_runs}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    for option in ("--case", "--smash", "--prefix", "--root"):
        parser.add_argument(option)
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(CASES))
        return

    smash = opts.smash
    if opts.root:  # where the root's Wine sees it
        smash = shutil.copy(smash, os.path.join(opts.prefix, "drive_c", "smash.exe"))

    def run(*args):
        out, err, status = winerun.run([smash] + list(args), winerun.env(opts.prefix, opts.root), root=opts.root)
        sys.stderr.write(err.decode(errors="replace"))  # Wine's own word, should it fail to start
        return out, err, status

    actual, expected = CASES[opts.case](run)
    verdict(opts.case, expected, actual)


if __name__ == "__main__":
    main()
