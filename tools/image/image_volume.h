// The volume an image restores, read as a volume source: the image replayed
// once as the restore would replay it, its written sectors kept, every other
// sector zero (as on the empty volume the restore starts from). The
// file-system readers then see an image's folders and their descriptors
// exactly as the boot will leave them on the drive.
#pragma once

#include <memory>
#include <string>

#include "tools/platform/volume_source.h"

namespace pelmar_tools {

// The most bytes of sectors other than zero kept in memory: an image's file
// system is read whole only where it is a scratch drive's size.
inline constexpr uint64_t kReplayedVolumeLimit = uint64_t{1} << 30;

// The restored volume of `image`; null and why when the restore would stop,
// the image cannot be read, or it holds more than kReplayedVolumeLimit bytes
// of sectors other than zero.
std::unique_ptr<VolumeSource> ReplayedVolume(const VolumeSource &image, std::string &error);

}  // namespace pelmar_tools
