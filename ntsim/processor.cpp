// The processor as the native process sees it: the identification
// instruction, XGETBV and the hardware random source (RDSEED, RDRAND),
// answered by the host's processor unless --hardware-random or
// --cpu-features says otherwise.
#include <cpuid.h>

#include <cstdio>
#include <string>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"

namespace {

constexpr ULONG kRdrandEcxBit = 1u << 30;  // leaf 1
constexpr ULONG kRdseedEbxBit = 1u << 18;  // leaf 7, subleaf 0
constexpr ULONG kSse2EdxBit = 1u << 26, kOsxsaveEcxBit = 1u << 27, kAvxEcxBit = 1u << 28;  // leaf 1
constexpr ULONG kAvx2EbxBit = 1u << 5, kShaEbxBit = 1u << 29;                             // leaf 7, subleaf 0
// XCR0: the YMM state (bit 2) and the AVX-512 states built on it (5 to 7).
constexpr unsigned long long kXcr0YmmAndAbove = (1ull << 2) | (7ull << 5);

using Mode = ntsim::Options::HardwareRandom;

bool HostOffers(bool seed) {
    unsigned a, b, c, d;
    if (seed) return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & kRdseedEbxBit);
    return __get_cpuid(1, &a, &b, &c, &d) && (c & kRdrandEcxBit);
}

}  // namespace

extern "C" {

void ProcessorIdentify(ULONG leaf, ULONG subleaf, ULONG registers[4]) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid_count(leaf, subleaf, a, b, c, d);
    const Mode mode = ntsim::Machine::Get().options().hardwareRandom;
    // A source that never delivers is offered whatever the host has: it
    // needs nothing of the host's processor.
    if (leaf == 1 && mode == Mode::Failing) c |= kRdrandEcxBit;
    if (leaf == 7 && subleaf == 0 && mode == Mode::Failing) b |= kRdseedEbxBit;
    if (leaf == 1 && mode == Mode::None) c &= ~kRdrandEcxBit;
    if (leaf == 7 && subleaf == 0 && (mode == Mode::None || mode == Mode::RdrandOnly)) b &= ~kRdseedEbxBit;
    const auto &features = ntsim::Machine::Get().options().cpuFeatures;
    if (leaf == 1) {
        if (!features.sse2) d &= ~kSse2EdxBit;
        if (!features.osxsave) c &= ~kOsxsaveEcxBit;
        if (!features.avx) c &= ~kAvxEcxBit;
    }
    if (leaf == 7 && subleaf == 0) {
        if (!features.avx2) b &= ~kAvx2EbxBit;
        if (!features.sha) b &= ~kShaEbxBit;
    }
    registers[0] = a;
    registers[1] = b;
    registers[2] = c;
    registers[3] = d;
}

// XGETBV, traced like a call. Where OSXSAVE is hidden the instruction would
// fault; the stand-in answers 0 (nothing saved) and notes it.
ULONGLONG ProcessorReadExtendedControl(ULONG index) {
    ntsim::Call call("ProcessorReadExtendedControl");
    call.ArgDec("register", index);
    const auto &features = ntsim::Machine::Get().options().cpuFeatures;
    unsigned a = 0, b = 0, c = 0, d = 0;
    unsigned long long value = 0;
    if (call.faulted()) {
        call.Note("answered as nothing saved");
    } else if (!features.osxsave) {
        call.Note("OSXSAVE hidden: the instruction would fault");
    } else if (__get_cpuid(1, &a, &b, &c, &d) && (c & kOsxsaveEcxBit)) {
        unsigned low = 0, high = 0;
        __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
        value = (static_cast<unsigned long long>(high) << 32) | low;
        if (index == 0 && !features.ymmState) value &= ~kXcr0YmmAndAbove;
    }
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", value);
    call.ReturnText(text);
    return value;
}

// The derivation paths the process allowed, named in the trace (the
// DERIVATION_PATH_* bits of keying/derivation_paths.h).
void ProcessorNoteDerivationPaths(ULONG paths) {
    ntsim::Call call("ProcessorNoteDerivationPaths");
    std::string names;
    if (paths & 2) names += " AVX2";
    if (paths & 4) names += " SHA-extensions";
    if (paths & 1) names += " SSE2";
    if (paths & 8) names += " Whirlpool";
    call.Arg("paths", ntsim::QuoteUtf8(names.empty() ? "portable" : names.substr(1)));
    call.ReturnVoid();
}

// Traced like a call, so that a run's draws can be counted; --fail makes
// a draw fail as a busy source does.
BOOLEAN ProcessorRandom64(BOOLEAN seed, ULONGLONG *value) {
    ntsim::Call call("ProcessorRandom64");
    call.Arg("instruction", seed ? "RDSEED" : "RDRAND");
    const Mode mode = ntsim::Machine::Get().options().hardwareRandom;
    unsigned char delivered = 0;
    unsigned long long drawn = 0;
    if (!call.faulted() && mode != Mode::Failing && (mode != Mode::None && !(seed && mode == Mode::RdrandOnly)) &&
        HostOffers(seed)) {
        if (seed) {
            __asm__ volatile("rdseed %0; setc %1" : "=r"(drawn), "=qm"(delivered) : : "cc");
        } else {
            __asm__ volatile("rdrand %0; setc %1" : "=r"(drawn), "=qm"(delivered) : : "cc");
        }
    }
    // The processor leaves 0 in the destination when it delivers nothing.
    *value = delivered ? drawn : 0;
    drawn = 0;
    call.ReturnText(delivered ? "1" : "0");
    return delivered;
}

}  // extern "C"
