#include "keying/derivation_paths.h"

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
    uint32_t paths = DERIVATION_PATH_SSE2 | DERIVATION_PATH_WHIRLPOOL;
    if ((leaf1Ecx & (LEAF1_ECX_OSXSAVE | LEAF1_ECX_AVX)) == (LEAF1_ECX_OSXSAVE | LEAF1_ECX_AVX) &&
        (leaf7Ebx & LEAF7_EBX_AVX2) != 0 && (xcr0 & XCR0_XMM_AND_YMM) == XCR0_XMM_AND_YMM) {
        paths |= DERIVATION_PATH_AVX2;
    }
    if ((leaf1Ecx & (LEAF1_ECX_SSSE3 | LEAF1_ECX_SSE41)) == (LEAF1_ECX_SSSE3 | LEAF1_ECX_SSE41) &&
        (leaf7Ebx & LEAF7_EBX_SHA) != 0) {
        paths |= DERIVATION_PATH_SHA_EXTENSIONS;
    }
    return paths;
}

void UseDerivationPaths(uint32_t paths) {
    PathsInUse = paths;
}

uint32_t DerivationPathsInUse() {
    return PathsInUse;
}

DerivationPath DerivationPathFor(PathHash hash) {
    const uint32_t paths = PathsInUse;
    if (hash == PathHash::Whirlpool && (paths & DERIVATION_PATH_WHIRLPOOL) != 0) {
        return DerivationPath::Whirlpool;
    }
    if (hash != PathHash::Sha1 && hash != PathHash::Rmd160) {
        return DerivationPath::Portable;
    }
    // Measured: eight SHA-1 lanes of AVX2 outrun two interleaved on the SHA
    // extensions, which outrun four of SSE2.
    if ((paths & DERIVATION_PATH_AVX2) != 0) {
        return DerivationPath::Avx2;
    }
    if (hash == PathHash::Sha1 && (paths & DERIVATION_PATH_SHA_EXTENSIONS) != 0) {
        return DerivationPath::ShaExtensions;
    }
    if ((paths & DERIVATION_PATH_SSE2) != 0) {
        return DerivationPath::Sse2;
    }
    return DerivationPath::Portable;
}
