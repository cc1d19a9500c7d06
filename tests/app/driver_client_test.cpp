// The driver client over the driver model: opening and the version check,
// the mount and dismount requests to the byte, the refusals made before
// anything is sent, the host's sector size, and the reports of failures.
#include <gmock/gmock.h>

#include "support/driver_support.h"

namespace pelmar_test {
namespace {

using ::testing::HasSubstr;

constexpr uint32_t kDriveT = 19;

void Put32(Bytes &bytes, size_t offset, uint32_t value) { std::memcpy(bytes.data() + offset, &value, 4); }

// The mount request as the driver must receive it, built from the wire
// format rather than from the client's record.
Bytes ExpectedMountRequest(const std::u16string &path, const Bytes &password, uint32_t drive, uint32_t sectorSize) {
    Bytes request(716, 0);
    std::memcpy(request.data() + 4, path.data(), path.size() * 2);
    Put32(request, 524, static_cast<uint32_t>(password.size()));
    std::copy(password.begin(), password.end(), request.begin() + 528);
    Put32(request, 600, drive);
    Put32(request, 604, sectorSize);
    Put32(request, 608, 1);
    Put32(request, 624, 1);
    Put32(request, 636, 1);
    return request;
}

const uint8_t kShortPassword[] = {'s', 'e', 'c', 'r', 'e', 't'};

class DriverClient : public DriverTest {};

TEST_F(DriverClient, OpensTheDeviceAndAcceptsVersion43A) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    EXPECT_NE(Client()->Handle, nullptr);
    EXPECT_TRUE(NothingShown());
    auto opens = TraceOf("NtCreateFile");
    ASSERT_EQ(opens.size(), 1u);
    // Generic all with SYNCHRONIZE, no sharing, open existing, and no
    // synchronous-I/O option.
    EXPECT_THAT(opens[0], HasSubstr("path=\"\\\\Device\\\\TrueCrypt\", access=0x10100000, attributes=0x00000000, "
                                    "share=0x00000000, disposition=1, options=0x00000000"));
    EXPECT_EQ(TracedInput(TC_IOCTL_GET_DRIVER_VERSION), "00000000");
    EXPECT_TRUE(TraceHas("NtDeviceIoControlFile", "code=0x00072018, inputLength=4, outputLength=4"));
    EXPECT_TRUE(TraceHas("NtDeviceIoControlFile", "output=3a040000"));
    CloseDriver(Client());
    EXPECT_EQ(M().OpenHandleCount(), 0u);
}

class DriverVersion500 : public DriverTest {
    void Configure(ntsim::Options &o) override { o.driverVersion = 0x500; }
};

TEST_F(DriverVersion500, IsRefusedAndTheHandleClosed) {
    EXPECT_EQ(OpenDriver(Client()), 0);
    ExpectShown({"Unsupported TrueCrypt version (500)!"});
    EXPECT_EQ(M().OpenHandleCount(), 0u);
    EXPECT_EQ(CountInTrace("NtClose"), 1u);
}

class NoDriver : public DriverTest {
    void Configure(ntsim::Options &o) override { o.noDriver = true; }
};

TEST_F(NoDriver, TheDeviceNameIsNotFound) {
    EXPECT_EQ(OpenDriver(Client()), 0);
    ExpectShown({"Cannot create/open file \"\\Device\\TrueCrypt\" (0xc0000034)"});
    EXPECT_EQ(M().OpenHandleCount(), 0u);
    EXPECT_EQ(CountInTrace("NtDeviceIoControlFile"), 0u);
}

TEST_F(DriverClient, AFailedVersionQueryIsReportedTwiceAndClosesTheDevice) {
    Fail("NtDeviceIoControlFile", 1, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(OpenDriver(Client()), 0);
    ExpectShown({"DeviceIoControl failed (0xc0000010)", "Cannot query TrueCrypt driver version!"});
    EXPECT_EQ(M().OpenHandleCount(), 0u);
}

TEST_F(DriverClient, AVersionQueryFailingAfterWaitingIsReportedThatWay) {
    Pend("NtDeviceIoControlFile", 1);
    Fail("IoCompleteRequest", 1, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(OpenDriver(Client()), 0);
    ExpectShown({"DeviceIoControl failed after waiting (0xc0000185)", "Cannot query TrueCrypt driver version!"});
    EXPECT_EQ(M().OpenHandleCount(), 0u);
}

// A sealed container mounted with its 64-byte password on 't': the request
// carries the DOS path unchanged, the whole password, drive number 19, the
// sector size of C: and the three option words.
TEST_F(DriverClient, TheMountRequestCarriesEveryFieldToTheByte) {
    Container container = SealContainer(1, 2, 8, 101);
    Place("vol.tc", container.bytes);
    ASSERT_EQ(OpenDriver(Client()), 1);
    ASSERT_EQ(MountVolume(Client(), u't', u"c:\\vol.tc", container.password.data(), 64), 1);
    EXPECT_TRUE(NothingShown());
    const Bytes expected = ExpectedMountRequest(u"c:\\vol.tc", container.password, kDriveT, 512);
    EXPECT_EQ(LastRequest(TC_IOCTL_MOUNT), expected);
    EXPECT_EQ(TracedInput(TC_IOCTL_MOUNT), HexOf(expected));
    // The driver's answer came back into Request: result 0, and the password
    // stays there until the run context is wiped.
    EXPECT_EQ(std::memcmp(Client()->Request, Bytes(4, 0).data(), 4), 0);
    EXPECT_EQ(std::memcmp(Client()->Request + 528, container.password.data(), 64), 0);
    ASSERT_EQ(ntsim::MountedTrueCryptVolumes().size(), 1u);
    EXPECT_EQ(ntsim::MountedTrueCryptVolumes()[0].letter, 'T');
    // The disk holding the container was opened for its geometry only.
    auto opens = TraceOf("NtCreateFile");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_THAT(opens[1], HasSubstr("path=\"\\\\??\\\\c:\", access=0x80100000, attributes=0x00000000, "
                                    "share=0x00000003, disposition=1, options=0x00000020"));
    EXPECT_EQ(M().OpenHandleCount(), 1u);
}

TEST_F(DriverClient, PasswordsOfUpTo64BytesAreSentAnd65AreRefused) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    Bytes password(65);
    for (size_t i = 0; i < password.size(); ++i) password[i] = static_cast<uint8_t>(0xA0 + i);
    // 64 bytes: all of them reach the driver (whose answer is then its own).
    EXPECT_EQ(MountVolume(Client(), u'T', u"\\??\\C:\\none.tc", password.data(), 64), 0);
    Bytes sent = LastRequest(TC_IOCTL_MOUNT);
    ASSERT_EQ(sent.size(), 716u);
    EXPECT_EQ(U32At(sent, 524), 64u);
    EXPECT_EQ(Bytes(sent.begin() + 528, sent.begin() + 600),
              [&] {
                  Bytes field(password.begin(), password.begin() + 64);
                  field.resize(72, 0);
                  return field;
              }());
    ExpectShown({"Cannot mount TrueCrypt volume (Error code 0x2)!"});

    const size_t requests = CountInTrace("NtDeviceIoControlFile");
    EXPECT_EQ(MountVolume(Client(), u'T', u"\\??\\C:\\none.tc", password.data(), 65), 0);
    ExpectShown({"Cannot mount TrueCrypt volume (Error code 0x2)!", "TrueCrypt password is too long!"});
    EXPECT_EQ(CountInTrace("NtDeviceIoControlFile"), requests);
}

TEST_F(DriverClient, AZeroLengthPasswordLeavesBothFieldsZero) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    std::memset(Client()->Request, 0xEE, sizeof Client()->Request);
    // A null password is fine when there is nothing to copy.
    EXPECT_EQ(MountVolume(Client(), u'T', u"\\??\\C:\\none.tc", nullptr, 0), 0);
    EXPECT_EQ(LastRequest(TC_IOCTL_MOUNT), ExpectedMountRequest(u"\\??\\C:\\none.tc", {}, kDriveT, 0));
    ExpectShown({"Cannot mount TrueCrypt volume (Error code 0x2)!"});
}

TEST_F(DriverClient, PathsOfUpTo259CharactersAreSentAnd260AreRefused) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    const std::u16string prefix = u"\\??\\C:\\";
    const std::u16string longest = prefix + std::u16string(259 - prefix.size(), u'p');
    ASSERT_EQ(longest.size(), 259u);
    EXPECT_EQ(MountVolume(Client(), u'T', longest.c_str(), kShortPassword, 6), 0);
    Bytes sent = LastRequest(TC_IOCTL_MOUNT);
    ASSERT_EQ(sent.size(), 716u);
    EXPECT_EQ(sent, ExpectedMountRequest(longest, Bytes(kShortPassword, kShortPassword + 6), kDriveT, 0));
    // The path and its NUL fill the 520-byte field exactly.
    EXPECT_EQ(sent[4 + 2 * 258], u'p');
    EXPECT_EQ(sent[522], 0);
    EXPECT_EQ(sent[523], 0);
    ExpectShown({"Cannot mount TrueCrypt volume (Error code 0x2)!"});

    const std::u16string tooLong = longest + u"p";
    const size_t requests = CountInTrace("NtDeviceIoControlFile");
    EXPECT_EQ(MountVolume(Client(), u'T', tooLong.c_str(), kShortPassword, 6), 0);
    ExpectShown({"Cannot mount TrueCrypt volume (Error code 0x2)!", "TrueCrypt volume name is too long!"});
    EXPECT_EQ(CountInTrace("NtDeviceIoControlFile"), requests);
}

TEST_F(DriverClient, BackslashPathsSendSectorSize0AndOpenNoDrive) {
    Container container = SealContainer(3, 1, 4, 102);
    Place("vol.tc", container.bytes);
    ASSERT_EQ(OpenDriver(Client()), 1);
    ASSERT_EQ(MountVolume(Client(), u'Q', u"\\??\\C:\\vol.tc", container.password.data(), 64), 1);
    EXPECT_EQ(CountInTrace("NtCreateFile"), 1u);  // the driver's device only
    EXPECT_EQ(LastRequest(TC_IOCTL_MOUNT), ExpectedMountRequest(u"\\??\\C:\\vol.tc", container.password, 16, 0));
    EXPECT_TRUE(NothingShown());
}

TEST_F(DriverClient, RelativePathsHaveNoHostSectorSize) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    EXPECT_EQ(MountVolume(Client(), u'T', u"vol.tc", kShortPassword, 6), 0);
    ExpectShown({"Cannot query sector size of container host!"});
    EXPECT_EQ(CountInTrace("NtDeviceIoControlFile"), 1u);  // the version query only
    EXPECT_EQ(CountInTrace("NtCreateFile"), 1u);
}

class SectorSize4096 : public DriverTest {
    void Configure(ntsim::Options &o) override { o.sectorSizes['C'] = 4096; }
};

TEST_F(SectorSize4096, TheHostsSectorSizeGoesToOffset604) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    EXPECT_EQ(MountVolume(Client(), u't', u"c:\\none.tc", kShortPassword, 6), 0);
    Bytes sent = LastRequest(TC_IOCTL_MOUNT);
    ASSERT_EQ(sent.size(), 716u);
    EXPECT_EQ(U32At(sent, 604), 4096u);
    EXPECT_EQ(M().OpenHandleCount(), 1u);  // the drive was closed again

    uint32_t size = 7;
    EXPECT_EQ(GetHostSectorSize(u"C:\\anything", &size), 1);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(GetHostSectorSize(u"\\Device\\Harddisk0\\x", &size), 1);
    EXPECT_EQ(size, 0u);
    size = 7;
    EXPECT_EQ(GetHostSectorSize(u"x", &size), 0);
    EXPECT_EQ(size, 0u);
    size = 7;
    EXPECT_EQ(GetHostSectorSize(u"", &size), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(M().OpenHandleCount(), 1u);
}

TEST_F(DriverClient, HostSectorSizeFailures) {
    uint32_t size = 7;
    // A drive that does not exist: CreateFile reports, the answer is 0.
    EXPECT_EQ(GetHostSectorSize(u"q:\\vol.tc", &size), 0);
    EXPECT_EQ(size, 0u);
    ExpectShown({"Cannot create/open file \"\\??\\q:\" (0xc0000034)"});
    // A geometry query that fails is reported by DeviceIoControl only.
    Fail("NtDeviceIoControlFile", 1, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(GetHostSectorSize(u"c:\\vol.tc", &size), 0);
    ExpectShown({"Cannot create/open file \"\\??\\q:\" (0xc0000034)", "DeviceIoControl failed (0xc0000010)"});
    EXPECT_EQ(M().OpenHandleCount(), 0u);
    // No place for the result: an assertion, and the query still runs.
    EXPECT_EQ(GetHostSectorSize(u"c:\\vol.tc", nullptr), 1);
    ExpectShown({"Cannot create/open file \"\\??\\q:\" (0xc0000034)", "DeviceIoControl failed (0xc0000010)",
                 "Assertion failed in app\\na_tc.cpp line 82"});
    // A query that "succeeds" without the 24 bytes of geometry is no answer.
    Fail("NtDeviceIoControlFile", 3, 0x40000000);
    EXPECT_EQ(GetHostSectorSize(u"c:\\vol.tc", &size), 0);
}

TEST_F(DriverClient, NullArgumentsAreAssertedAndNothingIsSent) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    EXPECT_EQ(MountVolume(Client(), u'T', nullptr, kShortPassword, 6), 0);
    EXPECT_EQ(MountVolume(Client(), u'T', u"\\??\\C:\\vol.tc", nullptr, 6), 0);
    EXPECT_EQ(MountVolume(Client(), u'T', u"\\??\\C:\\vol.tc", nullptr, 65), 0);
    ExpectShown({"Assertion failed in app\\na_tc.cpp line 151", "Assertion failed in app\\na_tc.cpp line 159",
                 "Assertion failed in app\\na_tc.cpp line 159", "TrueCrypt password is too long!"});
    EXPECT_EQ(CountInTrace("NtDeviceIoControlFile"), 1u);
}

TEST_F(DriverClient, TheDriversResultCodeIsShownInHex) {
    // A container too short to hold a data sector: the model answers 5.
    Place("short.tc", Bytes(512, 0x11));
    ASSERT_EQ(OpenDriver(Client()), 1);
    EXPECT_EQ(MountVolume(Client(), u'T', u"c:\\short.tc", kShortPassword, 6), 0);
    ExpectShown({"Cannot mount TrueCrypt volume (Error code 0x5)!"});
    EXPECT_TRUE(ntsim::MountedTrueCryptVolumes().empty());
}

TEST_F(DriverClient, FailedMountAndDismountRequestsAreReportedTwice) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    // Requests: 1 version, 2 geometry of C:, 3 mount, 4 dismount.
    Fail("NtDeviceIoControlFile", 3, STATUS_ACCESS_DENIED);
    Fail("NtDeviceIoControlFile", 4, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", kShortPassword, 6), 0);
    EXPECT_EQ(DismountVolume(Client(), u'T'), 0);
    ExpectShown({"DeviceIoControl failed (0xc0000022)", "Cannot mount TrueCrypt volume!",
                 "DeviceIoControl failed (0xc000000d)", "Cannot dismount TrueCrypt volume!"});
}

TEST_F(DriverClient, TheDismountRequestCarriesDriveNumberAndOneToTheByte) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    std::memset(Client()->Request, 0xEE, sizeof Client()->Request);
    EXPECT_EQ(DismountVolume(Client(), u't'), 0);
    const Bytes expected = {19, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(LastRequest(TC_IOCTL_DISMOUNT), expected);
    EXPECT_EQ(TracedInput(TC_IOCTL_DISMOUNT), "130000000100000000000000");
    EXPECT_TRUE(TraceHas("NtDeviceIoControlFile", "code=0x0007200c, inputLength=12, outputLength=12"));
    // Nothing is mounted on T:, and the model says so.
    ExpectShown({"Cannot dismount TrueCrypt volume (Error code 0x6)!"});
    EXPECT_EQ(DismountVolume(Client(), u'T'), 0);
    EXPECT_EQ(LastRequest(TC_IOCTL_DISMOUNT), expected);
    EXPECT_EQ(Client()->Request[12], 0xEE);  // only the 12 bytes were built
}

// Every request to the driver may come back pending; the client waits on the
// device and takes the driver's answer once it has completed.
TEST_F(DriverClient, PendingRequestsCompleteThroughTheClient) {
    Container container = SealContainer(8, 3, 4, 103);
    Place("vol.tc", container.bytes);
    for (uint64_t n : {1, 3, 4, 5}) Pend("NtDeviceIoControlFile", n);  // 2 is the geometry, on a synchronous handle
    ASSERT_EQ(OpenDriver(Client()), 1);
    ASSERT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", container.password.data(), 64), 1);
    EXPECT_EQ(DismountVolume(Client(), u'T'), 1);
    EXPECT_EQ(DismountVolume(Client(), u'T'), 0);
    ExpectShown({"Cannot dismount TrueCrypt volume (Error code 0x6)!"});
    size_t pending = 0;
    for (const auto &line : TraceOf("NtDeviceIoControlFile"))
        if (line.find("= 0x00000103") != std::string::npos) ++pending;
    EXPECT_EQ(pending, 4u);
    EXPECT_EQ(CountInTrace("IoCompleteRequest"), 4u);
    EXPECT_EQ(CountInTrace("NtWaitForSingleObject"), 4u);
    CloseDriver(Client());
    EXPECT_EQ(M().OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace pelmar_test
