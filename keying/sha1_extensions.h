// SHA-1's compression through the processor's SHA extensions, for the
// iterations of PBKDF2-HMAC-SHA-1. Whether they may run is the application's
// to say (keying/derivation_paths.h); Sha1ExtensionsPresent asks CPUID
// directly, for the programs that are not the native process.
#pragma once

#include <stdint.h>

// Non-zero when CPUID reports the SHA extensions and the SSSE3 and SSE4.1
// instructions this code uses with them.
int32_t Sha1ExtensionsPresent();

// One compression: the chaining value state (a, b, c, d, e) updated by one
// 64-byte block. Only to be called when Sha1ExtensionsPresent().
void Sha1CompressExtensions(uint32_t state[5], const uint8_t block[64]);

// count further PBKDF2 iterations of HMAC-SHA-1 from the chaining values
// after the inner and the outer padded key (64 bytes each absorbed): u, the
// previous 20-byte output, becomes HMAC(u) each time and is exclusive-ored
// into the 20 bytes of t. Only to be called when Sha1ExtensionsPresent().
void Sha1HmacIterationsExtensions(const uint32_t inner[5], const uint32_t outer[5], uint8_t u[20], uint8_t t[20],
                                  uint32_t count);

// The same on two chains interleaved: chain k's u and t are the 20 bytes at
// u + 20 k and t + 20 k. Only to be called when Sha1ExtensionsPresent().
void Sha1HmacIterationsExtensions2(const uint32_t inner[5], const uint32_t outer[5], uint8_t u[40], uint8_t t[40],
                                   uint32_t count);
