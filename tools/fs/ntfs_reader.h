// The records of an NTFS volume, read on our own through the volume source
// alone: the MFT found through its first record, a record with its update
// sequence undone, its attributes, an attribute's whole contents (from the
// base record or the extension records its attribute list names), and
// bytes of those contents. Every count the volume claims is checked against
// the volume before it is used; `error` says what did not hold together.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/fs/volume_layout.h"

namespace pelmar_tools {

constexpr uint32_t kAttributeList = 0x20, kData = 0x80, kEndMarker = 0xFFFFFFFF;
constexpr uint64_t kBitmapRecord = 6, kSystemRecords = 16;
// Larger attribute lists than Windows writes are refused rather than read.
constexpr uint64_t kMaxAttributeList = 256 * 1024;

const char *const kSystemNames[kSystemRecords] = {
    "$MFT",  "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "the root directory", "$Bitmap", "$Boot",
    "$BadClus", "$Secure", "$UpCase", "$Extend", "MFT record 12", "MFT record 13", "MFT record 14",
    "MFT record 15"};

struct Run {
    uint64_t vcn, lcn, length;
    bool sparse;
};

// An attribute's contents: a resident value, or data runs over clusters.
struct Value {
    bool resident = false;
    std::vector<uint8_t> bytes;  // resident
    std::vector<Run> runs;       // by VCN, from 0 without gaps
    uint64_t dataSize = 0, initializedSize = 0;
};

inline std::string RecordName(uint64_t number) {
    return number < kSystemRecords ? kSystemNames[number] : "MFT record " + std::to_string(number);
}

class NtfsReader {
  public:
    NtfsReader(const VolumeSource &source, uint64_t clusterBytes, uint64_t clusters, uint64_t recordBytes)
        : source_(source), clusterBytes_(clusterBytes), clusters_(clusters), recordBytes_(recordBytes) {}

    std::string error;

    // Record 0, where the boot sector says the MFT starts, and from it the
    // MFT's own data runs, through which every other record is found.
    bool LoadMft(uint64_t mftLcn) {
        if (mftLcn >= clusters_ || (recordBytes_ + clusterBytes_ - 1) / clusterBytes_ > clusters_ - mftLcn)
            return Fail("the boot sector places the MFT at cluster " + std::to_string(mftLcn) +
                        ", outside the volume's " + std::to_string(clusters_) + " clusters");
        mft_.runs = {{0, mftLcn, (recordBytes_ + clusterBytes_ - 1) / clusterBytes_, false}};
        mft_.dataSize = mft_.initializedSize = recordBytes_;
        bootstrapping_ = true;
        Value mft;
        if (!ReadValue(0, kData, mft)) return false;
        bootstrapping_ = false;
        if (mft.resident) return Fail("the MFT's data is resident in its own record");
        mft_ = std::move(mft);
        return true;
    }

    // How many records the MFT holds.
    uint64_t RecordCount() const { return mft_.dataSize / recordBytes_; }

    // An MFT record, its update sequence checked and undone.
    bool LoadRecord(uint64_t number, std::vector<uint8_t> &record) {
        record.assign(recordBytes_, 0);
        if (number >= mft_.dataSize / recordBytes_)
            return Fail("MFT record " + std::to_string(number) + " lies beyond the MFT's end");
        if (!ReadBytes(mft_, "$MFT", number * recordBytes_, record.data(), recordBytes_)) return false;
        const uint8_t *r = record.data();
        const std::string where = "MFT record " + std::to_string(number);
        if (std::memcmp(r, "FILE", 4) != 0) return Fail(where + " is not a file record");
        const uint64_t usaOffset = ReadLE(r + 4, 2), usaCount = ReadLE(r + 6, 2);
        if (usaCount != recordBytes_ / 512 + 1 || usaOffset < 42 || usaOffset % 2 ||
            usaOffset + usaCount * 2 > recordBytes_)
            return Fail(where + " has an update sequence of " + std::to_string(usaCount) + " entries at " +
                        std::to_string(usaOffset) + ", not one per 512 bytes");
        // The last two bytes of every 512 carry the sequence number while
        // the record is on disk; their own values wait in the array.
        for (uint64_t i = 1; i < usaCount; ++i) {
            uint8_t *tail = record.data() + i * 512 - 2;
            if (tail[0] != r[usaOffset] || tail[1] != r[usaOffset + 1])
                return Fail(where + " is torn: its block " + std::to_string(i - 1) +
                            " does not end with the update sequence number");
            tail[0] = r[usaOffset + 2 * i];
            tail[1] = r[usaOffset + 2 * i + 1];
        }
        if (!(ReadLE(r + 22, 2) & 1)) return Fail(where + " is not in use");
        return true;
    }

    // Calls `visit(attribute, length)` for each attribute of a record, after
    // checking that it lies inside the record. False ends the walk.
    template <typename Visit>
    bool ForEachAttribute(const std::vector<uint8_t> &record, uint64_t number, Visit visit) {
        const uint64_t used = std::min<uint64_t>(ReadLE(record.data() + 24, 4), recordBytes_);
        for (uint64_t at = ReadLE(record.data() + 20, 2);;) {
            if (at + 8 > used)
                return Fail("the attributes of MFT record " + std::to_string(number) + " run past its end");
            const uint8_t *a = record.data() + at;
            if (ReadLE(a, 4) == kEndMarker) return true;
            const uint64_t length = ReadLE(a + 4, 4);
            if (length < 24 || length % 8 || at + length > used || (a[8] && length < 64))
                return Fail("MFT record " + std::to_string(number) + " holds an attribute of " +
                            std::to_string(length) + " bytes at " + std::to_string(at));
            if (!visit(a, length)) return false;
            at += length;
        }
    }

    // A non-resident attribute's data runs, appended to `runs`.
    bool DecodeRuns(const uint8_t *a, uint64_t length, uint64_t number, std::vector<Run> &runs) {
        const std::string where = "the data runs of " + RecordName(number);
        const uint64_t firstVcn = ReadLE(a + 16, 8), lastVcn = ReadLE(a + 24, 8);
        uint64_t at = ReadLE(a + 32, 2), vcn = firstVcn;
        int64_t lcn = 0;
        // No file of the file system's own is larger than the volume.
        if (firstVcn > lastVcn || lastVcn >= clusters_)
            return Fail(where + " cover clusters " + std::to_string(firstVcn) + " to " + std::to_string(lastVcn) +
                        " of the file, the volume has " + std::to_string(clusters_));
        if (at >= length) return Fail(where + " lie outside their attribute");
        while (at < length && a[at]) {
            const unsigned lengthBytes = a[at] & 0x0F, offsetBytes = a[at] >> 4;
            if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || at + 1 + lengthBytes + offsetBytes > length)
                return Fail(where + " are malformed");
            const uint64_t count = ReadLE(a + at + 1, static_cast<int>(lengthBytes));
            uint64_t delta = ReadLE(a + at + 1 + lengthBytes, static_cast<int>(offsetBytes));
            if (offsetBytes && offsetBytes < 8 && (delta >> (8 * offsetBytes - 1) & 1))
                delta |= ~uint64_t{0} << (8 * offsetBytes);  // a step back
            at += 1 + lengthBytes + offsetBytes;
            if (count == 0 || count > lastVcn + 1 - vcn)
                return Fail(where + " hold a run of " + std::to_string(count) + " clusters at cluster " +
                            std::to_string(vcn) + " of the file, which ends at " + std::to_string(lastVcn));
            lcn += static_cast<int64_t>(delta);
            if (offsetBytes &&
                (lcn < 0 || static_cast<uint64_t>(lcn) >= clusters_ || count > clusters_ - static_cast<uint64_t>(lcn)))
                return Fail(where + " reach beyond the volume's " + std::to_string(clusters_) + " clusters");
            runs.push_back({vcn, offsetBytes ? static_cast<uint64_t>(lcn) : 0, count, offsetBytes == 0});
            vcn += count;
        }
        if (vcn != lastVcn + 1)
            return Fail(where + " cover clusters " + std::to_string(firstVcn) + " to " + std::to_string(vcn) +
                        " of the file, its attribute says up to " + std::to_string(lastVcn));
        return true;
    }

    // The attribute `type` of record `number` named `name` (unnamed when
    // empty), whole: from the base record, or from the extension records
    // its attribute list names.
    bool ReadValue(uint64_t number, uint32_t type, Value &value, const std::u16string &name = {}) {
        std::vector<uint8_t> base;
        if (!LoadRecord(number, base)) return false;
        const bool mftData = bootstrapping_ && number == 0 && type == kData;
        const uint8_t *list = nullptr;
        uint64_t listLength = 0;
        bool found = false;
        if (!ForEachAttribute(base, number, [&](const uint8_t *a, uint64_t length) {
                if (ReadLE(a, 4) == kAttributeList && !list) {
                    list = a;
                    listLength = length;
                } else if (!list && !found && ReadLE(a, 4) == type && Named(a[9], a + ReadLE(a + 10, 2), length, a, name)) {
                    found = true;
                    return Take(a, length, number, value, mftData);
                }
                return true;
            }))
            return false;
        if (list) return ReadListed(number, type, name, list, listLength, value, mftData);
        if (!found) return Fail(RecordName(number) + " has no data attribute");
        return Finish(number, value);
    }

    // `length` bytes at byte `offset` of an attribute's contents.
    bool ReadBytes(const Value &value, const std::string &name, uint64_t offset, uint8_t *out, uint64_t length) {
        if (value.resident) {
            if (offset > value.bytes.size() || length > value.bytes.size() - offset)
                return Fail("reading beyond the end of " + name);
            std::memcpy(out, value.bytes.data() + offset, length);
            return true;
        }
        while (length) {
            const uint64_t vcn = offset / clusterBytes_;
            auto run = std::upper_bound(value.runs.begin(), value.runs.end(), vcn,
                                        [](uint64_t v, const Run &r) { return v < r.vcn; });
            if (run == value.runs.begin() || vcn >= (run - 1)->vcn + (run - 1)->length)
                return Fail("cluster " + std::to_string(vcn) + " of " + name + " lies beyond its data runs");
            --run;
            const uint64_t within = offset - run->vcn * clusterBytes_;
            uint64_t part = std::min<uint64_t>(length, run->length * clusterBytes_ - within);
            // Behind the initialized size the contents read as zero.
            if (offset < value.initializedSize) part = std::min(part, value.initializedSize - offset);
            std::string why;
            if (run->sparse || offset >= value.initializedSize)
                std::memset(out, 0, part);
            else if (!source_.ReadAt(run->lcn * clusterBytes_ + within, out, part, why))
                return Fail("cannot read " + name + ": " + why);
            out += part;
            offset += part;
            length -= part;
        }
        return true;
    }

    // The non-sparse runs of every non-resident attribute of the system
    // files' base records, and of $MFT's and $Bitmap's data wherever they
    // lie, each with the record it belongs to.
    bool SystemRuns(const Value &bitmap, std::vector<std::pair<Run, uint64_t>> &runs) {
        auto add = [&](const std::vector<Run> &from, uint64_t number) {
            for (const Run &r : from)
                if (!r.sparse) runs.push_back({r, number});
        };
        add(mft_.runs, 0);
        add(bitmap.runs, kBitmapRecord);
        for (uint64_t number = 0; number < kSystemRecords; ++number) {
            std::vector<uint8_t> record;
            if (!LoadRecord(number, record)) {
                // Records 12 to 15 are kept for future use and may be unused.
                if (number >= 12 && error.find("is not in use") != std::string::npos) continue;
                return false;
            }
            if (!ForEachAttribute(record, number, [&](const uint8_t *a, uint64_t length) {
                    if (!a[8]) return true;
                    std::vector<Run> found;
                    if (!DecodeRuns(a, length, number, found)) return false;
                    add(found, number);
                    return true;
                }))
                return false;
        }
        return true;
    }

  private:
    // Whether the `count` UTF-16 characters at `at`, inside the `length`
    // bytes from `start`, are `name`.
    static bool Named(uint64_t count, const uint8_t *at, uint64_t length, const uint8_t *start,
                      const std::u16string &name) {
        if (count == 0 || count != name.size()) return count == name.size();
        if (at < start || at + 2 * count > start + length) return false;
        for (uint64_t i = 0; i < count; ++i)
            if (ReadLE(at + 2 * i, 2) != name[i]) return false;
        return true;
    }

    bool Fail(const std::string &why) {
        error = why;
        return false;
    }

    // Takes one piece of the attribute: its value, or its runs, which must
    // continue the pieces taken before. `mftData`: the MFT's own.
    bool Take(const uint8_t *a, uint64_t length, uint64_t number, Value &value, bool mftData) {
        const uint64_t next = value.runs.empty() ? 0 : value.runs.back().vcn + value.runs.back().length;
        if (!a[8]) {
            const uint64_t size = ReadLE(a + 16, 4), at = ReadLE(a + 20, 2);
            if (value.resident || !value.runs.empty() || at + size > length)
                return Fail("the resident data of " + RecordName(number) + " runs past its attribute");
            value.resident = true;
            value.bytes.assign(a + at, a + at + size);
            value.dataSize = value.initializedSize = size;
            return true;
        }
        if (ReadLE(a + 12, 2) & 0x4001)
            return Fail("the data of " + RecordName(number) + " is compressed or encrypted");
        if (value.resident || ReadLE(a + 16, 8) != next)
            return Fail("the data of " + RecordName(number) + " continues at cluster " +
                        std::to_string(ReadLE(a + 16, 8)) + " of the file, not at " + std::to_string(next));
        if (next == 0) {
            value.dataSize = ReadLE(a + 48, 8);
            value.initializedSize = std::min(value.dataSize, ReadLE(a + 56, 8));
        }
        if (!DecodeRuns(a, length, number, value.runs)) return false;
        // While the MFT's own runs are being found, each piece found makes
        // the records behind it reachable.
        if (mftData) {
            mft_.runs = value.runs;
            mft_.dataSize = mft_.initializedSize = std::max(value.dataSize, recordBytes_);
        }
        return true;
    }

    // The pieces an attribute list names, each from its own record.
    bool ReadListed(uint64_t number, uint32_t type, const std::u16string &name, const uint8_t *a, uint64_t length,
                    Value &value, bool mftData) {
        const std::string where = "the attribute list of " + RecordName(number);
        Value list;
        if (!Take(a, length, number, list, false)) return false;
        if (list.dataSize > kMaxAttributeList)
            return Fail(where + " claims " + std::to_string(list.dataSize) + " bytes");
        std::vector<uint8_t> entries(list.dataSize);
        if (!ReadBytes(list, where, 0, entries.data(), entries.size())) return false;
        bool any = false;
        for (uint64_t at = 0; at + 26 <= entries.size();) {
            const uint8_t *e = entries.data() + at;
            const uint64_t entryLength = ReadLE(e + 4, 2);
            if (entryLength < 26 || at + entryLength > entries.size()) return Fail(where + " is malformed");
            at += entryLength;
            if (ReadLE(e, 4) != type || !Named(e[6], e + e[7], entryLength, e, name)) continue;
            const uint64_t vcn = ReadLE(e + 8, 8), holder = ReadLE(e + 16, 8) & 0xFFFFFFFFFFFF;
            std::vector<uint8_t> record;
            if (!LoadRecord(holder, record)) return false;
            bool found = false;
            if (!ForEachAttribute(record, holder, [&](const uint8_t *p, uint64_t pl) {
                    if (found || ReadLE(p, 4) != type || !Named(p[9], p + ReadLE(p + 10, 2), pl, p, name) ||
                        (p[8] ? ReadLE(p + 16, 8) : 0) != vcn)
                        return true;
                    found = true;
                    return Take(p, pl, number, value, mftData);
                }))
                return false;
            if (!found)
                return Fail(where + " names a piece at cluster " + std::to_string(vcn) + " in MFT record " +
                            std::to_string(holder) + ", which does not hold it");
            any = true;
        }
        if (!any) return Fail(RecordName(number) + " has no data attribute");
        return Finish(number, value);
    }

    // The runs must follow each other from the file's first cluster on.
    bool Finish(uint64_t number, Value &value) {
        if (value.resident) return true;
        uint64_t vcn = 0;
        for (const Run &r : value.runs) {
            if (r.vcn != vcn)
                return Fail("the data runs of " + RecordName(number) + " leave out cluster " + std::to_string(vcn) +
                            " of the file");
            vcn += r.length;
        }
        if (value.dataSize > vcn * clusterBytes_)
            return Fail(RecordName(number) + " holds " + std::to_string(value.dataSize) + " bytes in " +
                        std::to_string(vcn) + " clusters");
        return true;
    }

    const VolumeSource &source_;
    const uint64_t clusterBytes_, clusters_, recordBytes_;
    Value mft_;
    bool bootstrapping_ = false;
};

// What an NTFS boot sector says of its clusters and MFT records.
struct NtfsGeometry {
    uint64_t clusterBytes = 0, clusters = 0, recordBytes = 0, mftLcn = 0;
};
// Empty, or why the boot sector `b` (one of NTFS's) does not fit the volume.
inline std::string ReadNtfsGeometry(const VolumeSource &source, const uint8_t *b, NtfsGeometry &g) {
    const uint64_t size = source.Size();
    const uint64_t bytesPerSector = ReadLE(b + 11, 2), sectors = ReadLE(b + 40, 8);
    if (bytesPerSector < 256 || bytesPerSector > 4096 || sectors > UINT64_MAX / 4096 ||
        (sectors + 1) * bytesPerSector > size)
        return "the boot sector gives " + std::to_string(sectors) + " sectors of " + std::to_string(bytesPerSector) +
               " bytes and a backup boot sector behind them, the input holds only " + std::to_string(size) +
               " bytes";
    // Up to 128 sectors per cluster directly; beyond, as a power of two.
    const uint64_t perCluster = b[13] <= 0x80 ? b[13] : (b[13] >= 0xF4 ? uint64_t{1} << (256 - b[13]) : 0);
    const uint64_t clusterBytes = perCluster * bytesPerSector;
    const int8_t recordField = static_cast<int8_t>(b[64]);
    const uint64_t recordBytes = recordField > 0 ? recordField * clusterBytes
                                 : recordField < 0 && recordField >= -31 ? uint64_t{1} << -recordField
                                                                         : 0;
    if (!PowerOfTwo(bytesPerSector) || !PowerOfTwo(perCluster) || clusterBytes > (2u << 20))
        return "clusters of " + std::to_string(perCluster) + " sectors";
    if (!PowerOfTwo(recordBytes) || recordBytes < 512 || recordBytes > 4096)
        return "MFT records of " + std::to_string(recordBytes) + " bytes";
    const uint64_t clusters = sectors / perCluster;
    if (clusters == 0) return "no clusters";
    g = {clusterBytes, clusters, recordBytes, ReadLE(b + 48, 8)};
    return {};
}

}  // namespace pelmar_tools
