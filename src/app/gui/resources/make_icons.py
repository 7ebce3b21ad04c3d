#!/usr/bin/env python3
# Draws the program's icon (a blue tile with a white arrow into a tray: files handed out) at
# 16, 32 and 64 pixels as icon16.png, icon32.png and icon64.png beside this script. Python's
# standard library only; run it again after changing the drawing.
import os
import struct
import zlib

BLUE = (31, 95, 168)
WHITE = (255, 255, 255)
SAMPLES = 4  # per pixel side, for smooth edges


def inside_tile(x, y):
    r = 0.18
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r and 0.02 <= x <= 0.98 and 0.02 <= y <= 0.98


def inside_mark(x, y):
    shaft = 0.44 <= x <= 0.56 and 0.16 <= y <= 0.5
    head = 0.45 <= y <= 0.66 and abs(x - 0.5) <= (0.66 - y) * 1.1
    tray_bottom = 0.24 <= x <= 0.76 and 0.76 <= y <= 0.84
    tray_sides = (0.24 <= x <= 0.32 or 0.68 <= x <= 0.76) and 0.62 <= y <= 0.84
    return shaft or head or tray_bottom or tray_sides


def pixel(px, py, size):
    tile = mark = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) / size
            y = (py + (sy + 0.5) / SAMPLES) / size
            if inside_tile(x, y):
                tile += 1
                if inside_mark(x, y):
                    mark += 1
    n = SAMPLES * SAMPLES
    if tile == 0:
        return (0, 0, 0, 0)
    colour = [round((BLUE[i] * (tile - mark) + WHITE[i] * mark) / tile) for i in range(3)]
    return (*colour, round(255 * tile / n))


def write_png(path, size):
    rows = b""
    for py in range(size):
        rows += b"\x00" + b"".join(bytes(pixel(px, py, size)) for px in range(size))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(rows, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


here = os.path.dirname(os.path.abspath(__file__))
for side in (16, 32, 64):
    write_png(os.path.join(here, "icon%d.png" % side), side)
