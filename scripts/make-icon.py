#!/usr/bin/env python3
"""Draws the program icon and writes it as a .ico file.

The picture is a close-up of a green circuit board with a pin header along its
top edge, copper traces, a chip and a memory card plugged in at the lower
right. It is described below as shapes on a 48 x 48 grid and rendered for each
icon size with 4 x 4 supersampling, then mapped onto a fixed 256-colour
palette: four images (48, 32, 24, 16 pixels), 8 bits per pixel.

Usage: make-icon.py OUTPUT.ico
"""
import struct
import sys

SIZES = (48, 32, 24, 16)
SAMPLES = 4

# Colours (R, G, B).
BOARD = (22, 110, 48)
BOARD_EDGE = (12, 70, 30)
COPPER = (214, 170, 60)
SOLDER_MASK_TRACE = (58, 150, 80)
HEADER_BODY = (28, 28, 32)
PIN = (236, 200, 90)
CHIP = (40, 40, 46)
CHIP_MARK = (150, 150, 156)
CARD = (40, 72, 150)
CARD_LABEL = (235, 235, 240)
CARD_CONTACT = (230, 190, 80)
HOLE = (250, 240, 200)


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def rounded(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def card(x0, y0, x1, y1, notch):
    # A memory card: a rectangle with its upper right corner cut off.
    def inside(x, y):
        return x0 <= x < x1 and y0 <= y < y1 and (x1 - x) + (y - y0) >= notch
    return inside


def segment(ax, ay, bx, by, width):
    def inside(x, y):
        dx, dy = bx - ax, by - ay
        t = ((x - ax) * dx + (y - ay) * dy) / float(dx * dx + dy * dy)
        t = min(max(t, 0.0), 1.0)
        px, py = ax + t * dx, ay + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= (width / 2.0) ** 2
    return inside


def artwork():
    """Shapes in painting order: (test, colour)."""
    shapes = [
        (rounded(1, 5, 47, 46, 4), BOARD_EDGE),
        (rounded(2.5, 6.5, 45.5, 44.5, 3), BOARD),
    ]
    # Copper traces from the header down to the chip and the card.
    for i, x in enumerate((9, 14, 19, 24)):
        shapes.append((segment(x, 13, x, 20 + i, 1.6), SOLDER_MASK_TRACE))
        shapes.append((segment(x, 20 + i, 30, 20 + i, 1.6), SOLDER_MASK_TRACE))
    shapes.append((segment(8, 38, 20, 38, 1.6), SOLDER_MASK_TRACE))
    shapes.append((segment(20, 38, 26, 32, 1.6), SOLDER_MASK_TRACE))
    # Mounting holes.
    shapes.append((circle(6, 41, 2.2), HOLE))
    shapes.append((circle(6, 41, 1.1), BOARD_EDGE))
    shapes.append((circle(42, 10, 2.2), HOLE))
    shapes.append((circle(42, 10, 1.1), BOARD_EDGE))
    # Pin header: a black strip with a row of gold pins.
    shapes.append((rect(5, 2, 32, 13), HEADER_BODY))
    for x in (7, 12, 17, 22, 27):
        shapes.append((rect(x, 1, x + 3, 11), PIN))
    # A chip on the left.
    shapes.append((rect(5, 25, 17, 35), CHIP))
    for y in (26, 29, 32):
        shapes.append((rect(3.5, y, 5, y + 1.5), COPPER))
        shapes.append((rect(17, y, 18.5, y + 1.5), COPPER))
    shapes.append((circle(7.5, 27.5, 1.0), CHIP_MARK))
    # The memory card at the lower right.
    shapes.append((card(25, 20, 45, 47, 6), CARD))
    shapes.append((rect(28, 30, 42, 40), CARD_LABEL))
    for x in (27, 31, 35, 39):
        shapes.append((rect(x, 22, x + 2.5, 27), CARD_CONTACT))
    return shapes


def palette():
    """6 x 7 x 6 colour cube and four greys: 256 entries."""
    colours = []
    for r in range(6):
        for g in range(7):
            for b in range(6):
                colours.append((r * 51, g * 255 // 6, b * 51))
    colours += [(64, 64, 64), (128, 128, 128), (192, 192, 192), (224, 224, 224)]
    assert len(colours) == 256
    return colours


def nearest(colour, colours, cache):
    hit = cache.get(colour)
    if hit is None:
        hit = min(range(len(colours)),
                  key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, colours[i])))
        cache[colour] = hit
    return hit


def render(size, shapes, colours):
    """Rows top-down of (palette index or None for transparent)."""
    scale = 48.0 / size
    cache = {}
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            total = [0, 0, 0]
            covered = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) * scale
                    y = (py + (sy + 0.5) / SAMPLES) * scale
                    colour = None
                    for inside, fill in shapes:
                        if inside(x, y):
                            colour = fill
                    if colour is not None:
                        covered += 1
                        total = [t + c for t, c in zip(total, colour)]
            if covered * 2 < SAMPLES * SAMPLES:
                row.append(None)
            else:
                mean = tuple(int(round(t / covered)) for t in total)
                row.append(nearest(mean, colours, cache))
        rows.append(row)
    return rows


def icon_image(size, rows, colours):
    """One image of the .ico: header, palette, colour rows, mask rows."""
    xor_stride = (size + 3) // 4 * 4
    and_stride = ((size + 31) // 32) * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 8, 0,
                         (xor_stride + and_stride) * size, 0, 0, 256, 0)
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in colours)
    xor = bytearray()
    mask = bytearray()
    for row in reversed(rows):  # bitmaps run bottom-up
        line = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, index in enumerate(row):
            if index is None:
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                line[x] = index
        xor += line
        mask += bits
    return header + table + bytes(xor) + bytes(mask)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    colours = palette()
    shapes = artwork()
    images = [icon_image(size, render(size, shapes, colours), colours) for size in SIZES]
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b''
    for size, data in zip(SIZES, images):
        # Width and height 0 would mean 256; a colour count of 0 means 256 colours.
        entries += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 8, len(data), offset)
        offset += len(data)
    with open(sys.argv[1], 'wb') as out:
        out.write(directory + entries + b''.join(images))


if __name__ == '__main__':
    main()
