// The image held, checked and recorded (see install_image_win32.h).
#include "tools/pelmar-install/install_image_win32.h"

#include <windows.h>

#include <vector>

#include "tools/boot-config/registry_win32.h"
#include "tools/boot-config/service_contract.h"
#include "tools/image/image_check.h"
#include "tools/image/image_digest.h"
#include "tools/image/image_volume.h"
#include "tools/pelmar-install/container_check.h"
#include "tools/pelmar-install/image_temp_check.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

const RegistryPlace kRecordedDigest{HKEY_LOCAL_MACHINE, kParametersKey, Widen(kImageDigestValue)};

}  // namespace

std::unique_ptr<VolumeSource> OpenImageAlone(const std::wstring &path, std::string &why) {
    // The volume source shares with readers only (volume_source_win32.cpp).
    std::unique_ptr<VolumeSource> image = OpenVolumeFile(Narrow(path.c_str()), why);
    if (image) return image;
    // Opened again sharing with everyone: it then fails only for a file
    // that is not there or cannot be read at all.
    HANDLE other = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (other == INVALID_HANDLE_VALUE) return nullptr;
    CloseHandle(other);
    why = "another program holds it open for writing and could change it after the check: close that program "
          "and run pelmar-install install again";
    return nullptr;
}

bool CheckAndRecordImage(ChangeSet &changes, const VolumeSource &image, uint64_t containerSize, bool userTemp,
                         bool systemTemp, std::string &why) {
    ImageHeader header;
    std::string error;
    if (!ImageIsConsistent(image, error) || !ReadImageHeader(image, header, error)) {
        why = "the image " + image.Name() + " would not restore: " + error;
        return false;
    }
    if (header.sectorSize != 512) {
        why = "the image is made for sectors of " + std::to_string(header.sectorSize) +
              " bytes, but the driver presents sectors of 512 bytes";
        return false;
    }
    why = ContainerSizeProblem(containerSize, header.volumeSectors);
    if (!why.empty()) return false;
    if (userTemp || systemTemp) {
        std::unique_ptr<VolumeSource> volume = ReplayedVolume(image, error);
        if (!volume) {
            why = "the image " + image.Name() + "'s folders cannot be read: " + error;
            return false;
        }
        why = TempFoldersProblem(*volume, userTemp, systemTemp);
        if (!why.empty()) return false;
    }
    std::vector<uint8_t> digest;
    if (!ImageDigest(image, digest, why)) return false;
    RegistryValue before;
    if (!kRecordedDigest.Read(before, error)) {
        why = "cannot read the service's settings: " + error;
        return false;
    }
    return changes.Do(
        [&](std::string &e) {
            if (kRecordedDigest.Write(RegistryValue{true, kRegBinary, digest}, e)) return true;
            e = "cannot record the image's digest: " + e;
            return false;
        },
        [before](std::string &e) { return kRecordedDigest.Write(before, e); },
        "the image's recorded digest could not be put back: it names the image as this install checked it", why);
}

std::string ImageDigestProblem(const std::wstring &path) {
    std::string error;
    std::unique_ptr<VolumeSource> image = OpenVolumeFile(Narrow(path.c_str()), error);
    std::vector<uint8_t> digest;
    if (!image || !ImageDigest(*image, digest, error)) return "the image's digest cannot be compared: " + error;
    RegistryValue recorded;
    if (!kRecordedDigest.Read(recorded, error) || !recorded.present) {
        return "pelmar-install recorded no digest of the image, so the service does not use the drive: run "
               "pelmar-install install again";
    }
    if (recorded.data != digest) {
        return "the image " + Narrow(path.c_str()) + " changed since pelmar-install checked it (its SHA-256 "
               "differs from the one recorded), so the service does not use the drive: run pelmar-install "
               "install again if the new image is meant";
    }
    return {};
}

}  // namespace pelmar_tools
