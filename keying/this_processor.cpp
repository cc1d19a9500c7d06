#include "keying/this_processor.h"

#include <cpuid.h>

#include "keying/derivation_paths.h"

uint32_t DerivationPathsOfThisProcessor() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return 0;
    }
    const uint32_t leaf1Ecx = ecx, leaf1Edx = edx;
    uint32_t leaf7Ebx = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        leaf7Ebx = ebx;
    }
    uint64_t xcr0 = 0;
    if ((leaf1Ecx & bit_OSXSAVE) != 0) {
        uint32_t low = 0, high = 0;
        __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        xcr0 = (static_cast<uint64_t>(high) << 32) | low;
    }
    return DerivationPathsOf(leaf1Ecx, leaf1Edx, leaf7Ebx, xcr0);
}
