// The entropy pool: a CRC-32 register whose every step is added into a
// small ring of pool bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

constexpr uint32_t ENTROPY_POOL_DATA_SIZE = 64;

struct ENTROPY_POOL {
    uint8_t *Cursor;  // the data byte the next addition changes
    uint8_t *End;     // just past the last data byte in use
    uint32_t Register;
    uint8_t Data[ENTROPY_POOL_DATA_SIZE];
};
static_assert(offsetof(ENTROPY_POOL, Register) == 2 * sizeof(void *));
static_assert(offsetof(ENTROPY_POOL, Data) == 2 * sizeof(void *) + 4);
