// The stand-in's core must behave as the native library does, or product
// code tested on it would be tested against the wrong platform.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ntsim/ntsim.h"
#include "ntsim/strings.h"
#include "support/native_test.h"

using pelmar_test::CountInTrace;
using pelmar_test::FreshMachine;
using pelmar_test::M;
using pelmar_test::TraceOf;

// The stand-in's versions by their link names: in host code the C library's
// inline versions of the same names would be used instead.
extern "C" int ntsim_tolower(int);
extern "C" int ntsim_toupper(int);
extern "C" int ntsim_atoi(const char *);
extern "C" int ntsim_iswalpha(NT_WINT);
extern "C" NT_WINT ntsim_towupper(NT_WINT);

namespace {

int Format(WCHAR *buffer, size_t count, const WCHAR *format, ...) {
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

std::u16string Formatted(const WCHAR *format, ...) {
    WCHAR buffer[256];
    va_list args;
    va_start(args, format);
    int n = _vsnwprintf(buffer, 256, format, args);
    va_end(args);
    return n < 0 ? u"<overflow>" : std::u16string(buffer, n);
}

TEST(NativeFormat, WideFormatConventions) {
    FreshMachine();
    EXPECT_EQ(Formatted(u"%s/%S/%ls/%hs/%ws", u"w1", "n1", u"w2", "n2", u"w3"), u"w1/n1/w2/n2/w3");
    EXPECT_EQ(Formatted(u"%d %ld %i %u", -1, -2, 3, 0xFFFFFFFFu), u"-1 -2 3 4294967295");
    EXPECT_EQ(Formatted(u"%x %X %08x %#x", 0xabcu, 0xabcu, 0x1fu, 0x10u), u"abc ABC 0000001f 0x10");
    EXPECT_EQ(Formatted(u"%I64d %lld %I64x", -5LL, 1LL << 40, 0x1234567890ULL), u"-5 1099511627776 1234567890");
    EXPECT_EQ(Formatted(u"[%5d][%-5d][%05d][%.3d]", 42, 42, 42, 7), u"[   42][42   ][00042][007]");
    EXPECT_EQ(Formatted(u"%c%C%%", u'W', 'n'), u"Wn%");
    EXPECT_EQ(Formatted(u"%s|%S", static_cast<const WCHAR *>(nullptr), static_cast<const char *>(nullptr)),
              u"(null)|(null)");
    EXPECT_EQ(Formatted(u"%.2s|%5s", u"abcdef", u"ab"), u"ab|   ab");
    EXPECT_EQ(Formatted(u"%S", "\xe9\x80"), u"\u00e9\u20ac");  // narrow text is Windows-1252
}

TEST(NativeFormat, TextThatExactlyFillsIsNotTerminatedAndOverflowIsNegative) {
    FreshMachine();
    WCHAR buffer[6];
    for (auto &c : buffer) c = u'#';
    EXPECT_EQ(Format(buffer, 5, u"abcd"), 4);
    EXPECT_EQ(std::u16string(buffer, 5), std::u16string(u"abcd\0", 5));
    for (auto &c : buffer) c = u'#';
    EXPECT_EQ(Format(buffer, 5, u"abcde"), 5);
    EXPECT_EQ(buffer[5], u'#');
    EXPECT_EQ(std::u16string(buffer, 5), u"abcde");
    for (auto &c : buffer) c = u'#';
    EXPECT_LT(Format(buffer, 5, u"abcdef"), 0);
    EXPECT_EQ(buffer[5], u'#');  // never past the count
    EXPECT_EQ(Format(buffer, 5, u""), 0);
}

TEST(NativeOutput, DebugPrintTakesWideStringsWithLs) {
    FreshMachine();
    DbgPrint("%ls|%s|%S|%d\n", u"w\u00e9", "n", u"W", 7);
    EXPECT_EQ(M().debugOutput(), "w\xc3\xa9|n|W|7\n");
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, u"screen \u00e9");
    EXPECT_EQ(NtDisplayString(&text), STATUS_SUCCESS);
    EXPECT_EQ(M().bootScreen(), "screen \xc3\xa9");
}

// Every UTF-16 code unit converts to the byte Wine's table of the code page
// gives (best fits included), and every byte back, where Wine's data is
// installed.
TEST(NativeStrings, TheAnsiCodePageIsWinesC1252) {
    std::ifstream in("/usr/share/wine/nls/c_1252.nls", std::ios::binary);
    if (!in) GTEST_SKIP() << "Wine's c_1252.nls is not installed";
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<uint16_t> words(bytes.size() / 2);
    std::memcpy(words.data(), bytes.data(), words.size() * 2);
    const size_t header = words[0], wideTable = header + words[header] + 1;
    ASSERT_GE(bytes.size(), wideTable * 2 + 65536);
    for (unsigned b = 0; b < 256; ++b)
        ASSERT_EQ(ntsim::Cp1252ToUtf16(static_cast<uint8_t>(b)), words[header + 1 + b]);
    for (unsigned c = 0; c < 0x10000; ++c)
        ASSERT_EQ(ntsim::Utf16ToCp1252(static_cast<char16_t>(c)),
                  static_cast<uint8_t>(bytes[wideTable * 2 + c]))
            << c;
}

TEST(NativeStrings, CountedStringsAndTheAnsiCodePage) {
    FreshMachine();
    UNICODE_STRING wide;
    RtlInitUnicodeString(&wide,
                         u"a\u20ac\u00e9\u4e2d\u0100\u0142\uff21");  // the last three by their best fit
    EXPECT_EQ(wide.Length, 14);
    EXPECT_EQ(wide.MaximumLength, 16);
    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &wide, 1), STATUS_SUCCESS);
    EXPECT_EQ(ansi.Length, 7);
    EXPECT_EQ(std::string(ansi.Buffer, 8), std::string("a\x80\xe9?AlA\0", 8));
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(ansi.Buffer, nullptr);

    RtlInitAnsiString(&ansi, "x\x9f");
    EXPECT_EQ(ansi.Length, 2);
    EXPECT_EQ(ansi.MaximumLength, 3);
    UNICODE_STRING back;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, 1), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(back.Buffer, back.Length / 2), u"x\u0178");
    EXPECT_EQ(back.Buffer[2], 0);

    RtlInitUnicodeString(&wide, nullptr);
    EXPECT_EQ(wide.Length, 0);
    EXPECT_EQ(wide.Buffer, nullptr);
}

TEST(NativeStrings, CharacterAndNumberFunctions) {
    EXPECT_EQ(ntsim_tolower('Q'), 'q');
    EXPECT_EQ(ntsim_tolower(static_cast<signed char>('\xc9')), static_cast<signed char>('\xc9'));
    EXPECT_EQ(ntsim_toupper('k'), 'K');
    EXPECT_EQ(ntsim_toupper('9'), '9');
    EXPECT_EQ(ntsim_atoi("  -42x"), -42);
    EXPECT_EQ(ntsim_atoi("+7"), 7);
    EXPECT_EQ(ntsim_atoi("x7"), 0);
    EXPECT_EQ(ntsim_atoi("99999999999"), 0x7FFFFFFF);
    EXPECT_EQ(ntsim_atoi("-99999999999"), INT32_MIN);
    EXPECT_TRUE(ntsim_iswalpha(u'T'));
    EXPECT_TRUE(ntsim_iswalpha(u'\u00e9'));
    EXPECT_TRUE(ntsim_iswalpha(u'\u4e2d'));
    EXPECT_FALSE(ntsim_iswalpha(u'9'));
    EXPECT_FALSE(ntsim_iswalpha(u':'));
    EXPECT_EQ(ntsim_towupper(u't'), static_cast<NT_WINT>(u'T'));
    EXPECT_EQ(ntsim_towupper(u'\u00e9'), static_cast<NT_WINT>(u'\u00c9'));
}

TEST(NativeHeap, ZeroFillOnlyWhenAskedAndFailuresLeaveTheLastStatus) {
    ntsim::Options options;
    options.faults.push_back({"RtlAllocateHeap", 3, static_cast<NTSTATUS>(0xC000009A)});
    FreshMachine(options);
    PVOID heap = RtlCreateHeap(HEAP_GROWABLE, nullptr, 0, 0, nullptr, nullptr);
    ASSERT_NE(heap, nullptr);
    auto *zeroed = static_cast<uint8_t *>(RtlAllocateHeap(heap, HEAP_ZERO_MEMORY, 100));
    auto *dirty = static_cast<uint8_t *>(RtlAllocateHeap(heap, 0, 100));
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(dirty, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(zeroed) % 32, 16u);  // 16-byte aligned, and no more
    for (int i = 0; i < 100; ++i) EXPECT_EQ(zeroed[i], 0);
    EXPECT_NE(dirty[0], 0);
    *NtLastStatusValue() = 0;
    EXPECT_EQ(RtlAllocateHeap(heap, 0, 8), nullptr);
    EXPECT_EQ(static_cast<uint32_t>(*NtLastStatusValue()), 0xC000009Au);
    EXPECT_NE(TraceOf("RtlAllocateHeap")[2].find("[injected]"), std::string::npos);
    EXPECT_EQ(RtlAllocateHeap(reinterpret_cast<PVOID>(0x1234), 0, 8), nullptr);
}

TEST(NativeEvents, SignalledEventWaitsAndTimeouts) {
    FreshMachine();
    HANDLE event;
    OBJECT_ATTRIBUTES attributes = {sizeof(OBJECT_ATTRIBUTES), nullptr, nullptr, 0, nullptr, nullptr};
    ASSERT_EQ(NtCreateEvent(&event, EVENT_ALL_ACCESS, &attributes, SynchronizationEvent, 1), STATUS_SUCCESS);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    EXPECT_EQ(NtWaitForSingleObject(event, 0, &timeout), STATUS_WAIT_0);
    // A synchronisation event resets itself when a wait is satisfied.
    EXPECT_EQ(NtWaitForSingleObject(event, 0, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(NtWaitForSingleObject(event, 0, nullptr), STATUS_POSSIBLE_DEADLOCK);
    EXPECT_EQ(NtClose(event), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(event), STATUS_INVALID_HANDLE);
    EXPECT_EQ(NtWaitForSingleObject(event, 0, &timeout), STATUS_INVALID_HANDLE);
    EXPECT_EQ(M().OpenHandleCount(), 0u);
    auto waits = TraceOf("NtWaitForSingleObject");
    ASSERT_EQ(waits.size(), 4u);
    EXPECT_NE(waits[0].find("timeout=-10000"), std::string::npos);
    EXPECT_NE(waits[2].find("timeout=infinite"), std::string::npos);
}

TEST(NativeEvents, InjectedFaultsAnswerWithoutDoingTheWork) {
    ntsim::Options options;
    options.faults.push_back({"NtClose", 1, STATUS_INVALID_HANDLE});
    FreshMachine(options);
    HANDLE event;
    ASSERT_EQ(NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, 0), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(event), STATUS_INVALID_HANDLE);
    EXPECT_EQ(M().OpenHandleCount(), 1u);
    EXPECT_EQ(NtClose(event), STATUS_SUCCESS);
}

TEST(NativeProcess, TerminationOutsideAProcessFrameIsRefusedForOtherProcesses) {
    FreshMachine();
    EXPECT_EQ(NtTerminateProcess(reinterpret_cast<HANDLE>(0x44), 0), STATUS_INVALID_HANDLE);
}

TEST(LoaderOptions, StandInOptionsThenTheNativeCommandLine) {
    ntsim::Options options;
    auto error = ntsim::ParseOptions({"--root", "/tmp/m", "--fail", "NtCreateFile:2=0xC0000034", "--pend",
                                      "NtReadFile:1", "--time-scale", "0.5", "--debug-flags", "3",
                                      "--driver-version", "0x43A", "--export", "t:=/tmp/out.img", "--sector-size",
                                      "X:=4096", "--sysinfo-zero-count", "23", "--", "pelmar", "ATS", "w", "caf\xc3\xa9"},
                                     options);
    ASSERT_FALSE(error) << *error;
    EXPECT_TRUE(options.rootGiven);
    EXPECT_EQ(options.root, "/tmp/m");
    ASSERT_EQ(options.faults.size(), 1u);
    EXPECT_EQ(options.faults[0].call, "NtCreateFile");
    EXPECT_EQ(options.faults[0].ordinal, 2u);
    EXPECT_EQ(static_cast<uint32_t>(options.faults[0].status), 0xC0000034u);
    ASSERT_EQ(options.pends.size(), 1u);
    EXPECT_EQ(options.pends[0].call, "NtReadFile");
    EXPECT_DOUBLE_EQ(options.timeScale, 0.5);
    EXPECT_EQ(options.debugFlags, 3u);
    EXPECT_EQ(options.driverVersion, 0x43Au);
    EXPECT_EQ(options.exports.at('T'), "/tmp/out.img");
    EXPECT_EQ(options.sectorSizes.at('X'), 4096u);
    EXPECT_EQ(options.sysinfoZeroCount, std::vector<uint32_t>{23});
    EXPECT_EQ(options.commandLine, u"pelmar ATS w caf\u00e9");
}

TEST(LoaderOptions, WithoutSeparatorEverythingIsTheCommandLine) {
    ntsim::Options options;
    ASSERT_FALSE(ntsim::ParseOptions({"--root", "x"}, options));
    EXPECT_EQ(options.commandLine, u"--root x");
    EXPECT_FALSE(options.rootGiven);
}

TEST(LoaderOptions, BadValuesAreRefused) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--fail", "NtClose", "--"},
             {"--fail", "NtClose:0=1", "--"},
             {"--fail", "NtClose:1=0x1FFFFFFFF", "--"},
             {"--pend", "NtReadFile:x", "--"},
             {"--time-scale", "-1", "--"},
             {"--export", "1:=x", "--"},
             {"--sector-size", "X:=0", "--"},
             {"--bogus", "--"},
             {"--root", "--"},
         }) {
        ntsim::Options options;
        EXPECT_TRUE(ntsim::ParseOptions(args, options)) << args[0] << " " << args[1];
    }
}

}  // namespace
