#!/usr/bin/env python3
"""Writes the bitmaps ImageMagick cannot: 4-bit run-length coded, colour masks behind a 40-byte
header (three and four of them) and rows stored top-down. Run in this folder."""
import struct

WIDTH, HEIGHT = 21, 13


def bitmap(name, bits, compression, table, pixels, height=HEIGHT, size_image=None):
    info = struct.pack('<IiiHHIIiiII', 40, WIDTH, height, 1, bits, compression,
                       len(pixels) if size_image is None else size_image, 2835, 2835,
                       len(table) // 4 if bits <= 8 else 0, 0)
    off_bits = 14 + len(info) + len(table)
    head = b'BM' + struct.pack('<IHHI', off_bits + len(pixels), 0, 0, off_bits)
    with open(name, 'wb') as f:
        f.write(head + info + table + pixels)


def palette(count):
    return b''.join(bytes(((i * 53) & 255, (i * 97) & 255, (255 - i * 31) & 255, 0))
                    for i in range(count))


def rows(pixel):
    """Bottom-up rows of `pixel(x, y)` bytes, each padded to four bytes."""
    out = b''
    for y in range(HEIGHT):
        row = b''.join(pixel(x, y) for x in range(WIDTH))
        out += row + bytes(-len(row) % 4)
    return out


def rle4():
    """Runs, literal stretches, a move right, a skipped row, line ends and the bitmap's end."""
    def index(x, y):
        return (x // 4 + y) % 16 if x < 12 else (x * 7 + y * 3) % 16

    out = b''
    for y in range(HEIGHT):
        if y == 8:
            out += b'\x00\x02\x00\x01'  # row 8 left as colour 0
            continue
        x = 0
        if y == 5:
            out += b'\x00\x02\x03\x00'  # three pixels left as colour 0
            x = 3
        while x < 12:
            run = min(4 - x % 4, 12 - x)
            c = index(x, y)
            out += bytes((run, c << 4 | c))
            x += run
        literal = [index(i, y) for i in range(12, WIDTH)]
        literal += [0] * (len(literal) % 2)
        data = bytes(literal[i] << 4 | literal[i + 1] for i in range(0, len(literal), 2))
        out += bytes((0, WIDTH - 12)) + data + bytes(len(data) % 2)
        if y < HEIGHT - 1:
            out += b'\x00\x00'
    return out + b'\x00\x01'


bitmap('rle4.bmp', 4, 2, palette(16), rle4())
bitmap('masks565.bmp', 16, 3, struct.pack('<3I', 0xF800, 0x07E0, 0x001F),
       rows(lambda x, y: struct.pack('<H', (x % 32) << 11 | (y * 5) << 5 | (x + y) % 32)))
bitmap('masks8888.bmp', 32, 6, struct.pack('<4I', 0x00FF0000, 0x0000FF00, 0x000000FF,
                                          0xFF000000),
       rows(lambda x, y: bytes((x * 12, y * 19, (x * y) & 255, 255 - x * 12))))
top_down = rows(lambda x, y: bytes(((x + 2 * y) % 256,)))
bitmap('topdown8.bmp', 8, 0, palette(256), top_down, height=-HEIGHT)
