#!/usr/bin/env python3
"""Writes examples/sample.mot, the sample firmware image that `make demo` programs.

The image is a made-up firmware in three separate regions of the user flash:

    0x000000..0x0001FF  vector table (128 vectors of 32 bits)
    0x001000..0x0057FF  code (18 KiB)
    0x012000..0x016FFF  constant data (20 KiB)

With the simulator's default layout (erase blocks of 8 x 4 KiB, 1 x 32 KiB,
7 x 64 KiB; programming unit 128 bytes) it touches erase blocks 0 to 5 and 9
and leaves the others alone, and every region is a whole number of units.
The output is S2 records of 32 data bytes with an S0 header, an S5 record
count and an S8 end record, LF line ends. The content depends on nothing but
this script, so running it again gives the same file byte for byte.

Usage: make-sample.py [OUTPUT]   (default: sample.mot next to this script)
"""

import math
import os
import struct
import sys

RECORD_DATA = 32
CODE_START = 0x001000
CODE_SIZE = 0x4800
DATA_START = 0x012000
DATA_SIZE = 0x5000
VECTORS = 128


class XorShift32:
    """A fixed pseudo-random byte source, so the output never depends on the Python version."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def bytes(self, n):
        return bytes(self.next() & 0xFF for _ in range(n))


def vector_table():
    reset, nmi, default = CODE_START, CODE_START + 0x40, CODE_START + 0x80
    vectors = [default] * VECTORS
    vectors[0] = reset
    vectors[7] = nmi
    return b"".join(struct.pack(">I", v) for v in vectors)


def code():
    rng = XorShift32(0x4B455354)
    # Reset entry: load the stack pointer, call main, then sleep in a loop.
    entry = (
        bytes([0x7A, 0x07, 0x00, 0xFF, 0xFF, 0x00])  # mov.l #0xffff00, er7
        + bytes([0x5E, 0x00, 0x11, 0x00])  # jsr @0x001100
        + bytes([0x01, 0x80])  # sleep
        + bytes([0x40, 0xFC])  # bra -4
    )
    out = bytearray(rng.bytes(CODE_SIZE))
    out[0 : len(entry)] = entry
    out[0x40:0x42] = bytes([0x56, 0x70])  # NMI handler: rte
    out[0x80:0x82] = bytes([0x56, 0x70])  # default handler: rte
    # Routines end in rts every so often.
    for off in range(0x1FE, CODE_SIZE, 0x200):
        out[off : off + 2] = bytes([0x54, 0x70])
    return bytes(out)


def crc32_table():
    table = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return b"".join(struct.pack(">I", c) for c in table)


def sine_table():
    # Rounded by hand rather than with round() so that the table is exact and fixed.
    vals = [int(math.floor(32767 * math.sin(2 * math.pi * i / 1024) + 0.5)) for i in range(1024)]
    return b"".join(struct.pack(">h", v) for v in vals)


def constant_data():
    header = b"kestrel sample firmware 1.0\0".ljust(64, b"\0")
    body = header + crc32_table() + sine_table()
    rng = XorShift32(0x48385321)
    return body + rng.bytes(DATA_SIZE - len(body))


def record(rtype, address, addr_len, data):
    body = bytes([addr_len + len(data) + 1]) + address.to_bytes(addr_len, "big") + data
    checksum = (~sum(body)) & 0xFF
    return "S%d%s%02X\n" % (rtype, body.hex().upper(), checksum)


def srecords(regions):
    lines = [record(0, 0, 2, b"sample.mot")]
    count = 0
    for start, content in regions:
        for off in range(0, len(content), RECORD_DATA):
            lines.append(record(2, start + off, 3, content[off : off + RECORD_DATA]))
            count += 1
    lines.append(record(5, count, 2, b""))
    lines.append(record(8, CODE_START, 3, b""))
    return "".join(lines)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.mot")
    regions = [(0, vector_table()), (CODE_START, code()), (DATA_START, constant_data())]
    assert len(regions[1][1]) == CODE_SIZE and len(regions[2][1]) == DATA_SIZE
    text = srecords(regions)
    with open(out, "w", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main()
