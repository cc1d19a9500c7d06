// The instruction-set paths of PBKDF2's iterations for the hashes of 32-bit
// words, RIPEMD-160 and SHA-1: their kernels, each compiled for its
// instruction set alone (keying/x86/CMakeLists.txt) and called only where
// the processor and the system allow it (keying/derivation_paths.cpp).
//
// One kernel signature and one lane layout for all of them. A kernel runs
// `count` further iterations on `lanes` output blocks at once, one chain
// per block. inner, outer: the chaining values after the inner and the
// outer padded key. u: each chain's previous output, which becomes HMAC(u)
// count times; t: each chain's running exclusive-or of those outputs. Both
// hold the hash's word w of chain k at w * lanes + k, as numbers (RIPEMD-160's
// words are read little-endian, SHA-1's big-endian). The vector registers
// are cleared before a kernel returns.
#pragma once

#include <stdint.h>

using PathKernel = void (*)(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t,
                            uint32_t count);

// A path's lanes and its kernel for each hash (null where it has none).
struct PATH_KERNELS {
    uint32_t Lanes;
    PathKernel Rmd160;
    PathKernel Sha1;
};

// RIPEMD-160 and SHA-1 on four chains in SSE2's 128-bit lanes (every x86-64
// processor has them).
extern const PATH_KERNELS SSE2_PATH;
// The same on eight chains in AVX2's 256-bit lanes.
extern const PATH_KERNELS AVX2_PATH;
// SHA-1 on two chains interleaved through the SHA extensions.
extern const PATH_KERNELS SHA_EXTENSIONS_PATH;

// The most lanes of any path.
constexpr uint32_t PATH_MAX_LANES = 8;

// One SHA-1 compression on the SHA extensions: the chaining value state
// (a, b, c, d, e) updated by one 64-byte block. For checking the path's
// rounds and measuring them; only where the path is allowed.
void Sha1CompressShaExtensions(uint32_t state[5], const uint8_t block[64]);
