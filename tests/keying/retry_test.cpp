// The retry paths of header creation: weak key material, a weak password and
// weak header keys are each answered by a new derivation with a salt byte
// raised by one, at most 255 times. Weak derivations are scripted through
// the SHA-1 stand-in (a derivation whose digests are all zero yields zero
// key material, which is weak for every algorithm); failing block
// encryptions through the AES stand-in below.
#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>

#include "keying/keymaterial.h"
#include "keying/key_derivation.h"
#include "tests/keying/reference.h"
#include "tests/keying/scripted_sha1.h"

namespace {

using keying_test::Bytes;
using scripted_sha1::DigestsPerDerivation;

constexpr uint64_t kMaterialDigests = DigestsPerDerivation(192, 1);    // one attempt at count 1
constexpr uint64_t kHeaderKeyDigests = DigestsPerDerivation(128, 2000);  // sealing, default count
constexpr uint64_t kSaltIndex = 0xFFFFFFFFFFFFFFF8ull;

// Every reference to aes_desc in the keying and crypto libraries lands on
// __wrap_aes_desc (ld --wrap): AES, except that block encryption number
// gFailingBlock fails.
uint64_t gAesBlocks = 0, gFailingBlock = ~0ull;

}  // namespace

extern "C" const struct ltc_cipher_descriptor __real_aes_desc;

namespace {
struct ltc_cipher_descriptor ScriptedAes() {
    struct ltc_cipher_descriptor scripted = __real_aes_desc;
    scripted.ecb_encrypt = [](const unsigned char *in, unsigned char *out, symmetric_key *key) {
        return gAesBlocks++ == gFailingBlock ? CRYPT_ERROR : __real_aes_desc.ecb_encrypt(in, out, key);
    };
    return scripted;
}
}  // namespace

extern "C" const struct ltc_cipher_descriptor __wrap_aes_desc = ScriptedAes();

namespace {

class Retry : public testing::Test {
protected:
    void SetUp() override { scripted_sha1::Reset(); }
    void TearDown() override { scripted_sha1::Reset(); }

    struct HeaderRun {
        VOLUME_HEADER header{};
        VOLUME_PASSWORD password{};
        ENTROPY_POOL pool{};
        std::unique_ptr<KEY_SCRATCH> scratch = std::make_unique<KEY_SCRATCH>();
        Bytes poolBytes, oldHeader;

        explicit HeaderRun(uint32_t seed) {
            std::mt19937 rng(seed);
            poolBytes = keying_test::RandomBytes(rng, 64);
            oldHeader = keying_test::RandomBytes(rng, 512);
            PoolInit(&pool, 0);
            std::copy(poolBytes.begin(), poolBytes.end(), pool.Data);
            std::copy(oldHeader.begin(), oldHeader.end(), header.Bytes);
        }
        int32_t Create(int32_t ea) { return CreateVolumeHeader(&header, &password, &pool, 2, ea, 1, scratch.get()); }
        Bytes Password() const { return Bytes(password.Text, password.Text + 64); }
        std::optional<ntsim::tc::OpenedHeader> Open() const {
            return ntsim::tc::OpenVolumeHeader(std::span<const uint8_t, 512>(header.Bytes), Password());
        }
        // What a successful attempt with derivation salt byte 0 = first
        // should have produced.
        Bytes Expected(uint8_t first) const {
            Bytes salt = keying_test::Slice(oldHeader, 64, 64);
            salt[0] = first;
            return keying_test::GcryPbkdf2(GCRY_MD_SHA1, poolBytes, salt, 1, 192);
        }
    };
};

TEST_F(Retry, IdleStandInIsSha1) {
    std::mt19937 rng(1);
    const Bytes key = keying_test::RandomBytes(rng, 64), data = keying_test::RandomBytes(rng, 100);
    HMAC_SCRATCH state{};
    uint8_t out[128];
    uint32_t length = sizeof out;
    ASSERT_EQ(HmacMemory(&sha1_desc, key.data(), 64, data.data(), 100, out, &length, &state), 0);
    EXPECT_EQ(Bytes(out, out + length), keying_test::GcryHmac(GCRY_MAC_HMAC_SHA1, key, data));
    EXPECT_EQ(scripted_sha1::DigestsComputed(), 2u);
}

TEST_F(Retry, WeakKeyMaterialIsRetriedWithHeaderByte64PlusOneForEveryEa) {
    for (int32_t ea = 1; ea <= 11; ++ea) {
        SCOPED_TRACE(ea);
        scripted_sha1::Reset();
        scripted_sha1::ZeroDigests(0, kMaterialDigests);  // the first attempt's 192 bytes are all zero
        HeaderRun run(200 + ea);
        if (ea == 3) {
            run.oldHeader[64] = 0xFF;  // the raised byte wraps
            run.header.Bytes[64] = 0xFF;
        }
        ASSERT_EQ(run.Create(ea), 1);
        EXPECT_EQ(scripted_sha1::DigestsComputed(), 2 * kMaterialDigests + kHeaderKeyDigests);
        const auto opened = run.Open();
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->ea, ea);
        const Bytes expected = run.Expected(static_cast<uint8_t>(run.oldHeader[64] + 1));
        EXPECT_EQ(Bytes(opened->masterKey.begin(), opened->masterKey.end()), keying_test::Slice(expected, 0, 128));
        EXPECT_EQ(run.Password(), keying_test::Slice(expected, 128, 64));
    }
}

TEST_F(Retry, WeakPasswordIsRetried) {
    // Blocks 7 to 10 of the first attempt zero: the key material keeps 120
    // random bytes (not weak), the password comes out as 64 zero bytes.
    scripted_sha1::ZeroDigests(DigestsPerDerivation(120, 1), kMaterialDigests);
    HeaderRun run(300);
    ASSERT_EQ(run.Create(1), 1);
    EXPECT_EQ(scripted_sha1::DigestsComputed(), 2 * kMaterialDigests + kHeaderKeyDigests);
    const auto opened = run.Open();
    ASSERT_TRUE(opened);
    const Bytes expected = run.Expected(static_cast<uint8_t>(run.oldHeader[64] + 1));
    EXPECT_EQ(Bytes(opened->masterKey.begin(), opened->masterKey.end()), keying_test::Slice(expected, 0, 128));
    EXPECT_EQ(run.Password(), keying_test::Slice(expected, 128, 64));
}

TEST_F(Retry, WeakHeaderKeysRaiseTheStoredSaltByte0) {
    for (int32_t ea : {1, 5}) {
        SCOPED_TRACE(ea);
        scripted_sha1::Reset();
        // The first attempt is accepted; the first two header keys are weak.
        scripted_sha1::ZeroDigests(kMaterialDigests, kMaterialDigests + 2 * kHeaderKeyDigests);
        HeaderRun run(400 + ea);
        ASSERT_EQ(run.Create(ea), 1);
        EXPECT_EQ(scripted_sha1::DigestsComputed(), kMaterialDigests + 3 * kHeaderKeyDigests);
        const auto opened = run.Open();
        ASSERT_TRUE(opened);
        EXPECT_EQ(opened->ea, ea);
        const Bytes expected = run.Expected(run.oldHeader[64]);
        EXPECT_EQ(Bytes(opened->masterKey.begin(), opened->masterKey.end()), keying_test::Slice(expected, 0, 128));

        auto cipher = ntsim::tc::EaCipher::Create(ea, opened->masterKey);
        ASSERT_TRUE(cipher);
        Bytes lrwSalt(64, 0);
        ASSERT_TRUE(cipher->LrwEncrypt(kSaltIndex, lrwSalt));
        lrwSalt[0] = static_cast<uint8_t>(lrwSalt[0] + 2);
        EXPECT_EQ(Bytes(run.header.Bytes, run.header.Bytes + 64), lrwSalt);
    }
}

TEST_F(Retry, TripleDesWeakKeysAreRetriedForEa5Only) {
    // Derived bytes 20..59 zero: the LRW key stays random, the first two DES
    // keys are zero; first in the key material (count 1), then in the header
    // key (the default count, 4,000 digests per block).
    for (int32_t ea = 1; ea <= 11; ++ea)
        for (auto [from, count, retry] : {std::tuple<uint64_t, uint64_t, uint64_t>{2, 4, kMaterialDigests},
                                          {kMaterialDigests + 4000, 8000, kHeaderKeyDigests}}) {
            SCOPED_TRACE(testing::Message() << "ea " << ea << ", digests from " << from);
            scripted_sha1::Reset();
            scripted_sha1::ZeroDigests(from, from + count);
            HeaderRun run(800 + ea);
            ASSERT_EQ(run.Create(ea), 1);
            EXPECT_EQ(scripted_sha1::DigestsComputed(),
                      kMaterialDigests + kHeaderKeyDigests + (ea == 5 ? retry : 0));
        }
}

TEST_F(Retry, BlockEncryptionFailuresFailTheHeaderAndWipeTheContext) {
    // AES encrypts salt blocks 0..3 and header blocks 4..31, as the last of
    // three ciphers in EA 8.
    for (int32_t ea : {1, 8})
        for (uint64_t failing : {0ull, 3ull, 4ull, 31ull}) {
            SCOPED_TRACE(testing::Message() << "ea " << ea << ", failing block " << failing);
            gAesBlocks = 0;
            gFailingBlock = failing;
            HeaderRun run(700);
            EXPECT_EQ(run.Create(ea), 0);
            const auto *eaContext = reinterpret_cast<const uint8_t *>(&run.scratch->Ea);
            EXPECT_TRUE(
                std::all_of(eaContext, eaContext + sizeof(EA_CONTEXT), [](uint8_t b) { return b == 0; }));
        }
    gFailingBlock = ~0ull;
}

TEST_F(Retry, HeaderKeySaltByte0WrapsFromFFTo00) {
    std::mt19937 rng(5);
    const Bytes password = keying_test::RandomBytes(rng, 64);
    Bytes salt = keying_test::RandomBytes(rng, 64);
    salt[0] = 0xFF;
    scripted_sha1::ZeroDigests(0, DigestsPerDerivation(128, 1));
    PBKDF2_SCRATCH scratch{};
    uint8_t key[128];
    ASSERT_EQ(DeriveHeaderKey(key, password.data(), 64, salt.data(), 64, 2, 1, 1, &scratch), 1);
    EXPECT_EQ(salt[0], 0x00);
    EXPECT_EQ(scripted_sha1::DigestsComputed(), 2 * DigestsPerDerivation(128, 1));
    EXPECT_EQ(Bytes(key, key + 128), keying_test::GcryPbkdf2(GCRY_MD_SHA1, password, salt, 1, 128));
}

TEST_F(Retry, WeakHeaderKeyWithoutSaltCannotBeVaried) {
    scripted_sha1::ZeroDigests(0, ~0ull);
    PBKDF2_SCRATCH scratch{};
    uint8_t key[128], password[64] = {7};
    EXPECT_EQ(DeriveHeaderKey(key, password, 64, password, 0, 2, 1, 1, &scratch), 0);
    EXPECT_EQ(scripted_sha1::DigestsComputed(), DigestsPerDerivation(128, 1));
}

TEST_F(Retry, GiveUpAfter255Attempts) {
    scripted_sha1::ZeroDigests(0, ~0ull);
    HeaderRun run(500);
    EXPECT_EQ(run.Create(1), 0);
    EXPECT_EQ(scripted_sha1::DigestsComputed(), 255 * kMaterialDigests);
    EXPECT_EQ(run.header.Bytes[64], static_cast<uint8_t>(run.oldHeader[64] + 255));
    EXPECT_EQ(std::memcmp(run.header.Bytes + 65, run.oldHeader.data() + 65, 63), 0);

    scripted_sha1::Reset();
    scripted_sha1::ZeroDigests(0, ~0ull);
    std::mt19937 rng(6);
    const Bytes password = keying_test::RandomBytes(rng, 64);
    Bytes salt = keying_test::RandomBytes(rng, 64);
    const uint8_t first = salt[0];
    PBKDF2_SCRATCH scratch{};
    uint8_t key[128];
    EXPECT_EQ(DeriveHeaderKey(key, password.data(), 64, salt.data(), 64, 2, 1, 4, &scratch), 0);
    EXPECT_EQ(scripted_sha1::DigestsComputed(), 255 * DigestsPerDerivation(128, 1));
    EXPECT_EQ(salt[0], static_cast<uint8_t>(first + 255));
}

TEST_F(Retry, HashFailuresEndTheDerivationAtOnce) {
    std::mt19937 rng(7);
    const Bytes password = keying_test::RandomBytes(rng, 64), salt = keying_test::RandomBytes(rng, 64);
    for (uint64_t failAt : {0ull, 1ull, 5ull, 13ull}) {
        scripted_sha1::Reset();
        scripted_sha1::FailDigestsFrom(failAt);
        PBKDF2_SCRATCH scratch{};
        uint8_t out[100];
        uint32_t length = 100;
        EXPECT_EQ(Pbkdf2(password.data(), 64, salt.data(), 64, 3, &sha1_desc, out, &length, &scratch), CRYPT_ERROR);
        EXPECT_EQ(length, 100u) << "length must be left as it was";
        EXPECT_EQ(scripted_sha1::DigestsComputed(), failAt + 1);
        EXPECT_EQ(DeriveKeyMaterial(out, 100, password.data(), 64, salt.data(), 64, 2, 3, &scratch), 0);
    }
    scripted_sha1::Reset();
    scripted_sha1::FailDigestsFrom(kMaterialDigests);  // material fine, sealing fails
    HeaderRun run(600);
    EXPECT_EQ(run.Create(1), 0);
    scripted_sha1::Reset();
    scripted_sha1::FailDigestsFrom(0);
    HeaderRun early(601);
    EXPECT_EQ(early.Create(1), 0);
}

}  // namespace
