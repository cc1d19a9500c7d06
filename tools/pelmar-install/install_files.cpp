// pelmar-install's files: the sizes of the files Pelmar trusts, the names
// under which this program reaches what the boot opens, and pelmar.exe's
// place beside this program and in System32.
#include "tools/pelmar-install/install_checks.h"
#include "tools/pelmar-install/install_parts.h"

namespace pelmar_tools {
namespace {

const wchar_t kProgram[] = L"pelmar.exe";
// The longest NT path the boot-time run takes (its path buffer holds 264
// code units; the driver refuses a container name of 260 or more).
constexpr size_t kLongestNtPath = 259;

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

// The name under which this program reaches the file that the boot-time run
// opens by `path` (Pelmar puts "\??\" before a name whose second character is
// ":" and takes any other name as an NT path); nothing, and why, when the run
// might open another file than this program checks under the name: only
// canonical names with a drive letter are taken.
std::optional<std::wstring> PathAsWin32(const std::wstring &path, std::string &why) {
    const bool dos = path.size() >= 2 && path[1] == L':';
    const size_t ntLength = path.size() + (dos ? 4 : 0);
    if (ntLength > kLongestNtPath) {
        why = "its name is longer than Pelmar takes (" + Number(kLongestNtPath) + " characters as an NT path)";
        return std::nullopt;
    }
    const std::u16string name(path.begin(), path.end());
    why = PathProblem(name);
    if (why.empty() && !PathDrive(name)) {
        why = "it names no drive letter (give the file as X:\\FOLDER\\NAME)";
    }
    if (!why.empty()) return std::nullopt;
    // The boot's "\??\X:\..." and the plain "X:\..." reach one file.
    return dos ? path : path.substr(4);
}

}  // namespace pelmar_tools
