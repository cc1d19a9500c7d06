// An output file that appears under its name only when it is complete: the
// bytes go to a temporary file beside it, which is renamed over the name at
// Commit and removed if the writer gives up.
#pragma once

#ifdef _WIN32
#include "tools/output_file_win32.h"
#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace pelmar_tools {

class OutputFile {
  public:
    explicit OutputFile(std::string path) : path_(std::move(path)) {}
    ~OutputFile() { Abandon(); }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Creates the temporary file; false and an explanation on failure.
    bool Open(std::string &error) {
        temp_ = path_ + ".partXXXXXX";
        fd_ = mkstemp(temp_.data());
        if (fd_ < 0) {
            error = "cannot create " + temp_ + ": " + std::strerror(errno);
            temp_.clear();
            return false;
        }
        return true;
    }

    bool WriteAt(uint64_t offset, const void *bytes, size_t length, std::string &error) {
        const auto *p = static_cast<const uint8_t *>(bytes);
        while (length) {
            ssize_t n = pwrite(fd_, p, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = "cannot write " + path_ + ": " + std::strerror(n < 0 ? errno : ENOSPC);
                return false;
            }
            p += n;
            offset += static_cast<uint64_t>(n);
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    // Sets the final size (regions never written read as zero bytes).
    bool Resize(uint64_t size, std::string &error) {
        if (ftruncate(fd_, static_cast<off_t>(size)) != 0) {
            error = "cannot size " + path_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }

    bool Commit(std::string &error) {
        // mkstemp makes the file private; the result gets ordinary rights.
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd_, 0666 & ~mask) != 0 || fsync(fd_) != 0 || close(fd_) != 0) {
            error = "cannot finish " + path_ + ": " + std::strerror(errno);
            fd_ = -1;
            return false;
        }
        fd_ = -1;
        if (rename(temp_.c_str(), path_.c_str()) != 0) {
            error = "cannot rename " + temp_ + " to " + path_ + ": " + std::strerror(errno);
            return false;
        }
        temp_.clear();
        return true;
    }

    // The temporary file's name while it is being written (empty otherwise).
    const std::string &temporaryPath() const { return temp_; }

    void Abandon() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        if (!temp_.empty()) unlink(temp_.c_str());
        temp_.clear();
    }

  private:
    std::string path_;
    std::string temp_;
    int fd_ = -1;
};

}  // namespace pelmar_tools

#endif  // _WIN32
