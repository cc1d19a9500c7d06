// Whether an image's volume already holds the temporary folders the
// service's options point TEMP at, exactly as the service would make them:
// the Session Manager hands SYSTEM's TEMP to every service at boot, long
// before the service runs, and a folder that is not there yet is the first
// comer's to make (the root lets users make folders, Windows' default).
#pragma once

#include <string>

#include "tools/platform/volume_source.h"

namespace pelmar_tools {

// Empty when the restored volume `volume` holds what the options need:
// \Temp with the parent's descriptor for either option, and for
// `systemTemp` also \Temp\S-1-5-18 with SYSTEM's own folder's descriptor
// (the owner, a protected list and its entries, as the service makes
// them); otherwise what is missing or different, and the command that
// makes such an image.
std::string TempFoldersProblem(const VolumeSource &volume, bool userTemp, bool systemTemp);

}  // namespace pelmar_tools
