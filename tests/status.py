#!/usr/bin/python3
"""Black-box tests of usb-serial-driver-status.exe under Wine, on the simulated adapter in the real
prefix (tools/devsim), whose drivers Wine's own newdev and setupapi install.

A row per case: how the devices are set up, the arguments, what the cfgmgr32.dll stand-in answers
for CM_Get_DevNode_Status (Wine's own says status 0 and no problem for every device: problem
codes and restarts come only from the stand-in), the exit status as Linux sees it (the low 8
bits: 3010 shows as 194) and the exact output, with the devices' instance IDs as `devsim list`
names them. JSON output is parsed with json.loads and validated against the document's schema
with Debian's python3-jsonschema. On failure a row prints the command that re-runs it and
expected beside actual. ctest runs one row per test (--case NAME); --list names the rows.

With --root, the ARM64 build as ARM64 code under arm64 Wine in that root (tools/arm64root.py), in
the black-box table's ARM64 prefix, which has no device of the adapter: the rows of ARM64_CASES
(the simulated adapter's bus driver is x64 code, which arm64 Wine cannot run).
"""

import argparse
import json
import os
import shlex
import shutil
import sys
from dataclasses import dataclass, field

import jsonschema

import blackbox
from blackbox import BUS_ID, PORT_ID, Failure, devsim, simulate, winerun, to_windows
from devsim import adapter

# Placeholders in a row's arguments: the simulated adapter's package laid out for the row, and
# the sample package (examples/driver-package), whose drivers are version 1.0.0.0.
ADAPTER = "<the simulated adapter's package>"
SAMPLE = blackbox.SAMPLE

SIMULATOR = f"version {adapter.VERSION} of 2026-12-01 from usb-serial-driver-update simulator"
SAMPLE_DRIVER = "version 1.0.0.0 of 2026-12-01 from usb-serial-driver-update sample"
# Lines as the program prints them; {bus} and {port} are the devices' instance IDs.
ADAPTER_PORT = "COM3: COM-port device {port}: driver ftdiport.inf " + SIMULATOR + "; "
ADAPTER_BUS = "USB device {bus}: driver ftdibus.inf " + SIMULATOR + "; "
CODE_14 = "Code 14, the device cannot work properly until the computer is restarted"
CODE_52 = "Code 52, Windows cannot verify the digital signature of the device's drivers"
NO_DEVICE = "no device of the adapter is present"

# The JSON document's shape: every field, no other.
NULLABLE = {"type": ["string", "null"]}
SCHEMA = {
    "type": "object", "additionalProperties": False,
    "required": ["devices", "restart_required", "result"],
    "properties": {
        "devices": {"type": "array", "items": {
            "type": "object", "additionalProperties": False,
            "required": ["role", "instance", "hardware_id", "driver", "problem", "restart_required", "port_name"],
            "properties": {
                "role": {"enum": ["bus", "port"]},
                "instance": {"type": "string"},
                "hardware_id": {"type": "string"},
                "driver": {"type": "object", "additionalProperties": False,
                           "required": ["inf", "version", "date", "provider"],
                           "properties": {"inf": NULLABLE, "version": NULLABLE, "provider": NULLABLE,
                                          "date": {"type": ["string", "null"],
                                                   "pattern": r"^[0-9]{4}-[0-9]{2}-[0-9]{2}$"}}},
                "problem": {"type": "integer"},
                "restart_required": {"type": "boolean"},
                "port_name": NULLABLE}}},
        "restart_required": {"type": "boolean"},
        "result": {"enum": ["working", "no-adapter", "staged", "problem", "other-driver", "restart"]}}}


ARM64_CASES = ["no-adapter"]


def simulated_device(role, instance, port_name, problem=0, restart=False):
    inf = "ftdibus.inf" if role == "bus" else "ftdiport.inf"
    return {"role": role, "instance": instance, "hardware_id": BUS_ID if role == "bus" else PORT_ID,
            "driver": {"inf": inf, "version": adapter.VERSION, "date": "2026-12-01",
                       "provider": "usb-serial-driver-update simulator"},
            "problem": problem, "restart_required": restart, "port_name": port_name}


@dataclass
class Case:
    name: str
    args: list
    # "adapter": the simulated adapter plugged in and set up by the command (both devices, the
    # COM-port device reported by the bus driver); "sample": two devices created with the
    # adapter's hardware IDs and set up with the sample package; "sample-bus-only": the same, then
    # the COM-port device removed; "none": no device of the adapter; "staged": none, in a copy of
    # the real prefix, with the adapter's INF files then put into its INF folder.
    devices: str
    status: int
    stdout: str = ""  # the text, {bus} and {port} filled in; or, with --json, a function of them
    json: object = None
    cfgmgr32: str = ""  # CFGMGR32_STANDIN_STATUS; empty: Wine's own cfgmgr32 answers
    before_staging: dict = field(default_factory=dict)  # the JSON a run before the staging prints


CASES = [
    Case("adapter-set-up-text-with-com-port", [], "adapter", 0,
         ADAPTER_PORT + "working\n" + ADAPTER_BUS + "working\n"
         "Adapter: working (exit 0): every device of the adapter has its driver and works.\n"),
    Case("adapter-set-up-json-package-matches", ["--json", "--package", ADAPTER], "adapter", 0,
         json=lambda bus, port: {"devices": [simulated_device("port", port, "COM3"),
                                             simulated_device("bus", bus, None)],
                                 "restart_required": False, "result": "working"}),
    Case("no-adapter", [], "none", 1, f"Adapter: no-adapter (exit 1): {NO_DEVICE}.\n"),
    # Checked once before the INF files are in the INF folder, and once after.
    Case("no-adapter-package-staged", ["--json", "--package", ADAPTER], "staged", 0,
         json=lambda bus, port: {"devices": [], "restart_required": False, "result": "staged"},
         before_staging={"devices": [], "restart_required": False, "result": "no-adapter"}),
    Case("bus-device-without-com-port-device", [], "sample-bus-only", 2,
         "USB device {bus}: driver ftdibus.inf " + SAMPLE_DRIVER + "; working\n"
         "Adapter: problem (exit 2): a USB device of the adapter has no COM-port device (1 USB, 0 COM-port).\n"),
    Case("another-driver-version", ["--package", ADAPTER], "sample", 2,
         "USB device {bus}: driver ftdibus.inf " + SAMPLE_DRIVER + "; not the package's driver\n"
         "(no COM port): COM-port device {port}: driver ftdiport.inf " + SAMPLE_DRIVER + "; not the package's driver\n"
         "Adapter: other-driver (exit 2): the USB device {bus} has driver version 1.0.0.0, not the package's.\n"),
    Case("problem-52-from-cfgmgr32", [], "adapter", 2,
         ADAPTER_PORT + "problem: " + CODE_52 + "\n" + ADAPTER_BUS + "working\n"
         "Adapter: problem (exit 2): the COM-port device COM3 ({port}): " + CODE_52 + ".\n",
         cfgmgr32="FTDIBUS=0x400:52"),
    Case("restart-14-exits-3010", ["--package", ADAPTER], "adapter", 3010 & 0xFF,
         ADAPTER_PORT + "restart needed: " + CODE_14 + "\n" + ADAPTER_BUS + "working\n"
         "Adapter: restart (exit 3010): the COM-port device COM3 ({port}) needs a restart: " + CODE_14 + ".\n",
         cfgmgr32="FTDIBUS=0x400:14"),
]


def set_up(opts, case, work, prefix, env):
    """Makes the row's devices; returns (the adapter's package, {role: instance ID})."""
    package = adapter.package(os.path.join(work, "adapter"), opts.bus_driver, 0)
    command = [opts.exe]
    if case.devices == "adapter":
        simulate(opts, prefix, ())
        devsim(opts, prefix, "plug")
        command.append(to_windows(package))
    elif case.devices.startswith("sample"):
        simulate(opts, prefix, (BUS_ID, PORT_ID))
        command.append(SAMPLE)
    else:
        simulate(opts, prefix, ())
    if len(command) > 1:
        stdout, _, _ = winerun.run(command, env)
        if stdout != blackbox.OK_OK:
            raise Failure(f"{case.name}: setting up, the command printed {stdout!r}")
    if case.devices == "sample-bus-only":
        devsim(opts, prefix, "remove", PORT_ID)
    instances = {}
    for line in devsim(opts, prefix, "list", BUS_ID, PORT_ID).splitlines():
        instance, hardware_id = line.split("\t")[:2]
        instances["bus" if hardware_id == BUS_ID else "port"] = instance
    return package, instances


def run(opts, case):
    work = os.path.join(opts.work, "status", case.name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    prefix = os.path.join(opts.work, "prefix-standin" if opts.root else "prefix-real")
    if case.devices == "staged":
        # INF files put into the INF folder stay there: a copy of the prefix of the row's own.
        simulate(opts, prefix, ())
        winerun.stop(prefix)
        blackbox.linked_copy(prefix, os.path.join(work, "prefix"))
        prefix = os.path.join(work, "prefix")
    env = blackbox.wine_env(opts, blackbox.Case(case.name, [], prefix="real"), prefix,
                            os.path.join(work, "calls.log"), os.path.join(work, "release"))
    status_exe = opts.status_exe
    try:
        if opts.root:
            package, instances = None, {}
            status_exe = shutil.copy(status_exe, work)  # where the root's Wine sees it
        else:
            package, instances = set_up(opts, case, work, prefix, env)
        argv = [status_exe] + [to_windows(package) if a == ADAPTER else a for a in case.args]
        log = os.path.join(work, "cfgmgr32.log")
        if case.cfgmgr32:
            env.update(WINEDLLOVERRIDES="newdev=n;cfgmgr32=n", CFGMGR32_STANDIN_STATUS=case.cfgmgr32,
                       CFGMGR32_STANDIN_LOG=to_windows(log))
        rerun = " ".join(f"{k}={shlex.quote(env[k])}" for k in sorted(env)
                         if k.startswith(("WINE", "CFGMGR32_"))) + " " + shlex.join(winerun.command(argv, opts.root, work))

        def check(what, expected, actual):
            if expected != actual:
                raise Failure(f"{case.name}: {what} differs\n  expected: {expected!r}\n  actual:   {actual!r}\n"
                              f"  re-run:   {rerun}")

        if case.before_staging:
            stdout, _, status = winerun.run(argv, env)
            check("exit status before the staging (control)", 1, status)
            check("the document before the staging (control)", case.before_staging, parse(stdout, check))
            inf = os.path.join(prefix, "drive_c", "windows", "inf")
            for number, name in enumerate(("ftdibus.inf", "ftdiport.inf"), 90):
                shutil.copyfile(os.path.join(package, name), os.path.join(inf, f"oem{number}.inf"))
        stdout, stderr, status = winerun.run(argv, env, cwd=work, root=opts.root)
        check("exit status", case.status, status)
        bus, port = instances.get("bus"), instances.get("port")
        if case.json:
            check("the document", case.json(bus, port), parse(stdout, check))
        else:
            check("stdout", case.stdout.format(bus=bus, port=port).replace("\n", "\r\n").encode(), stdout)
        check("stderr", b"", stderr)
        if case.cfgmgr32:
            # The stand-in's own log: the wait for installs in progress, bounded, came first.
            with open(log) as f:
                calls = [line.split()[0] for line in f if line.split()[0] != "attach"]
                f.seek(0)
                waits = [line.split()[2] for line in f if line.startswith("wait ")]
            check("calls to the stand-in", ["wait"] + ["status"] * len(instances), calls)
            check("the wait's bound", ["timeout=5000"], waits)
    finally:
        if case.devices == "staged":
            winerun.stop(prefix)


def parse(stdout, check):
    """The JSON document: ASCII, one line, valid against the schema."""
    check("non-ASCII bytes in the document", [], [b for b in stdout if b > 0x7F])
    document = json.loads(stdout)
    check("schema errors", [], [f"{list(e.path)}: {e.message}" for e in
                                jsonschema.Draft7Validator(SCHEMA).iter_errors(document)])
    return document


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    for option in ("--case", "--work", "--exe", "--status-exe", "--devsim", "--bus-driver"):
        parser.add_argument(option)
    parser.add_argument("--root", help="the arm64 root: run the ARM64 build there")
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(c.name for c in CASES if not opts.root or c.name in ARM64_CASES))
        return
    case = next((c for c in CASES if c.name == opts.case), None)
    if case is None:
        sys.exit(f"no case named {opts.case!r}")
    try:
        run(opts, case)
    except Failure as failure:
        sys.exit(f"FAIL {failure}")
    print(f"PASS {case.name}")


if __name__ == "__main__":
    main()
