// pelmar-install's reads of the files it checks (see install_file_reads_win32.h).
#include "tools/pelmar-install/install_file_reads_win32.h"

#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

// Shared with every other opener: a container the driver has mounted stays
// open for writing while Pelmar's drive is there.
HANDLE OpenToRead(const std::wstring &path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool ReadProgramFile(const std::wstring &path, std::vector<uint8_t> &bytes, std::string &error) {
    HANDLE file = OpenToRead(path);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20);
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        ok = ReadHandleAt(file, 0, bytes.data(), bytes.size(), error);
    } else {
        error = "it is larger than a program of Pelmar's can be";
    }
    CloseHandle(file);
    return ok;
}

std::optional<FileIdentity> IdentifyFile(const std::wstring &path) {
    // Its attributes are all it takes to read; a folder opens only with backup semantics.
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    if (!known) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow, info.nNumberOfLinks};
}

bool SameFile(const std::wstring &a, const std::wstring &b) {
    const std::optional<FileIdentity> ia = IdentifyFile(a), ib = IdentifyFile(b);
    return ia && ib && *ia == *ib;
}

bool ReadFileStart(const std::wstring &path, size_t count, std::vector<uint8_t> &bytes, std::string &error) {
    HANDLE file = OpenToRead(path);
    if (file == INVALID_HANDLE_VALUE) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size);
    if (ok) {
        bytes.resize(static_cast<uint64_t>(size.QuadPart) < count ? static_cast<size_t>(size.QuadPart) : count);
        ok = ReadHandleAt(file, 0, bytes.data(), bytes.size(), error);
    } else {
        error = SystemErrorText(GetLastError());
    }
    CloseHandle(file);
    return ok;
}

}  // namespace pelmar_tools
