// The stand-in's object manager and I/O system, through the native calls:
// names and their refusals, dispositions, access, share access, directory
// options, positions, end of file, and requests that complete later.
#include <gmock/gmock.h>

#include <cstring>
#include <string>

#include "support/io_support.h"
#include "ntsim/files.h"

namespace pelmar_test {
namespace {

using ::testing::HasSubstr;

struct OpenResult {
    NTSTATUS status;
    HANDLE handle;
    ULONG_PTR information;
};

OpenResult Open(std::u16string path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                ULONG objectFlags = OBJ_CASE_INSENSITIVE, ULONG attributes = 0) {
    UNICODE_STRING name;
    name.Buffer = path.data();
    name.Length = static_cast<USHORT>(path.size() * 2);
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES oa{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, objectFlags, nullptr, nullptr};
    IO_STATUS_BLOCK io;
    io.Status = 0x7777;
    io.Information = 0x7777;
    HANDLE handle = nullptr;
    NTSTATUS status = NtCreateFile(&handle, access | SYNCHRONIZE, &oa, &io, nullptr, attributes, share, disposition,
                                   options, nullptr, 0);
    return {status, handle, io.Information};
}

constexpr ULONG kSync = FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class ObjectManager : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        WriteHostFile(Host("file.bin"), "0123456789");
        fs::create_directories(Host("Dir/Sub"));
        WriteHostFile(Host("Dir/Sub/Mixed.Txt"), "mixed");
        WriteHostFile(RootDir() / "outside.txt", "outside");
    }
    NTSTATUS Read(HANDLE handle, void *buffer, ULONG length, LONGLONG *offset, IO_STATUS_BLOCK &io) {
        LARGE_INTEGER at;
        if (offset) at.QuadPart = *offset;
        return NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, length, offset ? &at : nullptr, nullptr);
    }
    NTSTATUS Write(HANDLE handle, const void *buffer, ULONG length, LONGLONG *offset, IO_STATUS_BLOCK &io) {
        LARGE_INTEGER at;
        if (offset) at.QuadPart = *offset;
        return NtWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<void *>(buffer), length,
                           offset ? &at : nullptr, nullptr);
    }
};

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

TEST_F(ObjectManager, DriveNamesMapToTheDriveFolder) {
    auto r = Open(u"\\??\\C:\\Dir\\Sub\\Mixed.Txt", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, kSync);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, FILE_OPENED);
    char buffer[8];
    IO_STATUS_BLOCK io;
    LONGLONG zero = 0;
    EXPECT_EQ(Read(r.handle, buffer, 8, &zero, io), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, io.Information), "mixed");
    NtClose(r.handle);
    for (const char16_t *alias : {u"\\DosDevices\\c:\\file.bin", u"\\GLOBAL??\\C:\\file.bin"}) {
        auto a = Open(alias, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, kSync);
        EXPECT_EQ(a.status, STATUS_SUCCESS);
        NtClose(a.handle);
    }
}

TEST_F(ObjectManager, CaseInsensitiveNamesMatchHostNamesOfAnyCase) {
    auto r = Open(u"\\??\\c:\\dIR\\SUB\\mixed.txt", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, kSync);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    NtClose(r.handle);
    // Without OBJ_CASE_INSENSITIVE only the exact name matches.
    EXPECT_EQ(Open(u"\\??\\C:\\Dir\\Sub\\mixed.txt", GENERIC_READ, 1, FILE_OPEN, kSync, 0).status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\C:\\dir\\Sub\\Mixed.Txt", GENERIC_READ, 1, FILE_OPEN, kSync, 0).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    auto exact = Open(u"\\??\\C:\\Dir\\Sub\\Mixed.Txt", GENERIC_READ, 1, FILE_OPEN, kSync, 0);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    NtClose(exact.handle);
    // A new file created under a case-insensitive name goes into the
    // existing folder.
    auto created = Open(u"\\??\\C:\\DIR\\new.bin", GENERIC_WRITE, 0, FILE_CREATE, kSync);
    ASSERT_EQ(created.status, STATUS_SUCCESS);
    EXPECT_TRUE(fs::exists(Host("Dir/new.bin")));
    NtClose(created.handle);
}

TEST_F(ObjectManager, NamesThatCouldLeaveTheDriveAreRefusedBeforeTheHostIsTouched) {
    const std::u16string bad[] = {
        u"\\??\\C:\\..\\outside.txt",  u"\\??\\C:\\Dir\\..\\..\\outside.txt", u"\\??\\C:\\.\\file.bin",
        u"\\??\\C:\\Dir/../../outside.txt", u"\\??\\C:\\Dir\\\\Sub",           u"\\??\\C:\\a:b",
        u"\\??\\C:\\wild*",           u"\\??\\C:\\q?",                      std::u16string(u"\\??\\C:\\a\0b", 11),
        u"\\??\\C:\\" + std::u16string(256, u'n'),                          u"\\??\\C:\\ctl\x01",
    };
    for (const auto &name : bad) {
        for (ULONG disposition : {FILE_OPEN, FILE_CREATE, FILE_OVERWRITE_IF}) {
            auto r = Open(name, GENERIC_READ | GENERIC_WRITE, 0, disposition, kSync);
            EXPECT_EQ(r.status, STATUS_OBJECT_NAME_INVALID) << ntsim::Utf16ToUtf8(name);
        }
    }
    EXPECT_EQ(ReadHostFile(RootDir() / "outside.txt"), "outside");
    EXPECT_EQ(std::distance(fs::directory_iterator(RootDir()), fs::directory_iterator()), 2);  // c and outside.txt
    // 255 characters are allowed.
    auto longest = Open(u"\\??\\C:\\" + std::u16string(255, u'n'), GENERIC_WRITE, 0, FILE_CREATE, kSync);
    EXPECT_EQ(longest.status, STATUS_SUCCESS);
    NtClose(longest.handle);
    EXPECT_EQ(M().OpenHandleCount(), 0u);
}

TEST_F(ObjectManager, NamesOutsideTheDriveMapAreNotFound) {
    EXPECT_EQ(Open(u"\\??\\Q:\\file.bin", GENERIC_READ, 1, FILE_OPEN, kSync).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\Q:", GENERIC_READ, 1, FILE_OPEN, kSync).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\C:file.bin", GENERIC_READ, 1, FILE_OPEN, kSync).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\pelmar", GENERIC_READ, 1, FILE_OPEN, kSync).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\UNC\\host\\share", GENERIC_READ, 1, FILE_OPEN, kSync).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\Device\\TrueCrypt", GENERIC_ALL, 0, FILE_OPEN, 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\Device\\HarddiskVolume1\\x", GENERIC_ALL, 0, FILE_OPEN, 0).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\Nowhere\\x", GENERIC_READ, 1, FILE_OPEN, kSync).status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"C:\\file.bin", GENERIC_READ, 1, FILE_OPEN, kSync).status, STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"", GENERIC_READ, 1, FILE_OPEN, kSync).status, STATUS_OBJECT_NAME_INVALID);
}

TEST_F(ObjectManager, MalformedRequestsAreRefused) {
    std::u16string path = u"\\??\\C:\\file.bin";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES oa{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    IO_STATUS_BLOCK io;
    HANDLE h;
    EXPECT_EQ(NtCreateFile(nullptr, GENERIC_READ, &oa, &io, nullptr, 0, 1, FILE_OPEN, 0, nullptr, 0),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &oa, &io, nullptr, 0, 1, 6, 0, nullptr, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &oa, &io, nullptr, 0, 1, FILE_OPEN, kSync, nullptr, 0),
              STATUS_INVALID_PARAMETER);  // synchronous I/O without SYNCHRONIZE
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ | SYNCHRONIZE, &oa, &io, nullptr, 0, 1, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &oa, &io, nullptr, 0, 1, FILE_OPEN,
                           FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &oa, &io, nullptr, 0, 8, FILE_OPEN, 0, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    name.Length = 3;
    EXPECT_EQ(NtCreateFile(&h, GENERIC_READ, &oa, &io, nullptr, 0, 1, FILE_OPEN, 0, nullptr, 0),
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(M().OpenHandleCount(), 0u);
}

// ---------------------------------------------------------------------------
// Dispositions
// ---------------------------------------------------------------------------

TEST_F(ObjectManager, DispositionsOnAnExistingFile) {
    struct Case {
        ULONG disposition;
        NTSTATUS status;
        ULONG_PTR information;
        const char *contentAfter;
    };
    const Case cases[] = {
        {FILE_SUPERSEDE, STATUS_SUCCESS, FILE_SUPERSEDED, ""},
        {FILE_OPEN, STATUS_SUCCESS, FILE_OPENED, "0123456789"},
        {FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS, "0123456789"},
        {FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "0123456789"},
        {FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
        {FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
    };
    for (const Case &c : cases) {
        WriteHostFile(Host("file.bin"), "0123456789");
        auto r = Open(u"\\??\\C:\\file.bin", GENERIC_READ | GENERIC_WRITE, 0, c.disposition, kSync);
        EXPECT_EQ(r.status, c.status) << c.disposition;
        EXPECT_EQ(r.information, c.information) << c.disposition;
        EXPECT_EQ(ReadHostFile(Host("file.bin")), c.contentAfter) << c.disposition;
        if (NT_SUCCESS(r.status)) NtClose(r.handle);
    }
}

TEST_F(ObjectManager, DispositionsOnAMissingFile) {
    struct Case {
        ULONG disposition;
        NTSTATUS status;
        ULONG_PTR information;
    };
    const Case cases[] = {
        {FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED},      {FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST},
        {FILE_CREATE, STATUS_SUCCESS, FILE_CREATED},         {FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST}, {FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED},
    };
    for (const Case &c : cases) {
        fs::remove(Host("new.bin"));
        auto r = Open(u"\\??\\C:\\new.bin", GENERIC_WRITE, 0, c.disposition, kSync);
        EXPECT_EQ(r.status, c.status) << c.disposition;
        EXPECT_EQ(r.information, c.information) << c.disposition;
        EXPECT_EQ(fs::exists(Host("new.bin")), NT_SUCCESS(c.status)) << c.disposition;
        if (NT_SUCCESS(r.status)) NtClose(r.handle);
    }
    // A file in a folder that does not exist: the path is not found.
    EXPECT_EQ(Open(u"\\??\\C:\\nofolder\\new.bin", GENERIC_WRITE, 0, FILE_CREATE, kSync).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\C:\\file.bin\\below", GENERIC_WRITE, 0, FILE_CREATE, kSync).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(ObjectManager, DirectoryAndNonDirectoryOptions) {
    EXPECT_EQ(Open(u"\\??\\C:\\Dir", GENERIC_READ, kShareAll, FILE_OPEN, kSync | FILE_NON_DIRECTORY_FILE).status,
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\??\\C:\\file.bin", GENERIC_READ, kShareAll, FILE_OPEN, kSync | FILE_DIRECTORY_FILE).status,
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\??\\C:\\file.bin\\", GENERIC_READ, kShareAll, FILE_OPEN, kSync).status,
              STATUS_OBJECT_NAME_INVALID);
    auto dir = Open(u"\\??\\C:\\Dir\\", GENERIC_READ, kShareAll, FILE_OPEN, kSync | FILE_DIRECTORY_FILE);
    ASSERT_EQ(dir.status, STATUS_SUCCESS);
    char buffer[4];
    IO_STATUS_BLOCK io;
    LONGLONG zero = 0;
    EXPECT_EQ(Read(dir.handle, buffer, 4, &zero, io), STATUS_INVALID_DEVICE_REQUEST);
    NtClose(dir.handle);
    // A directory open for writing takes no data either, and no volume control.
    dir = Open(u"\\??\\C:\\Dir", GENERIC_READ | GENERIC_WRITE, kShareAll, FILE_OPEN,
               kSync | FILE_DIRECTORY_FILE);
    EXPECT_EQ(Write(dir.handle, "x", 1, &zero, io), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Write(dir.handle, "x", 1, nullptr, io), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(NtFsControlFile(dir.handle, nullptr, nullptr, nullptr, &io, FSCTL_LOCK_VOLUME, nullptr, 0,
                              nullptr, 0),
              STATUS_INVALID_PARAMETER);
    NtClose(dir.handle);
    auto made = Open(u"\\??\\C:\\Made", GENERIC_READ, kShareAll, FILE_CREATE, kSync | FILE_DIRECTORY_FILE);
    ASSERT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(made.information, FILE_CREATED);
    EXPECT_TRUE(fs::is_directory(Host("Made")));
    NtClose(made.handle);
    EXPECT_EQ(Open(u"\\??\\C:\\Dir", GENERIC_WRITE, kShareAll, FILE_OVERWRITE_IF, kSync).status,
              STATUS_FILE_IS_A_DIRECTORY);
    auto root = Open(u"\\??\\C:\\", FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    EXPECT_EQ(root.status, STATUS_SUCCESS);
    NtClose(root.handle);
}

// ---------------------------------------------------------------------------
// Access and share access
// ---------------------------------------------------------------------------

TEST_F(ObjectManager, RequestsNeedTheAccessTheyUse) {
    auto attributesOnly = Open(u"\\??\\C:\\file.bin", FILE_READ_ATTRIBUTES, kShareAll, FILE_OPEN, kSync);
    auto readOnly = Open(u"\\??\\C:\\file.bin", FILE_READ_DATA, kShareAll, FILE_OPEN, kSync);
    auto generic = Open(u"\\??\\C:\\file.bin", GENERIC_READ, kShareAll, FILE_OPEN, kSync);
    ASSERT_EQ(attributesOnly.status, STATUS_SUCCESS);
    ASSERT_EQ(readOnly.status, STATUS_SUCCESS);
    ASSERT_EQ(generic.status, STATUS_SUCCESS);
    char buffer[4];
    IO_STATUS_BLOCK io;
    LONGLONG zero = 0;
    EXPECT_EQ(Read(attributesOnly.handle, buffer, 4, &zero, io), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Read(readOnly.handle, buffer, 4, &zero, io), STATUS_SUCCESS);
    EXPECT_EQ(Write(readOnly.handle, "x", 1, &zero, io), STATUS_ACCESS_DENIED);
    FILE_BASIC_INFORMATION basic;
    EXPECT_EQ(NtQueryInformationFile(readOnly.handle, &io, &basic, 40, FileBasicInformation), STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtQueryInformationFile(attributesOnly.handle, &io, &basic, 40, FileBasicInformation), STATUS_SUCCESS);
    EXPECT_EQ(NtQueryInformationFile(generic.handle, &io, &basic, 40, FileBasicInformation), STATUS_SUCCESS);
    EXPECT_EQ(Read(generic.handle, buffer, 4, &zero, io), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile(Host("file.bin")), "0123456789");
    for (auto h : {attributesOnly.handle, readOnly.handle, generic.handle}) NtClose(h);
    EXPECT_EQ(ntsim::MapFileAccess(GENERIC_READ), FILE_GENERIC_READ);
    EXPECT_EQ(ntsim::MapFileAccess(GENERIC_WRITE) & FILE_WRITE_DATA, FILE_WRITE_DATA);
    EXPECT_EQ(ntsim::MapFileAccess(GENERIC_ALL), FILE_ALL_ACCESS);
}

TEST_F(ObjectManager, SharingViolationsGoBothWays) {
    // An open for reading that shares only reading...
    auto first = Open(u"\\??\\C:\\file.bin", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, kSync);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    // ...keeps writers out,
    EXPECT_EQ(Open(u"\\??\\C:\\file.bin", GENERIC_WRITE, kShareAll, FILE_OPEN, kSync).status, STATUS_SHARING_VIOLATION);
    // and a reader that does not share reading is refused too.
    EXPECT_EQ(Open(u"\\??\\C:\\file.bin", GENERIC_READ, FILE_SHARE_WRITE, FILE_OPEN, kSync).status,
              STATUS_SHARING_VIOLATION);
    auto second = Open(u"\\??\\C:\\file.bin", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, kSync);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    // Opens for attributes only take no part in share access.
    auto attributes = Open(u"\\??\\C:\\file.bin", FILE_READ_ATTRIBUTES, 0, FILE_OPEN, 0);
    EXPECT_EQ(attributes.status, STATUS_SUCCESS);
    // Overwriting writes the file, whatever access is asked.
    EXPECT_EQ(Open(u"\\??\\C:\\file.bin", FILE_READ_ATTRIBUTES, kShareAll, FILE_OVERWRITE, 0).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(ReadHostFile(Host("file.bin")), "0123456789");
    NtClose(first.handle);
    NtClose(second.handle);
    // With the readers gone, a writer gets in; the same file under another
    // case is the same file.
    auto writer = Open(u"\\??\\C:\\FILE.BIN", GENERIC_WRITE, 0, FILE_OPEN, kSync);
    EXPECT_EQ(writer.status, STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\??\\C:\\file.bin", GENERIC_READ, kShareAll, FILE_OPEN, kSync).status, STATUS_SHARING_VIOLATION);
    NtClose(writer.handle);
    NtClose(attributes.handle);
    // Other files are not affected.
    auto other = Open(u"\\??\\C:\\Dir\\Sub\\Mixed.Txt", GENERIC_READ, 0, FILE_OPEN, kSync);
    EXPECT_EQ(other.status, STATUS_SUCCESS);
    NtClose(other.handle);
}

TEST_F(ObjectManager, OpenTraceShowsWhatTheOpenDid) {
    auto r = Open(u"\\??\\C:\\traced.bin", GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN_IF, kSync);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto lines = TraceOf("NtCreateFile");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_THAT(lines[0], HasSubstr("path=\"\\\\??\\\\C:\\\\traced.bin\", access=0x40100000, attributes=0x00000000, "
                                    "share=0x00000001, disposition=3, options=0x00000020"));
    EXPECT_THAT(lines[0], HasSubstr("= 0x00000000 {FILE_CREATED}"));
    NtClose(r.handle);
}

// ---------------------------------------------------------------------------
// Positions and the end of the file
// ---------------------------------------------------------------------------

TEST_F(ObjectManager, SynchronousHandlesKeepAPositionThatTransfersAdvance) {
    auto r = Open(u"\\??\\C:\\file.bin", GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN, kSync);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    char buffer[16];
    IO_STATUS_BLOCK io;
    ASSERT_EQ(Read(r.handle, buffer, 3, nullptr, io), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 3), "012");
    ASSERT_EQ(Read(r.handle, buffer, 3, nullptr, io), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 3), "345");
    LONGLONG at = 8;
    ASSERT_EQ(Read(r.handle, buffer, 1, &at, io), STATUS_SUCCESS);  // an explicit offset moves it too
    FILE_POSITION_INFORMATION position{};
    ASSERT_EQ(NtQueryInformationFile(r.handle, &io, &position, 8, FilePositionInformation), STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 9);
    // A short read near the end delivers what there is; at the end: end of file.
    ASSERT_EQ(Read(r.handle, buffer, 16, nullptr, io), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 1u);
    EXPECT_EQ(buffer[0], '9');
    io.Status = 0x1234;
    EXPECT_EQ(Read(r.handle, buffer, 16, nullptr, io), STATUS_END_OF_FILE);
    EXPECT_EQ(io.Status, 0x1234);  // an error met at once leaves the block alone
    at = 50;
    EXPECT_EQ(Read(r.handle, buffer, 1, &at, io), STATUS_END_OF_FILE);
    // Writes at the position, then the position behind them.
    position.CurrentByteOffset.QuadPart = 2;
    ASSERT_EQ(NtSetInformationFile(r.handle, &io, &position, 8, FilePositionInformation), STATUS_SUCCESS);
    ASSERT_EQ(Write(r.handle, "ab", 2, nullptr, io), STATUS_SUCCESS);
    ASSERT_EQ(Write(r.handle, "cd", 2, nullptr, io), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile(Host("file.bin")), "01abcd6789");
    position.CurrentByteOffset.QuadPart = -1;
    EXPECT_EQ(NtSetInformationFile(r.handle, &io, &position, 8, FilePositionInformation), STATUS_INVALID_PARAMETER);
    NtClose(r.handle);
}

TEST_F(ObjectManager, OtherHandlesNeedAnExplicitOffset) {
    auto r = Open(u"\\??\\C:\\file.bin", GENERIC_READ, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    char buffer[4];
    IO_STATUS_BLOCK io;
    EXPECT_EQ(Read(r.handle, buffer, 4, nullptr, io), STATUS_INVALID_PARAMETER);
    LONGLONG at = -5;
    EXPECT_EQ(Read(r.handle, buffer, 4, &at, io), STATUS_INVALID_PARAMETER);
    at = 6;
    EXPECT_EQ(Read(r.handle, buffer, 4, &at, io), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    NtClose(r.handle);
}

TEST_F(ObjectManager, InformationClassesAndLengths) {
    auto r = Open(u"\\??\\C:\\file.bin", GENERIC_READ, 0, FILE_OPEN, kSync);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    uint8_t buffer[64];
    IO_STATUS_BLOCK io;
    EXPECT_EQ(NtQueryInformationFile(r.handle, &io, buffer, 39, FileBasicInformation), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(NtQueryInformationFile(r.handle, &io, buffer, 64, FileBasicInformation), STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 40u);
    EXPECT_EQ(NtQueryInformationFile(r.handle, &io, buffer, 64, 77), STATUS_INVALID_INFO_CLASS);
    FILE_STANDARD_INFORMATION standard;
    ASSERT_EQ(NtQueryInformationFile(r.handle, &io, &standard, 24, FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 10);
    EXPECT_EQ(NtSetInformationFile(r.handle, &io, buffer, 7, FilePositionInformation), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(NtSetInformationFile(r.handle, &io, buffer, 40, FileBasicInformation), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(NtQueryInformationFile(reinterpret_cast<HANDLE>(0x9990), &io, buffer, 40, 4), STATUS_INVALID_HANDLE);
    NtClose(r.handle);
}

// ---------------------------------------------------------------------------
// Requests that complete later
// ---------------------------------------------------------------------------

TEST_F(ObjectManager, PendingReadWritesTheCallersBufferOnlyAtTheWait) {
    auto r = Open(u"\\??\\C:\\file.bin", GENERIC_READ, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    Pend("NtReadFile", 1);
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    IO_STATUS_BLOCK io;
    io.Status = 0x5555;
    io.Information = 0x5555;
    LONGLONG at = 2;
    ASSERT_EQ(Read(r.handle, buffer, 4, &at, io), STATUS_PENDING);
    EXPECT_EQ(std::string(buffer, 8), "########");
    EXPECT_EQ(io.Status, 0x5555);
    // A wait whose result is injected completes nothing.
    Fail("NtWaitForSingleObject", 1, STATUS_TIMEOUT);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10;
    EXPECT_EQ(NtWaitForSingleObject(r.handle, 0, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(std::string(buffer, 8), "########");
    EXPECT_EQ(io.Status, 0x5555);
    // The next wait completes the request.
    EXPECT_EQ(NtWaitForSingleObject(r.handle, 0, &timeout), STATUS_WAIT_0);
    EXPECT_EQ(std::string(buffer, 8), "2345####");
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 4u);
    // The handle stays signalled.
    EXPECT_EQ(NtWaitForSingleObject(r.handle, 0, &timeout), STATUS_WAIT_0);
    EXPECT_EQ(CountInTrace("IoCompleteRequest"), 1u);
    NtClose(r.handle);
}

TEST_F(ObjectManager, PendingWriteReachesTheFileOnlyAtCompletionAndSeesTheBufferThen) {
    auto r = Open(u"\\??\\C:\\file.bin", GENERIC_WRITE, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    Pend("NtWriteFile", 1);
    char data[] = "WXYZ";
    IO_STATUS_BLOCK io;
    LONGLONG at = 0;
    ASSERT_EQ(Write(r.handle, data, 4, &at, io), STATUS_PENDING);
    EXPECT_EQ(ReadHostFile(Host("file.bin")), "0123456789");
    data[0] = 'Q';  // the request reads the caller's buffer when it runs
    EXPECT_EQ(NtWaitForSingleObject(r.handle, 0, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(ReadHostFile(Host("file.bin")), "QXYZ456789");
    EXPECT_EQ(io.Information, 4u);
    NtClose(r.handle);
}

TEST_F(ObjectManager, PendingRequestCompletesWithTheStatusOfItsWork) {
    auto r = Open(u"\\??\\C:\\file.bin", GENERIC_READ, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    Pend("NtReadFile", 1);
    Pend("NtReadFile", 2);
    char first[4], second[4];
    IO_STATUS_BLOCK io1, io2;
    LONGLONG end = 10, start = 0;
    ASSERT_EQ(Read(r.handle, first, 4, &end, io1), STATUS_PENDING);
    ASSERT_EQ(Read(r.handle, second, 4, &start, io2), STATUS_PENDING);
    EXPECT_EQ(NtWaitForSingleObject(r.handle, 0, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(io1.Status, STATUS_END_OF_FILE);
    EXPECT_EQ(io2.Status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(second, 4), "0123");
    auto completions = TraceOf("IoCompleteRequest");
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_THAT(completions[0], HasSubstr("request=NtReadFile#1, information=0) = 0xc0000011"));
    EXPECT_THAT(completions[1], HasSubstr("request=NtReadFile#2, information=4) = 0x00000000"));
    NtClose(r.handle);
}

TEST_F(ObjectManager, ClosingWithARequestOutstandingCancelsIt) {
    auto r = Open(u"\\??\\C:\\file.bin", GENERIC_READ, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    Pend("NtReadFile", 1);
    char buffer[4] = {'#', '#', '#', '#'};
    IO_STATUS_BLOCK io;
    LONGLONG at = 0;
    ASSERT_EQ(Read(r.handle, buffer, 4, &at, io), STATUS_PENDING);
    EXPECT_EQ(NtClose(r.handle), STATUS_SUCCESS);
    EXPECT_EQ(io.Status, STATUS_CANCELLED);
    EXPECT_EQ(std::string(buffer, 4), "####");
}

TEST_F(ObjectManager, RequestsThatAreRefusedAtOnceNeverPend) {
    auto r = Open(u"\\??\\C:\\file.bin", FILE_READ_ATTRIBUTES, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    Pend("NtReadFile", 1);
    char buffer[4];
    IO_STATUS_BLOCK io;
    LONGLONG at = 0;
    EXPECT_EQ(Read(r.handle, buffer, 4, &at, io), STATUS_ACCESS_DENIED);
    // A handle with nothing outstanding and nothing completed is not
    // signalled.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10;
    EXPECT_EQ(NtWaitForSingleObject(r.handle, 0, &timeout), STATUS_TIMEOUT);
    NtClose(r.handle);
}

// ---------------------------------------------------------------------------
// Named devices
// ---------------------------------------------------------------------------

class EchoDevice : public ntsim::Device {
public:
    std::string Describe() const override { return "echo"; }
    bool TraceRequestBuffers() const override { return true; }
    NTSTATUS DeviceControl(ntsim::FileObject &, ULONG code, uint8_t *buffer, ULONG inputLength, ULONG outputLength,
                           ULONG_PTR &information) override {
        if (code != 0x00072018) return STATUS_INVALID_DEVICE_REQUEST;
        for (ULONG i = 0; i < inputLength; ++i) buffer[i] = static_cast<uint8_t>(buffer[i] + 1);
        information = std::min(inputLength, outputLength);
        return STATUS_SUCCESS;
    }
};

TEST_F(ObjectManager, RegisteredDevicesAnswerAtTheirName) {
    ntsim::RegisterDevice(u"\\Device\\Echo", [] { return std::make_shared<EchoDevice>(); });
    auto r = Open(u"\\device\\ECHO", GENERIC_ALL, 0, FILE_OPEN, 0);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    uint8_t word[4] = {1, 2, 3, 4};
    IO_STATUS_BLOCK io;
    ASSERT_EQ(NtDeviceIoControlFile(r.handle, nullptr, nullptr, nullptr, &io, 0x00072018, word, 4, word, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(io.Information, 4u);
    EXPECT_EQ(word[0], 2);
    EXPECT_EQ(word[3], 5);
    EXPECT_TRUE(TraceHas("NtDeviceIoControlFile", "input=01020304"));
    EXPECT_TRUE(TraceHas("NtDeviceIoControlFile", "output=02030405"));
    // Requests to the device can pend and complete later, like any other.
    Pend("NtDeviceIoControlFile", 2);
    ASSERT_EQ(NtDeviceIoControlFile(r.handle, nullptr, nullptr, nullptr, &io, 0x00072018, word, 4, word, 4),
              STATUS_PENDING);
    EXPECT_EQ(word[0], 2);
    EXPECT_EQ(NtWaitForSingleObject(r.handle, 0, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(word[0], 3);
    NtClose(r.handle);
    ntsim::UnregisterDevice(u"\\Device\\Echo");
    EXPECT_EQ(Open(u"\\Device\\Echo", GENERIC_ALL, 0, FILE_OPEN, 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    // A factory may decline: the name then does not exist on this machine.
    ntsim::RegisterDevice(u"\\Device\\Echo", [] { return std::shared_ptr<ntsim::Device>(); });
    EXPECT_EQ(Open(u"\\Device\\Echo", GENERIC_ALL, 0, FILE_OPEN, 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    ntsim::UnregisterDevice(u"\\Device\\Echo");
}

TEST_F(ObjectManager, InjectedResultsDoNothing) {
    Fail("NtCreateFile", 1, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\C:\\fresh.bin", GENERIC_WRITE, 0, FILE_CREATE, kSync).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(fs::exists(Host("fresh.bin")));
    auto r = Open(u"\\??\\C:\\file.bin", GENERIC_WRITE, 0, FILE_OPEN, kSync);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    Fail("NtWriteFile", 1, STATUS_SUCCESS);
    IO_STATUS_BLOCK io{};
    LONGLONG at = 0;
    EXPECT_EQ(Write(r.handle, "zz", 2, &at, io), STATUS_SUCCESS);
    EXPECT_EQ(ReadHostFile(Host("file.bin")), "0123456789");
    EXPECT_TRUE(TraceHas("NtWriteFile", "[injected]"));
    NtClose(r.handle);
}

}  // namespace
}  // namespace pelmar_test
