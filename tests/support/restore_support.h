// Restores over the stand-in: a raw disk of noise attached as T:, the
// image file at c:\pelmar.img, a run context of the test's own, and image
// files put together byte by byte from entry lists.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/app_context.h"
#include "app/restore.h"
#include "support/io_support.h"

namespace pelmar_test {

constexpr uint32_t kMagic = 0x3519AFD0;
constexpr uint64_t kDiskSectors = 4096;  // 2 MiB of 512-byte sectors

inline void PutLE(std::string &bytes, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

struct ImageLayout {
    uint32_t magic = kMagic;
    uint32_t sectorSize = 512;
    std::optional<uint64_t> entryCount;  // default: the entries listed
    uint64_t volumeSectors = kDiskSectors;
    std::optional<uint64_t> dataOffset;  // default: right behind the entry sectors
    std::vector<std::pair<uint16_t, uint64_t>> entries;
    bool endEntry = true;           // an end entry behind the listed ones
    std::vector<std::string> data;  // data sectors, each sectorSize bytes
};

// Header sector, entry sectors (whole sectors, zero padded), data.
inline std::string BuildImage(const ImageLayout &layout) {
    const size_t s = layout.sectorSize ? layout.sectorSize : 512;
    const size_t slots = layout.entries.size() + (layout.endEntry ? 1 : 0);
    const size_t entrySectors = (slots * 16 + s - 1) / s;
    std::string image(std::max<size_t>(s, 512) + entrySectors * s, '\0');
    PutLE(image, 0, layout.magic, 4);
    PutLE(image, 4, layout.sectorSize, 2);
    PutLE(image, 8, layout.entryCount.value_or(layout.entries.size()), 8);
    PutLE(image, 24, layout.volumeSectors, 8);
    uint64_t dataOffset = layout.dataOffset.value_or(image.size());
    PutLE(image, 32, dataOffset, 8);
    for (size_t k = 0; k < layout.entries.size(); ++k) {
        PutLE(image, s + k * 16, layout.entries[k].first, 2);
        PutLE(image, s + k * 16 + 8, layout.entries[k].second, 8);
    }
    if (!layout.data.empty() && image.size() < dataOffset) image.resize(dataOffset, '\0');
    for (size_t k = 0; k < layout.data.size(); ++k) {
        size_t at = dataOffset + k * s;
        if (image.size() < at + s) image.resize(at + s, '\0');
        image.replace(at, s, layout.data[k]);
    }
    return image;
}

// Reproducible noise, so that every sector the restore writes shows.
// The handle a trace line names ("handle=0x40, ..." gives "0x40").
inline std::string HandleOf(const std::string &line) {
    auto at = line.find("handle=");
    return line.substr(at + 7, line.find_first_of(",)", at) - at - 7);
}

inline std::string Noise(size_t length, uint32_t seed) {
    std::string bytes(length, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<char>(x >> 24);
    }
    return bytes;
}

inline std::string Filled(size_t length, uint8_t value) {
    return std::string(length, static_cast<char>(value));
}

class RestoreTest : public IoTest {
  protected:
    void Configure(ntsim::Options &o) override {
        disk_ = RootDir() / "disk.raw";
        original_ = InitialDisk();
        WriteHostFile(disk_, original_);
        o.disks['T'] = disk_;
        if (diskSectorSize_ != 512) o.sectorSizes['T'] = diskSectorSize_;
    }
    virtual std::string InitialDisk() { return Noise(kDiskSectors * diskSectorSize_, 7); }

    void SetUp() override {
        IoTest::SetUp();
        context_ = std::make_unique<APP_CONTEXT>();
        context_->ImagePath = u"c:\\pelmar.img";
        context_->DriveLetter = u'T';
        baselineHandles_ = M().OpenHandleCount();
    }

    void PutImage(const std::string &bytes) { WriteHostFile(Host("pelmar.img"), bytes); }
    int32_t Restore(const ImageLayout &layout) {
        PutImage(BuildImage(layout));
        return RestoreFileSystem(context_.get());
    }

    std::string Disk() { return ReadHostFile(disk_); }
    std::string SectorOf(const std::string &disk, uint64_t index) {
        return disk.substr(index * diskSectorSize_, diskSectorSize_);
    }
    std::string Original(uint64_t index) { return SectorOf(original_, index); }
    // The sectors of the disk that differ from what it held before.
    std::vector<uint64_t> ChangedSectors() {
        std::string now = Disk();
        std::vector<uint64_t> changed;
        for (uint64_t i = 0; i * diskSectorSize_ < now.size(); ++i)
            if (SectorOf(now, i) != Original(i)) changed.push_back(i);
        return changed;
    }
    // Offsets of the volume writes, from the trace.
    std::vector<long long> WriteOffsets() {
        std::vector<long long> offsets;
        for (const auto &line : TraceOf("NtWriteFile")) {
            auto at = line.find("offset=");
            offsets.push_back(at == std::string::npos ? -1 : std::stoll(line.substr(at + 7)));
        }
        return offsets;
    }
    bool AllHandlesClosed() { return M().OpenHandleCount() == baselineHandles_; }
    void DumpTrace() {
        for (const auto &line : M().traceLines()) std::printf("%s\n", line.c_str());
    }

    uint32_t diskSectorSize_ = 512;
    fs::path disk_;
    std::string original_;
    std::unique_ptr<APP_CONTEXT> context_;
    size_t baselineHandles_ = 0;
};

}  // namespace pelmar_test
