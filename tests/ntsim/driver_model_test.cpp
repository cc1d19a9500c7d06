// Round trips through the driver model: containers sealed by the product's
// keying are mounted through the client, written and read as raw volumes,
// checked against the model's data layout with an independently keyed
// cipher, dismounted, refused for the model's own reasons, and exported when
// the native process has ended.
#include <gmock/gmock.h>

#include <tuple>

#include "support/driver_support.h"

namespace pelmar_test {
namespace {

using ::testing::HasSubstr;

constexpr ULONG kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE OpenVolume(const char16_t *name) {
    HANDLE handle = nullptr;
    if (!CreateFile(&handle, name, GENERIC_READ | GENERIC_WRITE, 0, kShareReadWrite, FILE_OPEN,
                    FILE_SYNCHRONOUS_IO_NONALERT))
        return nullptr;
    return handle;
}

bool WriteAt(HANDLE handle, const Bytes &data, int64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    return WriteFile(handle, data.data(), static_cast<ULONG>(data.size()), nullptr, &at) == 1;
}

Bytes ReadAt(HANDLE handle, size_t length, int64_t offset) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    Bytes data(length);
    if (ReadFile(handle, data.data(), static_cast<ULONG>(length), nullptr, &at) != 1) return {};
    return data;
}

// The data area's cipher, keyed from the container's header by the model's
// independent opener.
ntsim::tc::EaCipher CipherOf(const Container &container) {
    auto opened = ntsim::tc::OpenVolumeHeader(std::span<const uint8_t, 512>(container.bytes.data(), 512),
                                              container.password);
    EXPECT_TRUE(opened);
    auto cipher = ntsim::tc::DataAreaCipher(*opened);
    EXPECT_TRUE(cipher);
    return std::move(*cipher);
}

struct Algorithm {
    int32_t ea;
    int32_t prf;
};

class DriverModel : public DriverTest, public ::testing::WithParamInterface<Algorithm> {};

// 8 data sectors: written through \??\X:, stored as ciphertext in the
// container behind its header, read back in the clear.
TEST_P(DriverModel, MountedVolumesStoreTheirSectorsEncryptedBehindTheHeader) {
    const Algorithm algorithm = GetParam();
    constexpr uint64_t kSectors = 8;
    Container container = SealContainer(algorithm.ea, algorithm.prf, kSectors, 200 + algorithm.ea);
    Place("vol.tc", container.bytes);
    ASSERT_EQ(OpenDriver(Client()), 1);
    ASSERT_EQ(MountVolume(Client(), u'x', u"c:\\vol.tc", container.password.data(), 64), 1);
    auto mounted = ntsim::MountedTrueCryptVolumes();
    ASSERT_EQ(mounted.size(), 1u);
    EXPECT_EQ(mounted[0].letter, 'X');
    EXPECT_EQ(mounted[0].ea, algorithm.ea);
    EXPECT_EQ(mounted[0].prf, algorithm.prf);
    EXPECT_EQ(mounted[0].sectors, kSectors);

    HANDLE volume = OpenVolume(u"\\??\\X:");
    ASSERT_NE(volume, nullptr);
    DISK_GEOMETRY geometry{};
    ULONG returned = 0;
    ASSERT_EQ(DeviceIoControl(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                              &returned), 1);
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(geometry.BytesPerSector, 512u);
    EXPECT_EQ(geometry.SectorsPerTrack, 1u);
    EXPECT_EQ(geometry.TracksPerCylinder, 1u);
    EXPECT_EQ(geometry.Cylinders.QuadPart, static_cast<LONGLONG>(kSectors));

    std::mt19937 rng(300 + algorithm.ea);
    const Bytes first = RandomBytes(rng, 3 * 512);  // sectors 0..2
    const Bytes last = RandomBytes(rng, 512);       // sector 7
    ASSERT_TRUE(WriteAt(volume, first, 0));
    ASSERT_TRUE(WriteAt(volume, last, 7 * 512));
    EXPECT_EQ(ReadAt(volume, first.size(), 0), first);
    EXPECT_EQ(ReadAt(volume, 512, 7 * 512), last);
    EXPECT_TRUE(NothingShown());

    // In the container: the header untouched, the sectors at 512 + 512 n as
    // ciphertext that the data-area cipher turns back into what was written.
    const Bytes stored = HostBytes("vol.tc");
    ASSERT_EQ(stored.size(), container.bytes.size());
    EXPECT_TRUE(std::equal(stored.begin(), stored.begin() + 512, container.bytes.begin()));
    const ntsim::tc::EaCipher cipher = CipherOf(container);
    Bytes area(stored.begin() + 512, stored.begin() + 512 + first.size());
    EXPECT_NE(area, first);
    ASSERT_TRUE(cipher.DecryptSectors(0, area));
    EXPECT_EQ(area, first);
    Bytes seventh(stored.begin() + 512 + 7 * 512, stored.end());
    EXPECT_NE(seventh, last);
    ASSERT_TRUE(cipher.DecryptSectors(7, seventh));
    EXPECT_EQ(seventh, last);
    // Each sector is keyed by its own position: the same plaintext in two
    // sectors is stored differently.
    ASSERT_TRUE(WriteAt(volume, last, 5 * 512));
    const Bytes again = HostBytes("vol.tc");
    EXPECT_FALSE(std::equal(again.begin() + 512 + 5 * 512, again.begin() + 512 + 6 * 512,
                            again.begin() + 512 + 7 * 512));

    // Nothing beyond the end: a write there, or running over it, is refused
    // whole; a read there finds the end.
    EXPECT_FALSE(WriteAt(volume, last, 8 * 512));
    EXPECT_FALSE(WriteAt(volume, Bytes(1024, 0x55), 7 * 512));
    EXPECT_EQ(HostBytes("vol.tc"), again);
    EXPECT_TRUE(ReadAt(volume, 512, 8 * 512).empty());
    ExpectShown({"WriteFile failed (0xc000007f)", "WriteFile failed (0xc000007f)", "ReadFile failed (0xc0000011)"});
    NtClose(volume);
}

INSTANTIATE_TEST_SUITE_P(SomeAlgorithmsAndHashes, DriverModel,
                         ::testing::Values(Algorithm{1, 2}, Algorithm{2, 1}, Algorithm{5, 3}, Algorithm{11, 2}),
                         [](const auto &info) {
                             return "Ea" + std::to_string(info.param.ea) + "Prf" + std::to_string(info.param.prf);
                         });

class DriverMount : public DriverTest {};

TEST_F(DriverMount, TheVolumeTakesTheRestoresVolumeControls) {
    Container container = SealContainer(4, 2, 4, 400);
    Place("vol.tc", container.bytes);
    ASSERT_EQ(OpenDriver(Client()), 1);
    ASSERT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", container.password.data(), 64), 1);
    HANDLE volume = OpenVolume(u"\\??\\T:");
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, nullptr), 1);
    // Locked: nobody else gets in.
    EXPECT_EQ(OpenVolume(u"\\??\\T:"), nullptr);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, nullptr), 1);
    ASSERT_TRUE(WriteAt(volume, Bytes(2048, 0x5A), 0));
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, nullptr), 1);
    EXPECT_EQ(DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, nullptr), 1);
    NtClose(volume);
    ExpectShown({"Cannot create/open file \"\\??\\T:\" (0xc0000022)"});
    // The file system's dismount is not the driver's: T: is still there.
    HANDLE reopened = OpenVolume(u"\\??\\T:");
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(ReadAt(reopened, 2048, 0), Bytes(2048, 0x5A));
    NtClose(reopened);
}

TEST_F(DriverMount, DismountTakesTheDriveAwayOnceAndCutsOffItsHandles) {
    Container container = SealContainer(6, 1, 4, 401);
    Place("vol.tc", container.bytes);
    ASSERT_EQ(OpenDriver(Client()), 1);
    ASSERT_EQ(MountVolume(Client(), u'T', u"\\??\\C:\\vol.tc", container.password.data(), 64), 1);
    HANDLE volume = OpenVolume(u"\\??\\T:");
    ASSERT_NE(volume, nullptr);
    ASSERT_EQ(DismountVolume(Client(), u't'), 1);
    EXPECT_TRUE(ntsim::MountedTrueCryptVolumes().empty());
    EXPECT_TRUE(NothingShown());
    // The handle still open fails, the drive is gone, a second dismount is
    // refused by the driver.
    EXPECT_TRUE(ReadAt(volume, 512, 0).empty());
    EXPECT_FALSE(WriteAt(volume, Bytes(512, 1), 0));
    EXPECT_EQ(OpenVolume(u"\\??\\T:"), nullptr);
    EXPECT_EQ(DismountVolume(Client(), u'T'), 0);
    ExpectShown({"ReadFile failed (0xc000026e)", "WriteFile failed (0xc000026e)",
                 "Cannot create/open file \"\\??\\T:\" (0xc0000034)",
                 "Cannot dismount TrueCrypt volume (Error code 0x6)!"});
    NtClose(volume);
    // The letter is free again for a new mount.
    ASSERT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", container.password.data(), 64), 1);
}

TEST_F(DriverMount, TheModelsRefusals) {
    Container container = SealContainer(9, 2, 2, 402);
    Place("vol.tc", container.bytes);
    fs::create_directories(Host("Dir"));
    Place("Dir/Other.TC", container.bytes);
    ASSERT_EQ(OpenDriver(Client()), 1);

    // Wrong password: one byte off.
    Bytes wrong = container.password;
    wrong[17] ^= 1;
    EXPECT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", wrong.data(), 64), 0);
    EXPECT_EQ(U32At(Bytes(Client()->Request, Client()->Request + 4), 0), ntsim::kTcResultWrongPassword);
    // No container there, or a name that would leave the drive's folder.
    EXPECT_EQ(MountVolume(Client(), u'T', u"c:\\missing.tc", container.password.data(), 64), 0);
    EXPECT_EQ(MountVolume(Client(), u'T', u"\\??\\C:\\..\\c\\vol.tc", container.password.data(), 64), 0);
    EXPECT_EQ(MountVolume(Client(), u'T', u"\\Device\\Harddisk0\\vol.tc", container.password.data(), 64), 0);
    // Drive letters in use: C: is a drive of the machine, T: is mounted.
    EXPECT_EQ(MountVolume(Client(), u'C', u"c:\\vol.tc", container.password.data(), 64), 0);
    // Names are found without regard to case, as the file systems do.
    ASSERT_EQ(MountVolume(Client(), u'T', u"c:\\dir\\other.tc", container.password.data(), 64), 1);
    EXPECT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", container.password.data(), 64), 0);
    ExpectShown({"Cannot mount TrueCrypt volume (Error code 0x3)!", "Cannot mount TrueCrypt volume (Error code 0x2)!",
                 "Cannot mount TrueCrypt volume (Error code 0x2)!", "Cannot mount TrueCrypt volume (Error code 0x2)!",
                 "Cannot mount TrueCrypt volume (Error code 0x4)!", "Cannot mount TrueCrypt volume (Error code 0x4)!"});
    ASSERT_EQ(ntsim::MountedTrueCryptVolumes().size(), 1u);
    EXPECT_EQ(ntsim::MountedTrueCryptVolumes()[0].container.filename(), "Other.TC");
}

// Requests the client never sends, straight to the device.
TEST_F(DriverMount, MalformedRequestsAreRefused) {
    ASSERT_EQ(OpenDriver(Client()), 1);
    Container container = SealContainer(1, 2, 2, 403);
    Place("vol.tc", container.bytes);
    auto send = [&](uint32_t code, Bytes &request, ULONG outputLength) {
        IO_STATUS_BLOCK io{};
        return NtDeviceIoControlFile(Client()->Handle, nullptr, nullptr, nullptr, &io, code, request.data(),
                                     static_cast<ULONG>(request.size()), request.data(), outputLength);
    };
    auto mountRequest = [&] {
        Bytes request(716, 0);
        const std::u16string path = u"c:\\vol.tc";
        std::memcpy(request.data() + 4, path.data(), path.size() * 2);
        uint32_t length = 64, drive = 19;
        std::memcpy(request.data() + 524, &length, 4);
        std::copy(container.password.begin(), container.password.end(), request.begin() + 528);
        std::memcpy(request.data() + 600, &drive, 4);
        return request;
    };
    // Lengths are exact.
    Bytes shorter = mountRequest();
    shorter.pop_back();
    EXPECT_EQ(send(TC_IOCTL_MOUNT, shorter, 715), STATUS_INVALID_PARAMETER);
    Bytes longer = mountRequest();
    longer.push_back(0);
    EXPECT_EQ(send(TC_IOCTL_MOUNT, longer, 717), STATUS_INVALID_PARAMETER);
    Bytes dismount(11, 0);
    EXPECT_EQ(send(TC_IOCTL_DISMOUNT, dismount, 11), STATUS_INVALID_PARAMETER);
    Bytes unknown(4, 0);
    EXPECT_EQ(send(0x00072004, unknown, 4), STATUS_INVALID_DEVICE_REQUEST);

    // Fields out of range: drive number 26, password length 65, a path field
    // without its NUL, an empty path, a relative path.
    std::vector<Bytes> bad(5, mountRequest());
    uint32_t value = 26;
    std::memcpy(bad[0].data() + 600, &value, 4);
    value = 65;
    std::memcpy(bad[1].data() + 524, &value, 4);
    std::fill(bad[2].begin() + 4, bad[2].begin() + 524, 'a');
    std::fill(bad[3].begin() + 4, bad[3].begin() + 524, 0);
    bad[4][4] = 'v';
    bad[4][6] = 'o';
    bad[4][8] = 'l';
    bad[4][10] = 0;
    for (Bytes &request : bad) {
        ASSERT_EQ(send(TC_IOCTL_MOUNT, request, 716), STATUS_SUCCESS);
        EXPECT_EQ(U32At(request, 0), ntsim::kTcResultBadRequest);
    }
    // Bytes per sector, option words and reserved areas as the format has them.
    for (auto [offset, value, result] : std::vector<std::tuple<uint32_t, uint32_t, uint32_t>>{
             {604, 100, ntsim::kTcResultBadSectorSize},
             {604, 8192, ntsim::kTcResultBadSectorSize},
             {608, 2, ntsim::kTcResultBadOption},
             {624, 0x100, ntsim::kTcResultBadOption},
             {636, 2, ntsim::kTcResultBadOption},
             {612, 1, ntsim::kTcResultReservedNotZero},
             {632, 0x1000000, ntsim::kTcResultReservedNotZero},
             {712, 1, ntsim::kTcResultReservedNotZero}}) {
        Bytes request = mountRequest();
        std::memcpy(request.data() + offset, &value, 4);
        ASSERT_EQ(send(TC_IOCTL_MOUNT, request, 716), STATUS_SUCCESS);
        EXPECT_EQ(U32At(request, 0), result) << offset;
    }
    Bytes shortWord(3, 0);
    EXPECT_EQ(send(TC_IOCTL_GET_DRIVER_VERSION, shortWord, 3), STATUS_INVALID_PARAMETER);
    Bytes farDrive = {26, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(send(TC_IOCTL_DISMOUNT, farDrive, 12), STATUS_SUCCESS);
    EXPECT_EQ(U32At(farDrive, 8), ntsim::kTcResultBadRequest);
    EXPECT_TRUE(ntsim::MountedTrueCryptVolumes().empty());

    // The well-formed request mounts, and the answer is the request with
    // result 0.
    Bytes good = mountRequest();
    ASSERT_EQ(send(TC_IOCTL_MOUNT, good, 716), STATUS_SUCCESS);
    Bytes answer = mountRequest();
    EXPECT_EQ(good, answer);
    EXPECT_EQ(ntsim::MountedTrueCryptVolumes().size(), 1u);
    // The same container on another letter.
    good[600] = 20;
    ASSERT_EQ(send(TC_IOCTL_MOUNT, good, 716), STATUS_SUCCESS);
    EXPECT_EQ(U32At(good, 0), ntsim::kTcResultAlreadyMounted);
}

// The model holds the container open for reading and writing, sharing both,
// while it is mounted: a handle the process keeps without sharing stops the
// mount, and the process cannot take the container for itself meanwhile.
// The model's own opens are no calls of the process. A header of a newer
// format, or one asking for a newer driver, is not mounted.
TEST_F(DriverMount, TheContainerIsOpenedAsASecondOpenerAndItsVersionsChecked) {
    Container container = SealContainer(1, 2, 2, 404);
    Place("vol.tc", container.bytes);
    ASSERT_EQ(OpenDriver(Client()), 1);
    HANDLE held = nullptr;
    auto hold = [&] { return CreateFile(&held, u"\\??\\C:\\vol.tc", GENERIC_WRITE, 0, 0, FILE_OPEN, 0x20); };
    ASSERT_EQ(hold(), 1);
    EXPECT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", container.password.data(), 64), 0);
    NtClose(held);
    ASSERT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", container.password.data(), 64), 1);
    EXPECT_EQ(hold(), 0);
    ASSERT_EQ(DismountVolume(Client(), u'T'), 1);
    ASSERT_EQ(hold(), 1);
    NtClose(held);
    ExpectShown({"Cannot mount TrueCrypt volume (Error code 0xc)!",
                 "Cannot create/open file \"\\??\\C:\\vol.tc\" (0xc0000043)"});
    EXPECT_EQ(CountInTrace("NtCreateFile"), 6u);  // the driver, three holds, drive C: twice

    auto opened = ntsim::tc::OpenVolumeHeader(std::span<const uint8_t, 512>(container.bytes.data(), 512),
                                              container.password);
    ASSERT_TRUE(opened);
    for (auto [offset, value, mounts] : {std::tuple{70, 0x043A, true}, {70, 0x043B, false}, {68, 3, false}}) {
        Bytes header(opened->header.begin(), opened->header.end());
        header[offset] = static_cast<uint8_t>(value >> 8);
        header[offset + 1] = static_cast<uint8_t>(value);
        ntsim::tc::EaCipher::Create(1, opened->headerKey)
            ->LrwEncrypt(1, std::span<uint8_t>(header).subspan(64));
        std::copy(header.begin(), header.end(), container.bytes.begin());
        Place("vol.tc", container.bytes);
        EXPECT_EQ(MountVolume(Client(), u'T', u"c:\\vol.tc", container.password.data(), 64), mounts ? 1 : 0);
        EXPECT_EQ(U32At(Bytes(Client()->Request, Client()->Request + 4), 0),
                  mounts ? 0u : uint32_t{ntsim::kTcResultNewerVersion});
        EXPECT_EQ(DismountVolume(Client(), u'T'), mounts ? 1 : 0);
    }
}

// A whole native process on the machine (the library was initialised by the
// fixture): the volume it mounted outlives it, and --export writes the
// volume's decrypted contents once it has ended.
struct ProcessSetting {
    Container container;
    Bytes written;
} *process = nullptr;

void MountAndWriteEntry(PPEB) {
    static DRIVER_CLIENT client;
    if (OpenDriver(&client) &&
        MountVolume(&client, u'T', u"c:\\vol.tc", process->container.password.data(), 64)) {
        HANDLE volume = OpenVolume(u"\\??\\T:");
        if (volume) {
            WriteAt(volume, process->written, 512);
            NtClose(volume);
        }
        CloseDriver(&client);
    }
    NtTerminateProcess(NtCurrentProcess(), STATUS_SUCCESS);
}

class DriverExport : public DriverTest {
    void Configure(ntsim::Options &o) override {
        o.exports['T'] = (RootDir() / "t.img").string();
        o.exports['U'] = (RootDir() / "u.img").string();
    }
};

TEST_F(DriverExport, TheDecryptedVolumeIsWrittenWhenTheProcessHasEnded) {
    ProcessSetting setting{SealContainer(10, 3, 6, 500), {}};
    std::mt19937 rng(501);
    setting.written = RandomBytes(rng, 2 * 512);
    process = &setting;
    Place("vol.tc", setting.container.bytes);
    ASSERT_EQ(ntsim::RunNativeProcess(MountAndWriteEntry), STATUS_SUCCESS);
    EXPECT_TRUE(NothingShown()) << Screen();
    // The machine goes on: T: is still mounted, nothing exported yet.
    ASSERT_EQ(ntsim::MountedTrueCryptVolumes().size(), 1u);
    EXPECT_FALSE(fs::exists(RootDir() / "t.img"));
    M().RunProcessEndHooks();
    process = nullptr;

    // Every sector in the clear: the old contents decrypted as they are, the
    // two written sectors as written.
    const Bytes exported = HostBytes("../t.img");
    ASSERT_EQ(exported.size(), 6u * 512);
    Bytes expected(setting.container.bytes.begin() + 512, setting.container.bytes.end());
    ASSERT_TRUE(CipherOf(setting.container).DecryptSectors(0, expected));
    std::copy(setting.written.begin(), setting.written.end(), expected.begin() + 512);
    EXPECT_EQ(exported, expected);
    // Nothing was mounted on U:, so there is nothing to write.
    EXPECT_FALSE(fs::exists(RootDir() / "u.img"));
}

TEST_F(DriverExport, ExportNeedsAMountedVolume) {
    std::string error;
    EXPECT_FALSE(ntsim::ExportTrueCryptVolume('T', RootDir() / "t.img", &error));
    EXPECT_THAT(error, HasSubstr("no volume is mounted on T:"));
    EXPECT_FALSE(fs::exists(RootDir() / "t.img"));
}

class NoDriverProcess : public DriverTest {
    void Configure(ntsim::Options &o) override { o.noDriver = true; }
};

void OpenDriverEntry(PPEB) {
    static DRIVER_CLIENT client;
    NTSTATUS status = OpenDriver(&client) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    NtTerminateProcess(NtCurrentProcess(), status);
}

TEST_F(NoDriverProcess, TheProcessFindsNoDevice) {
    EXPECT_EQ(ntsim::RunNativeProcess(OpenDriverEntry), STATUS_UNSUCCESSFUL);
    EXPECT_THAT(Screen(), HasSubstr("Cannot create/open file \"\\Device\\TrueCrypt\" (0xc0000034)"));
}

}  // namespace
}  // namespace pelmar_test
