#!/usr/bin/env python3
"""Puts an APEv2 tag (two text items) into an MP3 file: behind the last frame, in front of an
ID3v1 tag if the file ends with one.

    add_apev2.py [--footer-only] IN OUT
"""
import struct
import sys

HAS_HEADER = 1 << 31
IS_HEADER = 1 << 29


def item(key, value):
    data = value.encode("utf-8")
    return struct.pack("<II", len(data), 0) + key.encode("ascii") + b"\0" + data


def block(size, count, flags):
    return b"APETAGEX" + struct.pack("<IIII", 2000, size, count, flags) + bytes(8)


def main():
    args = sys.argv[1:]
    footer_only = args[0] == "--footer-only"
    if footer_only:
        args = args[1:]
    src, dst = args
    audio = open(src, "rb").read()
    id3v1 = b""
    if len(audio) >= 128 and audio[-128:-125] == b"TAG":
        audio, id3v1 = audio[:-128], audio[-128:]
    items = item("Title", "Sorvend") + item("Artist", "Test")
    size = len(items) + 32
    flags = 0 if footer_only else HAS_HEADER
    tag = b"" if footer_only else block(size, 2, flags | IS_HEADER)
    tag += items + block(size, 2, flags)
    open(dst, "wb").write(audio + tag + id3v1)


main()
