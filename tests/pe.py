"""Reads what the image checks need from a PE file: header fields, imported DLLs and resources."""

import struct


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError(f"{path}: no MZ header")
        nt = struct.unpack_from("<I", d, 0x3C)[0]
        if d[nt:nt + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        self.machine, sections, self.timestamp = struct.unpack_from("<HHI", d, nt + 4)
        optional_size = struct.unpack_from("<H", d, nt + 20)[0]
        opt = nt + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        (self.os_version, self.image_version, self.subsystem_version) = (
            struct.unpack_from("<HH", d, opt + 40), struct.unpack_from("<HH", d, opt + 44),
            struct.unpack_from("<HH", d, opt + 48))
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        directories = opt + 112  # PE32+ only; callers check magic first
        count = struct.unpack_from("<I", d, directories - 4)[0]
        self.directories = [struct.unpack_from("<II", d, directories + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rawsize, raw = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rawsize), raw))

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        rva, _ = self.directories[1]
        names, at = [], self.offset(rva)
        while True:
            name_rva = struct.unpack_from("<IIIII", self.data, at)[3]
            if name_rva == 0:
                return names
            names.append(self.cstring(name_rva))
            at += 20

    def resources(self):
        """{(type, name, language): bytes}; names and types are ids or strings."""
        base_rva, _ = self.directories[2]
        if base_rva == 0:
            return {}
        base = self.offset(base_rva)
        found = {}

        def key(entry_name):
            if entry_name & 0x80000000:
                at = base + (entry_name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return entry_name

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), path + (key(name),))
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found[path + (key(name),)] = self.data[start:start + size]

        walk(base, ())
        return found

    def version_info(self):
        """(fixed file version, product version as 4-tuples, {StringFileInfo name: value})."""
        found = [v for k, v in self.resources().items() if k[0] == 16]  # RT_VERSION
        if len(found) != 1:
            return None
        root = _version_block(found[0], 0)[0]
        fixed = struct.unpack_from("<13I", root[1])
        if fixed[0] != 0xFEEF04BD:
            return None

        def quad(ms, ls):
            return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

        strings = {}
        for key, _, _, children in root[3]:
            if key == "StringFileInfo":
                for table in children:
                    for name, value, _, _ in table[3]:
                        strings[name] = value.decode("utf-16-le").rstrip("\0")
        return quad(fixed[2], fixed[3]), quad(fixed[4], fixed[5]), strings


def _version_block(data, at):
    """One node of a version resource: (key, value bytes, type, children), and where it ends."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + 6
    while data[end:end + 2] != b"\0\0":
        end += 2
    key = data[at + 6:end].decode("utf-16-le")
    pos = (end + 2 + 3) & ~3
    size = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + size]
    pos = (pos + size + 3) & ~3
    children = []
    while pos < at + length:
        child, child_end = _version_block(data, pos)
        children.append(child)
        pos = (child_end + 3) & ~3
    return (key, value, kind, children), at + length
