// pelmar-install's Windows-side guards (see install_guard.h).
#include "tools/pelmar-install/install_guard.h"

#include <tomcrypt.h>

#include <cstring>

#include "tools/pelmar-install/install_checks.h"
#include "tools/platform/win32_text.h"

// The digest of the pelmar.exe built with this program (cmake/pe-digest.py).
extern const unsigned char kPelmarDigest[32];

namespace pelmar_tools {
namespace {

// Shared with every other opener: a container the driver has mounted stays
// open for writing while Pelmar's drive is there.
HANDLE OpenToRead(const std::wstring &path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool ReadAll(const std::wstring &path, std::vector<uint8_t> &bytes, std::string &error) {
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

// Ctrl+C and its kin while changes are under way.
HANDLE gFinished = nullptr;
BOOL WINAPI HoldOff(DWORD) {
    // The console's closing ends the process when this returns: wait for the
    // changes to be finished or undone (the system allows a few seconds).
    if (gFinished) WaitForSingleObject(gFinished, 4000);
    return TRUE;
}

}  // namespace

bool SameFile(const std::wstring &a, const std::wstring &b) {
    HANDLE fa = OpenToRead(a), fb = OpenToRead(b);
    BY_HANDLE_FILE_INFORMATION ia, ib;
    const bool same = fa != INVALID_HANDLE_VALUE && fb != INVALID_HANDLE_VALUE && GetFileInformationByHandle(fa, &ia) &&
                      GetFileInformationByHandle(fb, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
                      ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
    if (fa != INVALID_HANDLE_VALUE) CloseHandle(fa);
    if (fb != INVALID_HANDLE_VALUE) CloseHandle(fb);
    return same;
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

std::string ProgramProblem(const std::wstring &path) {
    std::vector<uint8_t> bytes;
    std::string error;
    if (!ReadAll(path, bytes, error)) return "cannot read " + Narrow(path.c_str()) + ": " + error;
    std::vector<FileRange> ranges;
    size_t padding = 0;
    if (!AuthenticodeRanges(bytes, ranges, padding, error)) return Narrow(path.c_str()) + ": " + error;
    hash_state state;
    unsigned char digest[32];
    sha256_init(&state);
    for (const FileRange &r : ranges) {
        sha256_process(&state, bytes.data() + r.first, static_cast<unsigned long>(r.second));
    }
    const unsigned char zeros[8] = {};
    if (padding) sha256_process(&state, zeros, static_cast<unsigned long>(padding));
    sha256_done(&state, digest);
    if (std::memcmp(digest, kPelmarDigest, sizeof digest) != 0) {
        return Narrow(path.c_str()) + " is not the pelmar.exe built with this pelmar-install (its digest differs): "
               "use the two programs of one release, from a folder only administrators can change";
    }
    return {};
}

ChangesUnderWay::ChangesUnderWay() {
    gFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(HoldOff, TRUE);
}

ChangesUnderWay::~ChangesUnderWay() {
    if (gFinished) SetEvent(gFinished);
    SetConsoleCtrlHandler(HoldOff, FALSE);
}

}  // namespace pelmar_tools
