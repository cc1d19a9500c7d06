// The FAT and NTFS readers of pelmar-mkimage (one target each, chosen by
// PELMAR_LAYOUT_NTFS): whatever a volume holds, the reader must stay inside
// its buffers and the volume, end after work in proportion to the volume,
// and when it recognises the file system, give used ranges that are
// ascending, apart and inside the volume.
//
// The input is the volume's beginning; the volume is as large as its boot
// sector claims (up to 64 MiB) and reads as zero behind the input, so that a
// real volume with its trailing zeros cut off is a seed.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_driver.h"
#include "tools/image/image_format.h"
#include "tools/fs/volume_layout.h"

namespace {

class FuzzVolume : public pelmar_tools::VolumeSource {
  public:
    FuzzVolume(const uint8_t *data, size_t length, uint64_t size) : data_(data), length_(length), size_(size) {}
    const std::string &Name() const override { return name_; }
    uint64_t Size() const override { return size_; }
    bool ReadWithin(uint64_t offset, uint8_t *out, size_t length, std::string &) const override {
        const size_t present = offset < length_ ? std::min<uint64_t>(length, length_ - offset) : 0;
        if (present) std::memcpy(out, data_ + offset, present);
        std::memset(out + present, 0, length - present);
        return true;
    }

  private:
    const uint8_t *data_;
    size_t length_;
    uint64_t size_;
    std::string name_ = "fuzz.raw";
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using pelmar_tools::GetLE;
    if (size < 512 || size > (4u << 20)) return 0;
#ifdef PELMAR_LAYOUT_NTFS
    const uint64_t claimed = (GetLE(data + 40, 8) + 1) * GetLE(data + 11, 2);
#else
    const uint64_t claimed = (GetLE(data + 19, 2) ? GetLE(data + 19, 2) : GetLE(data + 32, 4)) * GetLE(data + 11, 2);
#endif
    // Now and then a volume shorter than it claims.
    const uint64_t volumeSize = data[2] != 0x90 ? size : std::max<uint64_t>(size, std::min<uint64_t>(claimed, 64u << 20));
    FuzzVolume volume(data, size, volumeSize);
    pelmar_tools::VolumeLayout layout;
    std::string error;
#ifdef PELMAR_LAYOUT_NTFS
    auto result = pelmar_tools::ReadNtfsLayout(volume, data, layout, error);
#else
    auto result = pelmar_tools::ReadFatLayout(volume, data, layout, error);
#endif
    if (result == pelmar_tools::Recognition::Inconsistent && error.empty()) std::abort();
    if (result != pelmar_tools::Recognition::Recognised) return 0;
    uint64_t last = 0;
    for (const auto &r : layout.used) {
        if (r.start >= r.end || r.start < last || r.end > volumeSize) std::abort();
        last = r.end + 1;
    }
    if (layout.usedClusters > layout.clusters || layout.clusterBytes == 0) std::abort();
    return 0;
}
