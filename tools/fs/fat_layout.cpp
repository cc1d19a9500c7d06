// FAT12, FAT16 and FAT32 from the boot sector and the FAT. A restore of a
// FAT volume must write the reserved sectors (boot sector, FSInfo, backup
// boot sector), every FAT whole, the FAT12/16 root directory region, and
// every cluster the FAT marks as used, that is neither free nor bad.
//
// The FAT type follows the layout of the boot sector (a 16-bit FAT size of
// 0 means FAT32) and, for the others, the cluster count: fewer than 4,085
// clusters is FAT12, as Windows and Linux both decide it.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/fs/volume_layout.h"

namespace pelmar_tools {

Recognition ReadFatLayout(const VolumeSource &volume, const uint8_t *b, VolumeLayout &layout,
                          std::string &error) {
    const uint64_t size = volume.Size();
    const uint64_t bytesPerSector = ReadLE(b + 11, 2), sectorsPerCluster = b[13], reserved = ReadLE(b + 14, 2),
                   fats = b[16], rootEntries = ReadLE(b + 17, 2), media = b[21], fat16Size = ReadLE(b + 22, 2);
    // Only what every FAT boot sector has; anything else is another kind of input.
    if (b[510] != 0x55 || b[511] != 0xAA || (b[0] != 0xEB && b[0] != 0xE9) || bytesPerSector < 512 ||
        bytesPerSector > 4096 || !PowerOfTwo(bytesPerSector) || sectorsPerCluster > 128 ||
        !PowerOfTwo(sectorsPerCluster) || reserved == 0 || fats == 0 || (media != 0xF0 && media < 0xF8))
        return Recognition::NotThisKind;

    const uint64_t totalSectors = ReadLE(b + 19, 2) ? ReadLE(b + 19, 2) : ReadLE(b + 32, 4);
    const bool fat32Layout = fat16Size == 0;
    const uint64_t fatSectors = fat32Layout ? ReadLE(b + 36, 4) : fat16Size;
    const uint64_t rootSectors = (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
    const uint64_t firstData = reserved + fats * fatSectors + rootSectors;
    auto refuse = [&](const std::string &why) {
        error = "inconsistent FAT file system: " + why;
        return Recognition::Inconsistent;
    };
    if (totalSectors == 0 || fatSectors == 0) return refuse("the boot sector gives no volume or FAT size");
    if (fat32Layout != (rootEntries == 0))
        return refuse(fat32Layout ? "a FAT32 boot sector with a root directory region"
                                  : "a FAT12/16 boot sector without a root directory region");
    if (totalSectors * bytesPerSector > size)
        return refuse("the boot sector gives " + std::to_string(totalSectors) + " sectors of " +
                      std::to_string(bytesPerSector) + " bytes (" +
                      std::to_string(totalSectors * bytesPerSector) + " bytes), the input holds only " +
                      std::to_string(size) + " bytes");
    if (firstData >= totalSectors) return refuse("the FATs and root directory do not fit in the volume");
    const uint64_t clusters = (totalSectors - firstData) / sectorsPerCluster;
    FileSystemKind kind = fat32Layout       ? FileSystemKind::Fat32
                          : clusters < 4085 ? FileSystemKind::Fat12
                                            : FileSystemKind::Fat16;
    if (!fat32Layout && clusters >= 65525)
        return refuse(std::to_string(clusters) + " clusters, too many for a FAT12/16 boot sector");
    if (clusters == 0 || clusters > 0x0FFFFFF5) return refuse(std::to_string(clusters) + " clusters");
    const unsigned bits = kind == FileSystemKind::Fat12 ? 12 : kind == FileSystemKind::Fat16 ? 16 : 32;
    if (fatSectors * bytesPerSector * 8 / bits < clusters + 2)
        return refuse("a FAT of " + std::to_string(fatSectors) + " sectors cannot hold " +
                      std::to_string(clusters) + " clusters");

    // A FAT32 volume may mirror its FATs or use one of them only.
    const uint64_t extFlags = fat32Layout ? ReadLE(b + 40, 2) : 0;
    const uint64_t activeFat = (extFlags & 0x80) ? (extFlags & 0x0F) : 0;
    if (activeFat >= fats) return refuse("the active FAT " + std::to_string(activeFat) + " does not exist");
    if (fat32Layout) {
        uint64_t root = ReadLE(b + 44, 4) & 0x0FFFFFFF;
        if (root < 2 || root > clusters + 1)
            return refuse("the root directory cluster " + std::to_string(root) + " lies outside the volume");
    }

    // The active FAT's entries of the volume's clusters, a window at a time.
    const uint64_t fatStart = (reserved + activeFat * fatSectors) * bytesPerSector;
    const uint64_t fatBytes = ((clusters + 2) * bits + 7) / 8;
    std::vector<uint8_t> window(std::min<uint64_t>(fatBytes, 4 << 20));
    uint64_t windowStart = 0, windowEnd = 0;
    std::string readError;
    auto entryBytes = [&](uint64_t at, unsigned length) -> const uint8_t * {
        if (at < windowStart || at + length > windowEnd) {
            windowStart = at;
            windowEnd = std::min<uint64_t>(fatBytes, at + window.size());
            if (!volume.ReadAt(fatStart + at, window.data(), windowEnd - windowStart, readError)) return nullptr;
        }
        return &window[at - windowStart];
    };
    const uint32_t bad = bits == 12 ? 0xFF7 : bits == 16 ? 0xFFF7 : 0x0FFFFFF7;
    // Cluster n's FAT entry; false when the FAT cannot be read.
    auto entryOf = [&](uint64_t n, uint32_t &entry) {
        const unsigned width = bits == 12 ? 2 : bits / 8;
        const uint8_t *bytes = entryBytes(n * bits / 8, width);
        if (!bytes) {
            error = "cannot read the FAT: " + readError;
            return false;
        }
        entry = static_cast<uint32_t>(ReadLE(bytes, static_cast<int>(width)));
        entry = bits == 12 ? ((n & 1) ? entry >> 4 : entry & 0xFFF) : entry & 0x0FFFFFFF;
        return true;
    };
    const uint64_t clusterBytes = sectorsPerCluster * bytesPerSector, dataStart = firstData * bytesPerSector;
    layout = VolumeLayout{kind, clusterBytes, clusters, 0, {}};
    // Boot sector, FSInfo, backup boot sector, the FATs and the root
    // directory region lie before the first cluster.
    AppendRange(layout.used, 0, dataStart);
    // Which clusters hold data, and which ones a chain leads to: a link to
    // a cluster that holds none would lose the rest of the file, or, to a
    // bad cluster, its data. One pass over the FAT, two bits per cluster.
    struct Bits {
        std::vector<uint64_t> words;
        explicit Bits(uint64_t n) : words((n + 63) / 64) {}
        void Set(uint64_t i) { words[i / 64] |= uint64_t{1} << (i % 64); }
        bool operator[](uint64_t i) const { return words[i / 64] >> (i % 64) & 1; }
    } holdsData(clusters + 2), linkedTo(clusters + 2);
    for (uint64_t n = 2; n < clusters + 2; ++n) {
        uint32_t entry = 0;
        if (!entryOf(n, entry)) return Recognition::Inconsistent;
        if (entry == 0 || entry == bad) continue;
        // The next cluster of a chain, or its end (the values above "bad").
        if (entry < bad && (entry < 2 || entry > clusters + 1))
            return refuse("cluster " + std::to_string(n) + " of the FAT points to " + std::to_string(entry) +
                          ", outside the volume's clusters 2 to " + std::to_string(clusters + 1));
        if (entry < bad) linkedTo.Set(entry);
        holdsData.Set(n);
        ++layout.usedClusters;
        AppendRange(layout.used, dataStart + (n - 2) * clusterBytes, dataStart + (n - 1) * clusterBytes);
    }
    auto state = [&](uint64_t n) {
        uint32_t entry = 0;
        return !entryOf(n, entry) ? std::string("unreadable") : entry == 0 ? "free" : "marked bad";
    };
    if (fat32Layout) {
        const uint64_t root = ReadLE(b + 44, 4) & 0x0FFFFFFF;
        if (!holdsData[root])
            return refuse("the root directory's cluster " + std::to_string(root) + " is " + state(root) +
                          " in the FAT");
    }
    for (uint64_t w = 0; w < linkedTo.words.size(); ++w) {
        const uint64_t lost = linkedTo.words[w] & ~holdsData.words[w];
        if (!lost) continue;
        const uint64_t m = w * 64 + static_cast<uint64_t>(__builtin_ctzll(lost));
        // Found; a second pass names the cluster that leads there.
        for (uint64_t n = 2; n < clusters + 2; ++n) {
            uint32_t entry = 0;
            if (!entryOf(n, entry)) return Recognition::Inconsistent;
            if (entry == m && holdsData[n])
                return refuse("cluster " + std::to_string(n) + " of the FAT points to cluster " +
                              std::to_string(m) + ", which is " + state(m));
        }
    }
    return Recognition::Recognised;
}

}  // namespace pelmar_tools
