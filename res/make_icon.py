#!/usr/bin/env python3
"""Draws the application icon: a crescent moon over a battery bar on blue,
at 16, 32 and 48 pixels, written as a 32-bit .ico with AND masks."""
import math
import struct
import sys


def pixel(x, y, n):
    # Coordinates in a unit square, y downwards.
    u = (x + 0.5) / n
    v = (y + 0.5) / n
    r = 0.12  # rounded-corner radius of the tile
    cx = min(max(u, r), 1 - r)
    cy = min(max(v, r), 1 - r)
    if (u - cx) ** 2 + (v - cy) ** 2 > r * r:
        return (0, 0, 0, 0)
    colour = (40, 70, 150, 255)  # tile blue
    # Crescent moon: a disc minus an offset disc.
    if (u - 0.42) ** 2 + (v - 0.38) ** 2 < 0.26 ** 2 and (u - 0.55) ** 2 + (v - 0.30) ** 2 > 0.22 ** 2:
        colour = (250, 220, 90, 255)
    # Battery bar along the bottom, with a small terminal.
    if 0.18 < u < 0.76 and 0.72 < v < 0.88:
        edge = u < 0.22 or u > 0.72 or v < 0.76 or v > 0.84
        colour = (255, 255, 255, 255) if edge else ((0, 225, 0, 255) if u < 0.55 else (40, 70, 150, 255))
    if 0.76 <= u < 0.82 and 0.77 < v < 0.83:
        colour = (255, 255, 255, 255)
    return colour


def image(n):
    rows = []
    for y in reversed(range(n)):  # bottom-up
        for x in range(n):
            r, g, b, a = pixel(x, y, n)
            rows.append(struct.pack('<BBBB', b, g, r, a))
    xor = b''.join(rows)
    mask_row = ((n + 31) // 32) * 4
    andmask = bytearray()
    for y in reversed(range(n)):
        bits = bytearray(mask_row)
        for x in range(n):
            if pixel(x, y, n)[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        andmask += bits
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, 32, 0, len(xor) + len(andmask), 0, 0, 0, 0)
    return header + xor + bytes(andmask)


def main(path):
    sizes = [16, 32, 48]
    images = [image(n) for n in sizes]
    out = struct.pack('<HHH', 0, 1, len(sizes))
    offset = 6 + 16 * len(sizes)
    for n, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b''.join(images)
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'vesplin.ico')
