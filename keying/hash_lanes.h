// PBKDF2's iterations of HMAC-RIPEMD-160 and HMAC-SHA-1 on several output
// blocks at once, one chain per 32-bit lane: four in SSE2's 128-bit
// registers (every x86-64 processor has them), eight in AVX2's 256-bit ones
// (only where the processor has AVX2 and the system saves the YMM state).
//
// inner, outer: the chaining values after the inner and the outer padded
// key. u: each chain's previous output, which becomes HMAC(u) count times;
// t: each chain's running exclusive-or of those outputs. Both hold the
// hash's word w of every chain at w * lanes + lane, as numbers (RIPEMD-160's
// words are read little-endian, SHA-1's big-endian). The vector registers
// are cleared before each returns.
#pragma once

#include <stdint.h>

constexpr uint32_t SSE2_LANES = 4;
constexpr uint32_t AVX2_LANES = 8;

void Rmd160IterationsSse2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count);
void Sha1IterationsSse2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count);
void Rmd160IterationsAvx2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count);
void Sha1IterationsAvx2(const uint32_t inner[5], const uint32_t outer[5], uint32_t *u, uint32_t *t, uint32_t count);
