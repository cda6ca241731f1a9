#!/usr/bin/env python3
"""Writes a synthetic firmware set: the files the upgrader embeds as
payloads, shaped the way the upgrader and the simulated modem rely on, with
pseudo-random content that depends only on the arguments. The files, their
names and sizes are the firmware rows of manifest.txt beside this script;
below they go by their keys there.

    generate_firmware.py OUTDIR [--small] [--scale F] [--size FILE=BYTES]... [--seed TEXT]

  OUTDIR             folder to write into, created when missing. A file that
                     already holds the right bytes is not rewritten, so its
                     time stays and nothing downstream rebuilds.
  --small            the manifest's small sizes: a set of a few hundred KiB
                     at most, same structure; the modem software (amss) and
                     file-system (efs) images still span several 128 KiB
                     checksum-mode blocks.
  --scale F          multiply the size of every image (all but the three
                     40-byte headers and the partition table) by F, e.g. 2
                     for benchmarks on doubled images.
  --size FILE=BYTES  the size of one file, after scaling (repeatable).
  --seed TEXT        content seed (default "upgrader").

Structure:
  amss_header, oemsbl_header, nand_programmer_header: ten little-endian
    32-bit words: kind (2, 1, 5), header version 3, source offset,
    destination address, image size, code size, signature address and size,
    certificate-chain address and size. The image size is the length of
    amss, of oemsbl, and of nand_programmer less its 40 header bytes.
  amss: exactly one 128-byte check block starting with 2C 1A BE 6E at an
    offset that is a multiple of 4, and before it the same four bytes at an
    offset that is not, which a word-aligned search must pass over. The
    four bytes occur nowhere else.
  nand_programmer and ram_programmer: the 40 bytes of
    nand_programmer_header, then the programmer code (the same code: at
    equal sizes the files are equal).
"""

import argparse
import hashlib
import os
import struct
import sys

MANIFEST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "manifest.txt")

HEADER_LENGTH = 40
HEADER_VERSION = 3
CHECK_MAGIC = bytes.fromhex("2C1ABE6E")
CHECK_BLOCK_LENGTH = 128
HEADERS = ("amss_header", "oemsbl_header", "nand_programmer_header")
FIXED_SIZE = ("partition_table",)

# Smallest sizes that still hold the structure above.
MINIMUM_SIZES = {
    "amss": 2 * CHECK_BLOCK_LENGTH,
    "ram_programmer": HEADER_LENGTH,
    "nand_programmer": HEADER_LENGTH,
}


def read_manifest():
    """The firmware rows of the manifest: key -> (file name, full size, small size)."""
    firmware = {}
    with open(MANIFEST, encoding="utf-8") as table:
        for line in table:
            if not line.strip() or line.startswith("#"):
                continue
            name, _, key, source, _, _, _, full, small = line.split()
            if source == "firmware":
                firmware[key] = (name, int(full), int(small))
    for key in HEADERS:
        if firmware[key][1:] != (HEADER_LENGTH, HEADER_LENGTH):
            sys.exit(f"{MANIFEST}: {firmware[key][0]} is a {HEADER_LENGTH}-byte header")
    return firmware


def stream(seed, label, length):
    """Deterministic bytes: SHAKE-256 is fixed by its standard, unlike the
    generators of the random module, so every Python gives the same set."""
    return hashlib.shake_256(f"{seed}/{label}".encode()).digest(length)


def header(kind, image_size, source_offset, destination, signed):
    signature_size, chain_size = (256, 6144) if signed and image_size >= 256 + 6144 else (0, 0)
    code_size = image_size - signature_size - chain_size
    signature_address = destination + code_size if signature_size else 0
    chain_address = signature_address + signature_size if chain_size else 0
    return struct.pack("<10I", kind, HEADER_VERSION, source_offset, destination, image_size, code_size,
                       signature_address, signature_size, chain_address, chain_size)


def modem_software(seed, label, length):
    data = bytearray(stream(seed, label, length))
    block = min(length * 3 // 5, length - CHECK_BLOCK_LENGTH) & ~3
    decoy = (length // 5 & ~3) + 2
    assert decoy + len(CHECK_MAGIC) <= block
    data[decoy:decoy + len(CHECK_MAGIC)] = CHECK_MAGIC
    data[block:block + CHECK_BLOCK_LENGTH] = CHECK_MAGIC + stream(seed, "check block", CHECK_BLOCK_LENGTH - 4)
    # The magic cannot overlap itself, so changing the first byte of a stray
    # occurrence creates no new one.
    position = data.find(CHECK_MAGIC)
    while position >= 0:
        if position not in (decoy, block):
            data[position] ^= 0x01
        position = data.find(CHECK_MAGIC, position + 1)
    return bytes(data)


def firmware_set(sizes, names, seed):
    """The bytes of every file by key; `names` labels each file's content."""
    amss, oemsbl, nandprg = sizes["amss"], sizes["oemsbl"], sizes["nand_programmer"]
    nandprghd = header(5, nandprg - HEADER_LENGTH, HEADER_LENGTH, 0x00800000 + HEADER_LENGTH, signed=False)
    code_length = max(sizes["ram_programmer"], nandprg) - HEADER_LENGTH
    programmer_code = stream(seed, "programmer", code_length)
    files = {
        "amss_header": header(2, amss, 0, 0x00200000, signed=True),
        "oemsbl_header": header(1, oemsbl, 0, 0x00080000, signed=True),
        "nand_programmer_header": nandprghd,
        "amss": modem_software(seed, names["amss"], amss),
        "ram_programmer": nandprghd + programmer_code[:sizes["ram_programmer"] - HEADER_LENGTH],
        "nand_programmer": nandprghd + programmer_code[:nandprg - HEADER_LENGTH],
    }
    for key in ("partition_table", "qcsbl_cfg_data", "qcsbl", "oemsbl", "efs"):
        files[key] = stream(seed, names[key], sizes[key])
    return files


def write_if_changed(path, data):
    try:
        if os.path.getsize(path) == len(data):
            with open(path, "rb") as existing:
                if existing.read() == data:
                    return
    except OSError:
        pass
    temporary = path + ".tmp"
    with open(temporary, "wb") as out:
        out.write(data)
    os.replace(temporary, path)


def parse_sizes(args, firmware):
    sizes = {key: small if args.small else full for key, (_, full, small) in firmware.items() if key not in HEADERS}
    for key in sizes:
        if key not in FIXED_SIZE:
            sizes[key] = round(sizes[key] * args.scale)
    keys = {firmware[key][0]: key for key in sizes}
    for item in args.size:
        name, _, value = item.partition("=")
        if name not in keys or not value.isdigit():
            sys.exit(f"--size {item}: expected FILE=BYTES with FILE one of {', '.join(sorted(keys))}")
        sizes[keys[name]] = int(value)
    for key, minimum in MINIMUM_SIZES.items():
        if sizes[key] < minimum:
            sys.exit(f"{firmware[key][0]} needs at least {minimum} bytes, not {sizes[key]}")
    return sizes


def main():
    parser = argparse.ArgumentParser(description="Write a synthetic firmware set.")
    parser.add_argument("outdir")
    parser.add_argument("--small", action="store_true")
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--size", action="append", default=[], metavar="FILE=BYTES")
    parser.add_argument("--seed", default="upgrader")
    args = parser.parse_args()
    if args.scale <= 0:
        parser.error("--scale must be positive")
    firmware = read_manifest()
    names = {key: name for key, (name, _, _) in firmware.items()}
    files = firmware_set(parse_sizes(args, firmware), names, args.seed)
    os.makedirs(args.outdir, exist_ok=True)
    for key, data in files.items():
        write_if_changed(os.path.join(args.outdir, names[key]), data)


if __name__ == "__main__":
    main()
