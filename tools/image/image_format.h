// The image file as the host tools see it: constants of the format and
// little-endian field access. The tools decode the bytes themselves rather
// than overlaying the product's records, so that pelmar-image stays an
// independent reading of the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace pelmar_tools {

constexpr uint32_t kImageMagic = 0x3519AFD0;
constexpr size_t kHeaderSize = 512;
constexpr size_t kEntrySize = 16;

// Header field offsets.
constexpr size_t kMagicAt = 0;
constexpr size_t kSectorSizeAt = 4;
constexpr size_t kEntryCountAt = 8;
constexpr size_t kVolumeSectorsAt = 24;
constexpr size_t kDataOffsetAt = 32;

// Entry types; 0x04XX fills a sector with the byte XX.
constexpr uint16_t kEnd = 0x0000;
constexpr uint16_t kDataAt = 0x0100;
constexpr uint16_t kDataRun = 0x0200;
constexpr uint16_t kRepeatRun = 0x0300;
constexpr uint16_t kFill = 0x0400;

inline bool IsSupportedSectorSize(uint64_t size) {
    return size == 512 || size == 1024 || size == 2048 || size == 4096 || size == 8192;
}

inline uint64_t GetLE(const uint8_t *p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline void PutLE(uint8_t *p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// "0x0100" style.
inline std::string TypeName(uint16_t type) {
    static const char digits[] = "0123456789abcdef";
    std::string s = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) s += digits[(type >> shift) & 0xF];
    return s;
}

// "0.198%" style: the share of the volume's sectors that a restore writes.
inline std::string SharePercent(uint64_t part, uint64_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f%%",
                  whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return text;
}

}  // namespace pelmar_tools
