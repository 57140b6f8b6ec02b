#!/usr/bin/env python3
"""Checks of the built .exe as a file: what Windows reads from its header, manifest, imports and
version resource, and that nothing of the machine that built it is inside.

A row per check: name, what to read from the image, what it must be. ctest runs one row per test.
"""

import argparse
import re
import shlex
import sys
import xml.etree.ElementTree as ET

from pe import Image

RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
# What a clean 64-bit Windows has: the kernel and the C runtime (msvcrt or the universal CRT).
SYSTEM_DLL = re.compile(r"^(kernel32|msvcrt|api-ms-win-crt-[a-z]+-l1-1-0|ucrtbase)\.dll$", re.I)


def manifests(image):
    return {k[:2]: v for k, v in image.resources().items() if k[0] == RT_MANIFEST}


def execution_levels(image):
    levels = []
    for text in manifests(image).values():
        for node in ET.fromstring(text).iter(ASM_V3 + "requestedExecutionLevel"):
            levels.append((node.get("level"), node.get("uiAccess")))
    return levels


def manifest_versions(image, opts):
    return [node.get("version") for text in manifests(image).values()
            for node in ET.fromstring(text).iter(ASM_V1 + "assemblyIdentity")]


def build_paths(image, opts):
    """The source and build folders, wherever they stand in the image, as text of either width."""
    return [p for p in (opts.source_dir, opts.build_dir)
            for form in (p.encode(), p.encode("utf-16-le")) if form in image.data]


def version_strings(image, opts):
    info = image.version_info()
    if info is None:
        return None
    strings = info[2]
    return {k: strings.get(k) for k in ("FileVersion", "ProductVersion", "OriginalFilename", "ProductName")}


def version_numbers(image, opts):
    info = image.version_info()
    return info and info[:2]


def description_and_copyright(image, opts):
    strings = (image.version_info() or ((), (), {}))[2]
    return bool(strings.get("FileDescription")), "MIT" in strings.get("LegalCopyright", "")


# name, what to read from the image (and the options), what it must be (given the options)
CHECKS = [
    ("pe32-plus-for-x86-64", lambda i, o: (hex(i.machine), hex(i.magic)), lambda o: ("0x8664", "0x20b")),
    ("console-subsystem", lambda i, o: i.subsystem, lambda o: 3),
    ("minimum-windows-6-0", lambda i, o: (i.os_version, i.subsystem_version), lambda o: ((6, 0), (6, 0))),
    ("one-manifest-as-resource-1", lambda i, o: sorted(manifests(i)), lambda o: [(RT_MANIFEST, 1)]),
    ("manifest-runs-as-invoker", lambda i, o: execution_levels(i), lambda o: [("asInvoker", "false")]),
    ("manifest-version-from-project", manifest_versions,
     lambda o: [".".join((o.version + ".0.0.0").split(".")[:4])]),
    ("imports-only-system-dlls", lambda i, o: [d for d in i.imported_dlls() if not SYSTEM_DLL.match(d)],
     lambda o: []),
    ("imports-kernel-and-c-runtime", lambda i, o: sorted(d.lower() for d in i.imported_dlls()),
     lambda o: ["kernel32.dll", "msvcrt.dll"]),
    ("version-strings-from-project", version_strings,
     lambda o: {"FileVersion": o.version, "ProductVersion": o.version,
                "OriginalFilename": "usb-serial-driver-update.exe", "ProductName": "usb-serial-driver-update"}),
    ("version-numbers-from-project", version_numbers,
     lambda o: (tuple(map(int, (o.version + ".0.0.0").split(".")[:4])),) * 2),
    ("version-description-and-mit-copyright", description_and_copyright, lambda o: (True, True)),
    ("no-link-timestamp", lambda i, o: i.timestamp, lambda o: 0),
    ("no-build-paths", build_paths, lambda o: []),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--case")
    for option in ("--exe", "--version", "--source-dir", "--build-dir"):
        parser.add_argument(option)
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(name for name, _, _ in CHECKS))
        return
    name, read, expected = next(c for c in CHECKS if c[0] == opts.case)
    actual, expected = read(Image(opts.exe), opts), expected(opts)
    if actual != expected:
        sys.exit(f"FAIL {name}\n  expected: {expected!r}\n  actual:   {actual!r}\n"
                 f"  re-run:   {shlex.join([sys.executable] + sys.argv)}")
    print(f"PASS {name}")


if __name__ == "__main__":
    main()
