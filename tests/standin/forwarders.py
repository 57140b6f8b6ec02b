#!/usr/bin/python3
"""Writes the .def file of a stand-in DLL that puts itself in front of one of Wine's own: every
export of Wine's DLL that the stand-in does not answer itself is forwarded to Wine's copy, kept in
the test prefix's system32 under another name. Wine's DLL is read with pefile, so the list is
always the installed Wine's own, whatever its version exports.

usage: forwarders.py WINE_DLL LIBRARY_NAME FORWARD_TO OUT.def OWN_EXPORT...
"""

import sys

import pefile


def main():
    wine_dll, library, forward_to, out, own = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
    pe = pefile.PE(wine_dll, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    names = sorted(s.name.decode() for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name)
    missing = [name for name in own if name not in names]
    if missing:
        sys.exit(f"{wine_dll} does not export {', '.join(missing)}: the stand-in would answer for nothing")
    lines = [f"LIBRARY {library}", "EXPORTS"]
    lines += [f"  {name}" for name in own]
    lines += [f"  {name} = {forward_to}.{name}" for name in names if name not in own]
    with open(out, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
