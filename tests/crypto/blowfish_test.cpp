// The little-endian Blowfish of the volume format next to the standard one.
#include "crypto/tcblowfish.h"

#include <gtest/gtest.h>

#include "crypto/descriptors.h"
#include "tests/crypto/reference.h"

namespace {

using reference::Bytes;

struct Vector {
    Bytes Key, Plaintext, Ciphertext;
};

const std::vector<Vector> kLittleEndianVectors = {
    {Bytes(8, 0x00), Bytes(8, 0x00), {0x45, 0x97, 0xF9, 0x4E, 0x78, 0xDD, 0x98, 0x61}},
    {Bytes(8, 0xFF), Bytes(8, 0xFF), {0xD5, 0x6F, 0x86, 0x51, 0x8A, 0xCB, 0x5E, 0xB8}},
    {{0x30, 0, 0, 0, 0, 0, 0, 0}, {0x00, 0x00, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00},
     {0x9A, 0x6F, 0x85, 0x7D, 0xF2, 0x63, 0x30, 0x61}},
    {{0x30, 0, 0, 0, 0, 0, 0, 0}, {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
     {0x65, 0xC8, 0xA4, 0xE2, 0x5B, 0xF2, 0x2F, 0xCF}},
};

const std::vector<Vector> kStandardVectors = {
    {Bytes(8, 0x00), Bytes(8, 0x00), {0x4E, 0xF9, 0x97, 0x45, 0x61, 0x98, 0xDD, 0x78}},
    {Bytes(8, 0xFF), Bytes(8, 0xFF), {0x51, 0x86, 0x6F, 0xD5, 0xB8, 0x5E, 0xCB, 0x8A}},
    {{0x30, 0, 0, 0, 0, 0, 0, 0}, {0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
     {0x7D, 0x85, 0x6F, 0x9A, 0x61, 0x30, 0x63, 0xF2}},
};

Bytes RunBlock(const ltc_cipher_descriptor &d, bool encrypt, const Bytes &key, const Bytes &in) {
    symmetric_key schedule{};
    EXPECT_EQ(d.setup(key.data(), static_cast<int>(key.size()), 0, &schedule), CRYPT_OK);
    Bytes out(8, 0xEE);
    EXPECT_EQ((encrypt ? d.ecb_encrypt : d.ecb_decrypt)(in.data(), out.data(), &schedule), CRYPT_OK);
    return out;
}

TEST(LittleEndianBlowfish, VectorsBothDirections) {
    for (size_t i = 0; i < kLittleEndianVectors.size(); ++i) {
        const Vector &v = kLittleEndianVectors[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(RunBlock(tcblowfish_desc, true, v.Key, v.Plaintext), v.Ciphertext);
        EXPECT_EQ(RunBlock(tcblowfish_desc, false, v.Key, v.Ciphertext), v.Plaintext);
    }
}

TEST(LittleEndianBlowfish, StandardDescriptorGivesTheStandardVectors) {
    for (size_t i = 0; i < kStandardVectors.size(); ++i) {
        const Vector &v = kStandardVectors[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(RunBlock(blowfish_desc, true, v.Key, v.Plaintext), v.Ciphertext);
        EXPECT_EQ(RunBlock(blowfish_desc, false, v.Key, v.Ciphertext), v.Plaintext);
        // The variant differs from the standard on the same bytes.
        EXPECT_NE(RunBlock(tcblowfish_desc, true, v.Key, v.Plaintext), v.Ciphertext);
    }
    EXPECT_EQ(tcblowfish_desc.test(), CRYPT_OK);
}

TEST(LittleEndianBlowfish, InPlaceEqualsSeparateAndInputIsKept) {
    std::mt19937_64 random(2);
    const Bytes key = reference::RandomBytes(random, 56);
    symmetric_key schedule{};
    ASSERT_EQ(tcblowfish_desc.setup(key.data(), 56, 0, &schedule), CRYPT_OK);
    for (int trial = 0; trial < 32; ++trial) {
        const Bytes plain = reference::RandomBytes(random, 8);
        Bytes input = plain, separate(8), inPlace = plain;
        ASSERT_EQ(LeBlowfishEncrypt(input.data(), separate.data(), &schedule), CRYPT_OK);
        EXPECT_EQ(input, plain);
        ASSERT_EQ(LeBlowfishEncrypt(inPlace.data(), inPlace.data(), &schedule), CRYPT_OK);
        EXPECT_EQ(inPlace, separate);

        Bytes back(8);
        ASSERT_EQ(LeBlowfishDecrypt(separate.data(), back.data(), &schedule), CRYPT_OK);
        EXPECT_EQ(back, plain);
        ASSERT_EQ(LeBlowfishDecrypt(inPlace.data(), inPlace.data(), &schedule), CRYPT_OK);
        EXPECT_EQ(inPlace, plain);
    }
}

TEST(LittleEndianBlowfish, MatchesLibgcryptWithReversedHalves) {
    std::mt19937_64 random(3);
    for (int trial = 0; trial < 32; ++trial) {
        const Bytes key = reference::RandomBytes(random, 56);
        const Bytes plain = reference::RandomBytes(random, 8);
        Bytes expected = plain;
        reference::ReverseHalves(expected.data());
        reference::GcryptEcb standard(GCRY_CIPHER_BLOWFISH, key.data(), key.size());
        standard.Encrypt(expected.data(), 8);
        reference::ReverseHalves(expected.data());
        EXPECT_EQ(RunBlock(tcblowfish_desc, true, key, plain), expected);
    }
}

}  // namespace
