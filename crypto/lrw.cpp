// LRW encryption over a keyed EA_CONTEXT. The tweak is recomputed for every
// block, bit-serially, with no tables: the buffers are a few hundred bytes.
#include "crypto/lrw.h"

namespace {

constexpr uint8_t GF128_REDUCTION = 0x87;  // x^128 = x^7 + x^2 + x + 1
constexpr uint8_t GF64_REDUCTION = 0x1B;   // x^64 = x^4 + x^3 + x + 1
constexpr size_t INDEX_LENGTH = 8;

// Multiplies the big-endian field element by x. The reduction is masked in
// rather than branched on, as the element is secret.
inline void DoubleElement(uint8_t *element, size_t length, uint8_t reduction) {
    const uint8_t carry = static_cast<uint8_t>(element[0] >> 7);
    for (size_t i = 0; i + 1 < length; ++i) {
        element[i] = static_cast<uint8_t>((element[i] << 1) | (element[i + 1] >> 7));
    }
    element[length - 1] = static_cast<uint8_t>((element[length - 1] << 1) ^ (reduction & (0u - carry)));
}

// tweak = key * index by Horner's rule, most significant index bit first.
// Branches follow the index only, which is public.
void MultiplyByIndex(const uint8_t *key, const uint8_t *blockIndex, uint8_t *tweak, size_t length,
                     uint8_t reduction) {
    for (size_t i = 0; i < length; ++i) {
        tweak[i] = 0;
    }
    bool started = false;
    for (size_t byte = 0; byte < INDEX_LENGTH; ++byte) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool set = ((blockIndex[byte] >> bit) & 1) != 0;
            if (started) {
                DoubleElement(tweak, length, reduction);
            }
            if (set) {
                for (size_t i = 0; i < length; ++i) {
                    tweak[i] ^= key[i];
                }
                started = true;
            }
        }
    }
}

inline void XorBlock(uint8_t *block, const uint8_t *tweak, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        block[i] ^= tweak[i];
    }
}

// Big-endian increment; wraps from 2^64 - 1 to 0.
inline void IncrementBlockIndex(uint8_t *blockIndex) {
    for (size_t i = INDEX_LENGTH; i-- > 0;) {
        if (++blockIndex[i] != 0) {
            break;
        }
    }
}

}  // namespace

void LrwTweak128(const uint8_t key[16], const uint8_t blockIndex[8], uint8_t tweak[16]) {
    MultiplyByIndex(key, blockIndex, tweak, 16, GF128_REDUCTION);
}

void LrwTweak64(const uint8_t key[8], const uint8_t blockIndex[8], uint8_t tweak[8]) {
    MultiplyByIndex(key, blockIndex, tweak, 8, GF64_REDUCTION);
}

int32_t LrwSetBlockIndex(EA_CONTEXT *context, uint64_t index) {
    if (context == nullptr || index == 0) {
        return 0;
    }
    for (size_t i = 0; i < INDEX_LENGTH; ++i) {
        context->BlockIndex[i] = static_cast<uint8_t>(index >> (8 * (INDEX_LENGTH - 1 - i)));
    }
    return 1;
}

int32_t LrwEncrypt(EA_CONTEXT *context, uint8_t *buffer, uint64_t length) {
    const uint32_t blockSize = EaBlockSize(context);
    if (blockSize != 8 && blockSize != 16) {
        return 0;  // unkeyed (or released) context
    }
    // No caller passes a partial block; refusing it keeps the buffer intact
    // instead of leaving a tail in the clear.
    if (length % blockSize != 0) {
        return 0;
    }
    if (length != 0 && buffer == nullptr) {
        return 0;
    }
    // Only 16-byte EAs are cascades; an 8-byte EA uses slot 1 alone.
    const int slots = blockSize == 16 ? 3 : 1;
    for (uint64_t offset = 0; offset < length; offset += blockSize) {
        uint8_t *block = buffer + offset;
        if (blockSize == 16) {
            LrwTweak128(context->LrwKey, context->BlockIndex, context->Tweak);
        } else {
            LrwTweak64(context->LrwKey, context->BlockIndex, context->Tweak);
        }
        XorBlock(block, context->Tweak, blockSize);
        for (int slot = 0; slot < slots && context->Ciphers[slot] != nullptr; ++slot) {
            if (context->Ciphers[slot]->ecb_encrypt(block, block, &context->Schedules[slot].Ltc) != CRYPT_OK) {
                return 0;
            }
        }
        XorBlock(block, context->Tweak, blockSize);
        IncrementBlockIndex(context->BlockIndex);
    }
    return 1;
}
