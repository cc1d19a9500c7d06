// The drive a capture reads, on Windows: the volume \\.\X: opened for
// direct access, with the geometry, lock, dismount and unlock controls of
// the system (and of the disk-encryption driver that serves the drive).
#include <windows.h>
#include <winioctl.h>

#include <cstring>

#include "tools/platform/drive.h"
#include "tools/platform/volume_source.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {

namespace {

class Win32Drive final : public DriveDevice {
  public:
    Win32Drive(std::string name, HANDLE handle) : name_(std::move(name)), handle_(handle) {}
    ~Win32Drive() override { CloseHandle(handle_); }
    Win32Drive(const Win32Drive &) = delete;
    Win32Drive &operator=(const Win32Drive &) = delete;

    const std::string &Name() const override { return name_; }

    bool Geometry(uint8_t (&geometry)[24], std::string &error) override {
        static_assert(sizeof(DISK_GEOMETRY) == 24);
        DISK_GEOMETRY answer{};
        DWORD returned = 0;
        if (!DeviceIoControl(handle_, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &answer, sizeof answer,
                             &returned, nullptr)) {
            error = SystemErrorText(GetLastError());
            return false;
        }
        if (returned != sizeof answer) {
            error = "the drive answered " + std::to_string(returned) + " bytes, not 24";
            return false;
        }
        std::memcpy(geometry, &answer, sizeof answer);
        return true;
    }

    LockResult Lock(std::string &error) override {
        if (Control(FSCTL_LOCK_VOLUME)) {
            // Reads up to the drive's end, beyond what its file system
            // covered when it was mounted; failing is harmless.
            Control(FSCTL_ALLOW_EXTENDED_DASD_IO);
            return LockResult::Locked;
        }
        const DWORD code = GetLastError();
        error = SystemErrorText(code);
        // What the system answers a lock while files or folders are open.
        return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION
                   ? LockResult::InUse
                   : LockResult::Failed;
    }

    bool Dismount(std::string &error) override {
        if (Control(FSCTL_DISMOUNT_VOLUME)) return true;
        error = SystemErrorText(GetLastError());
        return false;
    }

    void Unlock() override { Control(FSCTL_UNLOCK_VOLUME); }

    bool ReadSectors(uint64_t offset, uint8_t *out, size_t length, std::string &error) override {
        return ReadHandleAt(handle_, offset, out, length, error);
    }

  private:
    bool Control(DWORD code) {
        DWORD returned = 0;
        return DeviceIoControl(handle_, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
    }

    std::string name_;
    HANDLE handle_;
};

}  // namespace

bool IsDriveName(const std::string &name) {
    const std::string letter = name.size() == 6 && name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
    return letter.size() == 2 && letter[1] == ':' &&
           ((letter[0] >= 'A' && letter[0] <= 'Z') || (letter[0] >= 'a' && letter[0] <= 'z'));
}

bool OnDrive(const std::string &path, const std::string &driveName) {
    wchar_t full[MAX_PATH];
    const DWORD n = GetFullPathNameW(Widen(path).c_str(), MAX_PATH, full, nullptr);
    const wchar_t letter = static_cast<wchar_t>(driveName[driveName.size() - 2]);
    return n >= 2 && n < MAX_PATH && full[1] == L':' && towupper(full[0]) == towupper(letter);
}

std::unique_ptr<DriveDevice> OpenDrive(const std::string &name, std::string &error, DriveAccess access) {
    const std::string device = "\\\\.\\" + name.substr(name.size() - 2);
    // A capture asks read and write access, as locking and dismounting a
    // volume require; it only reads. Others may share it until the lock,
    // which fails while anyone else has the drive open.
    const DWORD rights = access == DriveAccess::Capture ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    HANDLE handle = CreateFileW(Widen(device).c_str(), rights,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = "cannot open " + NameAndReason(name, SystemErrorText(code)) +
                (code == ERROR_ACCESS_DENIED ? "; reading a drive takes an administrator's rights" : "") +
                (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                     ? ": it is not a volume (no drive has that letter, or the letter stands for a folder); "
                       "name the mounted volume's own letter"
                     : "");
        return nullptr;
    }
    return std::make_unique<Win32Drive>(name, handle);
}

}  // namespace pelmar_tools
