// What one boot's key derivation costs on this machine: the boot derives its
// key material once, by PBKDF2 with the chosen hash and iteration count,
// before anything appears on the screen, and the cost grows with the count
// alone. Timed with keying's own derivation code (the same lanes the boot
// takes on this processor).
#pragma once

#include <cstdint>

namespace pelmar_tools {

struct DerivationCost {
    double seconds = 0;
    bool measured = false;  // the whole count timed; otherwise scaled up from a part of it
};

// `prf`: 1 RIPEMD-160, 2 SHA-1, 3 Whirlpool. Counts whose cost, scaled up
// from the hash's default count, lies above `limit` seconds are not run in
// full.
DerivationCost TimeDerivation(int32_t prf, uint32_t iterations, double limit);

}  // namespace pelmar_tools
