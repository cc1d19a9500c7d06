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

// The standard reflected CRC-32 table for the polynomial 0xEDB88320.
extern const uint32_t CRC_TABLE[256];

// Points the cursor at the first data byte and the end size bytes behind it.
// A size of 0 means the whole 64 bytes; so does any size that is not a
// multiple of 4 or does not fit the data field. Register and data untouched.
void PoolInit(ENTROPY_POOL *pool, uint32_t size);

// Mixes the bytes in: every byte advances the CRC register one step and the
// register's four bytes are added into the next four pool bytes.
void PoolAdd(ENTROPY_POOL *pool, const void *bytes, uint32_t length);

// The standard CRC-32 (initial and final value 0xFFFFFFFF).
uint32_t Crc32(const void *bytes, uint32_t length);
