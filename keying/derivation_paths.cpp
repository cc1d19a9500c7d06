#include "keying/derivation_paths.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace {

constexpr uint32_t LEAF1_ECX_SSSE3 = 1u << 9;
constexpr uint32_t LEAF1_ECX_SSE41 = 1u << 19;
constexpr uint32_t LEAF1_ECX_OSXSAVE = 1u << 27;
constexpr uint32_t LEAF1_ECX_AVX = 1u << 28;
constexpr uint32_t LEAF1_EDX_SSE2 = 1u << 26;
constexpr uint32_t LEAF7_EBX_AVX2 = 1u << 5;
constexpr uint32_t LEAF7_EBX_SHA = 1u << 29;
constexpr uint64_t XCR0_XMM_AND_YMM = 6;

// Zero until the application says otherwise: the portable path.
uint32_t PathsInUse;

}  // namespace

uint32_t DerivationPathsOf(uint32_t leaf1Ecx, uint32_t leaf1Edx, uint32_t leaf7Ebx, uint64_t xcr0) {
    if ((leaf1Edx & LEAF1_EDX_SSE2) == 0) {
        return 0;
    }
    uint32_t paths = DERIVATION_SSE2;
    if ((leaf1Ecx & (LEAF1_ECX_OSXSAVE | LEAF1_ECX_AVX)) == (LEAF1_ECX_OSXSAVE | LEAF1_ECX_AVX) &&
        (leaf7Ebx & LEAF7_EBX_AVX2) != 0 && (xcr0 & XCR0_XMM_AND_YMM) == XCR0_XMM_AND_YMM) {
        paths |= DERIVATION_AVX2;
    }
    if ((leaf1Ecx & (LEAF1_ECX_SSSE3 | LEAF1_ECX_SSE41)) == (LEAF1_ECX_SSSE3 | LEAF1_ECX_SSE41) &&
        (leaf7Ebx & LEAF7_EBX_SHA) != 0) {
        paths |= DERIVATION_SHA_EXTENSIONS;
    }
    return paths;
}

uint32_t DerivationPathsOfThisProcessor() {
#if defined(__x86_64__) || defined(__i386__)
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
    if ((leaf1Ecx & LEAF1_ECX_OSXSAVE) != 0) {
        uint32_t low = 0, high = 0;
        __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        xcr0 = (static_cast<uint64_t>(high) << 32) | low;
    }
    return DerivationPathsOf(leaf1Ecx, leaf1Edx, leaf7Ebx, xcr0);
#else
    return 0;
#endif
}

void UseDerivationPaths(uint32_t paths) {
    PathsInUse = paths;
}

uint32_t DerivationPathsInUse() {
    return PathsInUse;
}
