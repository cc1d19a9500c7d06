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
