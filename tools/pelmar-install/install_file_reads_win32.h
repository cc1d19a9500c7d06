// pelmar-install's reads of the files it checks: which file a name
// reaches, a file's first bytes, and a program file whole. Every open shares
// with every other opener: a container the driver has mounted stays open for
// writing while Pelmar's drive is there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmar_tools {

// Whether two names reach one file (one volume, one file index: hard links
// and other spellings included).
bool SameFile(const std::wstring &a, const std::wstring &b);

// Up to `count` bytes from the start of the file; false and why when it
// cannot be read.
bool ReadFileStart(const std::wstring &path, size_t count, std::vector<uint8_t> &bytes, std::string &error);

// The whole file, when it is no larger than a program of Pelmar's can be;
// false and why otherwise.
bool ReadProgramFile(const std::wstring &path, std::vector<uint8_t> &bytes, std::string &error);

}  // namespace pelmar_tools
