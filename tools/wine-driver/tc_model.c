// A model of the TrueCrypt 4.3a driver for Wine's device host: a kernel-mode
// driver (ntoskrnl.exe only) that serves \Device\TrueCrypt with the version
// query and the mount and dismount requests in their wire formats, and puts
// each mounted volume on its drive letter as a disk of 512-byte sectors.
//
// It is a test fixture, never part of the product. It does not decrypt: a
// mounted volume's sectors live, in the clear, in a backing file, and every
// request is written to a log file (password included) so that the host can
// open the new header with an independent opener and the logged password.
//
// Settings, read from the driver's service key at every request, so that a
// test can change them between runs without restarting the driver:
//   Version      (REG_DWORD) the answer to the version query; default 0x43A
//   MountResult  (REG_DWORD) when not 0, every mount is answered with this
//                result code and nothing is mounted; default 0
//   LogFile      (REG_SZ)    NT path of the request log; default
//                \??\C:\pelmar-tc-model.log
//   BackingFile  (REG_SZ)    NT path of the mounted volume's sectors; made
//                (zero-filled) when it does not exist; default
//                \??\C:\pelmar-tc-volume.raw
//
// Result codes of mount and dismount are those of ntsim's driver model:
// 0 done, 1 bad request, 2 container cannot be opened, 4 drive letter in
// use, 5 container too small, 6 letter not mounted by the model.
#include <ntddk.h>
#include <ntdddisk.h>
#include <ntifs.h>

#define kMountCode ((ULONG)(0x00072000))
#define kDismountCode ((ULONG)(0x0007200C))
#define kVersionCode ((ULONG)(0x00072018))
#define kMountRequestSize ((ULONG)(716))
#define kDismountRequestSize ((ULONG)(12))
#define kDefaultVersion ((ULONG)(0x43A))

#define kPathOffset ((ULONG)(4))
#define kPathChars ((ULONG)(260))  // the 520-byte field
#define kPasswordLengthOffset ((ULONG)(524))
#define kDriveOffset ((ULONG)(600))
#define kMaxPassword ((ULONG)(64))
#define kDrives ((ULONG)(26))
#define kSectorSize ((ULONG)(512))
#define kHeaderSize ((ULONGLONG)(512))

#define kResultDone ((ULONG)(0))
#define kResultBadRequest ((ULONG)(1))
#define kResultNoContainer ((ULONG)(2))
#define kResultLetterInUse ((ULONG)(4))
#define kResultTooSmall ((ULONG)(5))
#define kResultNotMounted ((ULONG)(6))
#define kResultContainerInUse ((ULONG)(12))

typedef struct Volume {
    ULONG drive;
    HANDLE container;  // held while mounted, as the driver holds its volume file
    HANDLE backing;
    ULONGLONG sectors;
    WCHAR linkName[16];
} Volume;

static PDEVICE_OBJECT gControl;
static PDEVICE_OBJECT gVolumes[kDrives];
static WCHAR gServiceKeyBuffer[512];
static UNICODE_STRING gServiceKey;

static ULONG ReadLe32(const UCHAR *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (((ULONG)(p[3])) << 24); }
static void WriteLe32(UCHAR *p, ULONG v) {
    p[0] = ((UCHAR)(v));
    p[1] = ((UCHAR)(v >> 8));
    p[2] = ((UCHAR)(v >> 16));
    p[3] = ((UCHAR)(v >> 24));
}

// One value of the service key into info (partial information record);
// false when the key or the value is not there.
static BOOLEAN QueryServiceValue(const WCHAR *name, KEY_VALUE_PARTIAL_INFORMATION *info, ULONG size) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &gServiceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return FALSE;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG returned = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, size, &returned);
    ZwClose(key);
    return NT_SUCCESS(status);
}

static ULONG ServiceDword(const WCHAR *name, ULONG fallback) {
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 8];
    } value;
    if (!QueryServiceValue(name, &value.info, sizeof value) || value.info.Type != REG_DWORD ||
        value.info.DataLength != 4)
        return fallback;
    return ReadLe32(value.info.Data);
}

// A string value into out (NUL-terminated, at most capacity - 1 characters).
static void ServiceString(const WCHAR *name, const WCHAR *fallback, WCHAR *out, ULONG capacity) {
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1024];
    } value;
    ULONG n = 0;
    if (QueryServiceValue(name, &value.info, sizeof value) &&
        (value.info.Type == REG_SZ || value.info.Type == REG_EXPAND_SZ)) {
        const WCHAR *text = (const WCHAR *)(value.info.Data);
        ULONG chars = value.info.DataLength / sizeof(WCHAR);
        while (n < chars && n + 1 < capacity && text[n] != 0) out[n] = text[n], ++n;
    } else {
        while (n + 1 < capacity && fallback[n] != 0) out[n] = fallback[n], ++n;
    }
    out[n] = 0;
}

static NTSTATUS OpenFile(HANDLE *handle, const WCHAR *path, ACCESS_MASK access, ULONG share, ULONG disposition) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    IO_STATUS_BLOCK io;
    return ZwCreateFile(handle, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share,
                        disposition, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
}

static BOOLEAN FileSize(HANDLE file, ULONGLONG *size) {
    FILE_STANDARD_INFORMATION info;
    IO_STATUS_BLOCK io;
    if (!NT_SUCCESS(ZwQueryInformationFile(file, &io, &info, sizeof info, FileStandardInformation))) return FALSE;
    *size = (ULONGLONG)(info.EndOfFile.QuadPart);
    return TRUE;
}

// Appends one line to the log: the word, then the bytes in hex.
static void Log(const char *word, const UCHAR *bytes, ULONG length) {
    WCHAR path[260];
    ServiceString(L"LogFile", L"\\??\\C:\\pelmar-tc-model.log", path, 260);
    HANDLE file;
    if (!NT_SUCCESS(OpenFile(&file, path, FILE_READ_DATA | FILE_WRITE_DATA, FILE_SHARE_READ, FILE_OPEN_IF))) return;
    static char line[16 + 2 * kMountRequestSize + 2];
    ULONG n = 0;
    while (*word && n < 16) line[n++] = *word++;
    if (length > kMountRequestSize) length = kMountRequestSize;
    if (length != 0) line[n++] = ' ';
    for (ULONG i = 0; i < length; ++i) {
        line[n++] = "0123456789abcdef"[bytes[i] >> 4];
        line[n++] = "0123456789abcdef"[bytes[i] & 15];
    }
    line[n++] = '\n';
    ULONGLONG end = 0;
    if (FileSize(file, &end)) {
        LARGE_INTEGER offset;
        offset.QuadPart = ((LONGLONG)(end));
        IO_STATUS_BLOCK io;
        ZwWriteFile(file, NULL, NULL, NULL, &io, line, n, &offset, NULL);
    }
    ZwClose(file);
}

static void Log32(const char *word, ULONG value) {
    UCHAR bytes[4];
    WriteLe32(bytes, value);
    Log(word, bytes, 4);
}

static BOOLEAN LetterInUse(ULONG drive) {
    if (gVolumes[drive]) return TRUE;
    WCHAR path[] = L"\\??\\A:";
    path[4] = ((WCHAR)(L'A' + drive));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE link;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes))) return FALSE;
    ZwClose(link);
    return TRUE;
}

static void ReleaseVolume(ULONG drive) {
    PDEVICE_OBJECT device = gVolumes[drive];
    if (!device) return;
    Volume *volume = (Volume *)(device->DeviceExtension);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, volume->linkName);
    IoDeleteSymbolicLink(&link);
    ZwClose(volume->backing);
    ZwClose(volume->container);
    gVolumes[drive] = NULL;
    IoDeleteDevice(device);
}

static ULONG Mount(const UCHAR *request) {
    ULONG forced = ServiceDword(L"MountResult", 0);
    if (forced != 0) return forced;

    const WCHAR *path = (const WCHAR *)(request + kPathOffset);
    ULONG length = 0;
    while (length < kPathChars && path[length] != 0) ++length;
    ULONG drive = ReadLe32(request + kDriveOffset);
    BOOLEAN dosForm = length >= 3 && path[1] == L':' && path[2] == L'\\';
    if (length == kPathChars || length == 0 || !(dosForm || path[0] == L'\\') ||
        ReadLe32(request + kPasswordLengthOffset) > kMaxPassword || drive >= kDrives)
        return kResultBadRequest;
    if (LetterInUse(drive)) return kResultLetterInUse;

    // The container, opened as a second opener: whoever still holds it
    // without sharing read and write keeps the volume from being mounted.
    WCHAR ntPath[kPathChars + 8];
    ULONG n = 0;
    if (dosForm)
        for (const WCHAR *p = L"\\??\\"; *p; ++p) ntPath[n++] = *p;
    for (ULONG i = 0; i < length; ++i) ntPath[n++] = path[i];
    ntPath[n] = 0;
    HANDLE container;
    NTSTATUS opened = OpenFile(&container, ntPath, FILE_READ_DATA | FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               FILE_OPEN);
    if (!NT_SUCCESS(opened)) return opened == STATUS_SHARING_VIOLATION ? kResultContainerInUse : kResultNoContainer;
    ULONGLONG size = 0;
    if (!FileSize(container, &size) || size < kHeaderSize + kSectorSize) {
        ZwClose(container);
        return kResultTooSmall;
    }
    ULONGLONG sectors = (size - kHeaderSize) / kSectorSize;

    WCHAR backingPath[260];
    ServiceString(L"BackingFile", L"\\??\\C:\\pelmar-tc-volume.raw", backingPath, 260);
    HANDLE backing;
    if (!NT_SUCCESS(OpenFile(&backing, backingPath, FILE_READ_DATA | FILE_WRITE_DATA, 0, FILE_OPEN_IF))) {
        ZwClose(container);
        return kResultNoContainer;
    }
    ULONGLONG backingSize = 0;
    if (FileSize(backing, &backingSize) && backingSize < sectors * kSectorSize) {
        FILE_END_OF_FILE_INFORMATION end;
        end.EndOfFile.QuadPart = ((LONGLONG)(sectors * kSectorSize));
        IO_STATUS_BLOCK io;
        ZwSetInformationFile(backing, &io, &end, sizeof end, FileEndOfFileInformation);
    }

    WCHAR deviceName[] = L"\\Device\\PelmarTcVolumeA";
    deviceName[22] = ((WCHAR)(L'A' + drive));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, deviceName);
    PDEVICE_OBJECT device;
    if (!NT_SUCCESS(IoCreateDevice(gControl->DriverObject, sizeof(Volume), &name, FILE_DEVICE_DISK, 0, FALSE, &device))) {
        ZwClose(backing);
        ZwClose(container);
        return kResultLetterInUse;
    }
    Volume *volume = (Volume *)(device->DeviceExtension);
    volume->drive = drive;
    volume->container = container;
    volume->backing = backing;
    volume->sectors = sectors;
    const WCHAR linkTemplate[] = L"\\DosDevices\\A:";
    for (ULONG i = 0; i < sizeof linkTemplate / sizeof(WCHAR); ++i) volume->linkName[i] = linkTemplate[i];
    volume->linkName[12] = ((WCHAR)(L'A' + drive));
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, volume->linkName);
    if (!NT_SUCCESS(IoCreateSymbolicLink(&link, &name))) {
        ZwClose(backing);
        ZwClose(container);
        IoDeleteDevice(device);
        return kResultLetterInUse;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    gVolumes[drive] = device;
    return kResultDone;
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS ControlRequest(PIRP irp, PIO_STACK_LOCATION stack) {
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR *buffer = (UCHAR *)(irp->AssociatedIrp.SystemBuffer);
    switch (code) {
    case kVersionCode:
        if (out < 4) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        Log("version", NULL, 0);
        WriteLe32(buffer, ServiceDword(L"Version", kDefaultVersion));
        return Complete(irp, STATUS_SUCCESS, 4);
    case kMountCode:
        if (in != kMountRequestSize || out != kMountRequestSize) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        Log("mount", buffer, kMountRequestSize);
        WriteLe32(buffer, Mount(buffer));
        Log32("mount-result", ReadLe32(buffer));
        return Complete(irp, STATUS_SUCCESS, kMountRequestSize);
    case kDismountCode: {
        if (in != kDismountRequestSize || out != kDismountRequestSize)
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        Log("dismount", buffer, kDismountRequestSize);
        ULONG drive = ReadLe32(buffer);
        ULONG result = kResultNotMounted;
        if (drive < kDrives && gVolumes[drive]) {
            ReleaseVolume(drive);
            result = kResultDone;
        }
        WriteLe32(buffer + 8, result);
        return Complete(irp, STATUS_SUCCESS, kDismountRequestSize);
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

// Whole sectors inside the volume, against the backing file.
static NTSTATUS Transfer(PIRP irp, Volume *volume, BOOLEAN write, ULONG length, LONGLONG offset) {
    if (length % kSectorSize != 0 || offset < 0 || offset % kSectorSize != 0)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    ULONGLONG end = volume->sectors * kSectorSize;
    if ((ULONGLONG)(offset) + length > end) return Complete(irp, write ? STATUS_DISK_FULL : STATUS_END_OF_FILE, 0);
    LARGE_INTEGER at;
    at.QuadPart = offset;
    IO_STATUS_BLOCK io;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = write ? ZwWriteFile(volume->backing, NULL, NULL, NULL, &io, buffer, length, &at, NULL)
                            : ZwReadFile(volume->backing, NULL, NULL, NULL, &io, buffer, length, &at, NULL);
    if (!NT_SUCCESS(status)) return Complete(irp, status, 0);
    return Complete(irp, io.Information == length ? STATUS_SUCCESS : STATUS_DEVICE_DATA_ERROR, io.Information);
}

// No file system lives on the raw volume here, so the volume controls are
// the disk's to answer; each is noted in the log. Wine's device host hands
// file-system controls to a device as device controls, so both routes lead
// here.
static NTSTATUS VolumeControl(PIRP irp, ULONG code) {
    Log32("fsctl", code);
    if (code == FSCTL_LOCK_VOLUME || code == FSCTL_UNLOCK_VOLUME || code == FSCTL_DISMOUNT_VOLUME ||
        code == FSCTL_ALLOW_EXTENDED_DASD_IO)
        return Complete(irp, STATUS_SUCCESS, 0);
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS VolumeRequest(PIRP irp, PIO_STACK_LOCATION stack, Volume *volume) {
    switch (stack->MajorFunction) {
    case IRP_MJ_READ:
        return Transfer(irp, volume, FALSE, stack->Parameters.Read.Length, stack->Parameters.Read.ByteOffset.QuadPart);
    case IRP_MJ_WRITE:
        return Transfer(irp, volume, TRUE, stack->Parameters.Write.Length, stack->Parameters.Write.ByteOffset.QuadPart);
    case IRP_MJ_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_DISK_GET_DRIVE_GEOMETRY) {
            if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(DISK_GEOMETRY))
                return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            DISK_GEOMETRY *geometry = (DISK_GEOMETRY *)(irp->AssociatedIrp.SystemBuffer);
            geometry->Cylinders.QuadPart = ((LONGLONG)(volume->sectors));
            geometry->MediaType = FixedMedia;
            geometry->TracksPerCylinder = 1;
            geometry->SectorsPerTrack = 1;
            geometry->BytesPerSector = kSectorSize;
            return Complete(irp, STATUS_SUCCESS, sizeof(DISK_GEOMETRY));
        }
        return VolumeControl(irp, stack->Parameters.DeviceIoControl.IoControlCode);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        return VolumeControl(irp, stack->Parameters.FileSystemControl.FsControlCode);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP)
        return Complete(irp, STATUS_SUCCESS, 0);
    if (device == gControl) {
        if (major == IRP_MJ_DEVICE_CONTROL) return ControlRequest(irp, stack);
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    return VolumeRequest(irp, stack, (Volume *)(device->DeviceExtension));
}

static void Unload(PDRIVER_OBJECT driver) {
    (void)driver;
    for (ULONG drive = 0; drive < kDrives; ++drive) ReleaseVolume(drive);
    IoDeleteDevice(gControl);
    gControl = NULL;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    ULONG chars = registryPath->Length / sizeof(WCHAR);
    if (chars >= sizeof gServiceKeyBuffer / sizeof(WCHAR)) return STATUS_NAME_TOO_LONG;
    for (ULONG i = 0; i < chars; ++i) gServiceKeyBuffer[i] = registryPath->Buffer[i];
    gServiceKeyBuffer[chars] = 0;
    RtlInitUnicodeString(&gServiceKey, gServiceKeyBuffer);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\TrueCrypt");
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &gControl);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
    driver->DriverUnload = Unload;
    gControl->Flags |= DO_BUFFERED_IO;
    gControl->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
