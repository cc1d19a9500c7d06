// The processor as the native process sees it: the identification
// instruction and the hardware random source (RDSEED, RDRAND), answered by
// the host's processor unless --hardware-random says otherwise.
#include <cpuid.h>

#include "ntsim/call.h"
#include "ntsim/ntsim.h"

namespace {

constexpr ULONG kRdrandEcxBit = 1u << 30;  // leaf 1
constexpr ULONG kRdseedEbxBit = 1u << 18;  // leaf 7, subleaf 0

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
    if (leaf == 1 && mode == Mode::None) c &= ~kRdrandEcxBit;
    if (leaf == 7 && subleaf == 0 && (mode == Mode::None || mode == Mode::RdrandOnly)) b &= ~kRdseedEbxBit;
    registers[0] = a;
    registers[1] = b;
    registers[2] = c;
    registers[3] = d;
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
