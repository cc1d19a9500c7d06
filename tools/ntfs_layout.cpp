// NTFS through libntfs-3g: the clusters the volume's allocation bitmap
// ($Bitmap) marks as used, and everything behind the last cluster, where
// the backup boot sector lies.
#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/image_format.h"
#include "tools/volume_layout.h"
// After the standard headers: libntfs-3g's headers define min and max.
#include "tools/ntfs.h"

namespace pelmar_tools {

Recognition ReadNtfsLayout(const VolumeSource &source, const uint8_t *b, VolumeLayout &layout,
                           std::string &error) {
    const uint64_t size = source.Size();
    if (b[510] != 0x55 || b[511] != 0xAA || std::memcmp(b + 3, "NTFS    ", 8) != 0)
        return Recognition::NotThisKind;
    const uint64_t bytesPerSector = GetLE(b + 11, 2), sectors = GetLE(b + 40, 8);
    if (bytesPerSector < 256 || bytesPerSector > 4096 || sectors > UINT64_MAX / 4096 ||
        (sectors + 1) * bytesPerSector > size) {
        error = "inconsistent NTFS file system: the boot sector gives " + std::to_string(sectors) +
                " sectors of " + std::to_string(bytesPerSector) +
                " bytes and a backup boot sector behind them, " + "the input holds only " +
                std::to_string(size) + " bytes";
        return Recognition::Inconsistent;
    }
    NtfsVolume volume;
    if (!volume.Mount(source.Name(), true, error)) {
        error = "inconsistent NTFS file system: " + error;
        return Recognition::Inconsistent;
    }
    ntfs_volume *vol = volume.get();
    const uint64_t clusterBytes = vol->cluster_size, clusters = static_cast<uint64_t>(vol->nr_clusters);
    layout = VolumeLayout{FileSystemKind::Ntfs, clusterBytes, clusters, 0, {}};
    std::vector<uint8_t> bitmap(1 << 20);
    for (uint64_t lcn = 0; lcn < clusters;) {
        const uint64_t want = std::min<uint64_t>(bitmap.size(), (clusters - lcn + 7) / 8);
        if (ntfs_attr_pread(vol->lcnbmp_na, static_cast<s64>(lcn / 8), static_cast<s64>(want),
                            bitmap.data()) != static_cast<s64>(want)) {
            error = std::string("inconsistent NTFS file system: cannot read its cluster bitmap: ") +
                    std::strerror(errno);
            return Recognition::Inconsistent;
        }
        for (uint64_t i = 0; i < want * 8 && lcn < clusters; ++i, ++lcn)
            if (bitmap[i / 8] >> (i % 8) & 1) {
                ++layout.usedClusters;
                AppendRange(layout.used, lcn * clusterBytes, (lcn + 1) * clusterBytes);
            }
    }
    AppendRange(layout.used, clusters * clusterBytes, size);
    return Recognition::Recognised;
}

}  // namespace pelmar_tools
