// The encoding of a raw volume as an image file.
//
// The sectors to write are visited in ascending order: every sector, or only
// those the file system uses. A sector that continues the previous one
// (the running position is just behind it) and equals it extends a repeat
// run; a sector that is all one byte value becomes a fill entry at its
// offset; any other sector goes to the data stream, continuing a data run
// where it follows a data sector, else by an entry at its offset. The
// restore's sector buffer starts out zero and its running position at the
// second sector, which the encoder assumes as well.
//
// The input is read only where it matters: the holes of a sparse file
// (SEEK_DATA/SEEK_HOLE) are zero sectors, and sectors the file system does
// not use are never read. Both passes move large blocks.
#include "tools/image/image_maker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/image/image_format.h"

namespace pelmar_tools {
namespace {

constexpr size_t kBlockBytes = 4 << 20;

struct Entry {
    uint16_t type;
    uint64_t value;
};

struct SectorRange {
    uint64_t first, count;
};

class Encoder {
  public:
    explicit Encoder(uint32_t sectorSize) : size_(sectorSize), last_(sectorSize, 0), zero_(sectorSize, 0) {}

    void Sector(uint64_t index, const uint8_t *bytes) {
        const bool follows = index == next_;
        uint8_t fill = bytes[0];
        if (follows && std::memcmp(bytes, last_.data(), size_) == 0) {
            Repeat(1);
        } else if (std::all_of(bytes, bytes + size_, [&](uint8_t b) { return b == fill; })) {
            entries_.push_back({static_cast<uint16_t>(kFill | fill), index * size_});
        } else {
            if (!data_.empty() && data_.back().first + data_.back().count == index)
                ++data_.back().count;
            else
                data_.push_back({index, 1});
            if (follows && !entries_.empty() && entries_.back().type == kDataRun)
                ++entries_.back().value;
            else if (follows && !entries_.empty() && entries_.back().type == kDataAt)
                entries_.push_back({kDataRun, 1});
            else
                entries_.push_back({kDataAt, index * size_});
        }
        std::memcpy(last_.data(), bytes, size_);
        next_ = index + 1;
        ++written_;
    }

    // `count` zero sectors from `index` on (a hole of the input).
    void Zeros(uint64_t index, uint64_t count) {
        if (!count) return;
        if (index != next_ || std::memcmp(last_.data(), zero_.data(), size_) != 0) {
            Sector(index++, zero_.data());
            --count;
        }
        if (count) Repeat(count);
        next_ = index + count;
        written_ += count;
    }

    const std::vector<Entry> &entries() const { return entries_; }
    const std::vector<SectorRange> &data() const { return data_; }
    uint64_t written() const { return written_; }

  private:
    void Repeat(uint64_t count) {
        if (!entries_.empty() && entries_.back().type == kRepeatRun)
            entries_.back().value += count;
        else
            entries_.push_back({kRepeatRun, count});
    }

    uint32_t size_;
    std::vector<uint8_t> last_, zero_;
    uint64_t next_ = 1;  // the running position starts at the second sector
    uint64_t written_ = 0;
    std::vector<Entry> entries_;
    std::vector<SectorRange> data_;
};

// Reads length bytes at offset of the input; false and why otherwise.
bool ReadExactly(const VolumeSource &source, uint64_t offset, uint8_t *bytes, size_t length, std::string &error) {
    if (source.ReadAt(offset, bytes, length, error)) return true;
    error = "cannot read " + NameAndReason(source.Name(), error);
    return false;
}

// Which sectors to write, as ascending ranges: every sector, or those the
// file system the boot sector names uses. The file system's kind goes to
// the summary.
bool SectorsToWrite(const VolumeSource &source, const ImageRequest &request, uint64_t sectors,
                    ImageSummary &summary, std::vector<SectorRange> &ranges, std::string &error) {
    const std::string &input = source.Name();
    const uint32_t S = request.sectorSize;
    const uint64_t size = source.Size();
    VolumeLayout layout;
    uint8_t boot[512] = {};
    if (size >= sizeof boot && !ReadExactly(source, 0, boot, sizeof boot, error)) return false;
    if (size >= sizeof boot) {
        if (ReadVolumeLayout(source, boot, layout, error) == Recognition::Inconsistent) return false;
    }
    // The file system reads its sectors at the size its boot sector says; an
    // image of other sectors would not fit the drive it is restored to.
    const uint32_t fsSector = static_cast<uint32_t>(boot[11] | boot[12] << 8);
    if (layout.kind != FileSystemKind::Unknown && fsSector != S) {
        error = "the file system on " + input + " has sectors of " + std::to_string(fsSector) +
                " bytes (its boot sector says so), not the " + std::to_string(S) +
                " asked for: give --sector-size " + std::to_string(fsSector) + " or leave it out";
        return false;
    }
    summary.kind = layout.kind;
    if (request.allSectors || layout.kind == FileSystemKind::Unknown) {
        summary.everySector = true;
        ranges.push_back({0, sectors});
        return true;
    }
    for (const ByteRange &r : layout.used) {
        uint64_t first = r.start / S, end = std::min<uint64_t>(sectors, (r.end + S - 1) / S);
        if (!ranges.empty() && ranges.back().first + ranges.back().count >= first) {
            uint64_t rangeEnd = std::max(end, ranges.back().first + ranges.back().count);
            ranges.back().count = rangeEnd - ranges.back().first;
        } else if (end > first) {
            ranges.push_back({first, end - first});
        }
    }
    return true;
}

// First pass: the entries, and which sectors the data stream takes; the
// input's holes are zero sectors, never read.
bool EncodeSectors(const VolumeSource &source, const std::vector<SectorRange> &ranges, uint32_t S,
                   Encoder &encoder, std::vector<uint8_t> &block, std::string &error) {
    const std::vector<ByteRange> data = source.DataRanges();
    size_t d = 0;
    for (const SectorRange &range : ranges) {
        const uint64_t end = range.first + range.count;
        for (uint64_t s = range.first; s < end;) {
            while (d < data.size() && data[d].end <= s * S) ++d;
            if (d == data.size() || data[d].start >= end * S) {
                encoder.Zeros(s, end - s);
                break;
            }
            const uint64_t dataFirst = std::max(s, data[d].start / S);
            encoder.Zeros(s, dataFirst - s);
            const uint64_t dataEnd = std::min(end, (data[d].end + S - 1) / S);
            for (s = dataFirst; s < dataEnd;) {
                const uint64_t n = std::min<uint64_t>(dataEnd - s, block.size() / S);
                if (!ReadExactly(source, s * S, block.data(), n * S, error)) return false;
                for (uint64_t k = 0; k < n; ++k) encoder.Sector(s + k, &block[k * S]);
                s += n;
            }
        }
    }
    return true;
}

// Layout: header in the first sector, entries (with the end entry) from
// the second sector on, padded to whole sectors because the restore reads
// the entry stream a sector at a time; the data sectors follow at
// dataOffset.
bool WriteHeaderAndEntries(OutputFile &out, const std::vector<Entry> &entries, uint32_t S, uint64_t sectors,
                           uint64_t &dataOffset, std::string &error) {
    const uint64_t entrySectors = ((entries.size() + 1) * kEntrySize + S - 1) / S;
    dataOffset = S + entrySectors * S;
    std::vector<uint8_t> head(dataOffset, 0);
    PutLE(&head[kMagicAt], kImageMagic, 4);
    PutLE(&head[kSectorSizeAt], S, 2);
    PutLE(&head[kEntryCountAt], entries.size(), 8);
    PutLE(&head[kVolumeSectorsAt], sectors, 8);
    PutLE(&head[kDataOffsetAt], dataOffset, 8);
    for (size_t k = 0; k < entries.size(); ++k) {
        PutLE(&head[S + k * kEntrySize], entries[k].type, 2);
        PutLE(&head[S + k * kEntrySize + 8], entries[k].value, 8);
    }
    return out.WriteAt(0, head.data(), head.size(), error);
}

// Second pass: the data stream from dataOffset on, gathered into large
// writes; its sectors and the image's size go to the summary.
bool WriteDataStream(const VolumeSource &source, OutputFile &out, const std::vector<SectorRange> &stream,
                     uint32_t S, uint64_t dataOffset, std::vector<uint8_t> &block, ImageSummary &summary,
                     std::string &error) {
    uint64_t at = dataOffset, filled = 0, dataSectors = 0;
    for (const SectorRange &r : stream) {
        for (uint64_t s = r.first; s < r.first + r.count;) {
            const uint64_t n = std::min<uint64_t>(r.first + r.count - s, (block.size() - filled) / S);
            if (!ReadExactly(source, s * S, &block[filled], n * S, error)) return false;
            filled += n * S;
            s += n;
            if (filled == block.size()) {
                if (!out.WriteAt(at, block.data(), filled, error)) return false;
                at += filled;
                filled = 0;
            }
        }
        dataSectors += r.count;
    }
    if (filled && !out.WriteAt(at, block.data(), filled, error)) return false;
    summary.dataSectors = dataSectors;
    summary.imageBytes = at + filled;
    return true;
}

}  // namespace

bool MakeImage(const ImageRequest &request, OutputFile &out, ImageSummary &summary, std::string &error) {
    std::unique_ptr<VolumeSource> source = OpenVolumeFile(request.input, error);
    return source && MakeImage(*source, request, out, summary, error);
}

bool MakeImage(const VolumeSource &source, const ImageRequest &request, OutputFile &out, ImageSummary &summary,
               std::string &error) {
    const std::string &input = source.Name();
    const uint32_t S = request.sectorSize;
    const uint64_t size = source.Size();
    if (size == 0) {
        error = input + " is empty";
        return false;
    }
    if (size % S) {
        error = input + ": size " + std::to_string(size) + " is not a multiple of the sector size " +
                std::to_string(S);
        return false;
    }
    const uint64_t sectors = size / S;
    summary = ImageSummary{};
    summary.volumeSectors = sectors;
    std::vector<SectorRange> ranges;
    if (!SectorsToWrite(source, request, sectors, summary, ranges, error)) return false;
    Encoder encoder(S);
    std::vector<uint8_t> block(kBlockBytes);
    uint64_t dataOffset = 0;
    if (!EncodeSectors(source, ranges, S, encoder, block, error) ||
        !WriteHeaderAndEntries(out, encoder.entries(), S, sectors, dataOffset, error) ||
        !WriteDataStream(source, out, encoder.data(), S, dataOffset, block, summary, error))
        return false;
    summary.sectorsWritten = encoder.written();
    summary.entries = encoder.entries().size();
    return true;
}

}  // namespace pelmar_tools
