#!/usr/bin/env python3
"""Draws the program's icon (16, 32 and 48 px, 8 bits a pixel and a mask) and writes it as an .ico file.

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
    """One image of the icon: 8 bits a pixel with only the colours it uses, the mask for transparency.

    Every pixel is either opaque or transparent, so a palette and the mask say exactly what 32 bits with
    alpha would, in about a third of the bytes; every patch carries the icon.
    """
    pixels = [pixel(size, x, y) for y in range(size - 1, -1, -1) for x in range(size)]  # bottom-up
    colours = sorted({p[:3] for p in pixels if p[3]})
    assert len(colours) <= 256 and all(p[3] in (0, 255) for p in pixels)
    index = {c: i for i, c in enumerate(colours)}
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
    row_bytes = (size + 3) // 4 * 4
    xor = bytearray()
    for y in range(size):
        row = bytes(index[p[:3]] if p[3] else 0 for p in pixels[y * size:(y + 1) * size])
        xor += row + bytes(row_bytes - size)
    mask_row = ((size + 31) // 32) * 4
    andmask = bytearray()
    for y in range(size):
        bits = bytearray(mask_row)
        for x in range(size):
            if not pixels[y * size + x][3]:
                bits[x // 8] |= 0x80 >> (x % 8)
        andmask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 8, 0, len(xor) + len(andmask), 0, 0,
                         len(colours), 0)
    return header + palette + bytes(xor) + bytes(andmask)


def main(path):
    sizes = [16, 32, 48]
    images = [dib(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 8, len(img), offset)
        offset += len(img)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1])
