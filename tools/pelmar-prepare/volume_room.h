// Whether what pelmar-prepare is asked to copy fits on the volume it made,
// found before anything is copied.
#pragma once

#include <string>
#include <vector>

#include "tools/pelmar-prepare/ntfs_contents.h"

namespace pelmar_tools {

// False, and which file does not fit and by how much, when the files of
// `steps` need more clusters than the fresh volume in `raw` has free.
bool CheckRoom(const std::string &raw, const std::vector<ContentStep> &steps, std::string &error);

}  // namespace pelmar_tools
