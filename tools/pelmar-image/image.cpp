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

// A failure to read or write, on standard error; the exit status.
int Failed(const std::string &error) {
    std::fprintf(stderr, "pelmar-image: %s\n", error.c_str());
    return 1;
}

void PrintHeader(const std::string &path, uint64_t fileSize, const ImageHeader &header) {
    std::printf("file:            %s (%llu bytes)\n", path.c_str(), static_cast<unsigned long long>(fileSize));
    std::printf("magic:           0x%08x%s\n", header.magic,
                header.magic == kImageMagic ? "" : " (wrong, expected 0x3519afd0)");
    std::printf("sector size:     %llu\n", static_cast<unsigned long long>(header.sectorSize));
    std::printf("entry count:     %llu\n", static_cast<unsigned long long>(header.entryCount));
    std::printf("volume size:     %llu sectors\n", static_cast<unsigned long long>(header.volumeSectors));
    std::printf("data offset:     %llu\n", static_cast<unsigned long long>(header.dataOffset));
}

// What the replay met: the entries by type, the fills, the sectors written.
void PrintReplay(const ReplayResult &replay, const ImageHeader &header) {
    const ImageStatistics &st2 = replay.stats;
    const uint64_t volumeSectors = header.volumeSectors;
    std::printf("entries:         %llu in %llu entry sectors%s\n", static_cast<unsigned long long>(st2.entries),
                static_cast<unsigned long long>(st2.entrySectors), replay.consistent ? ", then the end entry" : "");
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
                static_cast<unsigned long long>(st2.dataSectors * header.sectorSize));
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
    if (st2.entries != header.entryCount)
        std::printf("note: the header counts %llu entries, the stream holds %llu\n",
                    static_cast<unsigned long long>(header.entryCount),
                    static_cast<unsigned long long>(st2.entries));
}

int Inspect(const std::string &path, const std::optional<std::string> &expandPath, bool followSymlink) {
    std::string error;
    std::unique_ptr<VolumeSource> image = OpenVolumeFile(path, error);
    if (!image) return Failed(error);
    // An output that may not be replaced is refused before anything else.
    OutputFile out(expandPath.value_or(""));
    out.NotTheInput(path);
    out.NotTheInput(path);
    out.FollowSymlink(followSymlink, "--follow-symlink");
    if (expandPath && !out.Check(error)) return Failed(error);

    ImageHeader header;
    if (!ReadImageHeader(*image, header, error)) {
        if (error.find("cannot read") == 0) return Failed(error);
        std::printf("%s: %s\nINCONSISTENT: no complete header\n", path.c_str(), error.c_str());
        return 1;
    }
    PrintHeader(path, image->Size(), header);
    std::vector<std::string> problems = HeaderProblems(header);
    if (!problems.empty()) {
        for (const auto &p : problems) std::printf("INCONSISTENT: %s\n", p.c_str());
        return 1;
    }

    std::string ioError;
    if (expandPath && !out.Open(ioError)) return Failed(ioError);
    ExpandSink sink;
    if (expandPath)
        sink = [&out](uint64_t offset, const uint8_t *bytes, size_t length, std::string &writeError) {
            return out.WriteAt(offset, bytes, length, writeError);
        };
    ReplayResult replay = ReplayImage(*image, header, sink);
    if (!replay.ioError.empty()) return Failed(replay.ioError);
    PrintReplay(replay, header);
    if (!replay.consistent) {
        std::printf("INCONSISTENT: %s\n", replay.problem.c_str());
        return 1;
    }
    if (expandPath) {
        const uint64_t bytes = header.volumeSectors * header.sectorSize;
        if (!out.Resize(bytes, ioError) || !out.Commit(ioError)) return Failed(ioError);
        std::printf("expanded:        %s (%llu bytes; sectors never written are zero)\n", expandPath->c_str(),
                    static_cast<unsigned long long>(bytes));
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
