// LRW mode over a keyed EA_CONTEXT: C = E(P ^ T) ^ T with T = LrwKey * index
// in GF(2^128) (16-byte blocks) or GF(2^64) (8-byte blocks). A cascade is one
// block cipher inside a single LRW layer. Encryption only.
#pragma once

#include <stdint.h>

#include "crypto/ea.h"

// Stores a non-zero index, most significant byte first; 0 is refused.
int32_t LrwSetBlockIndex(EA_CONTEXT *context, uint64_t index);
// Encrypts the buffer in place from BlockIndex on, advancing it per block.
// Refused (0, buffer untouched) for an unkeyed context or a length that is
// not a multiple of the block size.
int32_t LrwEncrypt(EA_CONTEXT *context, uint8_t *buffer, uint64_t length);

// tweak = key * blockIndex (big-endian byte strings), bit-serially.
void LrwTweak128(const uint8_t key[16], const uint8_t blockIndex[8], uint8_t tweak[16]);
void LrwTweak64(const uint8_t key[8], const uint8_t blockIndex[8], uint8_t tweak[8]);
