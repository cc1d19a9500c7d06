// LRW: tweak arithmetic, block index handling and whole-buffer encryption
// of all eleven EAs against libgcrypt with independently written LRW.
#include "crypto/lrw.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto/ea.h"
#include "tests/crypto/reference.h"

namespace {

using reference::Bytes;

Bytes IndexBytes(uint64_t index) {
    Bytes b(8);
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<uint8_t>(index >> (56 - 8 * i));
    }
    return b;
}

uint64_t IndexOf(const EA_CONTEXT &c) {
    uint64_t v = 0;
    for (uint8_t b : c.BlockIndex) {
        v = (v << 8) | b;
    }
    return v;
}

struct TweakRow {
    Bytes Element;
    uint64_t Index;
    Bytes Product;
};

Bytes WithEnds(size_t length, uint8_t first, uint8_t last) {
    Bytes b(length, 0);
    b.front() = first;
    b.back() = last;
    return b;
}

const std::vector<TweakRow> &Rows128() {
    static const std::vector<TweakRow> rows = {
        {WithEnds(16, 0x00, 0x01), 1, WithEnds(16, 0x00, 0x01)},
        {WithEnds(16, 0x80, 0x00), 2, WithEnds(16, 0x00, 0x87)},
        {WithEnds(16, 0x80, 0x01), 3, WithEnds(16, 0x80, 0x84)},
        {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F},
         2,
         {0x00, 0x02, 0x04, 0x06, 0x08, 0x0A, 0x0C, 0x0E, 0x10, 0x12, 0x14, 0x16, 0x18, 0x1A, 0x1C, 0x1E}},
    };
    return rows;
}

const std::vector<TweakRow> &Rows64() {
    static const std::vector<TweakRow> rows = {
        {WithEnds(8, 0x80, 0x00), 2, WithEnds(8, 0x00, 0x1B)},
        {Bytes(8, 0xFF), 3, WithEnds(8, 0x00, 0x1A)},
        {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, 0x100, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x00}},
    };
    return rows;
}

TEST(LrwTweak, TableRowsInBothFields) {
    for (const TweakRow &row : Rows128()) {
        Bytes tweak(16, 0xCC);
        LrwTweak128(row.Element.data(), IndexBytes(row.Index).data(), tweak.data());
        EXPECT_EQ(tweak, row.Product) << row.Index;
    }
    for (const TweakRow &row : Rows64()) {
        Bytes tweak(16, 0xCC);
        LrwTweak64(row.Element.data(), IndexBytes(row.Index).data(), tweak.data());
        EXPECT_EQ(Bytes(tweak.begin(), tweak.begin() + 8), row.Product) << row.Index;
        EXPECT_EQ(Bytes(tweak.begin() + 8, tweak.end()), Bytes(8, 0xCC)) << "bytes past the field";
    }
}

TEST(LrwTweak, ReferenceMultiplicationReproducesTheTable) {
    for (const TweakRow &row : Rows128()) {
        EXPECT_EQ(reference::Multiply128(row.Element.data(), row.Index), row.Product);
    }
    for (const TweakRow &row : Rows64()) {
        EXPECT_EQ(reference::Multiply64(row.Element.data(), row.Index), row.Product);
    }
}

TEST(LrwTweak, AgreesWithReferenceOnRandomElements) {
    std::mt19937_64 random(128);
    for (int trial = 0; trial < 2000; ++trial) {
        const Bytes key = reference::RandomBytes(random, 16);
        // Mix full-width indexes with short ones so every bit length occurs.
        const uint64_t index = random() >> (trial % 64);
        Bytes tweak(16);
        LrwTweak128(key.data(), IndexBytes(index).data(), tweak.data());
        ASSERT_EQ(tweak, reference::Multiply128(key.data(), index)) << index;
        LrwTweak64(key.data(), IndexBytes(index).data(), tweak.data());
        ASSERT_EQ(Bytes(tweak.begin(), tweak.begin() + 8), reference::Multiply64(key.data(), index)) << index;
    }
}

TEST(LrwTweak, IndexZeroGivesZeroTweak) {
    const Bytes key(16, 0xFF);
    Bytes tweak(16, 0xCC);
    LrwTweak128(key.data(), IndexBytes(0).data(), tweak.data());
    EXPECT_EQ(tweak, Bytes(16, 0));
    tweak.assign(8, 0xCC);
    LrwTweak64(key.data(), IndexBytes(0).data(), tweak.data());
    EXPECT_EQ(tweak, Bytes(8, 0));
}

class Keyed {
public:
    explicit Keyed(int ea, uint64_t seed = 1) : random_(seed), keyArea_(reference::RandomBytes(random_, 128)) {
        EXPECT_EQ(EaSetup(&context, keyArea_.data(), ea), 1);
    }
    explicit Keyed(int ea, const Bytes &keyArea) : keyArea_(keyArea) {
        EXPECT_EQ(EaSetup(&context, keyArea_.data(), ea), 1);
    }
    ~Keyed() { EaRelease(&context); }
    const Bytes &KeyArea() const { return keyArea_; }
    EA_CONTEXT context{};

private:
    std::mt19937_64 random_;
    Bytes keyArea_;
};

TEST(LrwBlockIndex, ZeroIsRefusedOthersStoredBigEndian) {
    Keyed k(1);
    EXPECT_EQ(IndexOf(k.context), 1u);
    EXPECT_EQ(LrwSetBlockIndex(&k.context, 0x0102030405060708ull), 1);
    EXPECT_EQ(Bytes(k.context.BlockIndex, k.context.BlockIndex + 8), IndexBytes(0x0102030405060708ull));
    EXPECT_EQ(LrwSetBlockIndex(&k.context, 0), 0);
    EXPECT_EQ(IndexOf(k.context), 0x0102030405060708ull);
}

TEST(LrwBlockIndex, AdvancesPerBlockAndWraps) {
    for (int ea = 1; ea <= 11; ++ea) {
        SCOPED_TRACE(ea);
        Keyed k(ea);
        const bool narrow = EaBlockSize(&k.context) == 8;
        Bytes buffer(64, 0);
        ASSERT_EQ(LrwSetBlockIndex(&k.context, 0xFFFFFFFFFFFFFFF8ull), 1);
        ASSERT_EQ(LrwEncrypt(&k.context, buffer.data(), buffer.size()), 1);
        EXPECT_EQ(IndexOf(k.context), narrow ? 0u : 0xFFFFFFFFFFFFFFFCull);

        Bytes header(448, 0);
        ASSERT_EQ(LrwSetBlockIndex(&k.context, 1), 1);
        ASSERT_EQ(LrwEncrypt(&k.context, header.data(), header.size()), 1);
        EXPECT_EQ(IndexOf(k.context), narrow ? 57u : 29u);
    }
}

TEST(LrwEncrypt, IndexZeroReachedByWrappingEncryptsWithoutTweak) {
    for (int ea : {1, 3}) {
        SCOPED_TRACE(ea);
        Keyed k(ea);
        const size_t blockSize = EaBlockSize(&k.context);
        Bytes buffer(2 * blockSize, 0x5C);
        ASSERT_EQ(LrwSetBlockIndex(&k.context, 0xFFFFFFFFFFFFFFFFull), 1);
        ASSERT_EQ(LrwEncrypt(&k.context, buffer.data(), buffer.size()), 1);
        EXPECT_EQ(Bytes(k.context.Tweak, k.context.Tweak + 16), Bytes(16, 0));
        // Second block, index 0: plain ECB.
        Bytes expected(blockSize, 0x5C);
        const auto &stage = reference::AllEas()[ea - 1].Stages[0];
        reference::GcryptEcb cipher(stage.Algorithm, k.KeyArea().data() + stage.KeyOffset, stage.KeyLength);
        cipher.Encrypt(expected.data(), blockSize);
        EXPECT_EQ(Bytes(buffer.begin() + blockSize, buffer.end()), expected);
    }
}

TEST(LrwEncrypt, SplitCallsEqualOneCall) {
    std::mt19937_64 random(9);
    for (int ea = 1; ea <= 11; ++ea) {
        SCOPED_TRACE(ea);
        const Bytes plain = reference::RandomBytes(random, 448);
        Bytes whole = plain, split = plain;
        Keyed one(ea, 77), two(ea, 77);
        ASSERT_EQ(LrwEncrypt(&one.context, whole.data(), whole.size()), 1);
        ASSERT_EQ(LrwEncrypt(&two.context, split.data(), 32), 1);
        ASSERT_EQ(LrwEncrypt(&two.context, split.data() + 32, 416), 1);
        EXPECT_EQ(whole, split);
        EXPECT_NE(whole, plain);
        EXPECT_EQ(std::memcmp(&one.context, &two.context, sizeof(EA_CONTEXT)), 0);
    }
}

TEST(LrwEncrypt, TweakSeparatesEqualBlocksUnlessTweakKeyIsZero) {
    for (int ea : {1, 2, 8}) {
        SCOPED_TRACE(ea);
        Keyed k(ea);
        const size_t blockSize = EaBlockSize(&k.context);
        Bytes buffer(2 * blockSize, 0x11);
        ASSERT_EQ(LrwEncrypt(&k.context, buffer.data(), buffer.size()), 1);
        EXPECT_NE(Bytes(buffer.begin(), buffer.begin() + blockSize), Bytes(buffer.begin() + blockSize, buffer.end()));

        Bytes keyArea = k.KeyArea();
        std::fill(keyArea.begin(), keyArea.begin() + 16, 0);
        Keyed zero(ea, keyArea);
        buffer.assign(3 * blockSize, 0x11);
        ASSERT_EQ(LrwEncrypt(&zero.context, buffer.data(), buffer.size()), 1);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + blockSize),
                  Bytes(buffer.begin() + 2 * blockSize, buffer.end()));
    }
}

TEST(LrwEncrypt, PartialBlockIsRefusedBeforeTouchingAnything) {
    for (int ea : {1, 2}) {
        SCOPED_TRACE(ea);
        Keyed k(ea);
        EA_CONTEXT before;
        std::memcpy(&before, &k.context, sizeof(before));
        const size_t partial = EaBlockSize(&k.context) == 16 ? 24 : 12;
        Bytes buffer(partial, 0x42);
        EXPECT_EQ(LrwEncrypt(&k.context, buffer.data(), buffer.size()), 0);
        EXPECT_EQ(buffer, Bytes(partial, 0x42));
        EXPECT_EQ(std::memcmp(&before, &k.context, sizeof(before)), 0);
        EXPECT_EQ(LrwEncrypt(&k.context, buffer.data(), 0), 1);  // nothing to do is fine
        EXPECT_EQ(buffer, Bytes(partial, 0x42));
        EXPECT_EQ(std::memcmp(&before, &k.context, sizeof(before)), 0);
    }
}

TEST(LrwEncrypt, UnkeyedContextIsRefused) {
    EA_CONTEXT blank{};
    Bytes buffer(32, 0x42);
    EXPECT_EQ(LrwEncrypt(&blank, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(EaSetup(&blank, Bytes(128, 1).data(), 12), 0);
    EXPECT_EQ(LrwEncrypt(&blank, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(buffer, Bytes(32, 0x42));
    EXPECT_EQ(LrwEncrypt(nullptr, buffer.data(), buffer.size()), 0);
}

TEST(LrwEncrypt, AllElevenEasMatchLibgcryptReference) {
    std::mt19937_64 random(11);
    const uint64_t starts[] = {1, 2, 0xFFFFFFFFFFFFFFF8ull, 0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFF0ull,
                               0x8000000000000000ull, 0x00000000FFFFFFFFull};
    for (const reference::EaReference &ea : reference::AllEas()) {
        SCOPED_TRACE(ea.Id);
        for (int trial = 0; trial < 12; ++trial) {
            const Bytes keyArea = reference::RandomBytes(random, 128);
            const uint64_t start = trial < 7 ? starts[trial] : (random() | 1);
            const size_t length = ea.BlockSize * (1 + random() % (448 / ea.BlockSize));
            const Bytes plain = reference::RandomBytes(random, length);

            Bytes ours = plain;
            Keyed k(ea.Id, keyArea);
            ASSERT_EQ(LrwSetBlockIndex(&k.context, start), 1);
            ASSERT_EQ(LrwEncrypt(&k.context, ours.data(), ours.size()), 1);

            Bytes expected = plain;
            reference::LrwEncrypt(ea, keyArea.data(), expected.data(), expected.size(), start);
            ASSERT_EQ(ours, expected) << "start " << start << " length " << length;
            EXPECT_EQ(IndexOf(k.context), start + length / ea.BlockSize);  // wraps modulo 2^64
        }
    }
}

}  // namespace
