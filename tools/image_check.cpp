// The replay follows the restore step by step: the entry stream from byte S
// (the sector size) read a sector at a time, the data stream from the
// header's data offset, a running position that starts at S, a sector
// buffer that starts out zero, and a volume that refuses transfers that are
// unaligned or do not fit inside it.
#include "tools/image_check.h"

#include <cstring>
#include <iterator>

#include "tools/image_format.h"

namespace pelmar_tools {
namespace {

// Exactly `length` bytes at `offset`. False with `ioError` empty when the
// image ends before them (the restore's read comes up short), false with
// `ioError` set when the image cannot be read.
bool ReadExactly(const VolumeSource &image, uint64_t offset, uint8_t *out, size_t length,
                 std::string &ioError) {
    if (offset > image.Size() || length > image.Size() - offset) return false;
    if (image.ReadAt(offset, out, length, ioError)) return true;
    ioError = "cannot read " + image.Name() + ": " + ioError;
    return false;
}

// The volume sectors written so far, as ranges [first, end): the images
// write mostly in order, and a hostile volume size must not cost memory.
class SectorSet {
  public:
    // Adds the sector; false when it was there already.
    bool Add(uint64_t index) {
        auto next = ranges_.upper_bound(index);
        if (next != ranges_.begin()) {
            auto prev = std::prev(next);
            if (index < prev->second) return false;
            if (index == prev->second) {
                ++prev->second;
                if (next != ranges_.end() && next->first == prev->second) {
                    prev->second = next->second;
                    ranges_.erase(next);
                }
                ++count_;
                return true;
            }
        }
        if (next != ranges_.end() && next->first == index + 1) {
            uint64_t end = next->second;
            ranges_.erase(next);
            ranges_[index] = end;
        } else {
            ranges_[index] = index + 1;
        }
        ++count_;
        return true;
    }
    uint64_t count() const { return count_; }

  private:
    std::map<uint64_t, uint64_t> ranges_;
    uint64_t count_ = 0;
};

struct Replay {
    const VolumeSource &image;
    uint32_t sectorSize;
    uint64_t volumeBytes;
    const ExpandSink &expand;  // empty: check only
    SectorSet written;
    ImageStatistics stats;
    std::string problem;  // why the restore would fail
    uint64_t dataPosition = 0;
    uint64_t position = 0;
    std::vector<uint8_t> buffer;

    bool ReadData(std::string &ioError) {
        if (!ReadExactly(image, dataPosition, buffer.data(), sectorSize, ioError)) {
            if (ioError.empty())
                problem = "the data stream ends at data sector " + std::to_string(stats.dataSectors) +
                          " (byte " + std::to_string(dataPosition) + ")";
            return false;
        }
        dataPosition += sectorSize;
        ++stats.dataSectors;
        return true;
    }

    bool Write(uint64_t offset, uint16_t kind, std::string &ioError) {
        if (offset > static_cast<uint64_t>(INT64_MAX)) {
            problem = "an entry names the volume offset " + std::to_string(offset) + ", which is negative";
            return false;
        }
        if (offset % sectorSize) {
            problem = "a write at byte " + std::to_string(offset) + " is not sector-aligned";
            return false;
        }
        if (offset >= volumeBytes || sectorSize > volumeBytes - offset) {
            problem = "a write at byte " + std::to_string(offset) + " lies outside the volume of " +
                      std::to_string(volumeBytes) + " bytes";
            return false;
        }
        uint64_t index = offset / sectorSize;
        if (!written.Add(index)) ++stats.rewrites;
        ++stats.sectorsWritten;
        ++stats.sectorsByType[kind];
        if (expand && !expand(offset, buffer.data(), sectorSize, ioError)) return false;
        position = offset + sectorSize;
        return true;
    }

    // Applies one entry; false when the restore would stop here.
    bool Apply(uint16_t type, uint64_t value, std::string &ioError) {
        uint16_t kind = (type & 0xFF00) == kFill ? kFill : type;
        ++stats.entries;
        ++stats.entriesByType[kind];
        switch (kind) {
            case kDataRun:
            case kRepeatRun:
                for (uint64_t left = value; left; --left) {
                    if (kind == kDataRun && !ReadData(ioError)) return false;
                    if (!Write(position, kind, ioError)) return false;
                }
                return true;
            case kDataAt:
                if (value > static_cast<uint64_t>(INT64_MAX)) return Write(value, kind, ioError);
                if (!ReadData(ioError)) return false;
                return Write(value, kind, ioError);
            case kFill:
                ++stats.fillsByByte[static_cast<uint8_t>(type)];
                if (value <= static_cast<uint64_t>(INT64_MAX))
                    std::memset(buffer.data(), type & 0xFF, sectorSize);
                return Write(value, kind, ioError);
            default:
                problem =
                    "entry " + std::to_string(stats.entries - 1) + " has the invalid type " + TypeName(type);
                return false;
        }
    }

    // Runs the entry stream to its end entry.
    bool Run(std::string &ioError) {
        buffer.assign(sectorSize, 0);
        position = sectorSize;
        std::vector<uint8_t> entries(sectorSize);
        for (uint64_t at = sectorSize;; at += sectorSize) {
            if (!ReadExactly(image, at, entries.data(), sectorSize, ioError)) {
                if (ioError.empty())
                    problem = "the entry stream ends (byte " + std::to_string(at) + ") before its end entry";
                return false;
            }
            ++stats.entrySectors;
            for (size_t slot = 0; slot + kEntrySize <= sectorSize; slot += kEntrySize) {
                uint16_t type = static_cast<uint16_t>(GetLE(&entries[slot], 2));
                if (type == kEnd) return true;
                if (!Apply(type, GetLE(&entries[slot + 8], 8), ioError)) return false;
            }
        }
    }
};

}  // namespace

bool ReadImageHeader(const VolumeSource &image, ImageHeader &header, std::string &error) {
    uint8_t bytes[kHeaderSize];
    error.clear();
    if (!ReadExactly(image, 0, bytes, sizeof bytes, error)) {
        if (error.empty())
            error = std::to_string(image.Size()) + " bytes, shorter than the " + std::to_string(kHeaderSize) +
                    "-byte header";
        return false;
    }
    header.magic = static_cast<uint32_t>(GetLE(bytes + kMagicAt, 4));
    header.sectorSize = GetLE(bytes + kSectorSizeAt, 2);
    header.entryCount = GetLE(bytes + kEntryCountAt, 8);
    header.volumeSectors = GetLE(bytes + kVolumeSectorsAt, 8);
    header.dataOffset = GetLE(bytes + kDataOffsetAt, 8);
    return true;
}

std::vector<std::string> HeaderProblems(const ImageHeader &header) {
    std::vector<std::string> problems;
    if (header.magic != kImageMagic) problems.push_back("wrong magic");
    if (!IsSupportedSectorSize(header.sectorSize)) problems.push_back("unsupported sector size");
    if (header.entryCount == 0) problems.push_back("entry count is 0");
    if (IsSupportedSectorSize(header.sectorSize) &&
        header.volumeSectors > static_cast<uint64_t>(INT64_MAX) / header.sectorSize)
        problems.push_back("volume size too large");
    if (header.dataOffset > static_cast<uint64_t>(INT64_MAX)) problems.push_back("data offset is negative");
    return problems;
}

ReplayResult ReplayImage(const VolumeSource &image, const ImageHeader &header, const ExpandSink &expand) {
    const uint32_t s = static_cast<uint32_t>(header.sectorSize);
    Replay replay{image, s, header.volumeSectors * s, expand, {}, {}, {}, header.dataOffset, 0, {}};
    ReplayResult result;
    result.consistent = replay.Run(result.ioError) && result.ioError.empty();
    result.problem = replay.problem;
    result.stats = replay.stats;
    result.stats.distinctSectors = replay.written.count();
    return result;
}

bool ImageIsConsistent(const VolumeSource &image, std::string &why) {
    ImageHeader header;
    if (!ReadImageHeader(image, header, why)) return false;
    std::vector<std::string> problems = HeaderProblems(header);
    if (!problems.empty()) {
        why = problems.front();
        return false;
    }
    ReplayResult result = ReplayImage(image, header);
    if (!result.ioError.empty()) {
        why = result.ioError;
        return false;
    }
    why = result.problem;
    return result.consistent;
}

}  // namespace pelmar_tools
