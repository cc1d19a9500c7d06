// pelmar-mkimage: turns a raw file-system image (for instance one made by
// mkfs.fat or mkntfs) into the image file that the scratch drive is
// restored from.
//
// A FAT12, FAT16, FAT32 or NTFS volume is recognised from its boot sector,
// and by default the image writes only what the file system uses: the
// freshly keyed volume's free clusters are noise that the file system never
// reads before writing them. --all-sectors writes every sector, as does an
// input of any other kind (with a note). The encoding is image_maker.cpp's.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/image/capture.h"
#include "tools/image/image_format.h"
#include "tools/image/image_maker.h"
#include "tools/platform/output_file.h"
#include "tools/platform/volume_source.h"
#include "tools/platform/program.h"
#include "tools/platform/version.h"

namespace pelmar_tools {
namespace {

std::string Usage() {
    return std::string(
               "usage: pelmar-mkimage [--sector-size N] [--all-sectors] [--allow-user-writable-folders]\n"
               "                      [--follow-symlink] INPUT OUTPUT\n"
               "  INPUT   raw file-system image (its size a multiple of the sector size), or a block device;\n"
               "          on Windows also a mounted drive, X: or \\\\.\\X: (its own sector size)\n"
               "  OUTPUT  image file to write; it replaces an ordinary file only when complete\n"
               "  --sector-size N   512 (default), 1024, 2048, 4096 or 8192\n"
               "  --all-sectors     write every sector, not only those a FAT or NTFS file system uses\n"
               "  --allow-user-writable-folders\n"
               "                    capture an NTFS drive even where others than Administrators and SYSTEM\n"
               "                    may redirect a folder (every boot restores it so); refused otherwise\n") +
           kFollowSymlinkUsage + kHelpUsage + "exit status: 0 written, 1 failed (nothing written), 2 bad usage\n";
}

int Fail(const std::string &message) {
    std::fprintf(stderr, "pelmar-mkimage: %s\n", message.c_str());
    return 1;
}

int UsageError(const std::string &message) {
    std::fprintf(stderr, "pelmar-mkimage: %s\n%s", message.c_str(), Usage().c_str());
    return 2;
}

}  // namespace

const char kProgramName[] = "pelmar-mkimage";

int ProgramMain(int argc, char **argv) {
    ImageRequest request;
    bool followSymlink = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (IsHelpWord(arg)) {
            std::fputs(Usage().c_str(), stdout);
            return 0;
        }
        if (arg == "--all-sectors") {
            request.allSectors = true;
        } else if (arg == "--allow-user-writable-folders") {
            request.allowUserWritableFolders = true;
        } else if (arg == "--follow-symlink") {
            followSymlink = true;
        } else if (arg == "--sector-size") {
            if (i + 1 >= argc) return UsageError("--sector-size needs a value");
            std::string value = argv[++i];
            char *end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || *end || errno || !IsSupportedSectorSize(n))
                return Fail("unsupported sector size \"" + value + "\" (512, 1024, 2048, 4096 or 8192)");
            request.sectorSize = static_cast<uint32_t>(n);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option " + arg);
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2) return UsageError("expected an input and an output");
    if (paths[0].empty() || paths[1].empty()) return UsageError("an empty name is neither an input nor an output");
    request.input = paths[0];
    const std::string &output = paths[1];

    // The input first: one that cannot be read makes no temporary file.
    std::string error;
    OutputFile out(output);
    out.NotTheInput(request.input);
    out.FollowSymlink(followSymlink, "--follow-symlink");
    ImageSummary summary;
    if (IsDriveName(request.input)) {
        // Refused before the lock, which would hold the drive while the
        // output could not be written anyway.
        if (!out.Check(error)) return Fail(error);
        if (OnDrive(output, request.input)) {
            return Fail("the output " + output + " lies on " + request.input +
                        ", the drive being captured, which is locked while it is read: write it to another drive");
        }
        std::string note;
        std::unique_ptr<DriveDevice> drive = OpenDrive(request.input, error);
        if (!drive || !CaptureDrive(*drive, request, out, summary, note, error)) return Fail(error);
        if (!note.empty()) std::fprintf(stderr, "pelmar-mkimage: note: %s\n", note.c_str());
    } else {
        std::unique_ptr<VolumeSource> source = OpenVolumeFile(request.input, error);
        if (!source) return Fail(error);
        if (!out.Open(error) || !MakeImage(*source, request, out, summary, error) || !out.Commit(error))
            return Fail(error);
    }
    if (summary.kind == FileSystemKind::Unknown && !request.allSectors)
        std::fprintf(stderr,
                     "pelmar-mkimage: note: %s holds no FAT or NTFS file system it recognises; "
                     "the image writes every sector\n",
                     request.input.c_str());
    std::printf(
        "%s: %s, %llu sectors of %u bytes, %llu entries, %llu data sectors, %llu bytes; "
        "a restore writes %llu sectors (%s)\n",
        output.c_str(), KindName(summary.kind), static_cast<unsigned long long>(summary.volumeSectors),
        request.sectorSize, static_cast<unsigned long long>(summary.entries),
        static_cast<unsigned long long>(summary.dataSectors),
        static_cast<unsigned long long>(summary.imageBytes),
        static_cast<unsigned long long>(summary.sectorsWritten),
        SharePercent(summary.sectorsWritten, summary.volumeSectors).c_str());
    return 0;
}

}  // namespace pelmar_tools
