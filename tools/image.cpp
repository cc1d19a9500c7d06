// pelmar-image: shows what an image file holds and checks it the way the
// restore will meet it; with --expand it writes the raw file system that
// restoring the image onto an empty volume of the image's size yields.
//
// The replay below follows the restore step by step: the entry stream from
// byte S (the sector size) read a sector at a time, the data stream from
// the header's data offset, a running position that starts at S, a sector
// buffer that starts out zero, and a volume that refuses transfers that are
// unaligned or do not fit inside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/image_format.h"
#include "tools/output_file.h"
#include "tools/version.h"

namespace pelmar_tools {
namespace {

const char kUsage[] =
    "usage: pelmar-image [--expand OUTPUT] IMAGE\n"
    "  shows the header and the entries of IMAGE and checks it;\n"
    "  --expand OUTPUT  also writes the raw file system the image restores\n"
    "  --help, --version  this text; the version\n"
    "exit status: 0 consistent, 1 inconsistent or unreadable, 2 bad usage\n";

class ImageReader {
  public:
    explicit ImageReader(int fd) : fd_(fd) {}
    // Exactly `length` bytes at `offset`, or false (end of file, error).
    bool ReadExactly(uint64_t offset, uint8_t *out, size_t length) const {
        size_t got = 0;
        while (got < length) {
            ssize_t n = pread(fd_, out + got, length - got, static_cast<off_t>(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }

  private:
    int fd_;
};

struct Statistics {
    std::map<uint16_t, uint64_t> entriesByType;  // fill entries all under 0x0400
    std::map<uint16_t, uint64_t> sectorsByType;
    std::map<uint8_t, uint64_t> fillsByByte;
    uint64_t entries = 0;
    uint64_t entrySectors = 0;
    uint64_t dataSectors = 0;
    uint64_t sectorsWritten = 0;
    uint64_t rewrites = 0;
};

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
    const ImageReader &image;
    uint32_t sectorSize;
    uint64_t volumeBytes;
    OutputFile *expand;  // null: check only
    SectorSet written;
    Statistics stats;
    std::string problem;  // why the restore would fail
    uint64_t dataPosition = 0;
    uint64_t position = 0;
    std::vector<uint8_t> buffer;

    bool ReadData() {
        if (!image.ReadExactly(dataPosition, buffer.data(), sectorSize)) {
            problem = "the data stream ends at data sector " + std::to_string(stats.dataSectors) + " (byte " +
                      std::to_string(dataPosition) + ")";
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
        if (expand && !expand->WriteAt(offset, buffer.data(), sectorSize, ioError)) return false;
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
                    if (kind == kDataRun && !ReadData()) return false;
                    if (!Write(position, kind, ioError)) return false;
                }
                return true;
            case kDataAt:
                if (value > static_cast<uint64_t>(INT64_MAX)) return Write(value, kind, ioError);
                if (!ReadData()) return false;
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
            if (!image.ReadExactly(at, entries.data(), sectorSize)) {
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

int Inspect(const std::string &path, const std::optional<std::string> &expandPath) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        std::fprintf(stderr, "pelmar-image: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    struct FdCloser {
        int fd;
        ~FdCloser() { close(fd); }
    } closer{fd};
    struct stat st;
    uint64_t fileSize = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    ImageReader image(fd);

    uint8_t header[kHeaderSize];
    if (!image.ReadExactly(0, header, sizeof header)) {
        std::printf("%s: %llu bytes, shorter than the %zu-byte header\nINCONSISTENT: no complete header\n",
                    path.c_str(), static_cast<unsigned long long>(fileSize), kHeaderSize);
        return 1;
    }
    uint32_t magic = static_cast<uint32_t>(GetLE(header + kMagicAt, 4));
    uint64_t sectorSize = GetLE(header + kSectorSizeAt, 2);
    uint64_t entryCount = GetLE(header + kEntryCountAt, 8);
    uint64_t volumeSectors = GetLE(header + kVolumeSectorsAt, 8);
    uint64_t dataOffset = GetLE(header + kDataOffsetAt, 8);
    std::printf("file:            %s (%llu bytes)\n", path.c_str(),
                static_cast<unsigned long long>(fileSize));
    std::printf("magic:           0x%08x%s\n", magic,
                magic == kImageMagic ? "" : " (wrong, expected 0x3519afd0)");
    std::printf("sector size:     %llu\n", static_cast<unsigned long long>(sectorSize));
    std::printf("entry count:     %llu\n", static_cast<unsigned long long>(entryCount));
    std::printf("volume size:     %llu sectors\n", static_cast<unsigned long long>(volumeSectors));
    std::printf("data offset:     %llu\n", static_cast<unsigned long long>(dataOffset));

    std::vector<std::string> problems;
    if (magic != kImageMagic) problems.push_back("wrong magic");
    if (!IsSupportedSectorSize(sectorSize)) problems.push_back("unsupported sector size");
    if (entryCount == 0) problems.push_back("entry count is 0");
    if (IsSupportedSectorSize(sectorSize) && volumeSectors > static_cast<uint64_t>(INT64_MAX) / sectorSize)
        problems.push_back("volume size too large");
    if (dataOffset > static_cast<uint64_t>(INT64_MAX)) problems.push_back("data offset is negative");
    if (!problems.empty()) {
        for (const auto &p : problems) std::printf("INCONSISTENT: %s\n", p.c_str());
        return 1;
    }

    const uint32_t s = static_cast<uint32_t>(sectorSize);
    OutputFile out(expandPath.value_or(""));
    std::string ioError;
    if (expandPath && !out.Open(ioError)) {
        std::fprintf(stderr, "pelmar-image: %s\n", ioError.c_str());
        return 1;
    }
    Replay replay{image, s, volumeSectors * s, expandPath ? &out : nullptr, {}, {}, {}, dataOffset, 0, {}};

    bool ok = replay.Run(ioError);
    if (!ioError.empty()) {
        std::fprintf(stderr, "pelmar-image: %s\n", ioError.c_str());
        return 1;
    }

    const Statistics &st2 = replay.stats;
    std::printf("entries:         %llu in %llu entry sectors%s\n",
                static_cast<unsigned long long>(st2.entries),
                static_cast<unsigned long long>(st2.entrySectors), ok ? ", then the end entry" : "");
    for (const auto &[type, n] : st2.entriesByType) {
        const char *name = type == kDataAt      ? "data at offset"
                           : type == kDataRun   ? "data run"
                           : type == kRepeatRun ? "repeat run"
                           : type == kFill      ? "fill"
                                                : "invalid";
        std::printf(
            "  %s %-15s %llu entries, %llu sectors\n", TypeName(type).c_str(), name,
            static_cast<unsigned long long>(n),
            static_cast<unsigned long long>(st2.sectorsByType.count(type) ? st2.sectorsByType.at(type) : 0));
    }
    for (const auto &[byte, n] : st2.fillsByByte)
        std::printf("  fill byte 0x%02x: %llu entries\n", byte, static_cast<unsigned long long>(n));
    uint64_t unwritten = volumeSectors - replay.written.count();
    std::printf("data sectors:    %llu (%llu bytes from the data offset)\n",
                static_cast<unsigned long long>(st2.dataSectors),
                static_cast<unsigned long long>(st2.dataSectors * s));
    std::printf("sectors written: %llu (%llu written more than once, %llu never written)\n",
                static_cast<unsigned long long>(st2.sectorsWritten),
                static_cast<unsigned long long>(st2.rewrites), static_cast<unsigned long long>(unwritten));
    // What a restore costs at every boot: a sparse image leaves the free
    // clusters of the freshly keyed volume as they are.
    std::printf("restore writes:  %llu of %llu volume sectors (%s)\n",
                static_cast<unsigned long long>(replay.written.count()),
                static_cast<unsigned long long>(volumeSectors),
                SharePercent(replay.written.count(), volumeSectors).c_str());
    if (st2.entries != entryCount)
        std::printf("note: the header counts %llu entries, the stream holds %llu\n",
                    static_cast<unsigned long long>(entryCount),
                    static_cast<unsigned long long>(st2.entries));
    if (!ok) {
        std::printf("INCONSISTENT: %s\n", replay.problem.c_str());
        return 1;
    }
    if (expandPath) {
        if (!out.Resize(volumeSectors * s, ioError) || !out.Commit(ioError)) {
            std::fprintf(stderr, "pelmar-image: %s\n", ioError.c_str());
            return 1;
        }
        std::printf("expanded:        %s (%llu bytes; sectors never written are zero)\n", expandPath->c_str(),
                    static_cast<unsigned long long>(volumeSectors * s));
    }
    std::printf("consistent\n");
    return 0;
}

int Run(int argc, char **argv) {
    std::optional<std::string> expand;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--expand") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pelmar-image: --expand needs a file name\n%s", kUsage);
                return 2;
            }
            expand = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "pelmar-image: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 1) {
        std::fprintf(stderr, "pelmar-image: expected one image file\n%s", kUsage);
        return 2;
    }
    return Inspect(paths[0], expand);
}

}  // namespace
}  // namespace pelmar_tools

int main(int argc, char **argv) {
    if (pelmar_tools::PrintedVersion(argc, argv, "pelmar-image")) return 0;
    return pelmar_tools::Run(argc, argv);
}
