// pelmar-image: shows what an image file holds and checks it the way the
// restore will meet it; with --expand it writes the raw file system that
// restoring the image onto an empty volume of the image's size yields. The
// replay itself is image_check.cpp's.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/image/image_check.h"
#include "tools/image/image_format.h"
#include "tools/platform/output_file.h"
#include "tools/platform/volume_source.h"
#include "tools/platform/program.h"
#include "tools/platform/version.h"

namespace pelmar_tools {
namespace {

std::string Usage() {
    return std::string(
               "usage: pelmar-image [--expand OUTPUT [--follow-symlink]] IMAGE\n"
               "  shows the header and the entries of IMAGE and checks it;\n"
               "  --expand OUTPUT   also writes the raw file system the image restores; it replaces\n"
               "                    an ordinary file only when complete and the image consistent\n") +
           kFollowSymlinkUsage + kHelpUsage + "exit status: 0 consistent, 1 inconsistent or unreadable, 2 bad usage\n";
}

int Inspect(const std::string &path, const std::optional<std::string> &expandPath, bool followSymlink) {
    std::string error;
    std::unique_ptr<VolumeSource> image = OpenVolumeFile(path, error);
    if (!image) {
        std::fprintf(stderr, "pelmar-image: %s\n", error.c_str());
        return 1;
    }
    uint64_t fileSize = image->Size();
    // An output that may not be replaced is refused before anything else.
    OutputFile out(expandPath.value_or(""));
    out.NotTheInput(path);
    out.FollowSymlink(followSymlink, "--follow-symlink");
    if (expandPath && !out.Check(error)) {
        std::fprintf(stderr, "pelmar-image: %s\n", error.c_str());
        return 1;
    }

    ImageHeader header;
    if (!ReadImageHeader(*image, header, error)) {
        if (error.find("cannot read") == 0) {
            std::fprintf(stderr, "pelmar-image: %s\n", error.c_str());
            return 1;
        }
        std::printf("%s: %s\nINCONSISTENT: no complete header\n", path.c_str(), error.c_str());
        return 1;
    }
    uint32_t magic = header.magic;
    uint64_t sectorSize = header.sectorSize;
    uint64_t entryCount = header.entryCount;
    uint64_t volumeSectors = header.volumeSectors;
    uint64_t dataOffset = header.dataOffset;
    std::printf("file:            %s (%llu bytes)\n", path.c_str(),
                static_cast<unsigned long long>(fileSize));
    std::printf("magic:           0x%08x%s\n", magic,
                magic == kImageMagic ? "" : " (wrong, expected 0x3519afd0)");
    std::printf("sector size:     %llu\n", static_cast<unsigned long long>(sectorSize));
    std::printf("entry count:     %llu\n", static_cast<unsigned long long>(entryCount));
    std::printf("volume size:     %llu sectors\n", static_cast<unsigned long long>(volumeSectors));
    std::printf("data offset:     %llu\n", static_cast<unsigned long long>(dataOffset));

    std::vector<std::string> problems = HeaderProblems(header);
    if (!problems.empty()) {
        for (const auto &p : problems) std::printf("INCONSISTENT: %s\n", p.c_str());
        return 1;
    }

    const uint32_t s = static_cast<uint32_t>(sectorSize);
    std::string ioError;
    if (expandPath && !out.Open(ioError)) {
        std::fprintf(stderr, "pelmar-image: %s\n", ioError.c_str());
        return 1;
    }
    ExpandSink sink;
    if (expandPath)
        sink = [&out](uint64_t offset, const uint8_t *bytes, size_t length, std::string &writeError) {
            return out.WriteAt(offset, bytes, length, writeError);
        };
    ReplayResult replay = ReplayImage(*image, header, sink);
    bool ok = replay.consistent;
    if (!replay.ioError.empty()) {
        std::fprintf(stderr, "pelmar-image: %s\n", replay.ioError.c_str());
        return 1;
    }

    const ImageStatistics &st2 = replay.stats;
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
    uint64_t unwritten = volumeSectors - st2.distinctSectors;
    std::printf("data sectors:    %llu (%llu bytes from the data offset)\n",
                static_cast<unsigned long long>(st2.dataSectors),
                static_cast<unsigned long long>(st2.dataSectors * s));
    std::printf("sectors written: %llu (%llu written more than once, %llu never written)\n",
                static_cast<unsigned long long>(st2.sectorsWritten),
                static_cast<unsigned long long>(st2.rewrites), static_cast<unsigned long long>(unwritten));
    // Legal for the restore (the last write stands), but an encoder never
    // needs it: worth a look when the image was not made by pelmar-mkimage.
    if (st2.rewrites)
        std::printf("note: %llu sector writes replace sectors the image wrote before; the last write stands\n",
                    static_cast<unsigned long long>(st2.rewrites));
    // What a restore costs at every boot: a sparse image leaves the free
    // clusters of the freshly keyed volume as they are.
    std::printf("restore writes:  %llu of %llu volume sectors (%s)\n",
                static_cast<unsigned long long>(st2.distinctSectors),
                static_cast<unsigned long long>(volumeSectors),
                SharePercent(st2.distinctSectors, volumeSectors).c_str());
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

}  // namespace

const char kProgramName[] = "pelmar-image";

int ProgramMain(int argc, char **argv) {
    std::optional<std::string> expand;
    bool followSymlink = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (IsHelpWord(arg)) {
            std::fputs(Usage().c_str(), stdout);
            return 0;
        }
        if (arg == "--expand") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pelmar-image: --expand needs a file name\n%s", Usage().c_str());
                return 2;
            }
            expand = argv[++i];
            if (expand->empty()) {
                std::fprintf(stderr, "pelmar-image: --expand needs a file name, not an empty one\n%s", Usage().c_str());
                return 2;
            }
        } else if (arg == "--follow-symlink") {
            followSymlink = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "pelmar-image: unknown option %s\n%s", arg.c_str(), Usage().c_str());
            return 2;
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 1) {
        std::fprintf(stderr, "pelmar-image: expected one image file\n%s", Usage().c_str());
        return 2;
    }
    return Inspect(paths[0], expand, followSymlink);
}

}  // namespace pelmar_tools
