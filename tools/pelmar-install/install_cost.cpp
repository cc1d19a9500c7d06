// Timing the boot's key derivation (see install_cost.h).
#include "tools/pelmar-install/install_cost.h"

#include <chrono>
#include <cstring>

#include "keying/derivation_paths.h"
#include "keying/key_derivation.h"
#include "keying/pbkdf2.h"
#include "keying/prf.h"
#include "keying/this_processor.h"

namespace pelmar_tools {
namespace {

// What the boot derives: 128 bytes of key material and a 64-byte password
// from its 64-byte entropy pool and a 64-byte salt.
constexpr uint32_t kDerived = 192, kPool = 64, kSalt = 64;

double Seconds(int32_t prf, uint32_t count) {
    static PBKDF2_SCRATCH scratch;
    uint8_t pool[kPool], salt[kSalt], out[kDerived];
    for (uint32_t i = 0; i < kPool; ++i) pool[i] = static_cast<uint8_t>(i * 7 + 1);
    std::memset(salt, 0x5A, sizeof salt);
    const auto start = std::chrono::steady_clock::now();
    if (!DeriveKeyMaterial(out, kDerived, pool, kPool, salt, kSalt, prf, count, &scratch)) return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

DerivationCost TimeDerivation(int32_t prf, uint32_t iterations, double limit) {
    UseDerivationPaths(DerivationPathsOfThisProcessor());
    // A part of the default count's size (the PRF table's).
    const struct ltc_hash_descriptor *hash = nullptr;
    uint32_t part = 0;
    if (!SelectPrf(prf, &hash, &part)) return DerivationCost{-1, false};  // not a PRF: no time to give
    DerivationCost cost;
    if (iterations <= part) {
        cost.seconds = Seconds(prf, iterations);
        cost.measured = true;
        return cost;
    }
    // The cost is linear in the count; the best of three parts keeps a
    // moment's disturbance from inflating the estimate.
    double best = Seconds(prf, part);
    for (int i = 0; i < 2; ++i) {
        const double again = Seconds(prf, part);
        if (again >= 0 && again < best) best = again;
    }
    cost.seconds = best * (static_cast<double>(iterations) / part);
    if (best >= 0 && cost.seconds <= limit) {
        cost.seconds = Seconds(prf, iterations);
        cost.measured = true;
    }
    return cost;
}

}  // namespace pelmar_tools
