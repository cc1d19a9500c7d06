// Encryption algorithms (EAs): one cipher or a cascade of two or three,
// keyed from a 128-byte key area into a caller-owned EA_CONTEXT.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <tomcrypt.h>

#include "crypto/serpent.h"

// One slot's key schedule: whichever is larger of the dependency's union and
// our own Serpent schedule.
union EA_SCHEDULE {
    symmetric_key Ltc;
    SERPENT_KEY Serpent;
};

struct EA_CONTEXT {
    const struct ltc_cipher_descriptor *Ciphers[3];
    EA_SCHEDULE Schedules[3];
    uint8_t LrwKey[16];
    uint8_t Tweak[16];
    uint8_t BlockIndex[8];  // unsigned 64-bit, most significant byte first
};

static_assert(sizeof(EA_SCHEDULE) >= sizeof(symmetric_key));
static_assert(sizeof(EA_SCHEDULE) >= sizeof(SERPENT_KEY));
static_assert(offsetof(EA_CONTEXT, Schedules) == 3 * sizeof(void *));
static_assert(offsetof(EA_CONTEXT, LrwKey) == 3 * sizeof(void *) + 3 * sizeof(EA_SCHEDULE));
static_assert(offsetof(EA_CONTEXT, Tweak) == offsetof(EA_CONTEXT, LrwKey) + 16);
static_assert(offsetof(EA_CONTEXT, BlockIndex) == offsetof(EA_CONTEXT, Tweak) + 16);
static_assert(sizeof(EA_CONTEXT) == offsetof(EA_CONTEXT, BlockIndex) + 8);
