#!/usr/bin/env python3
"""Tests of the release: the unsigned .exe and zip are byte-identical from two source trees at
different paths, one of them checked out with core.autocrlf=true; the zip holds what it should;
and signing makes a verifiable signed copy while leaving the unsigned .exe alone. A row per case."""

import argparse
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE = os.path.join(ROOT, "tools", "release")
EPOCH = "1796083200"  # 2026-12-01 00:00:00 UTC
ENTRIES = ["LICENSE", "README.md", "SHA256SUMS", "THIRD-PARTY-NOTICES.txt", "examples/usb-serial-driver.nsi",
           "update-drivers.cmd", "usb-serial-driver-update.cdx.json", "usb-serial-driver-update.exe"]
BOM = "usb-serial-driver-update.cdx.json"


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
    else:
        for name in sh(["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard"]).splitlines():
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
        expect("signed zip's bill of materials names the signed .exe", sha256(signed),
               json.loads(z.read(BOM))["metadata"]["component"]["hashes"][0]["content"])


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
        exe = hashlib.sha256(z.read("usb-serial-driver-update.exe")).hexdigest()
    expect("schema errors", [], [f"{list(e.path)}: {e.message}" for e in validator.iter_errors(bom)])
    expect("the .exe's hash in the bill of materials", [{"alg": "SHA-256", "content": exe}],
           bom["metadata"]["component"]["hashes"])
    expect("a version for the .exe, each component and each tool", True,
           all(c.get("version") for c in [bom["metadata"]["component"]] + bom["components"]
               + bom["metadata"]["tools"]["components"]))


def linked_per_map(opts):
    """Every file outside the build tree that the link took code from, read from the linker's
    map: archives that gave members, and object files loaded whole."""
    with open(os.path.join(opts.build, "src", "usb-serial-driver-update.map"), errors="replace") as f:
        text = f.read()
    files = re.findall(r"^(/\S+?\.a)\(", text, re.M) + re.findall(r"^LOAD (/\S+\.o)$", text, re.M)
    return {os.path.realpath(f) for f in files}


def notices_and_bom_cover_the_link(opts):
    linked = linked_per_map(opts)
    expect("the map names the C++ runtime (control)", True, any(f.endswith("libstdc++.a") for f in linked))
    with packed(opts) as z:
        bom = json.loads(z.read(BOM))
        notices = z.read("THIRD-PARTY-NOTICES.txt").decode()
    claimed = {p["value"]: c for c in bom["components"] for p in c["properties"] if p["name"] == "linked-file"}
    expect("linked files no component of the bill of materials claims", [], sorted(linked - set(claimed)))
    headings = re.findall(r"^=+\n(\S+) (\S+): .*\n.*\nLicense: (.+)\nLinked from: (.+)$", notices, re.M)
    expect("components in the notices (name, version, license)",
           sorted((c["name"], c["version"], expression_of(c)) for c in bom["components"]),
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
    purls = [c["purl"] for c in bom["components"] + bom["metadata"]["tools"]["components"]]
    expect("the package URLs are Debian's (control)", True, bool(purls) and all(p.startswith("pkg:deb/debian/") for p in purls))
    expect("Debian package URLs without distro=debian-12", [],
           [p for p in purls if "distro=debian-12" not in p.split("?", 1)[-1].split("&")])


def installer_script_from_zip(opts):
    """The installer script in the zip builds in the unzipped release as the README there says:
    the driver package put into driver-package beside the .exe, makensis run with no /D."""
    out = os.path.join(opts.work, "compliance", opts.case, "unzipped")
    with packed(opts) as z:
        z.extractall(out)
        readme = z.read("README.md").decode()
    shutil.copytree(os.path.join(ROOT, "examples", "driver-package"), os.path.join(out, "driver-package"))
    said = re.search(r"In the unzipped release,.*?```bat\n(makensis [^\n]+)\n```", readme, re.S)
    expect("the README says how to build it in the unzipped release", True, bool(said))
    sh(said[1].replace("\\", "/").split(), cwd=out)
    setup = os.path.join(out, "examples", "usb-serial-driver-setup.exe")
    expect("the installer written beside the script", True, os.path.isfile(setup))
    with open(setup, "rb") as f:
        head = f.read(4096)
    machine = int.from_bytes(head[int.from_bytes(head[0x3C:0x40], "little") + 4:][:2], "little")
    expect("the installer's machine (x86, the default target)", "0x14c", hex(machine))


def expect(what, expected, actual):
    if expected != actual:
        raise Failure(f"{what} differs\n  expected: {expected!r}\n  actual:   {actual!r}")


CASES = [("reproducible-from-two-paths", reproducible), ("signed-copy-verifies", signed_copy),
         ("bill-of-materials-valid-cyclonedx-1-5", bom_valid),
         ("notices-and-bill-of-materials-cover-the-link", notices_and_bom_cover_the_link),
         ("bill-of-materials-license-texts-and-distro", bom_usable),
         ("installer-script-builds-from-the-zip", installer_script_from_zip)]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    for option in ("--case", "--work", "--build", "--version", "--schemas"):
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
