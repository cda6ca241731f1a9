#!/usr/bin/env python3
"""Writes the form's placeholder logo: a 103 by 59 pixel 24-bit BMP made of
plain shapes (a framed panel, a disc and three bars), no artwork of anyone's.

usage: make_logo.py OUTPUT.bmp
"""
import struct
import sys

WIDTH, HEIGHT = 103, 59


def colour(x, y):
    """RGB of the pixel at (x, y), y counted from the top."""
    if x < 2 or y < 2 or x >= WIDTH - 2 or y >= HEIGHT - 2:
        return (40, 70, 120)
    if (x - 26) ** 2 + (y - 29) ** 2 <= 17 ** 2:
        return (60, 140, 200) if (x - 26) ** 2 + (y - 29) ** 2 > 11 ** 2 else (230, 240, 250)
    for top, length in ((16, 44), (27, 36), (38, 28)):
        if top <= y < top + 6 and 50 <= x < 50 + length:
            return (60, 140, 200)
    return (245, 245, 245)


def bitmap():
    row_size = (WIDTH * 3 + 3) // 4 * 4
    rows = []
    for y in reversed(range(HEIGHT)):  # bottom-up, as BMP stores rows
        row = bytearray()
        for x in range(WIDTH):
            red, green, blue = colour(x, y)
            row += bytes((blue, green, red))
        row += bytes(row_size - len(row))
        rows.append(bytes(row))
    pixels = b"".join(rows)
    info = struct.pack("<IiiHHIIiiII", 40, WIDTH, HEIGHT, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return header + info + pixels


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as out:
        out.write(bitmap())


if __name__ == "__main__":
    main()
