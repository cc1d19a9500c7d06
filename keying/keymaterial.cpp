// Header creation: stretch the pool into key material and password, retry
// weak results, make the salt, seal.
#include "keying/keymaterial.h"

#include <tomcrypt.h>

#include "crypto/ea.h"
#include "crypto/lrw.h"
#include "keying/derivation_paths.h"
#include "keying/key_derivation.h"
#include "keying/prf.h"
#include "keying/vector_wipe.h"
#include "keying/weak_keys.h"

namespace {

constexpr uint32_t PASSWORD_BYTES = 64;
constexpr uint32_t ATTEMPTS = 255;  // one salt byte varied: 255 distinct salts
constexpr uint32_t DERIVATION_SALT = 64;
constexpr uint32_t DERIVATION_SALT_LENGTH = 64;
constexpr uint32_t KEY_MATERIAL = 256;
constexpr uint32_t KEY_MATERIAL_LENGTH = 128;
constexpr uint32_t PASSWORD_CANDIDATE = KEY_MATERIAL + KEY_MATERIAL_LENGTH;
constexpr uint32_t DERIVED_LENGTH = KEY_MATERIAL_LENGTH + PASSWORD_BYTES;
constexpr uint32_t SALT_LENGTH = 64;
// The salt is encrypted at indexes no header or data block ever uses.
constexpr uint64_t SALT_BLOCK_INDEX = 0xFFFFFFFFFFFFFFF8ull;

// Counts the distinct values among length bytes.
uint32_t DistinctValues(const uint8_t *values, uint32_t length, uint8_t *counters) {
    for (uint32_t i = 0; i < 256; ++i) {
        counters[i] = 0;
    }
    for (uint32_t i = 0; i < length; ++i) {
        counters[values[i]] = static_cast<uint8_t>(counters[values[i]] + 1);
    }
    uint32_t distinct = 0;
    for (uint32_t i = 0; i < 256; ++i) {
        if (counters[i] != 0) {
            ++distinct;
        }
    }
    return distinct;
}

// The derivations, the password test and the ciphers (LibTomCrypt's among
// them) keep their locals on the stack: hash states, the last HMAC output,
// key bytes on their way into a schedule. When header creation returns, all
// of it lies in dead stack below the caller's frame, where it would stay for
// the rest of the run. The deepest chain (a cascade's set-up after the
// derivations) uses less than half of this on x86-64, with or without the
// host's sanitizers.
constexpr uint32_t KEY_WORK_STACK_BYTES = 32768;

// Zeroes the stack just below the caller's frame: its own frame is that
// region, and the writes are volatile, so the compiler cannot drop them.
__attribute__((noinline)) void WipeKeyWorkStack() {
    uint8_t area[KEY_WORK_STACK_BYTES];
    volatile uint8_t *const at = area;
    for (uint32_t i = 0; i < KEY_WORK_STACK_BYTES; ++i) {
        at[i] = 0;
    }
}

}  // namespace

int32_t IsWeakPassword(const VOLUME_PASSWORD *password, PASSWORD_TEST_WORKSPACE *workspace) {
    const uint32_t length = password->Length;
    // The record holds at most 64 password bytes; anything longer is not a
    // password this system made, and would overrun the difference bytes.
    if (length == 0 || length > PASSWORD_BYTES) {
        return 1;
    }
    if (DistinctValues(password->Text, length, workspace->Counters) < 10) {
        return 1;
    }
    workspace->DifferenceCount = length - 1;
    for (uint32_t i = 0; i + 1 < length; ++i) {
        workspace->Differences[i] = static_cast<uint8_t>(password->Text[i + 1] - password->Text[i]);
    }
    if (workspace->DifferenceCount == 0) {
        return 1;
    }
    if (DistinctValues(workspace->Differences, workspace->DifferenceCount, workspace->Counters) >= 10) {
        return 0;
    }
    return 1;
}

namespace {

int32_t MakeVolumeHeader(VOLUME_HEADER *header, VOLUME_PASSWORD *password, const ENTROPY_POOL *pool, int32_t prf,
                         int32_t ea, uint32_t iterations, KEY_SCRATCH *scratch) {
    if (!IsValidPrf(prf) || !IsValidEa(ea)) {
        return 0;
    }
    // A pool whose end lies outside its data field was never initialised;
    // reading it would run past the record.
    if (pool->End < pool->Data || pool->End > pool->Data + ENTROPY_POOL_DATA_SIZE) {
        return 0;
    }
    const uint32_t poolLength = static_cast<uint32_t>(pool->End - pool->Data);
    uint8_t *bytes = header->Bytes;

    password->Text[PASSWORD_BYTES] = 0;
    password->Length = PASSWORD_BYTES;

    // The scratch serves in turn as derivation memory, password-test
    // workspace, and the contexts of salt making and sealing.
    PBKDF2_SCRATCH *derivation = reinterpret_cast<PBKDF2_SCRATCH *>(scratch);
    PASSWORD_TEST_WORKSPACE *workspace = reinterpret_cast<PASSWORD_TEST_WORKSPACE *>(scratch);
    for (uint32_t attempt = 1;; ++attempt) {
        if (!DeriveKeyMaterial(bytes + KEY_MATERIAL, DERIVED_LENGTH, pool->Data, poolLength, bytes + DERIVATION_SALT,
                               DERIVATION_SALT_LENGTH, prf, iterations, derivation)) {
            return 0;
        }
        for (uint32_t i = 0; i < PASSWORD_BYTES; ++i) {
            password->Text[i] = bytes[PASSWORD_CANDIDATE + i];
        }
        if (!IsWeakKeyMaterial(bytes + KEY_MATERIAL, ea) && !IsWeakPassword(password, workspace)) {
            break;
        }
        bytes[DERIVATION_SALT] = static_cast<uint8_t>(bytes[DERIVATION_SALT] + 1);
        if (attempt == ATTEMPTS) {
            return 0;
        }
    }

    // Only the key material stays: the old header's remains and the copy of
    // the password go.
    zeromem(bytes, KEY_MATERIAL);
    zeromem(bytes + PASSWORD_CANDIDATE, sizeof(header->Bytes) - PASSWORD_CANDIDATE);

    if (!EaSetup(&scratch->Ea, bytes + KEY_MATERIAL, ea)) {
        return 0;  // nothing keyed, nothing to release
    }
    int32_t salted = LrwSetBlockIndex(&scratch->Ea, SALT_BLOCK_INDEX);
    if (salted) {
        salted = LrwEncrypt(&scratch->Ea, bytes, SALT_LENGTH);
    }
    EaRelease(&scratch->Ea);
    if (!salted) {
        return 0;
    }
    return SealVolumeHeader(header, password->Text, PASSWORD_BYTES, prf, ea, scratch);
}

}  // namespace

int32_t CreateVolumeHeader(VOLUME_HEADER *header, VOLUME_PASSWORD *password, const ENTROPY_POOL *pool, int32_t prf,
                           int32_t ea, uint32_t iterations, KEY_SCRATCH *scratch) {
    const int32_t made = MakeVolumeHeader(header, password, pool, prf, ea, iterations, scratch);
    WipeKeyWorkStack();
    // The registers too, on every path, after the last use of key material:
    // the ciphers' key set-up (the dependency's) leaves pieces of the key
    // schedules in them, which no derivation's own clearing sees. Whole,
    // where the AVX2 path may have run and the system saves the YMM state.
    if ((DerivationPathsInUse() & DERIVATION_PATH_AVX2) != 0) {
        pelmar_keying_wipe::ClearWholeVectorRegisters();
    } else {
        pelmar_keying_wipe::ClearVectorRegisters();
    }
    return made;
}
