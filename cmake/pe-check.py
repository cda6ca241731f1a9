#!/usr/bin/env python3
"""Checks a Windows program or DLL without running it.

pe-check.py FILE --machine i386|amd64 [--subsystem gui|console]
            [--exports NAME...] [--manifest-contains TEXT]

--machine    PE32 for i386, PE32+ for amd64, and the COFF machine to match
--subsystem  the subsystem in the optional header
--exports    the exact set of exported names, none exported by ordinal alone
             (a stdcall name decorated as NAME@N is a different name)
--manifest-contains
             the embedded manifest (resource type 24) holds TEXT

Prints what it found; exits 1 if any check fails, 2 if FILE is no PE file.
It reads the headers itself, so that it needs no objdump of the matching
cross tool chain and never starts Wine.
"""
import argparse
import struct
import sys

MACHINES = {"i386": (0x14C, 0x10B, "PE32"), "amd64": (0x8664, 0x20B, "PE32+")}
SUBSYSTEMS = {"gui": 2, "console": 3}
RT_MANIFEST = 24


class NotPe(Exception):
    pass


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise NotPe("no MZ header")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise NotPe("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = self.u16(optional)
        self.subsystem = self.u16(optional + 68)
        directories = optional + (96 if self.magic == 0x10B else 112)
        count = self.u32(directories - 4)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(count)]
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            virtual_size, address, raw_size, raw_offset = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset))

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        for address, size, raw_offset in self.sections:
            if address <= rva < address + size:
                return raw_offset + rva - address
        raise NotPe(f"address {rva:#x} is in no section")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", "replace")

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def exports(self):
        """Exported names, and how many exports have no name."""
        rva, size = self.directory(0)
        if not size:
            return [], 0
        base = self.offset(rva)
        functions, names, _, name_table = struct.unpack_from("<IIII", self.data, base + 20)
        exported = [self.string(self.u32(self.offset(name_table) + 4 * i)) for i in range(names)]
        return exported, functions - names

    def manifests(self):
        """The data of every manifest resource, any name, any language."""
        rva, size = self.directory(2)
        if not size:
            return []
        root = self.offset(rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, directory + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, directory + 16 + 8 * i)

        def leaves(target):
            if target & 0x80000000:
                for _, child in entries(root + (target & 0x7FFFFFFF)):
                    yield from leaves(child)
            else:
                data_rva, data_size = struct.unpack_from("<II", self.data, root + target)
                start = self.offset(data_rva)
                yield self.data[start:start + data_size]

        found = []
        for ident, target in entries(root):
            if ident == RT_MANIFEST:
                found.extend(leaves(target))
        return found


def check(image, args):
    failures = []
    machine, magic, kind = MACHINES[args.machine]
    found_kind = {0x10B: "PE32", 0x20B: "PE32+"}.get(image.magic, f"optional header {image.magic:#x}")
    print(f"format: {found_kind}, machine {image.machine:#x}")
    if (image.machine, image.magic) != (machine, magic):
        failures.append(f"expected {kind} for {args.machine} (machine {machine:#x})")
    if args.subsystem:
        names = {value: name for name, value in SUBSYSTEMS.items()}
        print(f"subsystem: {names.get(image.subsystem, image.subsystem)}")
        if image.subsystem != SUBSYSTEMS[args.subsystem]:
            failures.append(f"expected subsystem {args.subsystem}")
    if args.exports is not None:
        exported, nameless = image.exports()
        print(f"exports: {' '.join(sorted(exported)) or '(none)'}" + (f", {nameless} by ordinal only" if nameless else ""))
        if sorted(exported) != sorted(args.exports) or nameless:
            failures.append(f"expected exactly the exports {' '.join(sorted(args.exports)) or '(none)'}")
    if args.manifest_contains is not None:
        manifests = image.manifests()
        print(f"manifests: {len(manifests)}")
        text = args.manifest_contains.encode()
        if not any(text in manifest for manifest in manifests):
            failures.append(f"no embedded manifest contains {args.manifest_contains!r}")
    for failure in failures:
        print(f"pe-check: {args.file}: {failure}", file=sys.stderr)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description="Checks a Windows program or DLL without running it.")
    parser.add_argument("file")
    parser.add_argument("--machine", required=True, choices=sorted(MACHINES))
    parser.add_argument("--subsystem", choices=sorted(SUBSYSTEMS))
    parser.add_argument("--exports", nargs="*", metavar="NAME")
    parser.add_argument("--manifest-contains", metavar="TEXT")
    args = parser.parse_args()
    try:
        with open(args.file, "rb") as stream:
            image = Image(stream.read())
        return check(image, args)
    except (NotPe, struct.error, ValueError) as error:
        print(f"pe-check: {args.file}: not a PE file I can read: {error}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
