// The frame of a run, seen from outside: echo, debugger switch, exit status
// and the out-of-memory path. (These machines have no container, so the run
// itself stops early; whole runs are in whole_run_test.cpp.)
#include <gtest/gtest.h>

#include "run/process_runner.h"

using pelmar_test::ProcessResult;
using pelmar_test::RunPelmar;
using pelmar_test::TempFolder;

namespace {

TEST(Frame, EchoesTheCommandLineOnBothOutputs) {
    TempFolder folder;
    ProcessResult r = RunPelmar(folder.path(), {"--time-scale", "0"}, {"pelmar", "ATS", "w", "3", "k"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.screen.rfind("\npelmar ATS w 3 k \n\n", 0), 0u) << r.screen;
    EXPECT_EQ(r.debugger, r.screen);
    EXPECT_EQ(r.errors, "");
    ASSERT_EQ(r.CountCalls("RtlCreateHeap"), 1u);
    EXPECT_NE(r.Calls("RtlCreateHeap")[0].find("flags=0x00000002"), std::string::npos);
    size_t zeroFilled = 0;
    for (const auto &line : r.Calls("RtlAllocateHeap"))
        if (line.find("flags=0x00000008") != std::string::npos) ++zeroFilled;
    EXPECT_EQ(zeroFilled, 1u);
    ASSERT_EQ(r.CountCalls("NtTerminateProcess"), 1u);
    EXPECT_NE(r.Calls("NtTerminateProcess")[0].find("status=0x00000000"), std::string::npos);
}

TEST(Frame, TrailingDbgBreaksAndIsNeitherParsedNorEchoed) {
    TempFolder folder;
    ProcessResult r = RunPelmar(folder.path(), {"--time-scale", "0"}, {"pelmar", "ATS", "w", "3", "k", "DbG"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.screen.rfind("\npelmar ATS w 3 k \n\n", 0), 0u) << r.screen;
    EXPECT_EQ(r.CountCalls("DbgBreakPoint"), 1u);
    // "dbg" anywhere else is an ordinary argument.
    ProcessResult earlier = RunPelmar(folder.path(), {"--time-scale", "0"}, {"pelmar", "dbg", "w"});
    EXPECT_EQ(earlier.screen.rfind("\npelmar dbg w \n\n", 0), 0u) << earlier.screen;
    EXPECT_EQ(earlier.CountCalls("DbgBreakPoint"), 0u);
}

TEST(Frame, DebugFlagsBreakInStartUp) {
    TempFolder folder;
    ProcessResult r = RunPelmar(folder.path(), {"--time-scale", "0", "--debug-flags", "1"}, {"pelmar", "x"});
    EXPECT_EQ(r.exitCode, 0);
    ASSERT_EQ(r.CountCalls("DbgBreakPoint"), 1u);
    size_t breakLine = 0, heapLine = 0;
    for (size_t i = 0; i < r.trace.size(); ++i) {
        if (r.trace[i].rfind("DbgBreakPoint#", 0) == 0) breakLine = i;
        if (r.trace[i].rfind("RtlCreateHeap#", 0) == 0) heapLine = i;
    }
    EXPECT_LT(breakLine, heapLine);  // before main's NaInit
}

TEST(Frame, OutOfMemoryForTheContextEndsWithNoMemory) {
    TempFolder folder;
    ProcessResult r = RunPelmar(folder.path(), {"--time-scale", "0", "--fail", "RtlAllocateHeap:3=0xC0000017"},
                                {"pelmar", "ATS", "w", "3", "k"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.screen, "\nCannot allocate memory for NA_PROCESS_INFO!\n");
    EXPECT_EQ(r.debugger, "\nCannot allocate memory for NA_PROCESS_INFO!\n\n");
    EXPECT_NE(r.errors.find("0xc0000017"), std::string::npos);
    ASSERT_EQ(r.CountCalls("NtTerminateProcess"), 1u);
    EXPECT_NE(r.Calls("NtTerminateProcess")[0].find("status=0xc0000017"), std::string::npos);
    // Nothing else runs, not even the pause.
    EXPECT_EQ(r.CountCalls("NtWaitForSingleObject"), 0u);
}

TEST(Frame, EmptyCommandLineRunsOnTheImagePath) {
    TempFolder folder;
    ProcessResult r = RunPelmar(folder.path(), {"--time-scale", "0", "--image-path", "\\??\\C:\\pelmar.exe"}, {});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.screen.rfind("\n\\??\\C:\\pelmar.exe \n\n", 0), 0u) << r.screen;
}

TEST(Frame, ANativeFailureStatusIsAFailingExitCode) {
    TempFolder folder;
    ProcessResult r =
        RunPelmar(folder.path(), {"--time-scale", "0", "--fail", "RtlUnicodeStringToAnsiString:1=0xC0000099"},
                  {"pelmar"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.screen, "");
    EXPECT_NE(r.errors.find("native exit status 0xc0000099"), std::string::npos);
}

TEST(Frame, BadStandInOptionsAreRefusedClearly) {
    TempFolder folder;
    ProcessResult r = RunPelmar(folder.path(), {"--fail", "nonsense"}, {"pelmar"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.errors.find("--fail: expected CALL:N=STATUS"), std::string::npos);
}

}  // namespace
