// What a drive letter names today on Windows: the first target of its DOS
// device (QueryDosDevice), judged by drive_letter.h.
#pragma once

#include <optional>
#include <string>

namespace pelmar_tools {

// The device `letter` links to; nothing when no device has the letter.
std::optional<std::string> LetterDevice(char letter);

}  // namespace pelmar_tools
