// The command line, from the bytes of the process's command line to the run
// settings: start-up's splitting and the application's parsing must accept
// anything, stay inside their buffers and yield only valid settings.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/app_context.h"
#include "app/command_line.h"
#include "fuzz_driver.h"
#include "lib-na/na.h"
#include "lib-na/na_startup.h"
#include "ntsim/ntsim.h"

namespace {

struct Free {
    void operator()(APP_CONTEXT *p) const { std::free(p); }
};

[[noreturn]] void Fail(const char *what) {
    fprintf(stderr, "command line fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    ntsim::Options options;
    options.echoOutputs = false;
    ntsim::Machine::Get().Reset(options);
    NaGlobals = NA_GLOBALS{};

    const char *text = reinterpret_cast<const char *>(data);
    uint32_t length = static_cast<uint32_t>(size);
    uint32_t tokens = NaCountTokens(text, length);
    std::vector<char> store(size + 2, '\x7f');
    std::vector<char *> argv(tokens + 1, nullptr);
    uint32_t argc = NaSplitTokens(text, length, store.data(), argv.data(), tokens);
    if (argc != tokens || argv[argc] != nullptr) Fail("token count");
    for (uint32_t i = 0; i < argc; ++i) {
        size_t n = std::strlen(argv[i]);
        if (n == 0) Fail("empty token");
        for (size_t k = 0; k < n; ++k)
            if (static_cast<signed char>(argv[i][k]) <= 0x20) Fail("separator inside a token");
    }

    size_t contextSize = (AppContextRequestSize() + APP_CONTEXT_ALIGNMENT - 1) / APP_CONTEXT_ALIGNMENT * APP_CONTEXT_ALIGNMENT;
    std::unique_ptr<APP_CONTEXT, Free> context(static_cast<APP_CONTEXT *>(std::aligned_alloc(APP_CONTEXT_ALIGNMENT, contextSize)));
    std::memset(context.get(), 0, sizeof(APP_CONTEXT));
    RUN_SETTINGS settings;
    SetRunDefaults(context.get(), &settings);
    ParseCommandLine(static_cast<int32_t>(argc), argv.data(), context.get(), &settings);
    if (settings.Ea < 1 || settings.Ea > 11) Fail("encryption algorithm");
    if (settings.Prf < 1 || settings.Prf > 3) Fail("hash");
    if (settings.Iterations < (settings.Prf == 3 ? 1000u : 2000u)) Fail("iterations below the default");
    if (context->DriveLetter < u'A' || context->DriveLetter > u'Z') Fail("drive letter");
    if (!context->ContainerPath || !context->ImagePath) Fail("paths");
    return 0;
}
