// The temporary folders an image must hold for the service's options (see
// image_temp_check.h).
#include "tools/pelmar-install/image_temp_check.h"

#include <algorithm>
#include <tuple>
#include <vector>

#include "tools/basics/ascii_case.h"
#include "tools/fs/boot_sector_identity.h"
#include "tools/fs/ntfs_descriptor.h"
#include "tools/fs/ntfs_folders.h"
#include "tools/pelmar-service/service_boot.h"

namespace pelmar_tools {
namespace {

const char kMakeParent[] = "pelmar-prepare --temp-dir /Temp";
const char kMakeSystem[] = "pelmar-prepare --temp-dir /Temp --user-temp S-1-5-18";

// Whether the stored descriptor is the one the service gives a folder: its
// owner, a list protected from inheritance, and exactly its entries.
bool AsTheServiceMakes(const std::vector<uint8_t> &stored, const std::string &owner,
                       std::vector<FolderEntry> entries) {
    Descriptor d;
    if (stored.empty() || !Decode(stored.data(), stored.size(), d)) return false;
    if (d.owner != owner || !(d.control & kDaclProtected)) return false;
    std::vector<FolderEntry> found;
    for (const Ace &a : d.dacl) found.push_back({a.flags, a.mask, a.sid});
    auto order = [](const FolderEntry &x, const FolderEntry &y) {
        return std::tie(x.sid, x.flags, x.mask) < std::tie(y.sid, y.flags, y.mask);
    };
    std::sort(found.begin(), found.end(), order);
    std::sort(entries.begin(), entries.end(), order);
    return found == entries;
}

}  // namespace

std::string TempFoldersProblem(const VolumeSource &volume, bool userTemp, bool systemTemp) {
    if (!userTemp && !systemTemp) return {};
    const std::string option = systemTemp ? "--system-temp" : "--user-temp";
    const std::string make = std::string(systemTemp ? kMakeSystem : kMakeParent) +
                             " (or, for a drive to be captured, pelmar-service.exe make-folders X: before "
                             "pelmar-mkimage X:)";
    std::vector<uint8_t> boot(512);
    std::string error;
    if (volume.Size() < boot.size() || !volume.ReadAt(0, boot.data(), boot.size(), error)) {
        return option + ": the image's volume cannot be read: " + error;
    }
    const FileSystemIdentity id = IdentifyBootSector(boot);
    if (id.kind != "NTFS") {
        return option + ": the image holds a " +
               (id.kind.empty() ? std::string("drive of no known file system") : id.kind + " drive") +
               ", which has no permissions, so it cannot keep one account's temporary files from the others";
    }
    std::vector<NtfsFolder> folders;
    if (!ReadNtfsFolders(volume, boot.data(), folders, error)) {
        return option + ": the image's folders cannot be read: " + error;
    }
    auto find = [&](const std::string &path) -> const NtfsFolder * {
        for (const NtfsFolder &f : folders)
            if (AsciiLower(f.path) == AsciiLower(path)) return &f;
        return nullptr;
    };
    const std::string system = std::string("\\Temp\\") + kSystemAccount;
    const struct {
        bool needed;
        std::string path, owner;
        std::vector<FolderEntry> entries;
    } wanted[] = {{true, "\\Temp", "S-1-5-32-544", ParentFolderEntries()},
                  {systemTemp, system, kSystemAccount, OwnFolderEntries(kSystemAccount)}};
    for (const auto &w : wanted) {
        if (!w.needed) continue;
        const NtfsFolder *f = find(w.path);
        if (!f || !AsTheServiceMakes(f->descriptor, w.owner, w.entries)) {
            return option + ": the image " + (f ? "has " + w.path + " with other permissions than the service "
                                                  "gives it"
                                                : "holds no " + w.path) +
                   ", so at boot the first account to make it there would own it; make the image with " + make;
        }
    }
    return {};
}

}  // namespace pelmar_tools
