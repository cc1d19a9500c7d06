#!/usr/bin/env python3
"""Writes a C++ source that holds a PE image's Authenticode digest.

   pe-digest.py IMAGE SOURCE NAME

The digest is SHA-256 over the ranges Authenticode signs: the whole file
less the optional header's CheckSum field, the certificate table's entry in
the data directory and the attribute certificate table it points to, with
an unsigned file padded with zeros to a multiple of eight bytes. Signing the
image later (or writing its checksum) leaves the digest as it is, so the
program that embeds it can check a signed or an unsigned copy alike
(tools/install_checks.cpp computes the same ranges)."""
import hashlib
import importlib.util
import struct
import sys
from pathlib import Path

# The PE headers are found as pe-checksum.py finds them.
_spec = importlib.util.spec_from_file_location("pe_checksum", Path(__file__).with_name("pe-checksum.py"))
pe_checksum = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(pe_checksum)


def digest(data):
    checksum = pe_checksum.checksum_offset(data)
    optional = checksum - 64
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x20B: 112, 0x10B: 96}[magic]
    entry = directories + 4 * 8
    table_at, table_size = struct.unpack_from("<II", data, entry)
    if table_size == 0:
        table_at = len(data)
    h = hashlib.sha256()
    h.update(data[:checksum])
    h.update(data[checksum + 4:entry])
    h.update(data[entry + 8:table_at])
    h.update(data[table_at + table_size:])
    if table_size == 0:
        h.update(bytes(-len(data) % 8))
    return h.digest()


def main():
    image, source, name = sys.argv[1:4]
    with open(image, "rb") as f:
        value = digest(f.read())
    text = ("// Written by cmake/pe-digest.py at build time: the Authenticode digest of\n"
            f"// the {Path(image).name} built with this program.\n"
            f"extern const unsigned char {name}[32] = {{{', '.join('0x%02x' % b for b in value)}}};\n")
    with open(source, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
