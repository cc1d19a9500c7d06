// NTFS, read on our own through the volume source alone, so that the same
// code serves every platform: the boot sector; the MFT's first record, which
// tells where the rest of the MFT lies; the $Bitmap file's record found
// through it; $Bitmap's data runs; the bitmap. A restore writes the clusters
// the bitmap marks as used and everything behind the last cluster, where the
// backup boot sector lies.
//
// A copy of only the used clusters is faithful only if the bitmap tells the
// truth about the file system's own structures, so the clusters of the
// system files (MFT records 0 to 15: $MFT, $MFTMirr, $LogFile, $Boot, ...)
// must all be marked used; a volume where they are not is refused.
//
// Every count the volume claims is checked against what the volume's size
// allows before it is used, so that a damaged or hostile volume is refused
// after work in proportion to its size, never looped over.
#include <algorithm>
#include <cstring>
#include <vector>

#include "tools/fs/ntfs_reader.h"
#include "tools/fs/volume_layout.h"

namespace pelmar_tools {

Recognition ReadNtfsLayout(const VolumeSource &source, const uint8_t *b, VolumeLayout &layout,
                           std::string &error) {
    const uint64_t size = source.Size();
    if (b[510] != 0x55 || b[511] != 0xAA || std::memcmp(b + 3, "NTFS    ", 8) != 0)
        return Recognition::NotThisKind;
    auto refuse = [&](const std::string &why) {
        error = "inconsistent NTFS file system: " + why;
        return Recognition::Inconsistent;
    };
    NtfsGeometry g;
    if (const std::string why = ReadNtfsGeometry(source, b, g); !why.empty()) return refuse(why);
    const uint64_t clusterBytes = g.clusterBytes, clusters = g.clusters;
    NtfsReader reader(source, clusterBytes, clusters, g.recordBytes);
    Value bitmap;
    if (!reader.LoadMft(g.mftLcn) || !reader.ReadValue(kBitmapRecord, kData, bitmap))
        return refuse(reader.error);
    const uint64_t bitmapBytes = (clusters + 7) / 8;
    if (bitmap.dataSize < bitmapBytes)
        return refuse("$Bitmap holds " + std::to_string(bitmap.dataSize) + " bytes, " +
                      std::to_string(bitmapBytes) + " are needed for " + std::to_string(clusters) + " clusters");
    std::vector<uint8_t> bits(bitmapBytes);
    if (!reader.ReadBytes(bitmap, "$Bitmap", 0, bits.data(), bits.size())) return refuse(reader.error);
    auto isUsed = [&](uint64_t lcn) { return bits[lcn / 8] >> (lcn % 8) & 1; };

    // The system files' clusters, in order of cluster, each checked once.
    std::vector<std::pair<Run, uint64_t>> system;
    if (!reader.SystemRuns(bitmap, system)) return refuse(reader.error);
    std::sort(system.begin(), system.end(),
              [](const auto &x, const auto &y) { return x.first.lcn < y.first.lcn; });
    uint64_t checked = 0;  // clusters below this are known to be used
    for (const auto &[run, number] : system) {
        for (uint64_t lcn = std::max(checked, run.lcn); lcn < run.lcn + run.length; ++lcn)
            if (!isUsed(lcn))
                return refuse("cluster " + std::to_string(lcn) + " of " + RecordName(number) +
                              " is marked free in $Bitmap");
        checked = std::max(checked, run.lcn + run.length);
    }

    layout = VolumeLayout{FileSystemKind::Ntfs, clusterBytes, clusters, 0, {}};
    for (uint64_t lcn = 0; lcn < clusters;) {
        // Whole bytes of one kind at a time.
        if (lcn % 8 == 0 && lcn + 8 <= clusters && (bits[lcn / 8] == 0 || bits[lcn / 8] == 0xFF)) {
            if (bits[lcn / 8]) {
                layout.usedClusters += 8;
                AppendRange(layout.used, lcn * clusterBytes, (lcn + 8) * clusterBytes);
            }
            lcn += 8;
            continue;
        }
        if (isUsed(lcn)) {
            ++layout.usedClusters;
            AppendRange(layout.used, lcn * clusterBytes, (lcn + 1) * clusterBytes);
        }
        ++lcn;
    }
    AppendRange(layout.used, clusters * clusterBytes, size);
    return Recognition::Recognised;
}

}  // namespace pelmar_tools
