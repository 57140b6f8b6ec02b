#!/usr/bin/env python3
"""Checks of a built .exe (each program that ships) as a file: what Windows reads from its header, manifest, imports and
version resource, the hardening it asks of the loader, and that nothing of the machine that built
it is inside. The image is read with pefile (Debian's python3-pefile).

A row per check: name, what to read from the image, what it must be. ctest runs one row per test,
for each build of the command: for x64 (--machine x64) and for ARM64 (--machine arm64).
"""

import argparse
import os
import re
import xml.etree.ElementTree as ET

import pefile

from verdict import verdict

RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
SETTINGS_2019 = "{http://schemas.microsoft.com/SMI/2019/WindowsSettings}"
# What a clean 64-bit Windows has: the kernel and the C runtime (msvcrt or the universal CRT).
SYSTEM_DLL = re.compile(r"^(kernel32|msvcrt|api-ms-win-crt-[a-z]+-l1-1-0|ucrtbase)\.dll$", re.I)


def resources(pe, kind):
    """{(id, language): bytes} of one resource type."""
    found = {}
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in directory.entries if directory else []:
        if entry.id != kind:
            continue
        for name in entry.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found[(name.id, language.id)] = pe.get_data(data.OffsetToData, data.Size)
    return found


def manifest_path(pe, path):
    """The nodes at `path` below the manifest's root: elements count only where Windows reads them."""
    return [node for text in resources(pe, RT_MANIFEST).values() for node in ET.fromstring(text).findall(path)]


def manifest_nodes(pe, tag):
    """The `tag` elements anywhere below the manifest's root."""
    return manifest_path(pe, ".//" + tag)


def imported_dlls(pe):
    return [entry.dll.decode() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def version_numbers(pe):
    fixed = pe.VS_FIXEDFILEINFO[0]

    def quad(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return quad(fixed.FileVersionMS, fixed.FileVersionLS), quad(fixed.ProductVersionMS, fixed.ProductVersionLS)


def build_paths(pe, opts):
    """The source and build folders, wherever they stand in the image, as text of either width."""
    data = pe.__data__
    return [p for p in (opts.source_dir, opts.build_dir)
            for form in (p.encode(), p.encode("utf-16-le")) if data.find(form) >= 0]


def relocations(pe):
    """ASLR needs both the flag and the relocations to move the image with."""
    base_relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    return (pe.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE,
            pe.FILE_HEADER.IMAGE_FILE_RELOCS_STRIPPED, base_relocations.Size > 0)


def writable_and_executable(pe):
    return [s.Name.rstrip(b"\0").decode() for s in pe.sections if s.IMAGE_SCN_MEM_WRITE and s.IMAGE_SCN_MEM_EXECUTE]


# What the header and the manifest name for each build: Windows refuses an .exe whose manifest
# names another processor architecture (arm64 Wine does not: only this check sees it).
MACHINES = {"x64": ("0x8664", "amd64"), "arm64": ("0xaa64", "arm64")}
# An .exe that an installer, a script or a management tool copies to every machine stays small.
MAX_SIZE = 512 * 1024


def debug_entries(pe):
    """The debug directory's entries: a CodeView entry names the .pdb, with the build's path, and
    a GUID that differs per build."""
    return [pefile.DEBUG_TYPE.get(d.struct.Type, d.struct.Type) for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])]


def version_quad(version):
    return tuple(map(int, (version + ".0.0.0").split(".")[:4]))


# name, what to read from the image (and the options), what it must be (given the options)
CHECKS = [
    ("pe32-plus-for-its-machine", lambda p, o: (hex(p.FILE_HEADER.Machine), hex(p.OPTIONAL_HEADER.Magic)),
     lambda o: (MACHINES[o.machine][0], "0x20b")),
    ("at-most-512-kib", lambda p, o: len(p.__data__) <= MAX_SIZE, lambda o: True),
    ("console-subsystem", lambda p, o: p.OPTIONAL_HEADER.Subsystem, lambda o: 3),
    ("minimum-windows-6-0", lambda p, o: (
        (p.OPTIONAL_HEADER.MajorOperatingSystemVersion, p.OPTIONAL_HEADER.MinorOperatingSystemVersion),
        (p.OPTIONAL_HEADER.MajorSubsystemVersion, p.OPTIONAL_HEADER.MinorSubsystemVersion)),
     lambda o: ((6, 0), (6, 0))),
    ("one-manifest-as-resource-1", lambda p, o: sorted(k[0] for k in resources(p, RT_MANIFEST)), lambda o: [1]),
    ("manifest-runs-as-invoker", lambda p, o: [(n.get("level"), n.get("uiAccess"))
                                              for n in manifest_nodes(p, ASM_V3 + "requestedExecutionLevel")],
     lambda o: [("asInvoker", "false")]),
    ("manifest-architecture-of-its-machine",
     lambda p, o: [n.get("processorArchitecture") for n in manifest_path(p, ASM_V1 + "assemblyIdentity")],
     lambda o: [MACHINES[o.machine][1]]),
    ("manifest-version-from-project",
     lambda p, o: [n.get("version") for n in manifest_nodes(p, ASM_V1 + "assemblyIdentity")],
     lambda o: [".".join(map(str, version_quad(o.version)))]),
    # Windows 10 version 1903 and later then run the command with UTF-8 as its ANSI code page.
    ("manifest-utf8-code-page", lambda p, o: [n.text for n in manifest_path(
        p, f"{ASM_V3}application/{ASM_V3}windowsSettings/{SETTINGS_2019}activeCodePage")],
     lambda o: ["UTF-8"]),
    ("imports-only-system-dlls", lambda p, o: [d for d in imported_dlls(p) if not SYSTEM_DLL.match(d)],
     lambda o: []),
    # Nothing more at start-up: the toolchain's own stack protection would add ADVAPI32.dll here,
    # and the crypto DLLs it loads in turn.
    ("imports-kernel-and-c-runtime", lambda p, o: sorted(d.lower() for d in imported_dlls(p)),
     lambda o: ["kernel32.dll", "msvcrt.dll"]),
    ("version-strings-from-project",
     lambda p, o: {k: version_strings(p).get(k) for k in ("FileVersion", "ProductVersion", "OriginalFilename",
                                                          "ProductName")},
     lambda o: {"FileVersion": o.version, "ProductVersion": o.version,
                "OriginalFilename": os.path.basename(o.exe), "ProductName": "usb-serial-driver-update"}),
    ("version-numbers-from-project", lambda p, o: version_numbers(p), lambda o: (version_quad(o.version),) * 2),
    ("version-description-and-mit-copyright",
     lambda p, o: (bool(version_strings(p).get("FileDescription")), "MIT" in version_strings(p).get("LegalCopyright", "")),
     lambda o: (True, True)),
    ("no-link-timestamp", lambda p, o: p.FILE_HEADER.TimeDateStamp, lambda o: 0),
    ("no-build-paths", build_paths, lambda o: []),
    ("no-debug-directory", lambda p, o: debug_entries(p), lambda o: []),
    # The hardening the loader is asked for.
    ("aslr-with-relocations", lambda p, o: relocations(p), lambda o: (True, False, True)),
    ("aslr-high-entropy", lambda p, o: p.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA, lambda o: True),
    ("dep-nx-compatible", lambda p, o: p.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_NX_COMPAT, lambda o: True),
    ("no-section-writable-and-executable", lambda p, o: writable_and_executable(p), lambda o: []),
    ("pe-checksum-correct", lambda p, o: (p.OPTIONAL_HEADER.CheckSum != 0, p.OPTIONAL_HEADER.CheckSum),
     lambda o: (True, o.pe.generate_checksum())),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--case")
    for option in ("--exe", "--version", "--source-dir", "--build-dir"):
        parser.add_argument(option)
    parser.add_argument("--machine", choices=MACHINES, default="x64")
    opts = parser.parse_args()
    if opts.list:
        print("\n".join(name for name, _, _ in CHECKS))
        return
    name, read, expected = next(c for c in CHECKS if c[0] == opts.case)
    opts.pe = pefile.PE(opts.exe)
    verdict(name, expected(opts), read(opts.pe, opts))


if __name__ == "__main__":
    main()
