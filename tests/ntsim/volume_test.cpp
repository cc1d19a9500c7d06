// Volume devices: a folder drive's geometry, a raw disk attached with
// --disk (geometry, sector I/O within its end, lock, dismount, unlock) and a
// volume over a sector store of its own, as the driver model attaches them.
#include <gmock/gmock.h>

#include <cstring>
#include <map>
#include <vector>

#include "support/io_support.h"
#include "ntsim/files.h"

namespace pelmar_test {
namespace {

constexpr ULONG kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;

NTSTATUS OpenVolume(const std::u16string &path, HANDLE &handle, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT,
                    ULONG share = kShareRW) {
    std::u16string copy = path;
    UNICODE_STRING name{static_cast<USHORT>(copy.size() * 2), static_cast<USHORT>(copy.size() * 2), copy.data()};
    OBJECT_ATTRIBUTES oa{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    IO_STATUS_BLOCK io;
    return NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &io, nullptr, 0, share, FILE_OPEN,
                        options, nullptr, 0);
}

NTSTATUS Control(HANDLE handle, ULONG code, void *out = nullptr, ULONG outLength = 0, ULONG_PTR *returned = nullptr) {
    IO_STATUS_BLOCK io{};
    NTSTATUS status = DeviceTypeOfControlCode(code) == FILE_DEVICE_FILE_SYSTEM
                          ? NtFsControlFile(handle, nullptr, nullptr, nullptr, &io, code, nullptr, 0, out, outLength)
                          : NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, code, nullptr, 0, out,
                                                  outLength);
    if (returned) *returned = io.Information;
    return status;
}

NTSTATUS Sectors(bool write, HANDLE handle, void *buffer, ULONG length, LONGLONG offset, ULONG_PTR *moved = nullptr) {
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = write ? NtWriteFile(handle, nullptr, nullptr, nullptr, &io, buffer, length, &at, nullptr)
                            : NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, length, &at, nullptr);
    if (moved) *moved = io.Information;
    return status;
}

class FolderDrive : public IoTest {
protected:
    void Configure(ntsim::Options &o) override { o.sectorSizes['C'] = 4096; }
};

TEST_F(FolderDrive, GeometryCarriesTheConfiguredSectorSize) {
    HANDLE volume;
    ASSERT_EQ(OpenVolume(u"\\??\\c:", volume), STATUS_SUCCESS);
    DISK_GEOMETRY geometry{};
    ULONG_PTR returned = 0;
    ASSERT_EQ(Control(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof geometry, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(geometry.BytesPerSector, 4096u);
    EXPECT_EQ(geometry.MediaType, FixedMedia);
    uint8_t small[23];
    EXPECT_EQ(Control(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, small, sizeof small), STATUS_BUFFER_TOO_SMALL);
    // A folder drive has no raw sectors.
    uint8_t sector[4096];
    EXPECT_EQ(Sectors(false, volume, sector, 4096, 0), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Control(volume, 0x00070004), STATUS_INVALID_DEVICE_REQUEST);
    NtClose(volume);
}

TEST_F(FolderDrive, OpenFilesOnTheDriveKeepItFromBeingLocked) {
    WriteHostFile(Host("busy.bin"), "x");
    std::u16string path = u"\\??\\C:\\busy.bin";
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
    OBJECT_ATTRIBUTES oa{sizeof(OBJECT_ATTRIBUTES), nullptr, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr};
    IO_STATUS_BLOCK io;
    HANDLE file;
    ASSERT_EQ(NtCreateFile(&file, FILE_READ_ATTRIBUTES, &oa, &io, nullptr, 0, 7, FILE_OPEN, 0, nullptr, 0),
              STATUS_SUCCESS);
    HANDLE volume;
    ASSERT_EQ(OpenVolume(u"\\??\\C:", volume), STATUS_SUCCESS);
    EXPECT_EQ(Control(volume, FSCTL_LOCK_VOLUME), STATUS_ACCESS_DENIED);
    NtClose(file);
    EXPECT_EQ(Control(volume, FSCTL_LOCK_VOLUME), STATUS_SUCCESS);
    EXPECT_EQ(NtCreateFile(&file, FILE_READ_ATTRIBUTES, &oa, &io, nullptr, 0, 7, FILE_OPEN, 0, nullptr, 0),
              STATUS_ACCESS_DENIED);
    NtClose(volume);
}

// A raw disk of 64 sectors, attached as T:.
class RawDisk : public IoTest {
protected:
    void Configure(ntsim::Options &o) override {
        image_ = RootDir() / "disk.img";
        std::string bytes(64 * 512, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i / 512);
        WriteHostFile(image_, bytes);
        o.disks['T'] = image_;
    }
    fs::path image_;
};

TEST_F(RawDisk, GeometryIsOneSectorPerTrackAndCylinder) {
    HANDLE volume;
    ASSERT_EQ(OpenVolume(u"\\??\\T:", volume), STATUS_SUCCESS);
    DISK_GEOMETRY geometry{};
    ULONG_PTR returned = 0;
    ASSERT_EQ(Control(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof geometry, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(geometry.Cylinders.QuadPart, 64);
    EXPECT_EQ(geometry.TracksPerCylinder, 1u);
    EXPECT_EQ(geometry.SectorsPerTrack, 1u);
    EXPECT_EQ(geometry.BytesPerSector, 512u);
    NtClose(volume);
    // The disk has no file system the machine knows.
    HANDLE file;
    EXPECT_NE(OpenVolume(u"\\??\\T:\\x", file), STATUS_SUCCESS);
}

TEST_F(RawDisk, SectorTransfersMustBeAlignedAndStayWithinTheVolume) {
    HANDLE volume;
    ASSERT_EQ(OpenVolume(u"\\??\\T:", volume), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(1024, 0xEE);
    ULONG_PTR moved = 0;
    ASSERT_EQ(Sectors(false, volume, buffer.data(), 1024, 512 * 5, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 1024u);
    EXPECT_EQ(buffer[0], 5);
    EXPECT_EQ(buffer[1023], 6);
    EXPECT_EQ(Sectors(false, volume, buffer.data(), 512, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Sectors(false, volume, buffer.data(), 100, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Sectors(true, volume, buffer.data(), 512, 511), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Sectors(false, volume, buffer.data(), 512, 64 * 512), STATUS_END_OF_FILE);
    // A read over the end delivers the sectors up to it.
    ASSERT_EQ(Sectors(false, volume, buffer.data(), 1024, 63 * 512, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 512u);
    // Writes beyond the end are refused whole; the image does not grow.
    std::vector<uint8_t> ones(1024, 0x11);
    EXPECT_EQ(Sectors(true, volume, ones.data(), 1024, 63 * 512), STATUS_DISK_FULL);
    EXPECT_EQ(Sectors(true, volume, ones.data(), 512, 64 * 512), STATUS_DISK_FULL);
    EXPECT_EQ(fs::file_size(image_), 64u * 512);
    EXPECT_EQ(static_cast<uint8_t>(ReadHostFile(image_)[63 * 512]), 63);
    ASSERT_EQ(Sectors(true, volume, ones.data(), 512, 2 * 512, &moved), STATUS_SUCCESS);
    EXPECT_EQ(moved, 512u);
    std::string after = ReadHostFile(image_);
    EXPECT_EQ(after[2 * 512], 0x11);
    EXPECT_EQ(after[3 * 512 - 1], 0x11);
    EXPECT_EQ(after[3 * 512], 3);
    NtClose(volume);
}

TEST_F(RawDisk, LockNeedsTheOnlyOpenAndKeepsOthersOut) {
    HANDLE first, second;
    ASSERT_EQ(OpenVolume(u"\\??\\T:", first), STATUS_SUCCESS);
    ASSERT_EQ(OpenVolume(u"\\??\\T:", second), STATUS_SUCCESS);
    EXPECT_EQ(Control(first, FSCTL_LOCK_VOLUME), STATUS_ACCESS_DENIED);
    NtClose(second);
    ASSERT_EQ(Control(first, FSCTL_LOCK_VOLUME), STATUS_SUCCESS);
    EXPECT_EQ(Control(first, FSCTL_LOCK_VOLUME), STATUS_ACCESS_DENIED);  // already locked
    EXPECT_EQ(OpenVolume(u"\\??\\T:", second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(first, FSCTL_ALLOW_EXTENDED_DASD_IO), STATUS_SUCCESS);
    EXPECT_EQ(Control(first, FSCTL_DISMOUNT_VOLUME), STATUS_SUCCESS);
    EXPECT_EQ(Control(first, FSCTL_UNLOCK_VOLUME), STATUS_SUCCESS);
    EXPECT_EQ(Control(first, FSCTL_UNLOCK_VOLUME), STATUS_NOT_LOCKED);
    ASSERT_EQ(OpenVolume(u"\\??\\T:", second), STATUS_SUCCESS);
    NtClose(second);
    // Closing the locking handle releases the lock.
    ASSERT_EQ(Control(first, FSCTL_LOCK_VOLUME), STATUS_SUCCESS);
    NtClose(first);
    ASSERT_EQ(OpenVolume(u"\\??\\T:", second), STATUS_SUCCESS);
    EXPECT_EQ(ntsim::VolumeOf('t')->dismountCount(), 1u);
    NtClose(second);
}

TEST_F(RawDisk, DismountCutsOtherHandlesOff) {
    HANDLE first, second;
    ASSERT_EQ(OpenVolume(u"\\??\\T:", first), STATUS_SUCCESS);
    ASSERT_EQ(OpenVolume(u"\\??\\T:", second), STATUS_SUCCESS);
    EXPECT_EQ(Control(first, FSCTL_DISMOUNT_VOLUME), STATUS_SUCCESS);
    uint8_t sector[512];
    EXPECT_EQ(Sectors(false, second, sector, 512, 0), STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(Sectors(false, first, sector, 512, 0), STATUS_SUCCESS);
    NtClose(second);
    // The volume is mounted afresh for the next open.
    ASSERT_EQ(OpenVolume(u"\\??\\T:", second), STATUS_SUCCESS);
    EXPECT_EQ(Sectors(false, second, sector, 512, 0), STATUS_SUCCESS);
    NtClose(second);
    NtClose(first);
}

TEST_F(RawDisk, VolumeHandlesCheckShareAccess) {
    HANDLE exclusive, other;
    ASSERT_EQ(OpenVolume(u"\\??\\T:", exclusive, FILE_SYNCHRONOUS_IO_NONALERT, 0), STATUS_SUCCESS);
    EXPECT_EQ(OpenVolume(u"\\??\\T:", other), STATUS_SHARING_VIOLATION);
    NtClose(exclusive);
}

TEST_F(RawDisk, SectorRequestsCanPendOnAnAsynchronousHandle) {
    HANDLE volume;
    ASSERT_EQ(OpenVolume(u"\\??\\T:", volume, 0), STATUS_SUCCESS);
    Pend("NtReadFile", 1);
    std::vector<uint8_t> sector(512, 0xEE);
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER at;
    at.QuadPart = 7 * 512;
    ASSERT_EQ(NtReadFile(volume, nullptr, nullptr, nullptr, &io, sector.data(), 512, &at, nullptr), STATUS_PENDING);
    EXPECT_EQ(sector[0], 0xEE);
    EXPECT_EQ(NtWaitForSingleObject(volume, 0, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(sector[0], 7);
    EXPECT_EQ(io.Information, 512u);
    NtClose(volume);
}

// A store kept in memory, as a driver model would put behind a mounted
// volume.
class MemoryStore : public ntsim::SectorStore {
public:
    explicit MemoryStore(uint64_t sectors) : bytes_(sectors * 512, 0) {}
    uint32_t SectorSize() const override { return 512; }
    uint64_t SectorCount() const override { return bytes_.size() / 512; }
    NTSTATUS ReadSectors(uint64_t first, uint64_t count, uint8_t *out) override {
        std::memcpy(out, bytes_.data() + first * 512, count * 512);
        return STATUS_SUCCESS;
    }
    NTSTATUS WriteSectors(uint64_t first, uint64_t count, const uint8_t *in) override {
        std::memcpy(bytes_.data() + first * 512, in, count * 512);
        ++writes;
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> bytes_;
    int writes = 0;
};

TEST_F(IoTest, AttachedVolumesAnswerAtTheirDriveLetter) {
    HANDLE volume;
    EXPECT_EQ(OpenVolume(u"\\??\\M:", volume), STATUS_OBJECT_NAME_NOT_FOUND);
    auto store = std::make_shared<MemoryStore>(8);
    ntsim::AttachVolume('m', std::make_shared<ntsim::Volume>('M', store));
    ASSERT_EQ(OpenVolume(u"\\??\\M:", volume), STATUS_SUCCESS);
    DISK_GEOMETRY geometry{};
    ASSERT_EQ(Control(volume, IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof geometry), STATUS_SUCCESS);
    EXPECT_EQ(geometry.Cylinders.QuadPart, 8);
    std::vector<uint8_t> sector(512, 0x42);
    ASSERT_EQ(Sectors(true, volume, sector.data(), 512, 512), STATUS_SUCCESS);
    EXPECT_EQ(store->bytes_[512], 0x42);
    EXPECT_EQ(store->writes, 1);
    EXPECT_EQ(Sectors(true, volume, sector.data(), 512, 8 * 512), STATUS_DISK_FULL);
    NtClose(volume);
    ntsim::DetachVolume('M');
    EXPECT_EQ(OpenVolume(u"\\??\\M:", volume), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
}  // namespace pelmar_test
