#!/usr/bin/env python3
"""Draws the program's icon (16, 32 and 48 px, 32-bit with alpha) and writes it as an .ico file.

The picture: a teal rounded square with a white downward arrow onto a bar, "an update landing".
Run it again after changing the drawing; the .ico is committed so that the build needs no Python.
"""
import struct
import sys


def pixel(size, x, y):
    s = size
    cx, cy = x + 0.5, y + 0.5
    r = s * 0.18
    inset = s * 0.04
    # rounded square
    lo, hi = inset, s - inset
    dx = max(lo + r - cx, 0, cx - (hi - r))
    dy = max(lo + r - cy, 0, cy - (hi - r))
    if dx * dx + dy * dy > r * r:
        return (0, 0, 0, 0)
    if cx < lo or cx > hi or cy < lo or cy > hi:
        return (0, 0, 0, 0)
    # vertical gradient teal
    t = (cy - lo) / (hi - lo)
    base = (int(20 + 20 * t), int(150 - 50 * t), int(170 - 40 * t), 255)
    # white arrow: shaft, head, and a bar below
    shaft = abs(cx - s / 2) <= s * 0.09 and s * 0.18 <= cy <= s * 0.52
    head = s * 0.45 <= cy <= s * 0.70 and abs(cx - s / 2) <= (s * 0.70 - cy) * 1.0
    bar = s * 0.76 <= cy <= s * 0.86 and s * 0.22 <= cx <= s * 0.78
    if shaft or head or bar:
        return (255, 255, 255, 255)
    return base


def dib(size):
    rows = []
    for y in range(size - 1, -1, -1):  # bottom-up
        row = bytearray()
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    xor = b"".join(rows)
    mask_row = ((size + 31) // 32) * 4
    andmask = bytes(mask_row * size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    return header + xor + andmask


def main(path):
    sizes = [16, 32, 48]
    images = [dib(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1])
