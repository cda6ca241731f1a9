#!/usr/bin/env python3
"""Writes a synthetic firmware set: the files the upgrader embeds as
payloads, shaped the way the upgrader and the simulated modem rely on, with
pseudo-random content that depends only on the arguments.

    generate_firmware.py OUTDIR [--small] [--scale F] [--size FILE=BYTES]... [--seed TEXT]

  OUTDIR             folder to write into, created when missing. A file that
                     already holds the right bytes is not rewritten, so its
                     time stays and nothing downstream rebuilds.
  --small            a set of a few hundred KiB at most, same structure; the
                     modem software and file-system images still span several
                     128 KiB checksum-mode blocks.
  --scale F          multiply the size of every image (all but the three
                     40-byte headers and partition.mbn) by F, e.g. 2 for
                     benchmarks on doubled images.
  --size FILE=BYTES  the size of one file, after scaling (repeatable).
  --seed TEXT        content seed (default "upgrader").

Structure:
  amsshd.mbn, oemsblhd.mbn, nandprghd.mbn: ten little-endian 32-bit words:
    kind (2, 1, 5), header version 3, source offset, destination address,
    image size, code size, signature address and size, certificate-chain
    address and size. The image size is the length of amss.mbn, of
    oemsbl.mbn, and of nandprgcombined.mbn less its 40 header bytes.
  amss.mbn: exactly one 128-byte check block starting with 2C 1A BE 6E at an
    offset that is a multiple of 4, and before it the same four bytes at an
    offset that is not, which a word-aligned search must pass over. The
    four bytes occur nowhere else.
  nandprgcombined.mbn and armprg.bin: the 40 bytes of nandprghd.mbn, then
    the programmer code (the same code: at equal sizes the files are equal).
"""

import argparse
import hashlib
import os
import struct
import sys

SHIPPED_SIZES = {
    "partition.mbn": 464,
    "qcsblhd_cfgdata.mbn": 1336,
    "qcsbl.mbn": 45750,
    "oemsbl.mbn": 260047,
    "amss.mbn": 15902054,
    "efs.mbn": 18648064,
    "armprg.bin": 108500,
    "nandprgcombined.mbn": 108500,
}

# Two and a bit checksum-mode blocks with a 2-byte tail word, and exactly
# three blocks: the two ways an image can end.
SMALL_SIZES = dict(SHIPPED_SIZES, **{
    "oemsbl.mbn": 30001,
    "amss.mbn": 2 * 0x20000 + 37862,
    "efs.mbn": 3 * 0x20000,
})

HEADER_LENGTH = 40
HEADER_VERSION = 3
CHECK_MAGIC = bytes.fromhex("2C1ABE6E")
CHECK_BLOCK_LENGTH = 128
FIXED_SIZE_FILES = ("partition.mbn",)

# Smallest sizes that still hold the structure above.
MINIMUM_SIZES = {
    "amss.mbn": 2 * CHECK_BLOCK_LENGTH,
    "armprg.bin": HEADER_LENGTH,
    "nandprgcombined.mbn": HEADER_LENGTH,
}


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


def modem_software(seed, length):
    data = bytearray(stream(seed, "amss.mbn", length))
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


def firmware_set(sizes, seed):
    amss, oemsbl, nandprg = sizes["amss.mbn"], sizes["oemsbl.mbn"], sizes["nandprgcombined.mbn"]
    nandprghd = header(5, nandprg - HEADER_LENGTH, HEADER_LENGTH, 0x00800000 + HEADER_LENGTH, signed=False)
    code_length = max(sizes["armprg.bin"], nandprg) - HEADER_LENGTH
    programmer_code = stream(seed, "programmer", code_length)
    files = {
        "amsshd.mbn": header(2, amss, 0, 0x00200000, signed=True),
        "oemsblhd.mbn": header(1, oemsbl, 0, 0x00080000, signed=True),
        "nandprghd.mbn": nandprghd,
        "amss.mbn": modem_software(seed, amss),
        "armprg.bin": nandprghd + programmer_code[:sizes["armprg.bin"] - HEADER_LENGTH],
        "nandprgcombined.mbn": nandprghd + programmer_code[:nandprg - HEADER_LENGTH],
    }
    for name in ("partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsbl.mbn", "efs.mbn"):
        files[name] = stream(seed, name, sizes[name])
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


def parse_sizes(args):
    sizes = dict(SMALL_SIZES if args.small else SHIPPED_SIZES)
    for name in sizes:
        if name not in FIXED_SIZE_FILES:
            sizes[name] = round(sizes[name] * args.scale)
    for item in args.size:
        name, _, value = item.partition("=")
        if name not in sizes or not value.isdigit():
            sys.exit(f"--size {item}: expected FILE=BYTES with FILE one of {', '.join(sorted(sizes))}")
        sizes[name] = int(value)
    for name, minimum in MINIMUM_SIZES.items():
        if sizes[name] < minimum:
            sys.exit(f"{name} needs at least {minimum} bytes, not {sizes[name]}")
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
    files = firmware_set(parse_sizes(args), args.seed)
    os.makedirs(args.outdir, exist_ok=True)
    for name, data in files.items():
        write_if_changed(os.path.join(args.outdir, name), data)


if __name__ == "__main__":
    main()
