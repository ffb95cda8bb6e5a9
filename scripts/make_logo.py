#!/usr/bin/env python3
"""Draws the patcher window's logo and writes it run-length coded (src/patcher/logo.rle).

The picture: a teal disc carrying a white circular arrow around three stacked slabs, "the suite, renewed".
It is drawn large and scaled down by the window to the size its layout gives the logo at the screen's DPI.
Run it again after changing the drawing; the .rle is committed so that the build needs no Python.

The file: width and height (16 bits each, little-endian), then packets until every pixel is given, rows
top first. A packet's first byte c below 128 is followed by c + 1 pixels as they are; from 128 on, by one
pixel that stands for c - 126 equal pixels. A pixel is 4 bytes: blue, green, red, alpha (straight, not
premultiplied). Every patch carries the program, so the logo is stored in about a fifth of a BMP's bytes.
"""
import math
import struct
import sys

SIZE = 96
SAMPLES = 6  # per axis, for smooth edges


def polar(radius, degrees):
    return (radius * math.cos(math.radians(degrees)), radius * math.sin(math.radians(degrees)))


def in_triangle(p, a, b, c):
    def side(p1, p2, p3):
        return (p1[0] - p3[0]) * (p2[1] - p3[1]) - (p2[0] - p3[0]) * (p1[1] - p3[1])
    d1, d2, d3 = side(p, a, b), side(p, b, c), side(p, c, a)
    return not ((d1 < 0 or d2 < 0 or d3 < 0) and (d1 > 0 or d2 > 0 or d3 > 0))


def shade(x, y):
    """Colour (r, g, b, a) at a point of the unit square, y downwards."""
    cx, cy = x - 0.5, y - 0.5
    r = math.hypot(cx, cy)
    if r > 0.48:
        return None
    # disc: teal with a soft vertical gradient and a darker rim
    t = y
    base = (int(24 + 26 * t), int(156 - 52 * t), int(172 - 36 * t))
    if r > 0.455:
        base = tuple(int(c * 0.78) for c in base)
    white = (255, 255, 255)
    # circular arrow: a ring from 40 to 320 degrees, with a head at its end
    angle = (math.degrees(math.atan2(cy, cx)) + 360) % 360
    if 0.33 <= r <= 0.40 and 40 <= angle <= 318:
        return white
    # arrowhead at the ring's end, pointing the way the ring turns (clockwise on screen)
    if in_triangle((cx, cy), polar(0.28, 316), polar(0.45, 316), polar(0.365, 350)):
        return white
    # three stacked slabs in the middle
    for i, (w, yy) in enumerate(((0.30, -0.10), (0.30, 0.0), (0.30, 0.10))):
        if abs(cx) <= w / 2 and abs(cy - yy) <= 0.035:
            return (255, 255, 255) if i != 1 else (236, 250, 248)
    return base


def pixel(px, py):
    acc = [0.0, 0.0, 0.0, 0.0]
    n = SAMPLES * SAMPLES
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            c = shade((px + (sx + 0.5) / SAMPLES) / SIZE, (py + (sy + 0.5) / SAMPLES) / SIZE)
            if c is None:
                continue
            for k in range(3):
                acc[k] += c[k]
            acc[3] += 255
    a = acc[3] / n
    if a == 0:
        return (0, 0, 0, 0)
    covered = acc[3] / 255
    return tuple(int(round(acc[k] / covered)) for k in range(3)) + (int(round(a)),)


def encode(pixels):
    """Packets for a list of 4-byte pixels."""
    out = bytearray()
    literal = []

    def flush():
        while literal:
            chunk = literal[:128]
            del literal[:128]
            out.append(len(chunk) - 1)
            out.extend(b"".join(chunk))

    i = 0
    while i < len(pixels):
        n = 1
        while i + n < len(pixels) and n < 129 and pixels[i + n] == pixels[i]:
            n += 1
        if n >= 2:
            flush()
            out.append(126 + n)
            out.extend(pixels[i])
        else:
            literal.append(pixels[i])
        i += n
    flush()
    return bytes(out)


def main(path):
    pixels = []
    for y in range(SIZE):
        for x in range(SIZE):
            r, g, b, a = pixel(x, y)
            pixels.append(bytes((b, g, r, a)))
    with open(path, "wb") as f:
        f.write(struct.pack("<HH", SIZE, SIZE) + encode(pixels))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "src/patcher/logo.rle")
