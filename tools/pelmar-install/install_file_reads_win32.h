// pelmar-install's reads of the files it checks: which file a name
// reaches, a file's first bytes, and a program file whole. Every open shares
// with every other opener: a container the driver has mounted stays open for
// writing while Pelmar's drive is there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelmar_tools {

// A file or folder as the system knows it, whatever name reached it: its volume's
// serial number, its file index on that volume, and how many names (hard
// links) it has.
struct FileIdentity {
    uint32_t volume = 0;
    uint64_t index = 0;
    uint32_t links = 0;
    bool operator==(const FileIdentity &o) const { return volume == o.volume && index == o.index; }
};
std::optional<FileIdentity> IdentifyFile(const std::wstring &path);

// Whether two names reach one file or folder (one volume, one file index:
// hard links and other spellings included).
bool SameFile(const std::wstring &a, const std::wstring &b);

// Up to `count` bytes from the start of the file; false and why when it
// cannot be read.
bool ReadFileStart(const std::wstring &path, size_t count, std::vector<uint8_t> &bytes, std::string &error);

// The whole file, when it is no larger than a program of Pelmar's can be;
// false and why otherwise.
bool ReadProgramFile(const std::wstring &path, std::vector<uint8_t> &bytes, std::string &error);

}  // namespace pelmar_tools
