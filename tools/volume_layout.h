// What a raw volume's file system uses: the byte ranges a restore must
// write. The FAT reading is our own (fat_layout.cpp); NTFS is read through
// libntfs-3g (ntfs_layout.cpp). Everything else on the volume is free space,
// which no supported file system reads before it has written it.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace pelmar_tools {

struct ByteRange {
    uint64_t start, end;  // [start, end)
};

enum class FileSystemKind { Unknown, Fat12, Fat16, Fat32, Ntfs };

const char *KindName(FileSystemKind kind);

enum class Recognition {
    NotThisKind,   // the boot sector is not one of this file system's
    Recognised,    // used ranges filled in
    Inconsistent,  // it claims to be one, but does not hold together; error says why
};

struct VolumeLayout {
    FileSystemKind kind = FileSystemKind::Unknown;
    uint64_t clusterBytes = 0;
    uint64_t clusters = 0;
    uint64_t usedClusters = 0;
    std::vector<ByteRange> used;  // ascending, not overlapping
};

// Appends [start, end) to ascending ranges, merging with the last one.
inline void AppendRange(std::vector<ByteRange> &ranges, uint64_t start, uint64_t end) {
    if (start >= end) return;
    if (!ranges.empty() && ranges.back().end >= start) {
        if (end > ranges.back().end) ranges.back().end = end;
        return;
    }
    ranges.push_back({start, end});
}

// Exactly `length` bytes of the file at `offset`; false at its end (errno
// 0) or on an error.
inline bool ReadFully(int fd, uint64_t offset, uint8_t *out, size_t length) {
    while (length) {
        ssize_t n = pread(fd, out, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = 0;
            return false;
        }
        out += n;
        offset += static_cast<uint64_t>(n);
        length -= static_cast<size_t>(n);
    }
    return true;
}

// `boot` is the input's first 512 bytes; `size` its size in bytes.
Recognition ReadFatLayout(int fd, const uint8_t *boot, uint64_t size, VolumeLayout &layout,
                          std::string &error);
Recognition ReadNtfsLayout(const std::string &path, const uint8_t *boot, uint64_t size, VolumeLayout &layout,
                           std::string &error);

}  // namespace pelmar_tools
