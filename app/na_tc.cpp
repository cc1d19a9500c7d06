// Client of the TrueCrypt driver: open its control device and check its
// version, mount the container on a drive letter, dismount it, close the
// device. Every request is a buffered device control whose buffer is the
// driver's wire format; the requests are built in DRIVER_CLIENT::Request and
// the driver answers into the same bytes.
#include "app/na_tc.h"

#include "lib-na/na.h"

namespace {

const WCHAR kSourceFile[] = u"app\\na_tc.cpp";

// The assertion reports of this file carry fixed line numbers: they are the
// source lines the system's reports have always named, so the literal numbers
// are reported rather than __LINE__ (which moves whenever this file changes).
constexpr int32_t kLineNullHostPathResult = 82;
constexpr int32_t kLineNullVolumePath = 151;
constexpr int32_t kLineNullPassword = 159;

constexpr ULONG kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr uint32_t kDriveNameChars = 8;

void StoreU32(uint8_t *at, uint32_t value) { __builtin_memcpy(at, &value, 4); }

uint32_t LoadU32(const uint8_t *at) {
    uint32_t value;
    __builtin_memcpy(&value, at, 4);
    return value;
}

uint32_t DriveNumberOf(WCHAR letter) { return static_cast<uint32_t>(towupper(letter)) - u'A'; }

}  // namespace

int32_t OpenDriver(DRIVER_CLIENT *client) {
    if (!CreateFile(&client->Handle, TC_DEVICE_NAME, GENERIC_ALL, 0, 0, FILE_OPEN, 0)) return 0;
    // The version word lives in Request, which outlives every request to the
    // driver, rather than on this frame. The device is opened without a
    // synchronous-I/O option: the request may pend, and DeviceIoControl
    // then waits on the handle.
    uint8_t *word = client->Request;
    StoreU32(word, 0);
    if (!DeviceIoControl(client->Handle, TC_IOCTL_GET_DRIVER_VERSION, word, 4, word, 4, nullptr)) {
        NaReportError(u"Cannot query TrueCrypt driver version!");
        CloseDriver(client);
        return 0;
    }
    uint32_t version = LoadU32(word);
    if (version != TC_DRIVER_VERSION) {
        NaReportError(u"Unsupported TrueCrypt version (%x)!", version);
        CloseDriver(client);
        return 0;
    }
    return 1;
}

int32_t MountVolume(DRIVER_CLIENT *client, WCHAR letter, const WCHAR *path, const uint8_t *password,
                    uint32_t length) {
    if (!path) {
        // Nothing can be sent without a path: the assertion is the report.
        NaAssertFailed(kSourceFile, kLineNullVolumePath);
        return 0;
    }
    uint32_t chars = 0;
    while (chars <= TC_MAX_VOLUME_PATH_CHARS && path[chars]) ++chars;
    if (chars > TC_MAX_VOLUME_PATH_CHARS) {
        NaReportError(u"TrueCrypt volume name is too long!");
        return 0;
    }
    if (length != 0) {
        if (!password) NaAssertFailed(kSourceFile, kLineNullPassword);
        if (length > TC_MAX_PASSWORD_LENGTH) {
            NaReportError(u"TrueCrypt password is too long!");
            return 0;
        }
        // No password bytes to send: the assertion is the report.
        if (!password) return 0;
    }

    uint8_t *request = client->Request;
    __builtin_memset(request, 0, sizeof(MOUNT_REQUEST));
    __builtin_memcpy(request + offsetof(MOUNT_REQUEST, VolumePath), path, (chars + 1) * sizeof(WCHAR));
    if (length != 0) {
        StoreU32(request + offsetof(MOUNT_REQUEST, PasswordLength), length);
        __builtin_memcpy(request + offsetof(MOUNT_REQUEST, Password), password, length);
    }
    uint32_t sectorSize = 0;
    if (!GetHostSectorSize(path, &sectorSize)) {
        NaReportError(u"Cannot query sector size of container host!");
        return 0;
    }
    StoreU32(request + offsetof(MOUNT_REQUEST, HostSectorSize), sectorSize);
    StoreU32(request + offsetof(MOUNT_REQUEST, DriveNumber), DriveNumberOf(letter));
    StoreU32(request + offsetof(MOUNT_REQUEST, Option1), 1);
    StoreU32(request + offsetof(MOUNT_REQUEST, Option2), 1);
    StoreU32(request + offsetof(MOUNT_REQUEST, Option3), 1);

    if (!DeviceIoControl(client->Handle, TC_IOCTL_MOUNT, request, sizeof(MOUNT_REQUEST), request,
                         sizeof(MOUNT_REQUEST), nullptr)) {
        NaReportError(u"Cannot mount TrueCrypt volume!");
        return 0;
    }
    uint32_t result = LoadU32(request + offsetof(MOUNT_REQUEST, Result));
    if (result != 0) {
        NaReportError(u"Cannot mount TrueCrypt volume (Error code 0x%x)!", result);
        return 0;
    }
    return 1;
}

int32_t DismountVolume(DRIVER_CLIENT *client, WCHAR letter) {
    uint8_t *request = client->Request;
    __builtin_memset(request, 0, sizeof(DISMOUNT_REQUEST));
    StoreU32(request + offsetof(DISMOUNT_REQUEST, DriveNumber), DriveNumberOf(letter));
    StoreU32(request + offsetof(DISMOUNT_REQUEST, Option), 1);
    if (!DeviceIoControl(client->Handle, TC_IOCTL_DISMOUNT, request, sizeof(DISMOUNT_REQUEST), request,
                         sizeof(DISMOUNT_REQUEST), nullptr)) {
        NaReportError(u"Cannot dismount TrueCrypt volume!");
        return 0;
    }
    uint32_t result = LoadU32(request + offsetof(DISMOUNT_REQUEST, Result));
    if (result != 0) {
        NaReportError(u"Cannot dismount TrueCrypt volume (Error code 0x%x)!", result);
        return 0;
    }
    return 1;
}

void CloseDriver(DRIVER_CLIENT *client) {
    NtClose(client->Handle);
    // A closed handle is never used again, not even by a second close.
    client->Handle = nullptr;
}

int32_t GetHostSectorSize(const WCHAR *path, uint32_t *result) {
    if (!result) NaAssertFailed(kSourceFile, kLineNullHostPathResult);
    if (result) *result = 0;
    if (!path || path[0] == 0) return 0;
    if (path[1] == u':') {
        WCHAR drive[kDriveNameChars];
        if (!GetNtDriveName(drive, kDriveNameChars, path[0])) return 0;
        HANDLE handle = nullptr;
        if (!CreateFile(&handle, drive, GENERIC_READ, 0, kShareReadWrite, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT))
            return 0;
        DISK_GEOMETRY geometry;
        ULONG returned = 0;
        int32_t answer = 0;
        if (DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                            &returned) &&
            returned == sizeof geometry) {
            if (result) *result = geometry.BytesPerSector;
            answer = 1;
        }
        NtClose(handle);
        return answer;
    }
    // An NT or device path: the driver finds the disk itself.
    return path[0] == u'\\' ? 1 : 0;
}
