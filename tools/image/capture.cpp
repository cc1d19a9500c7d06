// The capture of a drive, over DriveDevice (see capture.h).
#include "tools/image/capture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/fs/ntfs_descriptor.h"
#include "tools/fs/ntfs_folders.h"
#include "tools/image/image_format.h"

namespace pelmar_tools {
namespace {

// The locked drive as a volume of the geometry's size. Reads of any offset
// and length go through a sector-aligned buffer in whole sectors, as a
// volume opened for direct access requires.
class DriveVolume final : public VolumeSource {
  public:
    DriveVolume(DriveDevice &drive, uint64_t size, uint32_t sectorSize)
        : drive_(drive), size_(size), sectorSize_(sectorSize), buffer_(kBufferBytes + kAlignment) {}

    const std::string &Name() const override { return drive_.Name(); }
    uint64_t Size() const override { return size_; }

    bool ReadWithin(uint64_t offset, uint8_t *out, size_t length, std::string &error) const override {
        uint8_t *aligned =
            buffer_.data() + (kAlignment - reinterpret_cast<uintptr_t>(buffer_.data()) % kAlignment);
        while (length) {
            const uint64_t first = offset / sectorSize_ * sectorSize_;
            const uint64_t skip = offset - first;
            const uint64_t span = std::min<uint64_t>(
                kBufferBytes, (skip + length + sectorSize_ - 1) / sectorSize_ * sectorSize_);
            if (!drive_.ReadSectors(first, aligned, span, error)) return false;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(length, span - skip));
            std::memcpy(out, aligned + skip, n);
            out += n;
            offset += n;
            length -= n;
        }
        return true;
    }

  private:
    static constexpr size_t kBufferBytes = 1 << 20;  // a multiple of every sector size
    static constexpr size_t kAlignment = 8192;       // the largest sector size
    DriveDevice &drive_;
    uint64_t size_;
    uint32_t sectorSize_;
    mutable std::vector<uint8_t> buffer_;
};

// The bytes the FAT or NTFS boot sector `b` says its volume takes (NTFS: its
// sectors and the backup boot sector behind them); 0 for anything else.
uint64_t ClaimedBytes(const uint8_t *b) {
    if (b[510] != 0x55 || b[511] != 0xAA) return 0;
    const uint64_t bytesPerSector = GetLE(b + 11, 2);
    if (std::memcmp(b + 3, "NTFS    ", 8) == 0) {
        const uint64_t sectors = GetLE(b + 40, 8);
        return sectors < UINT64_MAX / 8192 ? (sectors + 1) * bytesPerSector : UINT64_MAX;
    }
    if (b[0] != 0xEB && b[0] != 0xE9) return 0;
    return (GetLE(b + 19, 2) ? GetLE(b + 19, 2) : GetLE(b + 32, 4)) * bytesPerSector;
}

// An entry as Windows' tools show it: who, which rights, how it came.
std::string EntryText(const Ace &ace) {
    char rights[16];
    std::snprintf(rights, sizeof rights, "0x%x", ace.mask);
    return ace.sid + " may " + rights + ((ace.flags & kInherited) ? " (inherited)" : "");
}

}  // namespace

bool UserRedirectableFolders(const VolumeSource &volume, std::vector<std::string> &lines, std::string &error) {
    lines.clear();
    std::vector<uint8_t> boot(512);
    if (volume.Size() < boot.size()) return true;
    if (!volume.ReadAt(0, boot.data(), boot.size(), error)) return false;
    if (std::memcmp(&boot[3], "NTFS    ", 8) != 0) return true;
    std::vector<NtfsFolder> folders;
    if (!ReadNtfsFolders(volume, boot.data(), folders, error)) return false;
    for (const NtfsFolder &folder : folders) {
        Descriptor descriptor;
        if (folder.descriptor.empty()) {
            lines.push_back(folder.path + ": no security descriptor (everyone may do everything)");
        } else if (!Decode(folder.descriptor.data(), folder.descriptor.size(), descriptor)) {
            lines.push_back(folder.path + ": a descriptor with other entries than access-allowed, not checked");
        } else if (!(descriptor.control & kDaclPresent)) {
            lines.push_back(folder.path + ": no access list (everyone may do everything)");
        } else {
            // Its owner may always change its permissions.
            if (descriptor.owner != kAdministrators && descriptor.owner != kSystem)
                lines.push_back(folder.path + ": owned by " + descriptor.owner + ", who may give themselves any right");
            for (const Ace &ace : RedirectingEntries(descriptor)) lines.push_back(folder.path + ": " + EntryText(ace));
        }
    }
    return true;
}

DriveGeometry ParseDriveGeometry(const uint8_t (&g)[24]) {
    DriveGeometry geometry;
    geometry.cylinders = GetLE(g, 8);
    geometry.tracksPerCylinder = static_cast<uint32_t>(GetLE(g + 12, 4));
    geometry.sectorsPerTrack = static_cast<uint32_t>(GetLE(g + 16, 4));
    geometry.bytesPerSector = static_cast<uint32_t>(GetLE(g + 20, 4));
    return geometry;
}

bool CaptureDrive(DriveDevice &drive, ImageRequest &request, OutputFile &out, ImageSummary &summary,
                  std::string &note, std::string &error) {
    note.clear();
    const std::string &name = drive.Name();
    uint8_t bytes[24] = {};
    if (!drive.Geometry(bytes, error)) {
        error = "cannot get the drive geometry of " + NameAndReason(name, error);
        return false;
    }
    const DriveGeometry geometry = ParseDriveGeometry(bytes);
    const uint64_t S = geometry.bytesPerSector, sectors = geometry.Sectors();
    const std::string figures = std::to_string(geometry.cylinders) + " cylinders x " +
                                std::to_string(geometry.tracksPerCylinder) + " tracks x " +
                                std::to_string(geometry.sectorsPerTrack) + " sectors of " +
                                std::to_string(S) + " bytes";
    if (!IsSupportedSectorSize(S)) {
        error = name + " has sectors of " + std::to_string(S) +
                " bytes (its geometry); an image takes 512, 1024, 2048, 4096 or 8192";
        return false;
    }
    if (sectors == 0 || sectors > UINT64_MAX / S) {
        error = "the geometry of " + name + " (" + figures + ") gives no usable volume size";
        return false;
    }
    request.sectorSize = static_cast<uint32_t>(S);

    // A clean state: nobody else has the drive open, and its file system has
    // written everything out and marked itself clean at the dismount.
    switch (drive.Lock(error)) {
        case DriveDevice::LockResult::Locked:
            break;
        case DriveDevice::LockResult::InUse:
            error =
                name +
                " is in use: files or folders on it are open, so it cannot be locked for a clean capture. ";
            error += "Close the programs using " + name +
                     " (Explorer windows showing it, command prompts or " +
                     "editors with files or a current folder on it) and try again; nothing was written";
            return false;
        case DriveDevice::LockResult::Failed:
            error = "cannot lock " + NameAndReason(name, error) + "; nothing was written";
            return false;
    }
    struct Unlocker {
        DriveDevice &drive;
        ~Unlocker() { drive.Unlock(); }
    } unlocker{drive};
    // The lock has made the file system write everything out and keeps
    // everyone else away until the unlock; a dismount that fails after it
    // is told, since the file system then has not marked itself clean.
    std::string dismountError;
    if (!drive.Dismount(dismountError))
        note = name + " did not dismount (" + dismountError +
               "); the image holds its file system as the lock left it";

    DriveVolume volume(drive, sectors * S, geometry.bytesPerSector);
    std::vector<std::string> redirectable;
    if (!UserRedirectableFolders(volume, redirectable, error)) {
        error = "cannot check the folders of " + name + ": " + error + "; nothing was written";
        return false;
    }
    std::string folders;
    for (const std::string &line : redirectable) folders += "\n  " + line;
    if (!redirectable.empty() && !request.allowUserWritableFolders) {
        error = name + " has folders that others than Administrators and SYSTEM may redirect, and every boot "
                       "would restore them so:" +
                folders +
                "\nlock them down first (docs/windows.md, \"A drive to capture\"), or give "
                "--allow-user-writable-folders; nothing was written";
        return false;
    }
    if (!redirectable.empty())
        note += (note.empty() ? "" : "; ") + std::string("folders others may redirect, taken as asked:") + folders;
    if (!out.Open(error)) return false;
    if (!MakeImage(volume, request, out, summary, error)) {
        // A file system larger than the drive is refused by its reader; say
        // where the drive's size comes from.
        std::vector<uint8_t> boot(S);
        std::string ignored;
        if (volume.ReadAt(0, boot.data(), boot.size(), ignored) && ClaimedBytes(boot.data()) > sectors * S)
            error = "the file system on " + name + " claims " + std::to_string(ClaimedBytes(boot.data())) +
                    " bytes, more than the drive's " + std::to_string(sectors * S) +
                    " bytes (its geometry: " + figures +
                    "); a file system larger than its drive cannot be captured (" + error + ")";
        return false;
    }
    return out.Commit(error);
}

}  // namespace pelmar_tools
