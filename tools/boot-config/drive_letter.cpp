// What a drive letter names today (see drive_letter.h).
#include "tools/boot-config/drive_letter.h"

namespace pelmar_tools {
namespace {

// The DOS devices that are not the driver's: each with what it is to an
// administrator.
const struct {
    const char *prefix, *what;
} kOthers[] = {
    {"\\??\\", "a folder given a drive letter (subst)"},
    {"\\DosDevices\\", "a folder given a drive letter (subst)"},
    {"\\Device\\HarddiskVolume", "a volume of a disk"},
    {"\\Device\\Harddisk", "a disk"},
    {"\\Device\\CdRom", "a CD or DVD drive"},
    {"\\Device\\Floppy", "a floppy drive"},
    {"\\Device\\LanmanRedirector", "a network drive"},
    {"\\Device\\Mup", "a network drive"},
};

bool StartsWith(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

bool IsDriverVolume(const std::string &device) {
    for (const auto &o : kOthers) {
        if (StartsWith(device, o.prefix)) return false;
    }
    return !device.empty();
}

std::string LetterInUseProblem(char letter, const std::optional<std::string> &device) {
    if (!device || IsDriverVolume(*device)) return {};
    const char *what = "a device";
    for (const auto &o : kOthers) {
        if (StartsWith(*device, o.prefix)) {
            what = o.what;
            break;
        }
    }
    return "drive " + std::string(1, letter) + ": is in use: it names " + what + " (" + *device +
           "); the driver mounts no volume on a letter in use, so every boot would leave Pelmar without its drive. "
           "Choose a free letter";
}

}  // namespace pelmar_tools
