// Client of the TrueCrypt 4.3a kernel driver: version check, mount, dismount.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "nt/nt.h"

struct DRIVER_CLIENT {
    HANDLE Handle;
    uint8_t Request[1024];  // mount or dismount request, and the driver's answer
};
static_assert(offsetof(DRIVER_CLIENT, Request) == sizeof(HANDLE));
static_assert(sizeof(DRIVER_CLIENT) == sizeof(HANDLE) + 1024);

// The mount request, built in Request after all of its bytes were set to
// zero; the driver answers into the same bytes.
struct MOUNT_REQUEST {
    uint32_t Result;          // 0 in; the driver's result out, 0 meaning mounted
    WCHAR VolumePath[260];    // the container path as the caller gave it, NUL-terminated
    uint32_t PasswordLength;  // 0 to 64
    uint8_t Password[72];     // the password bytes, then zeros
    uint32_t DriveNumber;     // upper-cased letter minus 'A'
    uint32_t HostSectorSize;  // of the disk holding the container; 0 for a path beginning with a backslash
    uint32_t Option1;         // 1
    uint8_t Zero1[12];
    uint32_t Option2;  // 1
    uint8_t Zero2[8];
    uint32_t Option3;  // 1
    uint8_t Zero3[76];
};
static_assert(offsetof(MOUNT_REQUEST, VolumePath) == 4);
static_assert(offsetof(MOUNT_REQUEST, PasswordLength) == 524);
static_assert(offsetof(MOUNT_REQUEST, Password) == 528);
static_assert(offsetof(MOUNT_REQUEST, DriveNumber) == 600);
static_assert(offsetof(MOUNT_REQUEST, HostSectorSize) == 604);
static_assert(offsetof(MOUNT_REQUEST, Option1) == 608);
static_assert(offsetof(MOUNT_REQUEST, Option2) == 624);
static_assert(offsetof(MOUNT_REQUEST, Option3) == 636);
static_assert(sizeof(MOUNT_REQUEST) == 716);
static_assert(sizeof(MOUNT_REQUEST) <= sizeof(DRIVER_CLIENT::Request));

// The dismount request, built in the first 12 bytes of Request.
struct DISMOUNT_REQUEST {
    uint32_t DriveNumber;  // upper-cased letter minus 'A'
    uint32_t Option;       // 1
    uint32_t Result;       // 0 in; the driver's result out, 0 meaning dismounted
};
static_assert(offsetof(DISMOUNT_REQUEST, Result) == 8);
static_assert(sizeof(DISMOUNT_REQUEST) == 12);

// The only driver version the client accepts.
constexpr uint32_t TC_DRIVER_VERSION = 0x43A;
// Longest container path the mount request carries, NUL not counted.
constexpr uint32_t TC_MAX_VOLUME_PATH_CHARS = 259;
constexpr uint32_t TC_MAX_PASSWORD_LENGTH = 64;

// Opens "\Device\TrueCrypt" into Handle and checks the driver's version; on
// failure the device is closed again (or was never opened).
int32_t OpenDriver(DRIVER_CLIENT *client);
// Mounts the container on the drive letter with the password; 1 when the
// driver answered result code 0. The password stays in Request.
int32_t MountVolume(DRIVER_CLIENT *client, WCHAR letter, const WCHAR *path, const uint8_t *password,
                    uint32_t length);
// Dismounts the drive letter; 1 when the driver answered result code 0.
int32_t DismountVolume(DRIVER_CLIENT *client, WCHAR letter);
// Closes Handle.
void CloseDriver(DRIVER_CLIENT *client);
// Bytes per sector of the disk that holds a DOS-form container path ("c:\x");
// 1 and 0 for a path beginning with a backslash; 0 (with 0 in *result) when
// the path is neither or the disk cannot be asked.
int32_t GetHostSectorSize(const WCHAR *path, uint32_t *result);
