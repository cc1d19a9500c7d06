// Independent references for the block-encryption tests: libgcrypt's ciphers
// in ECB mode and LRW arithmetic written separately from the product code
// (right-to-left shift-and-add over 64-bit words instead of the product's
// bit-serial Horner walk over bytes).
#pragma once

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace reference {

using Bytes = std::vector<uint8_t>;

inline void InitGcrypt() {
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
}

// One libgcrypt cipher keyed in ECB mode.
class GcryptEcb {
public:
    GcryptEcb(int algorithm, const uint8_t *key, size_t keyLength) {
        InitGcrypt();
        EXPECT_EQ(gcry_cipher_open(&handle_, algorithm, GCRY_CIPHER_MODE_ECB, 0), 0u);
        EXPECT_EQ(gcry_cipher_setkey(handle_, key, keyLength), 0u) << "algorithm " << algorithm;
        blockLength_ = gcry_cipher_get_algo_blklen(algorithm);
    }
    ~GcryptEcb() { gcry_cipher_close(handle_); }
    GcryptEcb(const GcryptEcb &) = delete;
    GcryptEcb &operator=(const GcryptEcb &) = delete;

    void Encrypt(uint8_t *data, size_t length) { EXPECT_EQ(gcry_cipher_encrypt(handle_, data, length, nullptr, 0), 0u); }
    void Decrypt(uint8_t *data, size_t length) { EXPECT_EQ(gcry_cipher_decrypt(handle_, data, length, nullptr, 0), 0u); }
    size_t BlockLength() const { return blockLength_; }

private:
    gcry_cipher_hd_t handle_ = nullptr;
    size_t blockLength_ = 0;
};

inline Bytes RandomBytes(std::mt19937_64 &random, size_t length) {
    Bytes bytes(length);
    for (auto &b : bytes) {
        b = static_cast<uint8_t>(random());
    }
    return bytes;
}

// ---- Field arithmetic, element as big-endian bytes, k-th bit = coefficient of x^k.

struct Element128 {
    uint64_t High = 0, Low = 0;
};

inline Element128 LoadElement128(const uint8_t *bytes) {
    Element128 e;
    for (int i = 0; i < 8; ++i) {
        e.High = (e.High << 8) | bytes[i];
        e.Low = (e.Low << 8) | bytes[8 + i];
    }
    return e;
}

inline void StoreElement128(const Element128 &e, uint8_t *bytes) {
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(e.High >> (56 - 8 * i));
        bytes[8 + i] = static_cast<uint8_t>(e.Low >> (56 - 8 * i));
    }
}

// key * index in GF(2^128) mod x^128 + x^7 + x^2 + x + 1: sum of key * x^k
// over the set bits k of the index, lowest first.
inline Bytes Multiply128(const uint8_t *key, uint64_t index) {
    Element128 addend = LoadElement128(key), product;
    for (int k = 0; k < 64; ++k) {
        if ((index >> k) & 1) {
            product.High ^= addend.High;
            product.Low ^= addend.Low;
        }
        const bool overflow = (addend.High >> 63) != 0;
        addend.High = (addend.High << 1) | (addend.Low >> 63);
        addend.Low <<= 1;
        if (overflow) {
            addend.Low ^= 0x87;
        }
    }
    Bytes out(16);
    StoreElement128(product, out.data());
    return out;
}

// key * index in GF(2^64) mod x^64 + x^4 + x^3 + x + 1.
inline Bytes Multiply64(const uint8_t *key, uint64_t index) {
    uint64_t addend = 0, product = 0;
    for (int i = 0; i < 8; ++i) {
        addend = (addend << 8) | key[i];
    }
    for (int k = 0; k < 64; ++k) {
        if ((index >> k) & 1) {
            product ^= addend;
        }
        addend = (addend << 1) ^ ((addend >> 63) ? 0x1Bu : 0u);
    }
    Bytes out(8);
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(product >> (56 - 8 * i));
    }
    return out;
}

// ---- The eleven EAs, written down from the volume format independently.

struct Stage {
    int Algorithm;       // libgcrypt cipher
    size_t KeyOffset;    // in the 128-byte key area
    size_t KeyLength;
    bool LittleEndianHalves;  // Blowfish of the volume format
};

struct EaReference {
    int Id;
    size_t BlockSize;
    std::vector<Stage> Stages;  // in the order applied on encryption
};

inline const std::vector<EaReference> &AllEas() {
    static const std::vector<EaReference> eas = {
        {1, 16, {{GCRY_CIPHER_AES256, 32, 32, false}}},
        {2, 8, {{GCRY_CIPHER_BLOWFISH, 32, 56, true}}},
        {3, 8, {{GCRY_CIPHER_CAST5, 32, 16, false}}},
        {4, 16, {{GCRY_CIPHER_SERPENT256, 32, 32, false}}},
        {5, 8, {{GCRY_CIPHER_3DES, 32, 24, false}}},
        {6, 16, {{GCRY_CIPHER_TWOFISH, 32, 32, false}}},
        {7, 16, {{GCRY_CIPHER_TWOFISH, 32, 32, false}, {GCRY_CIPHER_AES256, 64, 32, false}}},
        {8, 16,
         {{GCRY_CIPHER_SERPENT256, 32, 32, false},
          {GCRY_CIPHER_TWOFISH, 64, 32, false},
          {GCRY_CIPHER_AES256, 96, 32, false}}},
        {9, 16, {{GCRY_CIPHER_AES256, 32, 32, false}, {GCRY_CIPHER_SERPENT256, 64, 32, false}}},
        {10, 16,
         {{GCRY_CIPHER_AES256, 32, 32, false},
          {GCRY_CIPHER_TWOFISH, 64, 32, false},
          {GCRY_CIPHER_SERPENT256, 96, 32, false}}},
        {11, 16, {{GCRY_CIPHER_SERPENT256, 32, 32, false}, {GCRY_CIPHER_TWOFISH, 64, 32, false}}},
    };
    return eas;
}

inline void ReverseHalves(uint8_t *block) {
    std::swap(block[0], block[3]);
    std::swap(block[1], block[2]);
    std::swap(block[4], block[7]);
    std::swap(block[5], block[6]);
}

// LRW over libgcrypt's ECB ciphers: C = E_n(...E_1(P ^ T)...) ^ T, T = K * I.
inline void LrwEncrypt(const EaReference &ea, const uint8_t *keyArea, uint8_t *buffer, size_t length,
                       uint64_t startIndex) {
    std::vector<std::unique_ptr<GcryptEcb>> ciphers;
    for (const Stage &stage : ea.Stages) {
        ciphers.push_back(std::make_unique<GcryptEcb>(stage.Algorithm, keyArea + stage.KeyOffset, stage.KeyLength));
    }
    uint64_t index = startIndex;
    for (size_t offset = 0; offset < length; offset += ea.BlockSize, ++index) {
        uint8_t *block = buffer + offset;
        const Bytes tweak = ea.BlockSize == 16 ? Multiply128(keyArea, index) : Multiply64(keyArea, index);
        for (size_t i = 0; i < ea.BlockSize; ++i) {
            block[i] ^= tweak[i];
        }
        for (size_t s = 0; s < ciphers.size(); ++s) {
            if (ea.Stages[s].LittleEndianHalves) {
                ReverseHalves(block);
            }
            ciphers[s]->Encrypt(block, ea.BlockSize);
            if (ea.Stages[s].LittleEndianHalves) {
                ReverseHalves(block);
            }
        }
        for (size_t i = 0; i < ea.BlockSize; ++i) {
            block[i] ^= tweak[i];
        }
    }
}

}  // namespace reference
