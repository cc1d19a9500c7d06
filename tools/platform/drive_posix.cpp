// Linux has no mounted drives to capture: a volume is read as a file or a
// block device (volume_source_posix.cpp), so no name is a drive's.
#include "tools/platform/drive.h"

namespace pelmar_tools {

bool IsDriveName(const std::string &) { return false; }

bool OnDrive(const std::string &, const std::string &) { return false; }

std::unique_ptr<DriveDevice> OpenDrive(const std::string &name, std::string &error, DriveAccess) {
    error = "cannot open " + name + ": drives are captured on Windows only";
    return nullptr;
}

}  // namespace pelmar_tools
