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
#include <set>
#include <string>
#include <vector>

#include "app/app_context.h"
#include "keying/derivation_paths.h"
#include "keying/pbkdf2.h"
#include "keying/this_processor.h"
#include "keying/x86/path_kernels.h"
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
    std::set<std::string> paths;   // the derivations' faster paths taken
    std::set<std::string> pathsLeavingRegisters;
    std::vector<std::pair<std::string, Bytes>> deadStacks;  // below each faster path, as it returned
    uint8_t vectors[16][32] = {};  // YMM0 to YMM15 (XMM0 to XMM15 without AVX) as header creation left them
};
Capture gRun;

}  // namespace

// Calls function(arguments[0..6]) and stores the vector registers at once,
// before any compiled code can touch them; returns the 32-bit result.
extern "C" int32_t CallThenReadVectorRegisters(const void *function, const uint64_t *arguments,
                                               uint8_t (*registers)[32], int32_t wholeRegisters);
__asm__(R"(
    .text
    .type CallThenReadVectorRegisters, @function
CallThenReadVectorRegisters:
    push %rbp
    mov %rsp, %rbp
    push %rbx
    push %r12
    push %r13
    mov %rdx, %rbx
    mov %rdi, %r12
    mov %ecx, %r13d
    pushq 48(%rsi)
    mov (%rsi), %rdi
    mov 16(%rsi), %rdx
    mov 24(%rsi), %rcx
    mov 32(%rsi), %r8
    mov 40(%rsi), %r9
    mov 8(%rsi), %rsi
    call *%r12
    add $8, %rsp
    test %r13d, %r13d
    jz 1f
    vmovdqu %ymm0, 0(%rbx)
    vmovdqu %ymm1, 32(%rbx)
    vmovdqu %ymm2, 64(%rbx)
    vmovdqu %ymm3, 96(%rbx)
    vmovdqu %ymm4, 128(%rbx)
    vmovdqu %ymm5, 160(%rbx)
    vmovdqu %ymm6, 192(%rbx)
    vmovdqu %ymm7, 224(%rbx)
    vmovdqu %ymm8, 256(%rbx)
    vmovdqu %ymm9, 288(%rbx)
    vmovdqu %ymm10, 320(%rbx)
    vmovdqu %ymm11, 352(%rbx)
    vmovdqu %ymm12, 384(%rbx)
    vmovdqu %ymm13, 416(%rbx)
    vmovdqu %ymm14, 448(%rbx)
    vmovdqu %ymm15, 480(%rbx)
    jmp 2f
1:
    movdqu %xmm0, 0(%rbx)
    movdqu %xmm1, 32(%rbx)
    movdqu %xmm2, 64(%rbx)
    movdqu %xmm3, 96(%rbx)
    movdqu %xmm4, 128(%rbx)
    movdqu %xmm5, 160(%rbx)
    movdqu %xmm6, 192(%rbx)
    movdqu %xmm7, 224(%rbx)
    movdqu %xmm8, 256(%rbx)
    movdqu %xmm9, 288(%rbx)
    movdqu %xmm10, 320(%rbx)
    movdqu %xmm11, 352(%rbx)
    movdqu %xmm12, 384(%rbx)
    movdqu %xmm13, 416(%rbx)
    movdqu %xmm14, 448(%rbx)
    movdqu %xmm15, 480(%rbx)
2:
    pop %r13
    pop %r12
    pop %rbx
    pop %rbp
    ret
    .size CallThenReadVectorRegisters, .-CallThenReadVectorRegisters
)");

// The derivations' faster paths, noted where the keying library calls them,
// with any vector register one leaves uncleared.
// The stack below, painted before the call and copied right after it.
constexpr size_t kDeadStack = 16 * 1024;
// The stack below the caller's frame is nobody's object: the address
// sanitizer's redzones of frames long returned may still mark it, so it is
// painted and copied byte by byte, unchecked.
__attribute__((no_sanitize("address"), noinline)) void PaintBelow(uint8_t *from, uint8_t *to) {
    for (volatile uint8_t *at = from; at < to; ++at) *at = 0xC3;
}
__attribute__((no_sanitize("address"), noinline)) Bytes CopyBelow(const uint8_t *from, const uint8_t *to) {
    Bytes copy(static_cast<size_t>(to - from));
    for (size_t i = 0; i < copy.size(); ++i) copy[i] = static_cast<const volatile uint8_t *>(from)[i];
    return copy;
}
template <typename... Arguments>
void TakePath(const char *path, const void *function, Arguments... arguments) {
    gRun.paths.insert(path);
    const uint64_t words[7] = {(uint64_t)(arguments)...};
    uint8_t vectors[16][32] = {};
    uint8_t *sp;
    __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
    PaintBelow(sp - kDeadStack, sp - 512);
    CallThenReadVectorRegisters(function, words, vectors, __builtin_cpu_supports("avx"));
    __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
    gRun.deadStacks.emplace_back(std::string(path) + " path", CopyBelow(sp - kDeadStack, sp - 512));
    if (std::count(&vectors[0][0], &vectors[0][0] + sizeof vectors, 0) != sizeof vectors)
        gRun.pathsLeavingRegisters.insert(path);
}
// The instruction-set paths are reached through their kernel tables, so the
// tables are what is wrapped: each kernel of a wrapped table is a wrapper of
// the real one.
#define PELMAR_PATH(table, path)                                                                               \
    extern "C" const PATH_KERNELS __real_##table;                                                             \
    template <PathKernel PATH_KERNELS::*KERNEL>                                                               \
    void table##Wrapped(const uint32_t *i, const uint32_t *o, uint32_t *u, uint32_t *t, uint32_t n) {        \
        TakePath(path, reinterpret_cast<const void *>(__real_##table.*KERNEL), i, o, u, t, n);                \
    }                                                                                                         \
    extern "C" const PATH_KERNELS __wrap_##table = {                                                          \
        __real_##table.Lanes, __real_##table.Rmd160 ? table##Wrapped<&PATH_KERNELS::Rmd160> : nullptr,        \
        __real_##table.Sha1 ? table##Wrapped<&PATH_KERNELS::Sha1> : nullptr};
PELMAR_PATH(SSE2_PATH, "SSE2")
PELMAR_PATH(AVX2_PATH, "AVX2")
PELMAR_PATH(SHA_EXTENSIONS_PATH, "SHA-extensions")
extern "C" void __real__Z23WhirlpoolPathIterationsPKyS0_PmS1_jj(const unsigned long long *, const unsigned long long *,
                                                                 unsigned long *, unsigned long *, uint32_t, uint32_t);
extern "C" void __wrap__Z23WhirlpoolPathIterationsPKyS0_PmS1_jj(const unsigned long long *i,
                                                                 const unsigned long long *o, unsigned long *u,
                                                                 unsigned long *t, uint32_t lanes, uint32_t n) {
    TakePath("Whirlpool", reinterpret_cast<const void *>(&__real__Z23WhirlpoolPathIterationsPKyS0_PmS1_jj), i, o,
             u, t, lanes, n);
}
// Each derivation as a whole, its own frames with its path's, checked the
// same way the moment it returns. It runs below a frame kept free, so that
// copying the stack afterwards does not overwrite its topmost frames.
#define PELMAR_PBKDF2_PARAMETERS                                                                                \
    const uint8_t *password, uint32_t passwordLength, const uint8_t *salt, uint32_t saltLength, uint32_t count, \
        const ltc_hash_descriptor *hash, uint8_t *out, uint32_t *outLength, PBKDF2_SCRATCH *scratch
extern "C" int32_t __real__Z6Pbkdf2PKhjS0_jjPK19ltc_hash_descriptorPhPjP14PBKDF2_SCRATCH(PELMAR_PBKDF2_PARAMETERS);
__attribute__((noinline)) int32_t DeriveBelowAFreeFrame(PELMAR_PBKDF2_PARAMETERS) {
    uint8_t free[2048];
    __asm__ volatile("" : : "r"(free) : "memory");
    const int32_t result = __real__Z6Pbkdf2PKhjS0_jjPK19ltc_hash_descriptorPhPjP14PBKDF2_SCRATCH(
        password, passwordLength, salt, saltLength, count, hash, out, outLength, scratch);
    __asm__ volatile("" : : "r"(free) : "memory");
    return result;
}
extern "C" int32_t __wrap__Z6Pbkdf2PKhjS0_jjPK19ltc_hash_descriptorPhPjP14PBKDF2_SCRATCH(PELMAR_PBKDF2_PARAMETERS) {
    uint8_t *sp;
    __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
    PaintBelow(sp - kDeadStack, sp - 512);
    const int32_t result =
        DeriveBelowAFreeFrame(password, passwordLength, salt, saltLength, count, hash, out, outLength, scratch);
    __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
    gRun.deadStacks.emplace_back(std::string(hash->name) + " derivation " + std::to_string(gRun.deadStacks.size()),
                                 CopyBelow(sp - kDeadStack, sp - 512));
    return result;
}
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
    const uint64_t arguments[7] = {reinterpret_cast<uintptr_t>(header), reinterpret_cast<uintptr_t>(password),
                                   reinterpret_cast<uintptr_t>(pool), static_cast<uint32_t>(prf),
                                   static_cast<uint32_t>(ea), iterations, reinterpret_cast<uintptr_t>(scratch)};
    const int32_t made = CallThenReadVectorRegisters(
        reinterpret_cast<const void *>(
            &__real__Z18CreateVolumeHeaderP13VOLUME_HEADERP15VOLUME_PASSWORDPK12ENTROPY_POOLiijP11KEY_SCRATCH),
        arguments, gRun.vectors, __builtin_cpu_supports("avx"));
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
    Capture Run(const std::vector<ntsim::CallRule> &faults, ntsim::Options::HardwareRandom source,
                const std::u16string &commandLine = u"pelmar", ntsim::Options::CpuFeatures features = {}) {
        std::ofstream(folder.path() / "c" / "pelmar.tc", std::ios::binary) << container;
        ntsim::Options options;
        options.root = folder.path();
        options.rootGiven = true;
        options.commandLine = commandLine;
        options.cpuFeatures = features;
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

// Each derivation path: the derivations take the fastest path the
// processor and the system offer (a faster one offered and not taken
// fails), each path and each derivation leaves none of the derivation's
// working values on the stack below it as it returns (not only after
// header creation's last wipe), and header creation as a whole, on every
// path, leaves every vector register clear.
TEST(Entropy, TheDerivationsTakeTheFastestPathOfferedAndLeaveNoVectorRegister) {
    const uint32_t here = DerivationPathsOfThisProcessor();
    const bool avx2 = here & DERIVATION_PATH_AVX2, sha = here & DERIVATION_PATH_SHA_EXTENSIONS;
    using F = ntsim::Options::CpuFeatures;
    struct Row {
        const char16_t *commandLine;
        F features;
        std::string path;
        bool runs;
    };
    std::string notRun;
    for (const Row &row : {Row{u"pelmar A r", F{}, "AVX2", avx2}, Row{u"pelmar A s", F{}, "AVX2", avx2},
                           Row{u"pelmar A s", F{.avx2 = false}, "SHA-extensions", sha},
                           Row{u"pelmar A r", F{.ymmState = false}, "SSE2", true},
                           Row{u"pelmar A s", F{.sha = false, .osxsave = false}, "SSE2", true},
                           Row{u"pelmar A w", F{}, "Whirlpool", true},
                           Row{u"pelmar A s", F{.sse2 = false, .avx = false, .sha = false}, "", true},
                           Row{u"pelmar A w", F{.sse2 = false}, "", true}}) {
        const std::string name(row.commandLine, row.commandLine + std::char_traits<char16_t>::length(row.commandLine));
        SCOPED_TRACE(name + ", path " + row.path);
        if (!row.runs) {
            notRun += " " + row.path + " (the host's processor lacks it);";
            continue;
        }
        Machine m;
        const Capture run = m.Run({}, ntsim::Options::HardwareRandom::None, row.commandLine, row.features);
        ASSERT_EQ(run.header.size(), 512u);
        EXPECT_EQ(run.paths, row.path.empty() ? std::set<std::string>{} : std::set<std::string>{row.path});
        EXPECT_TRUE(run.pathsLeavingRegisters.empty()) << *run.pathsLeavingRegisters.begin();
        // None of the header key derivation's working values left below a
        // path or a whole derivation. Without a path the dependency's
        // compressions do all the work, and the host's build of it cleans no
        // stack (the program's does): those rows check the registers only.
        // Each sought by its 16-byte pieces; the lanes' last output word (the
        // output's last four bytes, as the derivation hands them out) whole.
        auto secrets = ntsim::tc::HeaderKeyDerivationSecrets(name.back() == 'r' ? 1 : name.back() == 's' ? 2 : 3,
                                                             run.password, Bytes(run.header.begin(), run.header.begin() + 64));
        ASSERT_TRUE(secrets);
        const auto last = std::find_if(secrets->begin(), secrets->end(),
                                       [](const auto &s) { return s.name == "header key's last output block"; });
        if (last != secrets->end()) secrets->push_back({"the last output word", Bytes(last->bytes.end() - 4, last->bytes.end())});
        std::set<std::string> left;
        for (const auto &[path, stack] : run.deadStacks)
            for (const auto &secret : *secrets)
                for (size_t at = 0, piece = std::min<size_t>(16, secret.bytes.size());
                     !row.path.empty() && at + piece <= secret.bytes.size(); ++at)
                    if (std::search(stack.begin(), stack.end(), secret.bytes.begin() + at, secret.bytes.begin() + at + piece) != stack.end())
                        left.insert(secret.name + " below the " + path);
        EXPECT_TRUE(left.empty()) << *left.begin() << " (and " << left.size() - 1 << " more)";
        for (int r = 0; r < 16; ++r)
            EXPECT_EQ(std::count(run.vectors[r], run.vectors[r] + 32, 0), 32) << "vector register " << r;
    }
    if (!notRun.empty()) GTEST_SKIP() << "not on this host:" << notRun;
}

}  // namespace
