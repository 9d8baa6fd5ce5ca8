#!/usr/bin/env python3
"""Draws g19-bridge's icons as Windows .ico files: the program's own, which both exes carry,
and the tray's five, one per state a player must tell apart at 16x16 pixels.

  draw_icons.py OUT_DIR [--preview FILE.png]

Each picture is a few shapes on a 16-unit grid, drawn anti-aliased at every size the icon
holds from their signed distances, so 16 pixels get clean one-unit edges and larger sizes the
same picture. The state reads from the shape as well as from the colour: a check, an
hourglass, a cross, a dash and a padlock. --preview also writes every picture at 16 and 48
pixels side by side, for a look.
"""

import math
import os
import struct
import sys
import zlib

STATE_SIZES = (16, 20, 24, 32, 40, 48)
PROGRAM_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
WHITE = (255, 255, 255)


def length(x, y):
    return math.hypot(x, y)


def rounded_box(x0, y0, x1, y1, radius):
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius

    def distance(x, y):
        qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
        return length(max(qx, 0), max(qy, 0)) + min(max(qx, qy), 0) - radius
    return distance


def stroke(points, width):
    """A line through `points`, `width` thick, with round ends and joints."""
    segments = list(zip(points, points[1:]))

    def distance(x, y):
        best = float("inf")
        for (ax, ay), (bx, by) in segments:
            dx, dy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
            best = min(best, length(x - ax - t * dx, y - ay - t * dy))
        return best - width / 2
    return distance


def polygon(points):
    def distance(x, y):
        best = float("inf")
        inside = False
        for (ax, ay), (bx, by) in zip(points, points[1:] + points[:1]):
            dx, dy = bx - ax, by - ay
            t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
            best = min(best, length(x - ax - t * dx, y - ay - t * dy))
            if (ay > y) != (by > y) and x < ax + (y - ay) * dx / dy:
                inside = not inside
        return -best if inside else best
    return distance


def circle(cx, cy, radius):
    return lambda x, y: length(x - cx, y - cy) - radius


def upper_arc(cx, cy, radius, width):
    """The upper half of a ring, its ends cut square at the centre's height."""
    return lambda x, y: max(abs(length(x - cx, y - cy) - radius) - width / 2, y - cy)


def badge(fill, edge):
    """The square every state picture stands on: its colour, with a darker rim that keeps it
    apart from a light taskbar."""
    return [(rounded_box(0, 0, 16, 16, 3.0), edge), (rounded_box(1, 1, 15, 15, 2.2), fill)]


# Each picture: shapes painted in order, (signed distance in grid units, colour).
PICTURES = {
    # The program: the keyboard's display, lines of text on its screen.
    "program": [(rounded_box(0, 1, 16, 15, 2.5), (38, 50, 56)),
                (rounded_box(2, 3, 14, 13, 1.0), (77, 208, 225)),
                (rounded_box(4, 5, 12, 6.5, 0.3), (16, 60, 72)),
                (rounded_box(4, 7.5, 10, 9, 0.3), (16, 60, 72)),
                (rounded_box(4, 10, 11, 11.5, 0.3), (16, 60, 72))],
    # Connected: a check on green.
    "state-connected": badge((30, 150, 60), (16, 90, 34)) +
                       [(stroke([(4.2, 8.4), (6.9, 11.1), (11.9, 5.0)], 2.3), WHITE)],
    # Waiting for approval: an hourglass on amber.
    "state-waiting": badge((240, 170, 30), (150, 96, 0)) +
                     [(rounded_box(4, 3, 12, 4.5, 0.4), (60, 40, 0)),
                      (rounded_box(4, 11.5, 12, 13, 0.4), (60, 40, 0)),
                      (polygon([(5, 4), (11, 4), (8.5, 8), (7.5, 8)]), (60, 40, 0)),
                      (polygon([(7.5, 8), (8.5, 8), (11, 12), (5, 12)]), (60, 40, 0))],
    # Refused: a cross on red.
    "state-refused": badge((210, 45, 45), (130, 20, 20)) +
                     [(stroke([(4.8, 4.8), (11.2, 11.2)], 2.4), WHITE),
                      (stroke([(11.2, 4.8), (4.8, 11.2)], 2.4), WHITE)],
    # The voice client cannot be reached: a dash on grey, nothing going on.
    "state-unreachable": badge((120, 128, 138), (70, 76, 84)) +
                         [(rounded_box(4, 7, 12, 9, 0.5), WHITE)],
    # The display's port is held by another program: a padlock on blue.
    "state-port-held": badge((40, 100, 200), (20, 56, 120)) +
                       [(upper_arc(8.0, 7.0, 2.25, 1.5), WHITE),
                        (rounded_box(5, 7, 6.5, 8, 0), WHITE),
                        (rounded_box(9.5, 7, 11, 8, 0), WHITE),
                        (rounded_box(4, 8, 12, 13, 0.8), WHITE),
                        (circle(8.0, 10.5, 1.0), (20, 56, 120))],
}


def render(shapes, size):
    """The picture as rows of (red, green, blue, alpha), top row first."""
    scale = size / 16.0
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            x, y = (px + 0.5) / scale, (py + 0.5) / scale
            r = g = b = a = 0.0  # premultiplied
            for distance, colour in shapes:
                cover = max(0.0, min(1.0, 0.5 - distance(x, y) * scale))
                if cover > 0:
                    r = colour[0] * cover + r * (1 - cover)
                    g = colour[1] * cover + g * (1 - cover)
                    b = colour[2] * cover + b * (1 - cover)
                    a = cover + a * (1 - cover)
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def png(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + bytes(value for pixel in row for value in pixel) for row in rows)
    header = struct.pack(">IIBBBBB", len(rows[0]), len(rows), 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"IEND", b""))


def dib(rows):
    """An icon image as Windows keeps it below 256 pixels: a 32-bit bitmap, bottom row first,
    twice as high as it is for the transparency mask that follows it."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, pixel in enumerate(row):
            if pixel[3] < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def ico(shapes, sizes):
    images = [(size, png(render(shapes, size)) if size >= 256 else dib(render(shapes, size))) for size in sizes]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    return directory + entries + data


def blit(canvas, image, left, top):
    for y, row in enumerate(image):
        for x, (r, g, b, a) in enumerate(row):
            base, alpha = canvas[top + y][left + x], a / 255
            canvas[top + y][left + x] = tuple(round(c * alpha + o * (1 - alpha))
                                              for c, o in zip((r, g, b), base[:3])) + (255,)


def preview(path):
    """Every picture at 48 and at 16 pixels, on a light and on a dark strip."""
    width = 8 + len(PICTURES) * 76
    canvas = [[(240, 240, 240, 255)] * width for _ in range(60)] + [[(32, 32, 32, 255)] * width for _ in range(60)]
    for top in (6, 66):
        for index, shapes in enumerate(PICTURES.values()):
            blit(canvas, render(shapes, 48), 8 + index * 76, top)
            blit(canvas, render(shapes, 16), 8 + index * 76 + 54, top + 16)
    with open(path, "wb") as file:
        file.write(png(canvas))


def main(argv):
    if not argv or argv[0].startswith("-"):
        sys.exit(__doc__)
    out = argv[0]
    os.makedirs(out, exist_ok=True)
    for name, shapes in PICTURES.items():
        sizes = PROGRAM_SIZES if name == "program" else STATE_SIZES
        with open(os.path.join(out, name + ".ico"), "wb") as file:
            file.write(ico(shapes, sizes))
    if len(argv) == 3 and argv[1] == "--preview":
        preview(argv[2])


if __name__ == "__main__":
    main(sys.argv[1:])
