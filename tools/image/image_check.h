// The image replayed as the restore meets it: the header's checks, then the
// entry stream applied to an empty volume of the image's size, counting what
// it writes. pelmar-image prints the result and, with --expand, keeps the
// bytes; pelmar-install only asks whether an image is consistent.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/platform/volume_source.h"

namespace pelmar_tools {

struct ImageHeader {
    uint32_t magic = 0;
    uint64_t sectorSize = 0;
    uint64_t entryCount = 0;
    uint64_t volumeSectors = 0;
    uint64_t dataOffset = 0;
};

// Reads the header; false when the image is shorter than it or cannot be
// read (`error` says which).
bool ReadImageHeader(const VolumeSource &image, ImageHeader &header, std::string &error);

// What the restore refuses in the header before it writes anything; empty
// when the header is usable.
std::vector<std::string> HeaderProblems(const ImageHeader &header);

struct ImageStatistics {
    std::map<uint16_t, uint64_t> entriesByType;  // fill entries all under 0x0400
    std::map<uint16_t, uint64_t> sectorsByType;
    std::map<uint8_t, uint64_t> fillsByByte;
    uint64_t entries = 0;
    uint64_t entrySectors = 0;
    uint64_t dataSectors = 0;
    uint64_t sectorsWritten = 0;   // every write, rewrites included
    uint64_t rewrites = 0;         // writes to a sector written before
    uint64_t distinctSectors = 0;  // sectors written at least once
};

// Receives the sectors the restore writes, in the restore's order; false
// and a reason when they cannot be kept.
using ExpandSink = std::function<bool(uint64_t offset, const uint8_t *bytes, size_t length, std::string &error)>;

struct ReplayResult {
    bool consistent = false;  // the restore reaches the end entry
    std::string problem;      // why the restore would stop (not consistent)
    std::string ioError;      // reading the image or keeping a sector failed
    ImageStatistics stats;
    // The sectors written, as ascending ranges of sector numbers; an expansion
    // leaves out zero sectors that replace nothing, so this says what a
    // restore onto a volume that is not empty changes.
    std::vector<ByteRange> written;
};

// Replays the entry stream of an image whose header has no problems.
ReplayResult ReplayImage(const VolumeSource &image, const ImageHeader &header, const ExpandSink &expand = {});

// Replays the image as the restore would; true when consistent. `why`: the
// first problem or the read error.
bool ImageIsConsistent(const VolumeSource &image, std::string &why);

}  // namespace pelmar_tools
