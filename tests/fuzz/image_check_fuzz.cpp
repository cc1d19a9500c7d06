// pelmar-image's replay: whatever an image holds and whatever counts its
// header claims, the replay ends after work bounded by its entries and its
// data, keeps its counts in agreement, and expands only inside the volume.
// For volumes small enough to walk, a plain sector-by-sector replay of the
// restore's rules must reach the same verdict, counts and bytes.
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz_driver.h"
#include "memory_image.h"
#include "tools/image/image_check.h"
#include "tools/image/image_format.h"

namespace {

using namespace pelmar_tools;

// The restore's rules, one sector at a time, on a map of the sectors written.
struct Walk {
    bool consistent = false;
    std::map<uint64_t, std::string> sectors;
    uint64_t writes = 0, dataSectors = 0;
};

Walk WalkImage(const uint8_t *data, size_t size, const ImageHeader &header) {
    Walk walk;
    const uint64_t s = header.sectorSize, volume = header.volumeSectors * s;
    std::string buffer(s, '\0');
    uint64_t position = s, dataAt = header.dataOffset;
    auto read = [&](uint64_t at, std::string &out) {
        if (at > size || s > size - at) return false;
        out.assign(reinterpret_cast<const char *>(data + at), s);
        return true;
    };
    auto write = [&](uint64_t offset) {
        if (offset > static_cast<uint64_t>(INT64_MAX) || offset % s || offset >= volume || s > volume - offset)
            return false;
        walk.sectors[offset / s] = buffer;
        ++walk.writes;
        position = offset + s;
        return true;
    };
    auto next = [&] {
        if (!read(dataAt, buffer)) return false;
        dataAt += s;
        ++walk.dataSectors;
        return true;
    };
    std::string entries;
    for (uint64_t at = s;; at += s) {
        if (!read(at, entries)) return walk;
        for (size_t slot = 0; slot + 16 <= s; slot += 16) {
            const auto *e = reinterpret_cast<const uint8_t *>(entries.data() + slot);
            uint16_t type = static_cast<uint16_t>(GetLE(e, 2));
            uint64_t value = GetLE(e + 8, 8);
            if (type == kEnd) {
                walk.consistent = true;
                return walk;
            }
            bool ok = true;
            if (type == kDataAt) {
                ok = value > static_cast<uint64_t>(INT64_MAX) ? write(value) : next() && write(value);
            } else if (type == kDataRun || type == kRepeatRun) {
                for (uint64_t left = value; ok && left; --left)
                    ok = (type == kRepeatRun || next()) && write(position);
            } else if ((type & 0xFF00) == kFill) {
                if (value <= static_cast<uint64_t>(INT64_MAX)) buffer.assign(s, static_cast<char>(type & 0xFF));
                ok = write(value);
            } else {
                ok = false;
            }
            if (!ok) return walk;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 64 * 1024) return 0;
    MemoryImage image(data, size);
    ImageHeader header;
    std::string why;
    const bool headerRead = ReadImageHeader(image, header, why);
    const bool usable = headerRead && HeaderProblems(header).empty();
    if (ImageIsConsistent(image, why) && !usable) std::abort();
    if (!usable) return 0;

    // Expanded into memory when the volume is small; otherwise only checked
    // to lie inside it.
    const uint64_t s = header.sectorSize, volume = header.volumeSectors * s;
    const bool small = volume <= (1u << 20);
    std::string expanded(small ? volume : 0, '\0');
    ReplayResult replay = ReplayImage(image, header, [&](uint64_t offset, const uint8_t *bytes, size_t length,
                                                        std::string &) {
        if (offset % s || length % s || !length || offset > volume || length > volume - offset) std::abort();
        if (small) std::memcpy(&expanded[offset], bytes, length);
        return true;
    });
    const ImageStatistics &st = replay.stats;
    if (!replay.ioError.empty() || replay.consistent == !replay.problem.empty()) std::abort();
    if (ImageIsConsistent(image, why) != replay.consistent || why != replay.problem) std::abort();
    uint64_t bySector = 0, byEntry = 0, ranges = 0, last = 0;
    for (const auto &[type, n] : st.sectorsByType) bySector += n;
    for (const auto &[type, n] : st.entriesByType) byEntry += n;
    for (const ByteRange &r : replay.written) {
        if (r.start >= r.end || r.start < last || r.end > header.volumeSectors) std::abort();
        ranges += r.end - r.start;
        last = r.end + 1;  // ranges that touch are joined
    }
    if (bySector != st.sectorsWritten || byEntry != st.entries || ranges != st.distinctSectors ||
        st.distinctSectors + st.rewrites != st.sectorsWritten || st.distinctSectors > header.volumeSectors ||
        st.dataSectors > size / s)
        std::abort();

    if (!small) return 0;
    Walk walk = WalkImage(data, size, header);
    if (walk.consistent != replay.consistent || walk.writes != st.sectorsWritten ||
        walk.sectors.size() != st.distinctSectors || walk.dataSectors != st.dataSectors) {
        fprintf(stderr, "image check fuzz: the replay differs from the walk (%s)\n", replay.problem.c_str());
        std::abort();
    }
    if (!replay.consistent) return 0;
    for (const auto &[index, bytes] : walk.sectors)
        if (expanded.compare(index * s, s, bytes) != 0) std::abort();
    // Sectors never written stay zero in the expansion.
    size_t zeroSectors = 0;
    for (uint64_t i = 0; i < header.volumeSectors; ++i)
        if (!walk.sectors.count(i) && expanded.find_first_not_of('\0', i * s) < (i + 1) * s) std::abort();
        else zeroSectors += !walk.sectors.count(i);
    if (zeroSectors != header.volumeSectors - st.distinctSectors) std::abort();
    return 0;
}
