#!/usr/bin/env python3
"""Draws Dalvento's icon and writes it as a Windows .ico (16, 24, 32, 48 and 256 pixels).

The picture is a parcel map sheet on a blue tile with an orange tick: the exports, checked. It is
drawn from shapes, so every size is sharp, and the output is the same bytes on every run. The
icon in the project (src/main/win32/dalvento.ico) was made with this script; run it again after
changing the drawing:

    python3 packaging/make_icon.py src/main/win32/dalvento.ico
"""

import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 256)
SAMPLES = 4  # per pixel and axis, for smooth edges

TILE = (31, 87, 163)
SHEET = (255, 255, 255)
LINE = (31, 87, 163)
BADGE = (236, 138, 28)
TICK = (255, 255, 255)


def in_rounded_box(x, y, left, top, right, bottom, radius):
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def near_segment(x, y, ax, ay, bx, by, half_width):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
    px, py = ax + t * dx - x, ay + t * dy - y
    return px * px + py * py <= half_width ** 2


def colour_at(x, y, line_width):
    """The colour at (x, y) of the unit square, or None where the icon is transparent. Lines get
    at least line_width so they survive at the small sizes."""
    badge = (x - 0.73) ** 2 + (y - 0.73) ** 2
    if badge <= 0.2 ** 2:
        tick = max(0.035, line_width)
        if near_segment(x, y, 0.63, 0.74, 0.70, 0.81, tick) or \
                near_segment(x, y, 0.70, 0.81, 0.84, 0.64, tick):
            return TICK
        return BADGE
    if badge <= 0.245 ** 2 and in_rounded_box(x, y, 0.03, 0.03, 0.97, 0.97, 0.18):
        return TILE  # a ring of tile colour keeps the badge apart from the sheet
    if 0.2 <= x <= 0.74 and 0.16 <= y <= 0.78:
        half = max(0.014, line_width / 2)
        if abs(y - 0.44) <= half or (abs(x - 0.46) <= half and y <= 0.44) or \
                (abs(x - 0.56) <= half and y >= 0.44) or (abs(y - 0.62) <= half and x <= 0.56):
            return LINE
        return SHEET
    if in_rounded_box(x, y, 0.03, 0.03, 0.97, 0.97, 0.18):
        return TILE
    return None


def render(size):
    """Rows of RGBA bytes, top row first."""
    line_width = 1.0 / size
    rows = []
    step = 1.0 / (size * SAMPLES)
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at((px * SAMPLES + sx + 0.5) * step,
                                  (py * SAMPLES + sy + 0.5) * step, line_width)
                    if c is not None:
                        r, g, b, covered = r + c[0], g + c[1], b + c[2], covered + 1
            if covered:
                row += bytes((r // covered, g // covered, b // covered,
                              covered * 255 // (SAMPLES * SAMPLES)))
            else:
                row += b"\0\0\0\0"
        rows.append(bytes(row))
    return rows


def png(size, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def dib(size, rows):
    """A 32-bit bottom-up bitmap with its 1-bit mask, as icons below 256 pixels hold them."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for i in range(0, len(row), 4):
            pixels += bytes((row[i + 2], row[i + 1], row[i], row[i + 3]))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for px in range(size):
            if row[px * 4 + 3] == 0:
                line[px // 8] |= 0x80 >> (px % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def icon():
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png(size, rows) if size >= 256 else dib(size, rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py OUTPUT.ico")
    with open(sys.argv[1], "wb") as f:
        f.write(icon())


if __name__ == "__main__":
    main()
