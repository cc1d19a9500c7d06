// The mounted drives a capture reads, and the service checks: on Windows a volume \\.\X: opened
// for direct access (drive_win32.cpp); Linux has none (drive_posix.cpp), its
// volumes are read as files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pelmar_tools {

class DriveDevice {
  public:
    virtual ~DriveDevice() = default;

    // The name to use in messages (as the user gave it).
    virtual const std::string &Name() const = 0;
    // The 24 bytes of IOCTL_DISK_GET_DRIVE_GEOMETRY's answer (DISK_GEOMETRY);
    // false and a reason when the drive does not give them.
    virtual bool Geometry(uint8_t (&geometry)[24], std::string &error) = 0;

    enum class LockResult { Locked, InUse, Failed };
    // FSCTL_LOCK_VOLUME. InUse: refused because files or folders on the
    // drive are open. Failed: any other failure, `error` says why.
    virtual LockResult Lock(std::string &error) = 0;
    // FSCTL_DISMOUNT_VOLUME (on a locked drive).
    virtual bool Dismount(std::string &error) = 0;
    // FSCTL_UNLOCK_VOLUME.
    virtual void Unlock() = 0;
    // Whole sectors: `offset` and `length` are multiples of the sector size.
    virtual bool ReadSectors(uint64_t offset, uint8_t *out, size_t length, std::string &error) = 0;
};

// Whether `name` names a mounted drive: on Windows "X:" or "\\.\X:";
// never on Linux.
bool IsDriveName(const std::string &name);
// Whether the file `path` (full or relative) lies on the drive `driveName`
// (a name IsDriveName accepts); never on Linux.
bool OnDrive(const std::string &path, const std::string &driveName);
// How a drive is opened: for capture (read and write access, as locking and
// dismounting it require), or to read its sectors only (Lock and Dismount
// then fail).
enum class DriveAccess { Capture, ReadOnly };
// Opens the drive; null and a reason when it cannot be opened.
std::unique_ptr<DriveDevice> OpenDrive(const std::string &name, std::string &error,
                                       DriveAccess access = DriveAccess::Capture);

}  // namespace pelmar_tools
