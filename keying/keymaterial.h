// Once per run: new master key material and a new 64-byte password stretched
// out of the entropy pool, a new salt, and a sealed volume header.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "keying/pool.h"
#include "keying/volume_header.h"

// The password test's working memory, laid over the start of KEY_SCRATCH.
struct PASSWORD_TEST_WORKSPACE {
    uint8_t Counters[256];  // one per byte value
    uint32_t DifferenceCount;
    uint8_t Differences[63];
};
static_assert(offsetof(PASSWORD_TEST_WORKSPACE, DifferenceCount) == 256);
static_assert(offsetof(PASSWORD_TEST_WORKSPACE, Differences) == 260);
static_assert(sizeof(PASSWORD_TEST_WORKSPACE) <= sizeof(KEY_SCRATCH));

// header: the container's current first 512 bytes in, the sealed header out.
// password: out, always 64 bytes. iterations: count of the key-material
// derivation only (0: the PRF's default). Truth value; after a failure
// neither header nor password may be used.
int32_t CreateVolumeHeader(VOLUME_HEADER *header, VOLUME_PASSWORD *password, const ENTROPY_POOL *pool, int32_t prf,
                           int32_t ea, uint32_t iterations, KEY_SCRATCH *scratch);

// Non-zero when the password is rejected: fewer than ten distinct byte
// values, or fewer than ten distinct differences between neighbours.
int32_t IsWeakPassword(const VOLUME_PASSWORD *password, PASSWORD_TEST_WORKSPACE *workspace);
