// The descriptor records and the dependency's edge cases the EAs rely on.
#include "crypto/descriptors.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/ea.h"
#include "crypto/serpent.h"
#include "crypto/tcblowfish.h"

namespace {

void ExpectNoAccelerators(const ltc_cipher_descriptor &d) {
    EXPECT_EQ(d.accel_ecb_encrypt, nullptr);
    EXPECT_EQ(d.accel_ecb_decrypt, nullptr);
    EXPECT_EQ(d.accel_cbc_encrypt, nullptr);
    EXPECT_EQ(d.accel_cbc_decrypt, nullptr);
    EXPECT_EQ(d.accel_ctr_encrypt, nullptr);
    EXPECT_EQ(d.accel_lrw_encrypt, nullptr);
    EXPECT_EQ(d.accel_lrw_decrypt, nullptr);
    EXPECT_EQ(d.accel_ccm_memory, nullptr);
    EXPECT_EQ(d.accel_gcm_memory, nullptr);
    EXPECT_EQ(d.omac_memory, nullptr);
    EXPECT_EQ(d.xcbc_memory, nullptr);
    EXPECT_EQ(d.f9_memory, nullptr);
    EXPECT_EQ(d.accel_xts_encrypt, nullptr);
    EXPECT_EQ(d.accel_xts_decrypt, nullptr);
}

TEST(Descriptors, SerpentRecord) {
    EXPECT_EQ(std::string(serpent_desc.name), "serpent");
    EXPECT_EQ(serpent_desc.ID, 0);
    EXPECT_EQ(serpent_desc.min_key_length, 16);
    EXPECT_EQ(serpent_desc.max_key_length, 32);
    EXPECT_EQ(serpent_desc.block_length, 16);
    EXPECT_EQ(serpent_desc.default_rounds, 32);
    EXPECT_EQ(serpent_desc.setup, &SerpentSetup);
    EXPECT_EQ(serpent_desc.ecb_encrypt, &SerpentEncryptBlock);
    EXPECT_EQ(serpent_desc.ecb_decrypt, &SerpentDecryptBlock);
    EXPECT_EQ(serpent_desc.test, &SerpentSelfTest);
    EXPECT_EQ(serpent_desc.done, &PelmarCipherRelease);
    ExpectNoAccelerators(serpent_desc);
}

TEST(Descriptors, TcBlowfishRecordBorrowsStandardSetupTestAndKeySize) {
    EXPECT_EQ(std::string(tcblowfish_desc.name), "tcblowfish");
    EXPECT_EQ(tcblowfish_desc.ID, 0);
    EXPECT_EQ(tcblowfish_desc.min_key_length, 8);
    EXPECT_EQ(tcblowfish_desc.max_key_length, 56);
    EXPECT_EQ(tcblowfish_desc.block_length, 8);
    EXPECT_EQ(tcblowfish_desc.default_rounds, 16);
    EXPECT_EQ(tcblowfish_desc.setup, blowfish_desc.setup);
    EXPECT_EQ(tcblowfish_desc.ecb_encrypt, &LeBlowfishEncrypt);
    EXPECT_EQ(tcblowfish_desc.ecb_decrypt, &LeBlowfishDecrypt);
    EXPECT_EQ(tcblowfish_desc.test, blowfish_desc.test);
    EXPECT_EQ(tcblowfish_desc.keysize, blowfish_desc.keysize);
    EXPECT_EQ(tcblowfish_desc.done, serpent_desc.done);  // the one shared release
    ExpectNoAccelerators(tcblowfish_desc);
}

TEST(Descriptors, SerpentKeySizeQueryMatchesAesAndTwofish) {
    const struct {
        int In, Out;
    } expected[] = {{16, 16}, {17, 16}, {23, 16}, {24, 24}, {31, 24}, {32, 32}, {33, 32}, {100, 32}};
    for (const auto &e : expected) {
        int size = e.In;
        EXPECT_EQ(serpent_desc.keysize(&size), CRYPT_OK) << e.In;
        EXPECT_EQ(size, e.Out) << e.In;
    }
    for (int wanted = 0; wanted <= 64; ++wanted) {
        int ours = wanted, aes = wanted, twofish = wanted;
        const int result = serpent_desc.keysize(&ours);
        EXPECT_EQ(result, aes_desc.keysize(&aes)) << wanted;
        EXPECT_EQ(result, twofish_desc.keysize(&twofish)) << wanted;
        EXPECT_EQ(result, wanted < 16 ? CRYPT_INVALID_KEYSIZE : CRYPT_OK) << wanted;
        if (result == CRYPT_OK) {
            EXPECT_EQ(ours, aes) << wanted;
        }
    }
}

TEST(Descriptors, TcBlowfishKeySizeQuery) {
    int size = 7;
    EXPECT_EQ(tcblowfish_desc.keysize(&size), CRYPT_INVALID_KEYSIZE);
    size = 57;
    EXPECT_EQ(tcblowfish_desc.keysize(&size), CRYPT_OK);
    EXPECT_EQ(size, 56);
    size = 20;
    EXPECT_EQ(tcblowfish_desc.keysize(&size), CRYPT_OK);
    EXPECT_EQ(size, 20);
}

TEST(Descriptors, DependencySetupRejectsWrongKeyLengthsAndRounds) {
    unsigned char key[64] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    symmetric_key schedule{};
    EXPECT_EQ(aes_desc.setup(key, 20, 0, &schedule), CRYPT_INVALID_KEYSIZE);
    EXPECT_EQ(twofish_desc.setup(key, 20, 0, &schedule), CRYPT_INVALID_KEYSIZE);
    EXPECT_EQ(des3_desc.setup(key, 20, 0, &schedule), CRYPT_INVALID_KEYSIZE);
    EXPECT_EQ(des3_desc.setup(key, 8, 0, &schedule), CRYPT_INVALID_KEYSIZE);
    EXPECT_EQ(cast5_desc.setup(key, 16, 12, &schedule), CRYPT_INVALID_ROUNDS);
    EXPECT_EQ(tcblowfish_desc.setup(key, 57, 0, &schedule), CRYPT_INVALID_KEYSIZE);
    EXPECT_EQ(tcblowfish_desc.setup(key, 56, 12, &schedule), CRYPT_INVALID_ROUNDS);
    // The lengths and rounds the EAs use are accepted.
    EXPECT_EQ(aes_desc.setup(key, 32, 0, &schedule), CRYPT_OK);
    EXPECT_EQ(twofish_desc.setup(key, 32, 0, &schedule), CRYPT_OK);
    EXPECT_EQ(des3_desc.setup(key, 24, 0, &schedule), CRYPT_OK);
    EXPECT_EQ(cast5_desc.setup(key, 16, 0, &schedule), CRYPT_OK);
    EXPECT_EQ(cast5_desc.setup(key, 16, 16, &schedule), CRYPT_OK);
    EXPECT_EQ(tcblowfish_desc.setup(key, 56, 0, &schedule), CRYPT_OK);
    EXPECT_EQ(serpent_desc.setup(key, 32, 0, &schedule), CRYPT_OK);
}

// The linked LibTomCrypt release accepts a 16-byte key as two-key Triple DES
// (K3 = K1) rather than refusing it. EA 5 always passes 24 bytes, so the
// volume format is unaffected; this pins the behaviour we actually link.
TEST(Descriptors, TripleDesSixteenByteKeyIsTwoKeyForm) {
    unsigned char key[24];
    for (int i = 0; i < 16; ++i) {
        key[i] = static_cast<unsigned char>(0x13 * i + 1);
    }
    for (int i = 0; i < 8; ++i) {
        key[16 + i] = key[i];
    }
    symmetric_key twoKey{}, threeKey{};
    ASSERT_EQ(des3_desc.setup(key, 16, 0, &twoKey), CRYPT_OK);
    ASSERT_EQ(des3_desc.setup(key, 24, 0, &threeKey), CRYPT_OK);
    unsigned char a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    des3_desc.ecb_encrypt(a, a, &twoKey);
    des3_desc.ecb_encrypt(b, b, &threeKey);
    EXPECT_EQ(std::memcmp(a, b, 8), 0);
}

TEST(Descriptors, ReleaseChangesNothing) {
    const ltc_cipher_descriptor *all[] = {&aes_desc, &twofish_desc, &serpent_desc, &des3_desc,
                                          &cast5_desc, &tcblowfish_desc, &blowfish_desc};
    unsigned char key[56];
    for (int i = 0; i < 56; ++i) {
        key[i] = static_cast<unsigned char>(0x31 * i + 7);
    }
    for (const ltc_cipher_descriptor *d : all) {
        SCOPED_TRACE(d->name);
        EA_SCHEDULE schedule, copy;
        std::memset(&schedule, 0xA5, sizeof(schedule));
        ASSERT_EQ(d->setup(key, d->max_key_length, 0, &schedule.Ltc), CRYPT_OK);
        std::memcpy(&copy, &schedule, sizeof(schedule));
        d->done(&schedule.Ltc);
        EXPECT_EQ(std::memcmp(&copy, &schedule, sizeof(schedule)), 0);
    }
}

}  // namespace
