// The one record of a run. main receives it zero-filled and aligned on an
// 8,192-byte boundary from NaInit, hands it (or fields of it) to every other
// part of the program, and sets every byte of it to zero before it ends.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "app/na_tc.h"
#include "keying/pool.h"
#include "keying/volume_header.h"
#include "nt/nt.h"

constexpr uint32_t APP_SECTOR_BUFFER_SIZE = 8192;
constexpr uint32_t APP_NT_PATH_CHARS = 264;
constexpr uint32_t APP_DRIVE_NT_NAME_CHARS = 20;
constexpr uint32_t APP_SCRATCH_SIZE = 65536;
constexpr size_t APP_CONTEXT_ALIGNMENT = 8192;
// The context size the run asks for; a build whose record came out larger
// asks for the record's real size instead (see AppContextRequestSize).
constexpr size_t APP_CONTEXT_SIZE = 97200;

struct APP_CONTEXT {
    uint8_t SectorBuffer[APP_SECTOR_BUFFER_SIZE];
    uint8_t EntryBuffer[APP_SECTOR_BUFFER_SIZE];
    WCHAR NtPath[APP_NT_PATH_CHARS];
    WCHAR DriveNtName[APP_DRIVE_NT_NAME_CHARS];
    WCHAR DriveLetter;
    const WCHAR *ImagePath;
    HANDLE FileHandle;
    HANDLE DataHandle;
    HANDLE VolumeHandle;
    uint8_t Scratch[APP_SCRATCH_SIZE];
    const WCHAR *ContainerPath;
    DRIVER_CLIENT Driver;
    VOLUME_HEADER Header;
    KEY_SCRATCH KeyScratch;
    VOLUME_PASSWORD Password;
    ENTROPY_POOL Pool;
};

// Never ask NaInit for less than the record really takes: a short block would
// let the run write past its end.
constexpr size_t AppContextRequestSize() {
    return sizeof(APP_CONTEXT) > APP_CONTEXT_SIZE ? sizeof(APP_CONTEXT) : APP_CONTEXT_SIZE;
}

static_assert(offsetof(APP_CONTEXT, SectorBuffer) == 0);
static_assert(offsetof(APP_CONTEXT, EntryBuffer) == 8192);
static_assert(offsetof(APP_CONTEXT, NtPath) == 16384);
static_assert(offsetof(APP_CONTEXT, DriveNtName) == 16384 + 528);
static_assert(offsetof(APP_CONTEXT, DriveLetter) == 16952);
static_assert(offsetof(APP_CONTEXT, ImagePath) == 16960);
static_assert(offsetof(APP_CONTEXT, FileHandle) == 16968);
static_assert(offsetof(APP_CONTEXT, DataHandle) == 16976);
static_assert(offsetof(APP_CONTEXT, VolumeHandle) == 16984);
static_assert(offsetof(APP_CONTEXT, Scratch) == 16992);
static_assert(offsetof(APP_CONTEXT, ContainerPath) == 16992 + 65536);
static_assert(offsetof(APP_CONTEXT, Driver) == 82536);
static_assert(offsetof(APP_CONTEXT, Header) == 82536 + 1032);
static_assert(offsetof(APP_CONTEXT, KeyScratch) == 84080);
static_assert(offsetof(APP_CONTEXT, Password) == 84080 + sizeof(KEY_SCRATCH));
static_assert(offsetof(APP_CONTEXT, Pool) == offsetof(APP_CONTEXT, Password) + 72);
// With LibTomCrypt 1.18.2's 4,256-byte key-schedule union on x86-64 the
// record is exactly the size the run asks for.
static_assert(sizeof(symmetric_key) != 4256 || sizeof(void *) != 8 || sizeof(APP_CONTEXT) == APP_CONTEXT_SIZE);
static_assert(AppContextRequestSize() >= sizeof(APP_CONTEXT));
