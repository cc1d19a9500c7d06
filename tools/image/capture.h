// Capturing a mounted drive into an image file: the drive answers its
// geometry, is locked and dismounted so that its file system has written
// everything out and marked itself clean, is read while locked, and is
// unlocked again. The volume's size is the geometry's, exactly as the
// restore computes it at boot (cylinders x tracks per cylinder x sectors per
// track, in 64-bit arithmetic), never a file size: the image then fits the
// drive the restore checks it against.
//
// Every folder of a captured NTFS drive is restored at every boot, before
// anyone logs on: one that a user may redirect (turn into a junction, or
// give themselves the rights to) would send whatever the system later
// writes there wherever that user chose. Such a drive is refused, each
// folder named with the entry that allows it, unless the request allows
// them.
//
// The device is behind DriveDevice (tools/platform/drive.h), so that this
// logic is the same on every platform and can be tried against a device
// double.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/image/image_maker.h"
#include "tools/platform/drive.h"
#include "tools/platform/output_file.h"

namespace pelmar_tools {

// The drive's figures from the 24 geometry bytes.
struct DriveGeometry {
    uint64_t cylinders = 0;
    uint32_t tracksPerCylinder = 0, sectorsPerTrack = 0, bytesPerSector = 0;
    // What the restore compares the image's volume size with.
    uint64_t Sectors() const { return cylinders * tracksPerCylinder * sectorsPerTrack; }
};
DriveGeometry ParseDriveGeometry(const uint8_t (&geometry)[24]);

// The folders of the NTFS volume `volume` that others than Administrators
// and SYSTEM may redirect, one line each, naming the folder and the entry
// (empty when none, or when the volume is not NTFS); false and why when its
// folders cannot be read.
bool UserRedirectableFolders(const VolumeSource &volume, std::vector<std::string> &lines, std::string &error);

// Writes the image of the drive to `out` (opened here and committed only
// when complete; nothing is created when the drive cannot be locked).
// request.sectorSize becomes the drive's; request.input is not used.
// `note`: what the user should know of a capture that succeeded (empty
// when nothing).
bool CaptureDrive(DriveDevice &drive, ImageRequest &request, OutputFile &out, ImageSummary &summary,
                  std::string &note, std::string &error);

}  // namespace pelmar_tools
