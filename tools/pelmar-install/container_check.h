// Whether a file looks like a container, before the boot overwrites it. A
// container is random from its first byte or, freshly made, all zeros: its
// header is salt and ciphertext, the sectors the drive has written are
// ciphertext, and the sectors it never wrote are the noise it was filled
// with or the zeros of a new file. Anything with structure is someone's
// file. The check reads a sample of the file (its first 64 KiB and runs of
// sectors spread over the rest) and works on those bytes alone, so that the
// tools' tests run it over any file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pelmar-install/install_checks.h"

namespace pelmar_tools {

// The byte ranges of a container of `size` bytes that the check reads:
// whole 512-byte sectors only, ascending and apart, the first 64 KiB first.
std::vector<FileRange> ContainerSampleRanges(uint64_t size);

// Empty, or why the file is not a container: `sample` holds the bytes of
// ContainerSampleRanges(size), one range after the other (fewer bytes are
// judged as far as they go).
std::string ContainerContentProblem(uint64_t size, const std::vector<uint8_t> &sample);

// Empty, or why the driver would present the container's volume at another
// size than the image's, with the commands that make a matching pair.
std::string ContainerSizeProblem(uint64_t containerSize, uint64_t imageVolumeSectors);

// What install says when --container-is-mine takes a file that does not
// look like a container (or one that does): what the boot will do to it.
std::string ContainerIsMineLine(uint64_t size, const std::vector<uint8_t> &sample);

}  // namespace pelmar_tools
