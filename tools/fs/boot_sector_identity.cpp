// A boot sector's identity (see boot_sector_identity.h).
#include "tools/fs/boot_sector_identity.h"

#include <cstdio>
#include <cstring>

#include "tools/basics/little_endian.h"

namespace pelmar_tools {

FileSystemIdentity IdentifyBootSector(const std::vector<uint8_t> &s) {
    FileSystemIdentity id;
    if (s.size() < 512 || s[510] != 0x55 || s[511] != 0xAA) return id;
    auto le = [&](size_t at, int bytes) { return ReadLE(&s[at], bytes); };
    const uint64_t sectorSize = le(11, 2);
    if (std::memcmp(&s[3], "NTFS    ", 8) == 0) {
        id.kind = "NTFS";
        id.serial = le(0x48, 8);
        id.bytes = (le(0x28, 8) + 1) * sectorSize;  // the backup boot sector follows the file system
        return id;
    }
    const bool fat32 = std::memcmp(&s[0x52], "FAT32   ", 8) == 0;
    const size_t ext = fat32 ? 0x40 : 0x24;  // the extended boot record
    if (s[ext + 2] != 0x29) return id;
    id.kind = fat32 ? "FAT32" : std::string(reinterpret_cast<const char *>(&s[ext + 18]), 5);
    if (id.kind != "FAT32" && id.kind != "FAT12" && id.kind != "FAT16") id.kind = "FAT";
    id.serial = le(ext + 3, 4);
    id.label.assign(reinterpret_cast<const char *>(&s[ext + 7]), 11);
    while (!id.label.empty() && id.label.back() == ' ') id.label.pop_back();
    if (id.label == "NO NAME") id.label.clear();
    const uint64_t sectors = le(19, 2) ? le(19, 2) : le(32, 4);
    id.bytes = sectors * sectorSize;
    return id;
}

std::string Describe(const FileSystemIdentity &id) {
    if (id.kind.empty()) return "no FAT or NTFS file system";
    char serial[24];
    std::snprintf(serial, sizeof serial, id.kind == "NTFS" ? "%016llX" : "%08llX",
                  static_cast<unsigned long long>(id.serial));
    return id.kind + " file system, serial number " + serial + (id.label.empty() ? "" : ", label " + id.label) +
           ", " + std::to_string(id.bytes) + " bytes";
}

}  // namespace pelmar_tools
