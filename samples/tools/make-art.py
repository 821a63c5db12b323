#!/usr/bin/env python3
"""Regenerates the sample product's small pictures (committed; run by hand).

config/icons/configN.ico (N = 0..6): 32x32 32-bit icons, one colour each, so
the icon index a shortcut uses can be told apart by eye.
drivers/skin103.bmp, drivers/skin104.bmp: 24-bit bitmaps for skin.dll.
files/prismic/classic.zip, files/prismic/ocean.zip: two skin packages for the
prismic skin driver (skin.ini and a preview bitmap; fixed timestamps, so the
output is the same on every run).
skins/Alpha.zip, skins/Beta.zip with Alpha.png (120x60, opaque RGB) and
Beta.png (100x80 RGBA: a disc on transparent corners with a half-transparent
band): the skin packages the sample's update server offers
(klpack update-tree --skins samples/skins). `make-art.py skins` writes only
these.
"""
import os
import struct
import sys
import zipfile
import zlib

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


def png(width, height, pixel, alpha):
    """pixel(x, y) -> (r, g, b, a); colour type 6 when alpha, else 2."""
    raw = bytearray()
    for y in range(height):
        raw.append(0)
        for x in range(width):
            r, g, b, a = pixel(x, y)
            raw += bytes((r, g, b, a) if alpha else (r, g, b))

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)
    head = struct.pack('>IIBBBBB', width, height, 8, 6 if alpha else 2, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', head) +
            chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def alpha_picture(x, y):
    # Alpha: green and white stripes, opaque.
    return (0x30, 0xA0, 0x40, 255) if (x // 10) % 2 == 0 else (0xF8, 0xF8, 0xF8, 255)


def beta_picture(x, y):
    # Beta: an orange disc; outside it transparent, a half-transparent band
    # across the middle.
    dx, dy = x - 49.5, y - 39.5
    if dx * dx + dy * dy <= 36 * 36:
        return (0xE0, 0x70, 0x10, 255)
    if 36 <= y < 44:
        return (0x20, 0x20, 0xC0, 128)
    return (0xFF, 0x00, 0xFF, 0)


def server_skins():
    out = os.path.join(ROOT, 'skins')
    os.makedirs(out, exist_ok=True)
    for name, title, w, h, pixel, alpha in [('Alpha', '青竹', 120, 60, alpha_picture, False),
                                            ('Beta', '橙月', 100, 80, beta_picture, True)]:
        with zipfile.ZipFile(os.path.join(out, name + '.zip'), 'w', zipfile.ZIP_DEFLATED) as z:
            ini = '[skin]\r\nname=%s\r\ntitle=%s\r\nversion=1.0.0.0\r\n' % (name, title)
            z.writestr(zipfile.ZipInfo('skin.ini', (2012, 7, 6, 12, 0, 0)), ini.encode('utf-8'),
                       zipfile.ZIP_DEFLATED)
        with open(os.path.join(out, name + '.png'), 'wb') as f:
            f.write(png(w, h, pixel, alpha))


def main():
    if sys.argv[1:] == ['skins']:
        server_skins()
        return
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
    server_skins()


if __name__ == '__main__':
    main()
