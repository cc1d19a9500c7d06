// Names in the machine's object namespace, as the I/O system parses them
// (files.cpp opens what they name). Internal to the stand-in.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntsim/ntsim.h"

namespace ntsim {

// Case folded for ASCII and Latin-1 letters, as the object manager folds it.
char16_t FoldCase(char16_t c);
bool EqualFolded(std::u16string_view a, std::u16string_view b);
bool StartsWithFolded(std::u16string_view text, std::u16string_view prefix);
char UpperLetter(char letter);

struct ParsedName {
    enum class Kind { Volume, DriveFile, NamedDevice } kind = Kind::Volume;
    char letter = 0;                      // upper case
    std::vector<std::u16string> components;  // DriveFile; empty: the drive's root directory
    bool trailingBackslash = false;       // DriveFile: the name must be a directory
    std::u16string deviceName;            // NamedDevice: the registered name
};

// A drive's volume, a file on a drive or a registered device; the status
// the system gives a name that is none of them or is malformed.
NTSTATUS ParseName(std::u16string_view name, ParsedName &parsed);

// Finds a component in a host folder: the exact name, or (case-insensitive
// lookups) the first name in byte order that equals it without regard to
// case.
std::optional<std::string> FindEntry(const std::filesystem::path &folder, std::u16string_view component,
                                     bool caseInsensitive);

}  // namespace ntsim
