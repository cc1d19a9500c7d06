// HMAC and a one-shot hash over the dependency's hash descriptors, in
// working memory the caller supplies.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <tomcrypt.h>

// The largest digest and input block any of our hashes may have.
constexpr uint32_t HMAC_MAX_BLOCK = 128;

struct HMAC_SCRATCH {
    hash_state Hash;  // the running hash state
    const struct ltc_hash_descriptor *Descriptor;
    hash_state KeyHash;  // only for hashing an over-long key
    uint8_t KeyBlock[HMAC_MAX_BLOCK];
    uint8_t PadBlock[HMAC_MAX_BLOCK];  // also receives the outer digest
    uint8_t InnerDigest[HMAC_MAX_BLOCK];
};
static_assert(offsetof(HMAC_SCRATCH, Hash) == 0);
static_assert(offsetof(HMAC_SCRATCH, Descriptor) == sizeof(hash_state));
static_assert(offsetof(HMAC_SCRATCH, KeyHash) == sizeof(hash_state) + sizeof(void *));
static_assert(offsetof(HMAC_SCRATCH, KeyBlock) == 2 * sizeof(hash_state) + sizeof(void *));
static_assert(offsetof(HMAC_SCRATCH, PadBlock) == offsetof(HMAC_SCRATCH, KeyBlock) + 128);
static_assert(offsetof(HMAC_SCRATCH, InnerDigest) == offsetof(HMAC_SCRATCH, PadBlock) + 128);

// LibTomCrypt result codes: 0 success, 3 empty key, 6 output room too small,
// or whatever a hash operation returned. Lengths marked in/out carry the room
// (or requested count) on entry and the count produced on return.
int32_t HashMemory(const struct ltc_hash_descriptor *hash, const uint8_t *data, uint32_t length, uint8_t *out,
                   uint32_t *outLength, hash_state *hashState);
int32_t HmacInit(HMAC_SCRATCH *state, const struct ltc_hash_descriptor *hash, const uint8_t *key, uint32_t keyLength);
int32_t HmacProcess(HMAC_SCRATCH *state, const uint8_t *data, uint32_t length);
int32_t HmacDone(HMAC_SCRATCH *state, uint8_t *out, uint32_t *outLength);
int32_t HmacMemory(const struct ltc_hash_descriptor *hash, const uint8_t *key, uint32_t keyLength, const uint8_t *data,
                   uint32_t length, uint8_t *out, uint32_t *outLength, HMAC_SCRATCH *state);
