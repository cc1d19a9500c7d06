// The replay follows the restore step by step: the entry stream from byte S
// (the sector size) read a sector at a time, the data stream from the
// header's data offset, a running position that starts at S, a sector
// buffer that starts out zero, and a volume that refuses transfers that are
// unaligned or do not fit inside it.
#include "tools/image/image_check.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "tools/image/image_format.h"

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
// write mostly in order, and neither a hostile volume size nor a long run
// may cost memory or time by the sector.
class SectorSet {
  public:
    // Adds the sectors [first, end); returns how many were there already,
    // and those ranges of sector numbers in `before` when asked.
    uint64_t Add(uint64_t first, uint64_t end, std::vector<ByteRange> *before = nullptr) {
        if (first >= end) return 0;
        uint64_t present = 0, joinedFirst = first, joinedEnd = end;
        auto at = ranges_.upper_bound(first);
        if (at != ranges_.begin() && std::prev(at)->second >= first) --at;
        // Every range that overlaps or touches the new one joins it.
        while (at != ranges_.end() && at->first <= end) {
            uint64_t a = std::max(at->first, first), b = std::min(at->second, end);
            if (a < b) {
                present += b - a;
                if (before) before->push_back({a, b});
            }
            joinedFirst = std::min(joinedFirst, at->first);
            joinedEnd = std::max(joinedEnd, at->second);
            count_ -= at->second - at->first;
            at = ranges_.erase(at);
        }
        ranges_[joinedFirst] = joinedEnd;
        count_ += joinedEnd - joinedFirst;
        return present;
    }
    uint64_t count() const { return count_; }
    std::vector<ByteRange> Ranges() const {
        std::vector<ByteRange> all;
        for (const auto &[first, end] : ranges_) all.push_back({first, end});
        return all;
    }

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

    // How many whole sectors fit on the volume from `offset` on.
    uint64_t SectorsFitting(uint64_t offset) const {
        return offset < volumeBytes ? (volumeBytes - offset) / sectorSize : 0;
    }

    void OutsideTheVolume(uint64_t offset) {
        problem = "a write at byte " + std::to_string(offset) + " lies outside the volume of " +
                  std::to_string(volumeBytes) + " bytes";
    }

    // Counts `count` sectors written from `offset` on (checked to fit).
    void Count(uint64_t offset, uint64_t count, uint16_t kind, std::vector<ByteRange> *before = nullptr) {
        uint64_t first = offset / sectorSize;
        stats.rewrites += written.Add(first, first + count, before);
        stats.sectorsWritten += count;
        stats.sectorsByType[kind] += count;
        position = offset + count * sectorSize;
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
        if (SectorsFitting(offset) == 0) {
            OutsideTheVolume(offset);
            return false;
        }
        if (expand && !expand(offset, buffer.data(), sectorSize, ioError)) return false;
        Count(offset, 1, kind);
        return true;
    }

    // A data run: each sector read from the data stream, then written at the
    // running position; it stops at the first read or write that fails, so
    // its work is bounded by the data the image holds.
    bool DataRun(uint64_t count, std::string &ioError) {
        for (uint64_t done = 0; done < count; ++done)
            if (!ReadData(ioError) || !Write(position, kDataRun, ioError)) return false;
        return true;
    }

    // A repeat run: the sector buffer written `count` times from the running
    // position. Its end is computed, not walked to: a run that leaves the
    // volume fails where the restore's write would.
    bool RepeatRun(uint64_t count, std::string &ioError) {
        const uint64_t start = position, fitting = SectorsFitting(start);
        if (count > fitting) {
            Count(start, fitting, kRepeatRun);
            OutsideTheVolume(start + fitting * sectorSize);
            problem = "a repeat run of " + std::to_string(count) + " sectors from byte " + std::to_string(start) +
                      " leaves the volume: " + problem;
            return false;
        }
        if (!count) return true;
        std::vector<ByteRange> before;
        Count(start, count, kRepeatRun, expand ? &before : nullptr);
        if (!expand) return true;
        // Sectors never written read as zero in the expansion, so a zero
        // buffer need only be written where it replaces earlier sectors.
        const bool zero = std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0; });
        if (!zero) before = {{start / sectorSize, start / sectorSize + count}};
        std::vector<uint8_t> block;
        for (const ByteRange &range : before) {
            for (uint64_t sector = range.start; sector < range.end;) {
                uint64_t n = std::min<uint64_t>(range.end - sector, 256);
                while (block.size() < n * sectorSize) block.insert(block.end(), buffer.begin(), buffer.end());
                if (!expand(sector * sectorSize, block.data(), n * sectorSize, ioError)) return false;
                sector += n;
            }
        }
        return true;
    }

    // Applies one entry; false when the restore would stop here.
    bool Apply(uint16_t type, uint64_t value, std::string &ioError) {
        uint16_t kind = (type & 0xFF00) == kFill ? kFill : type;
        ++stats.entries;
        ++stats.entriesByType[kind];
        switch (kind) {
            case kDataRun:
                return DataRun(value, ioError);
            case kRepeatRun:
                return RepeatRun(value, ioError);
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
    result.written = replay.written.Ranges();
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
