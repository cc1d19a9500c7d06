// The driver model's own pieces: CRC-32, LRW tweak arithmetic, the byte
// conventions it applies to libgcrypt's ciphers, cascade order and the
// sector layout of a mounted volume.
#include <array>
#include <cstring>

#include "crypto/lrw.h"
#include "tests/keying/reference.h"

namespace {

using keying_test::Bytes;
using ntsim::tc::EaCipher;

template <std::size_t N>
std::array<uint8_t, N> Arr(std::initializer_list<int> values) {
    std::array<uint8_t, N> out{};
    std::size_t i = 0;
    for (int v : values) out[i++] = static_cast<uint8_t>(v);
    return out;
}

Bytes GcryEcb(int algorithm, std::span<const uint8_t> key, std::span<const uint8_t> block, bool decrypt = false) {
    ntsim::tc::InitGcrypt();
    gcry_cipher_hd_t handle;
    EXPECT_EQ(gcry_cipher_open(&handle, algorithm, GCRY_CIPHER_MODE_ECB, 0), 0u);
    EXPECT_EQ(gcry_cipher_setkey(handle, key.data(), key.size()), 0u);
    Bytes out(block.begin(), block.end());
    if (decrypt)
        gcry_cipher_decrypt(handle, out.data(), out.size(), nullptr, 0);
    else
        gcry_cipher_encrypt(handle, out.data(), out.size(), nullptr, 0);
    gcry_cipher_close(handle);
    return out;
}

// A key area with a zero tweak key: every tweak is zero, so LRW reduces to
// the bare (cascaded) block cipher.
std::array<uint8_t, 128> ZeroTweakKeyArea(std::span<const uint8_t> key, std::size_t at = 32) {
    std::array<uint8_t, 128> area{};
    std::copy(key.begin(), key.end(), area.begin() + at);
    return area;
}

TEST(ModelCrc32, StandardCheckValues) {
    const char *digits = "123456789";
    EXPECT_EQ(ntsim::tc::Crc32(std::span(reinterpret_cast<const uint8_t *>(digits), 9)), 0xCBF43926u);
    EXPECT_EQ(ntsim::tc::Crc32({}), 0u);
}

TEST(ModelTweak, FieldProductsOfTheFormat) {
    using ntsim::tc::TweakProduct128;
    using ntsim::tc::TweakProduct64;
    std::array<uint8_t, 16> one{};
    one[15] = 1;
    EXPECT_EQ(TweakProduct128(one, 1), one);
    std::array<uint8_t, 16> top{};
    top[0] = 0x80;
    std::array<uint8_t, 16> reduced{};
    reduced[15] = 0x87;
    EXPECT_EQ(TweakProduct128(top, 2), reduced);
    std::array<uint8_t, 16> both = top;
    both[15] = 0x01;
    std::array<uint8_t, 16> bothTimes3 = top;
    bothTimes3[15] = 0x84;
    EXPECT_EQ(TweakProduct128(both, 3), bothTimes3);
    std::array<uint8_t, 16> ramp{}, doubled{};
    for (int i = 0; i < 16; ++i) {
        ramp[i] = static_cast<uint8_t>(i);
        doubled[i] = static_cast<uint8_t>(2 * i);
    }
    EXPECT_EQ(TweakProduct128(ramp, 2), doubled);
    EXPECT_EQ(TweakProduct128(ramp, 0), (std::array<uint8_t, 16>{}));

    EXPECT_EQ(TweakProduct64(Arr<8>({0x80, 0, 0, 0, 0, 0, 0, 0}), 2), Arr<8>({0, 0, 0, 0, 0, 0, 0, 0x1B}));
    EXPECT_EQ(TweakProduct64(Arr<8>({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 3),
              Arr<8>({0, 0, 0, 0, 0, 0, 0, 0x1A}));
    EXPECT_EQ(TweakProduct64(Arr<8>({0, 1, 2, 3, 4, 5, 6, 7}), 0x100), Arr<8>({1, 2, 3, 4, 5, 6, 7, 0}));
}

// The product's bit-serial Horner walk and the model's double-and-add must
// give the same field products: the driver computes tweaks one way only.
TEST(ModelTweak, AgreesWithTheProductsLrwTweaks) {
    std::mt19937 rng(17);
    for (int i = 0; i < 500; ++i) {
        const Bytes key = keying_test::RandomBytes(rng, 16);
        uint64_t index = (static_cast<uint64_t>(rng()) << 32 | rng()) >> (rng() % 64);
        if (i == 0) index = 0xFFFFFFFFFFFFFFFFull;
        uint8_t indexBytes[8];
        for (int b = 0; b < 8; ++b) indexBytes[b] = static_cast<uint8_t>(index >> (56 - 8 * b));
        uint8_t product[16];
        LrwTweak128(key.data(), indexBytes, product);
        EXPECT_EQ(Bytes(product, product + 16),
                  [&] {
                      auto p = ntsim::tc::TweakProduct128(std::span<const uint8_t, 16>(key.data(), 16), index);
                      return Bytes(p.begin(), p.end());
                  }());
        LrwTweak64(key.data(), indexBytes, product);
        auto p64 = ntsim::tc::TweakProduct64(std::span<const uint8_t, 8>(key.data(), 8), index);
        EXPECT_EQ(Bytes(product, product + 8), Bytes(p64.begin(), p64.end()));
    }
}

struct SerpentVector {
    std::size_t keyLength;
    std::array<uint8_t, 32> key;
    std::array<uint8_t, 16> plain, cipher;
};

std::vector<SerpentVector> SerpentVectors() {
    SerpentVector v1{16,
                     Arr<32>({0x2B, 0xD6, 0x45, 0x9F, 0x82, 0xC5, 0xB3, 0x00, 0x95, 0x2C, 0x49, 0x10, 0x48, 0x81, 0xFF, 0x48}),
                     Arr<16>({0xBE, 0xB6, 0xC0, 0x69, 0x39, 0x38, 0x22, 0xD3, 0xBE, 0x73, 0xFF, 0x30, 0x52, 0x5E, 0xC4, 0x3E}),
                     Arr<16>({0xEA, 0x02, 0x47, 0x14, 0xAD, 0x5C, 0x4D, 0x84, 0xEA, 0x02, 0x47, 0x14, 0xAD, 0x5C, 0x4D, 0x84})};
    SerpentVector v2{24, {}, Arr<16>({0x45, 0x28, 0xCA, 0xCC, 0xB9, 0x54, 0xD4, 0x50, 0x65, 0x5E, 0x8C, 0xFD, 0x71, 0xCB, 0xFA, 0xC7}), {}};
    SerpentVector v3{32, {}, Arr<16>({0x3D, 0xA4, 0x6F, 0xFA, 0x6F, 0x4D, 0x6F, 0x30, 0xCD, 0x25, 0x83, 0x33, 0xE5, 0xA6, 0x13, 0x69}), {}};
    for (int i = 0; i < 32; ++i) {
        if (i < 24) v2.key[i] = static_cast<uint8_t>(i);
        v3.key[i] = static_cast<uint8_t>(i);
    }
    for (int i = 0; i < 16; ++i) v2.cipher[i] = v3.cipher[i] = static_cast<uint8_t>(0x11 * i);
    return {v1, v2, v3};
}

// libgcrypt's Serpent already reads key and block little-endian, as the
// volume format does: the vectors hold with no byte reversal, and do not
// hold with the big-endian reading.
TEST(ModelCiphers, LibgcryptSerpentUsesTheFormatsByteOrder) {
    for (const auto &v : SerpentVectors()) {
        const int algorithm = v.keyLength == 16   ? GCRY_CIPHER_SERPENT128
                              : v.keyLength == 24 ? GCRY_CIPHER_SERPENT192
                                                  : GCRY_CIPHER_SERPENT256;
        const auto key = std::span<const uint8_t>(v.key.data(), v.keyLength);
        EXPECT_EQ(GcryEcb(algorithm, key, v.plain), Bytes(v.cipher.begin(), v.cipher.end())) << v.keyLength;
        EXPECT_EQ(GcryEcb(algorithm, key, v.cipher, true), Bytes(v.plain.begin(), v.plain.end()));

        Bytes reversedKey(key.rbegin(), key.rend());
        Bytes reversedPlain(v.plain.rbegin(), v.plain.rend());
        Bytes reversedCipher(v.cipher.rbegin(), v.cipher.rend());
        EXPECT_NE(GcryEcb(algorithm, reversedKey, reversedPlain), reversedCipher);
    }
    // And through the model's EA 4 (32-byte key at 32, zero tweak key).
    const SerpentVector v = SerpentVectors()[2];
    auto cipher = EaCipher::Create(4, ZeroTweakKeyArea(v.key));
    ASSERT_TRUE(cipher);
    std::array<uint8_t, 16> block = v.plain;
    ASSERT_TRUE(cipher->LrwEncrypt(5, block));
    EXPECT_EQ(block, v.cipher);
}

TEST(ModelCiphers, BlowfishReadsItsHalvesLittleEndian) {
    struct Vector {
        std::array<uint8_t, 8> key, plain, cipher;
    };
    const Vector vectors[] = {
        {Arr<8>({0, 0, 0, 0, 0, 0, 0, 0}), Arr<8>({0, 0, 0, 0, 0, 0, 0, 0}),
         Arr<8>({0x45, 0x97, 0xF9, 0x4E, 0x78, 0xDD, 0x98, 0x61})},
        {Arr<8>({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), Arr<8>({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         Arr<8>({0xD5, 0x6F, 0x86, 0x51, 0x8A, 0xCB, 0x5E, 0xB8})},
        {Arr<8>({0x30, 0, 0, 0, 0, 0, 0, 0}), Arr<8>({0, 0, 0, 0x10, 0x01, 0, 0, 0}),
         Arr<8>({0x9A, 0x6F, 0x85, 0x7D, 0xF2, 0x63, 0x30, 0x61})},
        {Arr<8>({0x30, 0, 0, 0, 0, 0, 0, 0}), Arr<8>({0x10, 0, 0, 0, 0, 0, 0, 0x01}),
         Arr<8>({0x65, 0xC8, 0xA4, 0xE2, 0x5B, 0xF2, 0x2F, 0xCF})},
    };
    for (const auto &v : vectors) {
        // Blowfish cycles its key over the P-array, so an 8-byte key repeated
        // seven times is the same key as the 56 bytes EA 2 always uses.
        Bytes key56;
        for (int r = 0; r < 7; ++r) key56.insert(key56.end(), v.key.begin(), v.key.end());
        auto cipher = EaCipher::Create(2, ZeroTweakKeyArea(key56));
        ASSERT_TRUE(cipher);
        EXPECT_EQ(cipher->BlockSize(), 8u);
        std::array<uint8_t, 8> block = v.plain;
        ASSERT_TRUE(cipher->LrwEncrypt(1, block));
        EXPECT_EQ(block, v.cipher);
        ASSERT_TRUE(cipher->LrwDecrypt(1, block));
        EXPECT_EQ(block, v.plain);
    }
}

// EA 7 applies Twofish (key at 32) first, then AES (key at 64).
TEST(ModelCiphers, CascadeOrderAndInversion) {
    std::mt19937 rng(23);
    const Bytes twofishKey = keying_test::RandomBytes(rng, 32), aesKey = keying_test::RandomBytes(rng, 32);
    const Bytes plain = keying_test::RandomBytes(rng, 16);
    std::array<uint8_t, 128> area{};
    std::copy(twofishKey.begin(), twofishKey.end(), area.begin() + 32);
    std::copy(aesKey.begin(), aesKey.end(), area.begin() + 64);
    auto cipher = EaCipher::Create(7, area);
    ASSERT_TRUE(cipher);
    Bytes block = plain;
    ASSERT_TRUE(cipher->LrwEncrypt(9, block));
    EXPECT_EQ(block, GcryEcb(GCRY_CIPHER_AES256, aesKey, GcryEcb(GCRY_CIPHER_TWOFISH, twofishKey, plain)));

    // Every EA inverts itself under a random key area and tweak key.
    for (int32_t ea = 1; ea <= 11; ++ea) {
        const Bytes key = keying_test::RandomBytes(rng, 128);
        auto each = EaCipher::Create(ea, std::span<const uint8_t, 128>(key.data(), 128));
        ASSERT_TRUE(each) << ea;
        const Bytes data = keying_test::RandomBytes(rng, 448);
        Bytes work = data;
        ASSERT_TRUE(each->LrwEncrypt(1, work));
        EXPECT_NE(work, data);
        ASSERT_TRUE(each->LrwDecrypt(1, work));
        EXPECT_EQ(work, data) << ea;
        EXPECT_FALSE(each->LrwEncrypt(1, std::span<uint8_t>(work.data(), each->BlockSize() + 1)));
    }
    EXPECT_FALSE(EaCipher::Create(0, area));
    EXPECT_FALSE(EaCipher::Create(12, area));
}

TEST(ModelLrw, OneBlockIsCipherOfPlainXorTweakXorTweak) {
    std::mt19937 rng(29);
    const Bytes area = keying_test::RandomBytes(rng, 128);
    const Bytes plain = keying_test::RandomBytes(rng, 16);
    auto cipher = EaCipher::Create(1, std::span<const uint8_t, 128>(area.data(), 128));
    ASSERT_TRUE(cipher);
    const uint64_t index = 0x0123456789ABCDEFull;
    const auto tweak = ntsim::tc::TweakProduct128(std::span<const uint8_t, 16>(area.data(), 16), index);
    Bytes masked = plain;
    for (int i = 0; i < 16; ++i) masked[i] ^= tweak[i];
    Bytes expected = GcryEcb(GCRY_CIPHER_AES256, keying_test::Slice(area, 32, 32), masked);
    for (int i = 0; i < 16; ++i) expected[i] ^= tweak[i];
    Bytes block = plain;
    ASSERT_TRUE(cipher->LrwEncrypt(index, block));
    EXPECT_EQ(block, expected);
}

TEST(ModelLrw, SectorNStartsAtBlockIndexNTimesBlocksPerSectorPlusOne) {
    std::mt19937 rng(31);
    for (int32_t ea : {1, 2, 8}) {
        const Bytes area = keying_test::RandomBytes(rng, 128);
        auto cipher = EaCipher::Create(ea, std::span<const uint8_t, 128>(area.data(), 128));
        ASSERT_TRUE(cipher);
        const uint64_t perSector = 512 / cipher->BlockSize();
        EXPECT_EQ(cipher->FirstBlockIndexOfSector(0), 1u);
        EXPECT_EQ(cipher->FirstBlockIndexOfSector(3), 3 * perSector + 1);
        const Bytes data = keying_test::RandomBytes(rng, 1024);
        Bytes bySector = data, byIndex = data;
        ASSERT_TRUE(cipher->EncryptSectors(7, bySector));
        ASSERT_TRUE(cipher->LrwEncrypt(7 * perSector + 1, byIndex));
        EXPECT_EQ(bySector, byIndex);
        ASSERT_TRUE(cipher->DecryptSectors(7, bySector));
        EXPECT_EQ(bySector, data);
        EXPECT_FALSE(cipher->EncryptSectors(0, std::span<uint8_t>(bySector.data(), 511)));
    }
}

TEST(ModelOpen, RandomBytesDoNotOpen) {
    std::mt19937 rng(37);
    const Bytes header = keying_test::RandomBytes(rng, 512);
    const Bytes password = keying_test::RandomBytes(rng, 64);
    EXPECT_FALSE(ntsim::tc::OpenVolumeHeader(std::span<const uint8_t, 512>(header.data(), 512), password));
}

TEST(ModelCiphers, TripleDesWeakKeysStillKey) {
    std::array<uint8_t, 128> area{};
    area[0] = 1;
    std::fill(area.begin() + 32, area.begin() + 40, 0xFE);  // a weak K1
    for (int i = 40; i < 56; ++i) area[i] = static_cast<uint8_t>(i * 7);
    EXPECT_TRUE(EaCipher::Create(5, area));
}

}  // namespace
