// pelmar-mkimage: turns a raw file-system image (for instance one made by
// mkfs.fat) into the image file that the scratch drive is restored from.
//
// Every sector of the volume is written by the image, in order, because the
// freshly keyed volume holds noise: a sector that is all one byte value
// becomes a fill entry, a sector equal to the one just written extends a
// repeat run, and any other sector is stored in the data stream, the first
// of a row by an entry at its offset and the rest by a data run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/image_format.h"
#include "tools/output_file.h"

namespace pelmar_tools {
namespace {

struct Entry {
    uint16_t type;
    uint64_t value;
};

const char kUsage[] =
    "usage: pelmar-mkimage [--sector-size N] INPUT OUTPUT\n"
    "  INPUT   raw file-system image (its size a multiple of the sector size)\n"
    "  OUTPUT  image file to write\n"
    "  --sector-size N  512 (default), 1024, 2048, 4096 or 8192\n";

int Fail(const std::string &message) {
    std::fprintf(stderr, "pelmar-mkimage: %s\n", message.c_str());
    return 1;
}

bool ReadSector(int fd, uint64_t index, uint32_t size, uint8_t *out, std::string &error) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = pread(fd, out + got, size - got, static_cast<off_t>(index * size + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? std::strerror(errno) : "the input changed while it was read";
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

// The byte value when every byte of the sector has it.
bool UniformByte(const std::vector<uint8_t> &sector, uint8_t &value) {
    value = sector[0];
    for (uint8_t b : sector)
        if (b != value) return false;
    return true;
}

int Run(int argc, char **argv) {
    uint32_t sectorSize = 512;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (arg == "--sector-size") {
            if (i + 1 >= argc) return Fail("--sector-size needs a value\n" + std::string(kUsage));
            std::string value = argv[++i];
            char *end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(value.c_str(), &end, 10);
            if (value.empty() || *end || errno || !IsSupportedSectorSize(n))
                return Fail("unsupported sector size \"" + value + "\" (512, 1024, 2048, 4096 or 8192)");
            sectorSize = static_cast<uint32_t>(n);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Fail("unknown option " + arg + "\n" + kUsage);
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.size() != 2) return Fail(std::string("expected an input and an output\n") + kUsage);
    const std::string &input = paths[0], &output = paths[1];

    int fd = open(input.c_str(), O_RDONLY);
    if (fd < 0) return Fail("cannot open " + input + ": " + std::strerror(errno));
    struct FdCloser {
        int fd;
        ~FdCloser() { close(fd); }
    } closer{fd};
    struct stat st;
    if (fstat(fd, &st) != 0) return Fail("cannot examine " + input + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return Fail(input + " is not a file");
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size == 0) return Fail(input + " is empty");
    if (size % sectorSize)
        return Fail(input + ": size " + std::to_string(size) + " is not a multiple of the sector size " +
                    std::to_string(sectorSize));
    const uint64_t sectors = size / sectorSize;

    // First pass: the entries, and which sectors go to the data stream.
    std::vector<Entry> entries;
    std::vector<uint64_t> dataSectors;
    std::vector<uint8_t> sector(sectorSize), last(sectorSize);
    std::string error;
    bool haveLast = false;
    for (uint64_t i = 0; i < sectors; ++i) {
        if (!ReadSector(fd, i, sectorSize, sector.data(), error))
            return Fail("cannot read " + input + ": " + error);
        uint64_t offset = i * sectorSize;
        uint8_t fill;
        // The running position is always just behind the previous sector,
        // since the sectors are written in order; the first sector is given
        // its offset explicitly (the running position starts one sector in).
        if (haveLast && sector == last) {
            if (entries.back().type == kRepeatRun)
                ++entries.back().value;
            else
                entries.push_back({kRepeatRun, 1});
        } else if (UniformByte(sector, fill)) {
            entries.push_back({static_cast<uint16_t>(kFill | fill), offset});
        } else {
            dataSectors.push_back(i);
            if (!entries.empty() && entries.back().type == kDataRun)
                ++entries.back().value;
            else if (!entries.empty() && entries.back().type == kDataAt)
                entries.push_back({kDataRun, 1});
            else
                entries.push_back({kDataAt, offset});
        }
        last.swap(sector);
        haveLast = true;
    }

    // Layout: header in the first sector, entries (with the end entry) from
    // the second sector on, padded to whole sectors because the restore
    // reads the entry stream a sector at a time, then the data sectors.
    const uint64_t entryBytes = (entries.size() + 1) * kEntrySize;
    const uint64_t entrySectors = (entryBytes + sectorSize - 1) / sectorSize;
    const uint64_t dataOffset = sectorSize + entrySectors * sectorSize;

    std::vector<uint8_t> head(sectorSize + entrySectors * sectorSize, 0);
    PutLE(&head[kMagicAt], kImageMagic, 4);
    PutLE(&head[kSectorSizeAt], sectorSize, 2);
    PutLE(&head[kEntryCountAt], entries.size(), 8);
    PutLE(&head[kVolumeSectorsAt], sectors, 8);
    PutLE(&head[kDataOffsetAt], dataOffset, 8);
    for (size_t k = 0; k < entries.size(); ++k) {
        uint8_t *slot = &head[sectorSize + k * kEntrySize];
        PutLE(slot, entries[k].type, 2);
        PutLE(slot + 8, entries[k].value, 8);
    }

    OutputFile out(output);
    if (!out.Open(error) || !out.WriteAt(0, head.data(), head.size(), error)) return Fail(error);
    for (size_t k = 0; k < dataSectors.size(); ++k) {
        if (!ReadSector(fd, dataSectors[k], sectorSize, sector.data(), error))
            return Fail("cannot read " + input + ": " + error);
        if (!out.WriteAt(dataOffset + k * sectorSize, sector.data(), sectorSize, error)) return Fail(error);
    }
    if (!out.Commit(error)) return Fail(error);

    std::printf("%s: %llu sectors of %u bytes, %zu entries, %zu data sectors, %llu bytes\n", output.c_str(),
                static_cast<unsigned long long>(sectors), sectorSize, entries.size(), dataSectors.size(),
                static_cast<unsigned long long>(dataOffset + dataSectors.size() * sectorSize));
    return 0;
}

}  // namespace
}  // namespace pelmar_tools

int main(int argc, char **argv) {
    return pelmar_tools::Run(argc, argv);
}
