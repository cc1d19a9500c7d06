// The output file on Windows: the bytes go to a temporary file beside the
// name, which replaces it at Commit (MoveFileExW, written through) and is
// deleted if the writer gives up, or when Ctrl+C, Ctrl+Break or the
// console's closing ends the tool. Messages name the output as the user
// gave it, never the temporary file.
#include "tools/platform/output_file.h"

#include <windows.h>

#include <vector>

#include "tools/platform/win32_text.h"

namespace pelmar_tools {

namespace {

HANDLE Handle(intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// The outputs being written, abandoned by a console control handler before
// the tool ends (the system's default handler ends it after this one).
class PartFiles {
  public:
    static PartFiles &All() {
        static PartFiles all;
        return all;
    }
    void Add(OutputFile *file) {
        EnterCriticalSection(&lock_);
        files_.push_back(file);
        LeaveCriticalSection(&lock_);
    }
    void Remove(OutputFile *file) {
        EnterCriticalSection(&lock_);
        for (size_t i = 0; i < files_.size(); ++i) {
            if (files_[i] == file) files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(i));
        }
        LeaveCriticalSection(&lock_);
    }

  private:
    PartFiles() {
        InitializeCriticalSection(&lock_);
        SetConsoleCtrlHandler(Stop, TRUE);
    }
    // The lock is kept: no output starts or finishes while the tool ends.
    static BOOL WINAPI Stop(DWORD) {
        PartFiles &all = All();
        EnterCriticalSection(&all.lock_);
        std::vector<OutputFile *> files;
        files.swap(all.files_);
        for (OutputFile *file : files) file->Abandon();
        return FALSE;
    }

    CRITICAL_SECTION lock_;
    std::vector<OutputFile *> files_;
};

// Which file `path` is (volume and index); false when it cannot be opened.
bool Identify(const std::string &path, BY_HANDLE_FILE_INFORMATION &info) {
    HANDLE handle = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return known;
}

}  // namespace

bool OutputFile::Check(std::string &error) const {
    if (path_.empty()) {
        error = "an empty name names no output file";
        return false;
    }
    const DWORD attributes = GetFileAttributesW(Widen(path_).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // a new file; its folder is checked by creating it
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        error = path_ + " is a symbolic link or junction; name the file it points to as the output";
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = path_ + " is a folder; the output must be an ordinary file";
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        error = path_ + " is read-only; it is not replaced (clear its read-only attribute first)";
        return false;
    }
    BY_HANDLE_FILE_INFORMATION out;
    if (!Identify(path_, out)) return true;
    for (const std::string &input : inputs_) {
        BY_HANDLE_FILE_INFORMATION in;
        if (Identify(input, in) && in.dwVolumeSerialNumber == out.dwVolumeSerialNumber &&
            in.nFileIndexHigh == out.nFileIndexHigh && in.nFileIndexLow == out.nFileIndexLow) {
            error = "the output " + path_ + " is the input " + input + " itself";
            return false;
        }
    }
    return true;
}

bool OutputFile::Open(std::string &error) {
    if (!Check(error)) return false;
    // A name no other writer holds: the process and a counter, made
    // with CREATE_NEW so that an existing file is never taken over.
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp_ = path_ + ".part" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
        HANDLE handle = CreateFileW(Widen(temp_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            file_ = reinterpret_cast<intptr_t>(handle);
            PartFiles::All().Add(this);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    error = "cannot create " + path_ + " (its temporary file beside it): " + SystemErrorText(GetLastError());
    temp_.clear();
    return false;
}

bool OutputFile::WriteAt(uint64_t offset, const void *bytes, size_t length, std::string &error) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    while (length) {
        const DWORD want = static_cast<DWORD>(length < (1u << 30) ? length : (1u << 30));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD done = 0;
        if (!WriteFile(Handle(file_), p, want, &done, &at) || done == 0) {
            DWORD code = GetLastError();
            error = "cannot write " + path_ + ": " +
                    SystemErrorText(done == 0 && code == 0 ? ERROR_DISK_FULL : code);
            return false;
        }
        p += done;
        offset += done;
        length -= done;
    }
    return true;
}

bool OutputFile::Commit(std::string &error) {
    const bool flushed = FlushFileBuffers(Handle(file_)) != 0;
    const DWORD code = GetLastError();
    const bool closed = CloseHandle(Handle(file_)) != 0;
    file_ = -1;
    if (!flushed || !closed) {
        error = "cannot finish " + path_ + ": " + SystemErrorText(flushed ? GetLastError() : code);
        return false;
    }
    if (!MoveFileExW(Widen(temp_).c_str(), Widen(path_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot put " + path_ + " in place: " + SystemErrorText(GetLastError());
        return false;
    }
    PartFiles::All().Remove(this);
    temp_.clear();
    return true;
}

void OutputFile::Abandon() {
    if (Handle(file_) != INVALID_HANDLE_VALUE) CloseHandle(Handle(file_));
    file_ = -1;
    if (!temp_.empty()) DeleteFileW(Widen(temp_).c_str());
    if (!temp_.empty()) PartFiles::All().Remove(this);
    temp_.clear();
}

}  // namespace pelmar_tools
