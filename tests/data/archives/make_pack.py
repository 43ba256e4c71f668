#!/usr/bin/env python3
"""Writes pack.bin, a game-style pack: "PACK", the entry count, each entry's offset (all 32-bit
little-endian), then one bare zlib stream per entry. Run from tests/data."""
import struct
import zlib

entries = [open(name, "rb").read() for name in ("png/gradient.png", "riff/lavf.wav")]
streams = [zlib.compress(data, 9) for data in entries]
offset = 8 + 4 * len(streams)
table = b""
for s in streams:
    table += struct.pack("<I", offset)
    offset += len(s)
with open("archives/pack.bin", "wb") as out:
    out.write(b"PACK" + struct.pack("<I", len(streams)) + table + b"".join(streams))
