// Which of the faster ways of running PBKDF2's iterations the derivations
// may take. Keying knows nothing of the platform: the application asks the
// processor and the system (CPUID, XGETBV) and says what it found; until it
// does, every derivation keeps to the portable path through the hash
// descriptors, the reference the others are checked against.
#pragma once

#include <stdint.h>

// RIPEMD-160 and SHA-1 on four chains in SSE2's lanes (keying/hash_sse2.cpp);
// with it, the baseline every x86-64 processor reports, Whirlpool on up to
// three chains through its own compression (keying/whirlpool_chains.cpp).
constexpr uint32_t DERIVATION_SSE2 = 1;
// The same on eight chains in AVX2's lanes (keying/hash_avx2.cpp).
constexpr uint32_t DERIVATION_AVX2 = 2;
// SHA-1 on two chains interleaved through the SHA extensions
// (keying/sha1_extensions.cpp); preferred to the lanes for SHA-1.
constexpr uint32_t DERIVATION_SHA_EXTENSIONS = 4;

// The paths a processor allows. leaf1Ecx, leaf1Edx: CPUID leaf 1;
// leaf7Ebx: leaf 7 subleaf 0 (0 when the highest leaf is below 7); xcr0:
// what XGETBV reads from XCR0, 0 when leaf 1 does not report OSXSAVE (XGETBV
// faults then). AVX2 needs AVX, AVX2, OSXSAVE and the system saving both the
// XMM and the YMM state across task switches: a system that does not
// (Windows Server 2003, for one) would let another thread's upper halves
// into ours.
uint32_t DerivationPathsOf(uint32_t leaf1Ecx, uint32_t leaf1Edx, uint32_t leaf7Ebx, uint64_t xcr0);

// The processor this code runs on, asked directly: for programs that are not
// the native process (benchmarks, tests).
uint32_t DerivationPathsOfThisProcessor();

// Sets, and tells, the paths every later derivation may take.
void UseDerivationPaths(uint32_t paths);
uint32_t DerivationPathsInUse();
