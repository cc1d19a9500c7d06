// Raw volumes held in files or block devices on Linux: read with pread, and
// the holes of a sparse file found with SEEK_DATA and SEEK_HOLE, so that they
// are never read.
#include <fcntl.h>
#include <sys/ioctl.h>
#if defined(__linux__)
#include <linux/fs.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/platform/volume_source.h"

namespace pelmar_tools {
namespace {

class FileSource final : public VolumeSource {
  public:
    FileSource(std::string name, int fd, uint64_t size) : name_(std::move(name)), fd_(fd), size_(size) {}
    ~FileSource() override { close(fd_); }
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;

    const std::string &Name() const override { return name_; }
    uint64_t Size() const override { return size_; }

    bool ReadWithin(uint64_t offset, uint8_t *out, size_t length, std::string &error) const override {
        while (length) {
            ssize_t n = pread(fd_, out, length, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error = n < 0 ? std::strerror(errno) : "the input changed while it was read";
                return false;
            }
            out += n;
            offset += static_cast<uint64_t>(n);
            length -= static_cast<size_t>(n);
        }
        return true;
    }

    std::vector<ByteRange> DataRanges() const override {
        std::vector<ByteRange> ranges;
        for (off_t at = 0; static_cast<uint64_t>(at) < size_;) {
            off_t data = lseek(fd_, at, SEEK_DATA);
            if (data < 0) {
                if (errno != ENXIO) return {{0, size_}};  // no hole information: all data
                break;
            }
            off_t hole = lseek(fd_, data, SEEK_HOLE);
            if (hole < 0) return {{0, size_}};
            ranges.push_back(
                {static_cast<uint64_t>(data), std::min<uint64_t>(size_, static_cast<uint64_t>(hole))});
            at = hole;
        }
        return ranges;
    }

  private:
    std::string name_;
    int fd_;
    uint64_t size_;
};

}  // namespace

std::unique_ptr<VolumeSource> OpenVolumeFile(const std::string &path, std::string &error) {
    // Opened without waiting: a FIFO without a writer, or a device that
    // would block, is refused below rather than waited on.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = "cannot examine " + path + ": " + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    const char *refusal = S_ISDIR(st.st_mode)    ? " is a folder, not a file"
                          : S_ISFIFO(st.st_mode) ? " is a FIFO; give a file or a block device"
                          : S_ISCHR(st.st_mode)  ? " is a character device; give a file or a block device"
                          : !S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) ? " is not a file"
                                                                         : nullptr;
#ifdef BLKGETSIZE64
    if (!refusal && S_ISBLK(st.st_mode) && ioctl(fd, BLKGETSIZE64, &size) != 0) {
        error = "cannot get the size of " + path + ": " + std::strerror(errno);
        close(fd);
        return nullptr;
    }
#else
    if (S_ISBLK(st.st_mode)) refusal = " is a block device, which is not read on this system";
#endif
    if (refusal) {
        error = path + refusal;
        close(fd);
        return nullptr;
    }
    // Reads wait for their bytes from here on.
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = "cannot examine " + path + ": " + std::strerror(errno);
        close(fd);
        return nullptr;
    }
    return std::make_unique<FileSource>(path, fd, size);
}

}  // namespace pelmar_tools
