#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draws the program icon (a camera with a red recording light) as
vistrel.svg and, rasterised from the same shapes, as vistrel.png.
Run it again only when the drawing changes; both files are committed."""
import struct
import zlib

SIZE = 64

# Shapes in drawing order: (kind, parameters, RGBA colour).
SHAPES = [
    ("rrect", (14, 12, 26, 10, 3), (60, 64, 72, 255)),      # viewfinder on top
    ("rrect", (4, 18, 56, 38, 7), (52, 56, 64, 255)),       # body
    ("rrect", (6, 20, 52, 34, 5), (84, 90, 102, 255)),      # body face
    ("circle", (32, 37, 15), (30, 32, 36, 255)),            # lens ring
    ("circle", (32, 37, 11), (40, 90, 150, 255)),           # lens glass
    ("circle", (32, 37, 5), (20, 40, 70, 255)),             # pupil
    ("circle", (27, 32, 3), (200, 225, 255, 200)),          # reflection
    ("circle", (52, 25, 4), (230, 40, 40, 255)),            # recording light
]


def inside(kind, p, x, y):
    if kind == "circle":
        cx, cy, r = p
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    rx, ry, w, h, r = p
    if not (rx <= x <= rx + w and ry <= y <= ry + h):
        return False
    cx = min(max(x, rx + r), rx + w - r)
    cy = min(max(y, ry + r), ry + h - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rasterise():
    samples = 4
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # PNG filter type 0
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    x = px + (sx + 0.5) / samples
                    y = py + (sy + 0.5) / samples
                    col = [0.0, 0.0, 0.0, 0.0]
                    for kind, p, (r, g, b, a) in SHAPES:
                        if inside(kind, p, x, y):
                            alpha = a / 255.0
                            col = [r * alpha + col[0] * (1 - alpha), g * alpha + col[1] * (1 - alpha),
                                   b * alpha + col[2] * (1 - alpha), alpha + col[3] * (1 - alpha)]
                    for i in range(4):
                        acc[i] += col[i]
            n = samples * samples
            alpha = acc[3] / n
            if alpha > 0:
                row += bytes([round(acc[0] / n / alpha), round(acc[1] / n / alpha), round(acc[2] / n / alpha),
                              round(alpha * 255)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def png(pixels):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9))
            + chunk(b"IEND", b""))


def svg():
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{SIZE}" height="{SIZE}" viewBox="0 0 {SIZE} {SIZE}">']
    for kind, p, (r, g, b, a) in SHAPES:
        fill = f'fill="rgb({r},{g},{b})"' + (f' fill-opacity="{a / 255:.2f}"' if a < 255 else "")
        if kind == "circle":
            parts.append(f'  <circle cx="{p[0]}" cy="{p[1]}" r="{p[2]}" {fill}/>')
        else:
            parts.append(f'  <rect x="{p[0]}" y="{p[1]}" width="{p[2]}" height="{p[3]}" rx="{p[4]}" {fill}/>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


if __name__ == "__main__":
    with open("vistrel.png", "wb") as f:
        f.write(png(rasterise()))
    with open("vistrel.svg", "w") as f:
        f.write(svg())
