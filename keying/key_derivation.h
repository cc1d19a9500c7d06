// The two key derivations of header creation, by PRF identifier, in the
// caller's PBKDF2 working memory. Truth values.
#pragma once

#include <stdint.h>

#include "keying/pbkdf2.h"

// Fills outLength bytes of out. iterations 0 selects the PRF's default count.
int32_t DeriveKeyMaterial(uint8_t *out, uint32_t outLength, const uint8_t *password, uint32_t passwordLength,
                          const uint8_t *salt, uint32_t saltLength, int32_t prf, uint32_t iterations,
                          PBKDF2_SCRATCH *scratch);
// Fills 128 bytes of key; on a weak result raises salt[0] and derives again
// (at most 255 derivations), so the caller keeps the salt that worked.
int32_t DeriveHeaderKey(uint8_t *key, const uint8_t *password, uint32_t passwordLength, uint8_t *salt,
                        uint32_t saltLength, int32_t prf, uint32_t iterations, int32_t ea, PBKDF2_SCRATCH *scratch);
