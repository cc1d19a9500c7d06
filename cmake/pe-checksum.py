#!/usr/bin/env python3
"""Writes the checksum field of a PE image's optional header.

   pe-checksum.py IMAGE          set the field
   pe-checksum.py --check IMAGE  exit 1 unless the field holds the checksum

The checksum is the one the system's loader checks for drivers and boot-time
images, and that the image-help library's CheckSumMappedFile computes: the
file's bytes summed as 16-bit little-endian words with the checksum field
itself taken as zero, each carry folded back into the low 16 bits, and the
file's length added at the end. The linker leaves the field zero."""
import struct
import sys


def checksum_offset(data):
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise ValueError("not an executable image (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    # The optional header follows the 4-byte signature and the 20-byte file
    # header; CheckSum is at offset 64 in it, for PE32 and PE32+ alike.
    offset = pe + 24 + 64
    if offset + 4 > len(data):
        raise ValueError("optional header cut short")
    return offset


def pe_checksum(data, offset):
    length = len(data)
    if length % 2:
        data = data + b"\0"
    words = struct.unpack("<%dH" % (len(data) // 2), data)
    total = 0
    for index, word in enumerate(words):
        if index * 2 in (offset, offset + 2):
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + length) & 0xFFFFFFFF


def main(argv):
    check = len(argv) == 3 and argv[1] == "--check"
    if len(argv) != 2 and not check:
        sys.exit("usage: pe-checksum.py [--check] IMAGE")
    path = argv[-1]
    with open(path, "rb") as f:
        data = f.read()
    offset = checksum_offset(data)
    value = pe_checksum(data, offset)
    stored = struct.unpack_from("<I", data, offset)[0]
    if check:
        if stored != value:
            sys.exit("pe-checksum: %s: checksum field 0x%08x, the image's checksum is 0x%08x" % (path, stored, value))
        return
    if stored != value:
        with open(path, "r+b") as f:
            f.seek(offset)
            f.write(struct.pack("<I", value))


if __name__ == "__main__":
    main(sys.argv)
