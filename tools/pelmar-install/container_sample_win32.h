// The container's sample (container_check.h) read on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmar_tools {

// The bytes of ContainerSampleRanges(size) of the file at `path`, one range
// after the other; false and why when they cannot be read. The file is
// opened as every other reader of the installer opens it, sharing writes: a
// container the driver has mounted stays open for writing.
bool ReadContainerSample(const std::wstring &path, uint64_t size, std::vector<uint8_t> &sample,
                         std::string &error);

}  // namespace pelmar_tools
