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

// One row of the EA table: several rows may carry one identifier (aliases).
struct EA_TABLE_ENTRY {
    int32_t Id;
    const char *Name;
};

// The rows of all EAs, aliases included, ended by {0, nullptr}. A cascade's
// name lists its ciphers from the last applied to the first applied.
extern const EA_TABLE_ENTRY EA_TABLE[];

// Keys the context for EA 1..11 from a 128-byte key area (bytes 0..15 the
// tweak key, cipher keys at 32, 64 and 96). The context is zero-filled first
// and BlockIndex set to 1; on any failure it holds nothing to release.
int32_t EaSetup(EA_CONTEXT *context, const uint8_t *keyArea, int32_t ea);

// Slot set-up shared by every EA: keys the slots from 1 upwards with the
// given descriptors (null ends the cascade) and key length, then copies the
// tweak key. On a failed set-up the keyed slots are released in order and
// the whole context is wiped. Expects a context that EaSetup has just blanked.
int32_t EaSetupCascade(EA_CONTEXT *context, const uint8_t *keyArea,
                       const struct ltc_cipher_descriptor *const ciphers[3], int keyLength);

// Releases every keyed slot and wipes the whole context.
void EaRelease(EA_CONTEXT *context);

// Block length of the slot-1 cipher (8 or 16); 0 if the context is unkeyed.
uint32_t EaBlockSize(const EA_CONTEXT *context);
