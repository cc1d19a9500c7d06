// The weak-key tests both derivations' callers apply to 128 bytes of key
// material: an LRW key that makes every tweak zero, and the Triple DES keys
// that collapse into a single DES or into a weak one.
#pragma once

#include <stdint.h>

// The 64 DES keys (parity bits cleared) that Triple DES must not be given.
extern const uint8_t DES_WEAK_KEYS[64][8];

// Non-zero when the 128 bytes of key material must not be used with ea.
int32_t IsWeakKeyMaterial(const uint8_t *keyMaterial, int32_t ea);
// key: K1, K2, K3 of 8 bytes each. Non-zero when weak.
int32_t IsWeakTripleDesKey(const uint8_t *key);
