#!/usr/bin/env python3
"""Tests of `make demo`'s script: simulator, sample package and command together.

A row per case: the package the demo is given (the sample, or a copy changed by a mutation), how
many times it runs in the same prefix, the exit status and what its output must show.
"""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import winerun  # noqa: E402
SAMPLE = os.path.join(ROOT, "examples", "driver-package")
COMMAND_OUTPUT = b"FTDIBus driver update: OK\r\nFTDIPort driver update: OK\r\n"


def break_port_inf(package):
    path = os.path.join(package, "ftdiport.inf")
    with open(path) as f:
        text = f.read()
    with open(path, "w") as f:
        f.write(text.replace("FTDIBUS\\COMPORT&VID_0403&PID_6001", "FTDIBUS\\COMPORT&VID_0403&PID_6015"))


def remove_bus_inf(package):
    os.unlink(os.path.join(package, "ftdibus.inf"))


def into_cyrillic_folder(package):
    """The sample where a Russian user keeps it: a name outside the code page of the en_US locale
    the demo runs under. Returns the package's new place."""
    moved = os.path.join(os.path.dirname(package), "Драйверы Дмитрия")
    shutil.rmtree(moved, ignore_errors=True)
    os.rename(package, moved)
    return moved


# The demo without a package: the simulated adapter's first install.
SIMULATED = "simulated adapter"

# name, change to a copy of the sample (None: the sample itself; SIMULATED: no package given),
# runs, exit status, must show
CASES = [
    # The tree after: the COM-port device, reported by the bus driver the command installed, shows
    # indented under the USB device with the port driver.
    ("first-install-on-simulated-adapter", SIMULATED, 1, 0,
     [COMMAND_OUTPUT, b"\n  ROOT\\", b"  (no driver)\n",
      b"USB\\VID_0403&PID_6001  Simulated USB Serial Converter (VID 0403, PID 6001), version 2.0.0.0, ftdibus.inf\n"
      b"    FTDIBUS\\COMPORT&VID_0403&PID_6001\\",
      b"  FTDIBUS\\COMPORT&VID_0403&PID_6001  Simulated USB Serial Port (VID 0403, PID 6001), version 2.0.0.0, "
      b"ftdiport.inf\n",
      # The status program last, the COM port first on the port device's line.
      b"> usb-serial-driver-status.exe\nCOM3: COM-port device FTDIBUS\\COMPORT&VID_0403&PID_6001\\",
      b"\r\nAdapter: working (exit 0): every device of the adapter has its driver and works.\r\n"]),
    ("sample-package-twice", None, 2, 0,
     [COMMAND_OUTPUT, b"Sample USB Serial Converter (VID 0403, PID 6001)  1.0.0.0  ftdibus.inf",
      b"Sample USB Serial Port (VID 0403, PID 6001)       1.0.0.0  ftdiport.inf",
      b"Both devices now carry the package's drivers.\n"]),
    ("inf-for-another-device-fails", break_port_inf, 1, 1,
     [b"the COM port device (FTDIBUS\\COMPORT&VID_0403&PID_6001) carries no driver from ftdiport.inf"]),
    ("package-without-bus-inf-fails", remove_bus_inf, 1, 1,
     [b"the bus device (USB\\VID_0403&PID_6001) carries no driver from ftdibus.inf"]),
    ("sample-in-cyrillic-folder", into_cyrillic_folder, 1, 0,
     [COMMAND_OUTPUT, b"Both devices now carry the package's drivers.\n"]),
]


def wine_processes(prefix):
    """Processes still running with this Wine prefix in their environment."""
    found = []
    for pid in winerun.processes("WINEPREFIX", prefix):
        try:
            with open(f"/proc/{pid}/stat") as s:
                if s.read().split(") ")[-1][0] != "Z":
                    found.append(pid)
        except OSError:
            pass  # gone meanwhile
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--case")
    parser.add_argument("--build")
    parser.add_argument("--work")
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(c[0] for c in CASES))
        return
    name, change, runs, status, shows = next(c for c in CASES if c[0] == opts.case)
    package = SAMPLE
    if change == SIMULATED:
        package = None
    elif change:
        package = os.path.join(opts.work, "demo-packages", name)
        shutil.rmtree(package, ignore_errors=True)
        shutil.copytree(SAMPLE, package)
        package = change(package) or package
    prefix = os.path.join(opts.work, "prefix-demo")
    argv = [sys.executable, os.path.join(ROOT, "tools", "demo"), "--build", opts.build, "--prefix", prefix]
    if package is not None:
        argv += ["--package", package]
    # As on a Western system: ANSI code page 1252, and Linux names read as UTF-8.
    env = dict(os.environ, LC_ALL="en_US.UTF-8")
    for run in range(1, runs + 1):
        # The demo's output through a file: Wine services it starts may hold a pipe open.
        with tempfile.TemporaryFile() as out:
            done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                  timeout=600, env=env)
            out.seek(0)
            output = out.read()
        missing = [s for s in shows if s not in output]
        left = wine_processes(prefix)
        if done.returncode != status or missing or left:
            sys.exit(f"FAIL {name}, run {run}\n  expected: exit {status}, output showing {shows!r}, "
                     f"no Wine process left\n  actual:   exit {done.returncode}, missing {missing!r}, "
                     f"left running {left}\n  output:\n{output.decode(errors='replace')}\n"
                     f"  re-run:   {shlex.join(argv)}")
    print(f"PASS {name}")


if __name__ == "__main__":
    main()
