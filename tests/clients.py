#!/usr/bin/env python3
"""The command inside the tools that run it, under Wine: the example installer run silently, and
the example batch file under Wine's `cmd /c` beside the .exe, as they are shipped.

A row per case: the client, what the stand-in newdev.dll answers (or Wine's own newdev on
simulated devices), the client's exit status, what it must show of the command's output (the
installer's log, the batch file's standard output) and, for real installs, the drivers the
devices carry afterwards. ctest runs one row per test.
"""

import argparse
import os
import shlex
import shutil
import sys

import blackbox
from blackbox import BUS_ID, PORT_ID, OK_OK, ok, err, winerun, to_windows

PKG = "C:\\drivers\\usb-serial"

# name, client, stand-in script ("real": Wine's own newdev on the simulated devices), exit
# status, the command's output as the client shows it[, the batch file's argument[, a second
# run of the batch file started at the same moment: its script, exit status and output]]
CASES = [
    ("installer-both-ok", "installer", "ok,ok", 0, OK_OK),
    ("installer-bus-fails", "installer", "fail:5,ok", 1, err("FTDIBus", 5) + ok("FTDIPort")),
    ("installer-port-fails", "installer", "ok,fail:0xE000020B", 1,
     ok("FTDIBus") + err("FTDIPort", -536870389)),
    ("installer-real-install", "installer", "real", 0, OK_OK),
    ("batch-both-ok", "batch", "ok,ok", 0, OK_OK),
    ("batch-bus-fails", "batch", "fail:0xE0000242,ok", 1, err("FTDIBus", -536870334) + ok("FTDIPort")),
    ("batch-port-fails", "batch", "ok,fail:5", 1, ok("FTDIBus") + err("FTDIPort", 5)),
    ("batch-real-install", "batch", "real", 0, OK_OK),
    # Relative to the current directory, handed on as the full path Windows asks for.
    ("batch-relative-directory-made-full", "batch", "ok,ok", 0, OK_OK, "drivers\\usb-serial"),
    # Fleet tools start many at once: two runs must not take each other's result.
    ("batch-two-runs-at-once", "batch", "fail:5,ok", 1, err("FTDIBus", 5) + ok("FTDIPort"), PKG,
     ("ok,ok", 0, OK_OK)),
]


def run(opts, name, client, script, status, shown, argument=PKG, alongside=None):
    work = os.path.join(opts.work, "clients", name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    real = script == "real"
    prefix = os.path.join(opts.work, "prefix-real" if real else "prefix-standin")
    log, shown_file = os.path.join(work, "calls.log"), os.path.join(work, "installer.log")
    # The black-box table's environment for a row with this script and prefix.
    env = blackbox.wine_env(opts, blackbox.Case(name, [], script=script, prefix="real" if real else "standin"),
                            prefix, log, os.path.join(work, "release"))
    if real:
        for hardware_id in (BUS_ID, PORT_ID):
            blackbox.devsim(opts, prefix, "remove", hardware_id)
            blackbox.devsim(opts, prefix, "create", hardware_id)

    if client == "installer":
        package_dir = None  # unpacked by the installer into a temporary folder of its own
        argv = [opts.installer, "/S", "/LOG=" + to_windows(shown_file)]
    else:
        # Shipped side by side: the batch file runs the command found beside it.
        folder = os.path.join(work, "shipped")
        os.makedirs(folder)
        shutil.copy(opts.exe, folder)
        shutil.copy(opts.batch, folder)
        argv = ["cmd", "/c", to_windows(os.path.join(folder, os.path.basename(opts.batch))),
                blackbox.SAMPLE if real else argument]
        package_dir = argv[-1] if ":" in argv[-1] else to_windows(work) + "\\" + argv[-1]
    twin = alongside and winerun.start(argv, dict(env, NEWDEV_STANDIN_SCRIPT=alongside[0],
                                                  NEWDEV_STANDIN_LOG=to_windows(log + ".twin")), cwd=work)
    stdout, stderr, actual_status = winerun.run(argv, env, cwd=work, timeout=300)
    if client == "installer":
        stdout = b""
        if os.path.exists(shown_file):
            with open(shown_file, "rb") as f:
                stdout = f.read()

    problems = []

    def check(what, expected, actual):
        if expected != actual:
            problems.append(f"{what} differs\n  expected: {expected!r}\n  actual:   {actual!r}")

    check("exit status", status, actual_status)
    check("the command's output as shown", shown, stdout)
    if twin:
        twin_stdout, _, twin_status = winerun.finish(twin, timeout=300)
        check("exit status of the run alongside", alongside[1], twin_status)
        check("the command's output as the run alongside shows it", alongside[2], twin_stdout)
    if real:
        check("installed drivers (description, version, INF)", blackbox.SAMPLE_INSTALLED,
              {h: s for h, s in blackbox.devsim_list(opts, prefix).items() if h in blackbox.SAMPLE_INSTALLED})
    else:
        calls = blackbox.parse_log(log)[1]
        check("hardware IDs", [BUS_ID, PORT_ID], [c["hwid"] for c in calls])
        # The batch file passes its argument on; the installer, the folder it unpacked to.
        base = package_dir or "driver\\package"
        tail = (lambda path: path) if package_dir else (lambda path: "\\".join(path.split("\\")[-3:]))
        check("INF paths", [base + "\\ftdibus.inf", base + "\\ftdiport.inf"], [tail(c["inf"]) for c in calls])
    if problems:
        rerun = " ".join(f"{k}={shlex.quote(env[k])}" for k in sorted(env)
                         if k.startswith(("WINE", "NEWDEV_", "LANG"))) + " " + shlex.join(argv)
        sys.exit(f"FAIL {name}: " + "\n".join(problems) +
                 f"\n  stderr:   {stderr.decode(errors='replace')[-2000:]}\n  re-run:   (cd {shlex.quote(work)} && {rerun})")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    for option in ("--case", "--work", "--exe", "--devsim", "--installer", "--batch"):
        parser.add_argument(option)
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(c[0] for c in CASES))
        return
    case = next(c for c in CASES if c[0] == opts.case)
    run(opts, *case)
    print(f"PASS {case[0]}")


if __name__ == "__main__":
    main()
