// Serpent: known answers, key padding, the self-test and a cross-check with
// libgcrypt.
//
// Byte order. Our Serpent reads key and block as little-endian numbers: word
// Xi is bytes 4i..4i+3 with byte 4i least significant, key word i likewise.
// libgcrypt's Serpent loads its words the same way (little-endian 32-bit
// loads of consecutive 4-byte groups, key padded by a 1 bit right above the
// key), so its ECB output on the same memory bytes must equal ours byte for
// byte, with no reversal on either side. The hex strings of the cipher's
// original submission are written most significant byte first, i.e. byte
// reversed; the test below that reverses a whole vector checks that those
// two conventions really are distinguishable, so a byte-order slip in either
// implementation could not pass the cross-check by accident.
#include "crypto/serpent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "crypto/descriptors.h"
#include "crypto/ea.h"
#include "tests/crypto/reference.h"

namespace {

using reference::Bytes;

struct Vector {
    int KeyLength;
    Bytes Key, Plaintext, Ciphertext;
};

Bytes Sequence(int length) {
    Bytes b(length);
    for (int i = 0; i < length; ++i) {
        b[i] = static_cast<uint8_t>(i);
    }
    return b;
}

const Bytes kAscending = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

std::vector<Vector> KnownVectors() {
    return {
        {16,
         {0x2B, 0xD6, 0x45, 0x9F, 0x82, 0xC5, 0xB3, 0x00, 0x95, 0x2C, 0x49, 0x10, 0x48, 0x81, 0xFF, 0x48},
         {0xBE, 0xB6, 0xC0, 0x69, 0x39, 0x38, 0x22, 0xD3, 0xBE, 0x73, 0xFF, 0x30, 0x52, 0x5E, 0xC4, 0x3E},
         {0xEA, 0x02, 0x47, 0x14, 0xAD, 0x5C, 0x4D, 0x84, 0xEA, 0x02, 0x47, 0x14, 0xAD, 0x5C, 0x4D, 0x84}},
        {24,
         Sequence(24),
         {0x45, 0x28, 0xCA, 0xCC, 0xB9, 0x54, 0xD4, 0x50, 0x65, 0x5E, 0x8C, 0xFD, 0x71, 0xCB, 0xFA, 0xC7},
         kAscending},
        {32,
         Sequence(32),
         {0x3D, 0xA4, 0x6F, 0xFA, 0x6F, 0x4D, 0x6F, 0x30, 0xCD, 0x25, 0x83, 0x33, 0xE5, 0xA6, 0x13, 0x69},
         kAscending},
    };
}

struct Schedule {
    EA_SCHEDULE Slot{};
    symmetric_key *Key() { return &Slot.Ltc; }
};

Bytes Encrypt(Schedule &s, const Bytes &in) {
    Bytes out(16);
    EXPECT_EQ(SerpentEncryptBlock(in.data(), out.data(), s.Key()), CRYPT_OK);
    return out;
}

Bytes Decrypt(Schedule &s, const Bytes &in) {
    Bytes out(16);
    EXPECT_EQ(SerpentDecryptBlock(in.data(), out.data(), s.Key()), CRYPT_OK);
    return out;
}

SERPENT_TEST_VECTOR ToRecord(const Vector &v) {
    SERPENT_TEST_VECTOR r{};
    r.KeyLength = v.KeyLength;
    std::copy(v.Key.begin(), v.Key.end(), r.Key);
    std::copy(v.Plaintext.begin(), v.Plaintext.end(), r.Plaintext);
    std::copy(v.Ciphertext.begin(), v.Ciphertext.end(), r.Ciphertext);
    return r;
}

TEST(Serpent, KnownVectorsBothDirectionsAndInPlace) {
    for (const Vector &v : KnownVectors()) {
        SCOPED_TRACE(v.KeyLength);
        Schedule s;
        ASSERT_EQ(SerpentSetup(v.Key.data(), v.KeyLength, 0, s.Key()), CRYPT_OK);
        EXPECT_EQ(Encrypt(s, v.Plaintext), v.Ciphertext);
        EXPECT_EQ(Decrypt(s, v.Ciphertext), v.Plaintext);
        Bytes block = v.Plaintext;
        SerpentEncryptBlock(block.data(), block.data(), s.Key());
        EXPECT_EQ(block, v.Ciphertext);
        SerpentDecryptBlock(block.data(), block.data(), s.Key());
        EXPECT_EQ(block, v.Plaintext);
    }
}

TEST(Serpent, SelfTestTableHoldsTheKnownVectors) {
    const auto vectors = KnownVectors();
    for (size_t i = 0; i < vectors.size(); ++i) {
        const SERPENT_TEST_VECTOR expected = ToRecord(vectors[i]);
        EXPECT_EQ(std::memcmp(&SERPENT_TEST_VECTORS[i], &expected, sizeof(expected)), 0) << i;
    }
    EXPECT_EQ(SerpentSelfTest(), CRYPT_OK);
    EXPECT_EQ(serpent_desc.test(), CRYPT_OK);
}

TEST(Serpent, CheckVectorReportsMismatch) {
    for (const Vector &v : KnownVectors()) {
        SERPENT_TEST_VECTOR record = ToRecord(v);
        EXPECT_EQ(SerpentCheckVector(&record), CRYPT_OK);
        record.Ciphertext[15] ^= 0x01;
        EXPECT_EQ(SerpentCheckVector(&record), CRYPT_FAIL_TESTVECTOR);
    }
    SERPENT_TEST_VECTOR tooLong = ToRecord(KnownVectors()[2]);
    tooLong.KeyLength = 33;
    EXPECT_EQ(SerpentCheckVector(&tooLong), CRYPT_INVALID_KEYSIZE);
}

TEST(Serpent, ByteReversedVectorsDoNotVerify) {
    for (const Vector &v : KnownVectors()) {
        SERPENT_TEST_VECTOR record = ToRecord(v);
        std::reverse(record.Key, record.Key + v.KeyLength);
        std::reverse(record.Plaintext, record.Plaintext + 16);
        std::reverse(record.Ciphertext, record.Ciphertext + 16);
        EXPECT_EQ(SerpentCheckVector(&record), CRYPT_FAIL_TESTVECTOR) << v.KeyLength;
    }
}

TEST(Serpent, ShortKeyIsPaddedWithOneBitAboveIt) {
    std::mt19937_64 random(20);
    const Bytes key20 = reference::RandomBytes(random, 20);
    Bytes key32 = key20;
    key32.push_back(0x01);
    key32.resize(32, 0x00);
    Schedule shortKey, fullKey;
    ASSERT_EQ(SerpentSetup(key20.data(), 20, 0, shortKey.Key()), CRYPT_OK);
    ASSERT_EQ(SerpentSetup(key32.data(), 32, 0, fullKey.Key()), CRYPT_OK);
    EXPECT_EQ(std::memcmp(&shortKey.Slot.Serpent, &fullKey.Slot.Serpent, sizeof(SERPENT_KEY)), 0);
    const Bytes block = reference::RandomBytes(random, 16);
    EXPECT_EQ(Encrypt(shortKey, block), Encrypt(fullKey, block));

    // Key words are little-endian; the padding byte sits at position keyLength.
    EXPECT_EQ(shortKey.Slot.Serpent.Words[5], 0x00000001u);
    EXPECT_EQ(shortKey.Slot.Serpent.Words[0],
              key20[0] | (key20[1] << 8) | (key20[2] << 16) | (uint32_t(key20[3]) << 24));
    Schedule odd;
    const Bytes key17 = reference::RandomBytes(random, 17);
    ASSERT_EQ(SerpentSetup(key17.data(), 17, 0, odd.Key()), CRYPT_OK);
    EXPECT_EQ(odd.Slot.Serpent.Words[4], key17[16] | 0x0100u);
    for (int i = 5; i < 8; ++i) {
        EXPECT_EQ(odd.Slot.Serpent.Words[i], 0u);
    }
}

TEST(Serpent, FullKeyGetsNoPadding) {
    const Bytes key(32, 0xFF);
    Schedule s;
    ASSERT_EQ(SerpentSetup(key.data(), 32, 0, s.Key()), CRYPT_OK);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(s.Slot.Serpent.Words[i], 0xFFFFFFFFu);
    }
    // A 31-byte prefix with explicit padding is a different key.
    Schedule padded;
    ASSERT_EQ(SerpentSetup(key.data(), 31, 0, padded.Key()), CRYPT_OK);
    EXPECT_EQ(padded.Slot.Serpent.Words[7], 0x01FFFFFFu);
}

TEST(Serpent, KeyLongerThanThirtyTwoBytesIsRejected) {
    const Bytes key(40, 0x5A);
    Schedule s;
    EXPECT_EQ(SerpentSetup(key.data(), 33, 0, s.Key()), CRYPT_INVALID_KEYSIZE);
    EXPECT_EQ(SerpentSetup(key.data(), -1, 0, s.Key()), CRYPT_INVALID_KEYSIZE);
    EXPECT_EQ(serpent_desc.setup(key.data(), 32, 0, s.Key()), CRYPT_OK);
}

TEST(Serpent, ThousandFoldRoundTripOfZeroBlock) {
    for (const Vector &v : KnownVectors()) {
        Schedule s;
        ASSERT_EQ(SerpentSetup(v.Key.data(), v.KeyLength, 0, s.Key()), CRYPT_OK);
        Bytes block(16, 0);
        for (int i = 0; i < 1000; ++i) {
            SerpentEncryptBlock(block.data(), block.data(), s.Key());
        }
        EXPECT_NE(block, Bytes(16, 0));
        for (int i = 0; i < 1000; ++i) {
            SerpentDecryptBlock(block.data(), block.data(), s.Key());
        }
        EXPECT_EQ(block, Bytes(16, 0));
    }
}

TEST(Serpent, MatchesLibgcryptForAllKeyLengths) {
    std::mt19937_64 random(4);
    const struct {
        int KeyLength, Algorithm;
    } cases[] = {{16, GCRY_CIPHER_SERPENT128}, {24, GCRY_CIPHER_SERPENT192}, {32, GCRY_CIPHER_SERPENT256}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.KeyLength);
        for (int trial = 0; trial < 64; ++trial) {
            const Bytes key = reference::RandomBytes(random, c.KeyLength);
            Bytes blocks = reference::RandomBytes(random, 16 * 8);
            Schedule s;
            ASSERT_EQ(SerpentSetup(key.data(), c.KeyLength, 0, s.Key()), CRYPT_OK);
            Bytes ours = blocks;
            for (size_t off = 0; off < ours.size(); off += 16) {
                SerpentEncryptBlock(ours.data() + off, ours.data() + off, s.Key());
            }
            reference::GcryptEcb theirs(c.Algorithm, key.data(), key.size());
            Bytes expected = blocks;
            theirs.Encrypt(expected.data(), expected.size());
            ASSERT_EQ(ours, expected);
            for (size_t off = 0; off < ours.size(); off += 16) {
                SerpentDecryptBlock(ours.data() + off, ours.data() + off, s.Key());
            }
            ASSERT_EQ(ours, blocks);
        }
    }
}

TEST(Serpent, LibgcryptDisagreesWithByteReversedConvention) {
    // Had either side used most-significant-first bytes, feeding libgcrypt
    // reversed key and block would reproduce our output; it must not.
    const Vector v = KnownVectors()[2];
    Bytes key = v.Key, block = v.Plaintext;
    std::reverse(key.begin(), key.end());
    std::reverse(block.begin(), block.end());
    reference::GcryptEcb theirs(GCRY_CIPHER_SERPENT256, key.data(), key.size());
    theirs.Encrypt(block.data(), block.size());
    std::reverse(block.begin(), block.end());
    EXPECT_NE(block, v.Ciphertext);
}

}  // namespace
