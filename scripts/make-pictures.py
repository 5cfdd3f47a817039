#!/usr/bin/env python3
"""Draws the pictures of Plovex.exe into a folder: logo.bmp (bitmap 119, 215 x 99,
256 colours), banner.bmp (bitmap 116, 206 x 56, 16 colours, green italic lettering
on the dialog grey) and plovex.ico (icon 1, 32 x 32, 16 colours).

Everything is drawn here from a small built-in pixel font and a few shapes; the
output is the same bytes on every run.

Usage: make-pictures.py OUTPUT_FOLDER VERSION   (the release the logo shows, e.g. 1.03)
"""
import os
import struct
import sys

# The 16 colours of the standard VGA palette; 7 is the dialog grey 0xC0C0C0.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
       (0, 255, 255), (255, 255, 255)]
BLACK, DARK_GREEN, GREY, DARK_GREY, GREEN, YELLOW, WHITE = 0, 2, 7, 8, 10, 11, 15

# A 5 x 7 pixel font, only the characters the pictures use.
FONT = {
    'P': ["####.", "#...#", "#...#", "####.", "#....", "#....", "#...."],
    'C': [".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."],
    'U': ["#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."],
    'X': ["#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"],
    'R': ["####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"],
    'l': [".##..", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."],
    'o': [".....", ".....", ".###.", "#...#", "#...#", "#...#", ".###."],
    'v': [".....", ".....", "#...#", "#...#", "#...#", ".#.#.", "..#.."],
    'e': [".....", ".....", ".###.", "#...#", "#####", "#....", ".###."],
    'x': [".....", ".....", "#...#", ".#.#.", "..#..", ".#.#.", "#...#"],
    'h': ["#....", "#....", "#.##.", "##..#", "#...#", "#...#", "#...#"],
    'i': ["..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."],
    'p': [".....", "####.", "#...#", "#...#", "####.", "#....", "#...."],
    's': [".....", ".....", ".####", "#....", ".###.", "....#", "####."],
    't': [".#...", ".#...", "####.", ".#...", ".#...", ".#..#", "..##."],
    'y': [".....", ".....", "#...#", "#...#", ".####", "....#", ".###."],
    '1': ["..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."],
    '0': [".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."],
    '3': ["####.", "....#", "....#", ".###.", "....#", "....#", "####."],
    '9': [".###.", "#...#", "#...#", ".####", "....#", "....#", ".###."],
    '5': ["#####", "#....", "####.", "....#", "....#", "#...#", ".###."],
    '.': [".....", ".....", ".....", ".....", ".....", ".##..", ".##.."],
    ' ': [".....", ".....", ".....", ".....", ".....", ".....", "....."],
}


class Canvas:
    def __init__(self, width, height, colour):
        self.width, self.height = width, height
        self.rows = [[colour] * width for _ in range(height)]

    def put(self, x, y, colour):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.rows[y][x] = colour

    def fill(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1):
            for x in range(x0, x1):
                self.put(x, y, colour)

    def text(self, x, y, string, scale, colour, slant=0):
        """Writes `string` with its top left at x, y, each font pixel `scale` pixels
        square; `slant` > 0 shears it to the right by one pixel every `slant` rows
        above the baseline, for italic."""
        height = 7 * scale
        for index, char in enumerate(string):
            glyph = FONT[char]
            left = x + index * 6 * scale
            for gy in range(height):
                shift = (height - 1 - gy) // slant if slant else 0
                row = glyph[gy // scale]
                for gx in range(5 * scale):
                    if row[gx // scale] == '#':
                        self.put(left + gx + shift, y + gy, colour)

    @staticmethod
    def text_width(string, scale):
        return len(string) * 6 * scale - scale


def bmp_bytes(canvas, bits, palette):
    """A Windows bitmap file: BITMAPFILEHEADER, BITMAPINFOHEADER, palette, rows bottom up."""
    stride = ((canvas.width * bits + 31) // 32) * 4
    pixels = bytearray()
    for row in reversed(canvas.rows):
        line = bytearray()
        if bits == 8:
            line.extend(row)
        else:  # 4 bits: two pixels a byte, the left one in the high nibble
            for x in range(0, canvas.width, 2):
                right = row[x + 1] if x + 1 < canvas.width else 0
                line.append((row[x] << 4) | right)
        line.extend(b'\0' * (stride - len(line)))
        pixels.extend(line)
    colours = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in palette)
    info = struct.pack('<IiiHHIIiiII', 40, canvas.width, canvas.height, 1, bits, 0, len(pixels), 0, 0,
                       len(palette), 0)
    offset = 14 + len(info) + len(colours)
    header = struct.pack('<2sIHHI', b'BM', offset + len(pixels), 0, 0, offset)
    return header + info + colours + bytes(pixels)


def ico_bytes(canvas, transparent):
    """An icon file with one 32 x 32, 16-colour image; `transparent` pixels are
    masked out."""
    size = canvas.width
    xor = bmp_bytes(canvas, 4, VGA)[14 + 40 + 64:]
    mask = bytearray()  # one bit a pixel, rows bottom up, 1 for transparent
    for row in reversed(transparent):
        bits = 0
        for masked in row:
            bits = (bits << 1) | (1 if masked else 0)
        mask.extend(struct.pack('>I', bits))
    colours = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in VGA)
    info = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = info + colours + xor + bytes(mask)
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(image), 22)
    return directory + image


def draw_banner():
    banner = Canvas(206, 56, GREY)
    lines = [("Plovex", 3, 7), ("Chipset Utility", 2, 35)]
    for string, scale, top in lines:
        left = (banner.width - Canvas.text_width(string, scale)) // 2 - 3
        banner.text(left + 1, top + 1, string, scale, DARK_GREY, slant=3)  # shadow
        banner.text(left, top, string, scale, DARK_GREEN, slant=3)
    return banner


def draw_logo(version):
    # Palette: 0-63 a blue gradient for the sky, then a few fixed colours.
    palette = [(8 + i, 24 + i * 2, 96 + i * 2) for i in range(64)]
    fixed = {'board': (0, 96, 48), 'board_dark': (0, 64, 32), 'trace': (200, 168, 48), 'chip': (24, 24, 24),
             'pin': (200, 200, 200), 'label': (255, 255, 255), 'dot': (96, 96, 96), 'green': (0, 200, 0)}
    index = {}
    for name, colour in fixed.items():
        index[name] = len(palette)
        palette.append(colour)
    palette.extend([(0, 0, 0)] * (256 - len(palette)))

    logo = Canvas(215, 99, 0)
    for y in range(logo.height):
        logo.fill(0, y, logo.width, y + 1, (y * 63) // (logo.height - 1))
    # A circuit board with traces.
    logo.fill(10, 12, 205, 92, index['board_dark'])
    logo.fill(12, 14, 203, 90, index['board'])
    for k in range(6):
        y = 22 + k * 12
        logo.fill(16, y, 60, y + 2, index['trace'])
        logo.fill(156, y, 199, y + 2, index['trace'])
        logo.fill(58 + (k % 2) * 2, y, 62 + (k % 2) * 2, y + 4, index['trace'])
    # The chip: a dark body with pins along both long sides and its lettering.
    logo.fill(66, 26, 150, 78, index['chip'])
    for x in range(70, 148, 6):
        logo.fill(x, 20, x + 3, 26, index['pin'])
        logo.fill(x, 78, x + 3, 84, index['pin'])
    logo.fill(70, 30, 74, 34, index['dot'])
    logo.text(80, 36, "PX", 2, index['label'])
    logo.text(110, 44, "95", 1, index['green'])
    logo.text(78, 60, "R" + version, 1, index['label'])
    return logo, palette


def draw_icon():
    icon = Canvas(32, 32, BLACK)
    clear = [[True] * 32 for _ in range(32)]

    def paint(x0, y0, x1, y1, colour):
        icon.fill(x0, y0, x1, y1, colour)
        for y in range(y0, y1):
            for x in range(x0, x1):
                clear[y][x] = False

    for y in range(6, 26, 4):
        paint(2, y, 6, y + 2, GREY)
        paint(26, y, 30, y + 2, GREY)
    paint(6, 3, 26, 29, BLACK)
    paint(7, 4, 25, 28, DARK_GREY)
    paint(8, 5, 24, 27, BLACK)
    glyph = FONT['P']
    for gy in range(14):
        for gx in range(10):
            if glyph[gy // 2][gx // 2] == '#':
                icon.put(11 + gx, 9 + gy, GREEN)
    icon.put(9, 6, WHITE)
    return icon, clear


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    folder, version = sys.argv[1:]
    unknown = sorted(set(version) - set(FONT))
    if unknown:
        sys.exit("make-pictures.py: the font has no %s for the version %s" % (" ".join(unknown), version))
    os.makedirs(folder, exist_ok=True)
    logo, palette = draw_logo(version)
    icon, clear = draw_icon()
    outputs = {
        'logo.bmp': bmp_bytes(logo, 8, palette),
        'banner.bmp': bmp_bytes(draw_banner(), 4, VGA),
        'plovex.ico': ico_bytes(icon, clear),
    }
    for name, data in outputs.items():
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(data)


if __name__ == '__main__':
    main()
