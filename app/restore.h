// Restoring the prepared file-system image onto the scratch volume: the
// image file's records, and the two operations that open the image and the
// volume and replay the image's entries sector by sector.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct APP_CONTEXT;

constexpr uint32_t IMAGE_MAGIC = 0x3519AFD0;
// The restore reads exactly this much of the image file's start, whatever
// the image's sector size.
constexpr uint32_t IMAGE_HEADER_SIZE = 512;

// The image file's first 512 bytes; all fields little-endian.
struct IMAGE_HEADER {
    uint32_t Magic;
    uint16_t SectorSize;  // 512, 1024, 2048, 4096 or 8192
    uint16_t Unused6;
    uint64_t EntryCount;  // must not be 0; otherwise not used
    uint64_t Unused16;
    uint64_t VolumeSectors;  // must equal the mounted volume's sector count
    uint64_t DataOffset;     // byte offset of the first data sector in the file
    uint8_t Unused40[472];
};
static_assert(sizeof(IMAGE_HEADER) == IMAGE_HEADER_SIZE);
static_assert(offsetof(IMAGE_HEADER, Magic) == 0);
static_assert(offsetof(IMAGE_HEADER, SectorSize) == 4);
static_assert(offsetof(IMAGE_HEADER, EntryCount) == 8);
static_assert(offsetof(IMAGE_HEADER, VolumeSectors) == 24);
static_assert(offsetof(IMAGE_HEADER, DataOffset) == 32);
static_assert(offsetof(IMAGE_HEADER, Unused40) == 40);

// One entry of the entry stream, which begins one sector into the file.
struct IMAGE_ENTRY {
    uint16_t Type;
    uint8_t Unused2[6];
    uint64_t Value;  // a byte offset on the volume or a count of sectors, by type
};
static_assert(sizeof(IMAGE_ENTRY) == 16);
static_assert(offsetof(IMAGE_ENTRY, Type) == 0);
static_assert(offsetof(IMAGE_ENTRY, Value) == 8);

// Entry types. A type whose high byte is IMAGE_ENTRY_FILL fills the sector
// with its low byte.
constexpr uint16_t IMAGE_ENTRY_END = 0x0000;
constexpr uint16_t IMAGE_ENTRY_DATA_AT = 0x0100;   // next data sector at the offset
constexpr uint16_t IMAGE_ENTRY_DATA_RUN = 0x0200;  // that many data sectors at the running position
constexpr uint16_t IMAGE_ENTRY_REPEAT_RUN =
    0x0300;                                    // the sector buffer that many times at the running position
constexpr uint16_t IMAGE_ENTRY_FILL = 0x0400;  // 0x04XX: a sector of bytes XX at the offset

// Opens the image (twice: entry stream and data stream) and the volume of
// the context's DriveLetter, locks the volume, replays the image, dismounts
// and unlocks the volume and closes the three handles. 1 when the whole
// image was written up to its end entry, 0 after a reported failure.
int32_t RestoreFileSystem(APP_CONTEXT *context);

// Checks the image header against the volume and replays the entries; the
// context's FileHandle, DataHandle and VolumeHandle are open.
int32_t RestoreImageEntries(APP_CONTEXT *context);
