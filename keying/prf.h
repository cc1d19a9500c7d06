// The PRFs a derivation may use: their identifiers as the command line
// chooses them, their names, and each one's hash and default iteration count.
#pragma once

#include <stdint.h>

#include <tomcrypt.h>

constexpr int32_t PRF_RIPEMD160 = 1;
constexpr int32_t PRF_SHA1 = 2;
constexpr int32_t PRF_WHIRLPOOL = 3;

struct PRF_TABLE_ENTRY {
    int32_t Id;
    int32_t DefaultIterations;
    const char *Name;
};

// The PRF rows with their aliases, then {0, 0, nullptr}.
extern const PRF_TABLE_ENTRY PRF_TABLE[];

// Non-zero when some row of PRF_TABLE has the id.
int32_t IsValidPrf(int32_t prf);

// The hash descriptor of a known PRF and its default iteration count (the
// table's); zero for an unknown id, which leaves both untouched.
int32_t SelectPrf(int32_t prf, const struct ltc_hash_descriptor **hash, uint32_t *defaultIterations);
