// A FAT or NTFS boot sector's identity: what the restore puts on a drive and
// what the drive must still hold at a later check (its kind, serial number,
// label and size), read from the first sector alone. Which file system a
// whole volume holds, with the ranges it uses, is ReadVolumeLayout's
// (volume_layout.h); this is the short check of a mounted drive against its
// image, by the same boot-sector fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmar_tools {

struct FileSystemIdentity {
    std::string kind;  // "FAT12", "FAT16", "FAT32", "NTFS", or empty when none
    uint64_t serial = 0;
    std::string label;  // FAT: the boot sector's; NTFS keeps it elsewhere
    uint64_t bytes = 0;
};
FileSystemIdentity IdentifyBootSector(const std::vector<uint8_t> &sector);
std::string Describe(const FileSystemIdentity &identity);

}  // namespace pelmar_tools
