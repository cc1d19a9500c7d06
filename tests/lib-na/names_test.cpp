// NT names of drives and DOS files, and the system-information query with
// its per-class length rules.
#include <gmock/gmock.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/io_support.h"
#include "lib-na/na.h"

namespace pelmar_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

std::u16string Text(const WCHAR *buffer) { return std::u16string(buffer); }

class Names : public NativeTest {};

// ---------------------------------------------------------------------------
// GetNtDriveName
// ---------------------------------------------------------------------------

TEST_F(Names, DriveNameOfALetterFitsInSevenCharacters) {
    WCHAR buffer[7];
    ASSERT_EQ(GetNtDriveName(buffer, 7, u'T'), 1);
    EXPECT_EQ(Text(buffer), u"\\??\\T:");
    EXPECT_EQ(buffer[6], 0);
    ASSERT_EQ(GetNtDriveName(buffer, 7, u't'), 1);
    EXPECT_EQ(Text(buffer), u"\\??\\t:");  // the caller's case is kept
    EXPECT_TRUE(Screen().empty());
}

TEST_F(Names, DriveNameRefusesASmallBufferWithoutWritingIt) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(GetNtDriveName(buffer, 6, u'T'), 0);
    EXPECT_EQ(Screen(), Reports({"GetNtDriveName: Buffer too small!"}));
    EXPECT_EQ(Debugger(), Screen());
    for (WCHAR c : buffer) EXPECT_EQ(c, u'#');
}

TEST_F(Names, DriveNameRefusesWhatIsNoLetter) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(GetNtDriveName(buffer, 8, u'5'), 0);
    EXPECT_EQ(GetNtDriveName(buffer, 8, u':'), 0);
    EXPECT_EQ(GetNtDriveName(buffer, 0, u'T'), 0);
    EXPECT_EQ(Screen(), Reports({"GetNtDriveName: Invalid parameter!", "GetNtDriveName: Invalid parameter!",
                                 "GetNtDriveName: Invalid parameter!"}));
    for (WCHAR c : buffer) EXPECT_EQ(c, u'#');
    EXPECT_TRUE(ErrorReported());
}

TEST_F(Names, DriveNameIntoNoBufferIsAssertedAndRefused) {
    EXPECT_EQ(GetNtDriveName(nullptr, 8, u'T'), 0);
    EXPECT_THAT(Screen(), MatchesRegex("\nAssertion failed in lib-na\\\\na_drivename\\.cpp line [0-9]+\n"
                                       "GetNtDriveName: Invalid parameter!\n"));
}

// ---------------------------------------------------------------------------
// GetNtFileName
// ---------------------------------------------------------------------------

TEST_F(Names, DosNameGetsThePrefixAndNeedsRoomForItsTerminator) {
    WCHAR buffer[264];
    ASSERT_EQ(GetNtFileName(buffer, 18, u"c:\\pelmar.img"), 1);
    EXPECT_EQ(Text(buffer), u"\\??\\c:\\pelmar.img");
    EXPECT_EQ(Text(buffer).size(), 17u);
    EXPECT_TRUE(Screen().empty());

    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(GetNtFileName(buffer, 17, u"c:\\pelmar.img"), 0);
    EXPECT_EQ(Screen(), Reports({"GetNtFileName: Buffer too small!"}));
    for (WCHAR c : buffer) EXPECT_EQ(c, u'#');  // not even a partial path
}

TEST_F(Names, AnyNameWithAColonSecondIsDosForm) {
    WCHAR buffer[16];
    ASSERT_EQ(GetNtFileName(buffer, 16, u"1:x"), 1);
    EXPECT_EQ(Text(buffer), u"\\??\\1:x");
    ASSERT_EQ(GetNtFileName(buffer, 16, u"c:"), 1);
    EXPECT_EQ(Text(buffer), u"\\??\\c:");
}

TEST_F(Names, OtherNamesAreCopiedUnchanged) {
    WCHAR buffer[264];
    for (const char16_t *name : {u"\\??\\c:\\pelmar.tc", u"\\Device\\TrueCrypt", u"relative\\name", u"a", u":"}) {
        ASSERT_EQ(GetNtFileName(buffer, 264, name), 1);
        EXPECT_EQ(Text(buffer), std::u16string(name));
    }
    buffer[0] = u'#';
    ASSERT_EQ(GetNtFileName(buffer, 1, u""), 1);  // an empty name is an empty string
    EXPECT_EQ(buffer[0], 0);
    // Unchanged names still need room for their terminator.
    EXPECT_EQ(GetNtFileName(buffer, 17, u"\\Device\\TrueCrypt"), 0);
    EXPECT_EQ(GetNtFileName(buffer, 1, u"a"), 0);
    EXPECT_EQ(Screen(), Reports({"GetNtFileName: Buffer too small!", "GetNtFileName: Buffer too small!"}));
}

TEST_F(Names, FileNameArgumentsAreCheckedBeforeAnythingIsWritten) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(GetNtFileName(buffer, 0, u"a"), 0);
    EXPECT_EQ(Screen(), Reports({"GetNtFileName: Invalid parameter!"}));
    EXPECT_EQ(GetNtFileName(buffer, 8, nullptr), 0);
    EXPECT_EQ(GetNtFileName(nullptr, 8, u"a"), 0);
    EXPECT_EQ(GetNtFileName(nullptr, 8, nullptr), 0);
    EXPECT_THAT(Screen(), MatchesRegex("\nGetNtFileName: Invalid parameter!\n"
                                       "Assertion failed in lib-na\\\\na_filename\\.cpp line ([0-9]+)\n"
                                       "GetNtFileName: Invalid parameter!\n"
                                       "Assertion failed in lib-na\\\\na_filename\\.cpp line ([0-9]+)\n"
                                       "GetNtFileName: Invalid parameter!\n"
                                       "Assertion failed in lib-na\\\\na_filename\\.cpp line [0-9]+\n"
                                       "Assertion failed in lib-na\\\\na_filename\\.cpp line [0-9]+\n"
                                       "GetNtFileName: Invalid parameter!\n"));
    for (WCHAR c : buffer) EXPECT_EQ(c, u'#');
}

// ---------------------------------------------------------------------------
// NaGetSystemInformation
// ---------------------------------------------------------------------------

class SystemInformation : public NativeTest {
protected:
    std::vector<uint8_t> scratch = std::vector<uint8_t>(65536, 0xA5);
};

TEST_F(SystemInformation, TimeOfDayIsAskedForThirtyTwoBytes) {
    ULONG count = 0;
    ASSERT_EQ(NaGetSystemInformation(SystemTimeOfDayInformation, scratch.data(), 65536, &count), 1);
    EXPECT_EQ(count, 32u);
    EXPECT_TRUE(TraceHas("NtQuerySystemInformation", "class=3, length=32"));
    for (size_t i = 32; i < 64; ++i) EXPECT_EQ(scratch[i], 0xA5);
    // A shorter buffer is not stretched to the limit.
    ASSERT_EQ(NaGetSystemInformation(SystemTimeOfDayInformation, scratch.data(), 16, &count), 1);
    EXPECT_TRUE(TraceHas("NtQuerySystemInformation", "class=3, length=16"));
    EXPECT_TRUE(Screen().empty());
}

TEST_F(SystemInformation, ProcessorPerformanceIsAskedForOneRecord) {
    ULONG count = 0;
    ASSERT_EQ(NaGetSystemInformation(SystemProcessorPerformanceInformation, scratch.data(), 65536, &count), 1);
    EXPECT_EQ(count, 48u);
    EXPECT_TRUE(TraceHas("NtQuerySystemInformation", "class=8, length=48"));
    // A shorter length is passed as it is.
    EXPECT_EQ(NaGetSystemInformation(SystemProcessorPerformanceInformation, scratch.data(), 20, &count), 0);
    EXPECT_TRUE(TraceHas("NtQuerySystemInformation", "class=8, length=20"));
}

TEST_F(SystemInformation, InterruptInformationReportedWithoutACountDeliversOneRecord) {
    M().mutableOptions().sysinfoZeroCount = {SystemInterruptInformation};
    ULONG count = 99;
    ASSERT_EQ(NaGetSystemInformation(SystemInterruptInformation, scratch.data(), 65536, &count), 1);
    EXPECT_EQ(count, 24u);
    EXPECT_TRUE(TraceHas("NtQuerySystemInformation", "class=23, length=65536, returned=0) = 0x00000000 "
                                                     "{count reported as 0}"));
    // Other classes keep a zero count.
    M().mutableOptions().sysinfoZeroCount = {SystemExceptionInformation};
    ASSERT_EQ(NaGetSystemInformation(SystemExceptionInformation, scratch.data(), 65536, &count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_TRUE(Screen().empty());
}

TEST_F(SystemInformation, InterruptInformationWithACountKeepsIt) {
    ULONG count = 0;
    ASSERT_EQ(NaGetSystemInformation(SystemInterruptInformation, scratch.data(), 65536, &count), 1);
    EXPECT_GE(count, 24u);
    EXPECT_EQ(count % 24, 0u);
}

TEST_F(SystemInformation, EveryEntropyClassAnswersWithinTheBuffer) {
    for (ULONG infoClass : {2u, 3u, 5u, 6u, 8u, 11u, 16u, 21u, 23u, 33u, 36u, 43u, 45u, 51u, 55u}) {
        ULONG count = 0xFFFFFFFF;
        EXPECT_EQ(NaGetSystemInformation(infoClass, scratch.data(), 65536, &count), 1) << infoClass;
        EXPECT_LE(count, 65536u) << infoClass;
        if (infoClass != SystemVerifierInformation) {
            EXPECT_GT(count, 0u) << infoClass;
        }
    }
    EXPECT_TRUE(Screen().empty());
    EXPECT_FALSE(ErrorReported());
    // A null count address is allowed.
    EXPECT_EQ(NaGetSystemInformation(SystemPerformanceInformation, scratch.data(), 65536, nullptr), 1);
}

TEST_F(SystemInformation, FailedQueryIsReportedWithTheCountTheSystemLeftAndDeliversNothing) {
    ULONG count = 77;
    // Too small for the module list: the system leaves the length it needs.
    EXPECT_EQ(NaGetSystemInformation(SystemModuleInformation, scratch.data(), 16, &count), 0);
    auto lines = TraceOf("NtQuerySystemInformation");
    ASSERT_EQ(lines.size(), 1u);
    auto at = lines[0].find("needed=");
    ASSERT_NE(at, std::string::npos);
    std::string needed = lines[0].substr(at + 7, lines[0].find(')', at) - at - 7);
    EXPECT_GT(std::stoul(needed), 16u);
    EXPECT_EQ(Screen(), Reports({"NaGetSystemInformation failed (0xc0000004, sic=11, len=" + needed + ")!"}));
    EXPECT_EQ(Debugger(), Screen());
    EXPECT_EQ(count, 0u);  // never more than the buffer, and nothing of a failed query
    EXPECT_TRUE(ErrorReported());
}

TEST_F(SystemInformation, UnknownAndInjectedFailuresAreReportedOnce) {
    ULONG count = 5;
    EXPECT_EQ(NaGetSystemInformation(99, scratch.data(), 65536, &count), 0);
    EXPECT_EQ(count, 0u);
    Fail("NtQuerySystemInformation", 2, STATUS_ACCESS_DENIED);
    EXPECT_EQ(NaGetSystemInformation(SystemProcessInformation, scratch.data(), 65536, &count), 0);
    EXPECT_EQ(Screen(), Reports({"NaGetSystemInformation failed (0xc0000003, sic=99, len=0)!",
                                 "NaGetSystemInformation failed (0xc0000022, sic=5, len=0)!"}));
}

TEST_F(SystemInformation, NullBufferIsAssertedAndThenRefusedBySystem) {
    ULONG count = 0;
    EXPECT_EQ(NaGetSystemInformation(SystemTimeOfDayInformation, nullptr, 65536, &count), 0);
    EXPECT_THAT(Screen(), MatchesRegex("\nAssertion failed in lib-na\\\\na_sysinfo\\.cpp line [0-9]+\n"
                                       "NaGetSystemInformation failed \\(0xc0000005, sic=3, len=0\\)!\n"));
    EXPECT_TRUE(TraceHas("NtQuerySystemInformation", "class=3, length=32"));
}

}  // namespace
}  // namespace pelmar_test
