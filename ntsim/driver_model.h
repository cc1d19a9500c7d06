// The TrueCrypt driver model: the device "\Device\TrueCrypt" as the
// product's driver client speaks to it (version query, mount, dismount),
// the volumes it mounts on drive letters, and the export of their decrypted
// contents when the native process has ended (--export X:=FILE).
//
// The model's cryptography is ntsim/tcformat's (libgcrypt and the model's own
// LRW arithmetic); it shares nothing with the product's keying or block
// encryption.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ntsim {

// The version the model answers unless --driver-version says otherwise.
inline constexpr uint32_t kTrueCryptDriverVersion = 0x43A;

// Wire sizes of the requests the model accepts.
inline constexpr uint32_t kMountRequestSize = 716;
inline constexpr uint32_t kDismountRequestSize = 12;

// Result codes the model writes into a mount or dismount request (its own;
// the client shows them without interpreting them). 0 means done.
enum TrueCryptDriverResult : uint32_t {
    kTcResultSuccess = 0,
    kTcResultBadRequest = 1,         // malformed fields: no NUL in the path field, empty or unmappable path,
                                     // password length above 64, drive number above 25
    kTcResultContainerNotFound = 2,  // the container path names no file the model can open
    kTcResultWrongPassword = 3,      // no hash and algorithm opens the header with that password
    kTcResultDriveInUse = 4,         // the drive letter already names a drive
    kTcResultContainerTooSmall = 5,  // shorter than its header and one data sector
    kTcResultNotMounted = 6,         // dismount of a letter the model has not mounted
    kTcResultBadSectorSize = 7,      // bytes per sector at 604 other than 0, 512, 1024, 2048 or 4096
    kTcResultBadOption = 8,          // an option word at 608, 624 or 636 other than 0 or 1
    kTcResultReservedNotZero = 9,    // a non-zero byte at 612..623, 628..635 or 640..715
    kTcResultAlreadyMounted = 10,    // the container is mounted on another letter
    kTcResultNewerVersion = 11,      // the header needs a newer driver, or is of a newer format
    kTcResultContainerInUse = 12,    // the container's open met another without sharing
};

// Registers the model at "\Device\TrueCrypt" (a registration in a static
// library takes effect only through an explicit call; RunNativeProcess makes
// it) and, when --export rules are given, the process-end hook that writes
// them. The device itself is made per machine at its first open: none with
// --no-driver (the name is then not found). Calling it again on the same
// machine adds nothing.
void InstallTrueCryptDriver();

// What the model holds, for the tests and the export.
struct MountedTrueCryptVolume {
    char letter = 0;
    std::filesystem::path container;  // host path
    int32_t prf = 0;
    int32_t ea = 0;
    uint64_t sectors = 0;  // 512-byte sectors of the data area
};
std::vector<MountedTrueCryptVolume> MountedTrueCryptVolumes();

// The last mount and dismount request as the model received it (its input
// buffer, whatever its length); empty when none came since the reset.
std::vector<uint8_t> LastTrueCryptRequest(uint32_t controlCode);

// Writes the decrypted contents (every sector) of the volume the model has
// mounted on the letter to the host file; false with an explanation when
// there is no such volume or the file cannot be written.
bool ExportTrueCryptVolume(char letter, const std::filesystem::path &file, std::string *error = nullptr);

}  // namespace ntsim
