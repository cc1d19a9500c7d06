// The 512-byte volume header the driver reads, the password record and the
// working area of header creation.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "crypto/ea.h"

struct VOLUME_HEADER {
    uint8_t Bytes[512];
};
static_assert(sizeof(VOLUME_HEADER) == 512);

// 32-bit length followed directly, without padding, by 64 bytes and a NUL.
struct VOLUME_PASSWORD {
    uint32_t Length;
    uint8_t Text[65];
};
static_assert(offsetof(VOLUME_PASSWORD, Text) == 4);
static_assert(sizeof(VOLUME_PASSWORD) == 72);  // 69 bytes, padded to its 4-byte alignment

struct KEY_SCRATCH {
    EA_CONTEXT Ea;
    uint8_t Key[128];
};
static_assert(offsetof(KEY_SCRATCH, Key) == sizeof(EA_CONTEXT));

// Completes a header that holds the salt at 0..63, zeros at 64..255, the
// master key material at 256..383 and zeros at 384..511: derives the header
// key (default count; a weak key raises salt byte 0 and derives again), fills
// the fixed fields and the CRC-32, and encrypts bytes 64..511 in LRW mode from
// block index 1. Truth value; on failure the buffer must not be written out.
int32_t SealVolumeHeader(VOLUME_HEADER *header, const uint8_t *passwordText, uint32_t passwordLength, int32_t prf,
                         int32_t ea, KEY_SCRATCH *scratch);

// Non-zero when ea is an id of the encryption-algorithm table.
int32_t IsValidEa(int32_t ea);
