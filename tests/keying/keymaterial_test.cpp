// Header creation end to end: every encryption algorithm with every PRF,
// opened by the driver model's independent header check, with the layout,
// key material, password and salt checked against libgcrypt.
#include <algorithm>
#include <cstring>
#include <memory>

#include "crypto/ea.h"
#include "crypto/lrw.h"
#include "keying/keymaterial.h"
#include "keying/prf.h"
#include "tests/keying/reference.h"

namespace {

using keying_test::Bytes;
using keying_test::kHashes;

constexpr uint64_t kSaltIndex = 0xFFFFFFFFFFFFFFF8ull;

struct HeaderRun {
    VOLUME_HEADER header{};
    VOLUME_PASSWORD password{};
    ENTROPY_POOL pool{};
    std::unique_ptr<KEY_SCRATCH> scratch = std::make_unique<KEY_SCRATCH>();

    HeaderRun(std::span<const uint8_t> poolBytes, std::span<const uint8_t> oldHeader) {
        PoolInit(&pool, 0);
        std::copy(poolBytes.begin(), poolBytes.end(), pool.Data);
        std::copy(oldHeader.begin(), oldHeader.end(), header.Bytes);
    }
    int32_t Create(int32_t prf, int32_t ea, uint32_t iterations) {
        return CreateVolumeHeader(&header, &password, &pool, prf, ea, iterations, scratch.get());
    }
    Bytes Header() const { return Bytes(header.Bytes, header.Bytes + 512); }
    Bytes Salt() const { return Bytes(header.Bytes, header.Bytes + 64); }
    Bytes Password() const { return Bytes(password.Text, password.Text + 64); }
    std::optional<ntsim::tc::OpenedHeader> Open() const {
        return ntsim::tc::OpenVolumeHeader(std::span<const uint8_t, 512>(header.Bytes), Password());
    }
};

Bytes SaltFor(int32_t ea, std::span<const uint8_t> masterKey) {
    auto cipher = ntsim::tc::EaCipher::Create(ea, std::span<const uint8_t, 128>(masterKey.data(), 128));
    EXPECT_TRUE(cipher);
    Bytes salt(64, 0);
    if (cipher) {
        EXPECT_TRUE(cipher->LrwEncrypt(kSaltIndex, salt));
    }
    return salt;
}

// The stack below the caller's frame, as header creation left it: copied at
// once, before another call reuses it (only the copy's own frame, at the
// top, is overwritten first).
constexpr size_t kDeadStack = 40 * 1024;
#define COPY_DEAD_STACK(into)                                \
    do {                                                     \
        const uint8_t *sp;                                   \
        __asm__ volatile("mov %%rsp, %0" : "=r"(sp));        \
        std::memcpy((into).data(), sp - kDeadStack, kDeadStack); \
    } while (0)

// Paints that stack (short of the frames right below this one) so that what
// header creation leaves unwiped shows; written inline, as no call may put its
// frame into the paint.
constexpr uint8_t kPaint = 0xC3;
#define PAINT_DEAD_STACK()                                                     \
    do {                                                                       \
        uint8_t *sp;                                                           \
        __asm__ volatile("mov %%rsp, %0" : "=r"(sp));                          \
        volatile uint8_t *below = sp - kDeadStack;                             \
        for (size_t i = 0; i < kDeadStack - 512; ++i) below[i] = kPaint;       \
    } while (0)

// Whether any 16 bytes of the secret occur in the memory.
bool HoldsPieceOf(const Bytes &memory, std::span<const uint8_t> secret) {
    for (size_t at = 0; at + 16 <= secret.size(); ++at)
        if (std::search(memory.begin(), memory.end(), secret.begin() + at, secret.begin() + at + 16) != memory.end())
            return true;
    return false;
}

bool AllZero(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

TEST(CreateVolumeHeader, EveryEaWithEveryPrfOpensInTheDriverModel) {
    std::mt19937 rng(101);
    constexpr uint32_t kIterations = 3;
    for (const auto &hash : kHashes) {
        for (int32_t ea = 1; ea <= 11; ++ea) {
            SCOPED_TRACE(testing::Message() << "prf " << hash.prf << " ea " << ea);
            const Bytes poolBytes = keying_test::RandomBytes(rng, 64);
            const Bytes oldHeader = keying_test::RandomBytes(rng, 512);
            // At count 1 the last HMAC output is the derived bytes themselves.
            // The derivation paths this processor has in turn, so that the
            // stack check sees each.
            const keying_test::PathsInUse inUse(DerivationPathsOfThisProcessor() & keying_test::kPaths[ea % 5].paths);
            HeaderRun once(poolBytes, oldHeader);
            Bytes dead(kDeadStack);
            PAINT_DEAD_STACK();
            const int32_t made = once.Create(hash.prf, ea, 1);
            COPY_DEAD_STACK(dead);
            ASSERT_EQ(made, 1);
            const Bytes paint(64, kPaint);  // the 24 KiB next to the frame are wiped, not merely reused
            EXPECT_TRUE(std::search(dead.end() - 24 * 1024, dead.end(), paint.begin(), paint.end()) == dead.end())
                << "stack below header creation left as it was";
            EXPECT_FALSE(HoldsPieceOf(dead, once.Password()) || HoldsPieceOf(dead, poolBytes) ||
                         HoldsPieceOf(dead, Bytes(once.scratch->Key, once.scratch->Key + 128)))
                << "key work left in the stack";

            HeaderRun run(poolBytes, oldHeader);
            ASSERT_EQ(run.Create(hash.prf, ea, kIterations), 1);
            EXPECT_EQ(run.password.Length, 64u);
            EXPECT_EQ(run.password.Text[64], 0);

            const auto opened = run.Open();
            ASSERT_TRUE(opened);
            EXPECT_EQ(opened->prf, hash.prf);
            EXPECT_EQ(opened->ea, ea);

            const uint8_t *d = opened->header.data();
            EXPECT_EQ(std::memcmp(d + 64, "TRUE", 4), 0);
            EXPECT_EQ(d[68], 0x00);
            EXPECT_EQ(d[69], 0x02);
            EXPECT_EQ(d[70], 0x04);
            EXPECT_EQ(d[71], 0x10);
            const uint32_t crc = ntsim::tc::Crc32(std::span<const uint8_t>(d + 256, 256));
            EXPECT_EQ(d[72], crc >> 24);
            EXPECT_EQ(d[73], (crc >> 16) & 0xFF);
            EXPECT_EQ(d[74], (crc >> 8) & 0xFF);
            EXPECT_EQ(d[75], crc & 0xFF);
            EXPECT_TRUE(AllZero(std::span<const uint8_t>(d + 76, 180)));
            EXPECT_TRUE(AllZero(std::span<const uint8_t>(d + 384, 128)));

            // Key material and password: PBKDF2 of the pool salted with the
            // old header's bytes 64..127, at the given count.
            const Bytes derived =
                keying_test::GcryPbkdf2(hash.gcryMd, poolBytes, keying_test::Slice(oldHeader, 64, 64), kIterations, 192);
            EXPECT_EQ(Bytes(opened->masterKey.begin(), opened->masterKey.end()), keying_test::Slice(derived, 0, 128));
            EXPECT_EQ(run.Password(), keying_test::Slice(derived, 128, 64));

            // The salt: zeros encrypted under the new master keys from index
            // 2^64 - 8 (no weak header key was met here).
            EXPECT_EQ(run.Salt(), SaltFor(ea, opened->masterKey));

            // The header key stays in the scratch, derived at the default
            // count whatever count the key material used; the context is wiped.
            EXPECT_EQ(Bytes(run.scratch->Key, run.scratch->Key + 128),
                      keying_test::GcryPbkdf2(hash.gcryMd, run.Password(), run.Salt(), hash.defaultIterations, 128));
            EXPECT_TRUE(AllZero(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(&run.scratch->Ea),
                                                         sizeof(EA_CONTEXT))));

            // The mounted volume's data area: the model's sector cipher and
            // the product's LRW under the same master keys agree.
            const auto volume = ntsim::tc::DataAreaCipher(*opened);
            ASSERT_TRUE(volume);
            const Bytes sectors = keying_test::RandomBytes(rng, 1024);
            Bytes byModel = sectors, byProduct = sectors;
            ASSERT_TRUE(volume->EncryptSectors(5, byModel));
            EA_CONTEXT context;
            ASSERT_EQ(EaSetup(&context, opened->masterKey.data(), ea), 1);
            ASSERT_EQ(LrwSetBlockIndex(&context, 5 * (512 / volume->BlockSize()) + 1), 1);
            ASSERT_EQ(LrwEncrypt(&context, byProduct.data(), byProduct.size()), 1);
            EaRelease(&context);
            EXPECT_EQ(byModel, byProduct);
            ASSERT_TRUE(volume->DecryptSectors(5, byModel));
            EXPECT_EQ(byModel, sectors);
        }
    }
}

TEST(CreateVolumeHeader, CountZeroUsesThePrfDefaultForTheKeyMaterial) {
    std::mt19937 rng(103);
    for (const auto &hash : kHashes) {
        const Bytes poolBytes = keying_test::RandomBytes(rng, 64);
        HeaderRun run(poolBytes, Bytes(512, 0));  // as after a failed read of the container
        ASSERT_EQ(run.Create(hash.prf, 4, 0), 1);
        const auto opened = run.Open();
        ASSERT_TRUE(opened);
        const Bytes derived =
            keying_test::GcryPbkdf2(hash.gcryMd, poolBytes, Bytes(64, 0), hash.defaultIterations, 192);
        EXPECT_EQ(Bytes(opened->masterKey.begin(), opened->masterKey.end()), keying_test::Slice(derived, 0, 128));
        EXPECT_EQ(run.Password(), keying_test::Slice(derived, 128, 64));
    }
}

struct Outcome {
    Bytes header, password, masterKey;
};

Outcome CreateAndOpen(const Bytes &poolBytes, const Bytes &oldHeader, uint32_t iterations) {
    HeaderRun run(poolBytes, oldHeader);
    EXPECT_EQ(run.Create(2, 1, iterations), 1);
    const auto opened = run.Open();
    EXPECT_TRUE(opened);
    Outcome out{run.Header(), run.Password(), {}};
    if (opened) out.masterKey.assign(opened->masterKey.begin(), opened->masterKey.end());
    return out;
}

TEST(CreateVolumeHeader, IsAPureFunctionOfPoolAndOldHeaderBytes64To127) {
    std::mt19937 rng(107);
    const Bytes poolBytes = keying_test::RandomBytes(rng, 64);
    const Bytes oldHeader = keying_test::RandomBytes(rng, 512);
    const Outcome base = CreateAndOpen(poolBytes, oldHeader, 1);
    const Outcome again = CreateAndOpen(poolBytes, oldHeader, 1);
    EXPECT_EQ(again.header, base.header);
    EXPECT_EQ(again.password, base.password);

    for (std::size_t at : {0u, 63u, 128u, 255u, 256u, 511u}) {
        Bytes changed = oldHeader;
        changed[at] ^= 0x5A;
        const Outcome other = CreateAndOpen(poolBytes, changed, 1);
        EXPECT_EQ(other.header, base.header) << "byte " << at << " is not part of the derivation salt";
    }
    for (std::size_t at = 64; at < 128; ++at) {
        Bytes changed = oldHeader;
        changed[at] ^= 0x01;
        const Outcome other = CreateAndOpen(poolBytes, changed, 1);
        EXPECT_NE(other.masterKey, base.masterKey) << at;
        EXPECT_NE(other.password, base.password) << at;
        EXPECT_NE(Bytes(other.header.begin(), other.header.begin() + 64), Bytes(base.header.begin(), base.header.begin() + 64))
            << at;
    }
    Bytes otherPool = poolBytes;
    otherPool[17] ^= 0x80;
    EXPECT_NE(CreateAndOpen(otherPool, oldHeader, 1).masterKey, base.masterKey);
}

// Every derivation path makes the header the portable path makes from the
// same pool.
class HeaderPath : public keying_test::OnEveryPath {};
INSTANTIATE_ON_EVERY_PATH(HeaderPath);

TEST_P(HeaderPath, MakesTheSameHeaderAsThePortablePath) {
    std::mt19937 rng(113);
    const Bytes poolBytes = keying_test::RandomBytes(rng, 64), oldHeader = keying_test::RandomBytes(rng, 512);
    for (const int32_t prf : {1, 2, 3}) {
        HeaderRun run(poolBytes, oldHeader);
        ASSERT_EQ(run.Create(prf, 1, 0), 1);
        UseDerivationPaths(0);
        HeaderRun portable(poolBytes, oldHeader);
        ASSERT_EQ(portable.Create(prf, 1, 0), 1);
        UseDerivationPaths(GetParam().paths);
        EXPECT_EQ(run.Header(), portable.Header()) << "prf " << prf;
    }
}

TEST(CreateVolumeHeader, IterationCountReachesTheKeyMaterialOnly) {
    std::mt19937 rng(109);
    const Bytes poolBytes = keying_test::RandomBytes(rng, 64);
    const Bytes oldHeader = keying_test::RandomBytes(rng, 512);
    const Outcome five = CreateAndOpen(poolBytes, oldHeader, 5);
    const Outcome six = CreateAndOpen(poolBytes, oldHeader, 6);
    EXPECT_NE(five.masterKey, six.masterKey);
    EXPECT_NE(five.password, six.password);

    // Sealing one prepared header with one password gives one header key and
    // one sealed header, however the material was made: there is no count.
    VOLUME_HEADER prepared{};
    const Bytes salt = keying_test::RandomBytes(rng, 64), material = keying_test::RandomBytes(rng, 128);
    std::copy(salt.begin(), salt.end(), prepared.Bytes);
    std::copy(material.begin(), material.end(), prepared.Bytes + 256);
    const Bytes password = keying_test::RandomBytes(rng, 64);
    VOLUME_HEADER first = prepared, second = prepared;
    auto scratch1 = std::make_unique<KEY_SCRATCH>(), scratch2 = std::make_unique<KEY_SCRATCH>();
    ASSERT_EQ(SealVolumeHeader(&first, password.data(), 64, 3, 9, scratch1.get()), 1);
    ASSERT_EQ(SealVolumeHeader(&second, password.data(), 64, 3, 9, scratch2.get()), 1);
    EXPECT_EQ(std::memcmp(first.Bytes, second.Bytes, 512), 0);
    EXPECT_EQ(Bytes(scratch1->Key, scratch1->Key + 128), keying_test::GcryPbkdf2(GCRY_MD_WHIRLPOOL, password, salt, 1000, 128));
    const auto opened = ntsim::tc::OpenVolumeHeader(std::span<const uint8_t, 512>(first.Bytes), password);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->ea, 9);
    EXPECT_EQ(Bytes(opened->masterKey.begin(), opened->masterKey.end()), material);
    EXPECT_EQ(Bytes(first.Bytes, first.Bytes + 64), salt);
}

TEST(CreateVolumeHeader, InvalidIdsAreRefusedBeforeAnythingIsTouched) {
    std::mt19937 rng(113);
    const Bytes poolBytes = keying_test::RandomBytes(rng, 64);
    const Bytes oldHeader = keying_test::RandomBytes(rng, 512);
    const struct {
        int32_t prf, ea;
    } cases[] = {{0, 1}, {4, 1}, {12, 1}, {-1, 1}, {2, 0}, {2, 12}, {2, -5}, {0, 0}};
    for (const auto &c : cases) {
        HeaderRun run(poolBytes, oldHeader);
        std::memset(&run.password, 0x3C, sizeof run.password);
        std::memset(run.scratch.get(), 0x4B, sizeof(KEY_SCRATCH));
        const VOLUME_PASSWORD passwordBefore = run.password;
        EXPECT_EQ(run.Create(c.prf, c.ea, 1), 0) << c.prf << "/" << c.ea;
        EXPECT_EQ(run.Header(), oldHeader);
        EXPECT_EQ(std::memcmp(&run.password, &passwordBefore, sizeof passwordBefore), 0);
        const uint8_t *scratch = reinterpret_cast<const uint8_t *>(run.scratch.get());
        EXPECT_TRUE(std::all_of(scratch, scratch + sizeof(KEY_SCRATCH), [](uint8_t b) { return b == 0x4B; }));

        EXPECT_EQ(SealVolumeHeader(&run.header, run.password.Text, 64, c.prf, c.ea, run.scratch.get()), 0);
        EXPECT_EQ(run.Header(), oldHeader);
    }
    EXPECT_EQ(IsValidEa(0), 0);
    EXPECT_EQ(IsValidEa(12), 0);
    EXPECT_EQ(IsValidEa(-1), 0);
    for (int32_t ea = 1; ea <= 11; ++ea) EXPECT_EQ(IsValidEa(ea), 1) << ea;
}

TEST(CreateVolumeHeader, PoolWhoseEndLiesOutsideItsDataIsRefused) {
    std::mt19937 rng(127);
    HeaderRun run(keying_test::RandomBytes(rng, 64), keying_test::RandomBytes(rng, 512));
    const Bytes before = run.Header();
    run.pool.End = run.pool.Data + ENTROPY_POOL_DATA_SIZE + 4;
    EXPECT_EQ(run.Create(2, 1, 1), 0);
    run.pool.End = nullptr;  // a pool never initialised
    EXPECT_EQ(run.Create(2, 1, 1), 0);
    EXPECT_EQ(run.Header(), before);
    // A smaller pool is used as it is: only its bytes are the password.
    PoolInit(&run.pool, 32);
    ASSERT_EQ(run.Create(2, 1, 2), 1);
    const auto opened = run.Open();
    ASSERT_TRUE(opened);
    EXPECT_EQ(Bytes(opened->masterKey.begin(), opened->masterKey.end()),
              keying_test::Slice(keying_test::GcryPbkdf2(GCRY_MD_SHA1, Bytes(run.pool.Data, run.pool.Data + 32),
                                                         keying_test::Slice(before, 64, 64), 2, 128),
                                 0, 128));
}

}  // namespace
