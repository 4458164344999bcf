#!/usr/bin/env python3
"""Seeds for the registry_hive target: a hive, then optionally its .LOG1 and .LOG2 after the
harness's separator line. Writes into OUT: hivex's minimal hive as it is, and the same hive made
dirty with a new-format log whose one entry rewrites the hive's first page (hashes included).
With HOSTILE and ODD_NAMES (hivex's hive of odd key and value names) it also writes the hand-made hostile inputs of
tests/hostile/registry_hive/ into HOSTILE.
Usage: make_hive_seeds.py OUT MINIMAL [HOSTILE ODD_NAMES]"""
import struct
import sys

SEP = b"\n==vmpeek-file==\n"
MASK = 0xFFFFFFFF


def rotl(v, n):
    return ((v << n) | (v >> (32 - n))) & MASK


def marvin32(data):
    lo, hi = 0x7A4E55C5, 0x82EF4D88

    def block(lo, hi):
        hi ^= lo; lo = rotl(lo, 20)
        lo = (lo + hi) & MASK; hi = rotl(hi, 9)
        hi ^= lo; lo = rotl(lo, 27)
        lo = (lo + hi) & MASK; hi = rotl(hi, 19)
        return lo, hi

    n = len(data) & ~3
    for i in range(0, n, 4):
        lo = (lo + struct.unpack_from("<I", data, i)[0]) & MASK
        lo, hi = block(lo, hi)
    rest = data[n:]
    last = 0x80
    if len(rest) == 1:
        last = 0x8000 | rest[0]
    elif len(rest) == 2:
        last = 0x800000 | struct.unpack("<H", rest)[0]
    elif len(rest) == 3:
        last = 0x80000000 | (rest[2] << 16) | struct.unpack("<H", rest[:2])[0]
    lo = (lo + last) & MASK
    lo, hi = block(lo, hi)
    lo, hi = block(lo, hi)
    return (hi << 32) | lo


def checksum(block):
    s = 0
    for i in range(0, 508, 4):
        s ^= struct.unpack_from("<I", block, i)[0]
    return {0xFFFFFFFF: 0xFFFFFFFE, 0: 1}.get(s, s)


def base_block(src, seq1, seq2, ftype):
    b = bytearray(src[:4096])
    struct.pack_into("<III", b, 4, seq1, seq2, struct.unpack_from("<I", b, 12)[0])
    struct.pack_into("<I", b, 28, ftype)
    struct.pack_into("<I", b, 508, checksum(b))
    return b


def dirty_with_log(minimal, bins=4096, page_offset=0):
    """The minimal hive made dirty, and a log whose entry claims `bins` bytes of hive bins and
    writes the first page at `page_offset`."""
    hive = base_block(minimal, 2, 1, 0) + minimal[4096:]
    page = minimal[4096:8192]
    body = struct.pack("<II", page_offset, len(page)) + page
    size = (40 + len(body) + 511) // 512 * 512
    body += b"\0" * (size - 40 - len(body))
    head = bytearray(struct.pack("<4sIIIII", b"HvLE", size, 0, 5, bins, 1) + b"\0" * 16)
    struct.pack_into("<Q", head, 24, marvin32(body))
    struct.pack_into("<Q", head, 32, marvin32(bytes(head[:32])))
    log = bytes(base_block(minimal, 5, 5, 6)[:512]) + bytes(head) + body
    return bytes(hive) + SEP + log


def main():
    out, minimal = sys.argv[1], open(sys.argv[2], "rb").read()
    open(out + "/minimal", "wb").write(minimal)
    open(out + "/dirty-with-log", "wb").write(dirty_with_log(minimal))
    if len(sys.argv) < 5:
        return
    hostile, odd_names = sys.argv[3], open(sys.argv[4], "rb").read()
    open(hostile + "/log-grows-hive-to-2gib", "wb").write(dirty_with_log(minimal, bins=0x7FFFF000))
    open(hostile + "/log-page-past-hive-bins", "wb").write(dirty_with_log(minimal, page_offset=8192))
    # The first value of odd-names ("zero\0val", an inline dword) made to claim 2 GiB, then 60 MiB,
    # of data in the cell at 0x20.
    for name, length in (("value-claims-2gib", 0x7FFFFFF0), ("value-claims-60mib", 60 << 20)):
        hive = bytearray(odd_names)
        at = hive.find(b"vk", 4096)
        struct.pack_into("<II", hive, at + 4, length, 0x20)
        open(hostile + "/" + name, "wb").write(bytes(hive))


if __name__ == "__main__":
    main()
