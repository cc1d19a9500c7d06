// The eleven encryption algorithms: which cipher fills which slot, and the
// keying and release of an EA_CONTEXT. The identifiers, cascade orders and
// key positions are part of the volume format read by the driver.
#include "crypto/ea.h"

#include "crypto/descriptors.h"

const EA_TABLE_ENTRY EA_TABLE[] = {
    {1, "AES"},
    {1, "AES256"},
    {1, "Rijndael"},
    {2, "Blowfish"},
    {3, "CAST5"},
    {4, "Serpent"},
    {5, "Triple DES"},
    {5, "TripleDES"},
    {5, "3DES"},
    {6, "Twofish"},
    {7, "AES-Twofish"},
    {8, "AES-Twofish-Serpent"},
    {9, "Serpent-AES"},
    {10, "Serpent-Twofish-AES"},
    {11, "Twofish-Serpent"},
    {0, nullptr},
};

namespace {

constexpr int32_t FIRST_EA = 1;
constexpr int32_t LAST_EA = 11;
constexpr int CASCADE_KEY_LENGTH = 32;
constexpr size_t KEY_AREA_SLOT_STRIDE = 32;  // slot n keyed from byte 32 * n
constexpr size_t LRW_KEY_LENGTH = 16;

// Slot ciphers in the order they are applied, and the key length of each.
struct EA_LAYOUT {
    const struct ltc_cipher_descriptor *Ciphers[3];
    int KeyLength;
};

constinit const EA_LAYOUT EA_LAYOUTS[LAST_EA] = {
    /* 1 */ {{&aes_desc, nullptr, nullptr}, CASCADE_KEY_LENGTH},
    /* 2 */ {{&tcblowfish_desc, nullptr, nullptr}, 56},  // Blowfish's longest key
    /* 3 */ {{&cast5_desc, nullptr, nullptr}, 16},       // CAST5's longest key
    /* 4 */ {{&serpent_desc, nullptr, nullptr}, CASCADE_KEY_LENGTH},
    /* 5 */ {{&des3_desc, nullptr, nullptr}, 24},        // three DES keys, E(K3, D(K2, E(K1, .)))
    /* 6 */ {{&twofish_desc, nullptr, nullptr}, CASCADE_KEY_LENGTH},
    /* 7 */ {{&twofish_desc, &aes_desc, nullptr}, CASCADE_KEY_LENGTH},
    /* 8 */ {{&serpent_desc, &twofish_desc, &aes_desc}, CASCADE_KEY_LENGTH},
    /* 9 */ {{&aes_desc, &serpent_desc, nullptr}, CASCADE_KEY_LENGTH},
    /* 10 */ {{&aes_desc, &twofish_desc, &serpent_desc}, CASCADE_KEY_LENGTH},
    /* 11 */ {{&serpent_desc, &twofish_desc, nullptr}, CASCADE_KEY_LENGTH},
};

void ReleaseSlots(EA_CONTEXT *context) {
    for (int slot = 0; slot < 3; ++slot) {
        if (context->Ciphers[slot] != nullptr) {
            context->Ciphers[slot]->done(&context->Schedules[slot].Ltc);
        }
    }
}

}  // namespace

int32_t EaSetupCascade(EA_CONTEXT *context, const uint8_t *keyArea,
                       const struct ltc_cipher_descriptor *const ciphers[3], int keyLength) {
    for (int slot = 0; slot < 3 && ciphers[slot] != nullptr; ++slot) {
        const int result = ciphers[slot]->setup(keyArea + KEY_AREA_SLOT_STRIDE * (slot + 1), keyLength, 0,
                                                &context->Schedules[slot].Ltc);
        if (result != CRYPT_OK) {
            // Only slots whose set-up succeeded carry a descriptor, so only
            // those are released; the wipe then removes any partial schedule.
            ReleaseSlots(context);
            zeromem(context, sizeof(*context));
            return 0;
        }
        context->Ciphers[slot] = ciphers[slot];
    }
    for (size_t i = 0; i < LRW_KEY_LENGTH; ++i) {
        context->LrwKey[i] = keyArea[i];
    }
    return 1;
}

int32_t EaSetup(EA_CONTEXT *context, const uint8_t *keyArea, int32_t ea) {
    if (context == nullptr) {
        return 0;
    }
    zeromem(context, sizeof(*context));
    context->BlockIndex[sizeof(context->BlockIndex) - 1] = 1;
    if (ea < FIRST_EA || ea > LAST_EA || keyArea == nullptr) {
        return 0;
    }
    const EA_LAYOUT &layout = EA_LAYOUTS[ea - FIRST_EA];
    return EaSetupCascade(context, keyArea, layout.Ciphers, layout.KeyLength);
}

void EaRelease(EA_CONTEXT *context) {
    if (context == nullptr) {
        return;
    }
    ReleaseSlots(context);
    zeromem(context, sizeof(*context));
}

uint32_t EaBlockSize(const EA_CONTEXT *context) {
    if (context == nullptr || context->Ciphers[0] == nullptr) {
        return 0;
    }
    return static_cast<uint32_t>(context->Ciphers[0]->block_length);
}
