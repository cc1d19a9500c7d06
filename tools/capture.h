// Capturing a mounted drive into an image file: the drive answers its
// geometry, is locked and dismounted so that its file system has written
// everything out and marked itself clean, is read while locked, and is
// unlocked again. The volume's size is the geometry's, exactly as the
// restore computes it at boot (cylinders x tracks per cylinder x sectors per
// track, in 64-bit arithmetic), never a file size: the image then fits the
// drive the restore checks it against.
//
// The device is behind DriveDevice, so that this logic is the same on every
// platform and can be tried against a device double; capture_win32.cpp
// opens the real one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/image_maker.h"
#include "tools/output_file.h"

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

// The drive's figures from the 24 geometry bytes.
struct DriveGeometry {
    uint64_t cylinders = 0;
    uint32_t tracksPerCylinder = 0, sectorsPerTrack = 0, bytesPerSector = 0;
    // What the restore compares the image's volume size with.
    uint64_t Sectors() const { return cylinders * tracksPerCylinder * sectorsPerTrack; }
};
DriveGeometry ParseDriveGeometry(const uint8_t (&geometry)[24]);

// Writes the image of the drive to `out` (opened here and committed only
// when complete; nothing is created when the drive cannot be locked).
// request.sectorSize becomes the drive's; request.input is not used.
// `note`: what the user should know of a capture that succeeded (empty
// when nothing).
bool CaptureDrive(DriveDevice &drive, ImageRequest &request, OutputFile &out, ImageSummary &summary,
                  std::string &note, std::string &error);

// On Windows, "X:" or "\\.\X:" names a mounted drive (false elsewhere).
bool IsDriveName(const std::string &name);
#ifdef _WIN32
// Opens the drive for capture (capture_win32.cpp); null and a reason when it
// cannot be opened.
std::unique_ptr<DriveDevice> OpenDrive(const std::string &name, std::string &error);
// Whether the file `path` (full or relative) lies on the drive `driveName`.
bool OnDrive(const std::string &path, const std::string &driveName);
#endif

}  // namespace pelmar_tools
