// libntfs-3g for the host tools: its C headers (which need a few system
// headers before them) and a mounted volume that is unmounted on every path.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

extern "C" {
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/types.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}

namespace pelmar_tools {

class NtfsVolume {
  public:
    NtfsVolume() = default;
    NtfsVolume(const NtfsVolume &) = delete;
    NtfsVolume &operator=(const NtfsVolume &) = delete;
    ~NtfsVolume() { Unmount(); }

    bool Mount(const std::string &path, bool readOnly, std::string &error) {
        volume_ = ntfs_mount(path.c_str(), static_cast<ntfs_mount_flags>(readOnly ? NTFS_MNT_RDONLY : 0));
        if (!volume_) error = "libntfs-3g cannot mount it: " + std::string(std::strerror(errno));
        return volume_ != nullptr;
    }
    // False when the volume could not be written back completely.
    bool Unmount() {
        if (!volume_) return true;
        int result = ntfs_umount(volume_, FALSE);
        volume_ = nullptr;
        return result == 0;
    }
    ntfs_volume *get() const { return volume_; }

  private:
    ntfs_volume *volume_ = nullptr;
};

}  // namespace pelmar_tools
