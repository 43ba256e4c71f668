#!/usr/bin/env python3
"""Checks the chunk and event structure of a MIDI file (plain or RIFF RMID) or the chunk walk
of an animated cursor, for formats without a decoder here. Exit status 0 when sound."""
import struct
import sys


def read_vlq(data, at):
    value = 0
    for _ in range(4):
        if at >= len(data):
            raise ValueError("variable-length number cut")
        byte = data[at]
        at += 1
        value = value << 7 | byte & 0x7F
        if not byte & 0x80:
            return value, at
    raise ValueError("variable-length number too long")


def check_track(data):
    at, status = 0, None
    while at < len(data):
        _, at = read_vlq(data, at)
        if at >= len(data):
            raise ValueError("event cut")
        byte = data[at]
        if byte == 0xFF:
            kind = data[at + 1]
            length, at = read_vlq(data, at + 2)
            at += length
            if kind == 0x2F:
                return at == len(data)
            continue
        if byte in (0xF0, 0xF7):
            length, at = read_vlq(data, at + 1)
            at += length
            continue
        if byte & 0x80:
            status = byte
            at += 1
        elif status is None:
            raise ValueError("running status without a status")
        at += 1 if status & 0xF0 in (0xC0, 0xD0) else 2
    raise ValueError("no end of track")


def check_midi(data):
    if data[:4] != b"MThd" or struct.unpack(">I", data[4:8])[0] != 6:
        raise ValueError("no header")
    fmt, tracks, division = struct.unpack(">HHH", data[8:14])
    if fmt > 2 or tracks == 0 or division == 0:
        raise ValueError("bad header")
    at, found = 14, 0
    while at + 8 <= len(data):
        cid, size = data[at:at + 4], struct.unpack(">I", data[at + 4:at + 8])[0]
        body = data[at + 8:at + 8 + size]
        if len(body) != size:
            raise ValueError("chunk cut")
        if cid == b"MTrk":
            if not check_track(body):
                raise ValueError("track events")
            found += 1
        at += 8 + size
    if at != len(data) or found != tracks:
        raise ValueError("tracks")


def riff_chunks(data, at, end):
    while at + 8 <= end:
        cid, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        if at + 8 + size > end:
            raise ValueError("chunk past its parent")
        yield cid, at + 8, size
        at += 8 + size + (size & 1)
    if at < end - 1:
        raise ValueError("trailing bytes")


def main(path):
    data = open(path, "rb").read()
    if data[:4] == b"RIFF":
        size = struct.unpack("<I", data[4:8])[0]
        if size + 8 != len(data):
            raise ValueError("RIFF size")
        chunks = {cid: (at, n) for cid, at, n in riff_chunks(data, 12, len(data))}
        if data[8:12] == b"RMID":
            at, n = chunks[b"data"]
            check_midi(data[at:at + n])
        elif data[8:12] != b"ACON" or b"anih" not in chunks:
            raise ValueError("form")
    else:
        check_midi(data)


if __name__ == "__main__":
    try:
        main(sys.argv[1])
    except (ValueError, KeyError, IndexError, struct.error):
        sys.exit(1)
