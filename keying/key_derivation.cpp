// The two derivations of a run's keys: the master key material and password
// out of the entropy pool, and the header key out of the password and the
// header's salt, the latter retried while its key comes out weak.
#include "keying/key_derivation.h"

#include "keying/prf.h"
#include "keying/weak_keys.h"

int32_t DeriveKeyMaterial(uint8_t *out, uint32_t outLength, const uint8_t *password, uint32_t passwordLength,
                          const uint8_t *salt, uint32_t saltLength, int32_t prf, uint32_t iterations,
                          PBKDF2_SCRATCH *scratch) {
    const struct ltc_hash_descriptor *hash = nullptr;
    uint32_t defaultIterations = 0;
    if (!SelectPrf(prf, &hash, &defaultIterations)) {
        return 0;
    }
    const uint32_t count = iterations != 0 ? iterations : defaultIterations;
    uint32_t produced = outLength;
    if (Pbkdf2(password, passwordLength, salt, saltLength, count, hash, out, &produced, scratch) != CRYPT_OK) {
        return 0;
    }
    return produced == outLength ? 1 : 0;
}

int32_t DeriveHeaderKey(uint8_t *key, const uint8_t *password, uint32_t passwordLength, uint8_t *salt,
                        uint32_t saltLength, int32_t prf, uint32_t iterations, int32_t ea, PBKDF2_SCRATCH *scratch) {
    for (uint32_t derivation = 1;; ++derivation) {
        const struct ltc_hash_descriptor *hash = nullptr;
        uint32_t defaultIterations = 0;
        if (!SelectPrf(prf, &hash, &defaultIterations)) {
            return 0;
        }
        const uint32_t count = iterations != 0 ? iterations : defaultIterations;
        uint32_t produced = 128;
        if (Pbkdf2(password, passwordLength, salt, saltLength, count, hash, key, &produced, scratch) != CRYPT_OK ||
            produced != 128) {
            return 0;
        }
        if (!IsWeakKeyMaterial(key, ea)) {
            return 1;
        }
        if (saltLength == 0) {
            return 0;  // nothing left to vary
        }
        salt[0] = static_cast<uint8_t>(salt[0] + 1);
        if (derivation == 255) {
            return 0;
        }
    }
}

