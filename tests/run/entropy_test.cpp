// The entropy of a run and the old header that salts its new keys, seen
// where the run hands them to the keying library: this binary links the
// program against wrappers of PoolAdd and CreateVolumeHeader (ld --wrap)
// that note what passes and call the real ones. Whole native processes run
// in-process on the stand-in.
#include <gtest/gtest.h>

#include <cpuid.h>
#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "lib-na/na_startup.h"
#include "ntsim/tcformat/tcformat.h"
#include "run/process_runner.h"
#include "support/native_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Capture {
    std::vector<Bytes> additions;  // every addition to the pool, in order
    Bytes pool, salt;              // what header creation was given
    Bytes header, password;        // and what it made
    uintptr_t context = 0;
};
Capture gRun;

}  // namespace

extern "C" void __real__Z7PoolAddP12ENTROPY_POOLPKvj(ENTROPY_POOL *, const void *, uint32_t);
extern "C" void __wrap__Z7PoolAddP12ENTROPY_POOLPKvj(ENTROPY_POOL *pool, const void *bytes, uint32_t length) {
    gRun.additions.emplace_back(static_cast<const uint8_t *>(bytes),
                                static_cast<const uint8_t *>(bytes) + length);
    __real__Z7PoolAddP12ENTROPY_POOLPKvj(pool, bytes, length);
}
extern "C" int32_t
__real__Z18CreateVolumeHeaderP13VOLUME_HEADERP15VOLUME_PASSWORDPK12ENTROPY_POOLiijP11KEY_SCRATCH(
    VOLUME_HEADER *, VOLUME_PASSWORD *, const ENTROPY_POOL *, int32_t, int32_t, uint32_t, KEY_SCRATCH *);
extern "C" int32_t
__wrap__Z18CreateVolumeHeaderP13VOLUME_HEADERP15VOLUME_PASSWORDPK12ENTROPY_POOLiijP11KEY_SCRATCH(
    VOLUME_HEADER *header, VOLUME_PASSWORD *password, const ENTROPY_POOL *pool, int32_t prf, int32_t ea,
    uint32_t iterations, KEY_SCRATCH *scratch) {
    gRun.pool.assign(pool->Data, const_cast<const uint8_t *>(pool->End));
    gRun.salt.assign(header->Bytes + 64, header->Bytes + 128);
    gRun.context = reinterpret_cast<uintptr_t>(header) - offsetof(APP_CONTEXT, Header);
    const int32_t made =
        __real__Z18CreateVolumeHeaderP13VOLUME_HEADERP15VOLUME_PASSWORDPK12ENTROPY_POOLiijP11KEY_SCRATCH(
            header, password, pool, prf, ea, iterations, scratch);
    gRun.header.assign(header->Bytes, header->Bytes + 512);
    gRun.password.assign(password->Text, password->Text + 64);
    return made;
}

namespace {

constexpr NTSTATUS kFailed = static_cast<NTSTATUS>(0xC00000E5);

// Drive C: holds the container (old random contents) and an image file,
// not a valid one: its time stamps are what counts here.
struct Machine {
    pelmar_test::TempFolder folder;
    std::string container = std::string(4608, '\0');
    Machine() {
        std::mt19937 random(3);
        for (auto &b : container) b = static_cast<char>(random());
        std::filesystem::create_directories(folder.path() / "c");
        std::ofstream(folder.path() / "c" / "pelmar.img") << "image";
    }
    // One run, the container first given its old contents again.
    Capture Run(const std::vector<ntsim::CallRule> &faults, ntsim::Options::HardwareRandom source) {
        std::ofstream(folder.path() / "c" / "pelmar.tc", std::ios::binary) << container;
        ntsim::Options options;
        options.root = folder.path();
        options.rootGiven = true;
        options.commandLine = u"pelmar";
        options.faults = faults;
        options.hardwareRandom = source;
        pelmar_test::FreshMachine(options);
        gRun = Capture{};
        EXPECT_EQ(ntsim::RunNativeProcess(NaProcessStartup), 0);
        return gRun;
    }
};

Bytes MasterKey(const Capture &run) {
    auto opened =
        ntsim::tc::OpenVolumeHeader(std::span<const uint8_t, 512>(run.header.data(), 512), run.password);
    return opened ? Bytes(opened->masterKey.begin(), opened->masterKey.end()) : Bytes{};
}

// A run mixes 37 sources (time stamps, system information, the image's time
// stamps) into a pool that is all of them and nothing else, each of them
// counts, and the container's bytes 64..127 salt the keys; two runs on one
// machine state give new passwords, master keys and salts. With every
// system-information query and the image's time stamps failing, the six
// time-stamp readings alone still do. The run context lies on an
// 8,192-byte boundary. Where the processor has a random source of its own,
// each time-stamp reading brings 8 bytes of it as a source more.
TEST(Entropy, EverySourceReachesTheKeysAndRunsOnOneMachineStateDiffer) {
    std::vector<ntsim::CallRule> timeStampsOnly = {{"NtQueryInformationFile", 1, kFailed}};
    for (uint64_t n = 1; n <= 30; ++n) timeStampsOnly.push_back({"NtQuerySystemInformation", n, kFailed});
    using Source = ntsim::Options::HardwareRandom;
    unsigned a, b, c, d;  // the host's processor: a source of its own after each of the six readings
    const bool hostSource = (__get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 18))) ||
                            (__get_cpuid(1, &a, &b, &c, &d) && (c & (1u << 30)));
    struct Row {
        std::vector<ntsim::CallRule> faults;
        Source source;
        size_t additions;
    };
    for (const Row &row : {Row{{}, Source::None, 37}, Row{timeStampsOnly, Source::None, 6},
                           Row{{}, Source::Host, hostSource ? 43u : 37u}}) {
        const auto &faults = row.faults;
        Machine m;
        const Capture run = m.Run(faults, row.source), second = m.Run(faults, row.source);
        EXPECT_NE(run.password, second.password);
        EXPECT_NE(MasterKey(run), MasterKey(second));
        EXPECT_NE(Bytes(run.header.begin(), run.header.begin() + 64),
                  Bytes(second.header.begin(), second.header.begin() + 64));
        EXPECT_EQ(run.salt, Bytes(m.container.begin() + 64, m.container.begin() + 128));
        EXPECT_EQ(run.context % APP_CONTEXT_ALIGNMENT, 0u);

        ASSERT_EQ(run.additions.size(), row.additions);
        auto replay = [&run](size_t changed) {
            ENTROPY_POOL pool{};
            PoolInit(&pool, 0);
            for (size_t i = 0; i < run.additions.size(); ++i) {
                Bytes bytes = run.additions[i];
                if (i == changed && !bytes.empty()) bytes[0] ^= 1;
                __real__Z7PoolAddP12ENTROPY_POOLPKvj(&pool, bytes.data(),
                                                     static_cast<uint32_t>(bytes.size()));
            }
            return Bytes(pool.Data, pool.End);
        };
        EXPECT_EQ(replay(SIZE_MAX), run.pool);
        // Only the verifier's two replies are empty: no driver is verified.
        EXPECT_EQ(std::count_if(run.additions.begin(), run.additions.end(),
                                [](const Bytes &b) { return b.empty(); }),
                  faults.empty() ? 2 : 0);
        for (size_t i = 0; i < run.additions.size(); ++i)
            EXPECT_TRUE(run.additions[i].empty() || replay(i) != run.pool) << "source " << i;
    }
}

}  // namespace
