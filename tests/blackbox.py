#!/usr/bin/env python3
"""Black-box tests of usb-serial-driver-update.exe under Wine.

Each row of CASES runs the real .exe with a scriptable stand-in for newdev.dll in the test prefix's
system32 and checks the exact stdout bytes, the exit status and the calls that reached the platform.
ctest runs one row per test (--case NAME); --list names the rows. On failure a case prints the command
that re-runs it and expected beside actual.

With --root, the ARM64 build runs as ARM64 code under Debian's arm64 Wine in that root
(tools/arm64root.py), with the ARM64 stand-in: the rows of ARM64_CASES, which need no kernel-mode
driver and no x64 program (arm64 Wine runs no x64 code). --list --root names those.
"""

import argparse
import ntpath
import os
import select
import shlex
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass, field, replace

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import winerun  # noqa: E402
from devsim import adapter  # noqa: E402
from winerun import to_windows  # noqa: E402

BUS_ID = "USB\\VID_0403&PID_6001"
PORT_ID = "FTDIBUS\\COMPORT&VID_0403&PID_6001"
SYSTEM32 = "C:\\windows\\system32"
SYSTEM_NEWDEV = SYSTEM32 + "\\newdev.dll"
# DLLs the stand-in loads by bare name while it works, as the platform's installer code loads its
# helpers: one that system32 has (in the stand-in's prefix), one that this Windows lacks.
SYSTEM_HELPER = "usdu-helper.dll"
ABSENT_HELPER = "usdu-absent.dll"


def ok(label):
    return f"{label} driver update: OK\r\n".encode()


def err(label, code):
    return f"{label} driver update error: {code}\r\n".encode()


def both(directory):
    """The two calls a one-argument run makes, for a directory as it reaches the platform."""
    return [(BUS_ID, directory + "\\ftdibus.inf"), (PORT_ID, directory + "\\ftdiport.inf")]


USAGE = b"Parameter missing."
OK_OK = ok("FTDIBus") + ok("FTDIPort")
PKG = "C:\\drivers\\usb-serial"
SAMPLE = "Z:" + os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "examples",
                                             "driver-package")).replace("/", "\\")
SAMPLE_INSTALLED = {
    BUS_ID: ("Sample USB Serial Converter (VID 0403, PID 6001)", "1.0.0.0", "ftdibus.inf"),
    PORT_ID: ("Sample USB Serial Port (VID 0403, PID 6001)", "1.0.0.0", "ftdiport.inf"),
}
LONG_DIR = "C:\\" + "\\".join(["d" * 60] * 5)  # 307 characters, past MAX_PATH
JA_DIR = "C:\\ドライバ\\表示"  # 表 is 0x95 0x5C in Shift-JIS: its trail byte is a backslash
# The wait for the COM-port device sleeps 200 ms before it looks again: a run that does not wait
# goes from the first call to the second in less.
NO_WAIT = (0, 190)
# The simulated adapter's package (tools/devsim), laid out for each row that plugs it in.
ADAPTER = "<the simulated adapter's package>"
ADAPTER_INSTALLED = {BUS_ID: (adapter.BUS_DESCRIPTION, adapter.VERSION, "ftdibus.inf"),
                     PORT_ID: (adapter.PORT_DESCRIPTION, adapter.VERSION, "ftdiport.inf")}
FIRST_INSTALL = dict(prefix="real", plugged=True, calls=both(ADAPTER))
RU_DIR = "C:\\Users\\Дмитрий\\Драйверы"
# The bound of each wait for installs in progress, in the command as shipped and in its short-bounds
# copy; what CMP_WaitNoPendingInstallEvents returns when that bound is reached.
BOUND = {"utf8": 30000, "ansi": 30000, "short": 4000}
WAIT_TIMEOUT = 258


@dataclass
class Case:
    name: str
    args: list
    stdout: bytes = OK_OK
    calls: list = field(default_factory=list)  # (hardware ID, full INF path) in order
    script: str = ""  # the stand-in's answers, see tests/standin/newdev.cpp
    env: dict = field(default_factory=dict)
    prefix: str = "standin"  # which newdev.dll the prefix's system32 holds
    stdin: str = "empty"  # "empty", or "held": a pipe kept open, see run_held_stdin
    plant: tuple = ()  # where copies are planted: "exe-dir", "cwd", "path" (a WINEPATH directory)
    # DLL name the stand-in loads by bare name: the folder it must come from, or None (not loaded).
    # With loads, the planted copies are of these DLLs; without, of newdev.dll.
    loads: dict = field(default_factory=dict)
    control: str = ""  # the place whose copy the control must load; default: the one planted
    pipe_first_line: bool = False
    # Started by `cmd /c`: while the command waits in its second call, the Linux processes of both
    # must run without address randomization (see tools/winerun.py).
    unrandomized: bool = False
    alone: bool = False  # the .exe copied alone into an empty folder
    devices: tuple = ()  # hardware IDs of the simulated devices made before the run ("real" prefix)
    installed: dict = field(default_factory=dict)  # hardware ID: (description, version, INF) after
    # (least, most) milliseconds from the first call's return to the second call's start.
    pause: tuple = ()
    # The simulated adapter plugged in as new: a USB device without a driver, whose bus driver
    # reports the COM-port device child_delay ms after it starts (None: never). set_up: the
    # command has run on it once before, so that both devices are there and set up.
    plugged: bool = False
    child_delay: object = 0
    set_up: bool = False
    # "utf8": the .exe as shipped; "ansi": the test-only copy whose manifest lacks the UTF-8 code
    # page, which is the command as Windows before 10 version 1903 runs it; "short": the test-only
    # copy whose waits are bounded at 4 s.
    build: str = "utf8"
    hidden: bool = False  # started in a window station of its own (tests/hidden-station.cpp)
    flags: int = 1  # the install flags both calls get
    # The waits for installs in progress, in order: (timeout (least, most), result, how long it
    # lasted (least, most)). None: only the first is checked, that it comes before the bus call.
    waits: list = None
    # The restart indicator's value as each call found it; None: only the first call's, FALSE.
    indicators: tuple = None
    settle: int = 0  # seconds the drivers may take to become `installed` after the run
    hide_usb_ms: int = 0  # the USB device taken out of the looks for this long once the bus call returned
    # The args go into the Windows command line as written, quotes and all, run by `cmd /c`. Given
    # as an argv list, Wine quotes each argument itself, and only where it has a space.
    raw: bool = False


CASES = [
    # Wrong argument counts: the usage text without a line end; no update is attempted.
    Case("usage-no-argument", [], USAGE),
    Case("usage-two-arguments", [PKG, PKG], USAGE),
    Case("usage-three-arguments", ["a", "b", "c"], USAGE),
    Case("usage-waits-for-one-character", [], USAGE, stdin="held"),
    # The four outcome pairs; a failure in the first row never stops the second.
    Case("both-succeed", [PKG], OK_OK, both(PKG)),
    Case("bus-fails-port-succeeds", [PKG], err("FTDIBus", 2) + ok("FTDIPort"), both(PKG), "fail:2,ok"),
    Case("bus-succeeds-port-fails", [PKG], ok("FTDIBus") + err("FTDIPort", 5), both(PKG), "ok,fail:5"),
    Case("both-fail", [PKG], err("FTDIBus", 3) + err("FTDIPort", 87), both(PKG), "fail:3,fail:87"),
    # Codes read as signed 32-bit numbers; a failure that leaves no code is still a failure.
    Case("code-no-such-devinst", [PKG], err("FTDIBus", -536870389) + err("FTDIPort", -536870389),
         both(PKG), "fail:0xE000020B,fail:0xE000020B"),
    Case("code-cert-wrong-usage", [PKG], err("FTDIBus", -2146762480) + ok("FTDIPort"), both(PKG),
         "fail:0x800B0110"),
    Case("code-extremes", [PKG], err("FTDIBus", -1) + err("FTDIPort", 2147483647), both(PKG),
         "fail:0xFFFFFFFF,fail:0x7FFFFFFF"),
    Case("code-zero-is-not-success", [PKG], err("FTDIBus", 0) + ok("FTDIPort"), both(PKG), "fail:0"),
    # Directory forms reach the platform unchanged, each followed by the file name's backslash.
    Case("dir-trailing-backslash-kept", ["C:\\drivers\\"], calls=both("C:\\drivers\\")),
    Case("dir-empty-gives-bare-names", [""], calls=both("")),
    Case("dir-relative-stays-relative", ["drivers\\usb"], calls=both("drivers\\usb")),
    Case("dir-with-spaces", ["C:\\My Drivers\\FTDI 2.12"], calls=both("C:\\My Drivers\\FTDI 2.12")),
    Case("dir-forward-slashes-kept", ["C:/drivers/usb"], calls=both("C:/drivers/usb")),
    Case("dir-unc", ["\\\\server\\share\\pkg"], calls=both("\\\\server\\share\\pkg")),
    Case("dir-longer-than-max-path", [LONG_DIR], calls=both(LONG_DIR)),
    # With UTF-8 as the process's code page (the manifest's activeCodePage; Windows 10 version 1903
    # and later and Wine honour it) a name outside the locale's code page arrives exactly.
    Case("utf8-cyrillic-under-1252", [RU_DIR], calls=both(RU_DIR), env={"LANG": "en_US.UTF-8"}),
    Case("utf8-cjk-under-1251", ["C:\\Ｄｒｉｖｅｒ\\表示"], calls=both("C:\\Ｄｒｉｖｅｒ\\表示"),
         env={"LANG": "ru_RU.UTF-8"}),
    # Four bytes in UTF-8, a surrogate pair in UTF-16; the space makes Wine quote the argument, so
    # the emoji's last byte stands right before the closing quote.
    Case("utf8-emoji-outside-bmp", ["C:\\Дмитрий\\Gerät 😀"], calls=both("C:\\Дмитрий\\Gerät 😀"),
         env={"LANG": "en_US.UTF-8"}),
    # Quoted on the command line as a user types it: UTF-8's continuation bytes are never a quote,
    # a space or a backslash, so the closing quote right after one still ends the argument.
    Case("utf8-three-byte-before-closing-quote", ['"C:\\Дмитрий\\表"'], calls=both("C:\\Дмитрий\\表"),
         env={"LANG": "en_US.UTF-8"}, raw=True),
    # The command line's backslash rules stay: one before the closing quote makes it a literal
    # quote, two give one backslash and end the argument.
    Case("utf8-quoted-trailing-backslash-keeps-quote", ['"C:\\Дмитрий\\"'], calls=both('C:\\Дмитрий"'),
         env={"LANG": "en_US.UTF-8"}, raw=True),
    Case("utf8-quoted-doubled-trailing-backslash", ['"C:\\Дмитрий\\\\"'], calls=both("C:\\Дмитрий\\"),
         env={"LANG": "en_US.UTF-8"}, raw=True),
    # Windows before 1903 (the "ansi" build): the argument arrives in the ANSI code page and is
    # converted back with the same one (LANG sets both the ANSI and the thread's code page).
    Case("codepage-1252", ["C:\\Treiber\\Gerät"], calls=both("C:\\Treiber\\Gerät"),
         env={"LANG": "en_US.UTF-8"}, build="ansi"),
    Case("codepage-1251", ["C:\\Драйверы"], calls=both("C:\\Драйверы"), env={"LANG": "ru_RU.UTF-8"},
         build="ansi"),
    Case("codepage-932-trail-byte-5c", [JA_DIR], calls=both(JA_DIR), env={"LANG": "ja_JP.UTF-8"},
         build="ansi"),
    Case("codepage-1252-outside-becomes-question-marks", ["C:\\Драйверы"], calls=both("C:\\????????"),
         env={"LANG": "en_US.UTF-8"}, build="ansi"),
    # A character outside the code page but with a look-alike in it arrives as the look-alike.
    Case("codepage-1251-best-fit-names-another-folder", ["C:\\Treiber\\Gerät"],
         calls=both("C:\\Treiber\\Gerat"), env={"LANG": "ru_RU.UTF-8"}, build="ansi"),
    # The ANSI code page (LC_CTYPE under Wine) decides, not the thread's (LC_MESSAGES under Wine).
    Case("codepage-ansi-1252-thread-1251", ["C:\\Treiber\\Gerät"], calls=both("C:\\Treiber\\Gerät"),
         env={"LC_CTYPE": "en_US.UTF-8", "LC_MESSAGES": "ru_RU.UTF-8"}, build="ansi"),
    Case("codepage-ansi-1251-thread-1252", ["C:\\Драйвер"], calls=both("C:\\Драйвер"),
         env={"LC_CTYPE": "ru_RU.UTF-8", "LC_MESSAGES": "en_US.UTF-8"}, build="ansi"),
    # newdev.dll comes from the system directory only, whatever else offers one.
    Case("planted-beside-exe-not-loaded", [PKG], calls=both(PKG), plant=("exe-dir",)),
    # Wine, like Windows, searches the current directory after system32: with system32's copy
    # gone, the planted one is what a search would find.
    Case("planted-in-cwd-not-loaded", [PKG], err("FTDIBus", 126) + err("FTDIPort", 126),
         prefix="absent", plant=("cwd",)),
    # Every DLL the process loads comes from the system directory, also those the platform's code
    # loads by bare name while it works: system32's copy where it has one, else none at all.
    Case("helper-planted-everywhere-system-copy-loaded", [PKG], calls=both(PKG),
         loads={SYSTEM_HELPER: SYSTEM32}, plant=("exe-dir", "cwd", "path"), control="exe-dir"),
    Case("absent-helper-planted-everywhere-not-loaded", [PKG], calls=both(PKG),
         loads={ABSENT_HELPER: None}, plant=("exe-dir", "cwd", "path"), control="exe-dir"),
    Case("absent-helper-planted-beside-exe-not-loaded", [PKG], calls=both(PKG),
         loads={ABSENT_HELPER: None}, plant=("exe-dir",)),
    # Under Wine the current directory stays in the search after SetDllDirectoryW(L"") for a name
    # that system32 lacks; on Windows the PATH row is the one the control would bite in.
    Case("absent-helper-planted-in-cwd-not-loaded", [PKG], calls=both(PKG),
         loads={ABSENT_HELPER: None}, plant=("cwd",)),
    Case("absent-helper-planted-on-path-not-loaded", [PKG], calls=both(PKG),
         loads={ABSENT_HELPER: None}, plant=("path",)),
    Case("newdev-missing", [PKG], err("FTDIBus", 126) + err("FTDIPort", 126), prefix="absent"),
    Case("newdev-without-function", [PKG], err("FTDIBus", 127) + err("FTDIPort", 127),
         prefix="no-export"),
    # Everything the .exe needs beyond the system is inside it.
    Case("runs-copied-alone-into-empty-folder", [PKG], OK_OK, both(PKG), alone=True),
    # A path's memory cannot be had: that row reports 8 and the next still runs.
    Case("no-memory-for-bus-path", [PKG], err("FTDIBus", 8) + ok("FTDIPort"), both(PKG)[1:],
         env={"NEWDEV_STANDIN_NOMEM": "1"}),
    Case("no-memory-for-port-path", [PKG], ok("FTDIBus") + err("FTDIPort", 8), both(PKG)[:1],
         env={"NEWDEV_STANDIN_NOMEM": "2"}),
    # Real installs by Wine's own newdev and setupapi on simulated devices, from the sample package.
    Case("real-install-sample-package", [SAMPLE], OK_OK, both(SAMPLE), prefix="real",
         devices=(BUS_ID, PORT_ID), installed=SAMPLE_INSTALLED, pause=NO_WAIT),
    # Windows' answer where no device carries the hardware ID; Wine's own newdev would say OK.
    Case("real-install-no-adapter", [SAMPLE], err("FTDIBus", -536870389) + err("FTDIPort", -536870389),
         both(SAMPLE), prefix="real", installed={}, pause=NO_WAIT),
    Case("real-install-directory-missing", ["C:\\no\\such\\package"], OK_OK,
         both("C:\\no\\such\\package"), prefix="real", devices=(BUS_ID, PORT_ID),
         installed={BUS_ID: ("", "", ""), PORT_ID: ("", "", "")}),
    # A first install: the COM-port device appears only once the bus driver has started, and the
    # command waits for it (at most 30 s) before it updates its driver.
    Case("real-install-first-child-at-once", [ADAPTER], installed=ADAPTER_INSTALLED, **FIRST_INSTALL),
    Case("real-install-first-child-2s-late", [ADAPTER], installed=ADAPTER_INSTALLED, child_delay=2000,
         pause=(1000, 4000), **FIRST_INSTALL),
    Case("real-install-first-child-8s-late", [ADAPTER], installed=ADAPTER_INSTALLED, child_delay=8000,
         pause=(6500, 10000), **FIRST_INSTALL),
    # No COM-port device within the bound (4 s in this copy): the COM-port update runs and reports.
    Case("real-install-first-no-child", [ADAPTER], ok("FTDIBus") + err("FTDIPort", -536870389),
         installed={BUS_ID: ADAPTER_INSTALLED[BUS_ID]}, child_delay=None, build="short", pause=(3900, 5500),
         **FIRST_INSTALL),
    # A COM-port device that comes after the bound gets the COM-port package, staged before the bus
    # update, from the platform's own Plug and Play; the run's own COM-port update has failed.
    Case("real-install-child-after-bound-gets-staged-driver", [ADAPTER], ok("FTDIBus") + err("FTDIPort", -536870389),
         installed=ADAPTER_INSTALLED, child_delay=7000, build="short", pause=(3900, 5500), settle=20, **FIRST_INSTALL),
    # The USB device, restarted by its forced update, missing from the looks for a second: the wait
    # goes on, and the COM-port device that comes then is updated.
    Case("real-install-usb-device-gone-for-a-second", [ADAPTER], installed=ADAPTER_INSTALLED, child_delay=3000,
         hide_usb_ms=1000, pause=(2500, 5000), **FIRST_INSTALL),
    # The bus update needs a restart: no COM-port device can come before it, so the run does not wait
    # for one (the COM-port device that comes all the same gets the staged package).
    Case("real-install-restart-after-bus", [ADAPTER], ok("FTDIBus") + err("FTDIPort", -536870389),
         script="windows+restart,windows", installed=ADAPTER_INSTALLED, child_delay=2000, pause=NO_WAIT,
         indicators=(0, 1), waits=[((30000, 30000), 0, (0, 200))], settle=15, **FIRST_INSTALL),
    # The bus update leaves installs in progress with both devices there: the COM-port update waits.
    Case("real-install-bus-leaves-installs-pending", [ADAPTER], installed=ADAPTER_INSTALLED, set_up=True,
         script="windows+pending:2000,windows", pause=(1800, 3000),
         waits=[((30000, 30000), 0, (0, 200)), ((29000, 30000), 0, (1700, 2400))], **FIRST_INSTALL),
    # On an adapter set up before with nothing in progress, both waits for installs return at once.
    Case("real-install-adapter-set-up", [ADAPTER], installed=ADAPTER_INSTALLED, set_up=True, pause=NO_WAIT,
         waits=[((30000, 30000), 0, (0, 50)), ((29800, 30000), 0, (0, 50))], **FIRST_INSTALL),
    # Installs in progress when the run starts (the platform's own, of an adapter just plugged in):
    # the bus update waits for them. With no USB device after it, the COM-port wait gives up after
    # its grace and waits for installs within what is left.
    Case("installs-pending-at-start", [PKG], OK_OK, both(PKG), env={"CFGMGR32_STANDIN_PENDING": "2000"},
         waits=[((30000, 30000), 0, (1500, 2300)), ((25000, 27100), 0, (0, 200))]),
    # Installs that never end: each wait ends at its bound, at the real bounds, and both updates run.
    Case("installs-pending-for-ever", [PKG], OK_OK, both(PKG), env={"CFGMGR32_STANDIN_PENDING": "forever"},
         pause=(29500, 31500),
         waits=[((30000, 30000), WAIT_TIMEOUT, (29900, 30600)), ((25000, 27100), WAIT_TIMEOUT, (25000, 27600))]),
    # Where no window can be seen (a service's window station), no update may prompt.
    Case("hidden-window-station-non-interactive", [PKG], OK_OK, both(PKG), hidden=True, flags=5),
    # A reader on a pipe gets the bus line while the COM-port update is still running.
    Case("first-line-readable-through-pipe", [PKG], OK_OK, both(PKG), "ok,hold", pipe_first_line=True),
    # Wine, and what it starts, runs with Linux address randomization off: no launch can fail by chance.
    Case("wine-and-its-children-unrandomized", [PKG], OK_OK, both(PKG), "ok,hold", unrandomized=True),
]

# What arm64 Wine shows of the ARM64 build: the usage path, both lines with their calls, the error
# codes, and directory names outside any code page. The simulated adapter's bus driver and the
# control programs are x64 code, so the real installs and the DLL-search rows stay x64's.
ARM64_CASES = ["usage-no-argument", "usage-two-arguments", "both-succeed", "bus-fails-port-succeeds",
               "bus-succeeds-port-fails", "both-fail", "code-no-such-devinst", "code-extremes",
               "utf8-cjk-under-1251", "utf8-emoji-outside-bmp"]
# The arm64 root has no locales but C.UTF-8: Wine reads the Linux command line in it, and the
# manifest's UTF-8 code page makes the locale's own code page irrelevant to the command.
ROOT_LOCALE = "C.UTF-8"

# Each a copy of one untouched base prefix; "real" keeps Wine's own newdev.dll as wine-newdev.dll
# behind the stand-in.
PREFIXES = ("standin", "no-export", "absent", "real")
# Those with the cfgmgr32 stand-in in system32, which their rows load. The arm64 root has none:
# the stand-in is built for x64 only.
CFGMGR32_PREFIXES = ("standin", "real")


def cfgmgr32_standin(opts, case):
    return case.prefix in CFGMGR32_PREFIXES and not getattr(opts, "root", None)


class Failure(Exception):
    pass


def wine_env(opts, case, prefix, log, release):
    root = getattr(opts, "root", None)
    env = winerun.env(prefix, root)
    for name in [k for k in env if k.startswith(("LC_", "NEWDEV_STANDIN_", "CFGMGR32_STANDIN_"))]:
        del env[name]
    env.update(LANG="en_US.UTF-8", WINEDLLOVERRIDES="newdev=n", NEWDEV_STANDIN_LOG=to_windows(log, root),
               NEWDEV_STANDIN_SCRIPT=case.script, NEWDEV_STANDIN_RELEASE=to_windows(release, root))
    if case.prefix == "real":
        # Wine's own device installation behind the stand-in, answering as Windows does where no
        # device carries the hardware ID.
        env["NEWDEV_STANDIN_SCRIPT"] = case.script or winerun.WINDOWS_INSTALLS["NEWDEV_STANDIN_SCRIPT"]
    if case.plant:
        # As Windows searches for a DLL that is not a KnownDLL: the application's folder first.
        env["WINEDLLOVERRIDES"] = "newdev=n,b"
    if cfgmgr32_standin(opts, case):
        env["WINEDLLOVERRIDES"] += ";cfgmgr32=n"
        env["CFGMGR32_STANDIN_LOG"] = to_windows(os.path.join(os.path.dirname(log), "cfgmgr32-calls.log"))
    if case.loads:
        env["NEWDEV_STANDIN_LOAD"] = ",".join(case.loads)
    env.update(case.env)
    if "LANG" in case.env:
        env["LC_ALL"] = case.env["LANG"]
    if root:
        env["LANG"] = env["LC_ALL"] = ROOT_LOCALE
    return env


def decode(hexunits):
    if hexunits == "null":
        return None
    return bytes.fromhex(hexunits).decode("utf-16-be")  # the stand-in writes each unit as %04x


def parse_log(path):
    """Returns (modules attached, calls, {DLL name: module loaded or None}) from the stand-in's log."""
    modules, calls, loads = [], [], {}
    if not os.path.exists(path):
        return modules, calls, loads
    with open(path, encoding="ascii") as f:
        for line in f:
            words = line.split()
            fields = dict(w.split("=", 1) for w in words if "=" in w)
            if words[0] == "attach":
                modules.append(decode(fields["module"]))
            elif words[0] == "call":
                calls.append(dict(ms=int(fields["ms"]), parent=int(fields["parent"], 16), flags=int(fields["flags"], 16),
                                  restart=int(fields["restart"], 16), indicator=int(fields["indicator"]),
                                  noninteractive=int(fields["noninteractive"]), hwid=decode(fields["hwid"]),
                                  inf=decode(fields["inf"])))
            elif words[0] == "return":
                calls[int(words[1]) - 1]["returned"] = int(fields["ms"])
            elif words[0] == "load":
                loads[decode(fields["name"])] = decode(fields["module"])
            else:
                raise Failure(f"stand-in reported: {line.strip()}")
    return modules, calls, loads


def parse_waits(path):
    """The CMP_WaitNoPendingInstallEvents calls the cfgmgr32 stand-in logged, in order."""
    waits = []
    if os.path.exists(path):
        with open(path, encoding="ascii") as f:
            for line in f:
                if line.startswith("wait "):
                    fields = dict(w.split("=", 1) for w in line.split() if "=" in w)
                    waits.append({k: int(v) for k, v in fields.items()})
    return waits


def drain(stream, quiet=0.5):
    """What is left in a pipe once the command has ended: up to its end, or until it stays quiet
    (a Wine service started by the command may hold the pipe open)."""
    data = b""
    while select.select([stream], [], [], quiet)[0]:
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            break
        data += chunk
    return data


def devsim(opts, prefix, *args):
    stdout, stderr, status = winerun.run([opts.devsim] + list(args),
                                         winerun.env(prefix, WINEDLLOVERRIDES="newdev=b"))
    if status != 0:
        raise Failure(f"devsim {shlex.join(args)}: {stderr.decode(errors='replace').strip()}")
    return stdout.decode("utf-8")


def simulate(opts, prefix, hardware_ids):
    """The real prefix with only these simulated devices, none with a driver: what a row before
    left (devices, and the INF files installed for them) is gone."""
    devsim(opts, prefix, "unplug")
    for hardware_id in hardware_ids:
        devsim(opts, prefix, "create", hardware_id)


def devsim_list(opts, prefix):
    """{hardware ID: (description, driver version, INF)} of the simulated devices."""
    devices = {}
    for line in devsim(opts, prefix, "list", BUS_ID, PORT_ID).splitlines():
        instance, hardware_id, description, version, inf, driver_key, parent = line.split("\t")
        devices[hardware_id] = (description, version, inf) if driver_key else ("", "", "")
    return devices


def read_until(stream, wanted, seconds):
    """Reads from a pipe until `wanted` has arrived or the time is up; returns what arrived."""
    data = b""
    deadline = time.monotonic() + seconds
    while not data.startswith(wanted) and time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            break
        data += chunk
    return data


def run(opts, case):
    work = os.path.join(opts.work, "cases", case.name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    exe, cwd = {"utf8": opts.exe, "ansi": opts.ansi_exe, "short": opts.short_exe}[case.build], work
    log, release = os.path.join(work, "calls.log"), os.path.join(work, "release")
    if opts.root:
        exe = shutil.copy(exe, work)  # where the root's Wine sees it
    if case.alone:
        alone = os.path.join(work, "empty")
        os.makedirs(alone)
        exe = shutil.copy(exe, alone)
    # The planted copies: helpers are any DLL (the one without exports), newdev.dll the stand-in.
    planted = {name: opts.no_export for name in case.loads} or {"newdev.dll": opts.standin}
    places = {"exe-dir": os.path.join(work, "Downloads"), "cwd": os.path.join(work, "current"),
              "path": os.path.join(work, "on-path")}
    for place in case.plant:
        os.makedirs(places[place])
        for name, dll in planted.items():
            shutil.copy(dll, os.path.join(places[place], name))
    if "exe-dir" in case.plant:
        exe = shutil.copy(exe, places["exe-dir"])
    if "cwd" in case.plant:
        cwd = places["cwd"]
    prefix = os.path.join(opts.work, "prefix-" + case.prefix)
    env = wine_env(opts, case, prefix, log, release)
    if "path" in case.plant:
        env["WINEPATH"] = to_windows(places["path"])
    if case.prefix == "real":
        simulate(opts, prefix, case.devices)
    if case.plugged:
        package = to_windows(adapter.package(os.path.join(work, "adapter"), opts.bus_driver, case.child_delay))
        case = replace(case, args=[a.replace(ADAPTER, package) for a in case.args],
                       calls=[(hwid, inf.replace(ADAPTER, package)) for hwid, inf in case.calls])
        devsim(opts, prefix, "plug")
        if case.set_up:
            winerun.run([exe] + case.args, dict(env, NEWDEV_STANDIN_LOG=to_windows(os.path.join(work, "set-up.log")),
                                                **winerun.WINDOWS_INSTALLS, CFGMGR32_STANDIN_LOG="",
                                                CFGMGR32_STANDIN_PENDING=""))
    argv = (["cmd", "/c", to_windows(exe)] if case.unrandomized else [exe]) + case.args
    if case.hidden:
        argv = [opts.hidden_station, to_windows(exe)] + case.args
    if case.raw:
        # cmd expands the variable and starts the command with the line as it stands.
        env["USDU_COMMAND_LINE"] = " ".join([f'"{to_windows(exe)}"'] + case.args)
        argv = ["cmd", "/c", "%USDU_COMMAND_LINE%"]
    rerun = " ".join(f"{k}={shlex.quote(env[k])}" for k in sorted(env) if k not in os.environ
                     or os.environ[k] != env[k]) + f" {shlex.join(winerun.command(argv, opts.root, cwd))} </dev/null | od -c"
    rerun = f"(cd {shlex.quote(cwd)} && {rerun})"
    errors = os.path.join(work, "stderr.txt")  # Wine's own messages, should it fail to start

    def check(what, expected, actual, matches=lambda expected, actual: expected == actual):
        if not matches(expected, actual):
            with open(errors, "rb") as f:
                wine_said = f.read().decode(errors="replace")[-2000:]
            raise Failure(f"{case.name}: {what} differs\n  expected: {expected!r}\n  actual:   {actual!r}\n"
                          f"  stderr:   {wine_said}\n  re-run:   {rerun}")

    with open(errors, "wb+") as err:
        if case.stdin == "held":
            stdout, status = run_held_stdin(argv, env, cwd, err, check)
        elif case.pipe_first_line:
            stdout, status = run_pipe_first_line(argv, env, cwd, err, release, check)
        elif case.unrandomized:
            stdout, status = run_unrandomized(argv, env, cwd, err, release, check)
        elif case.hide_usb_ms:
            stdout, status = run_hiding_usb(opts, prefix, case.hide_usb_ms, argv, env, cwd, err, log, check)
        else:
            with open(os.devnull, "rb") as empty:
                stdout, stderr, status = winerun.run(argv, env, cwd, stdin=empty, root=opts.root)
            err.write(stderr)
        err.seek(0)
        stderr = err.read()
    check("stdout", case.stdout, stdout)
    check("exit status", 0, status)

    modules, calls, loads = parse_log(log)
    if case.prefix == "real":
        # Drivers that Wine's own Plug and Play installs after the run (from a staged package) may
        # take up to `settle` seconds.
        deadline = time.monotonic() + case.settle
        while True:
            installed = {hwid: state for hwid, state in devsim_list(opts, prefix).items() if hwid in case.installed}
            if installed == case.installed or time.monotonic() >= deadline:
                break
            time.sleep(0.5)
        check("installed drivers (description, version, INF)", case.installed, installed)
    check("calls (hardware ID, INF path)", case.calls, [(c["hwid"], c["inf"]) for c in calls])
    if case.pause:
        pause = calls[1]["ms"] - calls[0]["returned"]
        check(f"pause between the calls, {pause} ms, within", True, case.pause[0] <= pause <= case.pause[1])
    check("parent windows", [0] * len(calls), [c["parent"] for c in calls])
    check("install flags", [case.flags] * len(calls), [c["flags"] for c in calls])
    check("SetupAPI's non-interactive mode at each call", [int(case.flags == 5)] * len(calls),
          [c["noninteractive"] for c in calls])
    if calls:
        check("restart indicator: one non-null address for all calls", True,
              calls[0]["restart"] != 0 and all(c["restart"] == calls[0]["restart"] for c in calls))
        check("restart indicator's value as each call found it", list(case.indicators or [0]),
              [c["indicator"] for c in calls][:len(case.indicators or [0])])
    if cfgmgr32_standin(opts, case) and len(case.args) == 1:
        waits = parse_waits(os.path.join(work, "cfgmgr32-calls.log"))
        check("a wait for installs in progress, bounded, ended before the first call", True,
              bool(waits) and waits[0]["timeout"] == BOUND[case.build]
              and (not calls or waits[0]["returned"] <= calls[0]["ms"]))
        if case.waits is not None:
            check("waits for installs in progress: (timeout, result, lasted)", case.waits,
                  [(w["timeout"], w["result"], w["returned"] - w["ms"]) for w in waits],
                  lambda expected, actual: len(expected) == len(actual) and all(
                      t[0] <= a[0] <= t[1] and r == a[1] and d[0] <= a[2] <= d[1]
                      for (t, r, d), a in zip(expected, actual)))
            # A wait after the bus call comes before the COM-port call.
            check("the second wait lies between the calls", True,
                  len(waits) < 2 or len(calls) < 2 or calls[0]["returned"] <= waits[1]["ms"]
                  and waits[1]["returned"] <= calls[1]["ms"])
    loads_standin = case.prefix in ("standin", "real") and len(case.args) == 1
    check("newdev.dll modules loaded", [SYSTEM_NEWDEV.lower()] if loads_standin else [],
          [m.lower() for m in modules])
    check("DLLs loaded by bare name, from where", {name: where and where.lower() for name, where in case.loads.items()},
          {name: module and ntpath.dirname(module).lower() for name, module in loads.items()})
    if case.plant:
        # The set-up must offer the planted copy: a control that searches as the command once did
        # (newdev.dll by bare name; for helpers, newdev.dll by full path) picks it up.
        expected = to_windows(places[case.control or case.plant[0]]).lower()
        naive_log = os.path.join(work, "naive.log")
        naive_exe = shutil.copy(opts.naive_loader, os.path.dirname(exe) if "exe-dir" in case.plant else work)
        env["NEWDEV_STANDIN_LOG"] = to_windows(naive_log)
        winerun.run([naive_exe] + (["--full-path"] if case.loads else []), env, cwd)
        modules, _, loads = parse_log(naive_log)
        found = list(loads.values()) if case.loads else modules
        check("where the control's search finds the planted DLL", [expected] * len(found or [None]),
              [m and ntpath.dirname(m).lower() for m in found or [None]])


def run_held_stdin(argv, env, cwd, err, check):
    """The usage text is readable while the command waits; one character then ends it."""
    proc = subprocess.Popen(winerun.command(argv), env=env, cwd=cwd, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=err)
    try:
        early = read_until(proc.stdout, USAGE, 60)
        check("output before the character is typed", USAGE, early)
        time.sleep(1)
        check("still waiting for a character", None, proc.poll())
        proc.stdin.write(b"x")
        proc.stdin.flush()
        status = proc.wait(timeout=60)
        return early + drain(proc.stdout), status
    finally:
        proc.kill()
        proc.wait()


def run_pipe_first_line(argv, env, cwd, err, release, check):
    """The stand-in holds the second call until the first line has been read from the pipe."""
    proc = subprocess.Popen(winerun.command(argv), env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=err)
    try:
        first = read_until(proc.stdout, ok("FTDIBus"), 60)
        check("output while the COM-port update runs", ok("FTDIBus"), first)
        check("COM-port update still running", None, proc.poll())
        open(release, "w").close()
        status = proc.wait(timeout=120)
        return first + drain(proc.stdout), status
    finally:
        proc.kill()
        proc.wait()


ADDR_NO_RANDOMIZE = 0x0040000  # <linux/personality.h>


def run_hiding_usb(opts, prefix, hide_ms, argv, env, cwd, err, log, check):
    """Once the bus update has returned, the USB device is missing from every look for hide_ms."""
    started = winerun.start(argv, env, cwd)
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not any(c.get("returned") for c in parse_log(log)[1][:1]):
            time.sleep(0.02)
        check("the bus update returned", True, any(c.get("returned") for c in parse_log(log)[1][:1]))
        devsim(opts, prefix, "hide", BUS_ID, str(hide_ms))
    finally:
        stdout, stderr, status = winerun.finish(started)
        err.write(stderr)
    return stdout, status


def run_unrandomized(argv, env, cwd, err, release, check):
    """While the stand-in holds the command in its second call, reads from outside the personality
    of the Linux processes that run `cmd` and the command it started."""
    started = winerun.start(argv, env, cwd)
    try:
        found, deadline = {}, time.monotonic() + 60
        while len(found) < 2 and time.monotonic() < deadline:
            found = wine_processes(env["NEWDEV_STANDIN_LOG"], ("cmd.exe", "usb-serial-driver-update.exe"))
            time.sleep(0.05)
        check("processes found running", ["cmd.exe", "usb-serial-driver-update.exe"], sorted(found))
        check("Linux personality ADDR_NO_RANDOMIZE", {name: True for name in found},
              {name: bool(flags & ADDR_NO_RANDOMIZE) for name, flags in found.items()})
    finally:
        open(release, "w").close()
        stdout, stderr, status = winerun.finish(started)
        err.write(stderr)
    return stdout, status


def wine_processes(marker, names):
    """{program name: personality} of the processes of the run whose stand-in log is `marker`
    and whose Windows program (as Wine shows it in the command line) is one of `names`."""
    found = {}
    for pid in winerun.processes("NEWDEV_STANDIN_LOG", marker):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                program = ntpath.basename(f.read().split(b"\0")[0].decode(errors="replace")).lower()
            with open(f"/proc/{pid}/personality") as f:
                personality = int(f.read(), 16)
        except OSError:
            continue  # gone meanwhile
        if program in names:
            found[program] = personality
    return found


def linked_copy(source, prefix):
    """A copy of a prefix whose files are hard links to the source's, except the registry files:
    Wine's server saves a registry file that has more than one link by writing into it, which
    would change the source and every other copy with it."""
    subprocess.run(["cp", "-al", source, prefix], check=True)
    for name in ("system.reg", "user.reg", "userdef.reg"):
        path = os.path.join(prefix, name)
        shutil.copy(path, path + ".own")
        os.replace(path + ".own", path)


def setup_arm64(opts):
    """The stand-in's prefix in the arm64 root, its server kept up with Windows on ARM's
    PROCESSOR_ARCHITECTURE until cleanup."""
    os.makedirs(opts.work, exist_ok=True)
    cleanup(opts)
    prefix = os.path.join(opts.work, "prefix-standin")
    winerun.make_prefix(prefix, opts.root)
    shutil.copy(opts.standin, os.path.join(prefix, "drive_c", "windows", "system32", "newdev.dll"))
    winerun.serve_arm64(prefix, opts.root)


def setup(opts):
    if opts.root:
        return setup_arm64(opts)
    os.makedirs(opts.work, exist_ok=True)
    cleanup(opts)  # servers a run that was cut short may have left
    base = os.path.join(opts.work, "prefix-base")
    if not winerun.made(base):
        shutil.rmtree(base, ignore_errors=True)
        winerun.make_prefix(base)
    dlls = {"standin": opts.standin, "no-export": opts.no_export, "absent": None}
    for name in PREFIXES:
        prefix = os.path.join(opts.work, "prefix-" + name)
        shutil.rmtree(prefix, ignore_errors=True)
        if name == "real":
            # Installs write into the prefix: a copy of its own.
            subprocess.run(["cp", "-a", base, prefix], check=True)
            winerun.standin_newdev(prefix, opts.standin)
            winerun.standin_cfgmgr32(prefix, opts.cfgmgr32)
        else:
            # Hard links share the base's files, but not the registry; the one file that differs
            # is unlinked first.
            linked_copy(base, prefix)
            target = os.path.join(prefix, "drive_c", "windows", "system32", "newdev.dll")
            os.unlink(target)
            if dlls[name]:
                shutil.copy(dlls[name], target)
            if name == "standin":
                winerun.standin_cfgmgr32(prefix, opts.cfgmgr32)
                shutil.copy(opts.no_export, os.path.join(os.path.dirname(target), SYSTEM_HELPER))
        # Where the batch file stages a driver, Windows' pnputil.exe: the stand-in (Wine has none).
        shutil.copy(opts.pnputil, os.path.join(prefix, "drive_c", "windows", "system32", "pnputil.exe"))
        # A wineserver that outlives each run by 30 s spares every case its start-up; cleanup
        # stops them. The first run starts the prefix's services now, so that no case waits.
        winerun.serve(prefix, linger=30)
        winerun.run([opts.naive_loader], winerun.env(prefix))


def cleanup(opts):
    for name in PREFIXES + ("base",):
        winerun.stop(os.path.join(opts.work, "prefix-" + name), opts.root)


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--setup", action="store_true")
    parser.add_argument("--cleanup", action="store_true")
    parser.add_argument("--case")
    parser.add_argument("--root", help="the arm64 root: run the ARM64 build there")
    for option in ("--work", "--exe", "--ansi-exe", "--short-exe", "--hidden-station", "--standin", "--cfgmgr32", "--no-export", "--naive-loader", "--devsim",
                   "--pnputil", "--bus-driver"):
        parser.add_argument(option)
    return parser.parse_args()


def main():
    opts = parse_options()
    if opts.list:
        print("\n".join(c.name for c in CASES if not opts.root or c.name in ARM64_CASES))
    elif opts.setup:
        setup(opts)
    elif opts.cleanup:
        cleanup(opts)
    else:
        case = next((c for c in CASES if c.name == opts.case), None)
        if case is None:
            sys.exit(f"no case named {opts.case!r}")
        try:
            run(opts, case)
        except (Failure, subprocess.TimeoutExpired) as failure:
            sys.exit(f"FAIL {failure}")
        print(f"PASS {case.name}")


if __name__ == "__main__":
    main()
