#!/usr/bin/env python3
"""Checks a built Hopcycle.dll without running it.

Usage: check_dll.py DLL FORMAT, where FORMAT is PE32 (the i686 build) or
PE32+ (the x86_64 build). The DLL must be of that format, export exactly
"Hopcycle" (undecorated) and import no MinGW runtime DLL, since it is loaded
from a folder that holds nothing beside it. Exit status 0 when it passes.
"""
import struct
import sys

FORMATS = {"PE32": (0x14C, 0x10B), "PE32+": (0x8664, 0x20B)}
IMAGE_FILE_DLL = 0x2000
RUNTIME_PREFIXES = ("libstdc++", "libgcc", "libwinpthread")


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no DOS header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(2)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", data, table + 40 * i + 8) for i in range(sections)]

    def offset(self, rva):
        for virtual_size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw + rva - address
        raise ValueError("address 0x%x lies in no section" % rva)

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def exports(self):
        rva, size = self.directories[0]
        if not size:
            return 0, []
        functions, names, _, name_table = struct.unpack_from("<IIII", self.data, self.offset(rva) + 20)
        table = self.offset(name_table)
        return functions, [self.text(struct.unpack_from("<I", self.data, table + 4 * i)[0]) for i in range(names)]

    def imports(self):
        rva, size = self.directories[1]
        found = []
        entry = self.offset(rva) if size else None
        while entry is not None:
            name = struct.unpack_from("<I", self.data, entry + 12)[0]
            if not name:
                break
            found.append(self.text(name))
            entry += 20
        return found


def main(argv):
    if len(argv) != 3 or argv[2] not in FORMATS:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path, wanted = argv[1], argv[2]
    with open(path, "rb") as file:
        image = Image(file.read())
    functions, names = image.exports()
    imports = image.imports()
    print("%s: machine 0x%x, magic 0x%x, exports %s (%d functions), imports %s"
          % (path, image.machine, image.magic, names, functions, imports))
    faults = []
    if (image.machine, image.magic) != FORMATS[wanted]:
        faults.append("not %s" % wanted)
    if not image.characteristics & IMAGE_FILE_DLL:
        faults.append("not a DLL")
    if names != ["Hopcycle"] or functions != 1:
        faults.append("does not export exactly Hopcycle")
    runtime = [name for name in imports if name.lower().startswith(RUNTIME_PREFIXES)]
    if runtime:
        faults.append("needs the MinGW runtime: %s" % ", ".join(runtime))
    for fault in faults:
        print("%s: %s" % (path, fault), file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
