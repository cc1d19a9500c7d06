// The derivation paths: the ways of running PBKDF2's iterations after the
// first HMAC of each output block. The portable path runs every iteration
// through the hash descriptor's operations and is the reference the others
// are checked against; the others carry several output blocks at once, one
// lane each, on code of their own: the instruction-set paths of
// keying/x86/ for RIPEMD-160 and SHA-1, and Whirlpool's own compression
// (keying/whirlpool_path.cpp).
//
// Keying knows nothing of the platform: the application asks the processor
// and the system (CPUID, XGETBV) and says which paths they allow; until it
// does, every derivation keeps to the portable path.
#pragma once

#include <stdint.h>

// The paths a processor may allow, one bit each.
// RIPEMD-160 and SHA-1 on four lanes of SSE2 (keying/x86/sse2_path.cpp).
constexpr uint32_t DERIVATION_PATH_SSE2 = 1;
// The same on eight lanes of AVX2 (keying/x86/avx2_path.cpp).
constexpr uint32_t DERIVATION_PATH_AVX2 = 2;
// SHA-1 on two lanes of the SHA extensions (keying/x86/sha_extensions_path.cpp).
constexpr uint32_t DERIVATION_PATH_SHA_EXTENSIONS = 4;
// Whirlpool on up to three lanes of its own compression: plain x86-64 code
// that clears the SSE registers after itself, so it comes with SSE2.
constexpr uint32_t DERIVATION_PATH_WHIRLPOOL = 8;

// The paths a processor allows. leaf1Ecx, leaf1Edx: CPUID leaf 1;
// leaf7Ebx: leaf 7 subleaf 0 (0 when the highest leaf is below 7); xcr0:
// what XGETBV reads from XCR0, 0 when leaf 1 does not report OSXSAVE (XGETBV
// faults then). AVX2 needs AVX, AVX2, OSXSAVE and the system saving both the
// XMM and the YMM state across task switches: a system that does not
// (Windows Server 2003, for one) would let another thread's upper halves
// into ours.
uint32_t DerivationPathsOf(uint32_t leaf1Ecx, uint32_t leaf1Edx, uint32_t leaf7Ebx, uint64_t xcr0);

// Sets the paths every later derivation may take.
void UseDerivationPaths(uint32_t paths);
uint32_t DerivationPathsInUse();

// The path one derivation takes.
enum class DerivationPath { Portable, Sse2, Avx2, ShaExtensions, Whirlpool };

// The hashes that have paths of their own; Other for any descriptor that is
// not LibTomCrypt's own RIPEMD-160, SHA-1 or Whirlpool through and through.
enum class PathHash { Other, Rmd160, Sha1, Whirlpool };

// Of the paths in use, the fastest for the hash.
DerivationPath DerivationPathFor(PathHash hash);
