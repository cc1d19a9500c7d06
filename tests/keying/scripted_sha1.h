// A stand-in for the dependency's SHA-1 descriptor, linked in place of
// sha1_desc (ld --wrap) in the retry tests only. Idle, it is SHA-1. Scripted,
// chosen digest computations (numbered from 0 in call order of the
// descriptor's done operation) come out as zeros, or fail.
#pragma once

#include <cstdint>

namespace scripted_sha1 {

void Reset();  // idle, counter back to 0
// Digests number from..to-1 come out as 20 zero bytes.
void ZeroDigests(uint64_t from, uint64_t to);
// Digest number from and all later ones fail with CRYPT_ERROR.
void FailDigestsFrom(uint64_t from);
uint64_t DigestsComputed();

// The digests one PBKDF2 derivation computes with a key of at most 64 bytes:
// two per HMAC, one HMAC per block and iteration.
constexpr uint64_t DigestsPerDerivation(uint64_t bytes, uint64_t iterations) {
    return 2 * ((bytes + 19) / 20) * (iterations == 0 ? 1 : iterations);
}

}  // namespace scripted_sha1
