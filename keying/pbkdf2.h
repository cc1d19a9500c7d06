// PBKDF2 (PKCS #5 v2.0) over the dependency's hash descriptors, in working
// memory the caller supplies.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <tomcrypt.h>

#include "keying/hmac.h"

// InnerKeyed and OuterKeyed follow the HMAC state: the hash states after
// the inner and the outer padded key, absorbed once per derivation, so that
// each iteration starts from a copy of them instead of hashing the padded
// key again.
//
// LaneU and LaneT carry the output blocks a derivation path runs at once,
// in the instruction-set paths' one lane layout (keying/x86/path_kernels.h):
// word w of lane k at w * lanes + k, up to eight lanes of five 32-bit
// words. Each block's previous HMAC and its running exclusive-or.
constexpr uint32_t PBKDF2_MAX_LANES = 8;
struct PBKDF2_SCRATCH {
    uint8_t U[HMAC_MAX_BLOCK];
    uint8_t T[HMAC_MAX_BLOCK];
    HMAC_SCRATCH Hmac;
    hash_state InnerKeyed;
    hash_state OuterKeyed;
    uint32_t LaneU[5 * PBKDF2_MAX_LANES];
    uint32_t LaneT[5 * PBKDF2_MAX_LANES];
};
static_assert(offsetof(PBKDF2_SCRATCH, T) == 128);
static_assert(offsetof(PBKDF2_SCRATCH, Hmac) == 256);
static_assert(offsetof(PBKDF2_SCRATCH, InnerKeyed) == 256 + sizeof(HMAC_SCRATCH));
static_assert(offsetof(PBKDF2_SCRATCH, OuterKeyed) == 256 + sizeof(HMAC_SCRATCH) + sizeof(hash_state));
static_assert(offsetof(PBKDF2_SCRATCH, LaneU) == 256 + sizeof(HMAC_SCRATCH) + 2 * sizeof(hash_state));
static_assert(offsetof(PBKDF2_SCRATCH, LaneT) == offsetof(PBKDF2_SCRATCH, LaneU) + 160);

// LibTomCrypt result codes, as HMAC's (keying/hmac.h). The iterations run on
// the fastest of the derivation paths in use (keying/derivation_paths.h).
int32_t Pbkdf2(const uint8_t *password, uint32_t passwordLength, const uint8_t *salt, uint32_t saltLength,
               uint32_t iterations, const struct ltc_hash_descriptor *hash, uint8_t *out, uint32_t *outLength,
               PBKDF2_SCRATCH *scratch);
