// The system's own Serpent (128-bit block, 32 rounds, bitslice S-boxes),
// little-endian byte conventions, behind the "serpent" cipher descriptor.
#pragma once

#include <stdint.h>

#include <tomcrypt.h>

// Words 0..7: the padded key; words 8..139: round keys K0..K32.
struct SERPENT_KEY {
    uint32_t Words[140];
};
static_assert(sizeof(SERPENT_KEY) == 560);

// One known-answer record of the self-test: key bytes beyond KeyLength are zero.
struct SERPENT_TEST_VECTOR {
    int32_t KeyLength;
    uint8_t Key[32];
    uint8_t Plaintext[16];
    uint8_t Ciphertext[16];
};
static_assert(sizeof(SERPENT_TEST_VECTOR) == 68);

// The three records the self-test checks, in order.
extern const SERPENT_TEST_VECTOR SERPENT_TEST_VECTORS[3];

// The operations take the dependency's schedule type so that they fit the
// cipher descriptor; the schedule object must be at least a SERPENT_KEY large
// (any symmetric_key and any EA_SCHEDULE slot is).
// Key lengths 0..32 are accepted (shorter keys are padded); anything else
// gives CRYPT_INVALID_KEYSIZE. The rounds argument is ignored.
int SerpentSetup(const unsigned char *key, int keyLength, int rounds, symmetric_key *schedule);
int SerpentEncryptBlock(const unsigned char *input, unsigned char *output, symmetric_key *schedule);
int SerpentDecryptBlock(const unsigned char *input, unsigned char *output, symmetric_key *schedule);

// Checks one record: both directions, then 1000 in-place encryptions and
// decryptions of the zero block. 0 when everything matches, otherwise
// CRYPT_FAIL_TESTVECTOR (or the set-up's error).
int SerpentCheckVector(const SERPENT_TEST_VECTOR *vector);
// All three records of SERPENT_TEST_VECTORS.
int SerpentSelfTest(void);
