// pelmar-install's files (see install_files_win32.h).
#include "tools/pelmar-install/install_files_win32.h"

#include <windows.h>

#include <vector>

#include "tools/boot-config/boot_line.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

const wchar_t kProgram[] = L"pelmar.exe";

}  // namespace

std::optional<uint64_t> FileSize(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::nullopt;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH];
    UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(folder, n) : std::wstring();
}

std::wstring InstalledProgram() { return SystemFolder() + L"\\" + kProgram; }

std::wstring ThisProgram() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return std::wstring(path.data(), n);
}

// The pelmar.exe that lies beside this program.
std::wstring ProgramBeside() {
    const std::wstring self = ThisProgram();
    size_t slash = self.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : self.substr(0, slash + 1)) + kProgram;
}

std::wstring SystemFile(const wchar_t *name) {
    const std::wstring folder = SystemFolder();
    return folder.empty() ? folder : folder + L"\\" + name;
}

std::wstring Beside(const wchar_t *name) {
    const std::wstring self = ThisProgram();
    return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

std::optional<std::wstring> PathAsWin32(const std::wstring &path, std::string &why) {
    const std::optional<std::u16string> win32 = BootPathAsWin32(AsUtf16(path), why);
    if (!win32) return std::nullopt;
    return AsWide(*win32);
}

}  // namespace pelmar_tools
