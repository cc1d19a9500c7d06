// The stand-in's system information: length rules per class, replies that
// change between calls, and nothing written beyond the length given.
#include <gmock/gmock.h>

#include <cstring>
#include <vector>

#include "support/native_test.h"

namespace pelmar_test {
namespace {

constexpr uint8_t kGuard = 0xA5;

class SystemInformationClasses : public ::testing::Test {
protected:
    void SetUp() override { FreshMachine(); }
    std::vector<uint8_t> buffer = std::vector<uint8_t>(65536 + 64, kGuard);
    NTSTATUS Query(ULONG infoClass, ULONG length, ULONG &returned) {
        returned = 0xDEADBEEF;
        return NtQuerySystemInformation(infoClass, buffer.data(), length, &returned);
    }
    bool UntouchedFrom(size_t offset) {
        for (size_t i = offset; i < buffer.size(); ++i)
            if (buffer[i] != kGuard) return false;
        return true;
    }
};

TEST_F(SystemInformationClasses, EveryEntropyClassAnswersAndStaysWithinItsLength) {
    for (ULONG infoClass : {2u, 3u, 5u, 6u, 8u, 11u, 16u, 21u, 23u, 33u, 36u, 43u, 45u, 51u, 55u}) {
        std::fill(buffer.begin(), buffer.end(), kGuard);
        ULONG returned;
        ASSERT_EQ(Query(infoClass, infoClass == 3 ? 48 : 65536, returned), STATUS_SUCCESS) << infoClass;
        EXPECT_LE(returned, 65536u) << infoClass;
        EXPECT_TRUE(UntouchedFrom(returned)) << infoClass;
    }
}

TEST_F(SystemInformationClasses, TooSmallBuffersAreRefusedWithTheNeededLengthAndLeftAlone) {
    struct Case {
        ULONG infoClass;
        ULONG length;
        ULONG needed;  // 0: only "more than length" is known
    };
    const Case cases[] = {{2, 311, 312}, {8, 47, 0},  {11, 16, 0}, {16, 7, 0},  {21, 63, 64},
                          {23, 23, 0},   {33, 15, 16}, {36, 47, 48}, {43, 23, 0}, {55, 7, 0}, {5, 100, 0}};
    for (const Case &c : cases) {
        std::fill(buffer.begin(), buffer.end(), kGuard);
        ULONG returned;
        EXPECT_EQ(Query(c.infoClass, c.length, returned), STATUS_INFO_LENGTH_MISMATCH) << c.infoClass;
        if (c.needed) {
            EXPECT_EQ(returned, c.needed) << c.infoClass;
        }
        EXPECT_GT(returned, c.length) << c.infoClass;
        EXPECT_TRUE(UntouchedFrom(0)) << c.infoClass;
    }
}

TEST_F(SystemInformationClasses, TimeOfDayCopiesAnyLengthUpToItsRecord) {
    ULONG returned;
    ASSERT_EQ(Query(3, 32, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 32u);
    EXPECT_TRUE(UntouchedFrom(32));
    ASSERT_EQ(Query(3, 48, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 48u);
    EXPECT_EQ(Query(3, 49, returned), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(returned, 48u);
    ASSERT_EQ(Query(3, 16, returned), STATUS_SUCCESS);
    // Boot time before the current time, both in the system's units.
    int64_t boot, now;
    std::memcpy(&boot, buffer.data(), 8);
    std::memcpy(&now, buffer.data() + 8, 8);
    EXPECT_GT(boot, 116444736000000000LL);
    EXPECT_GT(now, boot);
}

TEST_F(SystemInformationClasses, RecordClassesDeliverAsManyWholeRecordsAsFit) {
    ULONG returned;
    ASSERT_EQ(Query(8, 48, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 48u);
    ASSERT_EQ(Query(8, 48 + 47, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 48u);
    std::fill(buffer.begin(), buffer.end(), kGuard);
    ASSERT_EQ(Query(45, 40, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 32u);
    EXPECT_TRUE(UntouchedFrom(32));
    ASSERT_EQ(Query(45, 0, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
    ASSERT_EQ(Query(55, 8, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 8u);
    ASSERT_EQ(Query(55, 65536, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 16u);  // one node
    ASSERT_EQ(Query(51, 0, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
}

TEST_F(SystemInformationClasses, RepliesChangeFromCallToCall) {
    for (ULONG infoClass : {3u, 6u}) {
        ULONG length = infoClass == 3 ? 48 : 65536;
        ULONG returned;
        ASSERT_EQ(Query(infoClass, length, returned), STATUS_SUCCESS);
        std::vector<uint8_t> first(buffer.begin(), buffer.begin() + returned);
        // A little time and a few calls pass.
        for (int i = 0; i < 3; ++i) NtQuerySystemInformation(99, nullptr, 0, nullptr);
        struct timespec pause{0, 200000};
        nanosleep(&pause, nullptr);
        ASSERT_EQ(Query(infoClass, length, returned), STATUS_SUCCESS);
        EXPECT_NE(first, std::vector<uint8_t>(buffer.begin(), buffer.begin() + returned)) << infoClass;
    }
}

TEST_F(SystemInformationClasses, EmbeddedNamesPointIntoTheCallersBuffer) {
    ULONG returned;
    ASSERT_EQ(Query(5, 65536, returned), STATUS_SUCCESS);
    size_t at = 0;
    int processes = 0;
    bool sawSelf = false;
    for (;;) {
        ++processes;
        uint16_t length;
        uint64_t name;
        std::memcpy(&length, buffer.data() + at + 56, 2);
        std::memcpy(&name, buffer.data() + at + 64, 8);
        if (length) {
            auto base = reinterpret_cast<uintptr_t>(buffer.data());
            ASSERT_GE(name, base + at + 256);
            ASSERT_LE(name + length, base + returned);
            std::u16string text(reinterpret_cast<const char16_t *>(name), length / 2);
            if (text == u"pelmar.exe") sawSelf = true;
        }
        uint32_t next;
        std::memcpy(&next, buffer.data() + at, 4);
        if (!next) break;
        at += next;
        ASSERT_LT(at, returned);
    }
    EXPECT_EQ(processes, 4);
    EXPECT_TRUE(sawSelf);
}

TEST_F(SystemInformationClasses, UnknownClassesAndBadBuffers) {
    ULONG returned;
    EXPECT_EQ(Query(99, 65536, returned), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(Query(0, 65536, returned), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(NtQuerySystemInformation(3, nullptr, 32, &returned), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(NtQuerySystemInformation(3, buffer.data(), 32, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(UntouchedFrom(32));
}

TEST_F(SystemInformationClasses, ChosenClassesReportNoCountButFillTheBuffer) {
    ntsim::Options options;
    options.sysinfoZeroCount = {23};
    FreshMachine(options);
    ULONG returned;
    ASSERT_EQ(Query(23, 65536, returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
    EXPECT_FALSE(UntouchedFrom(0));
    auto lines = TraceOf("NtQuerySystemInformation");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], ::testing::HasSubstr("{count reported as 0}"));
}

}  // namespace
}  // namespace pelmar_test
