#!/usr/bin/python3
"""An arm64 Debian root with Debian's arm64 Wine, under the build tree, where the ARM64 programs
run as ARM64 code on an x86-64 machine.

  arm64root.py setup ROOT    makes the root unless it is there (complete), and makes sure that
                             this machine runs arm64 Linux programs (qemu-user-static through
                             binfmt_misc); fails naming what is missing
  arm64root.py remove ROOT   deletes it

Why it looks the way it does:
- Wine for Windows on ARM runs ARM64 Windows code natively: an x86-64 Wine cannot. So the whole
  arm64 Wine runs under qemu's user-mode emulation, which the kernel starts for every arm64 Linux
  program through binfmt_misc. qemu-user-static registers itself with flag F: the kernel opens the
  emulator when it is registered, so it works inside the root, which has no emulator of its own.
- debootstrap makes the root in one stage (the emulator runs its second stage) with wine64 and
  what it needs, from the archive this machine's apt already uses, read from its sources at run
  time. minbase: nothing else.
- The root needs /proc, and a mount that outlives a command keeps its tree from being deleted by
  anyone but root, and a CI runner from cleaning up the clone. Every command in the root, the
  debootstrap here included (its second stage mounts /proc and may bind /dev), therefore runs in
  a private mount namespace of its own (tools/winerun.py's in_root), where whatever it mounts
  vanishes with its last process. Nothing is ever mounted in the host's namespace.
- A root is complete only once debootstrap has finished: it is made under another name and
  renamed, so that a cut-short run leaves nothing that passes for one.
- Deleting uses `rm --one-file-system`: should anything be mounted in the tree after all, it is
  left alone rather than followed.
"""

import os
import re
import shutil
import subprocess
import sys

import winerun

SUITE = "bookworm"
BINFMT = "/proc/sys/fs/binfmt_misc"
# Debian's qemu-user-static's own registration, in the form systemd-binfmt reads.
QEMU_BINFMT = "/usr/lib/binfmt.d/qemu-aarch64.conf"
# What is missing, and the Debian package that brings it.
NEEDS = [("/usr/sbin/debootstrap", "debootstrap"), (QEMU_BINFMT, "qemu-user-static"),
         ("/usr/bin/unshare", "util-linux"), ("/usr/sbin/chroot", "coreutils")]


class Missing(Exception):
    pass


def archive_url():
    """The Debian archive this machine's apt takes SUITE from: deb822 sources or one-line ones."""
    found = []
    for directory, names in (("/etc/apt", ["sources.list"]), ("/etc/apt/sources.list.d", None)):
        if not os.path.isdir(directory):
            continue
        for name in sorted(names or os.listdir(directory)):
            path = os.path.join(directory, name)
            if not os.path.isfile(path):
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            if name.endswith(".sources"):
                for stanza in re.split(r"\n\s*\n", text):
                    fields = dict(re.findall(r"^([A-Za-z-]+):[ \t]*(.*)$", stanza, re.M))
                    if ("deb" in fields.get("Types", "").split() and SUITE in fields.get("Suites", "").split()
                            and "main" in fields.get("Components", "").split()):
                        found += fields.get("URIs", "").split()
            elif name.endswith(".list"):
                for m in re.finditer(r"^deb\s+(?:\[[^]]*\]\s+)?(\S+)\s+(\S+)\s+(.*)$", text, re.M):
                    if m[2] == SUITE and "main" in m[3].split():
                        found.append(m[1])
    if not found:
        raise Missing(f"no apt source for Debian {SUITE} main in /etc/apt: the root's archive is read from there")
    return found[0]


def binfmt():
    """arm64 Linux programs run here through qemu, or Missing says why not."""
    if not os.path.exists(os.path.join(BINFMT, "register")):
        done = subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], capture_output=True, text=True)
        if done.returncode != 0:
            raise Missing(f"binfmt_misc: cannot mount it at {BINFMT} ({done.stderr.strip()}); "
                          "arm64 programs need it to run through qemu-user-static")
    entry = os.path.join(BINFMT, "qemu-aarch64")
    if not os.path.exists(entry):
        with open(QEMU_BINFMT) as f:
            line = f.read().strip()
        try:
            with open(os.path.join(BINFMT, "register"), "w") as f:
                f.write(line)
        except OSError as error:
            raise Missing(f"binfmt_misc: cannot register qemu-aarch64 ({error.strerror})")
    with open(entry) as f:
        state = f.read()
    if not state.startswith("enabled") or not re.search(r"^flags: .*F", state, re.M):
        raise Missing(f"binfmt_misc: {entry} is not enabled with flag F (the emulator must be usable in a root):\n{state}")


def complete(root):
    return os.path.exists(os.path.join(root, winerun.ROOT_LOADER.lstrip("/"))) and \
        os.path.exists(os.path.join(root, ".complete"))


def setup(root):
    if os.geteuid() != 0:
        raise Missing("root: making the arm64 root (debootstrap, binfmt_misc, mounts in a namespace) needs root")
    absent = sorted({package for path, package in NEEDS if not os.path.exists(path)})
    if absent:
        raise Missing(f"Debian packages {', '.join(absent)} (tools/install-deps installs them)")
    binfmt()
    if complete(root):
        return
    url = archive_url()
    partial = root + ".partial"
    remove(partial)
    os.makedirs(os.path.dirname(os.path.abspath(root)), exist_ok=True)
    print(f"arm64root: debootstrap {SUITE} arm64 with wine64 from {url} into {root}", flush=True)
    done = subprocess.run(winerun.private_mounts(["debootstrap", "--arch=arm64", "--variant=minbase",
                                                  "--include=wine64", SUITE, partial, url]),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode != 0:
        log = os.path.join(partial, "debootstrap", "debootstrap.log")
        tail = open(log, errors="replace").read()[-3000:] if os.path.exists(log) else ""
        raise Missing(f"debootstrap failed ({done.returncode}):\n{done.stdout[-2000:]}{done.stderr[-2000:]}\n{tail}")
    open(os.path.join(partial, ".complete"), "w").close()
    remove(root)
    os.rename(partial, root)


def remove(path):
    if os.path.lexists(path):
        subprocess.run(["rm", "-rf", "--one-file-system", path], check=True)


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("setup", "remove"):
        sys.exit(__doc__)
    root = os.path.abspath(sys.argv[2])
    try:
        if sys.argv[1] == "setup":
            setup(root)
        else:
            remove(root)
    except Missing as missing:
        sys.exit(f"arm64root: missing: {missing}")


if __name__ == "__main__":
    main()
