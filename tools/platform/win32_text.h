// Text at the Windows boundary: the tools' own text is UTF-8, as on Linux,
// and becomes UTF-16 where Windows is called; what is stored as UTF-16 code
// units (the registry's values, the boot line and its paths, kept as
// std::u16string so that the portable code can edit them) is turned into
// the system's wide strings here; a system error code becomes the system's
// own message.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace pelmar_tools {

std::wstring Widen(const std::string &utf8);
std::string Narrow(const wchar_t *utf16);
std::string Narrow(const std::u16string &utf16);
// The same code units as the system's wide string, and back.
std::wstring AsWide(const std::u16string &text);
std::u16string AsUtf16(const std::wstring &text);
// The system's message for `code` (no trailing full stop or line break),
// or "error N" when it has none.
std::string SystemErrorText(DWORD code);

// Exactly `length` bytes of `handle` (opened for synchronous use) at
// `offset`; false and the reason otherwise (volume_source_win32.cpp).
bool ReadHandleAt(HANDLE handle, uint64_t offset, uint8_t *out, size_t length, std::string &error);

// wmain's arguments as the UTF-8 argv that the tools' Run takes.
class Utf8Arguments {
  public:
    Utf8Arguments(int argc, wchar_t **argv);
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    char **argv() { return pointers_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char *> pointers_;
};

}  // namespace pelmar_tools
