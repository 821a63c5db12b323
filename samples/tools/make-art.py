#!/usr/bin/env python3
"""Regenerates the sample product's small pictures (committed; run by hand).

config/icons/configN.ico (N = 0..6): 32x32 32-bit icons, one colour each, so
the icon index a shortcut uses can be told apart by eye.
drivers/skin103.bmp, drivers/skin104.bmp: 24-bit bitmaps for skin.dll.
files/prismic/classic.zip, files/prismic/ocean.zip: two skin packages for the
prismic skin driver (skin.ini and a preview bitmap; fixed timestamps, so the
output is the same on every run).
"""
import os
import struct
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

COLOURS = [(0xD0, 0x30, 0x30), (0x30, 0x90, 0x30), (0x30, 0x50, 0xD0),
           (0xE0, 0xA0, 0x20), (0x80, 0x30, 0xA0), (0x20, 0xA0, 0xA0),
           (0x60, 0x60, 0x60)]


def icon(colour, index, size=32):
    # BITMAPINFOHEADER with double height (XOR + AND masks), 32 bpp BGRA.
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for y in range(size):
        for x in range(size):
            border = x < 2 or y < 2 or x >= size - 2 or y >= size - 2
            # index + 1 light bars near the bottom mark the icon's position
            bar = (y >= 4 and y < 8 and x >= 4 and (x - 4) // 4 <= index and (x - 4) % 4 < 3)
            r, g, b = (255, 255, 255) if (border or bar) else colour
            pixels += bytes((b, g, r, 255))
    mask = bytes(((size + 31) // 32) * 4 * size)
    image = header + bytes(pixels) + mask
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(image), 6 + 16)
    return directory + entry + image


def bitmap(colour, width=48, height=24):
    row = ((width * 3 + 3) // 4) * 4
    pixels = bytearray()
    for y in range(height):
        line = bytearray()
        for x in range(width):
            stripe = (x // 6) % 2 == 0
            r, g, b = colour if stripe else (0xF0, 0xF0, 0xF0)
            line += bytes((b, g, r))
        line += bytes(row - len(line))
        pixels += line
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return head + info + bytes(pixels)


def main():
    for i, c in enumerate(COLOURS):
        with open(os.path.join(ROOT, 'config', 'icons', 'config%d.ico' % i), 'wb') as f:
            f.write(icon(c, i))
    with open(os.path.join(ROOT, 'drivers', 'skin103.bmp'), 'wb') as f:
        f.write(bitmap((0x30, 0x50, 0xD0)))
    with open(os.path.join(ROOT, 'drivers', 'skin104.bmp'), 'wb') as f:
        f.write(bitmap((0xD0, 0x30, 0x30)))
    skins = [('classic', '经典', (0x60, 0x60, 0x60)), ('ocean', '海洋', (0x20, 0x70, 0xC0))]
    for name, title, colour in skins:
        path = os.path.join(ROOT, 'files', 'prismic', name + '.zip')
        with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
            ini = '[skin]\r\nname=%s\r\ntitle=%s\r\nversion=1.0.0.1\r\npreview=preview.bmp\r\n' % (name, title)
            z.writestr(zipfile.ZipInfo('skin.ini', (2012, 7, 6, 12, 0, 0)), ini.encode('utf-8'),
                       zipfile.ZIP_DEFLATED)
            z.writestr(zipfile.ZipInfo('preview.bmp', (2012, 7, 6, 12, 0, 0)), bitmap(colour),
                       zipfile.ZIP_DEFLATED)


if __name__ == '__main__':
    main()
