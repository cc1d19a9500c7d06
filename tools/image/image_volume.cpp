// The volume an image restores, as a volume source (see image_volume.h).
#include "tools/image/image_volume.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "tools/image/image_check.h"

namespace pelmar_tools {
namespace {

class ReplayedSource final : public VolumeSource {
  public:
    ReplayedSource(std::string name, uint64_t sectorSize, uint64_t size)
        : name_(std::move(name)), sectorSize_(sectorSize), size_(size) {}
    const std::string &Name() const override { return name_; }
    uint64_t Size() const override { return size_; }

    // The restore's write of `length` bytes at `offset`: each sector kept,
    // a zero sector forgotten (it reads as zero).
    bool Write(uint64_t offset, const uint8_t *bytes, size_t length, std::string &error) {
        for (size_t at = 0; at + sectorSize_ <= length; at += sectorSize_) {
            const uint64_t sector = (offset + at) / sectorSize_;
            const uint8_t *data = bytes + at;
            const bool zero = std::all_of(data, data + sectorSize_, [](uint8_t b) { return b == 0; });
            auto found = sectors_.find(sector);
            if (found != sectors_.end()) {
                kept_ -= sectorSize_;
                sectors_.erase(found);
            }
            if (zero) continue;
            if (kept_ + sectorSize_ > kReplayedVolumeLimit) {
                error = "its volume holds more than " + std::to_string(kReplayedVolumeLimit >> 20) +
                        " MiB of data, more than is read into memory";
                return false;
            }
            sectors_.emplace(sector, std::vector<uint8_t>(data, data + sectorSize_));
            kept_ += sectorSize_;
        }
        return true;
    }

  protected:
    bool ReadWithin(uint64_t offset, uint8_t *out, size_t length, std::string &) const override {
        while (length) {
            const uint64_t sector = offset / sectorSize_, within = offset % sectorSize_;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(length, sectorSize_ - within));
            auto found = sectors_.find(sector);
            if (found == sectors_.end()) {
                std::memset(out, 0, n);
            } else {
                std::memcpy(out, found->second.data() + within, n);
            }
            out += n;
            offset += n;
            length -= n;
        }
        return true;
    }

  private:
    std::string name_;
    uint64_t sectorSize_, size_;
    std::map<uint64_t, std::vector<uint8_t>> sectors_;
    uint64_t kept_ = 0;
};

}  // namespace

std::unique_ptr<VolumeSource> ReplayedVolume(const VolumeSource &image, std::string &error) {
    ImageHeader header;
    if (!ReadImageHeader(image, header, error)) return nullptr;
    const std::vector<std::string> problems = HeaderProblems(header);
    if (!problems.empty()) {
        error = problems.front();
        return nullptr;
    }
    auto volume = std::make_unique<ReplayedSource>(image.Name() + " (restored)", header.sectorSize,
                                                   header.volumeSectors * header.sectorSize);
    const ReplayResult replay = ReplayImage(image, header, [&](uint64_t offset, const uint8_t *bytes, size_t length,
                                                               std::string &e) {
        return volume->Write(offset, bytes, length, e);
    });
    if (!replay.consistent) {
        error = replay.ioError.empty() ? replay.problem : replay.ioError;
        return nullptr;
    }
    return volume;
}

}  // namespace pelmar_tools
