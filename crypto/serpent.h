// The system's own Serpent (128-bit block, 32 rounds, bitslice S-boxes),
// little-endian byte conventions, behind the "serpent" cipher descriptor.
#pragma once

#include <stdint.h>

// Words 0..7: the padded key; words 8..139: round keys K0..K32.
struct SERPENT_KEY {
    uint32_t Words[140];
};
static_assert(sizeof(SERPENT_KEY) == 560);
