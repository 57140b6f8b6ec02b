#!/usr/bin/python3
"""Running Windows programs under Wine, for the demo, the benchmark, the tests and ctest's
emulator: one place for what Wine needs from every caller.

- Every launch goes through command(): Linux address-space randomization off for the Wine process
  (`setarch <machine> -R`), inherited by every process Wine starts from it. Debian's wine64 (8.0)
  has no wine64-preloader to reserve low memory before the Linux process starts; wine64 sits at a
  fixed address and Linux places its heap at a random point up to 1 GiB above it. When that heap
  covers 0x7ffe0000, the page Wine needs for the Windows shared user data, Wine says "failed to map
  the shared user data" and exits with status 1 before any Windows code runs: measured as about one
  launch in 7,000 (the heap's size over 1 GiB), a few percent of all test runs. Without
  randomization the heap lies right above wine64, far from that page. Inside Windows nothing
  changes: the .exe's own ASLR is Wine's doing, not Linux's.
- Should Wine fail to start all the same, it says so: its `err:virtual` messages stay on.
- The 64-bit loader is started directly: it runs 64-bit and, with wine32 installed, 32-bit
  programs. The `wine` wrapper would go through the 32-bit loader first when wine32 is there,
  which doubles the start-up time of every 64-bit launch (91 ms against 42 ms, measured).
- A prefix is made once with `wineboot -i`. Two first starts of Wine at the same moment on a new
  machine can fail each other, so prefixes are made one at a time, under a lock. A prefix made
  before wine32 was installed cannot start programs through it ("could not load kernel32.dll"), so
  such a prefix counts as not made and is made anew.
- Output goes through files, never pipes: the Wine services that a first run in a prefix starts
  inherit its output handles and outlive it, so a pipe would stay open after the program ended.
- A prefix's wineserver can be kept running between runs (it spares each run its start-up) and
  is stopped, and waited for, when the caller is done.

- ARM64 programs run in an arm64 Debian root with Debian's arm64 Wine (tools/arm64root.py), under
  qemu: every function here takes `root=` for that, with the caller's paths as this machine sees
  them. The root needs /proc, and a mount that outlived a run would keep the build tree from being
  deleted and a CI runner from cleaning up the clone: so every command in the root runs in a
  private mount namespace of its own (in_root), which mounts /proc there and vanishes, with its
  mounts, when its last process ends. Nothing is mounted in this machine's namespace. Started
  from outside the root, Wine could not talk to the root's wineserver: the server too runs in it.
  arm64 Wine has no `wine` command and no wine64-preloader: ROOT_LOADER is started directly.

Run as a script, `winerun.py PROGRAM [ARGS...]` starts one Windows program in the environment's
WINEPREFIX the same way: ctest's cross-compiling emulator.
"""

import fcntl
import os
import platform
import shutil
import subprocess
import sys
import tempfile

LOADER = "/usr/lib/wine/wine64"
LOADER32 = "/usr/lib/wine/wine"  # from wine32
# Debian's arm64 wine64, in the root; its server beside it.
ROOT_LOADER = "/usr/lib/wine/wine64"
ROOT_SERVER = "/usr/lib/wine/wineserver64"


def command(argv, root=None, cwd=None):
    """The Linux command that starts the Windows program argv[0] with the arguments argv[1:]; with
    `root`, ARM64 Wine's in that root, in `cwd` (paths as this machine sees them)."""
    if root is None:
        return ["setarch", platform.machine(), "-R", LOADER] + list(argv)
    return in_root(root, [ROOT_LOADER, inside(root, argv[0])] + list(argv[1:]), cwd)


def private_mounts(argv):
    """argv in a mount namespace of its own, private: what it mounts is never seen outside it, and
    goes when its last process ends."""
    return ["unshare", "--mount", "--propagation", "private", "--"] + list(argv)


def in_root(root, argv, cwd=None):
    """The Linux command that runs argv inside `root` (chroot), in `cwd` there (default: its /),
    with the root's /proc mounted in a private mount namespace that ends with the command."""
    script = 'mount -t proc proc "$0/proc" && exec chroot "$0" /usr/bin/env -C "$1" -- "${@:2}"'
    return private_mounts(["bash", "-c", script, root, inside(root, cwd or root)] + list(argv))


def inside(root, path):
    """A path under `root` as the root's own programs see it; any other argument unchanged."""
    full = os.path.abspath(path)
    top = os.path.abspath(root)
    if full == top:
        return "/"
    if full.startswith(top + os.sep):
        return full[len(top):]
    return path


def debug(channels):
    """WINEDEBUG with Wine's messages on a failed start kept, whatever else `channels` turns off."""
    return channels if "virtual" in channels else channels + ",err+virtual"


def env(prefix, root=None, **extra):
    """The environment for a run in `prefix`: Wine quiet and without a display, plus `extra`."""
    result = dict(os.environ, WINEPREFIX=prefix if root is None else inside(root, prefix), WINEDEBUG="-all")
    result.pop("DISPLAY", None)
    result.update(extra)
    result["WINEDEBUG"] = debug(result["WINEDEBUG"])
    return result


def to_windows(path, root=None):
    """A Linux path as Wine's Windows programs see it, on drive Z:; with `root`, a path in it as
    the Wine running there sees it."""
    path = os.path.abspath(path)
    return "Z:" + (path if root is None else inside(root, path)).replace("/", "\\")


def start(argv, environment, cwd=None, stdin=subprocess.DEVNULL, root=None):
    """Starts the Windows program argv[0] in the background; finish() waits for it."""
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    return subprocess.Popen(command(argv, root, cwd), env=environment, cwd=cwd if root is None else None,
                            stdin=stdin, stdout=out, stderr=err), out, err


def finish(started, timeout=120):
    """Waits for a run to end; returns (stdout bytes, stderr bytes, exit status)."""
    process, out, err = started
    try:
        status = process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        raise
    with out, err:
        out.seek(0)
        err.seek(0)
        return out.read(), err.read(), status


def run(argv, environment, cwd=None, stdin=subprocess.DEVNULL, timeout=120, root=None):
    """Runs the Windows program argv[0] to the end; returns (stdout, stderr, exit status)."""
    return finish(start(argv, environment, cwd, stdin, root), timeout)


def processes(name, value):
    """The IDs of this machine's processes whose environment holds name=value: the Linux processes
    of a Wine run (and what it started, which inherits the environment), seen from outside."""
    entry = f"{name}={value}".encode()
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if entry in f.read().split(b"\0"):
                    found.append(pid)
        except OSError:
            pass  # gone meanwhile
    return found


def made(prefix, root=None):
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        return False
    return root is not None or not os.path.exists(LOADER32) or os.path.exists(
        os.path.join(prefix, "drive_c", "windows", "syswow64", "kernel32.dll"))


def make_prefix(prefix, root=None):
    """Makes the prefix unless it is there; returns whether it had to be made."""
    if made(prefix, root):
        return False
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(os.path.join(tempfile.gettempdir(), "usb-serial-driver-update-wineboot.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if made(prefix, root):
            return False
        stop(prefix, root)
        shutil.rmtree(prefix, ignore_errors=True)  # one made before wine32 arrived
        environment = env(prefix, root)
        subprocess.run(command(["wineboot", "-i"], root), env=environment, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(server(root, "-w"), env=environment, check=True)
    return True


def server(root, *args):
    """The command that runs wineserver with `args`, for a prefix in `root` or on this machine."""
    return ["wineserver"] + list(args) if root is None else in_root(root, [ROOT_SERVER] + list(args))


# What marks a DLL as Wine's own, in its DOS header; and where Debian's Wine keeps its own newdev.
WINE_BUILTIN = b"Wine builtin DLL"
WINE_NEWDEV = f"/usr/lib/{platform.machine()}-linux-gnu/wine/{platform.machine()}-windows/newdev.dll"
WINE_CFGMGR32 = os.path.join(os.path.dirname(WINE_NEWDEV), "cfgmgr32.dll")
# With standin_newdev() done, what makes a run's driver installs answer as Windows does: the
# stand-in in system32 is loaded (native first) and says ERROR_NO_SUCH_DEVINST for a hardware ID
# that no device carries, where Wine's own newdev says OK; every other call goes to Wine's own.
WINDOWS_INSTALLS = {"WINEDLLOVERRIDES": "newdev=n", "NEWDEV_STANDIN_SCRIPT": "windows,windows"}


def standin_newdev(prefix, standin):
    """Puts the test stand-in for newdev.dll (tests/standin/newdev.cpp, built as newdev-standin.dll)
    into the prefix's system32, with Wine's own newdev.dll kept beside it as wine-newdev.dll, where
    the stand-in calls it. Done again on a prefix that has it, it only refreshes the stand-in."""
    system32 = os.path.join(prefix, "drive_c", "windows", "system32")
    newdev, wine_newdev = os.path.join(system32, "newdev.dll"), os.path.join(system32, "wine-newdev.dll")
    if not wines_own(wine_newdev):
        # A prefix whose newdev.dll was replaced before without keeping Wine's own (as an older
        # benchmark did) gets Wine's own from the installation.
        shutil.copyfile(newdev if wines_own(newdev) else WINE_NEWDEV, wine_newdev)
    shutil.copyfile(standin, newdev)


def standin_cfgmgr32(prefix, standin):
    """Puts the test stand-in for cfgmgr32.dll (tests/standin/cfgmgr32.cpp) into the prefix's
    system32, with Wine's own kept beside it as winecfgmgr32.dll, to which the stand-in forwards
    every call it is not scripted to answer. It is loaded only where WINEDLLOVERRIDES says
    cfgmgr32=n. Done again on a prefix that has it, it only refreshes the stand-in."""
    system32 = os.path.join(prefix, "drive_c", "windows", "system32")
    cfgmgr32, wine_cfgmgr32 = os.path.join(system32, "cfgmgr32.dll"), os.path.join(system32, "winecfgmgr32.dll")
    if not wines_own(wine_cfgmgr32):
        shutil.copyfile(cfgmgr32 if wines_own(cfgmgr32) else WINE_CFGMGR32, wine_cfgmgr32)
    if os.path.exists(cfgmgr32):
        os.unlink(cfgmgr32)  # a hard link to another prefix's file must not be written through
    shutil.copyfile(standin, cfgmgr32)


def wines_own(dll):
    """Whether the file is one of Wine's own DLLs."""
    if not os.path.exists(dll):
        return False
    with open(dll, "rb") as f:
        return WINE_BUILTIN in f.read(128)


def serve(prefix, linger=None, root=None):
    """Starts the prefix's wineserver to outlast each run: by `linger` seconds, or until stop()."""
    subprocess.run(server(root, "-p" if linger is None else f"-p{linger}"), env=env(prefix, root),
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


# Where Windows keeps the system environment that every process starts with.
SYSTEM_ENVIRONMENT = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"


def serve_arm64(prefix, root):
    """Starts the wineserver of a prefix in the arm64 root until stop(), and gives its processes
    the PROCESSOR_ARCHITECTURE of Windows on ARM. arm64 Wine 8 writes "x86" there at every boot
    of the prefix, the first run of a new server; set after that run, with the server kept up,
    Windows' value holds for every process started until stop()."""
    serve(prefix, root=root)
    environment = env(prefix, root)
    for argv in (["reg", "add", SYSTEM_ENVIRONMENT, "/v", "PROCESSOR_ARCHITECTURE", "/d", "ARM64", "/f"],
                 ["cmd", "/c", "echo %PROCESSOR_ARCHITECTURE%"]):
        out, err, status = run(argv, environment, root=root)
    if status != 0 or out.strip() != b"ARM64":
        raise RuntimeError(f"{prefix}: PROCESSOR_ARCHITECTURE is {out.strip()!r}, not ARM64: "
                           + err.decode(errors="replace"))


def stop(prefix, root=None):
    """Ends every Wine process of the prefix and waits until they are gone."""
    if os.path.isdir(prefix):
        environment = env(prefix, root)
        subprocess.run(server(root, "-k"), env=environment, stderr=subprocess.DEVNULL)
        subprocess.run(server(root, "-w"), env=environment)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: winerun.py PROGRAM [ARGS...]  (in the environment's WINEPREFIX)")
    os.environ["WINEDEBUG"] = debug(os.environ.get("WINEDEBUG", "-all"))
    os.execvp("setarch", command(sys.argv[1:]))
