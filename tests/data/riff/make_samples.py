#!/usr/bin/env python3
"""Writes spin.ani (an animated cursor: anih header, two 16x16 icon frames made with
ImageMagick convert and icotool) and song.rmi (../midi/format1.mid wrapped in a RIFF RMID
form) into this folder."""
import os
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def chunk(kind, data):
    """A RIFF chunk: little-endian size, data, a pad byte after an odd size."""
    out = kind + struct.pack("<I", len(data)) + data
    return out + b"\0" if len(data) % 2 else out


def riff(form, chunks):
    body = form + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def icon_frames():
    lines = ("0,0 15,15", "15,0 0,15")
    frames = []
    with tempfile.TemporaryDirectory() as tmp:
        for n, line in enumerate(lines):
            png = os.path.join(tmp, "f%d.png" % n)
            ico = os.path.join(tmp, "f%d.ico" % n)
            subprocess.run(["convert", "-size", "16x16", "xc:white", "-fill", "black",
                            "-draw", "line " + line, "PNG8:" + png], check=True)
            subprocess.run(["icotool", "-c", "-b", "4", "-o", ico, png], check=True)
            with open(ico, "rb") as f:
                frames.append(f.read())
    return frames


def ani():
    frames = icon_frames()
    info = chunk(b"LIST", b"INFO" + chunk(b"INAM", b"Spin\0"))
    # Header size, frames, steps, width, height, bits, planes, rate in 1/60 s, flags (icons).
    anih = struct.pack("<9I", 36, len(frames), len(frames), 0, 0, 0, 0, 10, 1)
    fram = chunk(b"LIST", b"fram" + b"".join(chunk(b"icon", f) for f in frames))
    return riff(b"ACON", [info, chunk(b"anih", anih), fram])


def rmi():
    with open(os.path.join(HERE, "..", "midi", "format1.mid"), "rb") as f:
        return riff(b"RMID", [chunk(b"data", f.read())])


if __name__ == "__main__":
    for name, data in (("spin.ani", ani()), ("song.rmi", rmi())):
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(data)
