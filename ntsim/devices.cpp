// Devices, volumes and the image file store of the machine's I/O system:
// the registered named devices (made once per machine), the drives' volume
// devices with their locks and dismounts, and the sectors of host files
// behind raw disks and mounted containers.
#include "ntsim/devices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "ntsim/files.h"
#include "ntsim/names.h"

namespace ntsim {
namespace {

struct DeviceRegistration {
    std::u16string name;
    DeviceFactory factory;
};

struct DeviceInstances {
    std::map<std::u16string, std::shared_ptr<Device>> made;  // null: the factory declined
};

std::vector<DeviceRegistration> &DeviceRegistry() {
    static std::vector<DeviceRegistration> registry;
    return registry;
}

struct VolumeTable {
    std::map<char, std::shared_ptr<Volume>> attached;
    std::map<char, std::shared_ptr<Volume>> own;
};

VolumeTable &Volumes() { return Machine::Get().Extension<VolumeTable>("ntsim.volumes"); }

}  // namespace

std::optional<std::u16string> RegisteredDeviceName(std::u16string_view name) {
    for (const auto &registration : DeviceRegistry())
        if (EqualFolded(name, registration.name)) return registration.name;
    return std::nullopt;
}

std::shared_ptr<Device> NamedDevice(const std::u16string &name) {
    auto &instances = Machine::Get().Extension<DeviceInstances>("ntsim.devices");
    auto it = instances.made.find(name);
    if (it != instances.made.end()) return it->second;
    std::shared_ptr<Device> device;
    for (const auto &registration : DeviceRegistry())
        if (registration.name == name && registration.factory) device = registration.factory();
    instances.made[name] = device;
    return device;
}

void RegisterDevice(std::u16string ntPath, DeviceFactory factory) {
    UnregisterDevice(ntPath);
    DeviceRegistry().push_back({std::move(ntPath), std::move(factory)});
}

void UnregisterDevice(std::u16string_view ntPath) {
    std::erase_if(DeviceRegistry(), [ntPath](const DeviceRegistration &r) { return EqualFolded(r.name, ntPath); });
    // The machine forgets a device made under the old registration.
    std::erase_if(Machine::Get().Extension<DeviceInstances>("ntsim.devices").made,
                  [ntPath](const auto &made) { return EqualFolded(made.first, ntPath); });
}

void AttachVolume(char letter, std::shared_ptr<Volume> volume) { Volumes().attached[UpperLetter(letter)] = std::move(volume); }

void DetachVolume(char letter) { Volumes().attached.erase(UpperLetter(letter)); }

std::shared_ptr<Volume> VolumeOf(char letter) {
    letter = UpperLetter(letter);
    if (letter < 'A' || letter > 'Z') return nullptr;
    auto &table = Volumes();
    if (auto it = table.attached.find(letter); it != table.attached.end()) return it->second;
    if (auto it = table.own.find(letter); it != table.own.end()) return it->second;
    const Options &options = Machine::Get().options();
    auto sizeIt = options.sectorSizes.find(letter);
    uint32_t sectorSize = sizeIt == options.sectorSizes.end() ? 512 : sizeIt->second;
    std::shared_ptr<Volume> volume;
    if (auto disk = options.disks.find(letter); disk != options.disks.end()) {
        std::string error;
        auto store = ImageFileStore::Open(disk->second, 0, sectorSize, &error);
        if (!store) {
            fprintf(stderr, "ntsim: disk %c: %s\n", letter, error.c_str());
            return nullptr;
        }
        volume = std::make_shared<Volume>(letter, store);
    } else if (Machine::Get().DriveFolder(letter)) {
        volume = std::make_shared<Volume>(letter, nullptr, sectorSize);
    } else {
        return nullptr;
    }
    table.own[letter] = volume;
    return volume;
}

// Devices answer nothing unless they say otherwise.
NTSTATUS Device::Read(FileObject &, uint64_t, uint8_t *, ULONG, ULONG_PTR &) { return STATUS_INVALID_DEVICE_REQUEST; }
NTSTATUS Device::Write(FileObject &, uint64_t, const uint8_t *, ULONG, ULONG_PTR &) {
    return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS Device::DeviceControl(FileObject &, ULONG, uint8_t *, ULONG, ULONG, ULONG_PTR &) {
    return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS Device::FsControl(FileObject &, ULONG, uint8_t *, ULONG, ULONG, ULONG_PTR &) {
    return STATUS_INVALID_DEVICE_REQUEST;
}

// ---------------------------------------------------------------------------
// ImageFileStore
// ---------------------------------------------------------------------------

std::shared_ptr<ImageFileStore> ImageFileStore::Open(const std::filesystem::path &path, uint64_t dataOffset,
                                                     uint32_t sectorSize, std::string *error) {
    if (sectorSize == 0) {
        if (error) *error = "sector size 0";
        return nullptr;
    }
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::shared_ptr<ImageFileStore>(new ImageFileStore(fd, dataOffset, sectorSize));
}

ImageFileStore::~ImageFileStore() { close(fd_); }

uint64_t ImageFileStore::SectorCount() const {
    struct stat st {};
    if (fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) < dataOffset_) return 0;
    return (static_cast<uint64_t>(st.st_size) - dataOffset_) / sectorSize_;
}

NTSTATUS ImageFileStore::ReadSectors(uint64_t first, uint64_t count, uint8_t *out) {
    uint64_t length = count * sectorSize_;
    uint64_t offset = dataOffset_ + first * sectorSize_;
    for (uint64_t done = 0; done < length;) {
        ssize_t n = pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
        if (n <= 0) return STATUS_IO_DEVICE_ERROR;
        done += static_cast<uint64_t>(n);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ImageFileStore::WriteSectors(uint64_t first, uint64_t count, const uint8_t *in) {
    uint64_t length = count * sectorSize_;
    uint64_t offset = dataOffset_ + first * sectorSize_;
    for (uint64_t done = 0; done < length;) {
        ssize_t n = pwrite(fd_, in + done, length - done, static_cast<off_t>(offset + done));
        if (n <= 0) return n < 0 && errno == ENOSPC ? STATUS_DISK_FULL : STATUS_IO_DEVICE_ERROR;
        done += static_cast<uint64_t>(n);
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Volume
// ---------------------------------------------------------------------------

Volume::Volume(char letter, std::shared_ptr<SectorStore> store, uint32_t folderSectorSize)
    : letter_(UpperLetter(letter)), store_(std::move(store)), folderSectorSize_(folderSectorSize ? folderSectorSize : 512) {}

std::string Volume::Describe() const { return std::string("volume ") + letter_ + ":"; }

uint32_t Volume::SectorSize() const { return store_ ? store_->SectorSize() : folderSectorSize_; }

DISK_GEOMETRY Volume::Geometry() const {
    DISK_GEOMETRY geometry{};
    geometry.MediaType = FixedMedia;
    geometry.BytesPerSector = SectorSize();
    if (store_) {
        // A raw disk: cylinders of one track of one sector.
        geometry.Cylinders.QuadPart = static_cast<LONGLONG>(store_->SectorCount());
        geometry.TracksPerCylinder = 1;
        geometry.SectorsPerTrack = 1;
        return geometry;
    }
    // A folder drive: the host file system's size in the customary
    // 255 heads of 63 sectors.
    uint64_t bytes = 0;
    struct statvfs vfs {};
    if (auto folder = Machine::Get().DriveFolder(letter_); folder && statvfs(folder->c_str(), &vfs) == 0)
        bytes = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    geometry.TracksPerCylinder = 255;
    geometry.SectorsPerTrack = 63;
    geometry.Cylinders.QuadPart = static_cast<LONGLONG>(bytes / SectorSize() / (255 * 63));
    return geometry;
}

size_t Volume::OpenCount() const {
    size_t count = 0;
    for (const auto &weak : opens_)
        if (auto file = weak.lock(); file && !file->closed) ++count;
    return count;
}

NTSTATUS Volume::CheckOpen(const FileObject &file) {
    // A locked volume lets nobody else in.
    if (locker_ && locker_ != &file) return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

void Volume::Opened(FileObject &file) {
    std::erase_if(opens_, [](const std::weak_ptr<FileObject> &w) { return w.expired(); });
    opens_.push_back(file.weak_from_this());
}

void Volume::Closed(FileObject &file) {
    std::erase_if(opens_, [&file](const std::weak_ptr<FileObject> &w) {
        auto locked = w.lock();
        return !locked || locked.get() == &file;
    });
    if (locker_ == &file) locker_ = nullptr;
}

NTSTATUS Volume::Read(FileObject &, uint64_t offset, uint8_t *buffer, ULONG length, ULONG_PTR &information) {
    if (!store_) return STATUS_INVALID_DEVICE_REQUEST;  // a folder drive has no raw sectors
    uint32_t sectorSize = store_->SectorSize();
    if (offset % sectorSize || length % sectorSize) return STATUS_INVALID_PARAMETER;
    if (length == 0) return STATUS_SUCCESS;
    uint64_t end = store_->SectorCount() * sectorSize;
    if (offset >= end) return STATUS_END_OF_FILE;
    // A read that runs over the end delivers the sectors up to it.
    uint64_t bytes = std::min<uint64_t>(length, end - offset);
    NTSTATUS status = store_->ReadSectors(offset / sectorSize, bytes / sectorSize, buffer);
    if (NT_SUCCESS(status)) information = bytes;
    return status;
}

NTSTATUS Volume::Write(FileObject &, uint64_t offset, const uint8_t *buffer, ULONG length, ULONG_PTR &information) {
    if (!store_) return STATUS_INVALID_DEVICE_REQUEST;
    uint32_t sectorSize = store_->SectorSize();
    if (offset % sectorSize || length % sectorSize) return STATUS_INVALID_PARAMETER;
    if (length == 0) return STATUS_SUCCESS;
    // A write that does not fit within the volume is refused whole: nothing
    // of it is written.
    uint64_t end = store_->SectorCount() * sectorSize;
    if (offset >= end || length > end - offset) return STATUS_DISK_FULL;
    NTSTATUS status = store_->WriteSectors(offset / sectorSize, length / sectorSize, buffer);
    if (NT_SUCCESS(status)) information = length;
    return status;
}

NTSTATUS Volume::DeviceControl(FileObject &, ULONG code, uint8_t *systemBuffer, ULONG, ULONG outputLength,
                               ULONG_PTR &information) {
    if (code != IOCTL_DISK_GET_DRIVE_GEOMETRY) return STATUS_INVALID_DEVICE_REQUEST;
    if (outputLength < sizeof(DISK_GEOMETRY)) return STATUS_BUFFER_TOO_SMALL;
    DISK_GEOMETRY geometry = Geometry();
    std::memcpy(systemBuffer, &geometry, sizeof geometry);
    information = sizeof geometry;
    return STATUS_SUCCESS;
}

NTSTATUS Volume::FsControl(FileObject &file, ULONG code, uint8_t *, ULONG, ULONG, ULONG_PTR &) {
    switch (code) {
    case FSCTL_LOCK_VOLUME:
        if (locker_) return STATUS_ACCESS_DENIED;
        for (const auto &weak : opens_)
            if (auto other = weak.lock(); other && !other->closed && other.get() != &file) return STATUS_ACCESS_DENIED;
        locker_ = &file;
        return STATUS_SUCCESS;
    case FSCTL_UNLOCK_VOLUME:
        if (locker_ != &file) return STATUS_NOT_LOCKED;
        locker_ = nullptr;
        return STATUS_SUCCESS;
    case FSCTL_DISMOUNT_VOLUME:
        ++dismounts_;
        for (const auto &weak : opens_)
            if (auto other = weak.lock(); other && other.get() != &file) other->cutOff = true;
        return STATUS_SUCCESS;
    case FSCTL_ALLOW_EXTENDED_DASD_IO:
        // A file system that does not offer reads and writes beyond its own
        // idea of the volume's end refuses the request at once.
        return Machine::Get().options().noExtendedDasd.count(letter_) ? STATUS_INVALID_DEVICE_REQUEST
                                                                      : STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

}  // namespace ntsim
