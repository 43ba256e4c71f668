#!/usr/bin/env python3
"""Writes the surfaces ImageMagick cannot: cube maps (all six faces and three of them), a
volume texture and two with the extension header (an array and a cube map). Pixels are
deterministic noise. Run in this folder."""
import struct

CAPS, HEIGHT, WIDTH, PITCH, PIXELFORMAT = 0x1, 0x2, 0x4, 0x8, 0x1000
MIPMAPCOUNT, LINEARSIZE, DEPTH = 0x20000, 0x80000, 0x800000
TEXTURE, COMPLEX, MIPMAP = 0x1000, 0x8, 0x400000
CUBEMAP, ALL_FACES, VOLUME = 0x200, 0xFC00, 0x200000
POS_X, POS_Y, POS_Z = 0x400, 0x1000, 0x4000
FOURCC, RGB, ALPHAPIXELS = 0x4, 0x40, 0x1


def noise(n, seed):
    x, out = seed, bytearray()
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append(x >> 16 & 0xFF)
    return bytes(out)


def header(width, height, flags, pixel_format, caps2=0, depth=0, mips=1):
    caps = TEXTURE | (COMPLEX | MIPMAP if mips > 1 else 0) | (COMPLEX if caps2 else 0)
    return (b'DDS ' + struct.pack('<7I', 124, flags | CAPS | HEIGHT | WIDTH | PIXELFORMAT, height,
                                  width, 0, depth, mips) + bytes(44) + pixel_format +
            struct.pack('<5I', caps, caps2, 0, 0, 0))


def fourcc(code):
    return struct.pack('<2I4s5I', 32, FOURCC, code, 0, 0, 0, 0, 0)


def masked(bits, r, g, b, a):
    return struct.pack('<8I', 32, RGB | (ALPHAPIXELS if a else 0), 0, bits, r, g, b, a)


def write(name, head, data):
    with open(name, 'wb') as f:
        f.write(head + data)


# 8 x 8 in 4 x 4 blocks of 8 bytes: levels of 4, 1, 1 and 1 blocks, six faces.
write('cube6.dds', header(8, 8, MIPMAPCOUNT | LINEARSIZE, fourcc(b'DXT1'),
                          CUBEMAP | ALL_FACES, mips=4), noise(6 * 7 * 8, 1))
# 4 x 4 pixels of 32 bits, three faces.
write('cube3.dds', header(4, 4, PITCH, masked(32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000),
                          CUBEMAP | POS_X | POS_Y | POS_Z), noise(3 * 64, 2))
# 8 x 4 x 4 pixels of 16 bits, then 4 x 2 x 2 and 2 x 1 x 1.
write('volume.dds', header(8, 4, PITCH | DEPTH | MIPMAPCOUNT, masked(16, 0xF800, 0x7E0, 0x1F, 0),
                           VOLUME, depth=4, mips=3), noise(256 + 32 + 4, 3))


def extension(dxgi_format, dimension, misc, array_size):
    return struct.pack('<5I', dxgi_format, dimension, misc, array_size, 0)


# Two 8 x 8 surfaces of R8G8B8A8 with four levels each.
write('array.dds', header(8, 8, PITCH | MIPMAPCOUNT, fourcc(b'DX10'), mips=4) +
      extension(28, 3, 0, 2), noise(2 * (256 + 64 + 16 + 4), 4))
# Six 8 x 8 faces of BC3 blocks (16 bytes).
write('cube_bc3.dds', header(8, 8, LINEARSIZE, fourcc(b'DX10')) + extension(77, 3, 0x4, 1),
      noise(6 * 4 * 16, 5))
