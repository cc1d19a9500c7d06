// Keying and releasing EA contexts: table, key positions, cascade order,
// blank states and the failure path.
#include "crypto/ea.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "crypto/descriptors.h"
#include "crypto/lrw.h"
#include "tests/crypto/reference.h"

namespace {

using reference::Bytes;

Bytes ContextBytes(const EA_CONTEXT &c) {
    const auto *p = reinterpret_cast<const uint8_t *>(&c);
    return Bytes(p, p + sizeof(c));
}

Bytes KeyArea(uint64_t seed) {
    std::mt19937_64 random(seed);
    return reference::RandomBytes(random, 128);
}

// Context after EaSetup, and the LRW ciphertext of a fixed buffer.
struct Outcome {
    int32_t Result;
    Bytes Context, Ciphertext;
};

Outcome Key(int ea, const Bytes &keyArea) {
    EA_CONTEXT c;
    std::memset(&c, 0xAA, sizeof(c));
    Outcome o;
    o.Result = EaSetup(&c, keyArea.data(), ea);
    o.Context = ContextBytes(c);
    o.Ciphertext.assign(64, 0x3C);
    if (o.Result == 1) {
        EXPECT_EQ(LrwEncrypt(&c, o.Ciphertext.data(), o.Ciphertext.size()), 1);
        EaRelease(&c);
    }
    return o;
}

TEST(EaTable, RowsAndAliasesInOrder) {
    const std::pair<int32_t, std::string> expected[] = {
        {1, "AES"},         {1, "AES256"},     {1, "Rijndael"},           {2, "Blowfish"},
        {3, "CAST5"},       {4, "Serpent"},    {5, "Triple DES"},         {5, "TripleDES"},
        {5, "3DES"},        {6, "Twofish"},    {7, "AES-Twofish"},        {8, "AES-Twofish-Serpent"},
        {9, "Serpent-AES"}, {10, "Serpent-Twofish-AES"}, {11, "Twofish-Serpent"},
    };
    size_t i = 0;
    for (; EA_TABLE[i].Id != 0; ++i) {
        ASSERT_LT(i, std::size(expected));
        EXPECT_EQ(EA_TABLE[i].Id, expected[i].first);
        EXPECT_EQ(std::string(EA_TABLE[i].Name), expected[i].second);
    }
    EXPECT_EQ(i, std::size(expected));
    EXPECT_EQ(EA_TABLE[i].Name, nullptr);
}

TEST(EaSetup, KeysEveryEaWithItsSlotsIndexAndTweakKey) {
    const struct {
        int Ea;
        const ltc_cipher_descriptor *Slots[3];
        uint32_t BlockSize;
    } layouts[] = {
        {1, {&aes_desc, nullptr, nullptr}, 16},
        {2, {&tcblowfish_desc, nullptr, nullptr}, 8},
        {3, {&cast5_desc, nullptr, nullptr}, 8},
        {4, {&serpent_desc, nullptr, nullptr}, 16},
        {5, {&des3_desc, nullptr, nullptr}, 8},
        {6, {&twofish_desc, nullptr, nullptr}, 16},
        {7, {&twofish_desc, &aes_desc, nullptr}, 16},
        {8, {&serpent_desc, &twofish_desc, &aes_desc}, 16},
        {9, {&aes_desc, &serpent_desc, nullptr}, 16},
        {10, {&aes_desc, &twofish_desc, &serpent_desc}, 16},
        {11, {&serpent_desc, &twofish_desc, nullptr}, 16},
    };
    const Bytes keyArea = KeyArea(5);
    for (const auto &l : layouts) {
        SCOPED_TRACE(l.Ea);
        EA_CONTEXT c;
        std::memset(&c, 0xAA, sizeof(c));
        ASSERT_EQ(EaSetup(&c, keyArea.data(), l.Ea), 1);
        for (int s = 0; s < 3; ++s) {
            EXPECT_EQ(c.Ciphers[s], l.Slots[s]) << "slot " << s + 1;
        }
        EXPECT_EQ(EaBlockSize(&c), l.BlockSize);
        EXPECT_EQ(Bytes(c.LrwKey, c.LrwKey + 16), Bytes(keyArea.begin(), keyArea.begin() + 16));
        EXPECT_EQ(Bytes(c.BlockIndex, c.BlockIndex + 8), Bytes({0, 0, 0, 0, 0, 0, 0, 1}));
        EXPECT_EQ(Bytes(c.Tweak, c.Tweak + 16), Bytes(16, 0));
        EaRelease(&c);
        EXPECT_EQ(ContextBytes(c), Bytes(sizeof(c), 0));
        EXPECT_EQ(EaBlockSize(&c), 0u);
    }
}

TEST(EaSetup, RefusedIdLeavesOnlyTheIndexByte) {
    const Bytes keyArea = KeyArea(6);
    Bytes blank(sizeof(EA_CONTEXT), 0);
    blank.back() = 1;
    for (int ea : {0, 12, -1, 1000}) {
        const Outcome o = Key(ea, keyArea);
        EXPECT_EQ(o.Result, 0) << ea;
        EXPECT_EQ(o.Context, blank) << ea;
    }
}

TEST(EaSetup, KeyAreaBytes16To31AreNeverRead) {
    for (int ea = 1; ea <= 11; ++ea) {
        Bytes a = KeyArea(7), b = a;
        for (int i = 16; i < 32; ++i) {
            b[i] = static_cast<uint8_t>(~a[i]);
        }
        const Outcome oa = Key(ea, a), ob = Key(ea, b);
        EXPECT_EQ(oa.Context, ob.Context) << ea;
        EXPECT_EQ(oa.Ciphertext, ob.Ciphertext) << ea;
    }
}

TEST(EaSetup, EachEaReadsExactlyItsKeyBytes) {
    const struct {
        int Ea;
        size_t LastCipherKeyByte, LastTweakKeyByte;
    } extents[] = {{1, 63, 15}, {2, 87, 7}, {3, 47, 7}, {4, 63, 15}, {5, 55, 7}, {6, 63, 15},
                   {7, 95, 15}, {8, 127, 15}, {9, 95, 15}, {10, 127, 15}, {11, 95, 15}};
    for (const auto &e : extents) {
        SCOPED_TRACE(e.Ea);
        const Bytes base = KeyArea(8);
        const Outcome reference = Key(e.Ea, base);
        Bytes beyond = base;
        for (size_t i = e.LastCipherKeyByte + 1; i < 128; ++i) {
            beyond[i] = static_cast<uint8_t>(base[i] ^ 0x5A);
        }
        const Outcome other = Key(e.Ea, beyond);
        EXPECT_EQ(other.Context, reference.Context);
        EXPECT_EQ(other.Ciphertext, reference.Ciphertext);

        // ... while the last key byte itself does count.
        Bytes last = base;
        last[e.LastCipherKeyByte] ^= 0x80;
        EXPECT_NE(Key(e.Ea, last).Ciphertext, reference.Ciphertext);

        // Tweak-key bytes past the field width reach LrwKey but no ciphertext.
        Bytes tweak = base;
        for (size_t i = e.LastTweakKeyByte + 1; i < 16; ++i) {
            tweak[i] ^= 0xFF;
        }
        EXPECT_EQ(Key(e.Ea, tweak).Ciphertext, reference.Ciphertext);
        tweak[e.LastTweakKeyByte] ^= 0x01;
        EXPECT_NE(Key(e.Ea, tweak).Ciphertext, reference.Ciphertext);
    }
}

TEST(EaSetup, SwappingTheKeysOfAesTwofishChangesTheCiphertext) {
    const Bytes keyArea = KeyArea(9);
    Bytes swapped = keyArea;
    std::swap_ranges(swapped.begin() + 32, swapped.begin() + 64, swapped.begin() + 64);
    EXPECT_NE(Key(7, keyArea).Ciphertext, Key(7, swapped).Ciphertext);
}

// A descriptor whose set-up fails on demand and whose release is recorded.
struct Recorder {
    const EA_CONTEXT *Context = nullptr;
    std::vector<std::string> Events;
};
Recorder *gRecorder = nullptr;

int RecordSlot(const symmetric_key *schedule) {
    for (int s = 0; s < 3; ++s) {
        if (schedule == &gRecorder->Context->Schedules[s].Ltc) {
            return s + 1;
        }
    }
    return 0;
}

int SetupOk(const unsigned char *, int, int, symmetric_key *schedule) {
    const int slot = RecordSlot(schedule);
    gRecorder->Events.push_back("setup " + std::to_string(slot) + " stored " +
                                std::to_string(gRecorder->Context->Ciphers[slot - 1] != nullptr));
    std::memset(schedule, 0x77, 64);
    return CRYPT_OK;
}

int SetupFails(const unsigned char *key, int length, int rounds, symmetric_key *schedule) {
    SetupOk(key, length, rounds, schedule);
    return CRYPT_INVALID_KEYSIZE;
}

void Release(symmetric_key *schedule) {
    gRecorder->Events.push_back("release " + std::to_string(RecordSlot(schedule)));
}

ltc_cipher_descriptor Fake(int (*setup)(const unsigned char *, int, int, symmetric_key *)) {
    ltc_cipher_descriptor d{};
    d.name = "fake";
    d.block_length = 16;
    d.setup = setup;
    d.done = Release;
    return d;
}

TEST(EaSetup, FailedSlotReleasesKeyedSlotsInOrderAndWipesAll) {
    const ltc_cipher_descriptor ok = Fake(SetupOk), fails = Fake(SetupFails);
    const Bytes keyArea = KeyArea(10);
    EA_CONTEXT c{};
    Recorder recorder;
    recorder.Context = &c;
    gRecorder = &recorder;

    const ltc_cipher_descriptor *const third[3] = {&ok, &ok, &fails};
    c.BlockIndex[7] = 1;
    EXPECT_EQ(EaSetupCascade(&c, keyArea.data(), third, 32), 0);
    EXPECT_EQ(recorder.Events, (std::vector<std::string>{"setup 1 stored 0", "setup 2 stored 0", "setup 3 stored 0",
                                                         "release 1", "release 2"}));
    EXPECT_EQ(ContextBytes(c), Bytes(sizeof(c), 0));

    recorder.Events.clear();
    const ltc_cipher_descriptor *const first[3] = {&fails, &ok, nullptr};
    EXPECT_EQ(EaSetupCascade(&c, keyArea.data(), first, 32), 0);
    EXPECT_EQ(recorder.Events, (std::vector<std::string>{"setup 1 stored 0"}));
    EXPECT_EQ(ContextBytes(c), Bytes(sizeof(c), 0));

    // A successful cascade is released slot by slot, then wiped.
    recorder.Events.clear();
    const ltc_cipher_descriptor *const two[3] = {&ok, &ok, nullptr};
    EXPECT_EQ(EaSetupCascade(&c, keyArea.data(), two, 32), 1);
    EXPECT_EQ(c.Ciphers[1], &ok);
    EXPECT_EQ(c.Ciphers[2], nullptr);
    EaRelease(&c);
    EXPECT_EQ(recorder.Events,
              (std::vector<std::string>{"setup 1 stored 0", "setup 2 stored 0", "release 1", "release 2"}));
    EXPECT_EQ(ContextBytes(c), Bytes(sizeof(c), 0));
    gRecorder = nullptr;
}

}  // namespace
