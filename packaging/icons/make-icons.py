#!/usr/bin/env python3
"""Writes the program's icon as SVG and as PNG in the hicolor sizes.

The icon is a few plain shapes, drawn here once for both formats, so the
PNGs need no SVG renderer. Run it after changing the shapes; the outputs are
kept in the repository.
"""
import struct
import zlib

SIZES = [16, 24, 32, 48, 64, 128, 256]

# Shapes on a 64 x 64 canvas: (kind, colour, geometry).
BG = "#1f4e79"
FG = "#ffffff"
ACCENT = "#f2a900"
SHAPES = [
    ("rrect", BG, (2, 2, 60, 60, 12)),
    # an instrument's front: display and two connectors
    ("rrect", FG, (10, 14, 44, 24, 4)),
    ("rect", BG, (14, 18, 36, 16)),
    ("rect", ACCENT, (17, 28, 4, 3)),
    ("rect", ACCENT, (23, 24, 4, 7)),
    ("rect", ACCENT, (29, 21, 4, 10)),
    ("rect", ACCENT, (35, 26, 4, 5)),
    ("rect", ACCENT, (41, 22, 4, 9)),
    ("circle", FG, (20, 48, 5)),
    ("circle", FG, (44, 48, 5)),
    ("circle", BG, (20, 48, 2)),
    ("circle", BG, (44, 48, 2)),
]


def rgb(colour):
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def inside(kind, g, x, y):
    if kind == "rect":
        gx, gy, w, h = g
        return gx <= x < gx + w and gy <= y < gy + h
    if kind == "circle":
        cx, cy, r = g
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    gx, gy, w, h, r = g
    if not (gx <= x < gx + w and gy <= y < gy + h):
        return False
    cx = min(max(x, gx + r), gx + w - r)
    cy = min(max(y, gy + r), gy + h - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def render(size, samples=4):
    rows = []
    scale = 64.0 / size
    for py in range(size):
        row = bytearray([0])
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    x = (px + (sx + 0.5) / samples) * scale
                    y = (py + (sy + 0.5) / samples) * scale
                    colour = None
                    for kind, c, g in SHAPES:
                        if inside(kind, g, x, y):
                            colour = c
                    if colour:
                        r, gg, b = rgb(colour)
                        acc[0] += r
                        acc[1] += gg
                        acc[2] += b
                        acc[3] += 1
            n = samples * samples
            if acc[3]:
                row += bytes([round(acc[0] / acc[3]), round(acc[1] / acc[3]), round(acc[2] / acc[3]),
                              round(255 * acc[3] / n)])
            else:
                row += bytes([0, 0, 0, 0])
        rows.append(bytes(row))
    raw = b"".join(rows)

    def chunk(tag, data):
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", zlib.crc32(tag + data))

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def svg():
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">']
    for kind, c, g in SHAPES:
        if kind == "rect":
            out.append(f'  <rect x="{g[0]}" y="{g[1]}" width="{g[2]}" height="{g[3]}" fill="{c}"/>')
        elif kind == "rrect":
            out.append(f'  <rect x="{g[0]}" y="{g[1]}" width="{g[2]}" height="{g[3]}" rx="{g[4]}" fill="{c}"/>')
        else:
            out.append(f'  <circle cx="{g[0]}" cy="{g[1]}" r="{g[2]}" fill="{c}"/>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    with open("brevane.svg", "w") as f:
        f.write(svg())
    for s in SIZES:
        with open(f"brevane-{s}.png", "wb") as f:
            f.write(render(s))
