// The entropy pool and CRC-32, against a bitwise model written here and
// against libgcrypt's CRC-32.
#include "keying/pool.h"

#include <gcrypt.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// One reflected CRC-32 step computed bit by bit, without any table.
uint32_t BitwiseStep(uint32_t reg, uint8_t byte) {
    reg ^= byte;
    for (int i = 0; i < 8; ++i) {
        reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

// The pool as a plain model: index instead of pointers.
struct Model {
    uint32_t Register = 0;
    size_t Cursor = 0, Size = 64;
    uint8_t Data[64] = {};

    void Add(const Bytes &bytes) {
        for (uint8_t b : bytes) {
            Register = BitwiseStep(Register, b);
            for (int shift = 24; shift >= 0; shift -= 8) {
                Data[Cursor++] += static_cast<uint8_t>(Register >> shift);
            }
            if (Cursor == Size) {
                Cursor = 0;
            }
        }
    }
};

// In place: the record holds pointers into itself, so it must not be copied.
void Fresh(ENTROPY_POOL &pool, uint32_t size = 0) {
    std::memset(&pool, 0, sizeof(pool));
    PoolInit(&pool, size);
}

void ExpectSame(const ENTROPY_POOL &pool, const Model &model) {
    EXPECT_EQ(pool.Register, model.Register);
    EXPECT_EQ(static_cast<size_t>(pool.Cursor - pool.Data), model.Cursor);
    EXPECT_EQ(std::memcmp(pool.Data, model.Data, sizeof(model.Data)), 0);
}

TEST(CrcTable, IsTheStandardReflectedTable) {
    for (uint32_t i = 0; i < 256; ++i) {
        EXPECT_EQ(CRC_TABLE[i], BitwiseStep(0, static_cast<uint8_t>(i))) << i;
    }
    EXPECT_EQ(CRC_TABLE[1], 0x77073096u);
    EXPECT_EQ(CRC_TABLE[255], 0x2D02EF8Du);
}

TEST(PoolInit, SizesAndUntouchedState) {
    ENTROPY_POOL pool;
    std::memset(&pool, 0x5E, sizeof(pool));
    PoolInit(&pool, 0);
    EXPECT_EQ(pool.Cursor, pool.Data);
    EXPECT_EQ(pool.End - pool.Data, 64);
    EXPECT_EQ(pool.Register, 0x5E5E5E5Eu);
    EXPECT_EQ(Bytes(pool.Data, pool.Data + 64), Bytes(64, 0x5E));

    PoolInit(&pool, 16);
    EXPECT_EQ(pool.End - pool.Data, 16);
    PoolInit(&pool, 64);
    EXPECT_EQ(pool.End - pool.Data, 64);
    // Sizes that would let the cursor leave the data field fall back to 64.
    for (uint32_t bad : {6u, 68u, 65u, 1000u, 3u}) {
        PoolInit(&pool, bad);
        EXPECT_EQ(pool.End - pool.Data, 64) << bad;
    }
}

TEST(PoolAdd, SingleBytesOnAFreshPool) {
    ENTROPY_POOL pool;
    Fresh(pool);
    const uint8_t zero = 0x00;
    PoolAdd(&pool, &zero, 1);
    EXPECT_EQ(pool.Register, 0u);
    EXPECT_EQ(Bytes(pool.Data, pool.Data + 64), Bytes(64, 0));
    EXPECT_EQ(pool.Cursor, pool.Data + 4);

    Fresh(pool);
    const uint8_t one = 0x01;
    PoolAdd(&pool, &one, 1);
    EXPECT_EQ(pool.Register, 0x77073096u);
    EXPECT_EQ(Bytes(pool.Data, pool.Data + 5), Bytes({0x77, 0x07, 0x30, 0x96, 0x00}));
    EXPECT_EQ(pool.Cursor, pool.Data + 4);

    const ENTROPY_POOL before = pool;
    PoolAdd(&pool, &one, 0);
    EXPECT_EQ(std::memcmp(&before, &pool, sizeof(pool)), 0);
}

TEST(PoolAdd, SixteenBytesFillTheRingAndTheSeventeenthAddsAgain) {
    Bytes input(17);
    for (size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<uint8_t>(0xA0 + i);
    }
    ENTROPY_POOL pool;
    Fresh(pool);
    Model model;
    PoolAdd(&pool, input.data(), 16);
    model.Add(Bytes(input.begin(), input.begin() + 16));
    ExpectSame(pool, model);
    EXPECT_EQ(pool.Cursor, pool.Data);
    for (int i = 0; i < 64; ++i) {
        EXPECT_NE(pool.Data[i], 0) << i;  // none of these register bytes is zero
    }
    const Bytes afterSixteen(pool.Data, pool.Data + 64);
    PoolAdd(&pool, &input[16], 1);
    const uint32_t reg = pool.Register;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pool.Data[i], static_cast<uint8_t>(afterSixteen[i] + (reg >> (24 - 8 * i)))) << i;
    }
    EXPECT_EQ(Bytes(pool.Data + 4, pool.Data + 64), Bytes(afterSixteen.begin() + 4, afterSixteen.end()));
    EXPECT_EQ(pool.Cursor, pool.Data + 4);
}

TEST(PoolAdd, SplitAddsEqualOneAddAndFollowTheModel) {
    std::mt19937_64 random(31);
    for (uint32_t size : {0u, 8u, 16u, 60u}) {
        SCOPED_TRACE(size);
        Bytes input(1000);
        for (auto &b : input) {
            b = static_cast<uint8_t>(random());
        }
        ENTROPY_POOL whole, split;
        Fresh(whole, size);
        Fresh(split, size);
        PoolAdd(&whole, input.data(), static_cast<uint32_t>(input.size()));
        size_t offset = 0;
        while (offset < input.size()) {
            const size_t piece = std::min<size_t>(random() % 37, input.size() - offset);
            PoolAdd(&split, input.data() + offset, static_cast<uint32_t>(piece));
            offset += piece;
        }
        EXPECT_EQ(std::memcmp(&whole.Register, &split.Register, sizeof(uint32_t) + 64), 0);
        EXPECT_EQ(whole.Cursor - whole.Data, split.Cursor - split.Data);

        Model model;
        model.Size = size == 0 ? 64 : size;
        model.Add(input);
        ExpectSame(whole, model);
        // A short ring never writes behind its end.
        for (size_t i = model.Size; i < 64; ++i) {
            EXPECT_EQ(whole.Data[i], 0) << i;
        }
    }
}

TEST(Crc32, CheckValueAndEmptyInput) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("", 0), 0u);
    EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

TEST(Crc32, MatchesLibgcrypt) {
    gcry_check_version(nullptr);
    std::mt19937_64 random(32);
    for (size_t length : {1u, 3u, 4u, 64u, 448u, 511u, 4096u}) {
        Bytes data(length);
        for (auto &b : data) {
            b = static_cast<uint8_t>(random());
        }
        uint8_t digest[4];
        gcry_md_hash_buffer(GCRY_MD_CRC32, digest, data.data(), data.size());
        // libgcrypt writes the CRC most significant byte first.
        const uint32_t expected = (uint32_t(digest[0]) << 24) | (digest[1] << 16) | (digest[2] << 8) | digest[3];
        EXPECT_EQ(Crc32(data.data(), static_cast<uint32_t>(data.size())), expected) << length;
    }
}

}  // namespace
