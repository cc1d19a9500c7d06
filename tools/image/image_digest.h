// An image file's SHA-256, read through the source that holds it open: what
// pelmar-install records once it has checked the image, and what the
// service and status compare with the file the boot restores.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/platform/volume_source.h"

namespace pelmar_tools {

// The 32 bytes of the digest of every byte of `image`; false and why when it
// cannot be read.
bool ImageDigest(const VolumeSource &image, std::vector<uint8_t> &digest, std::string &error);

}  // namespace pelmar_tools
