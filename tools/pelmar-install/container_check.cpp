// Whether a file looks like a container (see container_check.h).
//
// Two tests, both of which a random file passes but for a negligible chance:
//
// - Signatures: no file format's mark stands where that format puts it
//   (archives, compressed streams, Office and OLE files, PDF, SQLite, disk
//   images, the FAT, exFAT and NTFS boot sectors, ISO 9660, tar, PNG, ELF).
//   Each mark fixes at least 31 bits (gzip's, with its flags' reserved bits
//   zero and a known system byte; the others 32 or more), so a random file
//   meets one of them with a probability below 2 x 10^-9.
//
// - Byte counts: every sample sector is all zeros or random. A sector that
//   is not all zeros, alone, and all such sectors pooled, must hold each of
//   the 256 byte values about N/256 times (N the bytes counted): no count may
//   lie more than t from N/256, where t solves Bernstein's inequality
//     256 x 2 x exp(-t^2 / (2 (N p (1 - p) + t / 3))) = 2^-50,  p = 1/256,
//   so that a random file fails one test with a probability of at most 2^-50
//   (for one sector, a byte value 35 times or more; for the 640 sectors of
//   a full sample pooled, a count off by more than 337 from 1280). A sample
//   makes at most 641 tests: a random container is refused with a
//   probability below 10^-12. Text, tables, executable code and a file
//   system's structures all have a few byte values far above the rest and
//   fail in the first sector that holds them; a file of one random header
//   and plain text behind it fails in its second.
#include "tools/pelmar-install/container_check.h"

#include <array>
#include <cmath>
#include <cstring>

namespace pelmar_tools {
namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t kStartBytes = 64 * 1024;
constexpr uint64_t kRuns = 64, kRunSectors = 8;

bool At(const std::vector<uint8_t> &b, size_t at, const char *mark, size_t length) {
    return b.size() >= at + length && std::memcmp(b.data() + at, mark, length) == 0;
}

// The file format whose mark the sample's start bears, or null.
const char *Signature(const std::vector<uint8_t> &b) {
    static const struct {
        const char *what;
        size_t at;
        const char *mark;
        size_t length;
    } marks[] = {
        {"a ZIP archive (or a file built on one, such as an Office document)", 0, "PK\3\4", 4},
        {"an empty ZIP archive", 0, "PK\5\6", 4},
        {"a spanned ZIP archive", 0, "PK\7\x08", 4},
        {"a 7z archive", 0, "7z\xBC\xAF\x27\x1C", 6},
        {"a RAR archive", 0, "Rar!\x1A\x07", 6},
        {"an xz stream", 0, "\xFD\x37zXZ\0", 6},
        {"an OLE compound file (an Office 97-2003 document, an MSI package)", 0,
         "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8},
        {"a PDF document", 0, "%PDF-", 5},
        {"an SQLite database", 0, "SQLite format 3\0", 16},
        {"a VHD disk image", 0, "conectix", 8},
        {"a VHDX disk image", 0, "vhdxfile", 8},
        {"a VMDK disk image", 0, "KDMV", 4},
        {"a QCOW disk image", 0, "QFI\xFB", 4},
        {"a LUKS volume", 0, "LUKS\xBA\xBE", 6},
        {"an NTFS file system", 3, "NTFS    ", 8},
        {"an exFAT file system", 3, "EXFAT   ", 8},
        {"a CD or DVD image (ISO 9660)", 0x8001, "CD001", 5},
        {"a tar archive", 257, "ustar", 5},
        {"a PNG picture", 0, "\x89PNG\r\n\x1A\n", 8},
        {"a program or library (ELF)", 0, "\x7F\x45LF", 4},
    };
    for (const auto &m : marks) {
        if (At(b, m.at, m.mark, m.length)) return m.what;
    }
    // gzip: its mark, deflate, the flags' reserved bits clear, a known system.
    if (b.size() >= 10 && b[0] == 0x1F && b[1] == 0x8B && b[2] == 8 && (b[3] & 0xE0) == 0 &&
        (b[9] <= 13 || b[9] == 255)) {
        return "a gzip stream";
    }
    // bzip2: "BZh", the block size, then a block's or the end's mark.
    if (b.size() >= 10 && At(b, 0, "BZh", 3) && b[3] >= '1' && b[3] <= '9' &&
        (At(b, 4, "1AY&SY", 6) || At(b, 4, "\x17rE8P\x90", 6))) {
        return "a bzip2 stream";
    }
    // A FAT boot sector: a jump, a sector size, the boot signature.
    if (b.size() >= 512 && ((b[0] == 0xEB && b[2] == 0x90) || b[0] == 0xE9) && b[510] == 0x55 &&
        b[511] == 0xAA) {
        const unsigned bytesPerSector = b[11] | b[12] << 8;
        if (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 ||
            bytesPerSector == 4096)
            return "a FAT file system";
    }
    return nullptr;
}

// The largest distance from n/256 that a random count of n bytes reaches
// with the probability the file's comment gives.
double Allowed(uint64_t n) {
    const double bound = std::log(512.0) + 50 * std::log(2.0), p = 1.0 / 256;
    const double variance = static_cast<double>(n) * p * (1 - p), a = 2 * bound / 3;
    return (a + std::sqrt(a * a + 8 * bound * variance)) / 2;
}

using Counts = std::array<uint64_t, 256>;

// The byte value whose count is furthest from random, or -1 when none is
// too far.
int Unlikely(const Counts &counts, uint64_t n) {
    const double expected = static_cast<double>(n) / 256, allowed = Allowed(n);
    for (int v = 0; v < 256; ++v) {
        if (std::fabs(static_cast<double>(counts[static_cast<size_t>(v)]) - expected) > allowed) return v;
    }
    return -1;
}

std::string Hex(unsigned v) {
    const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[v >> 4] + digits[v & 15];
}

const char kSomeonesFile[] =
    ": it is someone's file, which the boot would destroy. Give a container made for Pelmar "
    "(pelmar-prepare's, the driver's volume tools', or a new file: fsutil file createnew), or "
    "--container-is-mine (before the arguments) if this file may go";

}  // namespace

std::vector<FileRange> ContainerSampleRanges(uint64_t size) {
    const uint64_t whole = size / kSector * kSector;
    std::vector<FileRange> ranges;
    if (whole == 0) return ranges;
    const uint64_t start = whole < kStartBytes ? whole : kStartBytes;
    ranges.push_back({0, start});
    const uint64_t rest = (whole - start) / kSector;  // sectors
    if (rest == 0) return ranges;
    if (rest <= kRuns * kRunSectors) {
        ranges.push_back({start, rest * kSector});
        return ranges;
    }
    // Runs apart by at least their length, the last at the file's last
    // whole sector.
    for (uint64_t i = 0; i < kRuns; ++i) {
        const uint64_t at = (rest - kRunSectors) * i / (kRuns - 1);
        ranges.push_back({start + at * kSector, kRunSectors * kSector});
    }
    return ranges;
}

namespace {

// Why the sample is no container's, without what to do about it.
std::string NotAContainer(uint64_t size, const std::vector<uint8_t> &sample) {
    if (const char *what = Signature(sample)) return std::string("the container starts as ") + what;
    Counts pooled{};
    uint64_t pooledBytes = 0, pooledSectors = 0, taken = 0;
    for (const FileRange &range : ContainerSampleRanges(size)) {
        for (uint64_t at = 0; at + kSector <= range.second && taken + kSector <= sample.size();
             at += kSector) {
            const uint8_t *sector = sample.data() + taken;
            taken += kSector;
            Counts counts{};
            for (size_t i = 0; i < kSector; ++i) ++counts[sector[i]];
            if (counts[0] == kSector) continue;
            const int odd = Unlikely(counts, kSector);
            if (odd >= 0) {
                return "the container's sector at byte " + std::to_string(range.first + at) +
                       " is neither all zeros nor random (byte " + Hex(static_cast<unsigned>(odd)) + " " +
                       std::to_string(counts[static_cast<size_t>(odd)]) +
                       " times in 512 bytes, where random data has it about twice)";
            }
            for (size_t v = 0; v < 256; ++v) pooled[v] += counts[v];
            pooledBytes += kSector;
            ++pooledSectors;
        }
    }
    const int odd = Unlikely(pooled, pooledBytes);
    if (odd >= 0) {
        return "the container's " + std::to_string(pooledSectors) +
               " sectors that are not all zeros, read at its start and spread over it, are not "
               "random together (byte " +
               Hex(static_cast<unsigned>(odd)) + " " + std::to_string(pooled[static_cast<size_t>(odd)]) +
               " times, where random data has it about " + std::to_string(pooledBytes / 256) + " times)";
    }
    return {};
}

}  // namespace

std::string ContainerContentProblem(uint64_t size, const std::vector<uint8_t> &sample) {
    const std::string why = NotAContainer(size, sample);
    return why.empty() ? why : why + kSomeonesFile;
}

std::string ContainerSizeProblem(uint64_t containerSize, uint64_t imageVolumeSectors) {
    // The driver presents the container less its 512-byte header, in whole
    // sectors (a partial last sector is not part of the volume).
    const uint64_t presented = containerSize > kSector ? (containerSize - kSector) / kSector : 0;
    if (presented == imageVolumeSectors && presented > 0) return {};
    auto size = [](uint64_t bytes) {
        const uint64_t MiB = 1024 * 1024;
        return bytes % MiB == 0    ? std::to_string(bytes / MiB) + "M"
               : bytes % 1024 == 0 ? std::to_string(bytes / 1024) + "K"
                                   : std::to_string(bytes);
    };
    const uint64_t imageBytes = imageVolumeSectors * kSector;
    return "the container has " + std::to_string(containerSize) +
           " bytes, so the driver presents a volume of " + std::to_string(presented) +
           " sectors of 512 bytes (the container less its 512-byte header), but " +
           "the image is for a volume of " + std::to_string(imageVolumeSectors) + " sectors (" +
           std::to_string(imageBytes) +
           " bytes): every boot would end with \"Disk size is different to disk " +
           "image!\" and no drive. Make a matching pair: on Linux, pelmar-prepare --size " +
           size(imageBytes) +
           " --fs FS OUTDIR makes a container and an image of that size; on this machine, mount this " +
           "container with the driver's tools and capture its image (pelmar-mkimage X: IMAGE), or make a " +
           "container for this image: fsutil file createnew CONTAINER " +
           std::to_string(kSector + imageBytes);
}

std::string ContainerIsMineLine(uint64_t size, const std::vector<uint8_t> &sample) {
    std::string why = NotAContainer(size, sample);
    why = why.empty() ? "it looks like one already" : "it does not look like one (" + why + ")";
    return "--container-is-mine: the container is taken as Pelmar's although " + why +
           ". At the next start Pelmar writes a new volume header over its first 512 bytes, and from then "
           "on the drive writes its sectors, encrypted, over the rest: the file as it is now is lost, its "
           "start at the first boot and the rest as the drive is used";
}

}  // namespace pelmar_tools
