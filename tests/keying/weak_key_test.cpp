// The weak-key tests on key material and Triple DES keys, and the password
// quality test.
#include <algorithm>
#include <array>
#include <cstring>
#include <set>

#include "keying/keymaterial.h"
#include "keying/weak_keys.h"
#include "tests/keying/reference.h"

namespace {

using Key8 = std::array<uint8_t, 8>;

// The table's rule, written out again.
std::vector<Key8> WeakKeysByRule() {
    const uint8_t values[4] = {0x00, 0x1E, 0xE0, 0xFE};
    auto second = [](uint8_t v) -> uint8_t { return v == 0x1E ? 0x0E : v == 0xE0 ? 0xF0 : v; };
    std::vector<Key8> keys;
    for (uint8_t a : values)
        for (uint8_t b : values)
            for (uint8_t c : values)
                for (uint8_t d : values) {
                    if ((a ^ b ^ c ^ d) != 0) continue;
                    keys.push_back({a, b, c, d, second(a), second(b), second(c), second(d)});
                }
    std::sort(keys.begin(), keys.end());
    return keys;
}

TEST(DesWeakKeys, TableIsExactlyTheRuleInAscendingOrder) {
    const std::vector<Key8> expected = WeakKeysByRule();
    ASSERT_EQ(expected.size(), 64u);
    for (std::size_t i = 0; i < 64; ++i) {
        Key8 entry;
        std::memcpy(entry.data(), DES_WEAK_KEYS[i], 8);
        EXPECT_EQ(entry, expected[i]) << "entry " << i;
    }
    // The classic weak and semi-weak keys (parity bits cleared) are all in.
    const Key8 known[] = {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE},
                          {0xE0, 0xE0, 0xE0, 0xE0, 0xF0, 0xF0, 0xF0, 0xF0}, {0x1E, 0x1E, 0x1E, 0x1E, 0x0E, 0x0E, 0x0E, 0x0E},
                          {0x00, 0xFE, 0x00, 0xFE, 0x00, 0xFE, 0x00, 0xFE}, {0x1E, 0xE0, 0x1E, 0xE0, 0x0E, 0xF0, 0x0E, 0xF0}};
    for (const Key8 &k : known) EXPECT_TRUE(std::binary_search(expected.begin(), expected.end(), k));
}

struct TripleKey {
    std::array<uint8_t, 24> bytes;
    uint8_t *k(int i) { return bytes.data() + 8 * (i - 1); }
};

TripleKey RandomTripleKey(std::mt19937 &rng) {
    TripleKey key;
    for (auto &b : key.bytes) b = static_cast<uint8_t>(rng());
    return key;
}

TEST(TripleDesWeakKey, RandomKeysPass) {
    std::mt19937 rng(1);
    for (int i = 0; i < 1000; ++i) {
        TripleKey key = RandomTripleKey(rng);
        EXPECT_EQ(IsWeakTripleDesKey(key.bytes.data()), 0);
    }
}

TEST(TripleDesWeakKey, EqualNeighboursModuloParityAreWeak) {
    std::mt19937 rng(2);
    for (int i = 0; i < 50; ++i) {
        TripleKey key = RandomTripleKey(rng);
        // K2 = K1 with some parity bits flipped.
        for (int j = 0; j < 8; ++j) key.k(2)[j] = static_cast<uint8_t>(key.k(1)[j] ^ (rng() & 1));
        EXPECT_EQ(IsWeakTripleDesKey(key.bytes.data()), 1);

        key = RandomTripleKey(rng);
        for (int j = 0; j < 8; ++j) key.k(3)[j] = static_cast<uint8_t>(key.k(2)[j] ^ (rng() & 1));
        EXPECT_EQ(IsWeakTripleDesKey(key.bytes.data()), 1);

        // K1 == K3 alone is no reason.
        key = RandomTripleKey(rng);
        std::memcpy(key.k(3), key.k(1), 8);
        EXPECT_EQ(IsWeakTripleDesKey(key.bytes.data()), 0);

        // A difference in a non-parity bit makes the keys distinct.
        key = RandomTripleKey(rng);
        std::memcpy(key.k(2), key.k(1), 8);
        key.k(2)[rng() % 8] ^= static_cast<uint8_t>(2u << (rng() % 7));
        EXPECT_EQ(IsWeakTripleDesKey(key.bytes.data()), 0);
    }
}

TEST(TripleDesWeakKey, AnyTableKeyInAnyPositionIsWeak) {
    std::mt19937 rng(3);
    for (const Key8 &weak : WeakKeysByRule()) {
        for (int position = 1; position <= 3; ++position) {
            TripleKey key = RandomTripleKey(rng);
            for (int j = 0; j < 8; ++j) key.k(position)[j] = static_cast<uint8_t>(weak[j] | (rng() & 1));
            EXPECT_EQ(IsWeakTripleDesKey(key.bytes.data()), 1) << "position " << position;
        }
    }
    for (uint8_t fill : {0xFE, 0xFF}) {
        TripleKey key = RandomTripleKey(rng);
        std::memset(key.k(3), fill, 8);
        EXPECT_EQ(IsWeakTripleDesKey(key.bytes.data()), 1);
    }
}

TEST(KeyMaterial, SixteenZeroBytesAreWeakForEveryEa) {
    std::mt19937 rng(4);
    for (int32_t ea = 1; ea <= 11; ++ea) {
        auto material = keying_test::RandomBytes(rng, 128);
        std::fill(material.begin(), material.begin() + 16, 0);
        EXPECT_EQ(IsWeakKeyMaterial(material.data(), ea), 1) << ea;
        material[15] = 1;
        EXPECT_EQ(IsWeakKeyMaterial(material.data(), ea), 0) << ea;
        material[15] = 0;
        material[0] = 0x80;
        EXPECT_EQ(IsWeakKeyMaterial(material.data(), ea), 0) << ea;
    }
}

TEST(KeyMaterial, TripleDesKeysAreExaminedOnlyForEa5) {
    std::mt19937 rng(5);
    auto base = keying_test::RandomBytes(rng, 128);
    std::vector<std::vector<uint8_t>> weakFor3Des;
    auto lowBits = base;  // K2 = K1 with low bits flipped
    for (int j = 0; j < 8; ++j) lowBits[40 + j] = static_cast<uint8_t>(lowBits[32 + j] ^ (j % 2));
    weakFor3Des.push_back(lowBits);
    for (uint8_t fill : {0xFE, 0xFF}) {
        auto k3 = base;
        std::fill(k3.begin() + 48, k3.begin() + 56, fill);
        weakFor3Des.push_back(k3);
    }
    auto k1Weak = base;
    std::memcpy(k1Weak.data() + 32, DES_WEAK_KEYS[37], 8);
    weakFor3Des.push_back(k1Weak);

    for (const auto &material : weakFor3Des) {
        EXPECT_EQ(IsWeakKeyMaterial(material.data(), 5), 1);
        for (int32_t ea = 1; ea <= 11; ++ea) {
            if (ea != 5) {
                EXPECT_EQ(IsWeakKeyMaterial(material.data(), ea), 0) << ea;
            }
        }
    }
    auto k1EqualsK3 = base;
    std::memcpy(k1EqualsK3.data() + 48, k1EqualsK3.data() + 32, 8);
    EXPECT_EQ(IsWeakKeyMaterial(k1EqualsK3.data(), 5), 0);
    EXPECT_EQ(IsWeakKeyMaterial(base.data(), 5), 0);
}

VOLUME_PASSWORD MakePassword(const std::vector<uint8_t> &bytes) {
    VOLUME_PASSWORD password{};
    password.Length = static_cast<uint32_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), password.Text);
    return password;
}

int32_t Weak(const std::vector<uint8_t> &bytes) {
    const VOLUME_PASSWORD password = MakePassword(bytes);
    PASSWORD_TEST_WORKSPACE workspace;
    std::memset(&workspace, 0xCC, sizeof workspace);  // nothing may rely on earlier contents
    return IsWeakPassword(&password, &workspace);
}

// 64 bytes whose neighbour differences cycle through the steps 1..steps.
std::vector<uint8_t> WithSteps(int steps) {
    std::vector<uint8_t> out;
    uint8_t value = 0;
    for (int i = 0; i < 64; ++i) {
        out.push_back(value);
        value = static_cast<uint8_t>(value + (i % steps + 1));
    }
    return out;
}

std::size_t Distinct(const std::vector<uint8_t> &v) { return std::set<uint8_t>(v.begin(), v.end()).size(); }

std::size_t DistinctDifferences(const std::vector<uint8_t> &v) {
    std::set<uint8_t> d;
    for (std::size_t i = 0; i + 1 < v.size(); ++i) d.insert(static_cast<uint8_t>(v[i + 1] - v[i]));
    return d.size();
}

TEST(PasswordTest, TenDistinctValuesAndTenDistinctDifferencesPass) {
    // Ten values that repeat in a pattern with ten distinct steps.
    const uint8_t alphabet[10] = {0x00, 0x01, 0x03, 0x07, 0x0F, 0x1F, 0x3F, 0x7F, 0xFF, 0x90};
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 64; ++i) bytes.push_back(alphabet[i % 10]);
    ASSERT_EQ(Distinct(bytes), 10u);
    ASSERT_EQ(DistinctDifferences(bytes), 10u);
    EXPECT_EQ(Weak(bytes), 0);

    // Nine values: rejected, whatever the differences.
    std::vector<uint8_t> nine;
    for (int i = 0; i < 64; ++i) nine.push_back(alphabet[(i * 4 + i / 9) % 9]);
    ASSERT_EQ(Distinct(nine), 9u);
    ASSERT_GE(DistinctDifferences(nine), 10u);
    EXPECT_EQ(Weak(nine), 1);
}

TEST(PasswordTest, DistinctValuesButFewDifferencesAreRejected) {
    std::vector<uint8_t> ramp;
    for (int i = 0; i < 64; ++i) ramp.push_back(static_cast<uint8_t>(i));
    EXPECT_EQ(Weak(ramp), 1);  // 64 values, one difference

    // Nine distinct differences over many values: rejected; ten: accepted.
    const std::vector<uint8_t> nineSteps = WithSteps(9);
    ASSERT_EQ(DistinctDifferences(nineSteps), 9u);
    ASSERT_GE(Distinct(nineSteps), 10u);
    EXPECT_EQ(Weak(nineSteps), 1);
    const std::vector<uint8_t> tenSteps = WithSteps(10);
    ASSERT_EQ(DistinctDifferences(tenSteps), 10u);
    ASSERT_GE(Distinct(tenSteps), 10u);
    EXPECT_EQ(Weak(tenSteps), 0);
}

TEST(PasswordTest, DifferencesAreTakenModulo256) {
    // Steps of -2 (0xFE) and +1..+9: 0x05 then 0x03 must count as 0xFE, not as
    // a negative number folded onto another step.
    std::vector<uint8_t> bytes;
    uint8_t value = 0x05;
    for (int i = 0; i < 64; ++i) {
        bytes.push_back(value);
        const int step = i % 10 == 0 ? -2 : i % 10;
        value = static_cast<uint8_t>(value + step);
    }
    ASSERT_EQ(bytes[0], 0x05);
    ASSERT_EQ(bytes[1], 0x03);
    ASSERT_EQ(DistinctDifferences(bytes), 10u);
    EXPECT_EQ(Weak(bytes), 0);
    // Replacing the wrap-around step by +2 leaves nine differences.
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (static_cast<uint8_t>(bytes[i + 1] - bytes[i]) == 0xFE) {
            for (std::size_t j = i + 1; j < bytes.size(); ++j) bytes[j] = static_cast<uint8_t>(bytes[j] + 4);
        }
    }
    ASSERT_EQ(DistinctDifferences(bytes), 9u);
    EXPECT_EQ(Weak(bytes), 1);
}

TEST(PasswordTest, ShortPasswordsAreRejected) {
    EXPECT_EQ(Weak({}), 1);
    EXPECT_EQ(Weak({0x42}), 1);
    // Ten distinct values in ten bytes: nine differences at most.
    EXPECT_EQ(Weak({0, 1, 3, 6, 10, 15, 21, 28, 36, 45}), 1);
    // Eleven bytes with ten distinct values and ten distinct steps pass.
    EXPECT_EQ(Weak({0, 1, 3, 6, 10, 15, 21, 28, 36, 45, 35}), 0);
    // A length beyond the record's 64 bytes is not a password of ours.
    VOLUME_PASSWORD tooLong{};
    for (int i = 0; i < 65; ++i) tooLong.Text[i] = static_cast<uint8_t>(i * 37);
    tooLong.Length = 65;
    PASSWORD_TEST_WORKSPACE workspace{};
    EXPECT_EQ(IsWeakPassword(&tooLong, &workspace), 1);
}

TEST(PasswordTest, RandomPasswordsPass) {
    std::mt19937 rng(9);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(Weak(keying_test::RandomBytes(rng, 64)), 0);
}

}  // namespace
