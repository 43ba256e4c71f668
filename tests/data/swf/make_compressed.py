#!/usr/bin/env python3
"""Writes the zlib (CWS) and LZMA (ZWS) forms of testsrc.swf beside it.

Both keep the uncompressed file length in bytes 4..8. CWS holds the body (everything behind
the first 8 bytes) as one zlib stream. ZWS holds the compressed body's length, the 5 LZMA
property bytes and the raw LZMA data; its version is raised to 13, the first to know it.
"""
import lzma
import os
import struct
import zlib

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "testsrc.swf"), "rb") as f:
    fws = f.read()
assert fws[:3] == b"FWS"
version, length = fws[3], struct.unpack("<I", fws[4:8])[0]
body = fws[8:]

with open(os.path.join(here, "testsrc_cws.swf"), "wb") as f:
    f.write(b"CWS" + bytes([version]) + struct.pack("<I", length) + zlib.compress(body, 9))

# The "alone" format is 5 property bytes, an 8-byte size, then the raw stream.
alone = lzma.compress(body, format=lzma.FORMAT_ALONE,
                      filters=[{"id": lzma.FILTER_LZMA1, "dict_size": 1 << 16}])
props, data = alone[:5], alone[13:]
with open(os.path.join(here, "testsrc_zws.swf"), "wb") as f:
    f.write(b"ZWS" + bytes([13]) + struct.pack("<I", length) + struct.pack("<I", len(data)) +
            props + data)
