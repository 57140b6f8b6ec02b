#!/usr/bin/env python3
"""Tests of the release: the unsigned .exe and zip are byte-identical from two source trees at
different paths, one of them checked out with core.autocrlf=true; the zip holds what it should;
and signing. A row per case.

Signing rows use a throw-away CA made by the row (tests/tsa.py) and a local RFC 3161 authority on
127.0.0.1 that the row starts and that stops by itself: each signed file (the release .exe, the
signed zip's .exe, the installer, an MSI) verifies with its timestamp, still verifies as of a time
after both certificates have expired while a copy signed without a timestamp does not, and fails
with one byte changed; authorities that refuse, answer garbage or never answer make signing fail
with a message naming them and no signed file left.

Token rows sign with a key in a SoftHSM token and count its logins; certificates outside their
validity are refused."""

import argparse
import contextlib
import hashlib
import json
import os
import re
import secrets
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

import pefile

import markdown_links
import tsa

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(ROOT, "tools", "release")
MSI = os.path.join(ROOT, "tools", "msi")
EPOCH = "1796083200"  # 2026-12-01 00:00:00 UTC
LATER = 10 * 86400  # seconds after signing: both test certificates have expired by then
TSA_OK = "Timestamp Server Signature verification: ok"
PROGRAMS = ["usb-serial-driver-update.exe", "usb-serial-driver-status.exe"]
# The guides ship beside README.md, as docs/ in the source tree, so that its links work unzipped.
# Their ARM64 builds, where update-drivers.cmd looks for them on Windows on ARM64.
ARM64_PROGRAMS = ["arm64/" + name for name in PROGRAMS]
ENTRIES = ["LICENSE", "README.md", "SHA256SUMS", "THIRD-PARTY-NOTICES.txt", "arm64/usb-serial-driver-status.exe",
           "arm64/usb-serial-driver-update.exe", "docs/building-and-testing.md",
           "docs/deploying.md", "docs/error-codes.md", "docs/how-it-works.md", "docs/security.md",
           "docs/signing.md", "docs/status.md", "examples/usb-serial-driver.nsi",
           "examples/usb-serial-driver.wxs", "update-drivers.cmd", "usb-serial-driver-status.exe",
           "usb-serial-driver-update.cdx.json", "usb-serial-driver-update.exe"]
BOM = "usb-serial-driver-update.cdx.json"
SPY = "/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so"


class Failure(Exception):
    pass


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def sh(argv, merged=False, **kw):
    """argv's output (with its error output when `merged`); a Failure when it fails."""
    done = subprocess.run(argv, capture_output=True, text=True, **kw)
    if done.returncode != 0:
        raise Failure(f"{shlex.join(argv)} failed:\n{done.stdout}{done.stderr}")
    return done.stdout + done.stderr if merged else done.stdout


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
    else:
        for name in sh(["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard"]).splitlines():
            if os.path.isfile(os.path.join(ROOT, name)):
                os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, name), os.path.join(tree, name))
    # The ARM64 tree first, as `make release` builds it, with this tree's Zig and the runtime
    # libraries it has built already (they do not depend on where the sources are).
    zig = dict(os.environ, ZIG=os.path.join(ROOT, "build", "deps", "zig", "zig"),
               ZIG_GLOBAL_CACHE_DIR=os.path.join(ROOT, "build", "zig-cache", "global"))
    for preset in ("release-arm64", "release"):
        sh(["cmake", "--preset", preset], cwd=tree, env=zig)
        sh(["cmake", "--build", "--preset", preset], cwd=tree, env=zig)
    env = dict(zig, SOURCE_DATE_EPOCH=EPOCH)
    sh([sys.executable, os.path.join(tree, "tools", "release"), "pack", "--build",
        os.path.join(tree, "build", "release"), "--out", os.path.join(tree, "dist")], env=env)
    zips = [os.path.join(tree, "dist", z) for z in os.listdir(os.path.join(tree, "dist"))]
    return [os.path.join(tree, "build", "release", "src", name) for name in PROGRAMS] + [
        os.path.join(tree, "build", "release-arm64", "src", name) for name in PROGRAMS], zips[0]


def reproducible(opts):
    exes_a, zip_a = release_from_copy(opts.work, "release-a/main")
    exes_b, zip_b = release_from_copy(opts.work, "release-b/somewhere/else/usb-serial", autocrlf=True)
    expect("each exe's sha256 from both trees", list(map(sha256, exes_a)), list(map(sha256, exes_b)))
    exe_a = exes_a[0]
    expect("zip sha256 from both trees", sha256(zip_a), sha256(zip_b))
    expect("zip name", f"usb-serial-driver-update-{opts.version}-win64.zip", os.path.basename(zip_a))
    with zipfile.ZipFile(zip_a) as z:
        expect("zip entries", ENTRIES, z.namelist())
        expect("entry dates", {(2026, 12, 1, 0, 0, 0)}, {i.date_time for i in z.infolist()})
        sums = {name: hashlib.sha256(z.read(name)).hexdigest() for name in ENTRIES if name != "SHA256SUMS"}
        expect("SHA256SUMS", "".join(f"{h}  {n}\n" for n, h in sorted(sums.items())),
               z.read("SHA256SUMS").decode())
        expect("the .exe files in the zip, x64 and ARM64", list(map(sha256, exes_a)),
               [sums[name] for name in PROGRAMS + ARM64_PROGRAMS])
        batch = z.read("update-drivers.cmd")
        expect("update-drivers.cmd has CR LF line ends only", batch.count(b"\n"), batch.count(b"\r\n"))


def ca(opts):
    """A fresh throw-away CA for this row: the code-signing and time-stamping certificates expire
    after one and two days."""
    folder = os.path.join(opts.work, "signing", opts.case)
    shutil.rmtree(folder, ignore_errors=True)
    tsa.make_ca(os.path.join(folder, "ca"))
    return folder, os.path.join(folder, "ca")


@contextlib.contextmanager
def authority(ca_dir, answer="ok", requests=8):
    """A local time-stamping authority, bounded in requests and time; yields its URL."""
    server = subprocess.Popen([sys.executable, tsa.__file__, "serve", ca_dir, "--answer", answer,
                               "--requests", str(requests), "--seconds", "120"],
                              stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        yield server.stdout.readline().strip()
    finally:
        server.kill()
        server.wait()


def signed_base(opts, folder):
    """Where `make sign` writes the signed copies, less .exe or .zip."""
    return os.path.join(folder, "dist", f"usb-serial-driver-update-{opts.version}-win64-signed")


def release_sign(opts, folder, ca_dir, *tsa_args, cert=None):
    """tools/release sign as `make sign` runs it; returns the finished process."""
    return subprocess.run([sys.executable, RELEASE, "sign", "--build", opts.build, "--out",
                           os.path.join(folder, "dist"), "--cert", cert or os.path.join(ca_dir, "signer.pem"),
                           "--key", os.path.join(ca_dir, "signer.key"), *tsa_args],
                          capture_output=True, text=True)


def sign_file(ca_dir, source, target, *tsa_args):
    sh([sys.executable, RELEASE, "sign-file", "--cert", os.path.join(ca_dir, "signer.pem"),
        "--key", os.path.join(ca_dir, "signer.key"), *tsa_args, source, target])
    return target


def verify(ca_dir, path, at=None):
    """(osslsigncode verify's exit status, whether the timestamp verified) as of `at` (epoch)."""
    argv = ["osslsigncode", "verify", "-CAfile", os.path.join(ca_dir, "root.pem"),
            "-TSA-CAfile", os.path.join(ca_dir, "root.pem"), "-in", path]
    if at:
        argv[2:2] = ["-time", str(int(at))]
    done = subprocess.run(argv, capture_output=True, text=True)
    return done.returncode, TSA_OK in done.stdout.splitlines()


def signed_artifact(opts, folder, ca_dir, kind, url):
    """The signed file of this kind, made as the build makes it, and the file it was made from."""
    if kind in ("exe", "zip-exe"):
        exe = os.path.join(opts.build, "src", "usb-serial-driver-update.exe")
        before = sha256(exe)
        done = release_sign(opts, folder, ca_dir, "--tsa", url)
        if done.returncode != 0:
            raise Failure(f"signing failed:\n{done.stdout}{done.stderr}")
        expect("unsigned .exe untouched by signing", before, sha256(exe))
        base = signed_base(opts, folder)
        with zipfile.ZipFile(base + ".zip") as z:
            inside, bom = z.read("usb-serial-driver-update.exe"), json.loads(z.read(BOM))
            others = [z.read(name) for name in PROGRAMS[1:] + ARM64_PROGRAMS]
        expect("signed zip's bill of materials names its .exe files",
               [hashlib.sha256(data).hexdigest() for data in [inside] + others],
               [bom["metadata"]["component"]["hashes"][0]["content"]] + program_hashes(bom))
        for name, data in zip(PROGRAMS[1:] + ARM64_PROGRAMS, others):
            with open(os.path.join(folder, name.replace("/", "-")), "wb") as f:
                f.write(data)
            expect(f"the zip's {name} verifies with its timestamp", (0, True), verify(ca_dir, f.name))
        if kind == "exe":
            return base + ".exe", exe
        with open(os.path.join(folder, "from-zip.exe"), "wb") as f:
            f.write(inside)
        return f.name, exe
    if kind == "installer":
        build, installer, _ = installer_build(folder, ca_dir, url)
        sh(["7z", "x", "-aou", "-o" + os.path.join(folder, "unpacked"), installer])
        for name in PROGRAMS:
            inside = carried_commands(os.path.join(folder, "unpacked"), name)
            carried = [os.path.join(build, "examples", "signed", arch, name) for arch in CARRIED_BUILDS]
            expect(f"the installer carries the signed x64 and ARM64 {name}", sorted(sha256(c) for c in carried),
                   sorted(sha256(p) for p in inside))
            for copy in inside:
                expect(f"the {name} it carries verifies with its timestamp", (0, True), verify(ca_dir, copy))
        return installer, os.path.join(build, "examples", "signed", "usb-serial-driver-setup-unsigned.exe")
    # The MSI as `make msi CERT=... KEY=... TSA=url` makes it, and the same unsigned.
    signed, unsigned = os.path.join(folder, "usb-serial-driver.msi"), os.path.join(folder, "unsigned.msi")
    sh([MSI, "--build", opts.build, "--out", unsigned])
    sh([MSI, "--build", opts.build, "--out", signed, "--cert", os.path.join(ca_dir, "signer.pem"),
        "--key", os.path.join(ca_dir, "signer.key"), "--tsa", url])
    sh(["msiextract", "-C", os.path.join(folder, "unpacked"), signed])
    for name in PROGRAMS:
        inside = carried_commands(os.path.join(folder, "unpacked"), name)
        expect(f"the MSI carries an x64 and an ARM64 {name}", len(CARRIED_BUILDS), len(inside))
        for copy in inside:
            expect(f"the {name} it carries verifies with its timestamp", (0, True), verify(ca_dir, copy))
    return signed, unsigned


# The installer and the MSI carry both programs twice: for x64, and for ARM64 (arm64 in the MSI).
CARRIED_BUILDS = ("x64", "arm64")


def carried_commands(unpacked, name="usb-serial-driver-update.exe"):
    """The copies of a program in an unpacked installer or MSI, wherever it puts them."""
    # 7-Zip renames the installer's second file of a name (its ARM64 build) to name_1.exe.
    stem, extension = os.path.splitext(name)
    copy = re.compile(re.escape(stem) + r"(_\d+)?" + re.escape(extension))
    return [os.path.join(d, n) for d, _, names in os.walk(unpacked) for n in names if copy.fullmatch(n)]


def program_hashes(bom):
    """The SHA-256 of each program the bill of materials lists besides the command."""
    return [c["hashes"][0]["content"] for c in bom["components"] if c["type"] == "application"]


def installer_build(folder, ca_dir, url, check=True, key=None, env=None):
    """The installer built as `make installer CERT=... KEY=... TSA=url` builds it, in a build tree
    of its own: (build tree, installer), or the finished build when not `check`ed. `key` is the
    KEY settings (-D...) for a key in a token; `env` then finds the token."""
    build = os.path.join(folder, "build")
    sh(["cmake", "--preset", "release", "-B", build, f"-DARM64_BUILD={ARM64_BUILD}", f"-DSIGN_CERT={ca_dir}/signer.pem",
        *(key or [f"-DSIGN_KEY={ca_dir}/signer.key"]), f"-DSIGN_TSA={url}"], cwd=ROOT, env=env)
    argv = ["cmake", "--build", build, "--target", "installer"]
    if not check:
        return subprocess.run(argv, capture_output=True, text=True, env=env)
    said = sh(argv, merged=True, env=env)
    return build, os.path.join(build, "examples", "usb-serial-driver-setup.exe"), said


def timestamped(opts):
    """A row per kind of signed file: verifies now with its timestamp; verifies as of a time after
    both certificates expired, where the same file signed without a timestamp does not; fails with
    one byte of it changed."""
    kind = opts.case[len("signed-"):-len("-timestamped")]
    folder, ca_dir = ca(opts)
    with authority(ca_dir) as url:
        signed, unsigned = signed_artifact(opts, folder, ca_dir, kind, url)
    expect("verify now: status, timestamp verified", (0, True), verify(ca_dir, signed))
    later = time.time() + LATER
    expect("verify after both certificates expired", (0, True), verify(ca_dir, signed, at=later))
    plain = sign_file(ca_dir, unsigned, os.path.join(folder, "plain-" + os.path.basename(signed)))
    expect("the same file signed without a timestamp: verify now (control)", (0, False), verify(ca_dir, plain))
    expect("... and after the certificate expired", 1, verify(ca_dir, plain, at=later)[0])
    if kind == "msi":
        said = subprocess.run(["osslsigncode", "verify", "-CAfile", os.path.join(ca_dir, "root.pem"),
                               "-in", signed], capture_output=True, text=True).stdout
        dse = re.findall(r"^(?:Current|Calculated) MsiDigitalSignatureEx\s*: (\S+)", said, re.M)
        expect("the MSI's extended signature stream: carried, and equal to the computed one", (2, 1),
               (len(dse), len(set(dse))))
    changed = os.path.join(folder, "changed-" + os.path.basename(signed))
    with open(signed, "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 3] ^= 0x01  # inside the signed content, far from the signature at the end
    with open(changed, "wb") as f:
        f.write(data)
    expect("verify with one byte changed", True, verify(ca_dir, changed)[0] != 0)


def signed_exe_runs(opts):
    """The signed .exe keeps a correct checksum and prints what the unsigned one prints."""
    import blackbox
    folder, ca_dir = ca(opts)
    exe = os.path.join(opts.build, "src", "usb-serial-driver-update.exe")
    signed = sign_file(ca_dir, exe, os.path.join(folder, "signed.exe"))
    pe = pefile.PE(signed)
    expect("PE checksum of the signed .exe", pe.generate_checksum(), pe.OPTIONAL_HEADER.CheckSum)
    prefix = os.path.join(opts.work, "prefix-standin")
    runs = []
    for path in (exe, signed):
        env = blackbox.wine_env(opts, blackbox.Case(opts.case, [], script="ok,fail:5"), prefix,
                                os.path.join(folder, "calls.log"), os.path.join(folder, "release"))
        stdout, _, status = blackbox.winerun.run([path, "C:\\drivers\\usb-serial"], env, cwd=folder)
        runs.append((status, stdout))
    expected = (0, blackbox.ok("FTDIBus") + blackbox.err("FTDIPort", 5))
    expect("unsigned .exe: status and output (control)", expected, runs[0])
    expect("signed .exe: status and output", expected, runs[1])


def authority_fails(opts):
    """`make sign` with an authority that fails: it fails, names the authority, and leaves no
    signed .exe or zip (not even those of an earlier run)."""
    answer = opts.case[len("authority-"):]
    folder, ca_dir = ca(opts)
    base = signed_base(opts, folder)
    os.makedirs(os.path.dirname(base))
    for stale in (base + ".exe", base + ".zip"):
        with open(stale, "w") as f:
            f.write("signed by an earlier run\n")
    with contextlib.ExitStack() as stack:
        url = ("http://127.0.0.1:9/" if answer == "unreachable"
               else stack.enter_context(authority(ca_dir, answer)))
        started = time.monotonic()
        done = release_sign(opts, folder, ca_dir, "--tsa", url, "--tsa-seconds", "5")
        took = time.monotonic() - started
    expect("exit status is not 0", True, done.returncode != 0)
    expect("the message names the authority", True, url in done.stderr)
    expect("signed files left", [], [p for p in (base + ".exe", base + ".zip") if os.path.exists(p)])
    expect("gave up within the bound (+15 s)", True, took < 20)


def authority_falls_back(opts):
    """The first authority refuses, the second answers: its timestamp is on the signed .exe."""
    folder, ca_dir = ca(opts)
    with authority(ca_dir, "refuse") as refusing, authority(ca_dir) as answering:
        done = release_sign(opts, folder, ca_dir, "--tsa", refusing, "--tsa", answering)
    expect("exit status", 0, done.returncode)
    expect("names the refusing authority and the one used", (True, True),
           (refusing in done.stderr, f"timestamped by {answering}" in done.stdout))
    signed = signed_base(opts, folder) + ".exe"
    expect("verify after both certificates expired", (0, True), verify(ca_dir, signed, at=time.time() + LATER))


def installer_authority_gone(opts):
    """`make installer` signing again, with an authority that timestamps the command it carries and
    is then gone: the build fails naming it and leaves no installer, not even the one signed before."""
    folder, ca_dir = ca(opts)
    with authority(ca_dir) as url:
        _, installer, _ = installer_build(folder, ca_dir, url)
    expect("signed installer of the first build (control)", (0, True), verify(ca_dir, installer))
    with authority(ca_dir, requests=1) as url:
        done = installer_build(folder, ca_dir, url, check=False)
    expect("build status is not 0", True, done.returncode != 0)
    expect("the message names the authority", True, url in done.stdout + done.stderr)
    expect("installer left", False, os.path.exists(installer))


def no_timestamp_said(opts):
    """Without TSA, `make sign` signs as before and says the signature carries no timestamp."""
    folder, ca_dir = ca(opts)
    done = release_sign(opts, folder, ca_dir)
    expect("exit status", 0, done.returncode)
    expect("says so", True, "WITHOUT a timestamp" in done.stdout)
    signed = signed_base(opts, folder) + ".exe"
    expect("verifies now, no timestamp", (0, False), verify(ca_dir, signed))


@contextlib.contextmanager
def token(ca_dir):
    """The signer's key in a SoftHSM token in a temporary folder outside the build tree (the spy's
    log there holds the PIN), reached through OpenSC's PKCS#11 spy, which logs every login."""
    with tempfile.TemporaryDirectory(prefix="usb-serial-token-") as work:
        pin = secrets.token_hex(8)  # fresh, so that finding it anywhere means it leaked
        env, uri = tsa.token(os.path.join(work, "token"), ca_dir, pin)
        log = env["PKCS11SPY_OUTPUT"] = os.path.join(work, "spy.log")
        env["PKCS11SPY"] = tsa.SOFTHSM
        for name, text in (("pin", pin), ("wrong-pin", "00000000")):
            with open(os.path.join(work, name), "w") as f:
                f.write(text + "\n")
        yield argparse.Namespace(pin=pin, env=env, uri=uri, pin_file=os.path.join(work, "pin"),
                                 wrong=os.path.join(work, "wrong-pin"),
                                 logins=lambda: len(re.findall(r"^\d+: C_Login$", open(log).read(), re.M)))


def token_signed(opts):
    """From a key in a token, with two authorities of which the first refuses: the installer as
    `make installer` builds it (through CMake) and the MSI as `make msi` builds it each verify with
    their timestamp, as does the command they carry; the token was logged in to once per signed
    file; the PIN is neither in the output nor in a file of the build tree, CMake's cache included.
    Before the MSI, a wrong PIN and a missing module fail naming the cause, with no MSI left and the
    wrong PIN tried once."""
    folder, ca_dir = ca(opts)
    unpacked = os.path.join(folder, "unpacked")
    with token(ca_dir) as tok, authority(ca_dir, "refuse") as refusing, authority(ca_dir) as url:
        if opts.case.endswith("installer-timestamped"):
            key = [f"-DSIGN_KEY={tok.uri}", f"-DSIGN_PKCS11_MODULE={SPY}", f"-DSIGN_PASS_FILE={tok.pin_file}"]
            build, signed, said = installer_build(folder, ca_dir, f"{refusing} {url}", key=key, env=tok.env)
            sh(["7z", "x", "-aou", "-o" + unpacked, signed])
            failed_logins = 0
        else:
            build, signed = folder, os.path.join(folder, "usb-serial-driver.msi")
            argv = [MSI, "--build", opts.build, "--out", signed, "--cert", os.path.join(ca_dir, "signer.pem"),
                    "--key", tok.uri, "--tsa", refusing, "--tsa", url]
            for options, cause in ((["--pkcs11-module", SPY, "--pass-file", tok.wrong], "refused the PIN"),
                                   (["--pkcs11-module", "/nonexistent/p11.so", "--pass-file", tok.pin_file],
                                    "no PKCS#11 module at /nonexistent/p11.so")):
                done = subprocess.run(argv + options, capture_output=True, text=True, env=tok.env)
                expect("status, cause named, MSI left", (True, True, False),
                       (done.returncode != 0, cause in done.stderr, os.path.exists(signed)))
            failed_logins = 1
            expect("logins with the wrong PIN", failed_logins, tok.logins())
            said = sh(argv + ["--pkcs11-module", SPY, "--pass-file", tok.pin_file], merged=True, env=tok.env)
            sh(["msiextract", "-C", unpacked, signed])
        expect("logins: one per signed file (both programs for x64 and ARM64, then what carries them)",
               2 * len(CARRIED_BUILDS) + 1,
               tok.logins() - failed_logins)
        expect("where the PIN shows", [], (["output"] if tok.pin in said else []) + [
            os.path.join(d, n) for d, _, names in os.walk(build) for n in names
            if tok.pin.encode() in open(os.path.join(d, n), "rb").read()])
    for name in PROGRAMS:
        inside = carried_commands(unpacked, name)
        expect(f"carried copies of {name}", len(CARRIED_BUILDS), len(inside))
        for copy in inside:
            expect(f"the {name} it carries verifies with its timestamp", (0, True), verify(ca_dir, copy))
    expect("verify now: status, timestamp verified", (0, True), verify(ca_dir, signed))


def certificate_outside_validity(opts):
    """A certificate that expired a month ago, or is valid only from next month: `make sign`
    fails naming its subject and dates, and leaves no signed file, not even an earlier run's."""
    folder, ca_dir = ca(opts)
    now, month = time.time(), 30 * 86400
    start, end = (now - 2 * month, now - month) if opts.case.endswith("expired") else (now + month, now + 2 * month)
    cert = tsa.signer_between(ca_dir, os.path.join(folder, "outside.pem"), start, end)
    base = signed_base(opts, folder)
    os.makedirs(os.path.dirname(base))
    with open(base + ".exe", "w") as f:
        f.write("signed by an earlier run\n")
    done = release_sign(opts, folder, ca_dir, cert=cert)
    dates = [time.strftime("%b %e %H:%M:%S %Y GMT", time.gmtime(t)) for t in (start, end)]
    expect("status is not 0; subject and both dates in the message", [True] * 4, [done.returncode != 0] + [
        said in done.stderr for said in ["CN=usb-serial-driver-update test signer"] + dates])
    expect("signed files left", [], [p for p in (base + ".exe", base + ".zip") if os.path.exists(p)])


def packed(opts):
    """The release zip packed from this build tree, opened; each row packs its own."""
    out = os.path.join(opts.work, "compliance", opts.case)
    shutil.rmtree(out, ignore_errors=True)
    sh([sys.executable, RELEASE, "pack", "--build", opts.build, "--out", out])
    return zipfile.ZipFile(os.path.join(out, f"usb-serial-driver-update-{opts.version}-win64.zip"))


def bom_valid(opts):
    """The bill of materials is CycloneDX 1.5 as its schema says, every $ref resolved from the
    schema files on disk, and its hash is the .exe's beside it in the zip."""
    import jsonschema
    import jsonschema._validators

    # Debian 12's jsonschema (4.10) sorts surplus array items to word its message, which fails
    # for objects: a valid list of several licenses stopped the check while the schema's
    # expression branch was tried. The message is worded unsorted instead.
    jsonschema._validators.extras_msg = lambda extras: (", ".join(map(repr, extras)),
                                                        "was" if len(extras) == 1 else "were")

    def load(name):
        with open(os.path.join(opts.schemas, name)) as f:
            return json.load(f)

    def no_network(uri):
        raise Failure(f"the schema asked for {uri}, which is not on disk")

    schema = load("bom-1.5.SNAPSHOT.schema.json")
    base = schema["$id"].rsplit("/", 1)[0] + "/"
    store = {base + name: load(name) for name in ("spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json")}
    resolver = jsonschema.RefResolver.from_schema(schema, store=store, handlers={"http": no_network,
                                                                                 "https": no_network})
    validator = jsonschema.Draft7Validator(schema, resolver=resolver, format_checker=jsonschema.FormatChecker())
    with packed(opts) as z:
        bom = json.loads(z.read(BOM))
        exe, *others = (hashlib.sha256(z.read(name)).hexdigest() for name in PROGRAMS + ARM64_PROGRAMS)
    expect("schema errors", [], [f"{list(e.path)}: {e.message}" for e in validator.iter_errors(bom)])
    expect("the .exe's hash in the bill of materials", [{"alg": "SHA-256", "content": exe}],
           bom["metadata"]["component"]["hashes"])
    expect("the status program's and the ARM64 builds' hashes in the bill of materials", others,
           program_hashes(bom))
    expect("a version for the .exe, each component and each tool", True,
           all(c.get("version") for c in [bom["metadata"]["component"]] + bom["components"]
               + bom["metadata"]["tools"]["components"]))


def linked_per_map(opts):
    """Every file outside the build tree that the links of the programs took code from, read from
    the linker's maps: archives that gave members, and object files loaded whole."""
    files = []
    for name in PROGRAMS:
        with open(os.path.join(opts.build, "src", name[:-len(".exe")] + ".map"), errors="replace") as f:
            text = f.read()
        files += re.findall(r"^(/\S+?\.a)\(", text, re.M) + re.findall(r"^LOAD (/\S+\.o)$", text, re.M)
    return {os.path.realpath(f) for f in files}


def arm64_build(build):
    """The ARM64 tree the x64 build takes the ARM64 programs from."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        return re.search(r"^ARM64_BUILD:[A-Z]+=(.+)$", f.read(), re.M)[1]


ARM64_BUILD = None  # that of --build


def arm64_linked_per_link_record():
    """The libraries Zig built and linked into the ARM64 programs, by name, from their link command
    lines: every .lib and .obj but theirs (their own objects, in Zig's local cache)."""
    found = set()
    for name in PROGRAMS:
        with open(os.path.join(ARM64_BUILD, "src", name + ".link")) as f:
            found |= {os.path.basename(w) for w in f.read().split()
                      if w.endswith((".lib", ".obj")) and "/zig-cache/local/" not in w}
    return found


def notices_and_bom_cover_the_link(opts):
    arm64 = arm64_linked_per_link_record()
    expect("the ARM64 links name the C++ runtime and the start-up code (control)", True, {"c++.lib", "crt2.obj"} <= arm64)
    linked = linked_per_map(opts) | arm64
    expect("the map names the C++ runtime (control)", True, any(f.endswith("libstdc++.a") for f in linked))
    with packed(opts) as z:
        bom = json.loads(z.read(BOM))
        notices = z.read("THIRD-PARTY-NOTICES.txt").decode()
    libraries = [c for c in bom["components"] if c["type"] == "library"]
    claimed = {p["value"]: c for c in libraries for p in c["properties"] if p["name"] == "linked-file"}
    expect("linked files no component of the bill of materials claims", [], sorted(linked - set(claimed)))
    headings = re.findall(r"^=+\n(\S+) (\S+): .*\n.*\nLicense: (.+)\nLinked from: (.+)$", notices, re.M)
    expect("components in the notices (name, version, license)",
           sorted((c["name"], c["version"], expression_of(c)) for c in libraries),
           sorted(h[:3] for h in headings))
    expect("linked files the notices name", sorted(os.path.basename(f) for f in linked),
           sorted(n for h in headings for n in h[3].split(", ")))


def expression_of(component):
    """A component's licenses as one SPDX expression: its expression, or its list of licenses
    (the form that carries texts), all of which apply."""
    found = component["licenses"]
    if "expression" in found[0]:
        return found[0]["expression"]
    return " AND ".join(entry["license"].get("id") or entry["license"]["name"] for entry in found)


def bom_usable(opts):
    """What tools that read the bill of materials need beyond the schema: the text of every
    LicenseRef it names (no list of them exists anywhere else), and the Debian release of every
    Debian package URL (a version alone does not say which archive it is from)."""
    with packed(opts) as z:
        bom = json.loads(z.read(BOM))
    named = set(re.findall(r"LicenseRef-[A-Za-z0-9.-]+", json.dumps(bom)))
    expect("the bill of materials names a LicenseRef (control)", True, bool(named))
    texts = {entry["license"]["name"]: entry["license"].get("text", {}).get("content", "")
             for c in bom["components"] for entry in c["licenses"] if "license" in entry
             and "name" in entry["license"]}
    expect("LicenseRefs named without their text", [], sorted(r for r in named if not texts.get(r, "").strip()))
    # Zig and what it builds come from npm, the rest from Debian: a Debian package URL needs its
    # release, an npm one the package's hash (its integrity), or neither says exactly what it is.
    entries = [c for c in bom["components"] + bom["metadata"]["tools"]["components"] if "purl" in c]
    purls = [c["purl"] for c in entries]
    expect("the package URLs are Debian's or npm's, some of each (control)", (True, True, True),
           (all(p.startswith(("pkg:deb/debian/", "pkg:npm/")) for p in purls),
            any(p.startswith("pkg:deb/") for p in purls), any(p.startswith("pkg:npm/") for p in purls)))
    expect("Debian package URLs without distro=debian-12", [],
           [p for p in purls if p.startswith("pkg:deb/") and "distro=debian-12" not in p.split("?", 1)[-1].split("&")])
    expect("npm package URLs without the package's SHA-512", [],
           [c["purl"] for c in entries if c["purl"].startswith("pkg:npm/")
            and not any(h["alg"] == "SHA-512" and len(h["content"]) == 128 for h in c.get("hashes", []))])


def installer_script_from_zip(opts):
    """The installer script in the zip builds in the unzipped release as docs/deploying.md there
    says: the driver package put into driver-package beside the .exe, makensis run with no /D."""
    out = os.path.join(opts.work, "compliance", opts.case, "unzipped")
    with packed(opts) as z:
        z.extractall(out)
        guide = z.read("docs/deploying.md").decode()
    shutil.copytree(os.path.join(ROOT, "examples", "driver-package"), os.path.join(out, "driver-package"))
    said = re.search(r"In the unzipped release,.*?```bat\n(makensis [^\n]+)\n```", guide, re.S)
    expect("docs/deploying.md says how to build it in the unzipped release", True, bool(said))
    sh(said[1].replace("\\", "/").split(), cwd=out)
    setup = os.path.join(out, "examples", "usb-serial-driver-setup.exe")
    expect("the installer written beside the script", True, os.path.isfile(setup))
    machine = pefile.PE(setup, fast_load=True).FILE_HEADER.Machine
    expect("the installer's machine (x86, the default target)", "0x14c", hex(machine))


def links_in_the_zip(opts):
    """Every relative link and #anchor of README.md and docs/ resolves in the unzipped release, where
    there is no source tree and no git around them."""
    out = os.path.join(opts.work, "compliance", opts.case, "unzipped")
    with packed(opts) as z:
        z.extractall(out)
    expect("links in the unzipped release that do not resolve", [], markdown_links.problems(out))


def expect(what, expected, actual):
    if expected != actual:
        raise Failure(f"{what} differs\n  expected: {expected!r}\n  actual:   {actual!r}")


CASES = [("reproducible-from-two-paths", reproducible),
         *[(f"signed-{kind}-timestamped", timestamped) for kind in ("exe", "zip-exe", "installer", "msi")],
         ("signed-exe-runs-with-a-correct-checksum", signed_exe_runs),
         *[(f"authority-{answer}", authority_fails) for answer in ("refuse", "garbage", "silent", "unreachable")],
         ("authority-refuses-next-one-answers", authority_falls_back),
         ("installer-authority-gone", installer_authority_gone),
         ("signed-without-authority-says-so", no_timestamp_said),
         *[(f"token-signed-{kind}-timestamped", token_signed) for kind in ("installer", "msi")],
         *[(f"certificate-{when}", certificate_outside_validity) for when in ("expired", "not-yet-valid")],
         ("bill-of-materials-valid-cyclonedx-1-5", bom_valid),
         ("notices-and-bill-of-materials-cover-the-link", notices_and_bom_cover_the_link),
         ("bill-of-materials-license-texts-and-distro", bom_usable),
         ("installer-script-builds-from-the-zip", installer_script_from_zip),
         ("links-resolve-in-the-zip", links_in_the_zip)]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    for option in ("--case", "--work", "--build", "--version", "--schemas"):
        parser.add_argument(option)
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(name for name, _ in CASES))
        return
    global ARM64_BUILD
    ARM64_BUILD = arm64_build(opts.build)
    name, run = next(c for c in CASES if c[0] == opts.case)
    try:
        run(opts)
    except Failure as failure:
        sys.exit(f"FAIL {name}: {failure}\n  re-run: {shlex.join([sys.executable] + sys.argv)}")
    print(f"PASS {name}")


if __name__ == "__main__":
    main()
