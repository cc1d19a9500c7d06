#include "tools/fs/volume_layout.h"

namespace pelmar_tools {

const char *KindName(FileSystemKind kind) {
    switch (kind) {
        case FileSystemKind::Fat12:
            return "FAT12";
        case FileSystemKind::Fat16:
            return "FAT16";
        case FileSystemKind::Fat32:
            return "FAT32";
        case FileSystemKind::Ntfs:
            return "NTFS";
        default:
            return "unknown";
    }
}

Recognition ReadVolumeLayout(const VolumeSource &volume, const uint8_t *boot, VolumeLayout &layout,
                             std::string &error) {
    Recognition r = ReadFatLayout(volume, boot, layout, error);
    if (r == Recognition::NotThisKind) r = ReadNtfsLayout(volume, boot, layout, error);
    return r;
}

}  // namespace pelmar_tools
