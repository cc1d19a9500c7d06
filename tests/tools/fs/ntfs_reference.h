// NTFS as libntfs-3g sees it, for checking our own reader against: the
// clusters the allocation bitmap marks used, read through libntfs-3g's
// mount, and a way to make volumes whose $MFT and $Bitmap lie in several
// pieces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmar_test {

// The used clusters as ascending [first, end) cluster ranges, and the
// cluster size and count; false when libntfs-3g cannot mount the volume.
struct NtfsAllocation {
    uint64_t clusterBytes = 0, clusters = 0, used = 0;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
};

bool ReadNtfsAllocation(const std::string &path, NtfsAllocation &out, std::string &error);

// The number of pieces (non-sparse data runs) of record `number`'s data;
// -1 when it cannot be read.
int NtfsDataRuns(const std::string &path, uint64_t number);

// Scatters the free space of a fresh volume: files of one cluster each (at
// least 2 KiB, too large to stay inside the file's record) until the volume
// is full or `files` are made, then every other one removed, then `extra`
// empty files made, each needing an MFT record: the MFT grows into the
// holes, in many pieces.
bool ScatterNtfsFreeSpace(const std::string &path, int files, int extra, std::string &error);

// Moves the second half of a fresh volume's $Bitmap (one run of two
// clusters or more, as mkntfs makes it) to free clusters in the middle of
// the volume, so that it lies in two runs, which neither mkntfs nor
// libntfs-3g ever make.
bool SplitNtfsBitmap(const std::string &path, std::string &error);

// Marks `count` clusters from `first` on free in $Bitmap, as a damaged
// volume would, leaving everything else as it is.
bool MarkNtfsClustersFree(const std::string &path, uint64_t first, uint64_t count);

}  // namespace pelmar_test
