#!/usr/bin/env python3
"""Draws the launcher's icon: a gold shield with a dark upward arrow (the update) on a dark
rounded tile, at the seven sizes the program carries, each stored as PNG inside one .ico file.

Usage: make_icon.py OUTPUT.ico [PNG_DIR]   (PNG_DIR also receives each size as icon-N.png)
Standard library only; the output depends on nothing but this script.
"""
import os
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)

GROUND = (40, 28, 10)
GOLD = (255, 204, 26)
GOLD_LIGHT = (255, 226, 110)
GOLD_DEEP = (226, 158, 8)
RIM = (150, 108, 28)

# The picture in unit coordinates: u to the right, v downwards, both 0..1.
TILE_INSET = 0.02
TILE_RADIUS = 0.2
RIM_WIDTH = 0.035
SHIELD_TOP = 0.125
SHIELD_SHOULDER = 0.52
SHIELD_TIP = 0.9
SHIELD_HALF_WIDTH = 0.31
ARROW_TOP = 0.25
ARROW_BASE = 0.5
ARROW_HALF_WIDTH = 0.175
SHAFT_HALF_WIDTH = 0.068
SHAFT_BOTTOM = 0.75


def rounded_square_distance(u, v):
    """Distance inside the tile's edge (negative outside)."""
    low, high = TILE_INSET + TILE_RADIUS, 1.0 - TILE_INSET - TILE_RADIUS
    du = max(low - u, 0.0, u - high)
    dv = max(low - v, 0.0, v - high)
    if du > 0.0 and dv > 0.0:
        return TILE_RADIUS - (du * du + dv * dv) ** 0.5
    edge_u = min(u - TILE_INSET, 1.0 - TILE_INSET - u)
    edge_v = min(v - TILE_INSET, 1.0 - TILE_INSET - v)
    return min(edge_u, edge_v)


def in_shield(u, v):
    if v < SHIELD_TOP or v > SHIELD_TIP:
        return False
    half = SHIELD_HALF_WIDTH
    if v > SHIELD_SHOULDER:
        # Straight sides run smoothly into a pointed tip.
        t = (v - SHIELD_SHOULDER) / (SHIELD_TIP - SHIELD_SHOULDER)
        half *= 1.0 - t * t
    return abs(u - 0.5) <= half


def in_arrow(u, v):
    off = abs(u - 0.5)
    if ARROW_TOP <= v <= ARROW_BASE:
        return off <= ARROW_HALF_WIDTH * (v - ARROW_TOP) / (ARROW_BASE - ARROW_TOP)
    return ARROW_BASE < v <= SHAFT_BOTTOM and off <= SHAFT_HALF_WIDTH


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def shield_colour(v):
    t = (v - SHIELD_TOP) / (SHIELD_TIP - SHIELD_TOP)
    if t < 0.4:
        return mix(GOLD_LIGHT, GOLD, t / 0.4)
    return mix(GOLD, GOLD_DEEP, (t - 0.4) / 0.6)


def sample(u, v):
    """Colour and opacity of the topmost layer at one point."""
    edge = rounded_square_distance(u, v)
    if edge < 0.0:
        return (0.0, 0.0, 0.0), 0.0
    if in_arrow(u, v):
        return GROUND, 1.0
    if in_shield(u, v):
        return shield_colour(v), 1.0
    if edge < RIM_WIDTH:
        return RIM, 1.0
    return GROUND, 1.0


def render(size):
    """Rows of RGBA bytes, anti-aliased by averaging a grid of samples per pixel."""
    grid = 3 if size > 64 else 5
    rows = []
    for y in range(size):
        row = bytearray()
        for x in range(size):
            red = green = blue = alpha = 0.0
            for sy in range(grid):
                v = (y + (sy + 0.5) / grid) / size
                for sx in range(grid):
                    u = (x + (sx + 0.5) / grid) / size
                    colour, opacity = sample(u, v)
                    red += colour[0] * opacity
                    green += colour[1] * opacity
                    blue += colour[2] * opacity
                    alpha += opacity
            if alpha == 0.0:
                row += bytes(4)
                continue
            row += bytes((round(red / alpha), round(green / alpha), round(blue / alpha),
                          round(255 * alpha / (grid * grid))))
        rows.append(bytes(row))
    return rows


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def encode_png(size, rows):
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    raw = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) +
            png_chunk(b"IDAT", zlib.compress(raw, 9)) + png_chunk(b"IEND", b""))


def encode_ico(images):
    """ICO container: directory, one 16-byte entry per image, then the PNG data."""
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, png in images:
        side = 0 if size == 256 else size  # 0 stands for 256 in the one-byte fields
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(png), offset)
        offset += len(png)
    return directory + entries + b"".join(png for _, png in images)


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    images = []
    for size in SIZES:
        png = encode_png(size, render(size))
        images.append((size, png))
        if len(sys.argv) == 3:
            with open(os.path.join(sys.argv[2], "icon-%d.png" % size), "wb") as out:
                out.write(png)
    with open(sys.argv[1], "wb") as out:
        out.write(encode_ico(images))


if __name__ == "__main__":
    main()
