// The devices of the machine's I/O system: named devices (the driver's
// control device), the drives' volume devices with their locks and
// dismounts, and the sector stores behind raw disks and mounted containers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntsim/ntsim.h"

namespace ntsim {

class FileObject;

// ---------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------

// What a handle to a device reaches. Requests arrive already checked for
// the handle's access; control requests are buffered: the device reads its
// input from the system buffer and writes its output over it (in and out may
// be the caller's one buffer), and `information` says how many output bytes
// it left there.
class Device {
public:
    virtual ~Device() = default;
    virtual std::string Describe() const = 0;
    // Control requests to this device are traced with their buffers in hex.
    virtual bool TraceRequestBuffers() const { return false; }
    // A new handle is about to be opened; a failure status refuses it.
    virtual NTSTATUS CheckOpen(const FileObject &) { return STATUS_SUCCESS; }
    virtual void Opened(FileObject &) {}
    virtual void Closed(FileObject &) {}
    virtual NTSTATUS Read(FileObject &, uint64_t offset, uint8_t *buffer, ULONG length, ULONG_PTR &information);
    virtual NTSTATUS Write(FileObject &, uint64_t offset, const uint8_t *buffer, ULONG length,
                           ULONG_PTR &information);
    virtual NTSTATUS DeviceControl(FileObject &, ULONG code, uint8_t *systemBuffer, ULONG inputLength,
                                   ULONG outputLength, ULONG_PTR &information);
    virtual NTSTATUS FsControl(FileObject &, ULONG code, uint8_t *systemBuffer, ULONG inputLength,
                               ULONG outputLength, ULONG_PTR &information);
};

// Named devices ("\Device\TrueCrypt"): the factory makes the device once
// per machine, at the first open after a reset; a null device means the
// name does not exist on this machine. Registrations outlive resets.
using DeviceFactory = std::function<std::shared_ptr<Device>()>;
void RegisterDevice(std::u16string ntPath, DeviceFactory factory);
void UnregisterDevice(std::u16string_view ntPath);

// ---------------------------------------------------------------------------
// Volumes
// ---------------------------------------------------------------------------

// Equal-sized sectors behind a volume.
class SectorStore {
public:
    virtual ~SectorStore() = default;
    virtual uint32_t SectorSize() const = 0;
    virtual uint64_t SectorCount() const = 0;
    // Whole sectors within the store.
    virtual NTSTATUS ReadSectors(uint64_t first, uint64_t count, uint8_t *out) = 0;
    virtual NTSTATUS WriteSectors(uint64_t first, uint64_t count, const uint8_t *in) = 0;
};

// The sectors of a plain host file from a byte offset on (a container's
// data area begins behind its header); the sector count is what fits.
class ImageFileStore : public SectorStore {
public:
    // Null and an explanation when the file cannot be opened for reading
    // and writing.
    static std::shared_ptr<ImageFileStore> Open(const std::filesystem::path &path, uint64_t dataOffset,
                                                uint32_t sectorSize, std::string *error = nullptr);
    ~ImageFileStore() override;
    uint32_t SectorSize() const override { return sectorSize_; }
    uint64_t SectorCount() const override;
    NTSTATUS ReadSectors(uint64_t first, uint64_t count, uint8_t *out) override;
    NTSTATUS WriteSectors(uint64_t first, uint64_t count, const uint8_t *in) override;

private:
    ImageFileStore(int fd, uint64_t dataOffset, uint32_t sectorSize)
        : fd_(fd), dataOffset_(dataOffset), sectorSize_(sectorSize) {}
    int fd_;
    uint64_t dataOffset_;
    uint32_t sectorSize_;
};

// A drive's volume device, "\??\X:". With a sector store it is a raw disk:
// geometry of one sector per track and one track per cylinder (cylinders =
// sectors), reads and writes at sector-aligned offsets and lengths
// (STATUS_INVALID_PARAMETER otherwise); a read starting at or after the end
// is STATUS_END_OF_FILE and one running over it delivers the sectors up to
// it; a write that does not fit within the volume is refused whole with
// STATUS_DISK_FULL. Without
// one (a drive mapped to a host folder) it answers the geometry of the
// drive and the volume controls but has no raw sectors.
//
// Volume controls: FSCTL_LOCK_VOLUME succeeds only while no other file
// object is open on the drive (files on it included) and then keeps every
// new open out until FSCTL_UNLOCK_VOLUME or the locking handle's close;
// FSCTL_DISMOUNT_VOLUME cuts every other file object on the drive off
// (STATUS_VOLUME_DISMOUNTED) and the drive is mounted afresh at the next
// open; FSCTL_ALLOW_EXTENDED_DASD_IO is accepted.
class Volume : public Device {
public:
    Volume(char letter, std::shared_ptr<SectorStore> store, uint32_t folderSectorSize = 512);
    std::string Describe() const override;
    NTSTATUS CheckOpen(const FileObject &file) override;
    void Opened(FileObject &file) override;
    void Closed(FileObject &file) override;
    NTSTATUS Read(FileObject &, uint64_t offset, uint8_t *buffer, ULONG length, ULONG_PTR &information) override;
    NTSTATUS Write(FileObject &, uint64_t offset, const uint8_t *buffer, ULONG length,
                   ULONG_PTR &information) override;
    NTSTATUS DeviceControl(FileObject &, ULONG code, uint8_t *systemBuffer, ULONG inputLength, ULONG outputLength,
                           ULONG_PTR &information) override;
    NTSTATUS FsControl(FileObject &, ULONG code, uint8_t *systemBuffer, ULONG inputLength, ULONG outputLength,
                       ULONG_PTR &information) override;

    char letter() const { return letter_; }
    const std::shared_ptr<SectorStore> &store() const { return store_; }
    uint32_t SectorSize() const;
    DISK_GEOMETRY Geometry() const;
    bool locked() const { return locker_ != nullptr; }
    unsigned dismountCount() const { return dismounts_; }
    // File objects open on the drive (volume handles and files), as the
    // lock counts them.
    size_t OpenCount() const;

private:
    char letter_;
    std::shared_ptr<SectorStore> store_;
    uint32_t folderSectorSize_;
    const FileObject *locker_ = nullptr;
    std::vector<std::weak_ptr<FileObject>> opens_;
    unsigned dismounts_ = 0;
};

// Puts a volume on a drive letter (the driver model's mounted volumes) or
// takes it off again; an attached volume hides the drive's own.
void AttachVolume(char letter, std::shared_ptr<Volume> volume);
void DetachVolume(char letter);
// The volume of a drive: attached, a --disk image, or the mapped folder's;
// null when the drive does not exist.
std::shared_ptr<Volume> VolumeOf(char letter);

// The registered name that `name` is (without regard to case), if any; and
// the device made for a registered name on this machine (null when its
// factory declines). For the I/O system's opens.
std::optional<std::u16string> RegisteredDeviceName(std::u16string_view name);
std::shared_ptr<Device> NamedDevice(const std::u16string &name);

}  // namespace ntsim
