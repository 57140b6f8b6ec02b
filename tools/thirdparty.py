"""What is linked into the programs' .exe files besides our own code, and what its licenses ask: the release's
third-party notices and its CycloneDX 1.5 bill of materials.

Both are made at release time from the linker's map (which files the link took code from) and
from the installed Debian packages those files belong to (versions, copyright files), so that
they stay true when the toolchain changes. Nothing about a component is typed here but how to
recognise its files and, for GCC's copyright file, which is not machine-readable, its SPDX
expression. A linked file that no component claims stops the release: better no release than
one whose notices miss a part.

The ARM64 builds are linked by Zig from libraries it builds from its own sources (lib/ of the
pinned npm package that tools/install-deps unpacks into build/deps/zig): the same holds there,
with Zig's link command line (the .exe.link tools/zig-c++ keeps) for the map, the npm package's
name, version and integrity for the Debian package, and the licence files in Zig's lib/ for the
copyright file.
"""

import base64
import hashlib
import json
import os
import platform
import re
import subprocess
import urllib.parse
import uuid
from dataclasses import dataclass

from debian import copyright as dep5

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"


@dataclass
class Component:
    name: str
    description: str
    files: str  # a regular expression for the linked files' names
    source: str  # the Debian source package its files must come from
    license: str  # an SPDX expression, or the DEP-5 path prefix of its sources in the copyright file


COMPONENTS = [
    Component("libstdc++", "GCC's C++ standard library", r"libstdc\+\+\.a|libsupc\+\+\.a",
              "gcc-mingw-w64", GCC_RUNTIME),
    Component("libgcc", "GCC's low-level runtime and exception unwinding", r"libgcc(_eh)?\.a|crt(begin|end)\.o",
              "gcc-mingw-w64", GCC_RUNTIME),
    Component("libssp", "GCC's stack protection runtime", r"libssp(_nonshared)?\.a", "gcc-mingw-w64", GCC_RUNTIME),
    Component("winpthreads", "mingw-w64's POSIX threads library", r"lib(win)?pthread\.a", "mingw-w64",
              "mingw-w64-libraries/winpthreads/"),
    # Start-up code, C library additions and the import libraries of Windows' own DLLs.
    Component("mingw-w64-crt", "the mingw-w64 C runtime", r"crt2\.o|lib[a-z0-9_]+\.a", "mingw-w64",
              "mingw-w64-crt/"),
]

@dataclass
class ZigComponent:
    name: str
    description: str
    files: str  # a regular expression for the names of the libraries Zig built and linked
    license: str  # an SPDX expression
    texts: tuple  # its licence files, in Zig's package


LLVM = "Apache-2.0 WITH LLVM-exception"
ZIG_COMPONENTS = [
    ZigComponent("llvm-libc++", "LLVM's C++ standard library, with its ABI library libc++abi",
                 r"c\+\+(abi)?\.lib", LLVM, ("lib/libcxx/LICENSE.TXT", "lib/libcxxabi/LICENSE.TXT")),
    ZigComponent("llvm-libunwind", "LLVM's exception unwinding library", r"unwind\.lib", LLVM,
                 ("lib/libunwind/LICENSE.TXT",)),
    ZigComponent("zig-compiler-rt", "Zig's low-level runtime (compiler-rt)", r"compiler_rt\.lib", "MIT",
                 ("LICENSE",)),
    # Start-up code, C library additions and the import libraries of Windows' own DLLs, which Zig
    # makes from mingw-w64's definitions. Its licence file says which parts are under which licence.
    ZigComponent("zig-mingw-w64", "the mingw-w64 C runtime, as Zig ships and builds it",
                 r"(dll)?crt2\.obj|[a-z0-9_-]+\.lib", "LicenseRef-mingw-w64", ("lib/libc/mingw/COPYING",)),
]

# Debian's short license names as SPDX identifiers; any other becomes a LicenseRef of its own.
SPDX = {"ZPL-2.1": "ZPL-2.1", "expat": "MIT", "BSD-3-clause": "BSD-3-Clause", "ISC": "ISC",
        "GPL-2+": "GPL-2.0-or-later", "GPL-3+": "GPL-3.0-or-later", "LGPL-2+": "LGPL-2.0-or-later",
        "LGPL-2.1+": "LGPL-2.1-or-later", "BSD-2-clause-NetBSD": "BSD-2-Clause-NetBSD"}


class Error(Exception):
    pass


def linked_files(map_path, own_dir):
    """The files outside `own_dir` that the link took code from: the archives that gave members
    and the object files loaded whole, as real paths, sorted."""
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    archives = re.findall(r"^(/\S+?\.a)\(", text, re.M)
    objects = re.findall(r"^LOAD (/\S+\.o(?:bj)?)$", text, re.M)
    own = os.path.realpath(own_dir) + os.sep
    return sorted(p for p in {os.path.realpath(p) for p in archives + objects} if not p.startswith(own))


def dpkg(*args):
    return subprocess.run(["dpkg-query"] + list(args), check=True, capture_output=True, text=True).stdout


def package_of(path):
    owners = subprocess.run(["dpkg-query", "-S", path], capture_output=True, text=True)
    if owners.returncode != 0:
        raise Error(f"{path} belongs to no installed Debian package")
    return owners.stdout.split(":")[0].split(",")[0].strip()


def package_info(package):
    version, architecture, source = dpkg("-W", "-f", "${Version}\t${Architecture}\t${source:Package}",
                                         package).split("\t")
    return {"package": package, "version": version, "architecture": architecture, "source": source,
            "copyright": f"/usr/share/doc/{package}/copyright"}


def spdx_of(synopsis):
    def one(name):
        return SPDX.get(name) or "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)
    return " AND ".join(one(n.strip()) for n in re.split(r"\s+and\s+", synopsis))


def license_of(component, copyright_path):
    """(SPDX expression, the notice text, {LicenseRef-…: its text}) from the package's copyright
    file."""
    with open(copyright_path, encoding="utf-8") as f:
        text = f.read()
    if "/" not in component.license:
        # GCC's copyright file is free text: the expression is typed above, and checked here
        # against what the file grants; the whole file is the notice.
        grant = "GNU General Public License (v3 or later) with version 3.1 of the GCC Runtime Library Exception"
        if grant not in " ".join(text.split()) or "GCC RUNTIME LIBRARY EXCEPTION" not in text:
            raise Error(f"{copyright_path} no longer grants {component.license}")
        return component.license, text, {}
    prefix = component.license
    parsed = dep5.Copyright(text.splitlines(keepends=True))
    # The default paragraph and those about the component's sources, less their test suites,
    # which are never linked: a superset of what the linked parts carry.
    paragraphs = [p for p in parsed.all_files_paragraphs()
                  if any(f == "*" or (f.startswith(prefix) and "test" not in f) for f in p.files)]
    names = list(dict.fromkeys(p.license.synopsis for p in paragraphs))
    standalone = [p for p in parsed.all_license_paragraphs()
                  if p.license.synopsis in {n.strip() for s in names for n in re.split(r"\s+and\s+", s)}]
    expression = " AND ".join(dict.fromkeys(spdx_of(n) for n in names))
    notice = "\n".join(p.dump() for p in paragraphs + standalone)
    # A LicenseRef means nothing without its text: the file gives it in a License paragraph of
    # its own or under the files it covers, sometimes several wordings under one name.
    texts = {}
    for p in standalone + paragraphs:
        for name in re.split(r"\s+and\s+", p.license.synopsis):
            ref = spdx_of(name.strip())
            if ref.startswith("LicenseRef-") and p.license.text.strip():
                texts.setdefault(ref, {})[p.license.text.strip()] = None
    texts = {ref: "\n\n".join(wordings) for ref, wordings in texts.items()}
    missing = sorted(set(re.findall(r"LicenseRef-[A-Za-z0-9.-]+", expression)) - set(texts))
    if missing:
        raise Error(f"{copyright_path} gives no text for {', '.join(missing)}")
    return expression, notice, texts


@dataclass
class Linked:
    component: Component
    info: dict  # of the Debian package its files came from
    files: list
    expression: str = ""  # its SPDX license expression
    notice: str = ""  # the license text or notice its copyright file gives
    texts: dict = None  # {LicenseRef-…: its text}, for those the expression names


def components_of(files):
    """[Linked] in the order of COMPONENTS, for each component the files come from."""
    found = {}
    for path in files:
        component = next((c for c in COMPONENTS if re.fullmatch(c.files, os.path.basename(path))), None)
        info = package_info(package_of(path))
        if component is None or info["source"] != component.source:
            raise Error(f"linked file {path} (Debian package {info['package']}) is no known component: "
                        "name it in tools/thirdparty.py")
        found.setdefault(component.name, Linked(component, info, [])).files.append(path)
    linked = [found[c.name] for c in COMPONENTS if c.name in found]
    for item in linked:
        item.expression, item.notice, item.texts = license_of(item.component, item.info["copyright"])
    return linked


def zig_package(zig_dir):
    """{package, version, integrity} of the npm package Zig was unpacked from (tools/install-deps)."""
    try:
        with open(os.path.join(zig_dir, "INTEGRITY")) as f:
            pinned, integrity = f.read().split()
    except (OSError, ValueError):
        raise Error(f"{zig_dir}/INTEGRITY names no npm package: run tools/install-deps")
    package, version = pinned.rsplit("@", 1)
    return {"package": package, "version": version, "integrity": integrity, "source": "npm"}


def zig_linked_files(link_record, own_dirs):
    """The libraries and objects on Zig's link command line that are not ours: those Zig built
    from its own sources. Named by file name: their folders are hashes in Zig's cache."""
    with open(link_record, encoding="utf-8") as f:
        words = f.read().split()
    if not words or words[0] != "lld-link":
        raise Error(f"{link_record} holds no link command line")
    own = [os.path.realpath(d) + os.sep for d in own_dirs]
    return sorted(os.path.basename(w) for w in words[1:] if w.endswith((".obj", ".lib")) and not w.startswith("-")
                  and not any(os.path.realpath(w).startswith(d) for d in own))


def zig_components_of(files, zig_dir):
    """[Linked] in the order of ZIG_COMPONENTS, for each component the files come from."""
    info = zig_package(zig_dir)
    found = {}
    for name in files:
        component = next((c for c in ZIG_COMPONENTS if re.fullmatch(c.files, name)), None)
        if component is None:
            raise Error(f"linked file {name} (built by Zig) is no known component: name it in tools/thirdparty.py")
        found.setdefault(component.name, Linked(component, info, [])).files.append(name)
    linked = [found[c.name] for c in ZIG_COMPONENTS if c.name in found]
    for item in linked:
        texts = []
        for path in item.component.texts:
            with open(os.path.join(zig_dir, path), encoding="utf-8") as f:
                texts.append(f"{path}:\n\n{f.read().strip()}")
        item.expression, item.notice = item.component.license, "\n\n".join(texts) + "\n"
        item.texts = {ref: item.notice for ref in re.findall(r"LicenseRef-[A-Za-z0-9.-]+", item.expression)}
    return linked


def distro():
    """This Debian release, as package URLs name it (debian-12): a package's version alone does not
    tell which release's archive it came from."""
    release = platform.freedesktop_os_release()
    if release.get("ID") != "debian" or not release.get("VERSION_ID"):
        raise Error(f"this is not a numbered Debian release ({release.get('PRETTY_NAME')}); "
                    "the bill of materials names Debian packages")
    return "debian-" + release["VERSION_ID"]


def purl(info):
    if info["source"] == "npm":
        return f"pkg:npm/{urllib.parse.quote(info['package'], safe='/')}@{info['version']}"
    return (f"pkg:deb/debian/{info['package']}@{urllib.parse.quote(info['version'], safe='')}"
            f"?arch={info['architecture']}&distro={distro()}")


def licenses(item):
    """The component's CycloneDX licenses. 1.5 carries a license's text only in the list form, one
    license an entry, never beside an expression: a component whose expression names a LicenseRef
    lists its licenses, each LicenseRef with its text. Its expression is a conjunction of them,
    so the list means the same: every one of them applies."""
    if not item.texts:
        return [{"expression": item.expression}]
    terms = item.expression.split(" AND ")
    if any(" " in term for term in terms):
        raise Error(f"{item.component.name}: {item.expression} is no plain conjunction of licenses")
    return [{"license": {"name": t, "text": {"contentType": "text/plain", "content": item.texts[t]}}}
            if t in item.texts else {"license": {"id": t}} for t in terms]


def origin(info):
    if info["source"] == "npm":
        return f"Built by Zig from its npm package {info['package']} {info['version']} (integrity {info['integrity']})"
    return f"Debian package: {info['package']} (source {info['source']})"


def notices(version, linked, programs, arm64_linked=(), arm64_programs=()):
    out = [f"Third-party notices for usb-serial-driver-update {version}", "",
           f"{' and '.join(programs)} are linked statically with the components",
           "below. Each is named with the Debian package it was built from, that package's version,",
           "and the license text or notice that package's copyright file gives for it.", ""]
    if arm64_programs:
        out += [f"{' and '.join(arm64_programs)}, the ARM64 builds, are linked statically with the",
                "components that follow those, which Zig builds from its own sources: each is named",
                "with the npm package Zig came from, its version and integrity, and the license texts",
                "Zig ships for it.", ""]
    shown = {}
    for item in list(linked) + list(arm64_linked):
        info = item.info
        out += ["=" * 78, f"{item.component.name} {info['version']}: {item.component.description}",
                origin(info),
                f"License: {item.expression}",
                "Linked from: " + ", ".join(os.path.basename(f) for f in item.files), "-" * 78]
        out.append(f"The same text as for {shown[item.notice]} above." if item.notice in shown
                   else item.notice.rstrip("\n"))
        shown.setdefault(item.notice, item.component.name)
        out.append("")
    return "\n".join(out).encode()


def npm_hashes(info):
    """An npm integrity (sha512-<base64>) as a CycloneDX hash."""
    algorithm, digest = info["integrity"].split("-", 1)
    if algorithm != "sha512":
        raise Error(f"{info['package']}: integrity {algorithm} is not SHA-512")
    return [{"alg": "SHA-512", "content": base64.b64decode(digest).hex()}]


def component(item):
    info = item.info
    entry = {"type": "library", "bom-ref": f"component:{item.component.name}", "name": item.component.name,
             "version": info["version"], "description": item.component.description,
             "licenses": licenses(item), "purl": purl(info)}
    if info["source"] == "npm":
        entry["hashes"] = npm_hashes(info)
        entry["properties"] = [{"name": "npm:package", "value": info["package"]},
                               {"name": "npm:integrity", "value": info["integrity"]}]
    else:
        entry["properties"] = [{"name": "debian:package", "value": info["package"]},
                               {"name": "debian:source", "value": info["source"]}]
    entry["properties"] += [{"name": "linked-file", "value": f} for f in item.files]
    return entry


def bill_of_materials(version, programs, files, linked, toolchain, timestamp):
    """CycloneDX 1.5: the .exe files ({name: bytes}, the command first, which the metadata
    describes; each other one an application component) with their hashes, each linked component
    (files: {name: the files its link took code from}), and the toolchain."""
    names = list(programs)
    digests = {name: hashlib.sha256(data).hexdigest() for name, data in programs.items()}
    digest, exe_ref = digests[names[0]], names[0]
    components = [component(item) for item in linked]
    tools = [{"type": "application", "name": info["package"], "version": info["version"], "purl": purl(info),
              "description": role, **({"hashes": npm_hashes(info)} if info["source"] == "npm" else {})}
             for role, info in toolchain]
    bom = {
        "bomFormat": "CycloneDX", "specVersion": "1.5",
        "serialNumber": "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_URL, "usb-serial-driver-update:"
                                                     + ":".join(digests[name] for name in names))),
        "version": 1,
        "metadata": {
            "timestamp": timestamp,
            "tools": {"components": tools},
            "component": {"type": "application", "bom-ref": exe_ref, "name": "usb-serial-driver-update",
                          "version": version, "hashes": [{"alg": "SHA-256", "content": digest}],
                          "licenses": [{"license": {"id": "MIT"}}],
                          "properties": [{"name": "file", "value": exe_ref}]},
        },
        "components": [{"type": "application", "bom-ref": name, "name": os.path.basename(name)[:-len(".exe")],
                        "version": version, **({"description": "The ARM64 build, for Windows on ARM64"}
                                               if name.startswith("arm64/") else {}),
                        "hashes": [{"alg": "SHA-256", "content": digests[name]}],
                        "licenses": [{"license": {"id": "MIT"}}],
                        "properties": [{"name": "file", "value": name}]} for name in names[1:]] + components,
        "dependencies": [{"ref": name, "dependsOn": [f"component:{item.component.name}" for item in linked
                                                      if set(item.files) & set(files[name])]} for name in names]
        + [{"ref": c["bom-ref"], "dependsOn": []} for c in components],
    }
    return (json.dumps(bom, indent=2, ensure_ascii=False) + "\n").encode()


def toolchain_of(tools):
    """[(role, package info)] for {role: path of the tool}."""
    return [(role, package_info(package_of(os.path.realpath(path)))) for role, path in tools.items()]
