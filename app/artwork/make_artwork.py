#!/usr/bin/env python3
"""Draws the utility's pictures and writes them as Windows resources.

    make_artwork.py OUTPUT_DIR

writes into OUTPUT_DIR:
    app.ico                  the program's icon (several sizes)
    tray1.ico ... tray4.ico  the four frames of the notification-area icon
    splash.bmp               the picture of the splash window and the About box

Everything is drawn here from shapes, with the standard library only, so that
the build needs nothing but Python 3. Shapes are rendered with signed
distances, which gives anti-aliased edges without supersampling.
"""

import math
import os
import struct
import sys

# ---------------------------------------------------------------------------
# Colours (r, g, b), 0..255.

NAVY_TOP = (30, 39, 52)
NAVY_BOTTOM = (13, 18, 26)
PANEL = (24, 31, 42)
TEAL = (46, 196, 182)
TEAL_DARK = (20, 120, 120)
CYAN_LIGHT = (170, 240, 232)
AMBER = (245, 170, 60)
WHITE = (240, 244, 248)
GREY = (130, 148, 168)
GREY_DARK = (62, 76, 94)


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def clamp01(v):
    return 0.0 if v < 0.0 else (1.0 if v > 1.0 else v)


# ---------------------------------------------------------------------------
# A floating-point RGBA canvas. Pixel (x, y) covers [x, x+1) x [y, y+1); its
# centre is (x + 0.5, y + 0.5). Colours are premultiplied-free straight RGB
# with a separate alpha.


class Canvas:
    def __init__(self, width, height, colour=(0, 0, 0), alpha=0.0):
        self.width = width
        self.height = height
        self.rgb = [[list(colour) for _ in range(width)] for _ in range(height)]
        self.alpha = [[alpha] * width for _ in range(height)]

    def blend(self, x, y, colour, coverage):
        """Paints `colour` over pixel (x, y) with the given coverage."""
        if coverage <= 0.0:
            return
        coverage = min(coverage, 1.0)
        a0 = self.alpha[y][x]
        a = coverage + a0 * (1.0 - coverage)
        px = self.rgb[y][x]
        if a > 0.0:
            for i in range(3):
                px[i] = (colour[i] * coverage + px[i] * a0 * (1.0 - coverage)) / a
        self.alpha[y][x] = a

    def fill(self, shader):
        """shader(x, y) -> colour for every pixel (opaque)."""
        for y in range(self.height):
            for x in range(self.width):
                self.rgb[y][x] = list(shader(x + 0.5, y + 0.5))
                self.alpha[y][x] = 1.0

    def paint(self, layer, shader):
        """Paints a coverage layer with shader(x, y) -> colour."""
        for y in range(self.height):
            row = layer.cov[y]
            for x in range(self.width):
                c = row[x]
                if c > 0.0:
                    self.blend(x, y, shader(x + 0.5, y + 0.5), c)


class Layer:
    """Coverage 0..1 per pixel; shapes are merged by maximum."""

    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.cov = [[0.0] * width for _ in range(height)]

    def _box(self, x0, y0, x1, y1):
        return (max(0, int(math.floor(x0))), max(0, int(math.floor(y0))),
                min(self.width, int(math.ceil(x1)) + 1),
                min(self.height, int(math.ceil(y1)) + 1))

    def segment(self, ax, ay, bx, by, width):
        """A stroke with round caps from (ax, ay) to (bx, by)."""
        r = width / 2.0
        xa, ya, xb, yb = self._box(min(ax, bx) - r - 1, min(ay, by) - r - 1,
                                   max(ax, bx) + r + 1, max(ay, by) + r + 1)
        dx, dy = bx - ax, by - ay
        ll = dx * dx + dy * dy
        for y in range(ya, yb):
            py = y + 0.5
            row = self.cov[y]
            for x in range(xa, xb):
                px = x + 0.5
                if ll > 0.0:
                    t = ((px - ax) * dx + (py - ay) * dy) / ll
                    t = 0.0 if t < 0.0 else (1.0 if t > 1.0 else t)
                else:
                    t = 0.0
                ex, ey = px - (ax + t * dx), py - (ay + t * dy)
                c = clamp01(r + 0.5 - math.sqrt(ex * ex + ey * ey))
                if c > row[x]:
                    row[x] = c

    def polyline(self, points, width):
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            self.segment(ax, ay, bx, by, width)

    def rounded_rect(self, x0, y0, x1, y1, radius):
        xa, ya, xb, yb = self._box(x0 - 1, y0 - 1, x1 + 1, y1 + 1)
        cx, cy = (x0 + x1) / 2.0, (y0 + y1) / 2.0
        hx, hy = (x1 - x0) / 2.0 - radius, (y1 - y0) / 2.0 - radius
        for y in range(ya, yb):
            row = self.cov[y]
            for x in range(xa, xb):
                qx = abs(x + 0.5 - cx) - hx
                qy = abs(y + 0.5 - cy) - hy
                outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
                inside = min(max(qx, qy), 0.0)
                d = outside + inside - radius
                c = clamp01(0.5 - d)
                if c > row[x]:
                    row[x] = c

    def circle(self, cx, cy, radius):
        self.segment(cx, cy, cx, cy, 2.0 * radius)


# ---------------------------------------------------------------------------
# A geometric stroke font: capitals, digits and a few signs. Each glyph is a
# list of polylines in a box of its advance width by a cap height of 1, y
# growing downwards from the cap line (0) to the baseline (1).


def arc(cx, cy, rx, ry, start_deg, end_deg, steps=20):
    """Points on an ellipse; angles counter-clockwise as seen on screen."""
    pts = []
    for i in range(steps + 1):
        a = math.radians(start_deg + (end_deg - start_deg) * i / steps)
        pts.append((cx + rx * math.cos(a), cy - ry * math.sin(a)))
    return pts


def _glyphs():
    g = {}
    g["A"] = (0.74, [[(0, 1), (0.37, 0), (0.74, 1)], [(0.14, 0.64), (0.60, 0.64)]])
    g["C"] = (0.70, [arc(0.38, 0.5, 0.38, 0.5, 50, 310, 28)])
    g["D"] = (0.68, [[(0.30, 1), (0, 1), (0, 0), (0.30, 0)] + arc(0.30, 0.5, 0.38, 0.5, 90, -90, 20)])
    g["E"] = (0.56, [[(0.56, 0), (0, 0), (0, 1), (0.56, 1)], [(0, 0.5), (0.46, 0.5)]])
    g["F"] = (0.54, [[(0.54, 0), (0, 0), (0, 1)], [(0, 0.5), (0.44, 0.5)]])
    g["G"] = (0.74, [arc(0.38, 0.5, 0.38, 0.5, 45, 360, 30) + [(0.42, 0.5)]])
    g["I"] = (0.0, [[(0, 0), (0, 1)]])
    g["L"] = (0.52, [[(0, 0), (0, 1), (0.52, 1)]])
    g["N"] = (0.70, [[(0, 1), (0, 0), (0.70, 1), (0.70, 0)]])
    g["O"] = (0.80, [arc(0.40, 0.5, 0.40, 0.5, 0, 360, 36)])
    g["P"] = (0.62, [[(0, 1), (0, 0), (0.36, 0)] + arc(0.36, 0.27, 0.26, 0.27, 90, -90, 16) +
                     [(0, 0.54)]])
    g["R"] = (0.64, [[(0, 1), (0, 0), (0.36, 0)] + arc(0.36, 0.27, 0.26, 0.27, 90, -90, 16) +
                     [(0, 0.54)], [(0.30, 0.54), (0.64, 1)]])
    g["T"] = (0.64, [[(0, 0), (0.64, 0)], [(0.32, 0), (0.32, 1)]])
    g["U"] = (0.66, [[(0, 0)] + arc(0.33, 0.67, 0.33, 0.33, 180, 360, 20) + [(0.66, 0)]])
    g["V"] = (0.72, [[(0, 0), (0.36, 1), (0.72, 0)]])
    g["X"] = (0.70, [[(0, 0), (0.70, 1)], [(0.70, 0), (0, 1)]])
    g["Y"] = (0.70, [[(0, 0), (0.35, 0.52), (0.70, 0)], [(0.35, 0.52), (0.35, 1)]])
    g["2"] = (0.60, [arc(0.30, 0.29, 0.30, 0.29, 160, -30, 20) + [(0, 1), (0.62, 1)]])
    g["1"] = (0.34, [[(0, 0.22), (0.30, 0), (0.30, 1)]])
    g["0"] = (0.60, [arc(0.30, 0.5, 0.30, 0.5, 0, 360, 32)])
    g["-"] = (0.42, [[(0.04, 0.58), (0.38, 0.58)]])
    g["."] = (0.0, [[(0, 1), (0, 1)]])
    g[" "] = (0.34, [])
    return g


GLYPHS = _glyphs()


def text_width(text, height, stroke, tracking):
    w = 0.0
    for i, ch in enumerate(text):
        w += GLYPHS[ch][0] * height
        if i + 1 < len(text):
            w += stroke + tracking
    return w + stroke


def draw_text(layer, text, x, y, height, stroke, tracking=0.0):
    """Strokes `text` with its cap line at y and its left edge at x."""
    pen = x + stroke / 2.0
    for ch in text:
        advance, lines = GLYPHS[ch]
        for line in lines:
            pts = [(pen + px * height, y + stroke / 2.0 + py * (height - stroke))
                   for (px, py) in line]
            layer.polyline(pts, stroke)
        pen += advance * height + stroke + tracking


# ---------------------------------------------------------------------------
# The level-meter motif shared by the icons: bars in rounded slots on a dark
# tile, lit from teal at the foot to pale cyan at the top.


def meter_icon(size, levels, peak=None):
    s = float(size)
    canvas = Canvas(size, size)
    tile = Layer(size, size)
    margin = max(0.5, s * 0.03)
    tile.rounded_rect(margin, margin, s - margin, s - margin, s * 0.2)
    canvas.paint(tile, lambda x, y: mix(NAVY_TOP, NAVY_BOTTOM, (x + y) / (2 * s)))

    n = len(levels)
    if size < 32:
        # Small sizes: bars on whole pixels, two wide with one-pixel gaps,
        # so that they stay crisp instead of blurring into each other.
        bar_w, pitch = float(size // 8), float(size // 8 + max(1, size // 16))
        inner_x0 = float((size - (n * pitch - (pitch - bar_w))) // 2)
        floor, ceil = float(size - size // 5), float(size // 5)
    else:
        inner_x0, inner_x1 = s * 0.17, s * 0.83
        floor, ceil = s * 0.82, s * 0.18
        pitch = (inner_x1 - inner_x0) / n
        bar_w = pitch * 0.64
    for i, level in enumerate(levels):
        if size < 32:
            x0 = inner_x0 + i * pitch
            top = float(round(floor - (floor - ceil) * level))
        else:
            x0 = inner_x0 + i * pitch + (pitch - bar_w) / 2.0
            top = floor - (floor - ceil) * level
        slot = Layer(size, size)
        slot.rounded_rect(x0, ceil, x0 + bar_w, floor, min(bar_w * 0.3, 0.5 if size < 32 else s))
        canvas.paint(slot, lambda x, y: GREY_DARK)
        bar = Layer(size, size)
        bar.rounded_rect(x0, top, x0 + bar_w, floor, min(bar_w * 0.3, 0.5 if size < 32 else s))
        canvas.paint(bar, lambda x, y: mix(TEAL, CYAN_LIGHT, (floor - y) / (floor - ceil)))
        if peak is not None and peak[i] is not None:
            half = max(0.5, s * 0.03)
            py = floor - (floor - ceil) * peak[i]
            if size < 32:
                py = min(float(round(py - 0.5)), top - 1.0) + 0.5
            tick = Layer(size, size)
            tick.rounded_rect(x0, py - half, x0 + bar_w, py + half, 0.3)
            canvas.paint(tick, lambda x, y: AMBER)
    return canvas


def app_icon(size):
    """The program icon: the meter with a sine trace across it."""
    levels = [0.42, 0.78, 1.0, 0.64, 0.34] if size >= 24 else [0.55, 0.9, 0.7, 0.4]
    canvas = meter_icon(size, levels)
    if size >= 24:
        s = float(size)
        trace = Layer(size, size)
        pts = []
        for i in range(41):
            t = i / 40.0
            x = s * (0.14 + 0.72 * t)
            y = s * (0.50 - 0.17 * math.sin(2 * math.pi * t * 1.25))
            pts.append((x, y))
        trace.polyline(pts, max(1.2, s * 0.055))
        canvas.paint(trace, lambda x, y: AMBER)
    return canvas


# Four frames of a level meter that rises and falls: each bar steps through
# the same cycle, offset so that a wave seems to travel to the right.
TRAY_LEVELS = [
    [0.95, 0.55, 0.25, 0.50],
    [0.55, 0.95, 0.55, 0.25],
    [0.25, 0.55, 0.95, 0.55],
    [0.50, 0.25, 0.55, 0.95],
]


def tray_icon(frame, size):
    levels = TRAY_LEVELS[frame]
    return meter_icon(size, levels, peak=[min(1.0, v + 0.1) for v in levels])


# ---------------------------------------------------------------------------
# The splash picture (also shown in the About box).


def splash(width, height):
    canvas = Canvas(width, height)

    def background(x, y):
        base = mix(NAVY_TOP, NAVY_BOTTOM, y / height)
        # A soft teal glow behind the meter on the left.
        d = math.hypot((x - width * 0.2) / (width * 0.35), (y - height * 0.55) / (height * 0.7))
        return mix(base, (22, 60, 66), clamp01(1.0 - d) * 0.55)

    canvas.fill(background)

    # Thin accent rule along the bottom and a dark footer band.
    footer = Layer(width, height)
    footer.rounded_rect(-4, height - 26, width + 4, height + 4, 0)
    canvas.paint(footer, lambda x, y: (10, 14, 20))
    rule = Layer(width, height)
    rule.rounded_rect(-4, height - 27, width + 4, height - 25, 0)
    canvas.paint(rule, lambda x, y: mix(TEAL_DARK, TEAL, x / width))

    # The meter: eleven bars in slots, with amber peak ticks.
    levels = [0.30, 0.46, 0.62, 0.80, 0.94, 1.0, 0.90, 0.72, 0.56, 0.40, 0.28]
    x0, floor, ceil = 22.0, height - 44.0, 30.0
    pitch, bar_w = 9.0, 6.0
    for i, level in enumerate(levels):
        bx = x0 + i * pitch
        slot = Layer(width, height)
        slot.rounded_rect(bx, ceil, bx + bar_w, floor, 2.0)
        canvas.paint(slot, lambda x, y: (34, 44, 58))
        top = floor - (floor - ceil) * level * 0.86
        bar = Layer(width, height)
        bar.rounded_rect(bx, top, bx + bar_w, floor, 2.0)
        canvas.paint(bar, lambda x, y: mix(TEAL_DARK, CYAN_LIGHT, (floor - y) / (floor - ceil)))
        peak = top - 6.0
        tick = Layer(width, height)
        tick.rounded_rect(bx, peak - 1.0, bx + bar_w, peak + 1.0, 0.8)
        canvas.paint(tick, lambda x, y: AMBER)

    # The maker's wordmark above the product name.
    text_x = 150.0
    brand = Layer(width, height)
    draw_text(brand, "NORVANE", text_x + 1, 32, 11, 1.7, tracking=4.0)
    canvas.paint(brand, lambda x, y: GREY)

    # The product name, large, with a faint shadow.
    name_h, name_s = 52.0, 8.5
    shadow = Layer(width, height)
    draw_text(shadow, "TPX-2", text_x + 2, 56 + 3, name_h, name_s, tracking=4.0)
    canvas.paint(shadow, lambda x, y: (5, 8, 12))
    name = Layer(width, height)
    draw_text(name, "TPX-2", text_x, 56, name_h, name_s, tracking=4.0)
    canvas.paint(name, lambda x, y: mix(WHITE, (196, 214, 230), (y - 56) / name_h))

    # What the program is.
    sub = Layer(width, height)
    draw_text(sub, "CONFIG UTILITY", text_x + 1, 126, 12, 2.0, tracking=3.2)
    canvas.paint(sub, lambda x, y: TEAL)

    # A sine trace running through the footer band.
    trace = Layer(width, height)
    pts = []
    for i in range(161):
        t = i / 160.0
        x = 12 + (width - 24) * t
        env = math.sin(math.pi * t)
        y = height - 13 - 6.0 * env * math.sin(2 * math.pi * t * 9)
        pts.append((x, y))
    trace.polyline(pts, 1.4)
    canvas.paint(trace, lambda x, y: mix(TEAL_DARK, TEAL, math.sin(math.pi * x / width)))
    return canvas


# ---------------------------------------------------------------------------
# File formats.


def to_bytes(v):
    return int(round(clamp01(v / 255.0) * 255.0))


def bmp24(canvas):
    """A bottom-up 24-bit BMP file of an opaque canvas."""
    row_size = (canvas.width * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(canvas.height - 1, -1, -1):
        row = bytearray()
        for x in range(canvas.width):
            r, g, b = canvas.rgb[y][x]
            row += bytes((to_bytes(b), to_bytes(g), to_bytes(r)))
        row += b"\0" * (row_size - len(row))
        pixels += row
    header = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 24, 0, len(pixels),
                         3780, 3780, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(pixels), 0, 0,
                              14 + len(header))
    return file_header + header + bytes(pixels)


def icon_image(canvas):
    """One icon image: a 32-bit BGRA DIB (height doubled) and its AND mask."""
    w, h = canvas.width, canvas.height
    xor = bytearray()
    for y in range(h - 1, -1, -1):
        for x in range(w):
            r, g, b = canvas.rgb[y][x]
            a = canvas.alpha[y][x]
            xor += bytes((to_bytes(b), to_bytes(g), to_bytes(r), to_bytes(a * 255.0)))
    mask_row = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in range(h - 1, -1, -1):
        bits = bytearray(mask_row)
        for x in range(w):
            if canvas.alpha[y][x] < 0.5:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0,
                         0)
    return header + bytes(xor) + bytes(mask)


def ico(canvases):
    images = [icon_image(c) for c in canvases]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for c, data in zip(canvases, images):
        out += struct.pack("<BBBBHHII", c.width % 256, c.height % 256, 0, 0, 1, 32, len(data),
                           offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


def write(path, data):
    # Write beside, then rename, so that a build never sees half a file.
    tmp = path + ".tmp"
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_artwork.py OUTPUT_DIR\n")
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    write(os.path.join(out, "app.ico"), ico([app_icon(s) for s in (16, 20, 24, 32, 40, 48, 64)]))
    for frame in range(4):
        write(os.path.join(out, "tray%d.ico" % (frame + 1)),
              ico([tray_icon(frame, s) for s in (16, 20, 24, 32)]))
    write(os.path.join(out, "splash.bmp"), bmp24(splash(384, 196)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
