// An output file that appears under its name only when it is complete, on
// Windows: the bytes go to a temporary file beside it, which replaces the
// name at Commit (MoveFileExW, written through) and is deleted if the
// writer gives up, or when Ctrl+C, Ctrl+Break or the console's closing
// ends the tool. The same calls and messages as the Linux one; messages
// name the output as the user gave it, never the temporary file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/win32_text.h"

namespace pelmar_tools {

class OutputFile;

// The outputs being written, removed by a console control handler before
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
    static BOOL WINAPI Stop(DWORD);

    CRITICAL_SECTION lock_;
    std::vector<OutputFile *> files_;
};

class OutputFile {
  public:
    explicit OutputFile(std::string path) : path_(std::move(path)) {}
    ~OutputFile() { Abandon(); }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // The output may not be this file (an input the tool reads).
    void NotTheInput(const std::string &inputPath) { inputs_.push_back(inputPath); }
    // Kept for the tools' common calls: on Windows a symbolic link or
    // junction at the name is never followed nor replaced (the file it
    // points to cannot be named there without calls that Windows Server 2003
    // lacks): the output is refused instead.
    void FollowSymlink(bool, const std::string & = "") {}

    // Whether the name may take the output, without making anything.
    bool Check(std::string &error) const {
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

    // Checks the name and creates the temporary file; false and an
    // explanation on failure.
    bool Open(std::string &error) {
        if (!Check(error)) return false;
        // A name no other writer holds: the process and a counter, made
        // with CREATE_NEW so that an existing file is never taken over.
        static unsigned counter = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            temp_ = path_ + ".part" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
            handle_ = CreateFileW(Widen(temp_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle_ != INVALID_HANDLE_VALUE) {
                PartFiles::All().Add(this);
                return true;
            }
            if (GetLastError() != ERROR_FILE_EXISTS) break;
        }
        error = "cannot create " + path_ + " (its temporary file beside it): " + SystemErrorText(GetLastError());
        temp_.clear();
        return false;
    }

    bool WriteAt(uint64_t offset, const void *bytes, size_t length, std::string &error) {
        const auto *p = static_cast<const uint8_t *>(bytes);
        while (length) {
            const DWORD want = static_cast<DWORD>(length < (1u << 30) ? length : (1u << 30));
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            DWORD done = 0;
            if (!WriteFile(handle_, p, want, &done, &at) || done == 0) {
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

    // Sets the final size (regions never written read as zero bytes).
    bool Resize(uint64_t size, std::string &error) {
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(size);
        if (!SetFilePointerEx(handle_, end, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) {
            error = "cannot size " + path_ + ": " + SystemErrorText(GetLastError());
            return false;
        }
        return true;
    }

    bool Commit(std::string &error) {
        const bool flushed = FlushFileBuffers(handle_) != 0;
        const DWORD code = GetLastError();
        const bool closed = CloseHandle(handle_) != 0;
        handle_ = INVALID_HANDLE_VALUE;
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

    // The temporary file's name while it is being written (empty otherwise).
    const std::string &temporaryPath() const { return temp_; }

    void Abandon() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
        if (!temp_.empty()) DeleteFileW(Widen(temp_).c_str());
        if (!temp_.empty()) PartFiles::All().Remove(this);
        temp_.clear();
    }

  private:
    // Which file `path` is (volume and index); false when it cannot be opened.
    static bool Identify(const std::string &path, BY_HANDLE_FILE_INFORMATION &info) {
        HANDLE handle = CreateFileW(Widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        const bool known = GetFileInformationByHandle(handle, &info) != 0;
        CloseHandle(handle);
        return known;
    }

    std::vector<std::string> inputs_;
    std::string path_;
    std::string temp_;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

inline BOOL WINAPI PartFiles::Stop(DWORD) {
    PartFiles &all = All();
    EnterCriticalSection(&all.lock_);
    std::vector<OutputFile *> files;
    files.swap(all.files_);
    for (OutputFile *file : files) file->Abandon();
    return FALSE;
}

}  // namespace pelmar_tools
