#!/usr/bin/env python3
"""Draws the application icon and writes it as a Windows .ico file.

The artwork is two arrows chasing each other round a ring, white on a blue
disc, on a transparent background. Every size is drawn from the same shapes
with signed distance functions, so edges are anti-aliased at any size without
a raster library. The 256-pixel image goes into the .ico as PNG, the smaller
ones as 32-bit BGRA bitmaps with an AND mask, which is what older shells read.

Usage: make_icon.py OUTPUT.ico
"""

import math
import struct
import sys
import zlib

SIZES = (256, 96, 48, 32, 24, 16)
PNG_MIN_SIZE = 256

# Colours as (r, g, b) in 0..1.
DISC_TOP = (0.29, 0.66, 0.94)
DISC_BOTTOM = (0.08, 0.33, 0.66)
RIM = (0.05, 0.22, 0.47)
GLYPH = (1.0, 1.0, 1.0)

# Geometry in units of the icon's width, origin at the centre, y pointing up.
DISC_RADIUS = 0.47
RIM_WIDTH = 0.025
RING_RADIUS = 0.25
RING_HALF_WIDTH = 0.045
HEAD_LENGTH = 0.15
HEAD_HALF_WIDTH = 0.11
# Each arrow runs clockwise from its tail to its head; angles in degrees.
ARROWS = ((165.0, 35.0), (345.0, 215.0))


def _segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = min(1.0, max(0.0, t))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def _triangle_distance(px, py, tri):
    """Signed distance to a triangle: negative inside."""
    (ax, ay), (bx, by), (cx, cy) = tri
    d = min(_segment_distance(px, py, ax, ay, bx, by),
            _segment_distance(px, py, bx, by, cx, cy),
            _segment_distance(px, py, cx, cy, ax, ay))
    s1 = (bx - ax) * (py - ay) - (by - ay) * (px - ax)
    s2 = (cx - bx) * (py - by) - (cy - by) * (px - bx)
    s3 = (ax - cx) * (py - cy) - (ay - cy) * (px - cx)
    inside = (s1 >= 0 and s2 >= 0 and s3 >= 0) or (s1 <= 0 and s2 <= 0 and s3 <= 0)
    return -d if inside else d


def _angle_in_span(angle, start, end):
    """Whether angle lies on the clockwise run from start to end."""
    return (start - angle) % 360.0 <= (start - end) % 360.0


class _Arrow:
    def __init__(self, tail_deg, head_deg, half_width):
        self.tail = tail_deg
        self.half_width = half_width
        # The shaft's round cap at the head's base is hidden inside the head.
        self.shaft_end = head_deg
        self.ends = [self._point(tail_deg), self._point(head_deg)]
        h = math.radians(head_deg)
        bx, by = RING_RADIUS * math.cos(h), RING_RADIUS * math.sin(h)
        # Clockwise tangent and outward normal at the head's base.
        tx, ty = math.sin(h), -math.cos(h)
        nx, ny = math.cos(h), math.sin(h)
        self.head = ((bx + tx * HEAD_LENGTH, by + ty * HEAD_LENGTH),
                     (bx + nx * HEAD_HALF_WIDTH, by + ny * HEAD_HALF_WIDTH),
                     (bx - nx * HEAD_HALF_WIDTH, by - ny * HEAD_HALF_WIDTH))

    @staticmethod
    def _point(deg):
        a = math.radians(deg)
        return RING_RADIUS * math.cos(a), RING_RADIUS * math.sin(a)

    def distance(self, x, y):
        angle = math.degrees(math.atan2(y, x)) % 360.0
        if _angle_in_span(angle, self.tail, self.shaft_end):
            shaft = abs(math.hypot(x, y) - RING_RADIUS)
        else:
            shaft = min(math.hypot(x - ex, y - ey) for ex, ey in self.ends)
        return min(shaft - self.half_width, _triangle_distance(x, y, self.head))


def _coverage(distance, pixel):
    return min(1.0, max(0.0, 0.5 - distance / pixel))


def _mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def render(size):
    """Returns size*size straight-alpha RGBA pixels, top row first, as bytes."""
    pixel = 1.0 / size
    # Small icons are read at a glance: the arrows fill more of the disc there,
    # and their strokes never fall below a pixel and smear.
    scale = 1.0 if size > 32 else 1.12
    half_width = max(RING_HALF_WIDTH, 0.6 * pixel / scale)
    arrows = [_Arrow(t, h, half_width) for t, h in ARROWS]
    out = bytearray()
    for row in range(size):
        y = 0.5 - (row + 0.5) * pixel
        for col in range(size):
            x = (col + 0.5) * pixel - 0.5
            disc = math.hypot(x, y) - DISC_RADIUS
            alpha = _coverage(disc, pixel)
            if alpha == 0.0:
                out += b"\0\0\0\0"
                continue
            colour = _mix(DISC_BOTTOM, DISC_TOP, min(1.0, max(0.0, y / DISC_RADIUS * 0.5 + 0.5)))
            colour = _mix(colour, RIM, _coverage(-(disc + max(RIM_WIDTH, pixel)), pixel))
            glyph = _coverage(scale * min(a.distance(x / scale, y / scale) for a in arrows), pixel)
            colour = _mix(colour, GLYPH, glyph)
            out += bytes(round(c * 255) for c in colour) + bytes((round(alpha * 255),))
    return bytes(out)


def _png_chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def encode_png(size, rgba):
    stride = size * 4
    raw = b"".join(b"\0" + rgba[r * stride:(r + 1) * stride] for r in range(size))
    return (b"\x89PNG\r\n\x1a\n" +
            _png_chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            _png_chunk(b"IDAT", zlib.compress(raw, 9)) +
            _png_chunk(b"IEND", b""))


def encode_dib(size, rgba):
    """BITMAPINFOHEADER, bottom-up BGRA rows, then the 1-bit AND mask."""
    mask_stride = (size + 31) // 32 * 4
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0,
                         size * size * 4 + mask_stride * size, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    for row in reversed(range(size)):
        line = rgba[row * size * 4:(row + 1) * size * 4]
        bits = bytearray(mask_stride)
        for col in range(size):
            r, g, b, a = line[col * 4:col * 4 + 4]
            colour += bytes((b, g, r, a))
            # Where only the mask is honoured, mostly-transparent pixels vanish.
            if a < 128:
                bits[col // 8] |= 0x80 >> (col % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def encode_ico(images):
    """images: list of (size, payload); entries follow the list's order."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, payload in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(payload), offset)
        offset += len(payload)
    return out + b"".join(payload for _, payload in images)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: make_icon.py OUTPUT.ico\n")
        return 2
    images = []
    for size in SIZES:
        rgba = render(size)
        encode = encode_png if size >= PNG_MIN_SIZE else encode_dib
        images.append((size, encode(size, rgba)))
    with open(argv[1], "wb") as f:
        f.write(encode_ico(images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
