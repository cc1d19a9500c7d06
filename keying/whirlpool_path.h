// The Whirlpool derivation path: PBKDF2's iterations of HMAC-Whirlpool on a
// compression of our own. Every x86-64 processor runs it (plain 64-bit
// arithmetic and table lookups), at less work per iteration than the
// descriptor's operations can.
#pragma once

#include <stdint.h>

#include <tomcrypt.h>

// The output blocks one call carries, one lane each, run in turn: the first
// derivation of a header has three blocks of 64 bytes, the second two.
constexpr uint32_t WHIRLPOOL_PATH_LANES = 3;

// count further PBKDF2 iterations of HMAC-Whirlpool on `lanes` output
// blocks (1 to WHIRLPOOL_PATH_LANES) from the chaining values after the inner
// and the outer padded key (one 64-byte block absorbed each): lane k's u,
// its previous output, is the eight words at u + 8 k and becomes HMAC(u)
// count times; its t, at t + 8 k, receives the exclusive-or of those
// outputs. Words are the hash's big-endian 64-bit numbers, as the
// dependency keeps its state. The round keys and the lanes' working values
// are wiped before it returns.
void WhirlpoolPathIterations(const ulong64 inner[8], const ulong64 outer[8], uint64_t *u, uint64_t *t,
                             uint32_t lanes, uint32_t count);
