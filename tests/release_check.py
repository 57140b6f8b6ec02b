#!/usr/bin/env python3
"""Tests of the release: the unsigned .exe and zip are byte-identical from two source trees at
different paths, one of them checked out with core.autocrlf=true; the zip holds what it should;
and signing makes a verifiable signed copy while leaving the unsigned .exe alone. A row per case."""

import argparse
import hashlib
import os
import shlex
import shutil
import subprocess
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(ROOT, "tools", "release")
EPOCH = "1796083200"  # 2026-12-01 00:00:00 UTC
ENTRIES = ["LICENSE", "README.md", "SHA256SUMS", "examples/usb-serial-driver.nsi", "update-drivers.cmd",
           "usb-serial-driver-update.exe"]


class Failure(Exception):
    pass


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def sh(argv, **kw):
    done = subprocess.run(argv, capture_output=True, text=True, **kw)
    if done.returncode != 0:
        raise Failure(f"{shlex.join(argv)} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def release_from_copy(work, relative, autocrlf=False):
    """Builds and packs the release from the tracked files laid out at work/relative: copied as
    they stand, or checked out as a clone with core.autocrlf=true (Git for Windows' default) would
    check them out."""
    tree = os.path.join(work, relative)
    shutil.rmtree(os.path.join(work, relative.split("/")[0]), ignore_errors=True)
    if autocrlf:
        # A scratch index of the working tree, so that uncommitted changes are in it too.
        env = dict(os.environ, GIT_INDEX_FILE=os.path.join(work, "autocrlf.index"))
        sh(["git", "-C", ROOT, "read-tree", "--empty"], env=env)
        sh(["git", "-C", ROOT, "add", "-A"], env=env)
        sh(["git", "-C", ROOT, "-c", "core.autocrlf=true", "checkout-index", "-a", "-f",
            "--prefix=" + tree + "/"], env=env)
    for name in [] if autocrlf else sh(["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard"]).splitlines():
        if os.path.isfile(os.path.join(ROOT, name)):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, name), os.path.join(tree, name))
    sh(["cmake", "--preset", "release"], cwd=tree)
    sh(["cmake", "--build", "--preset", "release"], cwd=tree)
    env = dict(os.environ, SOURCE_DATE_EPOCH=EPOCH)
    sh([sys.executable, os.path.join(tree, "tools", "release"), "pack", "--build",
        os.path.join(tree, "build", "release"), "--out", os.path.join(tree, "dist")], env=env)
    zips = [os.path.join(tree, "dist", z) for z in os.listdir(os.path.join(tree, "dist"))]
    return os.path.join(tree, "build", "release", "src", "usb-serial-driver-update.exe"), zips[0]


def reproducible(opts):
    exe_a, zip_a = release_from_copy(opts.work, "release-a/main")
    exe_b, zip_b = release_from_copy(opts.work, "release-b/somewhere/else/usb-serial", autocrlf=True)
    expect("exe sha256 from both trees", sha256(exe_a), sha256(exe_b))
    expect("zip sha256 from both trees", sha256(zip_a), sha256(zip_b))
    expect("zip name", f"usb-serial-driver-update-{opts.version}-win64.zip", os.path.basename(zip_a))
    with zipfile.ZipFile(zip_a) as z:
        expect("zip entries", ENTRIES, z.namelist())
        expect("entry dates", {(2026, 12, 1, 0, 0, 0)}, {i.date_time for i in z.infolist()})
        sums = {name: hashlib.sha256(z.read(name)).hexdigest() for name in ENTRIES if name != "SHA256SUMS"}
        expect("SHA256SUMS", "".join(f"{h}  {n}\n" for n, h in sorted(sums.items())),
               z.read("SHA256SUMS").decode())
        expect("the .exe in the zip", sha256(exe_a), sums["usb-serial-driver-update.exe"])
        batch = z.read("update-drivers.cmd")
        expect("update-drivers.cmd has CR LF line ends only", batch.count(b"\n"), batch.count(b"\r\n"))


def signed_copy(opts):
    work = os.path.join(opts.work, "signing")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    sh(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
        "/CN=usb-serial-driver-update test signer", "-addext", "extendedKeyUsage=codeSigning",
        "-keyout", key, "-out", cert])
    exe = os.path.join(opts.build, "src", "usb-serial-driver-update.exe")
    before = sha256(exe)
    out = os.path.join(work, "dist")
    sh([sys.executable, RELEASE, "sign", "--build", opts.build, "--out", out, "--cert", cert, "--key", key])
    signed = os.path.join(out, f"usb-serial-driver-update-{opts.version}-win64-signed.exe")
    expect("unsigned .exe untouched by signing", before, sha256(exe))
    expect("signed copy differs from the unsigned .exe", True, sha256(signed) != before)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                              capture_output=True, text=True)
    expect("osslsigncode verify of the signed copy", 0, verified.returncode)
    unsigned = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", exe],
                              capture_output=True, text=True)
    expect("the unsigned .exe carries no signature (control)", True, unsigned.returncode != 0)
    with zipfile.ZipFile(os.path.join(out, f"usb-serial-driver-update-{opts.version}-win64-signed.zip")) as z:
        expect("signed zip's .exe", sha256(signed), hashlib.sha256(z.read("usb-serial-driver-update.exe")).hexdigest())


def expect(what, expected, actual):
    if expected != actual:
        raise Failure(f"{what} differs\n  expected: {expected!r}\n  actual:   {actual!r}")


CASES = [("reproducible-from-two-paths", reproducible), ("signed-copy-verifies", signed_copy)]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    for option in ("--case", "--work", "--build", "--version"):
        parser.add_argument(option)
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(name for name, _ in CASES))
        return
    name, run = next(c for c in CASES if c[0] == opts.case)
    try:
        run(opts)
    except Failure as failure:
        sys.exit(f"FAIL {name}: {failure}\n  re-run: {shlex.join([sys.executable] + sys.argv)}")
    print(f"PASS {name}")


if __name__ == "__main__":
    main()
