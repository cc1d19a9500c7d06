// Raw volumes held in files on Windows: opened by their wide-character
// name and read with ReadFile at explicit offsets (an OVERLAPPED position on
// a handle opened for synchronous use), so that no file pointer is shared.
#include <windows.h>

#include <algorithm>

#include "tools/platform/volume_source.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {

// Exactly `length` bytes of `handle` at `offset`; false and the reason
// otherwise (a short read is "the input changed while it was read").
bool ReadHandleAt(HANDLE handle, uint64_t offset, uint8_t *out, size_t length, std::string &error) {
    while (length) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(handle, out, want, &got, &at)) {
            error = SystemErrorText(GetLastError());
            return false;
        }
        if (got == 0) {
            error = "the input changed while it was read";
            return false;
        }
        out += got;
        offset += got;
        length -= got;
    }
    return true;
}

namespace {

class FileSource final : public VolumeSource {
  public:
    FileSource(std::string name, HANDLE handle, uint64_t size)
        : name_(std::move(name)), handle_(handle), size_(size) {}
    ~FileSource() override { CloseHandle(handle_); }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;

    const std::string &Name() const override { return name_; }
    uint64_t Size() const override { return size_; }

    bool ReadWithin(uint64_t offset, uint8_t *out, size_t length, std::string &error) const override {
        return ReadHandleAt(handle_, offset, out, length, error);
    }

  private:
    std::string name_;
    HANDLE handle_;
    uint64_t size_;
};

}  // namespace

std::unique_ptr<VolumeSource> OpenVolumeFile(const std::string &path, std::string &error) {
    HANDLE handle = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = "cannot open " + path + ": " + SystemErrorText(GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        error = "cannot examine " + path + ": " + SystemErrorText(GetLastError());
        CloseHandle(handle);
        return nullptr;
    }
    // A folder, a console or a pipe is not a volume held in a file (a
    // drive is read by the capture, which locks it first).
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(handle) != FILE_TYPE_DISK) {
        error = path + " is not a file";
        CloseHandle(handle);
        return nullptr;
    }
    const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return std::make_unique<FileSource>(path, handle, size);
}

}  // namespace pelmar_tools
