#!/usr/bin/env python3
"""Writes the small tracker modules of this folder: XM, IT (plain and with compressed samples),
S3M and three MOD variants, each with a couple of patterns and short samples.

    python3 make_modules.py [OUTDIR] [--twin DIR]

--twin DIR also writes compressed_twin.it to DIR: tiny_compressed.it with the same sample
values stored uncompressed, so that a player's rendering of the two can be compared.
"""
import math
import os
import struct
import sys


def text(s, n):
    return s.encode("ascii").ljust(n, b"\0")


def sine(n, period, amplitude):
    return [int(round(amplitude * math.sin(2 * math.pi * i / period))) for i in range(n)]


def align16(b):
    return b + bytes(-len(b) % 16)


# ---------------------------------------------------------------------------------------------
# XM: header, patterns, then each instrument with its sample headers and delta-coded data.

def xm_pattern(rows, channels, notes):
    """Packed pattern data: a note with its instrument, or an empty note (one flag byte)."""
    data = bytearray()
    for row in range(rows):
        for channel in range(channels):
            if (row, channel) in notes:
                note, instrument = notes[(row, channel)]
                data += bytes([0x80 | 0x03, note, instrument])
            else:
                data += b"\x80"
    return struct.pack("<IBHH", 9, 0, rows, len(data)) + bytes(data)


def xm_sample(name, values, sixteen, loop=None, volume=64):
    if sixteen:
        deltas, previous = bytearray(), 0
        for v in values:
            deltas += struct.pack("<h", v - previous)
            previous = v
    else:
        deltas = bytes((v - p) & 0xFF for v, p in zip(values, [0] + values[:-1]))
    kind = (0x10 if sixteen else 0) | (1 if loop else 0)
    step = 2 if sixteen else 1
    start, length = loop if loop else (0, 0)
    header = struct.pack("<IIIBbBBbB", len(deltas), start * step, length * step, volume, 0, kind,
                         128, 0, 0) + text(name, 22)
    return header, bytes(deltas)


def xm_instrument(name, samples):
    if not samples:
        return struct.pack("<I", 29) + text(name, 22) + b"\0" + struct.pack("<H", 0)
    head = struct.pack("<I", 263) + text(name, 22) + b"\0" + struct.pack("<H", len(samples))
    head += struct.pack("<I", 40)
    head += bytes([0] * 48 + [len(samples) - 1] * 48)  # note -> sample
    head += bytes(96)  # volume and panning envelope points
    head = head.ljust(263, b"\0")
    return head + b"".join(h for h, _ in samples) + b"".join(d for _, d in samples)


def make_xm():
    channels = 4
    header = b"Extended Module: " + text("sorvend tiny", 20) + b"\x1a"
    header += text("sorvend generator", 20) + struct.pack("<H", 0x0104)
    orders = [0, 1, 0]
    header += struct.pack("<IHHHHHHHH", 276, len(orders), 0, channels, 2, 3, 1, 6, 125)
    header += bytes(orders).ljust(256, b"\0")
    notes = {(0, 0): (49, 1), (4, 1): (56, 2), (8, 0): (61, 1), (12, 2): (37, 1)}
    patterns = xm_pattern(16, channels, notes)
    patterns += struct.pack("<IBHH", 9, 0, 64, 0)  # an empty pattern has no data
    instruments = xm_instrument("two samples", [
        xm_sample("sine8", sine(48, 16, 90), False, loop=(0, 48)),
        xm_sample("sine16", sine(32, 16, 20000), True),
    ])
    instruments += xm_instrument("one sample", [xm_sample("saw", [i * 6 - 120 for i in range(40)],
                                                          False)])
    instruments += xm_instrument("empty", [])
    return header + patterns + instruments


# ---------------------------------------------------------------------------------------------
# IT: header, orders, offset tables, message, instrument, sample headers, patterns, sample data.

class BitWriter:
    """Bits from the lowest of each byte up, as the compressed samples store them."""

    def __init__(self):
        self.data, self.acc, self.count = bytearray(), 0, 0

    def put(self, value, width):
        self.acc |= (value & ((1 << width) - 1)) << self.count
        self.count += width
        while self.count >= 8:
            self.data.append(self.acc & 0xFF)
            self.acc >>= 8
            self.count -= 8

    def bytes(self):
        return bytes(self.data) + (bytes([self.acc]) if self.count else b"")


def it_compress(values, sixteen, double_delta):
    """Compressed sample blocks: each a 16-bit byte count and a bit stream of the block's
    deltas (second deltas for the double-delta kind). Deltas go out at full width (9 or 17
    bits, top bit clear); runs of unchanged values switch to width 1 and back."""
    per_block = 0x4000 if sixteen else 0x8000
    full = 17 if sixteen else 9
    bits = 16 if sixteen else 8
    out = bytearray()
    for first in range(0, len(values), per_block):
        block = values[first:first + per_block]
        stored, d1, d2 = [], 0, 0
        for v in block:  # what the decoder adds up to reach v
            step1 = v - d2
            stored.append(step1 - d1 if double_delta else v - d1)
            d1 = step1 if double_delta else v
            d2 = v
        w, width = BitWriter(), full
        i = 0
        while i < len(stored):
            run = 0
            while i + run < len(stored) and stored[i + run] == 0:
                run += 1
            if run >= 8:
                if width == full:
                    w.put(1 << (full - 1), full)  # switch to width 1
                    width = 1
                w.put(0, run)
                i += run
                continue
            if width == 1:
                w.put(1, 1)  # switch back to full width
                w.put(full - 2, 4 if sixteen else 3)
                width = full
            w.put(stored[i] & ((1 << bits) - 1), full)
            i += 1
        data = w.bytes()
        out += struct.pack("<H", len(data)) + data
    return bytes(out)


def it_sample_header(name, flags, convert, length, loop, pointer):
    start, end = loop if loop else (0, 0)
    if loop:
        flags |= 0x10
    return (b"IMPS" + text("", 12) + b"\0" + bytes([64, flags, 64]) + text(name, 26) +
            bytes([convert, 32]) +
            struct.pack("<IIIIIII", length, start, end, 8363, 0, 0, pointer) + bytes(4))


def it_instrument():
    head = b"IMPI" + text("", 12) + b"\0" + bytes([0, 0, 0]) + struct.pack("<H", 256)
    head += bytes([0, 60, 128, 32 | 128, 0, 0]) + struct.pack("<H", 0x0214) + bytes([2, 0])
    head += text("lead", 26) + bytes([0, 0, 0, 0]) + struct.pack("<H", 0xFFFF)
    head += b"".join(bytes([n, 1 if n < 60 else 2]) for n in range(120))
    return head.ljust(554, b"\0")  # three envelopes, all off


def it_pattern(rows, notes):
    data = bytearray()
    for row in range(rows):
        for channel, (note, instrument) in sorted(notes.get(row, {}).items()):
            data += bytes([(channel + 1) | 0x80, 0x03, note, instrument])
        data.append(0)
    return struct.pack("<HH", len(data), rows) + bytes(4) + bytes(data)


def make_it(compressed, long_silence=False, store_compressed=True):
    low = sine(100, 20, 100)
    high = sine(60, 12, 24000)
    if long_silence:  # long enough for a second block of compressed 16-bit data
        high += [0] * 0x4000
    samples = [("sine8", low, False, (0, 100)), ("sine16", high, True, None)]
    message = b"sorvend test module\r\0"
    orders = [0, 1, 255]
    tables = 192 + len(orders) + 4 * (1 + len(samples) + 2)
    message_at = tables
    instrument_at = message_at + len(message)
    headers_at = instrument_at + 554
    patterns = [it_pattern(32, {0: {0: (60, 1)}, 8: {1: (67, 1)}, 16: {0: (48, 1)}}),
                it_pattern(32, {0: {0: (72, 1), 2: (36, 1)}})]
    pattern_at = [headers_at + 80 * len(samples)]
    pattern_at.append(pattern_at[0] + len(patterns[0]))
    data_at = pattern_at[1] + len(patterns[1])

    sample_headers, sample_data = b"", b""
    for index, (name, values, sixteen, loop) in enumerate(samples):
        flags = 0x01 | (0x02 if sixteen else 0)
        convert = 0x01
        if compressed and store_compressed:
            flags |= 0x08
            double = index == 1  # the 16-bit one as the double-delta kind
            convert |= 0x04 if double else 0
            data = it_compress(values, sixteen, double)
        else:
            data = b"".join(struct.pack("<h" if sixteen else "<b", v) for v in values)
        sample_headers += it_sample_header(name, flags, convert, len(values), loop,
                                           data_at + len(sample_data))
        sample_data += data

    header = b"IMPM" + text("sorvend tiny", 26) + bytes([4, 16])
    header += struct.pack("<HHHHHHHH", len(orders), 1, len(samples), 2, 0x0214, 0x0214, 0x0D,
                          0x01)
    header += bytes([128, 48, 6, 125, 128, 0]) + struct.pack("<HI", len(message), message_at)
    header += bytes(4) + bytes([32] * 4 + [32 | 128] * 60) + bytes([64] * 64)
    header += bytes(orders) + struct.pack("<I", instrument_at)
    header += b"".join(struct.pack("<I", headers_at + 80 * i) for i in range(len(samples)))
    header += b"".join(struct.pack("<I", p) for p in pattern_at)
    assert len(header) == tables
    return (header + message + it_instrument() + sample_headers + b"".join(patterns) +
            sample_data)


# ---------------------------------------------------------------------------------------------
# S3M: header with orders, parapointers and panning, instruments, patterns, sample data, each
# part at a multiple of 16 bytes.

def s3m_pattern(notes):
    data = bytearray()
    for row in range(64):
        for channel, (note, instrument) in sorted(notes.get(row, {}).items()):
            data += bytes([channel | 0x20, note, instrument])
        data.append(0)
    return align16(struct.pack("<H", 2 + len(data)) + bytes(data))


def s3m_instrument(name, length, flags, memseg, loop=None):
    start, end = loop if loop else (0, 0)
    return (bytes([1]) + text("", 12) + bytes([memseg >> 16]) +
            struct.pack("<HIII", memseg & 0xFFFF, length, start, end) +
            bytes([64, 0, 0, flags | (1 if loop else 0)]) + struct.pack("<I", 8363) + bytes(12) +
            text(name, 28) + b"SCRS")


def make_s3m():
    orders = [0, 1, 255, 255]
    head_end = 96 + len(orders) + 2 * 2 + 2 * 2 + 32
    instruments_at = (head_end + 15) // 16 * 16
    patterns = [s3m_pattern({0: {0: (0x40, 1)}, 16: {1: (0x47, 2)}, 32: {0: (0x50, 1)}}),
                s3m_pattern({0: {0: (0x45, 2), 1: (0x40, 1)}})]
    pattern_at = [instruments_at + 160]
    pattern_at.append(pattern_at[0] + len(patterns[0]))
    low = bytes((v + 128) & 0xFF for v in sine(64, 16, 100))  # unsigned 8-bit
    frames = sine(24, 12, 20000)
    stereo = b"".join(struct.pack("<H", (v + 32768) & 0xFFFF) for v in frames)  # left
    stereo += b"".join(struct.pack("<H", (-v + 32768) & 0xFFFF) for v in frames)  # right
    low_at = pattern_at[1] + len(patterns[1])
    stereo_at = low_at + len(align16(low))

    header = text("sorvend tiny", 28) + bytes([0x1A, 16, 0, 0])
    header += struct.pack("<HHHHHH", len(orders), 2, 2, 0, 0x1320, 2) + b"SCRM"
    header += bytes([64, 6, 125, 0x30 | 0x80, 16, 252]) + bytes(8) + struct.pack("<H", 0)
    header += bytes([0, 8, 1, 9] + [255] * 28) + bytes(orders)
    header += struct.pack("<HH", instruments_at // 16, instruments_at // 16 + 5)
    header += struct.pack("<HH", pattern_at[0] // 16, pattern_at[1] // 16)
    header += bytes([0x23, 0x2C, 0x23, 0x2C] + [0] * 28)
    assert len(header) == head_end
    body = s3m_instrument("sine8", len(low), 0, low_at // 16, loop=(0, 64))
    body += s3m_instrument("stereo16", len(frames), 0x02 | 0x04, stereo_at // 16)
    return (header.ljust(instruments_at, b"\0") + body + b"".join(patterns) + align16(low) +
            stereo)


# ---------------------------------------------------------------------------------------------
# MOD: title, 31 sample headers, song length, orders, the tag, patterns, sample data (big-endian
# lengths in 16-bit words).

PERIODS = {"C-2": 428, "E-2": 339, "G-2": 285, "C-3": 214}


def mod_cell(note, sample, effect=0, param=0):
    period = PERIODS[note] if note else 0
    return bytes([(sample & 0xF0) | (period >> 8), period & 0xFF,
                  ((sample & 0x0F) << 4) | effect, param])


def mod_pattern(channels, notes):
    data = bytearray()
    for row in range(64):
        for channel in range(channels):
            data += mod_cell(*notes[(row, channel)]) if (row, channel) in notes else bytes(4)
    return bytes(data)


def make_mod(tag, channels, song, hidden_order=None, pattern_count=None):
    samples = [
        ("sine", bytes(v & 0xFF for v in sine(64, 16, 100)), 0, 32),
        # The loop runs past the sample's end, as it does in many real files.
        ("square", bytes((60 if i % 8 < 4 else -60) & 0xFF for i in range(48)), 16, 16),
    ]
    headers = b""
    for i in range(31):
        if i < len(samples):
            name, data, loop_start, loop_length = samples[i]
            headers += text(name, 22) + struct.pack(">HBBHH", len(data) // 2, 0, 64,
                                                     loop_start, loop_length)
        else:
            headers += text("", 22) + struct.pack(">HBBHH", 0, 0, 0, 0, 1)
    orders = bytearray(128)
    orders[:len(song)] = bytes(song)
    if hidden_order:  # an entry past the song length still counts for the pattern number
        orders[hidden_order[0]] = hidden_order[1]
    patterns = b""
    for p in range(max(orders) + 1):
        patterns += mod_pattern(channels, {
            (0, 0): ("C-2", 1), (8, 1 % channels): ("G-2", 2), (16, channels - 1): ("E-2", 1),
            (32, p % channels): ("C-3", 2, 0xC, 48)})
    return (text("sorvend " + tag, 20) + headers + bytes([len(song), 127]) + bytes(orders) +
            tag.encode("ascii") + patterns + b"".join(s[1] for s in samples))


def main():
    args = sys.argv[1:]
    twin = None
    if "--twin" in args:
        at = args.index("--twin")
        twin = args[at + 1]
        del args[at:at + 2]
    out = args[0] if args else os.path.dirname(os.path.abspath(__file__))
    files = {
        "tiny.xm": make_xm(),
        "tiny.it": make_it(False),
        "tiny_compressed.it": make_it(True, long_silence=True),
        "tiny.s3m": make_s3m(),
        "mk.mod": make_mod("M.K.", 4, [0, 1], hidden_order=(60, 2)),
        "six.mod": make_mod("6CHN", 6, [0]),
        "ten.mod": make_mod("10CH", 10, [0, 1]),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    if twin:
        with open(os.path.join(twin, "compressed_twin.it"), "wb") as f:
            f.write(make_it(True, long_silence=True, store_compressed=False))


if __name__ == "__main__":
    main()
