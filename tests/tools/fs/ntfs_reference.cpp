// libntfs-3g's view of NTFS volumes for the tools' tests, in a file of its
// own: its headers and the stand-in's Windows names cannot meet.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <fstream>
#include <iterator>

#include "tests/tools/fs/ntfs_reference.h"
// After the standard headers: libntfs-3g's headers define min and max.
#include "tools/pelmar-prepare/libntfs3g.h"
extern "C" {
#include <ntfs-3g/bitmap.h>
}

namespace pelmar_test {

bool ReadNtfsAllocation(const std::string &path, NtfsAllocation &out, std::string &error) {
    pelmar_tools::NtfsVolume volume;
    if (!volume.Mount(path, true, error)) return false;
    ntfs_volume *vol = volume.get();
    out = {static_cast<uint64_t>(vol->cluster_size), static_cast<uint64_t>(vol->nr_clusters), 0, {}};
    std::vector<uint8_t> bitmap((out.clusters + 7) / 8);
    if (ntfs_attr_pread(vol->lcnbmp_na, 0, static_cast<s64>(bitmap.size()), bitmap.data()) !=
        static_cast<s64>(bitmap.size())) {
        error = "cannot read $Bitmap";
        return false;
    }
    for (uint64_t lcn = 0; lcn < out.clusters; ++lcn)
        if (bitmap[lcn / 8] >> (lcn % 8) & 1) {
            ++out.used;
            if (!out.ranges.empty() && out.ranges.back().second == lcn)
                ++out.ranges.back().second;
            else
                out.ranges.push_back({lcn, lcn + 1});
        }
    return true;
}

int NtfsDataRuns(const std::string &path, uint64_t number) {
    pelmar_tools::NtfsVolume volume;
    std::string error;
    if (!volume.Mount(path, true, error)) return -1;
    ntfs_inode *inode = ntfs_inode_open(volume.get(), number);
    if (!inode) return -1;
    int runs = -1;
    if (ntfs_attr *na = ntfs_attr_open(inode, AT_DATA, AT_UNNAMED, 0)) {
        if (ntfs_attr_map_whole_runlist(na) == 0) {
            runs = 0;
            for (runlist_element *rl = na->rl; rl->length; ++rl) runs += rl->lcn >= 0;
        }
        ntfs_attr_close(na);
    }
    ntfs_inode_close(inode);
    return runs;
}

bool ScatterNtfsFreeSpace(const std::string &path, int files, int extra, std::string &error) {
    pelmar_tools::NtfsVolume volume;
    if (!volume.Mount(path, false, error)) return false;
    ntfs_volume *vol = volume.get();
    ntfs_inode *root = ntfs_inode_open(vol, FILE_root);
    if (!root) {
        error = "cannot open the root directory";
        return false;
    }
    std::vector<uint8_t> cluster(std::max<size_t>(static_cast<size_t>(vol->cluster_size), 2048), 0x5A);
    auto name = [](const std::string &text) {
        ntfschar *units = nullptr;
        int length = ntfs_mbstoucs(text.c_str(), &units);
        return std::pair<ntfschar *, int>(units, length);
    };
    int made = 0;
    for (; made < files; ++made) {
        auto [units, length] = name("f" + std::to_string(made));
        ntfs_inode *file = ntfs_create(root, const_cpu_to_le32(0), units, static_cast<u8>(length), S_IFREG);
        bool full = !file;
        if (file) {
            ntfs_attr *na = ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
            full = !na || ntfs_attr_pwrite(na, 0, static_cast<s64>(cluster.size()), cluster.data()) !=
                              static_cast<s64>(cluster.size());
            if (na) ntfs_attr_close(na);
            ntfs_inode_close(file);
        }
        std::free(units);
        if (full) break;
    }
    for (int i = 0; i < made; i += 2) {
        auto [units, length] = name("f" + std::to_string(i));
        ntfs_inode *file = ntfs_pathname_to_inode(vol, root, ("f" + std::to_string(i)).c_str());
        if (file) ntfs_delete(vol, nullptr, file, root, units, static_cast<u8>(length));
        std::free(units);
    }
    for (int i = 0; i < extra; ++i) {
        auto [units, length] = name("e" + std::to_string(i));
        ntfs_inode *file = ntfs_create(root, const_cpu_to_le32(0), units, static_cast<u8>(length), S_IFREG);
        std::free(units);
        if (!file) break;
        ntfs_inode_close(file);
    }
    ntfs_inode_close(root);
    if (!volume.Unmount()) {
        error = "cannot write the volume back";
        return false;
    }
    return true;
}

bool MarkNtfsClustersFree(const std::string &path, uint64_t first, uint64_t count) {
    pelmar_tools::NtfsVolume volume;
    std::string error;
    return volume.Mount(path, false, error) &&
           ntfs_bitmap_clear_run(volume.get()->lcnbmp_na, static_cast<s64>(first), static_cast<s64>(count)) == 0 &&
           volume.Unmount();
}

// The record gets the two runs (its attribute 8 bytes longer) and the
// bitmap the moved clusters' new state.
bool SplitNtfsBitmap(const std::string &path, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    std::string volume((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u8at = [&](uint64_t at) { return reinterpret_cast<uint8_t *>(volume.data() + at); };
    auto get = [&](uint64_t at, int width) {
        uint64_t v = 0;
        for (int i = width - 1; i >= 0; --i) v = v << 8 | *u8at(at + i);
        return v;
    };
    auto put = [&](uint64_t at, uint64_t v, int width) {
        for (int i = 0; i < width; ++i) *u8at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    };
    const uint64_t cluster = get(11, 2) * get(13, 1), clusters = get(40, 8) / get(13, 1);
    const uint64_t recordBytes = 1024, record = get(48, 8) * cluster + 6 * recordBytes;
    const uint64_t usa = record + get(record + 4, 2);
    for (uint64_t i = 1; i <= recordBytes / 512; ++i) put(record + i * 512 - 2, get(usa + 2 * i, 2), 2);
    uint64_t attribute = record + get(record + 20, 2);
    while (get(attribute, 4) != 0x80) attribute += get(attribute + 4, 4);
    const uint64_t runs = attribute + get(attribute + 32, 2);
    const unsigned lengthBytes = *u8at(runs) & 15, offsetBytes = *u8at(runs) >> 4;
    const uint64_t count = get(runs + 1, static_cast<int>(lengthBytes));
    const uint64_t lcn = get(runs + 1 + lengthBytes, static_cast<int>(offsetBytes));
    const uint64_t keep = count / 2, moved = count - keep;
    uint64_t to = clusters / 2;  // a free stretch from the middle on
    auto used = [&](uint64_t c) { return *u8at(lcn * cluster + c / 8) >> (c % 8) & 1; };
    for (uint64_t n = 0; n < moved && to + moved <= clusters; ++n)
        if (used(to + n)) to += n + 1, n = ~uint64_t{0};
    if (count < 2 || get(runs + 1 + lengthBytes + offsetBytes, 1) != 0 || to + moved > clusters) {
        error = "no $Bitmap of one run of two clusters or more, or no room to move half of it";
        return false;
    }
    for (uint64_t n = 0; n < moved; ++n) {
        *u8at(lcn * cluster + (lcn + keep + n) / 8) &= static_cast<uint8_t>(~(1u << ((lcn + keep + n) % 8)));
        *u8at(lcn * cluster + (to + n) / 8) |= static_cast<uint8_t>(1u << ((to + n) % 8));
    }
    volume.replace(to * cluster, moved * cluster, volume, (lcn + keep) * cluster, moved * cluster);
    // What is left behind reads as all used: a reader that looks there is caught.
    volume.replace((lcn + keep) * cluster, moved * cluster, moved * cluster, '\xFF');
    // The attribute grows by 8 bytes; what follows it in the record moves up.
    const uint64_t length = get(attribute + 4, 4);
    volume.insert(attribute + length, 8, '\0');
    volume.erase(record + recordBytes, 8);
    put(attribute + 4, length + 8, 4);
    put(record + 24, get(record + 24, 4) + 8, 4);
    std::string pairs = {'\x33'};
    for (uint64_t v : {keep, lcn}) pairs += std::string(reinterpret_cast<const char *>(&v), 3);
    pairs += '\x33';
    for (uint64_t v : {moved, to - lcn}) pairs += std::string(reinterpret_cast<const char *>(&v), 3);
    volume.replace(runs, pairs.size() + 1, pairs + '\0');
    for (uint64_t i = 1; i <= recordBytes / 512; ++i) {
        put(usa + 2 * i, get(record + i * 512 - 2, 2), 2);
        put(record + i * 512 - 2, get(usa, 2), 2);
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(volume.data(), static_cast<std::streamsize>(volume.size()));
    return true;
}

}  // namespace pelmar_test
