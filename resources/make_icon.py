#!/usr/bin/env python3
"""Draws Vinzal's icon, an address card on a ring binder, and writes it as vinzal.ico:
32 x 32 pixels, 16 colours (4 bits per pixel) with a 1-bit transparency mask.
Run it again only to change the picture; the .ico is kept in the repository."""
import struct

# The 16 standard colours, as (red, green, blue).
PALETTE = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
           (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
           (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, GREEN, PURPLE, TEAL, SILVER, GRAY, YELLOW, AQUA, WHITE = 0, 2, 5, 6, 7, 8, 11, 14, 15
SIZE = 32
pixels = [[None] * SIZE for _ in range(SIZE)]  # None is transparent


def rect(x0, y0, x1, y1, colour):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            pixels[y][x] = colour


# Shadow, then the card with its teal edge and rounded corners.
rect(3, 9, 31, 30, GRAY)
rect(1, 7, 29, 28, TEAL)
rect(2, 8, 28, 27, WHITE)
for x, y in [(1, 7), (29, 7), (1, 28), (29, 28)]:
    pixels[y][x] = None
# The heading band in the program's cyan.
rect(2, 8, 28, 11, AQUA)
# Two binder rings through the top edge.
for cx in (8, 22):
    rect(cx - 1, 3, cx + 1, 3, SILVER)
    rect(cx - 2, 4, cx - 2, 9, SILVER)
    rect(cx + 2, 4, cx + 2, 9, SILVER)
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
    rect(16, y, 15 + length, y, GREEN)
# A yellow tab on the heading band, as on an index card.
rect(24, 9, 27, 10, YELLOW)

index_rows = []
mask_rows = []
for row in reversed(pixels):  # bitmaps are stored bottom-up
    nibbles = [0 if p is None else p for p in row]
    index_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
    bits = 0
    for p in row:
        bits = (bits << 1) | (1 if p is None else 0)
    mask_rows.append(struct.pack('>I', bits))
xor = b''.join(index_rows)
mask = b''.join(mask_rows)
header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
image = header + palette + xor + mask
directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(image), 22)
with open('vinzal.ico', 'wb') as out:
    out.write(directory + image)
