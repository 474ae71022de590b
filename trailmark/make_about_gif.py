#!/usr/bin/env python3
"""Writes about.gif, the about box's animation: a compass needle turning over a trail mark.

Plain GIF89a with a looping application extension; the image data uses a clear code often
enough that every code stays the same width, which keeps the encoder a few lines long.
"""
import math
import struct
import sys

SIZE = 64
FRAMES = 12
PALETTE = [
    (0xFF, 0xFF, 0xFF),  # 0 background
    (0x1F, 0x4E, 0x79),  # 1 dark blue ring
    (0xD9, 0x3A, 0x2B),  # 2 red needle
    (0x2E, 0x8B, 0x57),  # 3 green trail mark
    (0xF2, 0xC1, 0x4E),  # 4 yellow hub
    (0x80, 0x80, 0x80),  # 5 grey needle tail
    (0, 0, 0), (0, 0, 0),
]
MIN_CODE_SIZE = 3  # 8 colours


def frame(step):
    c = (SIZE - 1) / 2
    angle = 2 * math.pi * step / FRAMES
    px = []
    for y in range(SIZE):
        for x in range(SIZE):
            dx, dy = x - c, y - c
            r = math.hypot(dx, dy)
            colour = 0
            if 26 <= r <= 30:
                colour = 1
            elif abs(dx) <= 3 and abs(dy) <= 14 or abs(dy) <= 3 and abs(dx) <= 14:
                colour = 3  # the trail mark: a cross
            # The needle: distance from the line through the centre at the given angle.
            ux, uy = math.sin(angle), -math.cos(angle)
            along = dx * ux + dy * uy
            across = abs(-dx * uy + dy * ux)
            if abs(along) <= 22 and across <= 3.5 * (1 - abs(along) / 24):
                colour = 2 if along > 0 else 5
            if r <= 3:
                colour = 4
            px.append(colour)
    return px


def lzw(pixels):
    clear, end = 1 << MIN_CODE_SIZE, (1 << MIN_CODE_SIZE) + 1
    width = MIN_CODE_SIZE + 1
    per_clear = (1 << MIN_CODE_SIZE) - 2  # codes before the table would widen
    codes = []
    for i, p in enumerate(pixels):
        if i % per_clear == 0:
            codes.append(clear)
        codes.append(p)
    codes.append(end)
    out, acc, bits = bytearray(), 0, 0
    for code in codes:
        acc |= code << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8
    if bits:
        out.append(acc & 0xFF)
    blocks = bytearray([MIN_CODE_SIZE])
    for i in range(0, len(out), 255):
        chunk = out[i:i + 255]
        blocks += bytes([len(chunk)]) + chunk
    return bytes(blocks + b"\x00")


def main(path):
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", SIZE, SIZE, 0xF0 | (MIN_CODE_SIZE - 1), 0, 0)
    for rgb in PALETTE:
        data += bytes(rgb)
    data += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"  # loop for ever
    for step in range(FRAMES):
        data += b"\x21\xF9\x04\x04" + struct.pack("<H", 10) + b"\x00\x00"  # 100 ms
        data += b"\x2C" + struct.pack("<HHHHB", 0, 0, SIZE, SIZE, 0)
        data += lzw(frame(step))
    data += b"\x3B"
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "about.gif")
