// The image reader: whatever an image file holds, the restore must stay
// inside its buffers and inside the volume, end, close every handle it
// opened and answer 0 or 1.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/app_context.h"
#include "app/restore.h"
#include "fuzz_driver.h"
#include "lib-na/na.h"
#include "ntsim/ntsim.h"

namespace {

// Room for the smallest FAT file system mkfs.fat makes (64 KiB), so that
// real images restore whole.
constexpr size_t kVolumeSectors = 128;

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
        std::string pattern = (std::filesystem::temp_directory_path() / "pelmar-image-fuzz-XXXXXX").string();
        root = mkdtemp(pattern.data());
        std::filesystem::create_directories(root / "c");
        disk = root / "t.disk";
        std::ofstream(disk, std::ios::binary) << std::string(kVolumeSectors * 512, '\0');
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 64 * 1024) return 0;
    Bench &bench = TheBench();
    std::ofstream(bench.root / "c" / "pelmar.img", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));

    ntsim::Options options;
    options.echoOutputs = false;
    options.timeScale = 0;
    options.root = bench.root;
    options.rootGiven = true;
    options.disks['T'] = bench.disk;
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
    // The drive neither grew nor shrank: every write landed inside it.
    if (std::filesystem::file_size(bench.disk) != kVolumeSectors * 512) std::abort();
    // A failed restore has said why; a successful one has said nothing.
    bool reported = NaGlobals.ProcessInfo->ErrorReported != 0;
    if (result == 1 && reported) std::abort();
    return 0;
}
