// Start-up: the argument vector and environment that main receives, the
// debugger break, and the statuses the process ends with.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib-na/na_startup.h"
#include "support/native_test.h"

using pelmar_test::CountInTrace;
using pelmar_test::FreshMachine;
using pelmar_test::M;
using pelmar_test::TraceOf;

namespace {

// What the test's main saw.
struct MainCall {
    bool called = false;
    int32_t argc = -1;
    std::vector<std::string> argv;
    bool argvTerminated = false;
    std::vector<std::u16string> envp;
    bool envpFollowsArgv = false;
    ULONG debugFlags = 0;
    bool argv0Null = false;
};
MainCall g_main;
NTSTATUS g_mainResult = 0;

}  // namespace

namespace pelmar {
NTSTATUS main(int32_t argc, char **argv, WCHAR **envp, ULONG debugFlags) {
    g_main.called = true;
    g_main.argc = argc;
    g_main.argv0Null = argv[0] == nullptr;
    for (int32_t i = 0; i < argc; ++i) g_main.argv.emplace_back(argv[i]);
    g_main.argvTerminated = argv[argc] == nullptr;
    g_main.envpFollowsArgv = reinterpret_cast<void *>(envp) == reinterpret_cast<void *>(argv + argc + 1);
    for (int i = 0; envp[i]; ++i) g_main.envp.emplace_back(envp[i]);
    g_main.debugFlags = debugFlags;
    return g_mainResult;
}
}  // namespace pelmar

namespace {

NTSTATUS RunProcess(ntsim::Options options) {
    g_main = MainCall{};
    FreshMachine(options);
    return ntsim::RunNativeProcess(NaProcessStartup);
}

ntsim::Options WithCommandLine(std::u16string line) {
    ntsim::Options options;
    options.commandLine = std::move(line);
    return options;
}

TEST(StartupTokens, RunsOfBlanksTabsAndEdgesGiveNoEmptyTokens) {
    g_mainResult = 0;
    EXPECT_EQ(RunProcess(WithCommandLine(u"   pelmar    ATS\t\tw  \t ")), 0);
    ASSERT_TRUE(g_main.called);
    EXPECT_EQ(g_main.argc, 3);
    EXPECT_EQ(g_main.argv, (std::vector<std::string>{"pelmar", "ATS", "w"}));
    EXPECT_TRUE(g_main.argvTerminated);
}

TEST(StartupTokens, QuotesAreOrdinaryBytesAndBlanksSplitPaths) {
    RunProcess(WithCommandLine(u"pelmar \"c:\\my file.tc\""));
    EXPECT_EQ(g_main.argv, (std::vector<std::string>{"pelmar", "\"c:\\my", "file.tc\""}));
}

TEST(StartupTokens, BytesFrom0x80UpAndControlBytesSeparate) {
    // U+00E9 is 0xE9 in the ANSI code page, U+20AC is 0x80: both end a token,
    // like the control character 0x01 and DEL's neighbour 0x7F does not.
    RunProcess(WithCommandLine(u"ab\u00e9cd\u20acef\u0001gh\u007fij"));
    EXPECT_EQ(g_main.argv, (std::vector<std::string>{"ab", "cd", "ef", "gh\x7fij"}));
}

TEST(StartupTokens, EmptyCommandLineFallsBackToImagePath) {
    ntsim::Options options = WithCommandLine(u"");
    options.imagePath = u"\\SystemRoot\\System32\\pelmar.exe  x";
    RunProcess(options);
    EXPECT_EQ(g_main.argv, (std::vector<std::string>{"\\SystemRoot\\System32\\pelmar.exe", "x"}));
}

TEST(StartupTokens, NothingToSplitRunsMainWithoutArgumentsAndWithoutBreak) {
    ntsim::Options options = WithCommandLine(u"");
    options.imagePath = u"";
    options.debugFlags = 1;
    RunProcess(options);
    ASSERT_TRUE(g_main.called);
    EXPECT_EQ(g_main.argc, 0);
    EXPECT_TRUE(g_main.argv0Null);
    EXPECT_TRUE(g_main.envp.empty());
    EXPECT_EQ(g_main.debugFlags, 0u);
    EXPECT_EQ(CountInTrace("DbgBreakPoint"), 0u);
    EXPECT_EQ(CountInTrace("RtlAllocateHeap"), 0u);
}

TEST(StartupTokens, NoProcessParametersRunsMainWithoutArguments) {
    ntsim::Options options = WithCommandLine(u"pelmar x");
    options.noProcessParameters = true;
    options.debugFlags = 1;
    RunProcess(options);
    ASSERT_TRUE(g_main.called);
    EXPECT_EQ(g_main.argc, 0);
    EXPECT_EQ(CountInTrace("DbgBreakPoint"), 0u);
}

TEST(StartupTokens, OnlyBlanksGiveNoTokens) {
    RunProcess(WithCommandLine(u"  \t  "));
    ASSERT_TRUE(g_main.called);
    EXPECT_EQ(g_main.argc, 0);
    EXPECT_TRUE(g_main.argvTerminated);
}

TEST(StartupTokens, SplitterNeverStoresMoreThanItWasGivenRoomFor) {
    const char text[] = "a bb ccc dddd";
    char store[sizeof text + 1];
    char *argv[3];
    EXPECT_EQ(NaCountTokens(text, sizeof text - 1), 4u);
    EXPECT_EQ(NaSplitTokens(text, sizeof text - 1, store, argv, 2), 2u);
    EXPECT_STREQ(argv[0], "a");
    EXPECT_STREQ(argv[1], "bb");
    EXPECT_EQ(argv[2], nullptr);
}

TEST(StartupEnvironment, FollowsArgvInOneBlockAsWideStrings) {
    ntsim::Options options = WithCommandLine(u"pelmar a");
    options.environment = {u"Path=C:\\Windows\\System32", u"SystemRoot=C:\\Windows", u"X=\u00e9"};
    RunProcess(options);
    EXPECT_TRUE(g_main.envpFollowsArgv);
    EXPECT_EQ(g_main.envp, options.environment);
    // One block: tokens + environment strings + 8 pointer slots.
    auto allocations = TraceOf("RtlAllocateHeap");
    ASSERT_GE(allocations.size(), 2u);
    EXPECT_NE(allocations[0].find("size=" + std::to_string((2 + 3 + 8) * sizeof(void *))), std::string::npos)
        << allocations[0];
    // The token text: the ANSI length plus two bytes.
    EXPECT_NE(allocations[1].find("size=10"), std::string::npos) << allocations[1];
}

TEST(StartupEnvironment, MissingOrEmptyEnvironmentGivesNoStrings) {
    ntsim::Options options = WithCommandLine(u"pelmar");
    options.noEnvironment = true;
    RunProcess(options);
    EXPECT_TRUE(g_main.envp.empty());
    EXPECT_TRUE(g_main.envpFollowsArgv);
    options.noEnvironment = false;
    options.environment.clear();
    RunProcess(options);
    EXPECT_TRUE(g_main.envp.empty());
}

TEST(StartupExit, MainsResultIsTheExitStatus) {
    g_mainResult = static_cast<NTSTATUS>(0xC0000123);
    EXPECT_EQ(static_cast<uint32_t>(RunProcess(WithCommandLine(u"pelmar"))), 0xC0000123u);
    g_mainResult = 0;
    EXPECT_EQ(RunProcess(WithCommandLine(u"pelmar")), 0);
}

TEST(StartupExit, DebugFlagsBreakAfterTheBlocksAndReachMain) {
    ntsim::Options options = WithCommandLine(u"pelmar a");
    options.debugFlags = 3;
    RunProcess(options);
    EXPECT_EQ(g_main.debugFlags, 3u);
    const auto &trace = M().traceLines();
    size_t lastAlloc = 0, brk = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].rfind("RtlAllocateHeap#", 0) == 0) lastAlloc = i;
        if (trace[i].rfind("DbgBreakPoint#", 0) == 0) brk = i;
    }
    EXPECT_GT(brk, lastAlloc);
}

TEST(StartupExit, FirstConversionFailureEndsSilentlyWithItsStatus) {
    ntsim::Options options = WithCommandLine(u"pelmar a");
    options.debugFlags = 1;
    options.faults.push_back({"RtlUnicodeStringToAnsiString", 1, static_cast<NTSTATUS>(0xC0000099)});
    EXPECT_EQ(static_cast<uint32_t>(RunProcess(options)), 0xC0000099u);
    EXPECT_FALSE(g_main.called);
    EXPECT_EQ(CountInTrace("DbgBreakPoint"), 0u);
    EXPECT_TRUE(M().bootScreen().empty());
}

TEST(StartupExit, ArgumentBlockFailureEndsWithTheLastStatusAfterTheBreak) {
    ntsim::Options options = WithCommandLine(u"pelmar a");
    options.debugFlags = 1;
    options.faults.push_back({"RtlAllocateHeap", 1, static_cast<NTSTATUS>(0xC000009A)});
    EXPECT_EQ(static_cast<uint32_t>(RunProcess(options)), 0xC000009Au);
    EXPECT_FALSE(g_main.called);
    EXPECT_EQ(CountInTrace("DbgBreakPoint"), 1u);
    // A last status that is no error gives way to "no memory".
    options.faults.back().status = static_cast<NTSTATUS>(0x00000103);
    EXPECT_EQ(static_cast<uint32_t>(RunProcess(options)), 0xC0000017u);
}

TEST(StartupExit, TextBlockFailureFreesTheStringAndEnds) {
    ntsim::Options options = WithCommandLine(u"pelmar a");
    options.faults.push_back({"RtlAllocateHeap", 2, static_cast<NTSTATUS>(0xC0000017)});
    EXPECT_EQ(static_cast<uint32_t>(RunProcess(options)), 0xC0000017u);
    EXPECT_FALSE(g_main.called);
    EXPECT_EQ(CountInTrace("RtlFreeAnsiString"), 2u);
}

TEST(StartupExit, SecondConversionFailureEndsWithItsStatus) {
    ntsim::Options options = WithCommandLine(u"pelmar a");
    options.faults.push_back({"RtlUnicodeStringToAnsiString", 2, static_cast<NTSTATUS>(0xC0000001)});
    EXPECT_EQ(static_cast<uint32_t>(RunProcess(options)), 0xC0000001u);
    EXPECT_FALSE(g_main.called);
}

}  // namespace
