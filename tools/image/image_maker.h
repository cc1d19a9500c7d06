// Making an image file from a raw volume: shared by pelmar-mkimage and
// pelmar-prepare.
#pragma once

#include <cstdint>
#include <string>

#include "tools/platform/output_file.h"
#include "tools/fs/volume_layout.h"

namespace pelmar_tools {

struct ImageRequest {
    std::string input;
    uint32_t sectorSize = 512;
    bool allSectors = false;  // write every sector, whatever the file system uses
    // A captured drive's folders that others than Administrators and SYSTEM
    // may redirect are taken (with a note) rather than refused.
    bool allowUserWritableFolders = false;
};

struct ImageSummary {
    FileSystemKind kind = FileSystemKind::Unknown;
    bool everySector = false;  // all sectors written (asked for, or the input not recognised)
    uint64_t volumeSectors = 0;
    uint64_t sectorsWritten = 0;
    uint64_t entries = 0;
    uint64_t dataSectors = 0;
    uint64_t imageBytes = 0;
};

// Writes the image of request.input to `out` (opened, not committed).
// False and `error` when the input cannot be read or is inconsistent.
bool MakeImage(const ImageRequest &request, OutputFile &out, ImageSummary &summary, std::string &error);
// The same from a volume already opened (request.input is not used).
bool MakeImage(const VolumeSource &source, const ImageRequest &request, OutputFile &out, ImageSummary &summary,
               std::string &error);

}  // namespace pelmar_tools
