// Where a raw volume's bytes come from: a file or a block device on Linux,
// and on Windows also a locked drive. The file-system readers and the image
// encoder read only through this, so neither knows the platform; each
// platform's sources are made in a file of their own (volume_source_posix.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pelmar_tools {

// "NAME: REASON", or "NAME (REASON)" when the name ends in a colon (a
// drive, X:), whose own colon would double.
inline std::string NameAndReason(const std::string &name, const std::string &reason) {
    return !name.empty() && name.back() == ':' ? name + " (" + reason + ")" : name + ": " + reason;
}

struct ByteRange {
    uint64_t start, end;  // [start, end)
};

class VolumeSource {
  public:
    virtual ~VolumeSource() = default;

    // The name to use in messages (the path as the user gave it).
    virtual const std::string &Name() const = 0;
    // The volume's size in bytes.
    virtual uint64_t Size() const = 0;
    // Exactly `length` bytes at `offset`; false and a reason (without the
    // name) otherwise, including a read beyond the end, which no source is
    // asked for.
    bool ReadAt(uint64_t offset, uint8_t *out, size_t length, std::string &error) const {
        if (offset > Size() || length > Size() - offset) {
            error = "the input is shorter than its file system says";
            return false;
        }
        return ReadWithin(offset, out, length, error);
    }
    // The ranges that may hold anything but zero bytes, ascending; the rest
    // reads as zero (the holes of a sparse file). By default, all of it.
    virtual std::vector<ByteRange> DataRanges() const { return {{0, Size()}}; }

  protected:
    // ReadAt's bytes, which lie inside the volume.
    virtual bool ReadWithin(uint64_t offset, uint8_t *out, size_t length, std::string &error) const = 0;
};

// Opens a raw volume held in a file for reading; null and a reason
// (naming the path) when it cannot be used.
std::unique_ptr<VolumeSource> OpenVolumeFile(const std::string &path, std::string &error);

}  // namespace pelmar_tools
