// The TrueCrypt driver model at "\Device\TrueCrypt".
//
// Requests (buffered device controls, traced with their buffers in hex; on a
// handle opened without a synchronous-I/O option they can pend, and the
// model then does its work when the request completes):
// - version query: answers one 32-bit word, 0x43A or --driver-version.
// - mount: exactly 716 bytes in and out. The container path (UTF-16 at 4,
//   NUL within the 520-byte field) is "X:\..." (DOS form, through the drive
//   map) or "\??\X:\..." (also "\DosDevices\", "\GLOBAL??\"); password
//   length at 524 and bytes at 528; drive number at 600; the host's bytes per
//   sector at 604 and the option words at 608, 624 and 636 are checked
//   against what the format allows (and not used further), the reserved
//   areas must be zero. The header is opened with every
//   hash at its default count and every algorithm (ntsim/tcformat); the
//   volume is attached at the drive letter over the container's data area.
//   The result code goes to offset 0 (kTcResult*), the rest of the buffer
//   comes back as it was sent.
// - dismount: exactly 12 bytes in and out; drive number at 0, result at 8.
//
// The password of every well-formed mount request, and the header key and
// master key material of every header that opened, are noted on the machine
// for the secret scan (ntsim/secret_scan.h, --secret-scan).
//
// The container is opened through the machine's object manager, as a second
// opener with its own access and share access (read and write) that holds it
// for as long as it is mounted, so the process's own opens meet it; the
// driver's own file access is no call of the process and does not shift the
// numbering that --fail and --pend rules count. Its sectors are then moved
// through the host.
#include "ntsim/driver_model.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include "ntsim/files.h"
#include "ntsim/ntsim.h"
#include "ntsim/secret_scan.h"
#include "ntsim/tcformat/tcformat.h"

namespace ntsim {
namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kPathFieldOffset = 4;
constexpr uint32_t kPathFieldChars = 260;
constexpr uint32_t kPasswordLengthOffset = 524;
constexpr uint32_t kPasswordOffset = 528;
constexpr uint32_t kMaxPasswordLength = 64;
constexpr uint32_t kDriveNumberOffset = 600;
constexpr uint32_t kHostSectorSizeOffset = 604;
constexpr uint32_t kOptionOffsets[] = {608, 624, 636};
constexpr std::pair<uint32_t, uint32_t> kReservedAreas[] = {{612, 624}, {628, 636}, {640, 716}};
constexpr uint32_t kDismountResultOffset = 8;
constexpr uint32_t kDriveCount = 26;
// Header fields the driver checks once the header has opened, big-endian.
constexpr uint32_t kHeaderVersionOffset = 68;
constexpr uint32_t kHeaderMinimumVersionOffset = 70;
constexpr uint32_t kHeaderFormatVersion = 2;  // LRW headers; the model opens no other

uint32_t LoadU32(const uint8_t *at) {
    uint32_t value;
    std::memcpy(&value, at, 4);
    return value;
}

void StoreU32(uint8_t *at, uint32_t value) { std::memcpy(at, &value, 4); }

char16_t FoldAscii(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

bool StartsWithFolded(std::u16string_view text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) return false;
    return true;
}

bool IsDriveLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// The sectors of a mounted volume: the container after its header, each
// sector LRW-encrypted under the master keys, first block of sector n at
// index n * (512 / block size) + 1. The size is fixed at the mount. After
// the dismount every transfer fails and the container is let go.
class EncryptedContainerStore : public SectorStore {
public:
    EncryptedContainerStore(std::shared_ptr<ImageFileStore> container, tc::EaCipher cipher, uint64_t sectors)
        : container_(std::move(container)), cipher_(std::move(cipher)), sectors_(sectors) {}

    uint32_t SectorSize() const override { return kSectorSize; }
    uint64_t SectorCount() const override { return sectors_; }

    NTSTATUS ReadSectors(uint64_t first, uint64_t count, uint8_t *out) override {
        if (!container_) return STATUS_VOLUME_DISMOUNTED;
        if (first > sectors_ || count > sectors_ - first) return STATUS_NONEXISTENT_SECTOR;
        if (NTSTATUS status = container_->ReadSectors(first, count, out)) return status;
        if (!cipher_.DecryptSectors(first, std::span<uint8_t>(out, count * kSectorSize))) return STATUS_IO_DEVICE_ERROR;
        return STATUS_SUCCESS;
    }

    NTSTATUS WriteSectors(uint64_t first, uint64_t count, const uint8_t *in) override {
        if (!container_) return STATUS_VOLUME_DISMOUNTED;
        if (first > sectors_ || count > sectors_ - first) return STATUS_NONEXISTENT_SECTOR;
        std::vector<uint8_t> sealed(in, in + count * kSectorSize);
        if (!cipher_.EncryptSectors(first, sealed)) return STATUS_IO_DEVICE_ERROR;
        return container_->WriteSectors(first, count, sealed.data());
    }

    void Detach() { container_.reset(); }

private:
    std::shared_ptr<ImageFileStore> container_;
    tc::EaCipher cipher_;
    uint64_t sectors_;
};

struct Mount {
    MountedTrueCryptVolume info;
    std::shared_ptr<FileObject> container;  // the model's own open, held while mounted
    std::shared_ptr<EncryptedContainerStore> store;
    std::shared_ptr<Volume> volume;
};

struct DriverState {
    std::map<char, Mount> mounts;
    std::map<uint32_t, std::vector<uint8_t>> lastRequests;
    uint32_t mountRequests = 0;  // well-formed ones, numbered for the secret scan's report
    bool endHookAdded = false;
};

DriverState &State() { return Machine::Get().Extension<DriverState>("ntsim.driver_model"); }

// The host file a container path names, or the result code that refuses it.
struct ResolvedContainer {
    uint32_t result = kTcResultSuccess;
    char letter = 0;  // the drive that holds it
    std::filesystem::path host;
};

// A component as the native file systems accept it; the model never leaves
// the drive's folder.
bool ValidComponent(std::u16string_view component) {
    if (component.empty() || component == u"." || component == u"..") return false;
    for (char16_t c : component) {
        if (c < 0x20) return false;
        if (std::u16string_view(u"\"*/:<>?\\|").find(c) != std::u16string_view::npos) return false;
    }
    return true;
}

// The exact name, else the first name in byte order that matches it without
// regard to (ASCII) case, as the machine's file systems look names up.
std::optional<std::string> FindEntry(const std::filesystem::path &folder, std::u16string_view component) {
    std::string exact = Utf16ToUtf8(component);
    std::error_code error;
    if (std::filesystem::exists(folder / exact, error)) return exact;
    std::optional<std::string> best;
    for (auto it = std::filesystem::directory_iterator(folder, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::u16string name = Utf8ToUtf16(it->path().filename().string());
        if (name.size() != component.size()) continue;
        bool same = true;
        for (size_t i = 0; same && i < name.size(); ++i) same = FoldAscii(name[i]) == FoldAscii(component[i]);
        std::string host = it->path().filename().string();
        if (same && (!best || host < *best)) best = host;
    }
    return best;
}

ResolvedContainer ResolveContainer(std::u16string_view path) {
    ResolvedContainer resolved;
    std::u16string_view rest;
    char letter = 0;
    if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == u':' && path[2] == u'\\') {
        letter = static_cast<char>(FoldAscii(path[0]));
        rest = path.substr(3);
    } else if (!path.empty() && path[0] == u'\\') {
        for (std::u16string_view prefix : {u"\\??\\", u"\\DosDevices\\", u"\\GLOBAL??\\"}) {
            if (!StartsWithFolded(path, prefix)) continue;
            std::u16string_view drive = path.substr(std::u16string_view(prefix).size());
            if (drive.size() >= 3 && IsDriveLetter(drive[0]) && drive[1] == u':' && drive[2] == u'\\') {
                letter = static_cast<char>(FoldAscii(drive[0]));
                rest = drive.substr(3);
            }
            break;
        }
        // Any other NT name is no file the model can reach.
        if (!letter) {
            resolved.result = kTcResultContainerNotFound;
            return resolved;
        }
    } else {
        // A relative name means nothing to a driver.
        resolved.result = kTcResultBadRequest;
        return resolved;
    }

    auto folder = Machine::Get().DriveFolder(letter);
    if (!folder) {
        resolved.result = kTcResultContainerNotFound;
        return resolved;
    }
    std::filesystem::path current = *folder;
    size_t start = 0;
    for (;;) {
        size_t end = rest.find(u'\\', start);
        std::u16string_view component = rest.substr(start, end == rest.npos ? rest.npos : end - start);
        std::optional<std::string> entry;
        if (ValidComponent(component)) entry = FindEntry(current, component);
        if (!entry) {
            resolved.result = kTcResultContainerNotFound;
            return resolved;
        }
        current /= *entry;
        if (end == rest.npos) break;
        start = end + 1;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(current, error)) {
        resolved.result = kTcResultContainerNotFound;
        return resolved;
    }
    resolved.letter = letter;
    resolved.host = current;
    return resolved;
}

// The fields besides path, password and drive, as the wire format allows them.
uint32_t CheckRequestFields(const uint8_t *request) {
    const uint32_t sectorSize = LoadU32(request + kHostSectorSizeOffset);
    if (sectorSize != 0 && sectorSize != 512 && sectorSize != 1024 && sectorSize != 2048 &&
        sectorSize != 4096)
        return kTcResultBadSectorSize;
    for (uint32_t offset : kOptionOffsets)
        if (LoadU32(request + offset) > 1) return kTcResultBadOption;
    for (auto [from, to] : kReservedAreas)
        if (std::any_of(request + from, request + to, [](uint8_t b) { return b != 0; }))
            return kTcResultReservedNotZero;
    return kTcResultSuccess;
}

uint16_t LoadBigEndian16(const uint8_t *at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

uint32_t MountContainer(const uint8_t *request, uint32_t driverVersion) {
    // The path field must hold its NUL.
    const uint8_t *field = request + kPathFieldOffset;
    std::u16string path;
    bool terminated = false;
    for (uint32_t i = 0; i < kPathFieldChars; ++i) {
        char16_t c;
        std::memcpy(&c, field + 2 * i, 2);
        if (c == 0) {
            terminated = true;
            break;
        }
        path.push_back(c);
    }
    const uint32_t passwordLength = LoadU32(request + kPasswordLengthOffset);
    const uint32_t driveNumber = LoadU32(request + kDriveNumberOffset);
    if (!terminated || path.empty() || passwordLength > kMaxPasswordLength || driveNumber >= kDriveCount)
        return kTcResultBadRequest;
    if (uint32_t result = CheckRequestFields(request)) return result;
    // The password as the driver received it is a secret of the run, for
    // the secret scan, whatever becomes of the mount.
    const uint32_t mountNumber = ++State().mountRequests;
    NoteRunSecret("password of mount request " + std::to_string(mountNumber),
                  std::span<const uint8_t>(request + kPasswordOffset, passwordLength));
    NoteRunMemory("mount request " + std::to_string(mountNumber));
    const char letter = static_cast<char>('A' + driveNumber);
    if (State().mounts.count(letter) || VolumeOf(letter)) return kTcResultDriveInUse;

    ResolvedContainer container = ResolveContainer(path);
    if (container.result) return container.result;
    std::error_code error;
    for (const auto &[other, mount] : State().mounts)
        if (std::filesystem::equivalent(mount.info.container, container.host, error))
            return kTcResultAlreadyMounted;
    // The resolved name in the object manager's form: the drive folder's
    // host path below the letter.
    std::u16string ntName = u"\\??\\";
    ntName += static_cast<char16_t>(container.letter);
    ntName += u':';
    for (const auto &part :
         std::filesystem::relative(container.host, *Machine::Get().DriveFolder(container.letter)))
        ntName += u"\\" + Utf8ToUtf16(part.string());
    std::shared_ptr<FileObject> containerOpen;
    NTSTATUS openStatus = OpenFileForSystem(ntName, GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, containerOpen);
    if (openStatus == STATUS_SHARING_VIOLATION) return kTcResultContainerInUse;
    if (openStatus) return kTcResultContainerNotFound;
    struct Release {
        std::shared_ptr<FileObject> &file;
        ~Release() { ReleaseSystemOpen(file); }
    } releaseUnlessMounted{containerOpen};
    const uint64_t size = std::filesystem::file_size(container.host, error);
    if (error) return kTcResultContainerNotFound;
    if (size < tc::kHeaderSize + kSectorSize) return kTcResultContainerTooSmall;

    std::array<uint8_t, tc::kHeaderSize> header{};
    {
        std::ifstream in(container.host, std::ios::binary);
        if (!in.read(reinterpret_cast<char *>(header.data()), header.size())) return kTcResultContainerNotFound;
    }
    auto opened = tc::OpenVolumeHeader(header, std::span<const uint8_t>(request + kPasswordOffset, passwordLength));
    if (!opened) return kTcResultWrongPassword;
    NoteRunSecret("header key of mount request " + std::to_string(mountNumber), opened->headerKey);
    NoteRunSecret("master key material of mount request " + std::to_string(mountNumber), opened->masterKey);
    // And what deriving that key leaves where it is not wiped, for a scan.
    if (Machine::Get().options().secretScan) {
        const std::string of = " of mount request " + std::to_string(mountNumber);
        const auto derivation = tc::HeaderKeyDerivationSecrets(
            opened->prf, std::span<const uint8_t>(request + kPasswordOffset, passwordLength),
            std::span<const uint8_t>(opened->header.data(), tc::kSaltSize));
        if (!derivation) Machine::Get().Trace("secret scan: cannot compute the header key derivation's secrets" + of);
        for (const tc::DerivationSecret &secret : derivation.value_or(std::vector<tc::DerivationSecret>{}))
            NoteRunSecret(secret.name + of, secret.bytes);
    }
    // A header of a newer format, or one that asks for a newer driver than
    // this one, is not mounted.
    const bool newer = LoadBigEndian16(opened->header.data() + kHeaderVersionOffset) > kHeaderFormatVersion ||
                       LoadBigEndian16(opened->header.data() + kHeaderMinimumVersionOffset) > driverVersion;
    auto cipher = tc::DataAreaCipher(*opened);
    std::fill(opened->masterKey.begin(), opened->masterKey.end(), 0);
    std::fill(opened->headerKey.begin(), opened->headerKey.end(), 0);
    std::fill(opened->header.begin(), opened->header.end(), 0);
    if (newer) return kTcResultNewerVersion;
    if (!cipher) return kTcResultWrongPassword;
    auto file = ImageFileStore::Open(container.host, tc::kHeaderSize, kSectorSize);
    if (!file) return kTcResultContainerNotFound;

    Mount mount;
    mount.info.letter = letter;
    mount.info.container = container.host;
    mount.info.prf = opened->prf;
    mount.info.ea = opened->ea;
    mount.info.sectors = (size - tc::kHeaderSize) / kSectorSize;
    mount.store = std::make_shared<EncryptedContainerStore>(std::move(file), std::move(*cipher), mount.info.sectors);
    mount.volume = std::make_shared<Volume>(letter, mount.store);
    mount.container = std::move(containerOpen);
    AttachVolume(letter, mount.volume);
    State().mounts[letter] = std::move(mount);
    return kTcResultSuccess;
}

uint32_t DismountDrive(uint32_t driveNumber) {
    if (driveNumber >= kDriveCount) return kTcResultBadRequest;
    const char letter = static_cast<char>('A' + driveNumber);
    auto &mounts = State().mounts;
    auto it = mounts.find(letter);
    if (it == mounts.end()) return kTcResultNotMounted;
    // Handles still open on the volume fail from now on.
    it->second.store->Detach();
    ReleaseSystemOpen(it->second.container);
    DetachVolume(letter);
    mounts.erase(it);
    return kTcResultSuccess;
}

class TrueCryptDriver : public Device {
public:
    explicit TrueCryptDriver(uint32_t version) : version_(version) {}
    std::string Describe() const override { return "TrueCrypt driver"; }
    bool TraceRequestBuffers() const override { return true; }

    NTSTATUS DeviceControl(FileObject &, ULONG code, uint8_t *buffer, ULONG inputLength, ULONG outputLength,
                           ULONG_PTR &information) override {
        switch (code) {
        case TC_IOCTL_GET_DRIVER_VERSION:
            if (inputLength < 4) return STATUS_INVALID_PARAMETER;
            if (outputLength < 4) return STATUS_BUFFER_TOO_SMALL;
            StoreU32(buffer, version_);
            information = 4;
            return STATUS_SUCCESS;
        case TC_IOCTL_MOUNT:
            State().lastRequests[code].assign(buffer, buffer + inputLength);
            if (inputLength != kMountRequestSize || outputLength != kMountRequestSize)
                return STATUS_INVALID_PARAMETER;
            {
                // The driver works on the machine's stack, as a driver works
                // on the kernel's: the native stack is the process's, and the
                // secret scan searches it for what the process left there.
                uint32_t result = 0;
                Machine::Get().OffNativeStack([&] { result = MountContainer(buffer, version_); });
                StoreU32(buffer, result);
            }
            information = kMountRequestSize;
            return STATUS_SUCCESS;
        case TC_IOCTL_DISMOUNT:
            State().lastRequests[code].assign(buffer, buffer + inputLength);
            if (inputLength != kDismountRequestSize || outputLength != kDismountRequestSize)
                return STATUS_INVALID_PARAMETER;
            StoreU32(buffer + kDismountResultOffset, DismountDrive(LoadU32(buffer)));
            information = kDismountRequestSize;
            return STATUS_SUCCESS;
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

private:
    uint32_t version_;
};

void ExportAtProcessEnd() {
    for (const auto &[letter, file] : Machine::Get().options().exports) {
        std::string error;
        if (!ExportTrueCryptVolume(letter, file, &error))
            fprintf(stderr, "ntsim: --export %c:=%s: %s\n", letter, file.c_str(), error.c_str());
    }
}

}  // namespace

void InstallTrueCryptDriver() {
    RegisterDevice(TC_DEVICE_NAME, []() -> std::shared_ptr<Device> {
        const Options &options = Machine::Get().options();
        if (options.noDriver) return nullptr;
        return std::make_shared<TrueCryptDriver>(options.driverVersion.value_or(kTrueCryptDriverVersion));
    });
    DriverState &state = State();
    if (!state.endHookAdded && !Machine::Get().options().exports.empty()) {
        state.endHookAdded = true;
        Machine::Get().AtProcessEnd(ExportAtProcessEnd);
    }
}

std::vector<MountedTrueCryptVolume> MountedTrueCryptVolumes() {
    std::vector<MountedTrueCryptVolume> out;
    for (const auto &[letter, mount] : State().mounts) out.push_back(mount.info);
    return out;
}

std::vector<uint8_t> LastTrueCryptRequest(uint32_t controlCode) {
    auto &requests = State().lastRequests;
    auto it = requests.find(controlCode);
    return it == requests.end() ? std::vector<uint8_t>{} : it->second;
}

bool ExportTrueCryptVolume(char letter, const std::filesystem::path &file, std::string *error) {
    letter = static_cast<char>(FoldAscii(static_cast<char16_t>(letter)));
    auto &mounts = State().mounts;
    auto it = mounts.find(letter);
    if (it == mounts.end()) {
        if (error) *error = std::string("no volume is mounted on ") + letter + ":";
        return false;
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) {
        if (error) *error = "cannot write " + file.string();
        return false;
    }
    constexpr uint64_t kChunkSectors = 128;
    std::vector<uint8_t> chunk(kChunkSectors * kSectorSize);
    EncryptedContainerStore &store = *it->second.store;
    for (uint64_t sector = 0; sector < store.SectorCount(); sector += kChunkSectors) {
        uint64_t count = std::min(kChunkSectors, store.SectorCount() - sector);
        if (NTSTATUS status = store.ReadSectors(sector, count, chunk.data())) {
            if (error) *error = "reading sector " + std::to_string(sector) + " failed (" + Hex32(status) + ")";
            return false;
        }
        out.write(reinterpret_cast<const char *>(chunk.data()), static_cast<std::streamsize>(count * kSectorSize));
    }
    out.close();
    if (!out) {
        if (error) *error = "cannot write " + file.string();
        return false;
    }
    return true;
}

}  // namespace ntsim
