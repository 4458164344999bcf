#!/usr/bin/env python3
"""Turns a dynamic VHD written by qemu-img into a differencing child of PARENT.

qemu can read but not write differencing VHDs, so the child is made from a dynamic image holding
the child's own blocks (qemu leaves all-zero blocks unallocated): the disk type becomes 4, the
header names the parent's unique id and gets an absolute (W2ku) parent locator, whose text is
stored where the footer was, and the footer moves one sector on. Checksums are recomputed.

Usage: make_vhd_child.py PARENT CHILD [alternate]
  alternate: in every allocated block of the child, keep only every other group of 8 sectors
  (bitmap bytes 0xFF, 0x00, 0xFF, ...), so that reads alternate between child and parent.
"""
import os
import struct
import sys


def checksum(data, field):
    b = bytearray(data)
    b[field:field + 4] = b"\0\0\0\0"
    return (~sum(b)) & 0xFFFFFFFF


def main():
    parent, child = sys.argv[1], sys.argv[2]
    alternate = len(sys.argv) > 3 and sys.argv[3] == "alternate"
    with open(parent, "rb") as f:
        f.seek(-512, os.SEEK_END)
        parent_footer = f.read(512)
    parent_uid = parent_footer[68:84]
    with open(child, "r+b") as f:
        size = f.seek(0, os.SEEK_END)
        f.seek(size - 512)
        footer = bytearray(f.read(512))
        assert footer[:8] == b"conectix", "child footer"
        f.seek(512)
        header = bytearray(f.read(1024))
        assert header[:8] == b"cxsparse", "child header"
        table_offset, = struct.unpack(">Q", header[16:24])
        entries, block_size = struct.unpack(">II", header[28:36])
        bitmap_bytes = ((block_size // 4096) + 511) // 512 * 512

        if alternate:
            f.seek(table_offset)
            bat = struct.unpack(">%dI" % entries, f.read(4 * entries))
            pattern = (b"\xff\x00" * (bitmap_bytes // 2))[: block_size // 512 // 8]
            pattern += b"\0" * (bitmap_bytes - len(pattern))
            for entry in bat:
                if entry != 0xFFFFFFFF:
                    f.seek(entry * 512)
                    f.write(pattern)

        # The parent's absolute path as the library sees it: drive Z: is the root.
        text = ("Z:" + os.path.abspath(parent).replace("/", "\\")).encode("utf-16-le")
        sectors = (len(text) + 511) // 512
        locator_offset = size - 512
        footer[60:64] = struct.pack(">I", 4)
        footer[64:68] = struct.pack(">I", checksum(footer, 64))
        header[40:56] = parent_uid
        name = os.path.basename(parent).encode("utf-16-be")[:512]
        header[64:576] = name + b"\0" * (512 - len(name))
        header[576:600] = struct.pack(">IIIIQ", 0x57326B75, sectors * 512, len(text), 0, locator_offset)
        header[36:40] = struct.pack(">I", checksum(header, 36))
        f.seek(locator_offset)
        f.write(text + b"\0" * (sectors * 512 - len(text)))
        f.write(footer)
        f.seek(0)
        f.write(footer)
        f.seek(512)
        f.write(header)


if __name__ == "__main__":
    main()
