// The system's own cipher descriptors. They are constant records of the
// dependency's descriptor type, reached by reference only (no registration),
// so every accelerator entry stays empty and the record is constant-initialised.
#include "crypto/descriptors.h"

#include "crypto/serpent.h"
#include "crypto/tcblowfish.h"

void PelmarCipherRelease(symmetric_key *schedule) {
    (void)schedule;
}

int KeySize16To32(int *keySize) {
    if (keySize == nullptr || *keySize < 16) {
        return CRYPT_INVALID_KEYSIZE;
    }
    if (*keySize < 24) {
        *keySize = 16;
    } else if (*keySize < 32) {
        *keySize = 24;
    } else {
        *keySize = 32;
    }
    return CRYPT_OK;
}

// Only the leading fields are given; the rest are value-initialised, which
// leaves every accelerator entry (however many the dependency defines) null.
// Naming them one by one would tie these records to one release of the
// dependency, so the missing-initialiser warning is silenced for them alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
constinit const struct ltc_cipher_descriptor serpent_desc = {
    .name = "serpent",
    .ID = 0,
    .min_key_length = 16,
    .max_key_length = 32,
    .block_length = 16,
    .default_rounds = 32,
    .setup = SerpentSetup,
    .ecb_encrypt = SerpentEncryptBlock,
    .ecb_decrypt = SerpentDecryptBlock,
    .test = SerpentSelfTest,
    .done = PelmarCipherRelease,
    .keysize = KeySize16To32,
};

// Set-up, self-test and key-size query are the standard Blowfish ones: one
// schedule serves both byte orders.
constinit const struct ltc_cipher_descriptor tcblowfish_desc = {
    .name = "tcblowfish",
    .ID = 0,
    .min_key_length = 8,
    .max_key_length = 56,
    .block_length = 8,
    .default_rounds = 16,
    .setup = blowfish_setup,
    .ecb_encrypt = LeBlowfishEncrypt,
    .ecb_decrypt = LeBlowfishDecrypt,
    .test = blowfish_test,
    .done = PelmarCipherRelease,
    .keysize = blowfish_keysize,
};
#pragma GCC diagnostic pop
