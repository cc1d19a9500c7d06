// What a raw volume's file system uses: the byte ranges a restore must
// write. Both readings are our own, through the volume source only
// (fat_layout.cpp, ntfs_layout.cpp); which file system a volume holds is
// decided once, in volume_layout.cpp. Everything else on the volume is free
// space, which no supported file system reads before it has written it. A
// volume whose allocation leaves out what the file system needs (its own
// structures, a link of a chain) is inconsistent: a copy of it would not be
// faithful.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/basics/little_endian.h"
#include "tools/platform/volume_source.h"

namespace pelmar_tools {

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

// Sizes and counts both file systems keep to powers of two.
inline bool PowerOfTwo(uint64_t v) { return v && !(v & (v - 1)); }

// Appends [start, end) to ascending ranges, merging with the last one.
inline void AppendRange(std::vector<ByteRange> &ranges, uint64_t start, uint64_t end) {
    if (start >= end) return;
    if (!ranges.empty() && ranges.back().end >= start) {
        if (end > ranges.back().end) ranges.back().end = end;
        return;
    }
    ranges.push_back({start, end});
}

// The layout of a FAT volume, else of an NTFS one; NotThisKind (and an
// Unknown kind) when it holds neither. `boot` is the volume's first 512
// bytes.
Recognition ReadVolumeLayout(const VolumeSource &volume, const uint8_t *boot, VolumeLayout &layout,
                             std::string &error);
// Each file system's own reading, as ReadVolumeLayout tries them.
Recognition ReadFatLayout(const VolumeSource &volume, const uint8_t *boot, VolumeLayout &layout,
                          std::string &error);
Recognition ReadNtfsLayout(const VolumeSource &volume, const uint8_t *boot, VolumeLayout &layout,
                           std::string &error);

}  // namespace pelmar_tools
