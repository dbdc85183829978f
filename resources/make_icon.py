#!/usr/bin/env python3
"""Draws Vinzal's icon, an address card on a ring binder, at every size the desktop asks for, and
writes all of them from this one drawing:

  resources/vinzal.ico                           the program's own icon (window, Image1): 16 to 256
                                                 pixels; the 32-pixel picture is the classic one,
                                                 16 colours with a 1-bit transparency mask
  packaging/icons/hicolor/NxN/apps/*.png         16, 32, 48, 64, 128, 256 pixels, for the menu
  packaging/icons/hicolor/scalable/apps/*.svg    the same drawing as a vector

16 and 32 pixels are drawn pixel by pixel in the 16 standard colours; from 48 pixels up the shapes
are laid on the pixel grid of that size (edges on whole pixels, strokes a whole number of pixels
wide) and the round parts smoothed. Only the standard library is used. The outputs are kept in the
repository; a test runs this script into a scratch folder and compares, so run it again after
changing the picture:  python3 resources/make_icon.py"""
import os
import struct
import sys
import zlib

# The 16 standard colours, as (red, green, blue).
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
           (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
           (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, GREEN, PURPLE, TEAL, SILVER, GRAY, YELLOW, AQUA, WHITE = 0, 2, 5, 6, 7, 8, 11, 14, 15
SIZES = [16, 32, 48, 64, 128, 256]
NAME = 'it.vinzal.Vinzal'


def grid(size):
    return [[None] * size for _ in range(size)]  # None is transparent


def rect(pixels, x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            pixels[y][x] = colour


def draw32():
    """The classic picture, pixel by pixel."""
    pixels = grid(32)
    # Shadow, then the card with its teal edge and rounded corners.
    rect(pixels, 3, 9, 31, 30, GRAY)
    rect(pixels, 1, 7, 29, 28, TEAL)
    rect(pixels, 2, 8, 28, 27, WHITE)
    for x, y in [(1, 7), (29, 7), (1, 28), (29, 28)]:
        pixels[y][x] = None
    # The heading band in the program's cyan.
    rect(pixels, 2, 8, 28, 11, AQUA)
    # Two binder rings through the top edge.
    for cx in (8, 22):
        rect(pixels, cx - 1, 3, cx + 1, 3, SILVER)
        rect(pixels, cx - 2, 4, cx - 2, 9, SILVER)
        rect(pixels, cx + 2, 4, cx + 2, 9, SILVER)
    # A person: head and shoulders.
    for y in range(12, 21):
        for x in range(4, 13):
            if (x - 8) ** 2 + (y - 16) ** 2 <= 11:
                pixels[y][x] = PURPLE
    for y in range(21, 27):
        for x in range(3, 14):
            if ((x - 8) / 5.5) ** 2 + ((y - 27) / 6) ** 2 <= 1:
                pixels[y][x] = PURPLE
    # Lines of writing.
    for y, length in [(15, 11), (18, 9), (21, 11), (24, 7)]:
        rect(pixels, 16, y, 15 + length, y, GREEN)
    # A yellow tab on the heading band, as on an index card.
    rect(pixels, 24, 9, 27, 10, YELLOW)
    return pixels


def draw16():
    """The same card at 16 pixels: one ring pair, a smaller person, three lines of writing."""
    pixels = grid(16)
    rect(pixels, 2, 5, 15, 15, GRAY)
    rect(pixels, 0, 4, 14, 14, TEAL)
    rect(pixels, 1, 5, 13, 13, WHITE)
    for x, y in [(0, 4), (14, 4), (0, 14), (14, 14)]:
        pixels[y][x] = None
    rect(pixels, 1, 5, 13, 6, AQUA)
    for cx in (4, 11):
        rect(pixels, cx, 1, cx, 1, SILVER)
        rect(pixels, cx - 1, 2, cx - 1, 5, SILVER)
        rect(pixels, cx + 1, 2, cx + 1, 5, SILVER)
    rect(pixels, 3, 8, 5, 9, PURPLE)
    rect(pixels, 4, 7, 4, 7, PURPLE)
    rect(pixels, 3, 11, 5, 11, PURPLE)
    rect(pixels, 2, 12, 6, 13, PURPLE)
    for y, length in [(8, 5), (10, 4), (12, 5)]:
        rect(pixels, 8, y, 7 + length, y, GREEN)
    rect(pixels, 12, 5, 12, 6, YELLOW)
    return pixels


# The drawing as shapes on a 32-unit square, for 48 pixels and up and for the SVG. A rectangle is
# given as the pixel cells it covers at 32 pixels, so that both pictures agree.
def shapes():
    out = [('rect', (3, 9, 32, 31), GRAY, 1.2),
           ('rect', (1, 7, 30, 29), TEAL, 1.2),
           ('rect', (2, 8, 29, 28), WHITE, 0.6),
           ('rect', (2, 8, 29, 12), AQUA, 0.6)]
    for cx in (8.5, 22.5):
        out.append(('ring', (cx - 2, 3, cx + 2, 10), SILVER, 1.0))
    out.append(('circle', (8.5, 16.5, 3.4), PURPLE, 0))
    out.append(('shoulders', (8.5, 27.6, 5.6, 6.0, 21, 28), PURPLE, 0))
    for row, length in enumerate([11, 9, 11, 7]):
        out.append(('line', (16, 15, 16 + length, row), GREEN, 0.5))
    out.append(('rect', (24, 9, 28, 11), YELLOW, 0.3))
    return out


def snap(v, scale):
    return int(v * scale + 0.5)


def snap_box(geometry, scale):
    """A box laid on whole pixels: its corner rounded, its width and height a whole number of pixels
    (at least one), so that equal strokes stay equal at every size."""
    x0, y0, x1, y1 = geometry
    left, top = snap(x0, scale), snap(y0, scale)
    return left, top, left + max(1, snap(x1 - x0, scale)), top + max(1, snap(y1 - y0, scale))


def inside_round_rect(px, py, x0, y0, x1, y1, r):
    if px < x0 or px >= x1 or py < y0 or py >= y1:
        return False
    cx = min(max(px, x0 + r), x1 - r)
    cy = min(max(py, y0 + r), y1 - r)
    return (px - cx) ** 2 + (py - cy) ** 2 <= r * r


def coverage_test(shape, scale):
    """A function (x, y in pixels of this size) -> inside, with edges laid on whole pixels."""
    kind, geometry, _, radius = shape
    if kind == 'line':  # lines of writing, 3 units apart: evenly spaced at every size
        x0, top, x1, row = geometry
        x0, y0, x1, y1 = snap_box((x0, top, x1, top + 1), scale)
        y0, y1 = y0 + row * snap(3, scale), y1 + row * snap(3, scale)
        r = radius * scale
        return lambda x, y: inside_round_rect(x, y, x0, y0, x1, y1, r)
    if kind == 'rect':
        x0, y0, x1, y1 = snap_box(geometry, scale)
        r = radius * scale
        return lambda x, y: inside_round_rect(x, y, x0, y0, x1, y1, r)
    if kind == 'ring':
        x0, y0, x1, y1 = snap_box(geometry, scale)
        width = max(1, round(radius * scale))
        r = (x1 - x0) / 2
        return lambda x, y: (inside_round_rect(x, y, x0, y0, x1, y1 + r, r) and
                             not inside_round_rect(x, y, x0 + width, y0 + width, x1 - width, y1 + r, r - width))
    if kind == 'circle':
        cx, cy, r = (v * scale for v in geometry)
        return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    cx, cy, rx, ry, top, bottom = geometry
    cx, cy, rx, ry = cx * scale, cy * scale, rx * scale, ry * scale
    top, bottom = snap(top, scale), snap(bottom, scale)
    return lambda x, y: top <= y < bottom and ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1


def draw_smooth(size):
    """RGBA rows, each shape smoothed by 4 x 4 samples per pixel."""
    scale = size / 32
    tests = [(coverage_test(s, scale), PALETTE[s[2]]) for s in reversed(shapes())]  # topmost first
    samples = [(i + 0.5) / 4 for i in range(4)]
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            r = g = b = a = 0.0
            for sy in samples:
                for sx in samples:
                    colour = next((c for test, c in tests if test(x + sx, y + sy)), None)
                    if colour:
                        r += colour[0]; g += colour[1]; b += colour[2]; a += 1
            if a:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / 16)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def rgba_of(pixels):
    return [[(0, 0, 0, 0) if p is None else PALETTE[p] + (255,) for p in row] for row in pixels]


def png(rows):
    size = len(rows)
    raw = b''.join(b'\0' + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b''))


def mask_of(transparent_rows, size):
    stride = ((size + 31) // 32) * 4
    out = []
    for row in reversed(transparent_rows):  # bitmaps are stored bottom-up
        bits = 0
        for t in row:
            bits = (bits << 1) | (1 if t else 0)
        out.append((bits << (stride * 8 - size)).to_bytes(stride, 'big'))
    return b''.join(out)


def ico_image_16_colours(pixels):
    size = len(pixels)
    xor = []
    for row in reversed(pixels):
        nibbles = [0 if p is None else p for p in row]
        line = bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, size, 2))
        xor.append(line + b'\0' * (-len(line) % 4))
    xor = b''.join(xor)
    mask = mask_of([[p is None for p in row] for row in pixels], size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    return 4, 16, header + palette + xor + mask


def ico_image_true_colour(rows):
    size = len(rows)
    xor = b''.join(bytes(v for r, g, b, a in row for v in (b, g, r, a)) for row in reversed(rows))
    mask = mask_of([[px[3] == 0 for px in row] for row in rows], size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return 32, 0, header + xor + mask


def ico(images):
    """images: (size, bits, colours, data) in order."""
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b''
    for size, bits, colours, data in images:
        directory += struct.pack('<BBBBHHII', size % 256, size % 256, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
        body += data
    return directory + body


def svg():
    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 32 32">',
           '  <title>Vinzal</title>',
           '  <clipPath id="card"><rect x="2" y="8" width="27" height="20"/></clipPath>']
    for kind, geometry, colour, radius in shapes():
        fill = '#%02x%02x%02x' % PALETTE[colour]
        if kind in ('rect', 'line'):
            x0, y0, x1, y1 = geometry if kind == 'rect' else (geometry[0], geometry[1] + 3 * geometry[3],
                                                              geometry[2], geometry[1] + 3 * geometry[3] + 1)
            out.append(f'  <rect x="{x0}" y="{y0}" width="{x1 - x0}" height="{y1 - y0}" rx="{radius}" '
                       f'fill="{fill}"/>')
        elif kind == 'ring':
            x0, y0, x1, y1 = geometry
            w = radius
            out.append(f'  <path d="M {x0 + w / 2} {y1} V {y0 + (x1 - x0) / 2} A {(x1 - x0 - w) / 2} '
                       f'{(x1 - x0 - w) / 2} 0 0 1 {x1 - w / 2} {y0 + (x1 - x0) / 2} V {y1}" fill="none" '
                       f'stroke="{fill}" stroke-width="{w}"/>')
        elif kind == 'circle':
            cx, cy, r = geometry
            out.append(f'  <circle cx="{cx}" cy="{cy}" r="{r}" fill="{fill}"/>')
        else:
            cx, cy, rx, ry, top, bottom = geometry
            out.append(f'  <ellipse cx="{cx}" cy="{cy}" rx="{rx}" ry="{ry}" fill="{fill}" '
                       f'clip-path="url(#card)"/>')
    out.append('</svg>')
    return '\n'.join(out) + '\n'


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(here)
    pictures = {}
    for size in SIZES:
        if size == 16:
            pictures[size] = ('palette', draw16())
        elif size == 32:
            pictures[size] = ('palette', draw32())
        else:
            pictures[size] = ('smooth', draw_smooth(size))

    images = []
    for size in SIZES:
        kind, picture = pictures[size]
        bits, colours, data = (ico_image_16_colours(picture) if kind == 'palette'
                               else ico_image_true_colour(picture))
        images.append((size, bits, colours, data))
        folder = os.path.join(root, 'packaging', 'icons', 'hicolor', f'{size}x{size}', 'apps')
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, NAME + '.png'), 'wb') as out:
            out.write(png(rgba_of(picture) if kind == 'palette' else picture))
    # The 32-pixel picture first: it is the one the program shows in its window.
    images.sort(key=lambda image: (image[0] != 32, image[0]))
    os.makedirs(os.path.join(root, 'resources'), exist_ok=True)
    with open(os.path.join(root, 'resources', 'vinzal.ico'), 'wb') as out:
        out.write(ico(images))
    folder = os.path.join(root, 'packaging', 'icons', 'hicolor', 'scalable', 'apps')
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, NAME + '.svg'), 'w', encoding='utf-8') as out:
        out.write(svg())


if __name__ == '__main__':
    main()
