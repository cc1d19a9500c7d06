// The image restore: the image file is read through two handles, one for
// the entry stream and one for the data stream, each keeping its own file
// position, and every sector goes to the locked volume at an explicit
// offset, one read and one write at a time, through the context's buffers.
#include "app/restore.h"

#include "app/app_context.h"
#include "lib-na/na.h"

namespace {

constexpr ACCESS_MASK kImageAccess = GENERIC_READ;
constexpr ACCESS_MASK kVolumeAccess = GENERIC_READ | GENERIC_WRITE;
constexpr ULONG kSynchronousSequential = FILE_SYNCHRONOUS_IO_NONALERT | FILE_SEQUENTIAL_ONLY;

bool IsSupportedSectorSize(uint32_t size) {
    return size == 512 || size == 1024 || size == 2048 || size == 4096 || size == 8192;
}

int32_t SetPosition(HANDLE handle, uint64_t offset) {
    FILE_POSITION_INFORMATION position;
    position.CurrentByteOffset.QuadPart = static_cast<LONGLONG>(offset);
    return SetFileInfo(handle, &position, sizeof position, FilePositionInformation);
}

// State of one replay: the sector size and the running position.
struct Replay {
    APP_CONTEXT *context;
    ULONG sectorSize;
    uint64_t position;

    int32_t ReadDataSector() {
        return ReadFile(context->DataHandle, context->SectorBuffer, sectorSize, nullptr, nullptr);
    }

    // Writes the sector buffer at the offset; the running position follows
    // the sector just written.
    int32_t WriteSectorAt(uint64_t offset) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        if (!WriteFile(context->VolumeHandle, context->SectorBuffer, sectorSize, nullptr, &at)) return 0;
        position = offset + sectorSize;
        return 1;
    }

    int32_t Apply(const IMAGE_ENTRY &entry) {
        uint16_t type = entry.Type;
        if (type == IMAGE_ENTRY_DATA_RUN || type == IMAGE_ENTRY_REPEAT_RUN) {
            for (uint64_t left = entry.Value; left != 0; --left) {
                if (type == IMAGE_ENTRY_DATA_RUN && !ReadDataSector()) {
                    // A sector cut short by the image's end fails the read
                    // without a word from the I/O layer; without this report
                    // the boot would end with no drive and no reason.
                    NaReportError(u"Cannot read image data sector!");
                    return 0;
                }
                if (!WriteSectorAt(position)) return 0;
            }
            return 1;
        }
        if (type != IMAGE_ENTRY_DATA_AT && (type & 0xFF00) != IMAGE_ENTRY_FILL) {
            NaReportError(u"Invalid image file entry!");
            return 0;
        }
        // A volume offset never has its sign bit set; the platform would
        // take two such values as "the handle's current position" and "the
        // end of the file", so the sector would land where the entry does
        // not say. Such an entry is as invalid as an unknown type.
        if (static_cast<LONGLONG>(entry.Value) < 0) {
            NaReportError(u"Invalid image file entry!");
            return 0;
        }
        if (type == IMAGE_ENTRY_DATA_AT) {
            if (!ReadDataSector()) {
                NaReportError(u"Cannot read image data sector!");
                return 0;
            }
        } else {
            __builtin_memset(context->SectorBuffer, type & 0xFF, sectorSize);
        }
        return WriteSectorAt(entry.Value);
    }
};

}  // namespace

int32_t RestoreImageEntries(APP_CONTEXT *context) {
    if (!ReadFile(context->FileHandle, context->EntryBuffer, IMAGE_HEADER_SIZE, nullptr, nullptr)) {
        NaReportError(u"Cannot read image file header!");
        return 0;
    }
    IMAGE_HEADER header;
    __builtin_memcpy(&header, context->EntryBuffer, sizeof header);
    if (header.Magic != IMAGE_MAGIC) {
        NaReportError(u"Invalid image file (wrong header id)!");
        return 0;
    }
    ULONG sectorSize = header.SectorSize;
    if (!IsSupportedSectorSize(sectorSize)) {
        NaReportError(u"Unsupported image file (sector size = %d)!", static_cast<int32_t>(sectorSize));
        return 0;
    }
    if (header.EntryCount == 0) {
        NaReportError(u"Unsupported image file (no entries)!");
        return 0;
    }

    DISK_GEOMETRY geometry;
    ULONG returned = 0;
    if (!DeviceIoControl(context->VolumeHandle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                         sizeof geometry, &returned) ||
        returned != sizeof geometry) {
        NaReportError(u"Cannot get drive geometry!");
        return 0;
    }
    if (geometry.BytesPerSector != sectorSize) {
        NaReportError(u"Disk sector size is different to disk image!");
        return 0;
    }
    uint64_t volumeSectors = static_cast<uint64_t>(geometry.TracksPerCylinder) * geometry.SectorsPerTrack *
                             static_cast<uint64_t>(geometry.Cylinders.QuadPart);
    if (volumeSectors != header.VolumeSectors) {
        NaReportError(u"Disk size is different to disk image!");
        return 0;
    }

    if (!SetPosition(context->FileHandle, sectorSize)) {
        NaReportError(u"Cannot move file pointer to first entry!");
        return 0;
    }
    if (!SetPosition(context->DataHandle, header.DataOffset)) {
        NaReportError(u"Cannot move file pointer to first data block!");
        return 0;
    }
    LARGE_INTEGER firstEntries;
    firstEntries.QuadPart = sectorSize;
    if (!ReadFile(context->FileHandle, context->EntryBuffer, sectorSize, nullptr, &firstEntries)) {
        NaReportError(u"Cannot read first entry sector!");
        return 0;
    }

    // A repeat run before any data or fill entry writes zero sectors, so the
    // sector buffer starts out zero whatever the context held before.
    __builtin_memset(context->SectorBuffer, 0, sectorSize);
    Replay replay{context, sectorSize, sectorSize};
    const ULONG slotsPerSector = sectorSize / sizeof(IMAGE_ENTRY);
    ULONG slot = 0;
    for (;;) {
        IMAGE_ENTRY entry;
        __builtin_memcpy(&entry, context->EntryBuffer + slot * sizeof(IMAGE_ENTRY), sizeof entry);
        if (entry.Type == IMAGE_ENTRY_END) return 1;
        if (!replay.Apply(entry)) return 0;
        if (++slot == slotsPerSector) {
            if (!ReadFile(context->FileHandle, context->EntryBuffer, sectorSize, nullptr, nullptr)) {
                // Silent in the I/O layer when the sector is cut short, as above.
                NaReportError(u"Cannot read next entry sector!");
                return 0;
            }
            slot = 0;
        }
    }
}

int32_t RestoreFileSystem(APP_CONTEXT *context) {
    if (!GetNtFileName(context->NtPath, APP_NT_PATH_CHARS, context->ImagePath)) return 0;
    if (!GetNtDriveName(context->DriveNtName, APP_DRIVE_NT_NAME_CHARS, context->DriveLetter)) return 0;
    if (!CreateFile(&context->FileHandle, context->NtPath, kImageAccess, 0, FILE_SHARE_READ, FILE_OPEN,
                    kSynchronousSequential))
        return 0;
    if (!CreateFile(&context->DataHandle, context->NtPath, kImageAccess, 0, FILE_SHARE_READ, FILE_OPEN,
                    kSynchronousSequential)) {
        NtClose(context->FileHandle);
        return 0;
    }
    if (!CreateFile(&context->VolumeHandle, context->DriveNtName, kVolumeAccess, 0,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, kSynchronousSequential)) {
        NtClose(context->DataHandle);
        NtClose(context->FileHandle);
        return 0;
    }

    int32_t result = 0;
    if (DeviceIoControl(context->VolumeHandle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, nullptr)) {
        // Lets the writes reach every sector of the volume, whatever the
        // file system on it claims; a volume that does not need it refuses.
        DeviceIoControl(context->VolumeHandle, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, nullptr);
        result = RestoreImageEntries(context);
        // The dismount makes the system mount the new file system afresh at
        // the next access to the drive.
        DeviceIoControl(context->VolumeHandle, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, nullptr);
        DeviceIoControl(context->VolumeHandle, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, nullptr);
    }

    NtClose(context->VolumeHandle);
    NtClose(context->DataHandle);
    NtClose(context->FileHandle);
    return result;
}
