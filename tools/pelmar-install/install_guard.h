// pelmar-install's Windows-side guards: which file a name reaches, the
// first bytes of a file, pelmar.exe's digest against the one built with the
// installer, and Ctrl+C held off while a change is under way.
#pragma once

#include <windows.h>

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

// Empty when `path` is the pelmar.exe built with this installer (the
// Authenticode digest embedded at build time, so a signed copy passes too);
// otherwise why not.
std::string ProgramProblem(const std::wstring &path);

// Holds off Ctrl+C, Ctrl+Break and the console's closing for its lifetime,
// so that a change is finished or undone rather than cut off half-way; a
// request that arrives meanwhile is answered when it ends.
class ChangesUnderWay {
  public:
    ChangesUnderWay();
    ~ChangesUnderWay();
    ChangesUnderWay(const ChangesUnderWay &) = delete;
    ChangesUnderWay &operator=(const ChangesUnderWay &) = delete;
};

}  // namespace pelmar_tools
