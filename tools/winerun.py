"""Running Windows programs under Wine, for the demo, the benchmark and the tests: one place for
what Wine needs from every caller.

- A prefix is made once with `wineboot -i`. Two first starts of Wine at the same moment on a new
  machine can fail each other, so prefixes are made one at a time, under a lock.
- Output goes through files, never pipes: the Wine services that a first run in a prefix starts
  inherit its output handles and outlive it, so a pipe would stay open after the program ended.
- A prefix's wineserver can be kept running between runs (it spares each run its start-up) and
  is stopped, and waited for, when the caller is done.
"""

import fcntl
import os
import subprocess
import tempfile


def env(prefix, **extra):
    """The environment for a run in `prefix`: Wine quiet and without a display, plus `extra`."""
    result = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    result.pop("DISPLAY", None)
    result.update(extra)
    return result


def to_windows(path):
    """A Linux path as Wine's Windows programs see it, on drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def start(argv, environment, cwd=None, stdin=subprocess.DEVNULL):
    """Starts a run in the background; finish() waits for it."""
    out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
    return subprocess.Popen(argv, env=environment, cwd=cwd, stdin=stdin, stdout=out, stderr=err), out, err


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


def run(argv, environment, cwd=None, stdin=subprocess.DEVNULL, timeout=120):
    """Runs to the end; returns (stdout bytes, stderr bytes, exit status)."""
    return finish(start(argv, environment, cwd, stdin), timeout)


def made(prefix):
    return os.path.exists(os.path.join(prefix, "system.reg"))


def make_prefix(prefix):
    """Makes the prefix unless it is there; returns whether it had to be made."""
    if made(prefix):
        return False
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    with open(os.path.join(tempfile.gettempdir(), "usb-serial-driver-update-wineboot.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if made(prefix):
            return False
        environment = env(prefix)
        subprocess.run(["wineboot", "-i"], env=environment, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=environment, check=True)
    return True


def serve(prefix, linger=None):
    """Starts the prefix's wineserver to outlast each run: by `linger` seconds, or until stop()."""
    subprocess.run(["wineserver", "-p" if linger is None else f"-p{linger}"], env=env(prefix),
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def stop(prefix):
    """Ends every Wine process of the prefix and waits until they are gone."""
    if os.path.isdir(prefix):
        environment = env(prefix)
        subprocess.run(["wineserver", "-k"], env=environment, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=environment)
