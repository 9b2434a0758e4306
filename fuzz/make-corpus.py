#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Deterministic: running it again rewrites the same files. The seeds are small,
meaningful inputs from which the fuzzer starts: good S-record, Intel HEX and
ELF files, binary images in and out of range, typical command lines, and whole device
conversations for the protocol stages.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- S-records ---------------------------------------------------------------

def srec(rtype, width, address, data):
    body = bytes([width + len(data) + 1]) + address.to_bytes(width, "big") + bytes(data)
    return "S%d%s%02X" % (rtype, body.hex().upper(), ~sum(body) & 0xFF)


def srec_seeds():
    lines = [
        srec(0, 2, 0, b"kestrel"),
        srec(1, 2, 0x0070, range(32)),           # crosses the page at 0x80
        srec(2, 3, 0x00FF00, bytes(range(200, 216))),
        srec(3, 4, 0x0000FFF0, b"\x11" * 16),    # ends on the flash's last byte
        srec(5, 2, 3, b""),
        srec(9, 2, 0, b""),
    ]
    write("fuzz_srec", "valid.mot", ("\r\n".join(lines) + "\r\n").encode())
    # Records side by side on one line, tabs, NULs and an unknown type.
    mixed = " ".join([srec(1, 2, 0x100, b"ab"), srec(4, 2, 0, b"")]) + "\t" + \
        srec(8, 3, 0, b"") + "\0\n"
    write("fuzz_srec", "separators.mot", mixed.encode())
    bad = srec(1, 2, 0x10, b"\x01\x02")
    write("fuzz_srec", "bad-checksum.mot", (bad[:-2] + "00\n").encode())
    write("fuzz_srec", "out-of-range.mot", (srec(2, 3, 0x00FFFE, b"xyz") + "\n").encode())
    write("fuzz_srec", "no-final-separator.mot", srec(9, 2, 0, b"").encode())
    # The longest record (byte count 255, 514 characters) and one character more.
    longest = srec(2, 3, 0x8000, bytes(range(251)))
    write("fuzz_srec", "longest-record.mot", (longest + "\n").encode())
    write("fuzz_srec", "record-too-long.mot", (longest + "0\n").encode())


# ---- Intel HEX -----------------------------------------------------------------

def ihex(rtype, offset, data):
    body = bytes([len(data)]) + offset.to_bytes(2, "big") + bytes([rtype]) + bytes(data)
    return ":%s%02X" % (body.hex().upper(), -sum(body) & 0xFF)


def ihex_seeds():
    eof = ihex(1, 0, b"")
    lines = [
        ihex(0, 0x0070, range(32)),                 # crosses the page at 0x80
        ihex(2, 0, b"\x00\x00"),                    # segment 0
        ihex(0, 0xFFF8, range(16)),                 # wraps to the segment's start
        ihex(4, 0, b"\x00\x00"),                    # linear base 0
        ihex(0, 0x7FF8, range(16)),                 # runs on past 0x7FFF
        ihex(3, 0, b"\x00\x00\x01\x00"),
        ihex(5, 0, b"\x00\x00\x01\x00"),
        ihex(0, 0xFFF0, b"\x22" * 16),              # ends on the flash's last byte
        eof,
    ]
    write("fuzz_ihex", "valid.hex", ("\r\n".join(lines) + "\r\n").encode())
    write("fuzz_ihex", "lower-case-lf.hex",
          ("\n\n".join([ihex(0, 0x100, b"ab").lower(), eof]) + "\n \t\n").encode())
    write("fuzz_ihex", "no-end-record.hex", (ihex(0, 0x10, b"\x01\x02") + "\n").encode())
    write("fuzz_ihex", "text-after-end.hex", (eof + "\n" + eof + "\n").encode())
    bad = ihex(0, 0x10, b"\x01\x02")
    write("fuzz_ihex", "bad-checksum.hex", (bad[:-2] + "00\n" + eof).encode())
    write("fuzz_ihex", "out-of-range.hex",
          (ihex(4, 0, b"\x00\x01") + "\n" + ihex(0, 0, b"x") + "\n" + eof).encode())
    write("fuzz_ihex", "longest-record.hex", (ihex(0, 0x8000, range(255)) + "\n" + eof).encode())


# ---- ELF ---------------------------------------------------------------------

def elf(segments, machine=48, etype=2, ident=b"\x01\x02\x01"):
    """A big-endian ELF32 file: header, program headers, then the segments' data."""
    phoff = 52
    offset = phoff + 32 * len(segments)
    phdrs, blob = b"", b""
    for ptype, paddr, data, memsz in segments:
        phdrs += struct.pack(">8I", ptype, offset + len(blob) if data else 0, paddr, paddr,
                             len(data), memsz, 5, 1)
        blob += bytes(data)
    ehdr = b"\x7fELF" + ident + bytes(9) + struct.pack(
        ">HHIIIIIHHHHHH", etype, machine, 1, 0, phoff, 0, 0, 52, 32, len(segments), 40, 0, 0)
    return ehdr + phdrs + blob


def elf_seeds():
    write("fuzz_elf", "segments.elf", elf([
        (1, 0x0100, bytes(range(200)), 200),
        (1, 0x2000, b"\x5a" * 40, 0x100),            # data with a zero-filled tail
        (1, 0xFFEF00, b"", 0x80),                     # .bss in RAM: skipped
        (4, 0x900000, b"note", 4),                    # not PT_LOAD: ignored
        (1, 0xFFF0, b"\x33" * 16, 16),                # ends on the flash's last byte
    ]))
    write("fuzz_elf", "out-of-range.elf", elf([(1, 0xFFF1, b"\x44" * 16, 16)]))
    write("fuzz_elf", "h8300h.elf", elf([(1, 0x40, b"abc", 3)], machine=47))
    write("fuzz_elf", "wrong-machine.elf", elf([(1, 0x40, b"abc", 3)], machine=42))
    write("fuzz_elf", "relocatable.elf", elf([(1, 0x40, b"abc", 3)], etype=1))
    write("fuzz_elf", "little-endian.elf", elf([(1, 0x40, b"abc", 3)], ident=b"\x01\x01\x01"))
    write("fuzz_elf", "cut-segment.elf", elf([(1, 0x40, bytes(64), 64)])[:-10])


# ---- Binary images -----------------------------------------------------------

def bin_seed(start, unit, pages, near, tail, image):
    return struct.pack(">IHBB", start, unit - 1, pages - 1, (tail << 1) | near) + image


def binimage_seeds():
    write("fuzz_binimage", "inside", bin_seed(100, 128, 8, 0, 0, bytes(range(60))))
    write("fuzz_binimage", "fills-to-end", bin_seed(1024 - 64, 128, 8, 0, 0, b"\xA5" * 64))
    write("fuzz_binimage", "one-past-end", bin_seed(1024 - 63, 128, 8, 0, 0, b"\xA5" * 64))
    write("fuzz_binimage", "start-wraps", bin_seed(0xFFFFFFF0, 128, 8, 0, 0, b"\x00" * 32))
    write("fuzz_binimage", "partial-page", bin_seed(0, 100, 3, 1, 37, b"\x5A" * 300))
    write("fuzz_binimage", "empty", bin_seed(5, 16, 1, 0, 0, b""))


# ---- Command lines -----------------------------------------------------------

def argv(table, *args):
    return bytes([table]) + b"\0".join(a.encode() for a in args)


def egetopt_seeds():
    write("fuzz_egetopt", "program", argv(0, "-v", "-f", "100", "-s", "/dev/ttyS0:115200",
                                          "-i", "fw.mot", "-i", "fw.bin,0x8000", "rest"))
    write("fuzz_egetopt", "program-long", argv(0, "--verify", "--frequency=12L",
                                               "--serial=/dev/ttyUSB0", "--image=a.bin,-1",
                                               "--", "-v"))
    write("fuzz_egetopt", "program-errors", argv(0, "-vf100", "-fv", "--verify=q"))
    write("fuzz_egetopt", "every-kind",
          argv(1, "-bcc", "-n", "1", "2", "3", "-x", "0xff", "-y", "ff", "10", "-w", "1", "2",
               "3", "--text=hello", "--list", "a", "b", "c", "-F", "xyz", "p", "-gv",
               "--only-long", "-l4L", "-", "tail"))
    many = ["--list"] + ["v%d" % i for i in range(20)]
    write("fuzz_egetopt", "long-list", argv(1, *many))
    write("fuzz_egetopt", "every-kind-errors", argv(1, "-y", "256", "-w", "70000", "-x0"))


# ---- Device conversations -----------------------------------------------------

ACK = b"\x06"


def reply(code, width, data):
    r = bytes([code]) + (len(data).to_bytes(width, "big") if width else b"") + bytes(data)
    return r + bytes([-sum(r) & 0xFF])


def ranges(pairs):
    out = bytes([len(pairs)])
    for s, e in pairs:
        out += struct.pack(">II", s, e)
    return out


def status(s):
    return reply(0x5F, 1, bytes([s, 0]))


def conversation(size, unit, blocks, rate, verify, count, where, fill, freq, read_units=1,
                 sum_check=False, retries=0, first_unit=None):
    """The header and every device reply of a whole successful upgrade; verify
    carries the option bits of header byte 2 (read size, sum check) too;
    first_unit, if given, replaces the answer to the first programming frame."""
    header = bytes([retries << 1, rate, verify, count, where, fill]) + struct.pack(">H", freq)
    dev = b"\x00\xE6"                                   # synchronisation
    dev += reply(0x35, 1, ranges([(0, size - 1)]))
    block_pairs, addr = [], 0
    for b in blocks:
        block_pairs.append((addr, addr + b - 1))
        addr += b
    dev += reply(0x36, 2, ranges(block_pairs))
    dev += reply(0x37, 1, struct.pack(">H", unit))
    dev += status(0x11)
    name = b"H8S/2367"
    dev += reply(0x30, 1, bytes([1, 4 + len(name)]) + b"2367" + name)
    dev += ACK                                          # device selection
    dev += reply(0x31, 1, b"\x01\x00") + ACK            # clock modes, clock mode selection
    dev += reply(0x32, 1, b"\x01\x01\x04")              # one ratio: 4
    dev += reply(0x33, 1, b"\x01" + struct.pack(">HH", 1000, 3500))
    dev += ACK + ACK + status(0x1F)                     # new rate, confirmation
    dev += ACK + status(0x3F)                           # programming/erasing state
    pages = size // unit
    first = where * pages // 256
    marked = [p for p in range(first, first + count) if p < pages]
    dev += ACK                                          # erasure selection
    addr = 0
    for b in blocks:
        if any(addr <= p * unit + unit - 1 and p * unit <= addr + b - 1 for p in marked):
            dev += ACK
        addr += b
    dev += ACK + status(0x3F)                           # end of erasure
    units = ACK * len(marked)
    if first_unit is not None and marked:
        units = first_unit + ACK * (len(marked) - 1)
    dev += ACK + units + ACK + status(0x3F)             # programming
    if verify & 1:
        # The marked pages are one run, read in pieces of read_units units.
        for i in range(0, len(marked), read_units):
            dev += reply(0x52, 4, bytes([fill]) * unit * len(marked[i:i + read_units]))
        dev += status(0x3F)
    if sum_check:
        total = (0xFF * (size - len(marked) * unit) + fill * len(marked) * unit) & 0xFFFFFFFF
        dev += reply(0x5B, 1, struct.pack(">I", total))
    return header + dev


def exchange(cmd, response, cbReadSize, cbMaxRead, cbRead, no_buffer, cbWriteSize, payload, dev):
    return bytes([1, cmd, response, cbReadSize]) + struct.pack(">HH", cbMaxRead - 1, cbRead) + \
        bytes([(cbWriteSize << 1) | no_buffer, len(payload)]) + payload + dev


def protocol_seeds():
    blocks = [0x800] * 4
    write("fuzz_protocol", "upgrade-verify",
          conversation(0x2000, 128, blocks, 1, 1, 2, 64, 0xA5, 2949))
    # Read size of 8 units (bits 1-2 = 2), sum check (bit 3).
    write("fuzz_protocol", "upgrade-read-size-sum-check",
          conversation(0x2000, 128, blocks, 1, 0x0D, 7, 64, 0x5A, 2949, read_units=8,
                       sum_check=True))
    write("fuzz_protocol", "upgrade-two-blocks",
          conversation(0x2000, 128, blocks, 0, 0, 7, 58, 0x3C, 3000))
    # --retries 3: the first programming frame refused for its checksum (the
    # status probe answers "waiting for data", the frame goes again), and
    # answered with a wrong code (programming ends, the unit is read back,
    # found programmed, and programming is selected again).
    write("fuzz_protocol", "upgrade-retries-checksum-refusal",
          conversation(0x2000, 128, blocks, 1, 1, 2, 64, 0xA5, 2949, retries=3,
                       first_unit=b"\xD0\x11" + status(0x4F) + ACK))
    write("fuzz_protocol", "upgrade-retries-unknown-outcome",
          conversation(0x2000, 128, blocks, 1, 1, 2, 64, 0xA5, 2949, retries=3,
                       first_unit=b"\x86\x00" + status(0x4F) + ACK +
                       reply(0x52, 4, b"\xA5" * 128) + ACK))
    write("fuzz_protocol", "upgrade-nothing-marked",
          conversation(0x1000, 64, [0x1000], 8, 1, 0, 0, 0, 100))
    # A silent line after one wrong answer: every synchronisation try fails.
    write("fuzz_protocol", "sync-wrong-answer", bytes([0, 0, 0, 0, 0, 0, 0, 0]) + b"\x00\xFF")
    # Memory read: a whole reply, one byte too large, a refusal, a bad sum.
    read_req = b"\x01" + struct.pack(">II", 0x80, 8)
    good = reply(0x52, 4, bytes(range(8)))
    write("fuzz_protocol", "exchange-read", exchange(0x52, 0x52, 4, 14, 8, 0, 1, read_req, good))
    write("fuzz_protocol", "exchange-too-large",
          exchange(0x52, 0x52, 4, 13, 8, 0, 1, read_req, good))
    write("fuzz_protocol", "exchange-refused", exchange(0x40, 0x06, 0, 1, 0, 1, 0, b"", b"\xC0\x51"))
    write("fuzz_protocol", "exchange-checksum",
          exchange(0x4F, 0x5F, 1, 5, 0, 0, 0, b"", reply(0x5F, 1, b"\x3F\x00")[:-1] + b"\x00"))
    write("fuzz_protocol", "exchange-program",
          exchange(0x50, 0x06, 0, 1, 0, 1, 0, b"\x00\x00\x00\x80" + bytes(16), ACK))


# ---- Boot and run sequences ---------------------------------------------------

def bootseq_seeds():
    write("fuzz_bootseq", "gpio-reset-and-mode",
          b"gpio=gpiochip0:18=0,gpio=gpiochip0:17=0,wait=10,gpio=gpiochip0:17=1,wait=100")
    write("fuzz_bootseq", "modem-lines-and-break", b"rts=1,dtr=1,wait=10,dtr=0,break=250,wait=100")
    write("fuzz_bootseq", "limits", b"break=1,break=60000,wait=0,wait=060000,gpio=/dev/a:b:65535=1")
    write("fuzz_bootseq", "over-limits", b"wait=5,break=0,wait=60001,gpio=c:65536=1")
    write("fuzz_bootseq", "malformed", b"dtr=1,,rts=2,gpio=c:1,DTR=1,wait=-1")
    write("fuzz_bootseq", "empty", b"")
    write("fuzz_bootseq", "after-nul", b"dtr=1\0,garbage")


def main():
    bootseq_seeds()
    srec_seeds()
    ihex_seeds()
    elf_seeds()
    binimage_seeds()
    egetopt_seeds()
    protocol_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
