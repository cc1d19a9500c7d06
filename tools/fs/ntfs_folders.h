// The folders of an NTFS volume with their security descriptors, read from
// the volume's own records: what a capture checks before a drive becomes an
// image that every boot restores.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/platform/volume_source.h"

namespace pelmar_tools {

struct NtfsFolder {
    std::string path;                 // from the root, as \Docs\Sub ("\" for the root)
    std::vector<uint8_t> descriptor;  // self-relative; empty when the volume holds none for it
};

// Every folder in use on the NTFS volume whose boot sector is `boot`; false
// and why when its records cannot be read.
bool ReadNtfsFolders(const VolumeSource &source, const uint8_t *boot, std::vector<NtfsFolder> &folders,
                     std::string &error);

}  // namespace pelmar_tools
