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
namespace {

Recognition Refuse(std::string &error, const std::string &why) {
    error = "inconsistent FAT file system: " + why;
    return Recognition::Inconsistent;
}

// What the boot sector says of the volume's regions and clusters.
struct FatGeometry {
    uint64_t bytesPerSector = 0, sectorsPerCluster = 0, reserved = 0, fats = 0, fatSectors = 0;
    uint64_t firstData = 0;  // the first cluster's sector
    uint64_t clusters = 0;
    bool fat32Layout = false;
    FileSystemKind kind = FileSystemKind::Unknown;
    unsigned bits = 0;       // of a FAT entry
    uint64_t activeFat = 0;  // the FAT read
    uint64_t root = 0;       // FAT32: the root directory's first cluster
};

// The boot sector's geometry, checked against itself and the input's size.
Recognition ReadGeometry(const VolumeSource &volume, const uint8_t *b, FatGeometry &g, std::string &error) {
    const uint64_t size = volume.Size();
    g.bytesPerSector = ReadLE(b + 11, 2);
    g.sectorsPerCluster = b[13];
    g.reserved = ReadLE(b + 14, 2);
    g.fats = b[16];
    const uint64_t rootEntries = ReadLE(b + 17, 2), media = b[21], fat16Size = ReadLE(b + 22, 2);
    const uint64_t bytesPerSector = g.bytesPerSector, sectorsPerCluster = g.sectorsPerCluster;
    // Only what every FAT boot sector has; anything else is another kind of input.
    if (b[510] != 0x55 || b[511] != 0xAA || (b[0] != 0xEB && b[0] != 0xE9) || bytesPerSector < 512 ||
        bytesPerSector > 4096 || !PowerOfTwo(bytesPerSector) || sectorsPerCluster > 128 ||
        !PowerOfTwo(sectorsPerCluster) || g.reserved == 0 || g.fats == 0 || (media != 0xF0 && media < 0xF8))
        return Recognition::NotThisKind;

    const uint64_t totalSectors = ReadLE(b + 19, 2) ? ReadLE(b + 19, 2) : ReadLE(b + 32, 4);
    g.fat32Layout = fat16Size == 0;
    g.fatSectors = g.fat32Layout ? ReadLE(b + 36, 4) : fat16Size;
    const uint64_t rootSectors = (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
    g.firstData = g.reserved + g.fats * g.fatSectors + rootSectors;
    if (totalSectors == 0 || g.fatSectors == 0) return Refuse(error, "the boot sector gives no volume or FAT size");
    if (g.fat32Layout != (rootEntries == 0))
        return Refuse(error, g.fat32Layout ? "a FAT32 boot sector with a root directory region"
                                           : "a FAT12/16 boot sector without a root directory region");
    if (totalSectors * bytesPerSector > size)
        return Refuse(error, "the boot sector gives " + std::to_string(totalSectors) + " sectors of " +
                                 std::to_string(bytesPerSector) + " bytes (" +
                                 std::to_string(totalSectors * bytesPerSector) + " bytes), the input holds only " +
                                 std::to_string(size) + " bytes");
    if (g.firstData >= totalSectors) return Refuse(error, "the FATs and root directory do not fit in the volume");
    const uint64_t clusters = g.clusters = (totalSectors - g.firstData) / sectorsPerCluster;
    g.kind = g.fat32Layout       ? FileSystemKind::Fat32
             : clusters < 4085 ? FileSystemKind::Fat12
                               : FileSystemKind::Fat16;
    if (!g.fat32Layout && clusters >= 65525)
        return Refuse(error, std::to_string(clusters) + " clusters, too many for a FAT12/16 boot sector");
    if (clusters == 0 || clusters > 0x0FFFFFF5) return Refuse(error, std::to_string(clusters) + " clusters");
    g.bits = g.kind == FileSystemKind::Fat12 ? 12 : g.kind == FileSystemKind::Fat16 ? 16 : 32;
    if (g.fatSectors * bytesPerSector * 8 / g.bits < clusters + 2)
        return Refuse(error, "a FAT of " + std::to_string(g.fatSectors) + " sectors cannot hold " +
                                 std::to_string(clusters) + " clusters");

    // A FAT32 volume may mirror its FATs or use one of them only.
    const uint64_t extFlags = g.fat32Layout ? ReadLE(b + 40, 2) : 0;
    g.activeFat = (extFlags & 0x80) ? (extFlags & 0x0F) : 0;
    if (g.activeFat >= g.fats)
        return Refuse(error, "the active FAT " + std::to_string(g.activeFat) + " does not exist");
    if (g.fat32Layout) {
        g.root = ReadLE(b + 44, 4) & 0x0FFFFFFF;
        if (g.root < 2 || g.root > clusters + 1)
            return Refuse(error, "the root directory cluster " + std::to_string(g.root) + " lies outside the volume");
    }
    return Recognition::Recognised;
}

// The active FAT's entries of the volume's clusters, read a window at a time.
class FatReader {
  public:
    FatReader(const VolumeSource &volume, const FatGeometry &g)
        : volume_(volume),
          bits_(g.bits),
          fatStart_((g.reserved + g.activeFat * g.fatSectors) * g.bytesPerSector),
          fatBytes_(((g.clusters + 2) * g.bits + 7) / 8),
          window_(std::min<uint64_t>(fatBytes_, 4 << 20)) {}

    // Cluster n's FAT entry; false when the FAT cannot be read.
    bool Entry(uint64_t n, uint32_t &entry, std::string &error) {
        const unsigned width = bits_ == 12 ? 2 : bits_ / 8;
        const uint8_t *bytes = EntryBytes(n * bits_ / 8, width);
        if (!bytes) {
            error = "cannot read the FAT: " + readError_;
            return false;
        }
        entry = static_cast<uint32_t>(ReadLE(bytes, static_cast<int>(width)));
        entry = bits_ == 12 ? ((n & 1) ? entry >> 4 : entry & 0xFFF) : entry & 0x0FFFFFFF;
        return true;
    }

  private:
    const uint8_t *EntryBytes(uint64_t at, unsigned length) {
        if (at < windowStart_ || at + length > windowEnd_) {
            windowStart_ = at;
            windowEnd_ = std::min<uint64_t>(fatBytes_, at + window_.size());
            if (!volume_.ReadAt(fatStart_ + at, window_.data(), windowEnd_ - windowStart_, readError_)) return nullptr;
        }
        return &window_[at - windowStart_];
    }

    const VolumeSource &volume_;
    const unsigned bits_;
    const uint64_t fatStart_, fatBytes_;
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0, windowEnd_ = 0;
    std::string readError_;
};

struct ClusterBits {
    std::vector<uint64_t> words;
    explicit ClusterBits(uint64_t n) : words((n + 63) / 64) {}
    void Set(uint64_t i) { words[i / 64] |= uint64_t{1} << (i % 64); }
    bool operator[](uint64_t i) const { return words[i / 64] >> (i % 64) & 1; }
};

// Which clusters hold data (each added to the used ranges), and which ones
// a chain leads to. One pass over the FAT.
Recognition MarkClusters(const FatGeometry &g, FatReader &fat, VolumeLayout &layout, ClusterBits &holdsData,
                         ClusterBits &linkedTo, std::string &error) {
    const uint32_t bad = g.bits == 12 ? 0xFF7 : g.bits == 16 ? 0xFFF7 : 0x0FFFFFF7;
    const uint64_t dataStart = g.firstData * g.bytesPerSector;
    for (uint64_t n = 2; n < g.clusters + 2; ++n) {
        uint32_t entry = 0;
        if (!fat.Entry(n, entry, error)) return Recognition::Inconsistent;
        if (entry == 0 || entry == bad) continue;
        // The next cluster of a chain, or its end (the values above "bad").
        if (entry < bad && (entry < 2 || entry > g.clusters + 1))
            return Refuse(error, "cluster " + std::to_string(n) + " of the FAT points to " + std::to_string(entry) +
                                     ", outside the volume's clusters 2 to " + std::to_string(g.clusters + 1));
        if (entry < bad) linkedTo.Set(entry);
        holdsData.Set(n);
        ++layout.usedClusters;
        AppendRange(layout.used, dataStart + (n - 2) * layout.clusterBytes, dataStart + (n - 1) * layout.clusterBytes);
    }
    return Recognition::Recognised;
}

// A link to a cluster that holds none would lose the rest of the file, or,
// to a bad cluster, its data; FAT32's root directory must hold data too.
Recognition CheckLinks(const FatGeometry &g, FatReader &fat, const ClusterBits &holdsData,
                       const ClusterBits &linkedTo, std::string &error) {
    auto state = [&](uint64_t n) {
        uint32_t entry = 0;
        std::string ignored;
        return !fat.Entry(n, entry, ignored) ? std::string("unreadable") : entry == 0 ? "free" : "marked bad";
    };
    if (g.fat32Layout && !holdsData[g.root])
        return Refuse(error, "the root directory's cluster " + std::to_string(g.root) + " is " + state(g.root) +
                                 " in the FAT");
    for (uint64_t w = 0; w < linkedTo.words.size(); ++w) {
        const uint64_t lost = linkedTo.words[w] & ~holdsData.words[w];
        if (!lost) continue;
        const uint64_t m = w * 64 + static_cast<uint64_t>(__builtin_ctzll(lost));
        // Found; a second pass names the cluster that leads there.
        for (uint64_t n = 2; n < g.clusters + 2; ++n) {
            uint32_t entry = 0;
            if (!fat.Entry(n, entry, error)) return Recognition::Inconsistent;
            if (entry == m && holdsData[n])
                return Refuse(error, "cluster " + std::to_string(n) + " of the FAT points to cluster " +
                                         std::to_string(m) + ", which is " + state(m));
        }
    }
    return Recognition::Recognised;
}

}  // namespace

Recognition ReadFatLayout(const VolumeSource &volume, const uint8_t *b, VolumeLayout &layout,
                          std::string &error) {
    FatGeometry g;
    if (const Recognition r = ReadGeometry(volume, b, g, error); r != Recognition::Recognised) return r;
    FatReader fat(volume, g);
    layout = VolumeLayout{g.kind, g.sectorsPerCluster * g.bytesPerSector, g.clusters, 0, {}};
    // Boot sector, FSInfo, backup boot sector, the FATs and the root
    // directory region lie before the first cluster.
    AppendRange(layout.used, 0, g.firstData * g.bytesPerSector);
    // Two bits per cluster: it holds data, a chain leads to it.
    ClusterBits holdsData(g.clusters + 2), linkedTo(g.clusters + 2);
    if (const Recognition r = MarkClusters(g, fat, layout, holdsData, linkedTo, error); r != Recognition::Recognised)
        return r;
    return CheckLinks(g, fat, holdsData, linkedTo, error);
}

}  // namespace pelmar_tools
