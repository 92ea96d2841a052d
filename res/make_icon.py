#!/usr/bin/env python3
# SPDX-FileCopyrightText: 2026 The Orvello authors
# SPDX-License-Identifier: MIT
"""Draw orvello.ico: one 32x32 24-bpp image, a blue rounded square with a
white circular "restart" arrow. Standard library only, so the icon can be
regenerated on any build machine; the output is deterministic."""
import math
import struct
import sys
from pathlib import Path

SIZE = 32
SUB = 4  # supersampling per axis, for smooth ring edges

BLUE = (0x1F, 0x6F, 0xD0)
WHITE = (0xFF, 0xFF, 0xFF)


def inside_rounded_square(x, y, radius=6.0):
    # Point test in pixel coordinates, square spans [0, SIZE).
    cx = min(max(x, radius), SIZE - radius)
    cy = min(max(y, radius), SIZE - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def on_arrow(x, y):
    cx = cy = SIZE / 2
    dx, dy = x - cx, y - cy
    r = math.hypot(dx, dy)
    # Angle measured clockwise from 12 o'clock; the gap sits at the top right.
    ang = math.degrees(math.atan2(dx, -dy)) % 360
    if 7.0 <= r <= 10.5 and 50 <= ang <= 360:
        return True
    # Arrow head at the ring's open end (12 o'clock), pointing right.
    hx, hy = cx + 1.0, cy - 8.75
    if x >= hx - 3 and abs(y - hy) <= (hx + 5 - x) * 0.6 and x <= hx + 5:
        return True
    return False


def render():
    """Return (rows of RGB tuples top-down, rows of opaque flags)."""
    pixels, opaque = [], []
    n = SUB * SUB
    for py in range(SIZE):
        prow, orow = [], []
        for px in range(SIZE):
            cover = white = 0
            for sy in range(SUB):
                for sx in range(SUB):
                    x = px + (sx + 0.5) / SUB
                    y = py + (sy + 0.5) / SUB
                    if inside_rounded_square(x, y):
                        cover += 1
                        if on_arrow(x, y):
                            white += 1
            if cover * 2 < n:
                prow.append((0, 0, 0))
                orow.append(False)
                continue
            t = white / cover
            prow.append(tuple(round(b + (w - b) * t) for b, w in zip(BLUE, WHITE)))
            orow.append(True)
        pixels.append(prow)
        opaque.append(orow)
    return pixels, opaque


def encode(pixels, opaque):
    # DIB with doubled height (XOR image plus AND mask), rows bottom-up.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 24, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b in row:
            xor += bytes((b, g, r))
        xor += b"\0" * (-len(row) * 3 % 4)
    mask = bytearray()
    for row in reversed(opaque):
        bits = 0
        for i, o in enumerate(row):
            if not o:
                bits |= 1 << (SIZE - 1 - i)
        mask += bits.to_bytes(SIZE // 8, "big")
        mask += b"\0" * (-(SIZE // 8) % 4)
    image = header + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    return icondir + entry + image


def main():
    out = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("orvello.ico")
    out.write_bytes(encode(*render()))


if __name__ == "__main__":
    main()
