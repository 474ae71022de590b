#!/usr/bin/env python3
"""Writes trailmark.png, the program's 64x64 icon: the about box's compass at rest, on a
transparent ground, with smoothed edges.
"""
import math
import struct
import sys
import zlib

SIZE = 64
RING = (0x1F, 0x4E, 0x79)
FACE = (0xFF, 0xFF, 0xFF)
MARK = (0x2E, 0x8B, 0x57)
NEEDLE = (0xD9, 0x3A, 0x2B)
TAIL = (0x80, 0x80, 0x80)
HUB = (0xF2, 0xC1, 0x4E)
SUB = 4  # samples per pixel side


def sample(x, y):
    c = SIZE / 2
    dx, dy = x - c, y - c
    r = math.hypot(dx, dy)
    if r > 31:
        return None
    if r >= 26:
        return RING
    colour = FACE
    if abs(dx) <= 3 and abs(dy) <= 15 or abs(dy) <= 3 and abs(dx) <= 15:
        colour = MARK
    # The needle points north-east.
    ux, uy = math.sin(math.pi / 4), -math.cos(math.pi / 4)
    along = dx * ux + dy * uy
    across = abs(-dx * uy + dy * ux)
    if abs(along) <= 22 and across <= 4.5 * (1 - abs(along) / 24):
        colour = NEEDLE if along > 0 else TAIL
    if r <= 3.5:
        colour = HUB
    return colour


def pixel(px, py):
    acc = [0, 0, 0, 0]
    for sy in range(SUB):
        for sx in range(SUB):
            c = sample(px + (sx + 0.5) / SUB, py + (sy + 0.5) / SUB)
            if c is not None:
                acc[0] += c[0]
                acc[1] += c[1]
                acc[2] += c[2]
                acc[3] += 1
    if acc[3] == 0:
        return (0, 0, 0, 0)
    n = acc[3]
    return (acc[0] // n, acc[1] // n, acc[2] // n, 255 * n // (SUB * SUB))


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def main(path):
    rows = bytearray()
    for y in range(SIZE):
        rows.append(0)
        for x in range(SIZE):
            rows += bytes(pixel(x, y))
    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    data += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "trailmark.png")
