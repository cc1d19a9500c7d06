// The image reader: whatever an image file holds, the restore must stay
// inside its buffers and inside the volume, end, close every handle it
// opened and answer 0 or 1; a failed restore says why on the boot screen.
// The drive's sector size and sector count follow the image's header (so
// that mutations of those fields reach the entries) unless the input's last
// byte asks for a drive that differs. pelmar-image's replay must reach the
// same verdict, and on success the drive must hold exactly what the
// replay's expansion wrote over it.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "app/restore.h"
#include "fuzz_driver.h"
#include "lib-na/na.h"
#include "memory_image.h"
#include "ntsim/ntsim.h"
#include "tools/image/image_check.h"
#include "tools/image/image_format.h"

namespace {

// Room for the smallest FAT file system mkfs.fat makes (64 KiB), so that
// real images restore whole; drives up to 256 KiB when the header asks.
constexpr size_t kDefaultSectors = 128;
constexpr uint64_t kLargestDrive = 256 * 1024;

struct Free {
    void operator()(APP_CONTEXT *p) const { std::free(p); }
};

// One machine folder for the whole fuzzing process: drive C: holds the
// image, T: is a small raw disk.
struct Bench {
    std::filesystem::path root;
    std::filesystem::path disk;
    std::unique_ptr<APP_CONTEXT, Free> context;

    Bench() {
        // In memory where the system offers it: a drive is rewritten at every run.
        std::filesystem::path temp = std::filesystem::temp_directory_path();
        if (!std::getenv("TMPDIR") && access("/dev/shm", W_OK) == 0) temp = "/dev/shm";
        std::string pattern = (temp / "pelmar-image-fuzz-XXXXXX").string();
        root = mkdtemp(pattern.data());
        std::filesystem::create_directories(root / "c");
        disk = root / "t.disk";
        size_t size = (AppContextRequestSize() + APP_CONTEXT_ALIGNMENT - 1) / APP_CONTEXT_ALIGNMENT * APP_CONTEXT_ALIGNMENT;
        context.reset(static_cast<APP_CONTEXT *>(std::aligned_alloc(APP_CONTEXT_ALIGNMENT, size)));
    }
    ~Bench() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

Bench &TheBench() {
    static Bench bench;
    return bench;
}

std::string ReadFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 64 * 1024) return 0;
    Bench &bench = TheBench();
    std::ofstream(bench.root / "c" / "pelmar.img", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));

    // The drive's geometry: the header's when it fits the bench.
    MemoryImage image(data, size);
    pelmar_tools::ImageHeader header;
    std::string why;
    const bool headerRead = pelmar_tools::ReadImageHeader(image, header, why);
    uint32_t sectorSize = 512;
    uint64_t sectors = kDefaultSectors;
    if (headerRead && pelmar_tools::IsSupportedSectorSize(header.sectorSize) && header.volumeSectors &&
        header.volumeSectors <= kLargestDrive / header.sectorSize) {
        sectorSize = static_cast<uint32_t>(header.sectorSize);
        sectors = header.volumeSectors;
    }
    const uint8_t variant = size ? data[size - 1] : 0;
    if (variant % 16 == 1) sectors += 1;                                    // one sector more
    if (variant % 16 == 2 && sectors > 1) sectors -= 1;                     // one sector less
    if (variant % 16 == 3) sectorSize = sectorSize == 512 ? 4096 : 512;     // another sector size
    std::string initial(sectors * sectorSize, '\0');
    for (size_t i = 0; i < initial.size(); ++i) initial[i] = static_cast<char>(0xA5 ^ (i / sectorSize));
    std::ofstream(bench.disk, std::ios::binary | std::ios::trunc) << initial;

    ntsim::Options options;
    options.echoOutputs = false;
    options.timeScale = 0;
    options.root = bench.root;
    options.rootGiven = true;
    options.disks['T'] = bench.disk;
    if (sectorSize != 512) options.sectorSizes['T'] = sectorSize;
    ntsim::Machine::Get().Reset(options);
    NaGlobals = NA_GLOBALS{};
    if (!NaInit(nullptr, 0, 16)) std::abort();

    APP_CONTEXT *context = bench.context.get();
    std::memset(context, 0, sizeof(APP_CONTEXT));
    context->ImagePath = u"c:\\pelmar.img";
    context->DriveLetter = u'T';
    int32_t result = RestoreFileSystem(context);
    if (result != 0 && result != 1) std::abort();
    if (ntsim::Machine::Get().OpenHandleCount() != 0) {
        fprintf(stderr, "image fuzz: %zu handles left open\n", ntsim::Machine::Get().OpenHandleCount());
        std::abort();
    }
    const std::string restored = ReadFile(bench.disk);
    // The drive neither grew nor shrank: every write landed inside it.
    if (restored.size() != initial.size()) std::abort();

    // pelmar-image's replay: its expansion (of an empty volume) where it
    // says the restore writes, the drive as it was elsewhere.
    std::string expanded(initial.size(), '\0');
    bool consistent = headerRead && pelmar_tools::HeaderProblems(header).empty();
    const bool geometryFits = headerRead && header.sectorSize == sectorSize && header.volumeSectors == sectors;
    pelmar_tools::ReplayResult replay;
    if (consistent) {
        pelmar_tools::ExpandSink sink;
        if (geometryFits)
            sink = [&](uint64_t offset, const uint8_t *bytes, size_t length, std::string &) {
                if (offset > expanded.size() || length > expanded.size() - offset) std::abort();
                std::memcpy(&expanded[offset], bytes, length);
                return true;
            };
        replay = pelmar_tools::ReplayImage(image, header, sink);
        consistent = replay.consistent;
        uint64_t written = 0;
        for (const pelmar_tools::ByteRange &r : replay.written) {
            if (r.start >= r.end || r.end > header.volumeSectors) std::abort();
            written += r.end - r.start;
        }
        if (written != replay.stats.distinctSectors) std::abort();
    }
    std::string expected = initial;
    for (const pelmar_tools::ByteRange &r : geometryFits ? replay.written : std::vector<pelmar_tools::ByteRange>{})
        expected.replace(r.start * sectorSize, (r.end - r.start) * sectorSize, expanded, r.start * sectorSize,
                         (r.end - r.start) * sectorSize);
    if (result != (consistent && geometryFits)) {
        fprintf(stderr, "image fuzz: the restore answers %d, the replay %s (%s)\n", result,
                consistent ? "consistent" : "inconsistent", replay.problem.c_str());
        std::abort();
    }
    if (result == 1 && restored != expected) {
        fprintf(stderr, "image fuzz: the restored drive differs from the expansion\n");
        std::abort();
    }
    // A failed restore has said why; a successful one has said nothing.
    bool reported = NaGlobals.ProcessInfo->ErrorReported != 0;
    if (result == 1 && reported) std::abort();
    // Every failure must have been reported, a read that comes up short (an
    // image cut inside a sector of its entries or its data) included.
    if (result == 0 && !reported) {
        fprintf(stderr, "image fuzz: the restore failed without a report (replay: %s)\n",
                !headerRead ? why.c_str() : replay.problem.c_str());
        std::abort();
    }
    return 0;
}
