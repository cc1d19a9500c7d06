// The process record and its context, output, error reports, assertion
// reports and the end-of-run pause.
#include <gtest/gtest.h>

#include <string>

#include "app/app_context.h"
#include "support/native_test.h"

using pelmar_test::CountInTrace;
using pelmar_test::FreshMachine;
using pelmar_test::M;
using pelmar_test::NativeTest;
using pelmar_test::TraceOf;

namespace {

TEST(ProcessRecord, ContextIsAlignedInsideTheBlockAndZero) {
    FreshMachine();
    void *context = nullptr;
    ASSERT_EQ(NaInit(&context, APP_CONTEXT_SIZE, APP_CONTEXT_ALIGNMENT), 1);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(context) % APP_CONTEXT_ALIGNMENT, 0u);
    auto *record = reinterpret_cast<uint8_t *>(NaGlobals.ProcessInfo);
    auto *start = static_cast<uint8_t *>(context);
    EXPECT_GE(start, record + sizeof(NA_PROCESS_INFO));
    // The block is record + size + alignment bytes; the context lies in it.
    EXPECT_LE(start + APP_CONTEXT_SIZE, record + sizeof(NA_PROCESS_INFO) + APP_CONTEXT_SIZE + APP_CONTEXT_ALIGNMENT);
    for (size_t i = 0; i < APP_CONTEXT_SIZE; ++i) ASSERT_EQ(start[i], 0) << i;
    auto heaps = TraceOf("RtlCreateHeap");
    ASSERT_EQ(heaps.size(), 1u);
    EXPECT_NE(heaps[0].find("flags=0x00000002"), std::string::npos);
    auto allocations = TraceOf("RtlAllocateHeap");
    ASSERT_EQ(allocations.size(), 1u);
    EXPECT_NE(allocations[0].find("flags=0x00000008"), std::string::npos);
}

TEST(ProcessRecord, SecondInitAnswersZeroAndDeliversNothing) {
    FreshMachine();
    void *first = nullptr;
    ASSERT_EQ(NaInit(&first, 64, 64), 1);
    NA_PROCESS_INFO *record = NaGlobals.ProcessInfo;
    void *second = reinterpret_cast<void *>(0x1234);
    EXPECT_EQ(NaInit(&second, 64, 64), 0);
    EXPECT_EQ(second, reinterpret_cast<void *>(0x1234));
    EXPECT_EQ(NaGlobals.ProcessInfo, record);
    EXPECT_EQ(CountInTrace("RtlAllocateHeap"), 1u);
    EXPECT_TRUE(M().bootScreen().empty());
}

TEST(ProcessRecord, OutOfMemoryIsShownDirectlyOnBothOutputs) {
    ntsim::Options options;
    options.faults.push_back({"RtlAllocateHeap", 1, STATUS_NO_MEMORY});
    FreshMachine(options);
    void *context = nullptr;
    EXPECT_EQ(NaInit(&context, APP_CONTEXT_SIZE, APP_CONTEXT_ALIGNMENT), 0);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(NaGlobals.ProcessInfo, nullptr);
    EXPECT_EQ(M().bootScreen(), "\nCannot allocate memory for NA_PROCESS_INFO!\n");
    EXPECT_EQ(M().debugOutput(), "\nCannot allocate memory for NA_PROCESS_INFO!\n\n");
}

TEST(ProcessRecord, HeapThatCannotBeCreatedIsOutOfMemoryToo) {
    ntsim::Options options;
    options.faults.push_back({"RtlCreateHeap", 1, STATUS_NO_MEMORY});
    FreshMachine(options);
    EXPECT_EQ(NaInit(nullptr, 16, 16), 0);
    EXPECT_EQ(CountInTrace("RtlAllocateHeap"), 0u);
    EXPECT_EQ(M().bootScreen(), "\nCannot allocate memory for NA_PROCESS_INFO!\n");
}

TEST(ProcessRecord, SizeThatOverflowsIsRefusedAsOutOfMemory) {
    FreshMachine();
    void *context = nullptr;
    EXPECT_EQ(NaInit(&context, SIZE_MAX - 16, 8192), 0);
    EXPECT_EQ(context, nullptr);
    EXPECT_EQ(CountInTrace("RtlAllocateHeap"), 0u);
}

TEST(ProcessRecord, ZeroAlignmentIsReportedAndDeliversNoContext) {
    FreshMachine();
    void *context = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(NaInit(&context, 64, 0), 0);
    EXPECT_EQ(context, reinterpret_cast<void *>(0x1));
    EXPECT_NE(M().bootScreen().find("Assertion failed in lib-na\\na_init.cpp line "), std::string::npos);
    EXPECT_EQ(NaGlobals.ProcessInfo->ErrorReported, 1u);
}

class Output : public NativeTest {};

TEST_F(Output, FirstTextBeginsOnAFreshLineOnBothOutputs) {
    NaPrint(u"one");
    NaPrint(u"two");
    EXPECT_EQ(Screen(), "\nonetwo");
    EXPECT_EQ(Debugger(), "\nonetwo");
    EXPECT_FALSE(ErrorReported());
}

TEST_F(Output, FirstTextMayBeAnErrorReport) {
    NaReportError(u"bad %d", 7);
    EXPECT_EQ(Screen(), "\nbad 7\n");
    EXPECT_EQ(Debugger(), "\nbad 7\n");
}

TEST_F(Output, ErrorReportAddsTheNewlineAsASecondOutputAndMarksTheRun) {
    NaPrint(u"x");
    size_t before = pelmar_test::CountInTrace("NtDisplayString");
    NaReportError(u"Cannot do it (0x%08x)", 0xC0000034u);
    EXPECT_EQ(pelmar_test::CountInTrace("NtDisplayString") - before, 2u);
    EXPECT_EQ(Screen(), "\nxCannot do it (0xc0000034)\n");
    EXPECT_TRUE(ErrorReported());
}

TEST_F(Output, TextOfExactly512CharactersIsShownWhole513Dropped) {
    std::u16string exact(512, u'a');
    NaPrint(u"%s", exact.c_str());
    EXPECT_EQ(Screen(), "\n" + std::string(512, 'a'));
    std::u16string tooLong(513, u'b');
    NaReportError(u"%s", tooLong.c_str());
    EXPECT_EQ(Screen(), "\n" + std::string(512, 'a'));
    EXPECT_FALSE(ErrorReported());
    // After an error report the next field of the record is non-zero; a
    // full-length text must still end where it ends.
    NaReportError(u"e");
    NaReportError(u"%s", exact.c_str());
    EXPECT_EQ(Screen(), "\n" + std::string(512, 'a') + "e\n" + std::string(512, 'a') + "\n");
}

TEST_F(Output, EmptyTextShowsNothing) {
    NaReportError(u"");
    NaPrint(u"%s", u"");
    EXPECT_TRUE(Screen().empty());
    EXPECT_FALSE(ErrorReported());
}

TEST_F(Output, WideAndNarrowStringsByTheNativeConvention) {
    NaPrint(u"%s|%S|%ls|%d|%ld|%x|%08x", u"wide", "narrow", u"long", -5, 70000, 0xABCu, 0x1Fu);
    EXPECT_EQ(Screen(), "\nwide|narrow|long|-5|70000|abc|0000001f");
}

TEST_F(Output, AssertionIsReportedAndTheCallerGoesOn) {
    NaAssertFailed(u"lib-na\\na_filewrite.cpp", 42);
    EXPECT_EQ(Screen(), "\nAssertion failed in lib-na\\na_filewrite.cpp line 42\n");
    EXPECT_TRUE(ErrorReported());
}

TEST(StringCompare, ThreeResults) {
    EXPECT_EQ(NaStrICmp("DBG", "dbg"), 0);
    EXPECT_EQ(NaStrICmp("dbg", "dbg"), 0);
    EXPECT_EQ(NaStrICmp("db", "dbg"), -1);
    EXPECT_EQ(NaStrICmp("dbgx", "dbg"), 1);
    EXPECT_EQ(NaStrICmp("", ""), 0);
    EXPECT_EQ(NaStrICmp("a", "b"), -1);
    EXPECT_EQ(NaStrICmp("b", "A"), 1);
    // The difference is taken modulo 256 and its bit 7 decides.
    // As signed bytes: -23 - 97 = -120, 0x88 modulo 256: bit 7 set.
    EXPECT_EQ(NaStrICmp("\xe9", "a"), -1);
    // 97 - (-23) = 120: bit 7 clear.
    EXPECT_EQ(NaStrICmp("a", "\xe9"), 1);
}

TEST(EndOfRun, NoPauseWithoutErrorsFiveSecondsAfterOne) {
    FreshMachine();
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    NaPrint(u"fine\n");
    NaExitWait();
    EXPECT_EQ(CountInTrace("NtWaitForSingleObject"), 0u);
    NaReportError(u"broken");
    NaExitWait();
    auto waits = TraceOf("NtWaitForSingleObject");
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_NE(waits[0].find("alertable=0"), std::string::npos);
    EXPECT_NE(waits[0].find("timeout=-50000000"), std::string::npos) << waits[0];
    auto events = TraceOf("NtCreateEvent");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NE(events[0].find("access=0x001f0003"), std::string::npos);
    EXPECT_NE(events[0].find("type=1"), std::string::npos);
    EXPECT_NE(events[0].find("initial=0"), std::string::npos);
    EXPECT_EQ(CountInTrace("NtClose"), 1u);
}

TEST(EndOfRun, PauseWhenTheLibraryNeverStarted) {
    FreshMachine();
    NaExitWait();
    EXPECT_EQ(CountInTrace("NtWaitForSingleObject"), 1u);
}

TEST(EndOfRun, EventThatCannotBeCreatedMeansNoPause) {
    ntsim::Options options;
    options.faults.push_back({"NtCreateEvent", 1, STATUS_INSUFFICIENT_RESOURCES});
    FreshMachine(options);
    NaSleep(5000);
    EXPECT_EQ(CountInTrace("NtWaitForSingleObject"), 0u);
    EXPECT_EQ(CountInTrace("NtClose"), 0u);
}

}  // namespace
