// PBKDF2 and HMAC over the dependency's hash descriptors, the two key
// derivations built on them, and the weak-key tests applied to 128 bytes of
// key material. Every byte of working memory is the caller's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <tomcrypt.h>

// PRF identifiers as chosen on the command line.
constexpr int32_t PRF_RIPEMD160 = 1;
constexpr int32_t PRF_SHA1 = 2;
constexpr int32_t PRF_WHIRLPOOL = 3;

struct PRF_TABLE_ENTRY {
    int32_t Id;
    int32_t DefaultIterations;
    const char *Name;
};

// The PRF rows with their aliases, then {0, 0, nullptr}.
extern const PRF_TABLE_ENTRY PRF_TABLE[];

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

// InnerKeyed and OuterKeyed follow the HMAC state: the hash states after
// the inner and the outer padded key, absorbed once per derivation, so that
// each iteration starts from a copy of them instead of hashing the padded
// key again.
//
// LaneU and LaneT carry the output blocks that run at once (up to eight
// chains of five 32-bit words, word w of chain k at 8 w + k; or the bytes
// of two SHA-1 chains): each block's previous HMAC and running
// exclusive-or.
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

// The 64 DES keys (parity bits cleared) that Triple DES must not be given.
extern const uint8_t DES_WEAK_KEYS[64][8];

int32_t IsValidPrf(int32_t prf);

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
int32_t Pbkdf2(const uint8_t *password, uint32_t passwordLength, const uint8_t *salt, uint32_t saltLength,
               uint32_t iterations, const struct ltc_hash_descriptor *hash, uint8_t *out, uint32_t *outLength,
               PBKDF2_SCRATCH *scratch);

// Truth values. iterations 0 selects the PRF's default count.
int32_t DeriveKeyMaterial(uint8_t *out, uint32_t outLength, const uint8_t *password, uint32_t passwordLength,
                          const uint8_t *salt, uint32_t saltLength, int32_t prf, uint32_t iterations,
                          PBKDF2_SCRATCH *scratch);
// Fills 128 bytes of key; on a weak result raises salt[0] and derives again
// (at most 255 derivations), so the caller keeps the salt that worked.
int32_t DeriveHeaderKey(uint8_t *key, const uint8_t *password, uint32_t passwordLength, uint8_t *salt,
                        uint32_t saltLength, int32_t prf, uint32_t iterations, int32_t ea, PBKDF2_SCRATCH *scratch);

// Non-zero when the 128 bytes of key material must not be used with ea.
int32_t IsWeakKeyMaterial(const uint8_t *keyMaterial, int32_t ea);
// key: K1, K2, K3 of 8 bytes each. Non-zero when weak.
int32_t IsWeakTripleDesKey(const uint8_t *key);
