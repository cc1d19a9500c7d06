// PBKDF2 and HMAC against libgcrypt and the published PBKDF2-HMAC-SHA-1
// vectors; the derivation operations' defaults and refusals.
#include <cstring>
#include <string>

#include "keying/key_derivation.h"
#include "keying/pbkdf2.h"
#include "keying/prf.h"
#include "keying/x86/path_kernels.h"
#include "tests/keying/reference.h"

namespace {

using keying_test::Bytes;
using keying_test::kHashes;

// SHA-1 once more, behind a descriptor whose done operation only forwards
// to LibTomCrypt's: PBKDF2 serves it through the descriptor's operations, so
// the PBKDF2 tables cover SHA-1 both with and without the SHA extensions.
int ForwardSha1Done(hash_state *md, unsigned char *out) { return sha1_done(md, out); }
const ltc_hash_descriptor kSha1ThroughDescriptor = [] {
    ltc_hash_descriptor copy = sha1_desc;
    copy.done = &ForwardSha1Done;
    return copy;
}();
const keying_test::HashCase kPbkdf2Paths[] = {
    kHashes[0], kHashes[1], kHashes[2], {2, &kSha1ThroughDescriptor, GCRY_MD_SHA1, GCRY_MAC_HMAC_SHA1, 20, 2000}};

Bytes OurPbkdf2(const struct ltc_hash_descriptor *hash, std::span<const uint8_t> password,
                std::span<const uint8_t> salt, uint32_t count, uint32_t length, int32_t *code = nullptr) {
    PBKDF2_SCRATCH scratch{};
    Bytes out(length + 1, 0xA5);
    uint32_t produced = length;
    const int32_t err = Pbkdf2(password.data(), static_cast<uint32_t>(password.size()), salt.data(),
                               static_cast<uint32_t>(salt.size()), count, hash, out.data(), &produced, &scratch);
    if (code != nullptr) *code = err;
    EXPECT_EQ(out[length], 0xA5) << "wrote past the requested length";
    if (err == 0) {
        EXPECT_EQ(produced, length);
    }
    out.resize(length);
    return out;
}

Bytes FromHex(const std::string &hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

TEST(Pbkdf2, AgreesWithLibgcryptOverRandomInputs) {
    std::mt19937 rng(20240611);
    for (const auto &hash : kPbkdf2Paths) {
        for (int round = 0; round < 12; ++round) {
            const Bytes password = keying_test::RandomBytes(rng, keying_test::RandomIn(rng, 1, 200));
            const Bytes salt = keying_test::RandomBytes(rng, keying_test::RandomIn(rng, 1, 100));
            // Mostly short counts, a few long ones, so the whole stays quick.
            const uint32_t count = round % 4 == 0 ? keying_test::RandomIn(rng, 1000, 3000)
                                                  : keying_test::RandomIn(rng, 1, 120);
            const uint32_t length = keying_test::RandomIn(rng, 1, 300);
            EXPECT_EQ(OurPbkdf2(hash.ltc, password, salt, count, length),
                      keying_test::GcryPbkdf2(hash.gcryMd, password, salt, count, length))
                << "prf " << hash.prf << " password " << password.size() << " salt " << salt.size() << " count "
                << count << " length " << length;
        }
    }
}

// Every derivation path, for every count of output blocks from 1 to 16
// (whole lanes, part of a lane, more than one batch), agrees with libgcrypt.
class Pbkdf2Path : public keying_test::OnEveryPath {};
INSTANTIATE_ON_EVERY_PATH(Pbkdf2Path);

TEST_P(Pbkdf2Path, AgreesWithLibgcryptForOneToSixteenBlocks) {
    std::mt19937 rng(1616);
    for (const auto &hash : kHashes) {
        const Bytes password = keying_test::RandomBytes(rng, 64), salt = keying_test::RandomBytes(rng, 64);
        for (uint32_t blocks = 1; blocks <= 16; ++blocks) {
            const uint32_t length = blocks * hash.digest - (blocks % 3 == 0 ? 7 : 0), count = 3 + blocks % 4;
            EXPECT_EQ(OurPbkdf2(hash.ltc, password, salt, count, length),
                      keying_test::GcryPbkdf2(hash.gcryMd, password, salt, count, length))
                << "prf " << hash.prf << " blocks " << blocks;
        }
    }
}

// libgcrypt's PBKDF2 refuses an empty salt; its HMAC is the reference then.
TEST(Pbkdf2, EmptySaltAgreesWithHmacReference) {
    std::mt19937 rng(99);
    for (const auto &hash : kPbkdf2Paths) {
        const Bytes password = keying_test::RandomBytes(rng, 77);
        const Bytes noSalt(1, 0);
        const std::span<const uint8_t> empty(noSalt.data(), 0);
        EXPECT_EQ(OurPbkdf2(hash.ltc, password, empty, 9, 150), keying_test::HmacPbkdf2(hash.gcryMac, password, empty, 9, 150));
    }
}

TEST(Pbkdf2, Rfc6070Sha1Vectors) {
    struct Vector {
        std::string password, salt;
        uint32_t count;
        std::string hex;
    };
    const Vector vectors[] = {
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
    };
    // The 16,777,216-iteration vector is left out: it takes minutes.
    for (const auto &v : vectors) {
        const Bytes expected = FromHex(v.hex);
        EXPECT_EQ(OurPbkdf2(&sha1_desc, Text(v.password), Text(v.salt), v.count, static_cast<uint32_t>(expected.size())),
                  expected)
            << v.password << " / " << v.count;
    }
}

// LibTomCrypt compresses a full block on an empty buffer straight away.
TEST(Pbkdf2, Sha1ExtensionsCompressLikeLibTomCryptOnRandomBlocks) {
    if (!(DerivationPathsOfThisProcessor() & DERIVATION_PATH_SHA_EXTENSIONS))
        GTEST_SKIP() << "this processor has no SHA extensions";
    std::mt19937 rng(17);
    for (int round = 0; round < 2000; ++round) {
        hash_state md;
        sha1_init(&md);
        for (auto &word : md.sha1.state) word = static_cast<uint32_t>(rng());
        uint32_t ours[5];
        std::memcpy(ours, md.sha1.state, sizeof ours);
        const Bytes block = keying_test::RandomBytes(rng, 64);
        ASSERT_EQ(sha1_process(&md, block.data(), 64), CRYPT_OK);
        Sha1CompressShaExtensions(ours, block.data());
        ASSERT_EQ(std::memcmp(ours, md.sha1.state, sizeof ours), 0) << "round " << round;
    }
}

TEST(Pbkdf2, CountZeroBehavesLikeOne) {
    const Bytes password = Text("pelmar"), salt = Text("salt");
    for (const auto &hash : kPbkdf2Paths) {
        const Bytes one = OurPbkdf2(hash.ltc, password, salt, 1, 100);
        EXPECT_EQ(OurPbkdf2(hash.ltc, password, salt, 0, 100), one);
        EXPECT_NE(OurPbkdf2(hash.ltc, password, salt, 2, 100), one);
    }
}

TEST(Pbkdf2, EmptyPasswordIsCode3AndLeavesLengthAlone) {
    PBKDF2_SCRATCH scratch{};
    uint8_t out[40];
    std::memset(out, 0x5A, sizeof out);
    const uint8_t salt[4] = {1, 2, 3, 4};
    for (const auto &hash : kPbkdf2Paths) {
        uint32_t length = 40;
        EXPECT_EQ(Pbkdf2(salt, 0, salt, 4, 10, hash.ltc, out, &length, &scratch), CRYPT_INVALID_KEYSIZE);
        EXPECT_EQ(length, 40u);
        for (uint8_t b : out) EXPECT_EQ(b, 0x5A);
        EXPECT_EQ(DeriveKeyMaterial(out, 40, salt, 0, salt, 4, hash.prf, 1, &scratch), 0);
        uint8_t key[128], headerSalt[64] = {};
        EXPECT_EQ(DeriveHeaderKey(key, salt, 0, headerSalt, 64, hash.prf, 1, 1, &scratch), 0);
    }
}

TEST(Pbkdf2, ZeroLengthProducesNothingAndSucceeds) {
    PBKDF2_SCRATCH scratch{};
    uint8_t out[4] = {9, 9, 9, 9};
    uint32_t length = 0;
    const uint8_t password[3] = {1, 2, 3};
    EXPECT_EQ(Pbkdf2(password, 3, password, 3, 5, &sha1_desc, out, &length, &scratch), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(out[0], 9);
}

TEST(Pbkdf2, LongerOutputExtendsShorterOne) {
    std::mt19937 rng(7);
    const Bytes password = keying_test::RandomBytes(rng, 64), salt = keying_test::RandomBytes(rng, 64);
    for (const auto &hash : kPbkdf2Paths) {
        const Bytes longer = OurPbkdf2(hash.ltc, password, salt, 3, 192);
        EXPECT_EQ(OurPbkdf2(hash.ltc, password, salt, 3, 128), keying_test::Slice(longer, 0, 128));
    }
}

TEST(Derivation, IterationCountZeroMeansThePrfDefault) {
    std::mt19937 rng(11);
    const Bytes password = keying_test::RandomBytes(rng, 64);
    const Bytes salt = keying_test::RandomBytes(rng, 64);
    for (const auto &hash : kHashes) {
        PBKDF2_SCRATCH scratch{};
        uint8_t material[48];
        ASSERT_EQ(DeriveKeyMaterial(material, sizeof material, password.data(), 64, salt.data(), 64, hash.prf, 0,
                                    &scratch),
                  1);
        EXPECT_EQ(Bytes(material, material + 48),
                  keying_test::GcryPbkdf2(hash.gcryMd, password, salt, hash.defaultIterations, 48));

        uint8_t key[128];
        Bytes headerSalt = salt;
        ASSERT_EQ(DeriveHeaderKey(key, password.data(), 64, headerSalt.data(), 64, hash.prf, 0, 1, &scratch), 1);
        EXPECT_EQ(headerSalt, salt);
        EXPECT_EQ(Bytes(key, key + 128),
                  keying_test::GcryPbkdf2(hash.gcryMd, password, salt, hash.defaultIterations, 128));
        // A given count is used as it is.
        ASSERT_EQ(DeriveHeaderKey(key, password.data(), 64, headerSalt.data(), 64, hash.prf, 3, 1, &scratch), 1);
        EXPECT_EQ(Bytes(key, key + 128), keying_test::GcryPbkdf2(hash.gcryMd, password, salt, 3, 128));
    }
}

TEST(Derivation, UnknownPrfIsRefusedWithoutTouchingOutput) {
    EXPECT_EQ(IsValidPrf(1), 1);
    EXPECT_EQ(IsValidPrf(2), 1);
    EXPECT_EQ(IsValidPrf(3), 1);
    for (int32_t prf : {0, 4, -1, 12}) {
        EXPECT_EQ(IsValidPrf(prf), 0) << prf;
        PBKDF2_SCRATCH scratch{};
        uint8_t out[128], salt[64];
        std::memset(out, 0xC3, sizeof out);
        std::memset(salt, 0x11, sizeof salt);
        const uint8_t password[64] = {1};
        EXPECT_EQ(DeriveKeyMaterial(out, 128, password, 64, salt, 64, prf, 1, &scratch), 0);
        EXPECT_EQ(DeriveHeaderKey(out, password, 64, salt, 64, prf, 1, 1, &scratch), 0);
        for (uint8_t b : out) ASSERT_EQ(b, 0xC3);
        for (uint8_t b : salt) ASSERT_EQ(b, 0x11);
    }
}

TEST(Hmac, AgreesWithLibgcryptForEveryHashAndKeyLength) {
    std::mt19937 rng(3);
    for (const auto &hash : kHashes) {
        for (uint32_t keyLength : {1u, 19u, 20u, 63u, 64u, 65u, 128u, 129u, 200u}) {
            for (uint32_t dataLength : {0u, 1u, 63u, 64u, 65u, 1000u}) {
                const Bytes key = keying_test::RandomBytes(rng, keyLength);
                const Bytes data = keying_test::RandomBytes(rng, dataLength);
                const Bytes expected = keying_test::GcryHmac(hash.gcryMac, key, data);

                HMAC_SCRATCH state{};
                uint8_t out[128];
                uint32_t length = sizeof out;
                ASSERT_EQ(HmacMemory(hash.ltc, key.data(), keyLength, data.data(), dataLength, out, &length, &state), 0);
                ASSERT_EQ(length, hash.digest);
                EXPECT_EQ(Bytes(out, out + length), expected) << hash.prf << " key " << keyLength << " data " << dataLength;

                // The same through init, two pieces, done.
                const uint32_t half = dataLength / 2;
                ASSERT_EQ(HmacInit(&state, hash.ltc, key.data(), keyLength), 0);
                ASSERT_EQ(HmacProcess(&state, data.data(), half), 0);
                ASSERT_EQ(HmacProcess(&state, data.data() + half, dataLength - half), 0);
                length = sizeof out;
                ASSERT_EQ(HmacDone(&state, out, &length), 0);
                EXPECT_EQ(Bytes(out, out + length), expected);
            }
        }
    }
}

TEST(Hmac, OnlyKeysLongerThanTheBlockAreHashedFirst) {
    std::mt19937 rng(5);
    for (const auto &hash : kHashes) {
        const Bytes key = keying_test::RandomBytes(rng, 65);
        HMAC_SCRATCH state;
        std::memset(&state, 0xEE, sizeof state);
        ASSERT_EQ(HmacInit(&state, hash.ltc, key.data(), 64), 0);
        EXPECT_EQ(Bytes(state.KeyBlock, state.KeyBlock + 64), keying_test::Slice(key, 0, 64));

        std::memset(&state, 0xEE, sizeof state);
        ASSERT_EQ(HmacInit(&state, hash.ltc, key.data(), 65), 0);
        Bytes expected = keying_test::GcryHash(hash.gcryMd, key);
        ASSERT_EQ(expected.size(), hash.digest);
        expected.resize(64, 0);  // zero-padded to the block
        EXPECT_EQ(Bytes(state.KeyBlock, state.KeyBlock + 64), expected) << hash.prf;
    }
}

TEST(Hmac, DoneTruncatesToTheRoomAndEmptyKeyIsCode3) {
    const uint8_t key[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    HMAC_SCRATCH state{};
    uint8_t full[128], part[8];
    uint32_t length = sizeof full;
    ASSERT_EQ(HmacMemory(&sha1_desc, key, 10, key, 10, full, &length, &state), 0);
    length = sizeof part;
    ASSERT_EQ(HmacMemory(&sha1_desc, key, 10, key, 10, part, &length, &state), 0);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(std::memcmp(full, part, 8), 0);

    EXPECT_EQ(HmacInit(&state, &sha1_desc, key, 0), CRYPT_INVALID_KEYSIZE);
    length = sizeof full;
    EXPECT_EQ(HmacMemory(&sha1_desc, key, 0, key, 10, full, &length, &state), CRYPT_INVALID_KEYSIZE);
}

TEST(Hmac, HashMemoryNeedsRoomForADigest) {
    const uint8_t data[3] = {'a', 'b', 'c'};
    hash_state state;
    uint8_t out[64];
    std::memset(out, 0x77, sizeof out);
    uint32_t length = 19;
    EXPECT_EQ(HashMemory(&sha1_desc, data, 3, out, &length, &state), CRYPT_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 19u);
    for (uint8_t b : out) EXPECT_EQ(b, 0x77);
    length = 20;
    ASSERT_EQ(HashMemory(&sha1_desc, data, 3, out, &length, &state), 0);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(Bytes(out, out + 20), keying_test::GcryHash(GCRY_MD_SHA1, Bytes(data, data + 3)));
}

}  // namespace
