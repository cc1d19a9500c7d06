#!/usr/bin/env python3
"""Gives a Windows Installer package the package code and the times of its
summary information that the caller names, in place:

   msi-summary.py PACKAGE.msi PACKAGE-CODE EPOCH

wixl writes a random package code (the revision number, PID 9) and the
time of the build (created, PID 12; last saved, PID 13): the only bytes in
which two builds of one commit differ. The package code must differ only
between packages that differ, so scripts/release.sh derives it from the
version and the commit; the times become the commit's. The stream is
rewritten where it lies in the compound file (the values keep their sizes),
so nothing else moves."""
import datetime
import re
import struct
import sys

FREE, END_OF_CHAIN = 0xFFFFFFFF, 0xFFFFFFFE
SUMMARY = "\x05SummaryInformation"
FMTID_SUMMARY = bytes.fromhex("e0859ff2f94f6810ab9108002b27b3d9")
VT_LPSTR, VT_FILETIME = 30, 64


class CompoundFile:
    """The sectors of a compound file, enough to find where a stream's bytes lie."""

    def __init__(self, data):
        if data[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
            raise ValueError("not a compound file (no signature)")
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini = 1 << struct.unpack_from("<H", data, 0x20)[0]
        self.cutoff = struct.unpack_from("<I", data, 0x38)[0]
        first_dir, first_minifat = struct.unpack_from("<I", data, 0x30)[0], struct.unpack_from("<I", data, 0x3C)[0]
        difat = list(struct.unpack_from("<109I", data, 0x4C))
        next_difat = struct.unpack_from("<I", data, 0x44)[0]
        per = self.sector // 4
        while next_difat not in (FREE, END_OF_CHAIN):
            words = struct.unpack_from(f"<{per}I", data, self.offset(next_difat))
            difat += words[:-1]
            next_difat = words[-1]
        self.fat = []
        for s in difat:
            if s != FREE:
                self.fat += struct.unpack_from(f"<{per}I", data, self.offset(s))
        self.minifat = []
        for s in self.chain(first_minifat):
            self.minifat += struct.unpack_from(f"<{per}I", data, self.offset(s))
        self.entries = []
        for s in self.chain(first_dir):
            for at in range(self.offset(s), self.offset(s) + self.sector, 128):
                length = struct.unpack_from("<H", data, at + 0x40)[0]
                name = data[at:at + max(length - 2, 0)].decode("utf-16-le")
                start, size = struct.unpack_from("<IQ", data, at + 0x74)
                self.entries.append((name, start, size & 0xFFFFFFFF if self.sector == 512 else size))
        self.mini_stream = [self.offset(s) for s in self.chain(self.entries[0][1])]

    def offset(self, sector):
        return (sector + 1) * self.sector

    def chain(self, first):
        seen, s = set(), first
        while s not in (FREE, END_OF_CHAIN):
            if s in seen or s >= len(self.fat):
                raise ValueError("a broken sector chain")
            seen.add(s)
            yield s
            s = self.fat[s]

    def places(self, name):
        """The file offset of every byte of the stream `name`, in order."""
        found = [e for e in self.entries if e[0] == name]
        if len(found) != 1:
            raise ValueError(f"no stream {name!r}")
        _, start, size = found[0]
        out = []
        if size < self.cutoff:
            s = start
            while s not in (FREE, END_OF_CHAIN) and len(out) < size:
                at = s * self.mini
                base = self.mini_stream[at // self.sector] + at % self.sector
                out += range(base, base + self.mini)
                s = self.minifat[s]
        else:
            for s in self.chain(start):
                out += range(self.offset(s), self.offset(s) + self.sector)
        if len(out) < size:
            raise ValueError(f"the stream {name!r} is cut short")
        return out[:size]


def patched(stream, code, filetime):
    """The summary information with the package code and the two times replaced."""
    out = bytearray(stream)
    if out[28:44] != FMTID_SUMMARY:
        raise ValueError("the summary information has an unexpected layout")
    section = struct.unpack_from("<I", out, 44)[0]
    count = struct.unpack_from("<I", out, section + 4)[0]
    done = set()
    for i in range(count):
        pid, where = struct.unpack_from("<II", out, section + 8 + 8 * i)
        at = section + where
        kind = struct.unpack_from("<I", out, at)[0]
        if pid == 9 and kind == VT_LPSTR:
            length = struct.unpack_from("<I", out, at + 4)[0]
            old = bytes(out[at + 8:at + 8 + length]).rstrip(b"\0")
            new = code.encode("ascii")
            if len(old) != len(new) or not re.fullmatch(rb"\{[0-9A-F-]{36}\}", old):
                raise ValueError(f"the package code {old!r} is not a GUID of its size")
            out[at + 8:at + 8 + len(new)] = new
            done.add(pid)
        elif pid in (12, 13) and kind == VT_FILETIME:
            struct.pack_into("<Q", out, at + 4, filetime)
            done.add(pid)
    if done != {9, 12, 13}:
        raise ValueError(f"the summary information lacks {sorted({9, 12, 13} - done)}")
    return bytes(out)


def main():
    if len(sys.argv) != 4 or not re.fullmatch(r"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}", sys.argv[2]):
        sys.exit("usage: msi-summary.py PACKAGE.msi {PACKAGE-CODE} EPOCH (the code in upper case)")
    path, code, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
    # Windows keeps these times as local time; the commit's time in UTC is written as it is.
    start = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)
    filetime = int((datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc) - start).total_seconds()) * 10**7
    data = bytearray(open(path, "rb").read())
    places = CompoundFile(bytes(data)).places(SUMMARY)
    new = patched(bytes(data[p] for p in places), code, filetime)
    for p, b in zip(places, new):
        data[p] = b
    open(path, "wb").write(bytes(data))


if __name__ == "__main__":
    try:
        main()
    except (ValueError, struct.error, OSError) as error:
        sys.exit(f"msi-summary.py: {error}")
