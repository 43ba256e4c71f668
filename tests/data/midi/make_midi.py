#!/usr/bin/env python3
"""Writes the MIDI samples of this folder: format0.mid (one track) and format1.mid (a tempo
track and two note tracks), a few notes each, with running status, a system exclusive message
and the usual meta events."""
import os
import struct


def vlq(value):
    """A variable-length quantity: 7 bits a byte, most significant first, high bit = more."""
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def meta(delta, kind, data):
    return vlq(delta) + bytes([0xFF, kind]) + vlq(len(data)) + data


def end_of_track(delta=0):
    return meta(delta, 0x2F, b"")


def notes(channel, pitches, length):
    """Note-on then note-off (note-on with velocity 0) for each pitch; all but the first
    message of the run use running status."""
    events = bytes([0x00, 0x90 | channel, pitches[0], 0x60])
    events += vlq(length) + bytes([pitches[0], 0x00])
    for pitch in pitches[1:]:
        events += bytes([0x00, pitch, 0x60]) + vlq(length) + bytes([pitch, 0x00])
    return events


def chunk(kind, data):
    return kind + struct.pack(">I", len(data)) + data


def header(fmt, tracks, division):
    return chunk(b"MThd", struct.pack(">HHH", fmt, tracks, division))


TEMPO = meta(0, 0x51, bytes([0x07, 0xA1, 0x20]))  # 500000 us a quarter note
TIME_SIGNATURE = meta(0, 0x58, bytes([4, 2, 24, 8]))
GM_ON = bytes([0x00, 0xF0]) + vlq(5) + bytes([0x7E, 0x7F, 0x09, 0x01, 0xF7])


def format0():
    track = meta(0, 0x03, b"Scale") + TEMPO + TIME_SIGNATURE + GM_ON
    track += bytes([0x00, 0xC0, 0x00])  # program change: piano
    track += notes(0, [60, 62, 64, 65, 67], 96)
    track += bytes([0x00, 0xB0, 0x07, 0x64])  # controller: volume
    track += end_of_track(96)
    return header(0, 1, 96) + chunk(b"MTrk", track)


def format1():
    tempo = meta(0, 0x03, b"Tempo") + TEMPO + TIME_SIGNATURE + end_of_track()
    melody = meta(0, 0x03, b"Melody") + bytes([0x00, 0xC0, 0x49])
    melody += notes(0, [72, 71, 69, 67], 120) + end_of_track()
    bass = meta(0, 0x03, b"Bass") + bytes([0x00, 0xC1, 0x20])
    bass += notes(1, [48, 43], 240)
    bass += bytes([0x00, 0xE1, 0x00, 0x40])  # pitch bend: centre
    bass += end_of_track()
    tracks = chunk(b"MTrk", tempo) + chunk(b"MTrk", melody) + chunk(b"MTrk", bass)
    return header(1, 3, 120) + tracks


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for name, data in (("format0.mid", format0()), ("format1.mid", format1())):
        with open(os.path.join(here, name), "wb") as f:
            f.write(data)
