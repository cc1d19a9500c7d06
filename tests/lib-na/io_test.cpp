// The library's synchronous file and device I/O over the stand-in: opens,
// transfers, information classes, control requests and their routing, the
// completion scheme with pending requests, failed and timed-out waits, and
// every message exactly once.
#include <gmock/gmock.h>

#include <cstring>
#include <functional>

#include "support/io_support.h"
#include "lib-na/na.h"

namespace pelmar_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class LibraryIo : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        WriteHostFile(Host("data.bin"), std::string("0123456789abcdef"));
    }
    // data.bin, synchronous (options 0x24) or not (0).
    HANDLE OpenData(ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_SEQUENTIAL_ONLY,
                    ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
        HANDLE handle = nullptr;
        EXPECT_EQ(CreateFile(&handle, u"\\??\\C:\\data.bin", access, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                             options),
                  1);
        return handle;
    }
    HANDLE OpenVolume(ULONG options) {
        HANDLE handle = nullptr;
        EXPECT_EQ(CreateFile(&handle, u"\\??\\C:", GENERIC_READ | GENERIC_WRITE, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             FILE_OPEN, options),
                  1);
        return handle;
    }
};

// ---------------------------------------------------------------------------
// CreateFile
// ---------------------------------------------------------------------------

TEST_F(LibraryIo, CreateFilePassesItsArgumentsAndAddsSynchronize) {
    HANDLE handle = nullptr;
    ASSERT_EQ(CreateFile(&handle, u"\\??\\C:\\data.bin", GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN, 0x24), 1);
    EXPECT_NE(handle, nullptr);
    auto lines = TraceOf("NtCreateFile");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("path=\"\\\\??\\\\C:\\\\data.bin\""));
    EXPECT_THAT(lines[0], HasSubstr("access=0x80100000"));
    EXPECT_THAT(lines[0], HasSubstr("share=0x00000001, disposition=1, options=0x00000024"));
    EXPECT_THAT(lines[0], HasSubstr("objectAttributes=0x00000040"));
    EXPECT_TRUE(NothingShown());
    EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
}

TEST_F(LibraryIo, CreateFileOfAMissingFileReportsThePathAndTheStatus) {
    HANDLE handle = nullptr;
    EXPECT_EQ(CreateFile(&handle, u"\\??\\C:\\missing.img", GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN, 0x24), 0);
    ExpectShown({"Cannot create/open file \"\\??\\C:\\missing.img\" (0xc0000034)"});
    EXPECT_TRUE(ErrorReported());
}

TEST_F(LibraryIo, CreateFileReportsAnInjectedFailureOnce) {
    Fail("NtCreateFile", 1, STATUS_SHARING_VIOLATION);
    HANDLE handle = nullptr;
    EXPECT_EQ(CreateFile(&handle, u"\\??\\C:\\data.bin", GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN, 0x24), 0);
    ExpectShown({"Cannot create/open file \"\\??\\C:\\data.bin\" (0xc0000043)"});
    EXPECT_EQ(M().OpenHandleCount(), 0u);
}

TEST_F(LibraryIo, CreateFileAssertsOnMissingArgumentsAndTheSystemRefusesThem) {
    EXPECT_EQ(CreateFile(nullptr, u"\\??\\C:\\data.bin", GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN, 0x24), 0);
    EXPECT_THAT(Screen(), MatchesRegex("\nAssertion failed in lib-na\\\\na_file\\.cpp line [0-9]+\n"
                                       "Cannot create/open file \"\\\\\\?\\?\\\\C:\\\\data\\.bin\" \\(0xc0000005\\)\n"));
    EXPECT_EQ(CountInTrace("NtCreateFile"), 1u);

    FreshMachine(options());
    ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
    HANDLE handle = nullptr;
    EXPECT_EQ(CreateFile(&handle, nullptr, GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN, 0x24), 0);
    EXPECT_THAT(Screen(), MatchesRegex("\nAssertion failed in lib-na\\\\na_file\\.cpp line [0-9]+\n"
                                       "Cannot create/open file \"\\(null\\)\" \\(0xc0000033\\)\n"));
}

TEST_F(LibraryIo, AHandleWithoutSynchronousOptionCanStillBeWaitedOn) {
    HANDLE handle = OpenData(0);
    char buffer[4];
    LARGE_INTEGER offset{};
    EXPECT_EQ(ReadFile(handle, buffer, 4, nullptr, &offset), 1);
    // The read completed at once and signalled the handle.
    LARGE_INTEGER zero{};
    EXPECT_EQ(WaitForFile(handle, &zero), 1);
    EXPECT_TRUE(NothingShown());
    NtClose(handle);
}

// ---------------------------------------------------------------------------
// ReadFile, WriteFile
// ---------------------------------------------------------------------------

TEST_F(LibraryIo, ReadWithoutACountSucceedsOnlyWhenEverythingArrived) {
    HANDLE handle = OpenData();
    char buffer[32] = {};
    LARGE_INTEGER offset{};
    EXPECT_EQ(ReadFile(handle, buffer, 16, nullptr, &offset), 1);
    EXPECT_EQ(std::string(buffer, 16), "0123456789abcdef");
    offset.QuadPart = 8;
    EXPECT_EQ(ReadFile(handle, buffer, 16, nullptr, &offset), 0);  // 8 arrive: silent failure
    EXPECT_TRUE(NothingShown());
    ULONG done = 99;
    EXPECT_EQ(ReadFile(handle, buffer, 16, &done, &offset), 1);  // with a count a short read succeeds
    EXPECT_EQ(done, 8u);
    EXPECT_EQ(std::string(buffer, 8), "89abcdef");
    EXPECT_TRUE(NothingShown());
    NtClose(handle);
}

TEST_F(LibraryIo, ReadOfAFullSectorWithoutCountNeedsAllOfIt) {
    WriteHostFile(Host("sector.bin"), std::string(512, 'x'));
    WriteHostFile(Host("short.bin"), std::string(511, 'x'));
    uint8_t sector[512];
    for (auto [path, expected] : {std::pair{u"\\??\\C:\\sector.bin", 1}, std::pair{u"\\??\\C:\\short.bin", 0}}) {
        HANDLE handle = nullptr;
        ASSERT_EQ(CreateFile(&handle, path, GENERIC_READ, 0, FILE_SHARE_READ, FILE_OPEN, 0x24), 1);
        LARGE_INTEGER offset{};
        EXPECT_EQ(ReadFile(handle, sector, 512, nullptr, &offset), expected);
        NtClose(handle);
    }
    EXPECT_TRUE(NothingShown());
}

TEST_F(LibraryIo, ReadAtTheEndOfTheFileIsReported) {
    HANDLE handle = OpenData();
    char buffer[4];
    LARGE_INTEGER offset;
    offset.QuadPart = 16;
    EXPECT_EQ(ReadFile(handle, buffer, 4, nullptr, &offset), 0);
    ExpectShown({"ReadFile failed (0xc0000011)"});
    EXPECT_TRUE(ErrorReported());
    NtClose(handle);
}

TEST_F(LibraryIo, ReadAndWriteAtTheCurrentPosition) {
    HANDLE handle = OpenData();
    char buffer[4];
    EXPECT_EQ(ReadFile(handle, buffer, 4, nullptr, nullptr), 1);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(WriteFile(handle, "WXYZ", 4, nullptr, nullptr), 1);  // at 4, then 8
    ULONG done = 0;
    EXPECT_EQ(ReadFile(handle, buffer, 4, &done, nullptr), 1);
    EXPECT_EQ(std::string(buffer, 4), "89ab");
    EXPECT_EQ(ReadHostFile(Host("data.bin")), "0123WXYZ89abcdef");
    LARGE_INTEGER position;
    position.QuadPart = 14;
    EXPECT_EQ(SetFileInfo(handle, &position, sizeof position, FilePositionInformation), 1);
    EXPECT_EQ(ReadFile(handle, buffer, 4, &done, nullptr), 1);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(std::string(buffer, 2), "ef");
    EXPECT_TRUE(NothingShown());
    NtClose(handle);
}

TEST_F(LibraryIo, WriteWithAndWithoutACount) {
    HANDLE handle = OpenData();
    LARGE_INTEGER offset;
    offset.QuadPart = 14;
    ULONG done = 0;
    EXPECT_EQ(WriteFile(handle, "PQRS", 4, &done, &offset), 1);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(ReadHostFile(Host("data.bin")), "0123456789abcdPQRS");
    auto lines = TraceOf("NtWriteFile");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("length=4, offset=14"));
    EXPECT_TRUE(NothingShown());
    NtClose(handle);
}

TEST_F(LibraryIo, NullBuffersAreAssertedAndThenRefusedBySystem) {
    HANDLE handle = OpenData();
    LARGE_INTEGER offset{};
    EXPECT_EQ(ReadFile(handle, nullptr, 4, nullptr, &offset), 0);
    EXPECT_EQ(WriteFile(handle, nullptr, 4, nullptr, &offset), 0);
    EXPECT_EQ(QueryFileInfo(handle, nullptr, 40, FileBasicInformation), 0);
    EXPECT_EQ(SetFileInfo(handle, nullptr, 8, FilePositionInformation), 0);
    EXPECT_THAT(Screen(), MatchesRegex("\nAssertion failed in lib-na\\\\na_fileread\\.cpp line [0-9]+\n"
                                       "ReadFile failed \\(0xc0000005\\)\n"
                                       "Assertion failed in lib-na\\\\na_filewrite\\.cpp line [0-9]+\n"
                                       "WriteFile failed \\(0xc0000005\\)\n"
                                       "Assertion failed in lib-na\\\\na_fileinfoquery\\.cpp line [0-9]+\n"
                                       "QueryFileInfo failed \\(0xc0000005\\)\n"
                                       "Assertion failed in lib-na\\\\na_fileinfoset\\.cpp line [0-9]+\n"
                                       "SetFileInfo failed \\(0xc0000005\\)\n"));
    EXPECT_EQ(Debugger(), Screen());
    NtClose(handle);
}

// ---------------------------------------------------------------------------
// QueryFileInfo
// ---------------------------------------------------------------------------

TEST_F(LibraryIo, QueryBasicInformationDeliversTheHostTimeStamps) {
    HANDLE handle = nullptr;
    ASSERT_EQ(CreateFile(&handle, u"\\??\\C:\\data.bin", FILE_READ_ATTRIBUTES, 0, 3, FILE_OPEN, 0), 1);
    FILE_BASIC_INFORMATION info;
    std::memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(QueryFileInfo(handle, &info, sizeof info, FileBasicInformation), 1);
    int64_t now = 116444736000000000LL + static_cast<int64_t>(time(nullptr)) * 10000000LL;
    for (LONGLONG stamp : {info.CreationTime.QuadPart, info.LastAccessTime.QuadPart, info.LastWriteTime.QuadPart,
                           info.ChangeTime.QuadPart}) {
        EXPECT_LE(stamp, now + 20000000);
        EXPECT_GE(stamp, now - 600000000);  // written by SetUp moments ago
    }
    EXPECT_EQ(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(NothingShown());
    NtClose(handle);
}

TEST_F(LibraryIo, QueryWithoutReadAttributesAccessIsReported) {
    HANDLE handle = nullptr;
    ASSERT_EQ(CreateFile(&handle, u"\\??\\C:\\data.bin", FILE_READ_DATA, 0, 3, FILE_OPEN, 0x20), 1);
    uint8_t info[40];
    EXPECT_EQ(QueryFileInfo(handle, info, sizeof info, FileBasicInformation), 0);
    ExpectShown({"QueryFileInfo failed (0xc0000022)"});
    NtClose(handle);
}

// ---------------------------------------------------------------------------
// DeviceIoControl
// ---------------------------------------------------------------------------

TEST_F(LibraryIo, FileSystemControlsAndDiskControlsTakeTheirOwnRoutes) {
    HANDLE volume = OpenVolume(0x20);
    DISK_GEOMETRY geometry{};
    ULONG returned = 0;
    EXPECT_EQ(DeviceIoControl(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &returned),
              1);
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(geometry.BytesPerSector, 512u);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, nullptr), 1);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, nullptr), 1);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, nullptr), 1);
    EXPECT_TRUE(NothingShown());
    // A device type 7 request the volume does not know goes the same way as
    // the geometry and fails there.
    ULONG version = 0;
    EXPECT_EQ(DeviceIoControl(volume, TC_IOCTL_GET_DRIVER_VERSION, &version, 4, &version, 4, nullptr), 0);
    ExpectShown({"DeviceIoControl failed (0xc0000010)"});

    auto device = TraceOf("NtDeviceIoControlFile");
    auto fileSystem = TraceOf("NtFsControlFile");
    ASSERT_EQ(device.size(), 2u);
    ASSERT_EQ(fileSystem.size(), 3u);
    EXPECT_THAT(device[0], HasSubstr("code=0x00070000, inputLength=0, outputLength=24"));
    EXPECT_THAT(device[1], HasSubstr("code=0x00072018, inputLength=4, outputLength=4"));
    EXPECT_THAT(fileSystem[0], HasSubstr("code=0x00090018"));
    EXPECT_THAT(fileSystem[1], HasSubstr("code=0x00090020"));
    EXPECT_THAT(fileSystem[2], HasSubstr("code=0x0009001c"));
    NtClose(volume);
}

TEST_F(LibraryIo, DeviceIoControlDeliversTheCountWithoutComparingIt) {
    HANDLE volume = OpenVolume(0x20);
    uint8_t output[64];
    ULONG returned = 0;
    EXPECT_EQ(DeviceIoControl(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, output, sizeof output, &returned), 1);
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(DeviceIoControl(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, output, 16, &returned), 0);
    ExpectShown({"DeviceIoControl failed (0xc0000023)"});
    NtClose(volume);
}

TEST_F(LibraryIo, ARefusedExtendedVolumeAccessIsSilent) {
    HANDLE volume = OpenVolume(0x20);
    Fail("NtFsControlFile", 1, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_TRUE(NothingShown());
    EXPECT_EQ(NaGlobals.ProcessInfo->ErrorReported, 0u);
    // ...whereas any other control's immediate failure is reported.
    Fail("NtFsControlFile", 2, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, nullptr), 0);
    ExpectShown({"DeviceIoControl failed (0xc0000010)"});
    NtClose(volume);
}

TEST_F(LibraryIo, ARefusedExtendedVolumeAccessLeavesAnEarlierReportAsItWas) {
    HANDLE volume = OpenVolume(0x20);
    NaReportError(u"earlier");
    Fail("NtFsControlFile", 1, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, nullptr), 0);
    ExpectShown({"earlier"});
    EXPECT_TRUE(ErrorReported());
    NtClose(volume);
}

TEST_F(LibraryIo, ExtendedVolumeAccessFailingAfterWaitingIsReported) {
    HANDLE volume = OpenVolume(0);
    Pend("NtFsControlFile", 1);
    Fail("IoCompleteRequest", 1, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, nullptr), 0);
    ExpectShown({"DeviceIoControl failed after waiting (0xc0000010)"});
    NtClose(volume);
}

// ---------------------------------------------------------------------------
// The completion scheme, operation by operation
// ---------------------------------------------------------------------------

struct Operation {
    const char *name;  // as the messages show it
    const char *call;  // the native call it issues
    // Issues the operation on an open handle of data.bin (or of the C:
    // volume for the control request).
    std::function<int32_t(HANDLE)> run;
    bool onVolume;
};

std::vector<Operation> Operations() {
    static char buffer[64];
    static LARGE_INTEGER offset;
    static FILE_BASIC_INFORMATION basic;
    static LARGE_INTEGER position;
    static DISK_GEOMETRY geometry;
    return {
        {"ReadFile", "NtReadFile", [](HANDLE h) { offset.QuadPart = 0; return ReadFile(h, buffer, 8, nullptr, &offset); },
         false},
        {"WriteFile", "NtWriteFile",
         [](HANDLE h) { offset.QuadPart = 0; return WriteFile(h, "abcdefgh", 8, nullptr, &offset); }, false},
        {"QueryFileInfo", "NtQueryInformationFile",
         [](HANDLE h) { return QueryFileInfo(h, &basic, sizeof basic, FileBasicInformation); }, false},
        {"SetFileInfo", "NtSetInformationFile",
         [](HANDLE h) { position.QuadPart = 4; return SetFileInfo(h, &position, sizeof position, FilePositionInformation); },
         false},
        {"DeviceIoControl", "NtDeviceIoControlFile",
         [](HANDLE h) {
             ULONG returned = 0;
             return DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry, &returned);
         },
         true},
    };
}

class CompletionScheme : public LibraryIo, public ::testing::WithParamInterface<size_t> {
protected:
    Operation op() { return Operations()[GetParam()]; }
    // Opened without a synchronous-I/O option, so requests may pend.
    HANDLE OpenFor(const Operation &operation) { return operation.onVolume ? OpenVolume(0) : OpenData(0); }
};

TEST_P(CompletionScheme, ImmediateFailureIsReportedOnceWithItsStatus) {
    Operation operation = op();
    HANDLE handle = OpenFor(operation);
    Fail(operation.call, 1, STATUS_IO_DEVICE_ERROR);
    Fail(operation.call, 2, STATUS_BUFFER_OVERFLOW);  // a warning is no success either
    EXPECT_EQ(operation.run(handle), 0);
    EXPECT_EQ(operation.run(handle), 0);
    ExpectShown({std::string(operation.name) + " failed (0xc0000185)",
                 std::string(operation.name) + " failed (0x80000005)"});
    EXPECT_TRUE(ErrorReported());
    NtClose(handle);
}

TEST_P(CompletionScheme, PendingRequestIsWaitedForAndSucceeds) {
    Operation operation = op();
    HANDLE handle = OpenFor(operation);
    Pend(operation.call, 1);
    EXPECT_EQ(operation.run(handle), 1);
    EXPECT_TRUE(NothingShown());
    EXPECT_TRUE(TraceHas(operation.call, "= 0x00000103 [pending]"));
    auto waits = TraceOf("NtWaitForSingleObject");
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_THAT(waits[0], HasSubstr("alertable=0, timeout=-100000000) = 0x00000000"));
    EXPECT_TRUE(TraceHas("IoCompleteRequest", std::string("request=") + operation.call + "#1"));
    NtClose(handle);
}

TEST_P(CompletionScheme, FailureAfterWaitingCarriesTheCompletionStatus) {
    Operation operation = op();
    HANDLE handle = OpenFor(operation);
    Pend(operation.call, 1);
    Fail("IoCompleteRequest", 1, STATUS_INSUFFICIENT_RESOURCES);
    Pend(operation.call, 2);
    Fail("IoCompleteRequest", 2, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(operation.run(handle), 0);
    EXPECT_EQ(operation.run(handle), 0);
    ExpectShown({std::string(operation.name) + " failed after waiting (0xc000009a)",
                 std::string(operation.name) + " failed after waiting (0x80000005)"});
    NtClose(handle);
}

TEST_P(CompletionScheme, FailedFirstWaitIsReportedAndTheSecondWaitCompletes) {
    Operation operation = op();
    HANDLE handle = OpenFor(operation);
    Pend(operation.call, 1);
    Fail("NtWaitForSingleObject", 1, STATUS_INVALID_HANDLE);
    EXPECT_EQ(operation.run(handle), 1);
    ExpectShown({"FileWait failed (0xc0000008)!"});
    auto waits = TraceOf("NtWaitForSingleObject");
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_THAT(waits[1], HasSubstr("timeout=infinite) = 0x00000000"));
    NtClose(handle);
}

TEST_P(CompletionScheme, FailedWaitShowsTheWaitAndThenTheOperation) {
    Operation operation = op();
    HANDLE handle = OpenFor(operation);
    Pend(operation.call, 1);
    Fail("NtWaitForSingleObject", 1, STATUS_INVALID_HANDLE);
    Fail("NtWaitForSingleObject", 2, STATUS_INVALID_HANDLE);
    EXPECT_EQ(operation.run(handle), 0);
    ExpectShown({"FileWait failed (0xc0000008)!", std::string("WaitForFile failed in ") + operation.name + "!"});
    // The request is still outstanding on a status block that is gone: the
    // handle is left to the next machine reset, which completes nothing.
}

TEST_P(CompletionScheme, ElapsedDefaultWaitWaitsOnUntilTheRequestCompleted) {
    Operation operation = op();
    HANDLE handle = OpenFor(operation);
    Pend(operation.call, 1);
    Fail("NtWaitForSingleObject", 1, STATUS_TIMEOUT);
    EXPECT_EQ(operation.run(handle), 1);
    EXPECT_TRUE(NothingShown());
    auto waits = TraceOf("NtWaitForSingleObject");
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_THAT(waits[0], HasSubstr("timeout=-100000000) = 0x00000102 [injected]"));
    EXPECT_THAT(waits[1], HasSubstr("timeout=infinite) = 0x00000000"));
    EXPECT_EQ(CountInTrace("IoCompleteRequest"), 1u);
    NtClose(handle);
}

TEST_P(CompletionScheme, ElapsedWaitThatStillDeliversNoCompletionIsAFailedWait) {
    Operation operation = op();
    HANDLE handle = OpenFor(operation);
    Pend(operation.call, 1);
    Fail("NtWaitForSingleObject", 1, STATUS_TIMEOUT);
    Fail("NtWaitForSingleObject", 2, STATUS_SUCCESS);  // signalled, yet nothing completed
    EXPECT_EQ(operation.run(handle), 0);
    ExpectShown({"FileWait failed (0x00000103)!", std::string("WaitForFile failed in ") + operation.name + "!"});
    EXPECT_EQ(CountInTrace("IoCompleteRequest"), 0u);
}

TEST_P(CompletionScheme, SynchronousHandlesNeverPend) {
    Operation operation = op();
    HANDLE handle = operation.onVolume ? OpenVolume(0x20) : OpenData();
    Pend(operation.call, 1);
    EXPECT_EQ(operation.run(handle), 1);
    EXPECT_EQ(CountInTrace("NtWaitForSingleObject"), 0u);
    EXPECT_TRUE(TraceHas(operation.call, "synchronous handle: completed at once"));
    EXPECT_TRUE(NothingShown());
    NtClose(handle);
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, CompletionScheme, ::testing::Range<size_t>(0, 5),
                         [](const ::testing::TestParamInfo<size_t> &info) {
                             return std::string(Operations()[info.param].name);
                         });

TEST_F(LibraryIo, PendingReadAtTheEndFailsAfterWaitingWithEndOfFile) {
    HANDLE handle = OpenData(0);
    Pend("NtReadFile", 1);
    char buffer[4];
    LARGE_INTEGER offset;
    offset.QuadPart = 100;
    EXPECT_EQ(ReadFile(handle, buffer, 4, nullptr, &offset), 0);
    ExpectShown({"ReadFile failed after waiting (0xc0000011)"});
    NtClose(handle);
}

TEST_F(LibraryIo, PendingShortReadDeliversItsCountAfterWaiting) {
    HANDLE handle = OpenData(0);
    Pend("NtReadFile", 1);
    char buffer[32] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = 10;
    ULONG done = 0;
    EXPECT_EQ(ReadFile(handle, buffer, 32, &done, &offset), 1);
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    Pend("NtReadFile", 2);
    EXPECT_EQ(ReadFile(handle, buffer, 32, nullptr, &offset), 0);  // silent without a count
    EXPECT_TRUE(NothingShown());
    NtClose(handle);
}

// ---------------------------------------------------------------------------
// WaitForFile
// ---------------------------------------------------------------------------

TEST_F(LibraryIo, WaitForFileUsesTenSecondsByDefaultAndTheCallersTimeOutOtherwise) {
    HANDLE handle = OpenData(0);
    // Nothing was ever issued on the handle: the wait elapses, which is no
    // failure.
    EXPECT_EQ(WaitForFile(handle, nullptr), 1);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5;
    EXPECT_EQ(WaitForFile(handle, &timeout), 1);
    auto waits = TraceOf("NtWaitForSingleObject");
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_THAT(waits[0], HasSubstr("alertable=0, timeout=-100000000) = 0x00000102"));
    EXPECT_THAT(waits[1], HasSubstr("alertable=0, timeout=-5) = 0x00000102"));
    EXPECT_TRUE(NothingShown());
    NtClose(handle);
}

TEST_F(LibraryIo, WaitForFileReportsAFailedWaitAndAnswersBySecondWait) {
    HANDLE handle = OpenData(0);
    Fail("NtWaitForSingleObject", 1, STATUS_ACCESS_DENIED);
    Fail("NtWaitForSingleObject", 2, STATUS_ACCESS_DENIED);
    EXPECT_EQ(WaitForFile(handle, nullptr), 0);
    ExpectShown({"FileWait failed (0xc0000022)!"});  // the second failure is not reported again
    Fail("NtWaitForSingleObject", 3, STATUS_ACCESS_DENIED);
    LARGE_INTEGER offset{};
    char buffer[2];
    ASSERT_EQ(ReadFile(handle, buffer, 2, nullptr, &offset), 1);  // signals the handle
    EXPECT_EQ(WaitForFile(handle, nullptr), 1);                   // second wait answers
    ExpectShown({"FileWait failed (0xc0000022)!", "FileWait failed (0xc0000022)!"});
    NtClose(handle);
}

}  // namespace
}  // namespace pelmar_test
