#!/usr/bin/env python3
"""Checks of the built .exe as a file: what Windows reads from its header, manifest and imports.

A row per check: name, what to read from the image, what it must be. ctest runs one row per test.
"""

import argparse
import re
import shlex
import sys
import xml.etree.ElementTree as ET

from pe import Image

RT_MANIFEST = 24
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


CHECKS = [
    ("pe32-plus-for-x86-64", lambda i: (hex(i.machine), hex(i.magic)), ("0x8664", "0x20b")),
    ("console-subsystem", lambda i: i.subsystem, 3),
    ("minimum-windows-6-0", lambda i: (i.os_version, i.subsystem_version), ((6, 0), (6, 0))),
    ("one-manifest-as-resource-1", lambda i: sorted(manifests(i)), [(RT_MANIFEST, 1)]),
    ("manifest-runs-as-invoker", execution_levels, [("asInvoker", "false")]),
    ("imports-only-system-dlls", lambda i: [d for d in i.imported_dlls() if not SYSTEM_DLL.match(d)], []),
    ("imports-kernel-and-c-runtime", lambda i: sorted(d.lower() for d in i.imported_dlls()),
     ["kernel32.dll", "msvcrt.dll"]),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--check")
    parser.add_argument("--exe")
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(name for name, _, _ in CHECKS))
        return
    name, read, expected = next(c for c in CHECKS if c[0] == opts.check)
    actual = read(Image(opts.exe))
    if actual != expected:
        sys.exit(f"FAIL {name}\n  expected: {expected!r}\n  actual:   {actual!r}\n"
                 f"  re-run:   {shlex.join([sys.executable] + sys.argv)}")
    print(f"PASS {name}")


if __name__ == "__main__":
    main()
