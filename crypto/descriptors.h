// The system's own cipher descriptors, in the dependency's record format.
// The dependency's aes_desc, twofish_desc, des3_desc, cast5_desc,
// blowfish_desc and its hash descriptors are referred to directly.
#pragma once

#include <tomcrypt.h>

extern const struct ltc_cipher_descriptor serpent_desc;     // "serpent"
extern const struct ltc_cipher_descriptor tcblowfish_desc;  // "tcblowfish"

// The release operation of our descriptors: the schedules live in caller
// memory that EaRelease wipes, so there is nothing to give back.
void PelmarCipherRelease(symmetric_key *schedule);

// Key-size query of the 16/24/32-byte ciphers: below 16 fails with
// CRYPT_INVALID_KEYSIZE, otherwise rounds down to 16, 24 or 32.
int KeySize16To32(int *keySize);
