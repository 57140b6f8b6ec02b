#!/usr/bin/env python3
"""The command inside the tools that run it, under Wine: the example installer run silently, the
example batch file under Wine's `cmd /c` beside the .exe, as they are shipped, and the example MSI
under `msiexec /qn` with a verbose log.

A row per case: the client, what the stand-in newdev.dll answers (or Wine's own newdev on
simulated devices), the client's exit status, what it must show of the command's output (the
installer's log, the batch file's standard output), the INF paths that reached the platform and,
for real installs, the drivers the devices carry afterwards. For the MSI also the files under
Program Files and the products installed. ctest runs one row per test.

With --root, the rows of ARM64_CASES: the batch file under arm64 Wine's cmd in that root
(tools/arm64root.py), where PROCESSOR_ARCHITECTURE is ARM64 as on Windows on ARM, shipped with
both builds; --list --root names them.
"""

import argparse
import ntpath
import os
import re
import shlex
import shutil
import subprocess
import sys

import pefile

import blackbox
from blackbox import BUS_ID, PORT_ID, OK_OK, ok, err, winerun, to_windows

PKG = "C:\\drivers\\usb-serial"
# Names with what cmd treats specially: spaces, &, parentheses, ^ and !.
ODD_FOLDER = "shipped & tested (v2) ^1 !x!"
ODD_PKG = "C:\\My Drivers & Co (USB) ^2 !new!\\"
# The driver package on a drive of its own, as on a USB stick: a letter of the real prefix's
# dosdevices pointing at the sample package.
DRIVE = ("e:", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "driver-package"))

WXS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "msi", "usb-serial-driver.wxs")
# The MSI installs here and runs the batch file on the package folder inside.
MSI_DIR = "C:\\Program Files\\USB Serial Driver Update"
MSI_PKG = MSI_DIR + "\\driver-package"
MSI_FILES = ["arm64/usb-serial-driver-status.exe", "arm64/usb-serial-driver-update.exe",
             "driver-package/ftdibus.inf", "driver-package/ftdiport.inf", "update-drivers.cmd",
             "usb-serial-driver-status.exe", "usb-serial-driver-update.exe"]
# The batch file's record of its runs, beside it; a rollback leaves it, uninstall removes it.
LOG = "update-drivers.log"
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
PNPUTIL = "C:\\windows\\System32\\pnputil.exe"
PNPUTIL_ADDED = b"Stand-in pnputil: driver package added.\r\n"  # what it shows, as the batch file passes on


# What the status program adds to the installer's log where no adapter is plugged in and the
# package is not staged (the stand-in pnputil stages nothing).
NO_ADAPTER = (b"Adapter: no-adapter (exit 1): no device of the adapter is present, and the package's drivers are "
              b"not both in the driver store.\r\n")
# ... and where the sample package is on both simulated devices.
SAMPLE_WORKING = (b"USB device ROOT\\UNKNOWN\\0000: driver ftdibus.inf version 1.0.0.0 of 2026-12-01 from "
                  b"usb-serial-driver-update sample; working\r\n(no COM port): COM-port device ROOT\\UNKNOWN\\0001: "
                  b"driver ftdiport.inf version 1.0.0.0 of 2026-12-01 from usb-serial-driver-update sample; working\r\n"
                  b"Adapter: working (exit 0): every device of the adapter has the package's driver and works.\r\n")


def staged(line):
    """The batch file's line for a driver it staged because no device carries its hardware ID."""
    return f"{line} driver staged: no such device is plugged in; Windows installs it on an adapter plugged in for the first time.\r\n".encode()

# msiexec's exit status after a failed custom action, as Linux sees Wine's: the low 8 bits of
# 1627 (ERROR_FUNCTION_FAILED). Windows documents 1603 (ERROR_INSTALL_FAILURE) for the same.
MSI_FAILED = 1627 & 0xFF

# name, client, stand-in script ("real": Wine's own newdev on the simulated devices), exit
# status, the command's output as the client shows it[, the batch file's argument[, a second
# run of the batch file started at the same moment: its script, exit status and output]]
# [, {how}]: how the batch file is shipped and started, see run()
CASES = [
    ("installer-both-ok", "installer", "ok,ok", 0, OK_OK + NO_ADAPTER),
    ("installer-bus-fails", "installer", "fail:5,ok", 1, err("FTDIBus", 5) + ok("FTDIPort") + NO_ADAPTER),
    ("installer-port-fails", "installer", "ok,fail:0xE000020B", 1,
     ok("FTDIBus") + err("FTDIPort", -536870389) + NO_ADAPTER),
    ("installer-real-install", "installer", "real", 0, OK_OK + SAMPLE_WORKING),
    ("batch-both-ok", "batch", "ok,ok", 0, OK_OK),
    ("batch-bus-fails", "batch", "fail:0xE0000242,ok", 1, err("FTDIBus", -536870334) + ok("FTDIPort")),
    ("batch-port-fails", "batch", "ok,fail:5", 1, ok("FTDIBus") + err("FTDIPort", 5)),
    ("batch-real-install", "batch", "real", 0, OK_OK),
    # Relative to the current directory, handed on as the full path Windows asks for.
    ("batch-relative-directory-made-full", "batch", "ok,ok", 0, OK_OK, "drivers\\usb-serial"),
    # Fleet tools start many at once: two runs must not take each other's result.
    ("batch-two-runs-at-once", "batch", "fail:5,ok", 1, err("FTDIBus", 5) + ok("FTDIPort"), PKG,
     ("ok,ok", 0, OK_OK)),
    # A trailing backslash goes, or the quoted argument would end in \", an escaped quote.
    ("batch-trailing-backslash-dropped", "batch", "ok,ok", 0, OK_OK, PKG + "\\", None,
     {"reaches": PKG}),
    ("batch-relative-trailing-backslash", "batch", "ok,ok", 0, OK_OK, "drivers\\usb-serial\\"),
    ("batch-drive-root", "batch", "ok,fail:5", 1, ok("FTDIBus") + err("FTDIPort", 5), "E:\\", None,
     {"reaches": "E:"}),
    # Started by its own path, as a management tool starts it, from a folder and on a package whose
    # names hold what cmd treats specially: both reach the command unchanged.
    ("batch-odd-names-passed-unchanged", "batch", "ok,ok", 0, OK_OK, ODD_PKG, None,
     {"folder": ODD_FOLDER, "start": "program", "reaches": ODD_PKG[:-1]}),
    # No device for the bus driver: it is staged, from the odd names as they are.
    ("batch-odd-names-bus-staged", "batch", "fail:0xE000020B,ok", 0,
     err("FTDIBus", -536870389) + ok("FTDIPort") + PNPUTIL_ADDED + staged("FTDIBus"), ODD_PKG, None,
     {"folder": ODD_FOLDER, "start": "program", "reaches": ODD_PKG[:-1],
      "staged": [("-a", ODD_PKG + "ftdibus.inf")]}),
    # Where delayed expansion is on by default (cmd /v:on), a ! in the directory stays.
    ("batch-bang-kept-with-delayed-expansion-on", "batch", "ok,ok", 0, OK_OK, "C:\\drivers\\usb!new!", None,
     {"start": "cmd-delayed-expansion"}),
    ("batch-real-install-trailing-backslash", "batch", "real", 0, OK_OK, blackbox.SAMPLE + "\\", None,
     {"reaches": blackbox.SAMPLE}),
    ("batch-real-install-drive-root", "batch", "real", 0, OK_OK, "E:\\", None,
     {"reaches": "E:", "drive": DRIVE}),
    # The bus device is there, its COM port not yet, on Windows 10 (the prefix says so): the bus
    # driver is updated, the port's staged with /add-driver; but a USB device whose COM-port device
    # never came does not work, and the status program says so.
    ("batch-real-install-no-port-device-staged-exits-1", "batch", "real", 1,
     ok("FTDIBus") + err("FTDIPort", -536870389) + PNPUTIL_ADDED + staged("FTDIPort")
     + b"Adapter: problem (exit 2): a USB device of the adapter has no COM-port device (1 USB, 0 COM-port).\r\n",
     None, None,
     {"devices": (BUS_ID,), "windows": "win10", "staged": [("/add-driver", blackbox.SAMPLE + "\\ftdiport.inf")]}),
    # Both updated, and Windows wants a restart to finish (Code 14, from the cfgmgr32 stand-in):
    # the batch file exits 3010, which fleet tools read as "restart" (Linux sees its low 8 bits).
    ("batch-real-install-restart-exits-3010", "batch", "real", 3010 & 0xFF,
     OK_OK + b"Adapter: restart (exit 3010): the USB device ROOT\\UNKNOWN\\0000 needs a restart: Code 14, "
     b"the device cannot work properly until the computer is restarted.\r\n", None, None,
     {"cfgmgr32": "ROOT\\UNKNOWN=0x400:14"}),
    # The MSI, in a prefix of its own per row. The argument column lists the msiexec runs, in
    # order ("/i older": the MSI of a lower version; "/i make VERSION=x": as `make msi VERSION=x`
    # builds it; "/i again": a second /i of the installed version, which must not update; other
    # words after /i are properties); each other /i runs the batch file once. The product is
    # installed afterwards when the last run is a successful /i; after a failed one only the
    # batch file's log is left; after /x nothing. What the command printed goes nowhere on
    # Windows but into that log.
    ("msi-both-ok", "msi", "ok,ok", 0, None, ["/i"]),
    ("msi-bus-fails-rolled-back", "msi", "fail:5,ok", MSI_FAILED, None, ["/i"]),
    ("msi-port-fails-rolled-back", "msi", "ok,fail:0xE0000247", MSI_FAILED, None, ["/i"]),
    ("msi-uninstall-removes-files", "msi", "ok,ok", 0, None, ["/i", "/x"]),
    ("msi-upgrade-from-lower-version", "msi", "ok,ok", 0, None, ["/i older", "/i"]),
    ("msi-real-install", "msi", "real", 0, None, ["/i"]),
    # No adapter: both drivers staged, with -a on the Windows 7 that Wine's msiexec reports.
    ("msi-real-install-no-adapter-staged", "msi", "real", 0, None, ["/i"], None,
     {"devices": (), "staged": [("-a", MSI_PKG + "\\ftdibus.inf"), ("-a", MSI_PKG + "\\ftdiport.inf")]}),
    ("msi-real-install-staging-fails-rolled-back", "msi", "real", MSI_FAILED, None, ["/i"], None,
     {"devices": (), "pnputil_exit": "5", "staged": [("-a", MSI_PKG + "\\ftdibus.inf"),
                                                     ("-a", MSI_PKG + "\\ftdiport.inf")]}),
    ("msi-second-install-no-update", "msi", "ok,ok", 0, None, ["/i", "/i again"]),
    # What an administrator collects: a dated record with the command's lines and the verdict.
    ("msi-log-after-install", "msi", "ok,fail:0xE000020B", 0, None, ["/i"], None,
     {"staged": [("-a", MSI_PKG + "\\ftdiport.inf")], "log": [
         ok("FTDIBus"), err("FTDIPort", -536870389), staged("FTDIPort"),
         NO_ADAPTER, b"Result: exit 0, every driver updated or staged.\r\n"]}),
    # Every directory of the package named on the command line: nothing leaves Program Files.
    ("msi-installdir-given-stays-in-program-files", "msi", "ok,ok", 0, None, ["/i moved"]),
    ("msi-upgrade-through-make-version", "msi", "ok,ok", 0, None, ["/i", "/i make VERSION=9.9.9"]),
]


# The batch file on Windows on ARM64 (the arm64 root's prefix says ARM64, as Windows does): it runs
# the ARM64 build from arm64\ beside it, also from a 32-bit or emulated cmd, which sees x86 in
# PROCESSOR_ARCHITECTURE and ARM64 in PROCESSOR_ARCHITEW6432; where arm64\ is missing, it fails
# and never runs the .exe beside it, which here is an ARM64 build that would succeed.
MISSING = (b"arm64\\usb-serial-driver-update.exe or arm64\\usb-serial-driver-status.exe is missing beside "
           b"update-drivers.cmd: this Windows (ARM64) runs that build of the programs.\r\n")
ARM64_CASES = [
    ("batch-arm64-runs-arm64-build", "batch", "ok,ok", 0, OK_OK, None, None, {"arm64": "native"}),
    ("batch-arm64-from-32-bit-cmd", "batch", "fail:5,ok", 1, err("FTDIBus", 5) + ok("FTDIPort"), None, None,
     {"arm64": "32-bit-cmd"}),
    ("batch-arm64-build-missing-fails", "batch", "ok,ok", 1, MISSING, None, None, {"arm64": "missing"}),
]
# On x64, shipped with both builds, it runs the x64 one (x64 Wine cannot run the ARM64 one).
CASES.append(("batch-x64-beside-arm64-runs-x64-build", "batch", "ok,ok", 0, OK_OK, None, None, {"arm64": "beside"}))


def packed(guid):
    """A GUID as Windows Installer writes it in registry key names."""
    g = guid.strip("{}").replace("-", "")
    return g[7::-1] + g[11:7:-1] + g[15:11:-1] + "".join(g[i + 1] + g[i] for i in range(16, 32, 2))


def msi_products(prefix):
    """The versions of the installed products that carry the MSI's UpgradeCode: the values under
    the key that MsiEnumRelatedProducts reads, each looked up in Add/Remove Programs."""
    with open(WXS) as f:
        upgrade_code = re.search(r'UpgradeCode="([0-9A-F-]{36})"', f.read())[1]

    def query(key):
        # /reg:64: the 64-bit view, where a 64-bit package registers itself.
        out, _, status = winerun.run(["reg", "query", key, "/reg:64"], winerun.env(prefix))
        return out.decode() if status == 0 else ""

    versions = []
    for code in re.findall(r"^ +([0-9A-F]{32}) ", query("HKLM\\Software\\Classes\\Installer\\UpgradeCodes\\"
                                                       + packed(upgrade_code)), re.M):
        guid = packed(code)  # packing is its own inverse
        guid = "{%s-%s-%s-%s-%s}" % (guid[:8], guid[8:12], guid[12:16], guid[16:20], guid[20:])
        entry = query("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + guid)
        found = re.search(r"^ +DisplayVersion +REG_SZ +(\S+)", entry, re.M)
        versions.append(found[1] if found else f"{guid} without an Add/Remove Programs entry")
    return sorted(versions)


def msi_files(prefix):
    """The files under the MSI's folder, or None when there is no such folder."""
    folder = os.path.join(prefix, "drive_c", *MSI_DIR[3:].split("\\"))
    if not os.path.isdir(folder):
        return None
    return sorted(os.path.relpath(os.path.join(d, n), folder) for d, _, names in os.walk(folder) for n in names)


def make_msi(opts, work, variable):
    """The MSI as `make msi VARIABLE=value` builds it: the tools/msi command make would run, into
    the row's folder."""
    build = os.path.dirname(os.path.dirname(os.path.abspath(opts.exe)))
    planned = subprocess.run(["make", "-n", "-s", "msi", variable, "PRESET=" + os.path.basename(build)],
                             cwd=ROOT, capture_output=True, text=True, check=True).stdout
    line = next(line for line in planned.replace("\\\n", " ").splitlines() if line.startswith("tools/msi "))
    out = os.path.join(work, "made.msi")
    subprocess.run(line + " --out " + shlex.quote(out), shell=True, cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    return out


def moved(opts):
    """Every directory property of the MSI, set to a folder outside Program Files."""
    table = subprocess.run(["msiinfo", "export", opts.msi, "Directory"], capture_output=True, text=True,
                           check=True).stdout
    names = [row.split("\t")[0] for row in table.splitlines()[3:]]
    return [f"{n}=C:\\Tools\\{n}\\" for n in names if n not in ("TARGETDIR", "ProgramFiles64Folder")]


def run_msi(opts, env, prefix, work, status, runs, check):
    """Runs msiexec as the row says and checks what it leaves; returns the last argv and the
    standard error of all runs."""
    stderr = b""
    version = opts.version
    for number, step in enumerate(runs, 1):
        action, *words = step.split(" ")
        msi, properties = opts.msi, words
        if words[:1] == ["older"]:
            msi, properties = opts.older_msi, []
        elif words[:1] == ["make"]:
            msi, properties, version = make_msi(opts, work, words[1]), [], words[1].split("=")[1]
        elif words[:1] == ["moved"]:
            properties = moved(opts)
        elif words[:1] == ["again"]:
            properties = []
        verbose_log = os.path.join(work, f"msiexec-{number}.log")
        argv = ["msiexec", action, to_windows(msi), *properties, "/qn", "/l*v", to_windows(verbose_log)]
        _, more, actual_status = winerun.run(argv, env, cwd=work, timeout=300)
        stderr += more
        check(f"exit status of msiexec {step}", status if number == len(runs) else 0, actual_status)
        if action == "/i" and words[:1] != ["again"]:
            with open(verbose_log, encoding="ascii", errors="replace") as f:
                check(f"the verbose log of msiexec {step} names the driver update", True,
                      "UpdateDrivers" in f.read())
    installed = runs[-1].startswith("/i") and status == 0
    check("files under Program Files",
          sorted(MSI_FILES + [LOG]) if installed else [LOG] if runs[-1].startswith("/i") else None, msi_files(prefix))
    check("folders outside Program Files", False, os.path.exists(os.path.join(prefix, "drive_c", "Tools")))
    check("versions of the installed product", [version] if installed else [], msi_products(prefix))
    return argv, stderr


def run(opts, name, client, script, status, shown, argument=None, alongside=None, how=None):
    """how: "folder", the name of the folder the batch file is shipped in; "start", how it is
    started: "cmd" (cmd /c, the default), "program" (by its own path, as a program starts it) or
    "cmd-delayed-expansion" (cmd /v:on /c); "reaches", the directory as it must reach the
    platform (default: the argument as given, made full); "drive", (letter, Linux folder) mapped
    for the run; "devices", the hardware IDs of the simulated devices of a real install (default:
    both); "windows", the Windows version the prefix reports; "pnputil_exit", the stand-in
    pnputil's exit status; "staged", the (switch, INF) it must be run with, in order (default:
    never run); "log", the lines the MSI's log must hold after its dated first line; "cfgmgr32",
    the devices' status as the cfgmgr32 stand-in answers it (CFGMGR32_STANDIN_STATUS)."""
    how = how or {}
    work = os.path.join(opts.work, "clients", name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    real = script == "real"
    prefix = os.path.join(opts.work, "prefix-real" if real else "prefix-standin")
    own = client == "msi" or "windows" in how
    if own:
        # What msiexec installs, or a Windows version set, no other row may see: a prefix of the
        # row's own.
        if real:
            # Wine writes a prefix's registry to disk when its server ends: a copy of a running
            # one can lack what the last row installed. The real-prefix rows run one at a time.
            winerun.stop(prefix)
        blackbox.linked_copy(prefix, os.path.join(work, "prefix"))
        prefix = os.path.join(work, "prefix")
    log, shown_file = os.path.join(work, "calls.log"), os.path.join(work, "installer.log")
    # The black-box table's environment for a row with this script and prefix.
    env = blackbox.wine_env(opts, blackbox.Case(name, [], script="" if real else script,
                                                       prefix="real" if real else "standin"),
                            prefix, log, os.path.join(work, "release"))
    pnputil_log = os.path.join(work, "pnputil.log")
    env.update(PNPUTIL_STANDIN_LOG=to_windows(pnputil_log, opts.root), PNPUTIL_STANDIN_EXIT=how.get("pnputil_exit", ""))
    if "cfgmgr32" in how:
        # The devices' status as the status program reads it, from the cfgmgr32 stand-in.
        env.update(WINEDLLOVERRIDES="newdev=n;cfgmgr32=n", CFGMGR32_STANDIN_STATUS=how["cfgmgr32"])
    devices = how.get("devices", (BUS_ID, PORT_ID))
    if real:
        blackbox.simulate(opts, prefix, devices)
    if "windows" in how:
        # The Windows version the prefix reports, which `ver` prints.
        winerun.run(["reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", how["windows"], "/f"], env)
    problems = []

    def check(what, expected, actual):
        if expected != actual:
            problems.append(f"{what} differs\n  expected: {expected!r}\n  actual:   {actual!r}")

    if client == "msi":
        argv, stderr = run_msi(opts, env, prefix, work, status, argument, check)
    else:
        argv, stderr, package_dir = run_program(opts, env, prefix, work, client, real, status, shown,
                                                argument, alongside, how, shown_file, log, check)
    calls = blackbox.parse_log(log)[1]
    if real:
        check("installed drivers (description, version, INF)", {h: blackbox.SAMPLE_INSTALLED[h] for h in devices},
              {h: s for h, s in blackbox.devsim_list(opts, prefix).items() if h in blackbox.SAMPLE_INSTALLED})
    check("pnputil runs (its path, switch, INF)", [(PNPUTIL, *s) for s in how.get("staged", [])],
          pnputil_runs(pnputil_log))
    if "log" in how:
        check("the record in " + MSI_DIR + "\\" + LOG, how["log"], msi_log(prefix))
        with open(os.path.join(ROOT, "docs", "deploying.md"), encoding="utf-8") as f:
            check("docs/deploying.md names the log's place", True, MSI_DIR + "\\" + LOG in f.read())
    if client == "msi":
        # Exactly the installed package's INF files, once for each install that updates.
        installs = sum(step.startswith("/i") and step != "/i again" for step in argument)
        check("calls (hardware ID, INF path)",
              [(BUS_ID, MSI_PKG + "\\ftdibus.inf"), (PORT_ID, MSI_PKG + "\\ftdiport.inf")] * installs,
              [(c["hwid"], c["inf"]) for c in calls])
    elif how.get("arm64") == "missing":
        check("calls (none: no other build runs in the ARM64 one's place)", [], calls)
    else:
        check("hardware IDs", [BUS_ID, PORT_ID], [c["hwid"] for c in calls])
        if client == "installer":
            # The package it ran on lay in one fresh folder under Program Files, where only
            # administrators write, not in a user's folder; that folder is gone afterwards.
            machine = pefile.PE(opts.installer, fast_load=True).FILE_HEADER.Machine
            check("the installer's machine (x86, what stock NSIS builds)", "0x14c", hex(machine))
            package_dir = ntpath.dirname(calls[0]["inf"]) if calls else "?"
            unpacked = ntpath.dirname(package_dir)
            check("the folder the package was unpacked into lies in", "C:\\Program Files", ntpath.dirname(unpacked))
            check("the unpacked folder removed", False,
                  os.path.lexists(os.path.join(prefix, "drive_c", *unpacked.split("\\")[1:])))
        check("INF paths", [package_dir + "\\ftdibus.inf", package_dir + "\\ftdiport.inf"], [c["inf"] for c in calls])
    if own:
        winerun.stop(prefix)
    if problems:
        rerun = " ".join(f"{k}={shlex.quote(env[k])}" for k in sorted(env)
                         if k.startswith(("WINE", "NEWDEV_", "LANG"))) + " " + shlex.join(winerun.command(argv, opts.root, work))
        sys.exit(f"FAIL {name}: " + "\n".join(problems) +
                 f"\n  stderr:   {stderr.decode(errors='replace')[-2000:]}\n  re-run:   (cd {shlex.quote(work)} && {rerun})")



def pnputil_runs(path):
    """(program, switch, INF) of each run of the stand-in pnputil.exe."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="ascii") as f:
        return [tuple(blackbox.decode(word) for word in line.split()[1:]) for line in f]


def msi_log(prefix):
    """The lines of the batch file's log in the install folder after its dated first line, which
    must name the run, or the whole log when that line is not there."""
    path = os.path.join(prefix, "drive_c", *MSI_DIR[3:].split("\\"), LOG)
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        lines = f.read().splitlines(keepends=True)
    header = re.compile(rb'^---- \S+ \S+.* update-drivers\.cmd "' + re.escape(MSI_PKG.encode()) + rb'"\r\n$')
    return lines[1:] if lines and header.match(lines[0]) else lines


def run_program(opts, env, prefix, work, client, real, status, shown, argument, alongside, how,
                shown_file, log, check):
    """Runs the installer or the batch file as the row says and checks what it shows; returns the
    argv, Wine's standard error and the directory the batch file must hand on (None: the
    installer's)."""
    drive = how.get("drive")
    if drive:
        link = os.path.join(prefix, "dosdevices", drive[0])
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(os.path.abspath(drive[1]), link)
    package_dir = None  # the installer unpacks it into a folder of its own
    if client == "installer":
        argv = [opts.installer, "/S", "/LOG=" + to_windows(shown_file)]
    else:
        # Shipped side by side: the batch file runs the command found beside it.
        folder = os.path.join(work, how.get("folder", "shipped"))
        os.makedirs(folder)
        arm64 = how.get("arm64")
        # Both programs; where the ARM64 builds must be missing, those in their place beside it.
        for x64, arm in ((opts.exe, opts.arm64_exe), (opts.status_exe, opts.arm64_status_exe)):
            shutil.copy(arm if arm64 == "missing" else x64, folder)
            if arm64 in ("native", "32-bit-cmd", "beside"):
                os.makedirs(os.path.join(folder, "arm64"), exist_ok=True)
                shutil.copy(arm, os.path.join(folder, "arm64"))
        shutil.copy(opts.batch, folder)
        argument = argument or (blackbox.SAMPLE if real else PKG)
        batch = to_windows(os.path.join(folder, os.path.basename(opts.batch)), opts.root)
        argv = {"cmd": ["cmd", "/c", batch, argument], "program": [batch, argument],
                "cmd-delayed-expansion": ["cmd", "/v:on", "/c", batch, argument]}[how.get("start", "cmd")]
        if arm64 == "32-bit-cmd":
            argv[2:2] = ["set", "PROCESSOR_ARCHITECTURE=x86&&", "set", "PROCESSOR_ARCHITEW6432=ARM64&&"]
        full = argument if ":" in argument else to_windows(work, opts.root) + "\\" + argument
        package_dir = how.get("reaches", full[:-1] if full.endswith("\\") else full)
    twin = alongside and winerun.start(argv, dict(env, NEWDEV_STANDIN_SCRIPT=alongside[0],
                                                  NEWDEV_STANDIN_LOG=to_windows(log + ".twin")), cwd=work)
    try:
        stdout, stderr, actual_status = winerun.run(argv, env, cwd=work, timeout=300, root=opts.root)
    finally:
        if drive:
            os.unlink(link)
    if client == "installer":
        stdout = b""
        if os.path.exists(shown_file):
            with open(shown_file, "rb") as f:
                stdout = f.read()
    check("exit status", status, actual_status)
    check("the command's output as shown", shown, stdout)
    if twin:
        twin_stdout, _, twin_status = winerun.finish(twin, timeout=300)
        check("exit status of the run alongside", alongside[1], twin_status)
        check("the command's output as the run alongside shows it", alongside[2], twin_stdout)
    return argv, stderr, package_dir

def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    for option in ("--case", "--work", "--exe", "--status-exe", "--arm64-exe", "--arm64-status-exe", "--devsim",
                   "--installer", "--batch", "--msi",
                   "--older-msi", "--version"):
        parser.add_argument(option)
    parser.add_argument("--root", help="the arm64 root: run the batch file's ARM64 rows there")
    opts = parser.parse_args()
    cases = ARM64_CASES if opts.root else CASES
    if opts.list:
        print("\n".join(c[0] for c in cases))
        return
    case = next(c for c in cases if c[0] == opts.case)
    run(opts, *case)
    print(f"PASS {case[0]}")


if __name__ == "__main__":
    main()
