#!/usr/bin/python3
"""Draws the updater window's skin: a 403 x 140 24-bit bitmap, uncompressed, bottom-up.

    make_skin.py OUTPUT.bmp

A blue title band with a download mark and two title bars, a light face below it, a frame, and
two light panels behind the label and progress-bar rows, where the dialog's black label text
and the bars sit. The output depends on nothing but this script, byte for byte.
"""
import math
import struct
import sys

WIDTH, HEIGHT = 403, 140

# Where the dialog's controls land, in pixels, with the 9-point dialog font (6 x 12 pixels per
# 4 x 8 dialog units): labels at y 62-74 and 98-110, bars at y 78-92 and 113-127, both from x 32
# to 316. One panel holds both rows, with a divider between them.
HEADER_BOTTOM = 50
PANEL = (20, 55, 328, 134)  # left, top, right, bottom (exclusive)
DIVIDER_Y = 95
BADGE = (366.0, 94.5)  # centre of the faint mark right of the panel

SAMPLES = 4  # per axis, for the edges of the drawn shapes


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c1, c2, t):
    return tuple(lerp(x, y, t) for x, y in zip(c1, c2))


def hex_colour(text):
    return tuple(int(text[i:i + 2], 16) for i in (0, 2, 4))


class Canvas:
    def __init__(self, width, height, colour=(255, 255, 255)):
        self.width, self.height = width, height
        self.px = [[tuple(map(float, colour)) for _ in range(width)] for _ in range(height)]

    def blend(self, x, y, colour, alpha):
        if 0 <= x < self.width and 0 <= y < self.height and alpha > 0:
            self.px[y][x] = mix(self.px[y][x], colour, min(alpha, 1.0))

    def vertical_gradient(self, top, bottom, c_top, c_bottom):
        for y in range(top, bottom):
            t = (y - top) / max(1, bottom - top - 1)
            c = mix(c_top, c_bottom, t)
            for x in range(self.width):
                self.px[y][x] = c

    def shape(self, box, inside, colour, alpha=1.0):
        """Blends colour over the pixels of box where inside(x, y) holds, by area coverage."""
        x0, y0, x1, y1 = (int(math.floor(v)) for v in box)
        step = 1.0 / SAMPLES
        offsets = [(i + 0.5) * step for i in range(SAMPLES)]
        for y in range(max(0, y0), min(self.height, y1 + 1)):
            for x in range(max(0, x0), min(self.width, x1 + 1)):
                hits = sum(1 for oy in offsets for ox in offsets if inside(x + ox, y + oy))
                if hits:
                    self.blend(x, y, colour, alpha * hits / (SAMPLES * SAMPLES))

    def rounded_rect(self, left, top, right, bottom, radius, colour, alpha=1.0):
        def inside(px, py):
            if not (left <= px < right and top <= py < bottom):
                return False
            cx = min(max(px, left + radius), right - radius)
            cy = min(max(py, top + radius), bottom - radius)
            return (px - cx) ** 2 + (py - cy) ** 2 <= radius * radius

        self.shape((left, top, right, bottom), inside, colour, alpha)

    def ring(self, cx, cy, outer, inner, colour, alpha=1.0):
        def inside(px, py):
            d = (px - cx) ** 2 + (py - cy) ** 2
            return inner * inner <= d <= outer * outer

        self.shape((cx - outer - 1, cy - outer - 1, cx + outer + 1, cy + outer + 1), inside, colour, alpha)

    def disc(self, cx, cy, r, colour, alpha=1.0):
        self.ring(cx, cy, r, 0, colour, alpha)

    def polygon(self, points, colour, alpha=1.0):
        xs = [p[0] for p in points]
        ys = [p[1] for p in points]

        def inside(px, py):
            # Even-odd rule.
            result = False
            j = len(points) - 1
            for i in range(len(points)):
                xi, yi = points[i]
                xj, yj = points[j]
                if (yi > py) != (yj > py) and px < (xj - xi) * (py - yi) / (yj - yi) + xi:
                    result = not result
                j = i
            return result

        self.shape((min(xs), min(ys), max(xs), max(ys)), inside, colour, alpha)

    def hline(self, x0, x1, y, colour, alpha=1.0):
        for x in range(x0, x1):
            self.blend(x, y, colour, alpha)

    def vline(self, x, y0, y1, colour, alpha=1.0):
        for y in range(y0, y1):
            self.blend(x, y, colour, alpha)

    def to_bmp(self):
        row_bytes = (self.width * 3 + 3) & ~3
        pad = bytes(row_bytes - self.width * 3)
        rows = []
        for y in range(self.height - 1, -1, -1):  # bottom-up
            row = bytearray()
            for r, g, b in self.px[y]:
                row += bytes((clamp(b), clamp(g), clamp(r)))
            rows.append(bytes(row) + pad)
        image = b"".join(rows)
        info = struct.pack("<IiiHHIIiiII", 40, self.width, self.height, 1, 24, 0, len(image), 2835, 2835, 0, 0)
        header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(image), 0, 0, 14 + len(info))
        return header + info + image


def clamp(v):
    return max(0, min(255, int(round(v))))


def draw():
    c = Canvas(WIDTH, HEIGHT)

    # Title band: deep blue to a brighter blue, with a soft diagonal sheen.
    c.vertical_gradient(0, HEADER_BOTTOM, hex_colour("17427a"), hex_colour("2d6fb8"))
    c.polygon([(150, 0), (250, 0), (200, HEADER_BOTTOM), (100, HEADER_BOTTOM)], (255, 255, 255), 0.06)
    c.polygon([(262, 0), (292, 0), (242, HEADER_BOTTOM), (212, HEADER_BOTTOM)], (255, 255, 255), 0.05)

    # Face: pale blue-grey, darkening slightly toward the bottom.
    c.vertical_gradient(HEADER_BOTTOM, HEIGHT, hex_colour("eef3f9"), hex_colour("c9d7e8"))

    # Accent line under the title band, with a thin shadow below it.
    c.hline(0, WIDTH, HEADER_BOTTOM - 2, hex_colour("f3a53c"))
    c.hline(0, WIDTH, HEADER_BOTTOM - 1, hex_colour("d9862a"))
    c.hline(0, WIDTH, HEADER_BOTTOM, hex_colour("9aaec8"), 0.5)

    # The mark: a ring with a downward arrow over a tray.
    cx, cy = 31.0, 24.0
    c.disc(cx, cy, 16.5, (255, 255, 255), 0.12)
    c.ring(cx, cy, 15.0, 12.6, (255, 255, 255))
    c.polygon([(cx - 2.2, cy - 8.5), (cx + 2.2, cy - 8.5), (cx + 2.2, cy + 0.5), (cx + 6.5, cy + 0.5),
               (cx, cy + 7.5), (cx - 6.5, cy + 0.5), (cx - 2.2, cy + 0.5)], (255, 255, 255))
    c.rounded_rect(cx - 7.5, cy + 8.6, cx + 7.5, cy + 10.6, 1.0, hex_colour("f3a53c"))

    # Title: two rounded bars in place of words, and a row of small dots at the right.
    c.rounded_rect(58, 14, 196, 22, 4, (255, 255, 255), 0.92)
    c.rounded_rect(58, 27, 146, 32, 2.5, (255, 255, 255), 0.55)
    for i in range(5):
        c.disc(330 + i * 12, 24, 2.6, (255, 255, 255), 0.25 + 0.12 * i)

    # The panel behind the two label/bar rows: near-white with a soft border, a faint shadow and
    # an etched divider between the rows.
    left, top, right, bottom = PANEL
    c.rounded_rect(left + 1, top + 1, right + 1, bottom + 1, 5, hex_colour("7f94b0"), 0.25)
    c.rounded_rect(left, top, right, bottom, 5, hex_colour("9fb4cf"))
    c.rounded_rect(left + 1, top + 1, right - 1, bottom - 1, 4, hex_colour("fbfcfe"))
    c.hline(left + 5, right - 5, top + 1, (255, 255, 255))
    c.hline(left + 8, right - 8, DIVIDER_Y, hex_colour("d3deeb"))
    c.hline(left + 8, right - 8, DIVIDER_Y + 1, (255, 255, 255))

    # A large faint copy of the mark beside the panel.
    bx, by = BADGE
    faint = hex_colour("8aa5c6")
    c.disc(bx, by, 27.0, (255, 255, 255), 0.35)
    c.ring(bx, by, 27.0, 23.5, faint, 0.8)
    c.polygon([(bx - 4.0, by - 15.0), (bx + 4.0, by - 15.0), (bx + 4.0, by + 1.0), (bx + 11.5, by + 1.0),
               (bx, by + 13.0), (bx - 11.5, by + 1.0), (bx - 4.0, by + 1.0)], faint, 0.8)
    c.rounded_rect(bx - 13.0, by + 15.0, bx + 13.0, by + 18.5, 1.5, hex_colour("f3a53c"), 0.7)

    # Frame: dark outline, light inner edge at the top and left, darker at the bottom and right.
    dark = hex_colour("10284a")
    c.hline(0, WIDTH, 0, dark)
    c.hline(0, WIDTH, HEIGHT - 1, dark)
    c.vline(0, 0, HEIGHT, dark)
    c.vline(WIDTH - 1, 0, HEIGHT, dark)
    c.hline(1, WIDTH - 1, 1, (255, 255, 255), 0.35)
    c.vline(1, 1, HEIGHT - 1, (255, 255, 255), 0.35)
    c.hline(1, WIDTH - 1, HEIGHT - 2, dark, 0.3)
    c.vline(WIDTH - 2, 1, HEIGHT - 1, dark, 0.3)
    return c


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_skin.py OUTPUT.bmp\n")
        return 2
    data = draw().to_bmp()
    with open(argv[1], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
