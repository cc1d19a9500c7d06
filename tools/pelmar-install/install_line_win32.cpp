// Pelmar's boot line as pelmar-install makes and describes it (see
// install_line_win32.h).
#include "tools/pelmar-install/install_line_win32.h"

#include <windows.h>

#include <cstring>
#include <memory>

#include "tools/boot-config/boot_line.h"
#include "tools/boot-config/drive_letter.h"
#include "tools/boot-config/drive_letter_win32.h"
#include "tools/image/image_check.h"
#include "tools/pelmar-install/container_check.h"
#include "tools/pelmar-install/container_sample_win32.h"
#include "tools/pelmar-install/install_checks.h"
#include "tools/pelmar-install/install_file_reads_win32.h"
#include "tools/pelmar-install/install_files_win32.h"
#include "tools/pelmar-install/install_image_win32.h"
#include "tools/pelmar-install/install_output.h"
#include "tools/pelmar-install/install_rights_win32.h"
#include "tools/platform/volume_source.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

const wchar_t *Wide(const char16_t *text) { return reinterpret_cast<const wchar_t *>(text); }

// An argument as the boot-time run receives it: the Session Manager's
// UTF-16 line turned into the ANSI code page (characters it lacks become
// their nearest ones), split at every byte that is not 0x21 to 0x7F.
bool AnsiWord(const std::wstring &word, std::string &ansi) {
    int n = WideCharToMultiByte(CP_ACP, 0, word.c_str(), static_cast<int>(word.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    ansi.assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, word.c_str(), static_cast<int>(word.size()), ansi.data(), n, nullptr, nullptr);
    for (char c : ansi) {
        if (static_cast<signed char>(c) <= 0x20) return false;
    }
    return true;
}

std::wstring FromAnsi(const char *ansi) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    if (n <= 1) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), n);
    wide.pop_back();
    return wide;
}

const char *EaName(int32_t ea) {
    static const char *const names[] = {"?",           "AES",          "Blowfish",          "CAST5",
                                        "Serpent",     "Triple DES",   "Twofish",           "AES-Twofish",
                                        "AES-Twofish-Serpent", "Serpent-AES", "Serpent-Twofish-AES",
                                        "Twofish-Serpent"};
    return ea >= 1 && ea <= 11 ? names[ea] : names[0];
}

const char *HashName(int32_t prf) { return prf == 1 ? "RIPEMD-160" : prf == 3 ? "Whirlpool" : "SHA-1"; }

std::wstring WindowsFolder() {
    wchar_t folder[MAX_PATH];
    UINT n = GetWindowsDirectoryW(folder, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(folder, n) : std::wstring();
}

// Whether `path` lies in `folder` or below it, judged by identity: one of
// the folders on its way is that folder, whatever the names (an 8.3 name,
// another letter given to the folder). A second name elsewhere for a file
// inside is refused by the container's link count.
bool InFolder(const std::wstring &path, const std::wstring &folder) {
    const std::optional<FileIdentity> inside = IdentifyFile(folder);
    if (!inside) return false;
    for (size_t at = path.rfind(L'\\'); at != std::wstring::npos && at > 2; at = path.rfind(L'\\', at - 1)) {
        const std::optional<FileIdentity> way = IdentifyFile(path.substr(0, at));
        if (way && *way == *inside) return true;
    }
    return false;
}

}  // namespace

bool ReadLine(int count, wchar_t **words, BootLine &out, std::string &why) {
    std::vector<std::string> ansi;
    std::u16string line = u"pelmar";
    for (int i = 0; i < count; ++i) {
        std::string word;
        // Only printable ASCII: anything else is turned into the nearest
        // character of the code page, and the boot would open another name.
        bool ascii = true;
        for (const wchar_t *c = words[i]; *c; ++c) ascii = ascii && *c > 0x20 && *c < 0x7F;
        if (!ascii || !AnsiWord(words[i], word)) {
            why = "argument " + std::to_string(i + 1) + " (" + Narrow(words[i]) +
                  ") would not reach Pelmar as one word: Pelmar's command line takes printable ASCII "
                  "characters only, with no blanks";
            return false;
        }
        ansi.push_back(word);
        line += u' ';
        line.append(words[i], words[i] + std::wcslen(words[i]));
    }
    // As Pelmar's run frame reads them (a last dbg, then its command-line rules).
    const BootArguments arguments = ReadBootArguments(ansi);
    out.line = line;
    out.choice = arguments.choice;
    out.debugBreak = arguments.debugBreak;
    out.container = arguments.container ? FromAnsi(arguments.container->c_str()) : Wide(kDefaultContainerPath);
    out.image = arguments.image ? FromAnsi(arguments.image->c_str()) : Wide(kDefaultImagePath);
    out.words = arguments.words;
    return true;
}

void DescribeLine(const BootLine &line) {
    Say("  encryption " + std::string(EaName(line.choice.Ea)) + ", hash " + HashName(line.choice.Prf) + ", " +
        std::to_string(line.choice.Iterations) + " iterations, drive " +
        std::string(1, static_cast<char>(line.choice.DriveLetter)) + ":");
    Say("  container " + Narrow(line.container.c_str()) + ", image " + Narrow(line.image.c_str()));
    if (line.debugBreak) {
        Say("  dbg: at every start Pelmar breaks into the kernel debugger and waits for it; without one "
            "attached, the boot stops there and no drive appears");
    }
}

// Everything the boot-time run needs of the files the line names; empty,
// or what is missing or wrong. `installed`: the files install protected are
// also checked to be as it left them.
std::string FileProblem(const BootLine &line, bool installed) {
    std::string reason;
    const std::string containerName = Narrow(line.container.c_str()), imageName = Narrow(line.image.c_str());
    std::optional<std::wstring> container = PathAsWin32(line.container, reason);
    if (!container) return "the container " + containerName + " cannot be opened at boot as it is named: " + reason;
    std::optional<std::wstring> image = PathAsWin32(line.image, reason);
    if (!image) return "the image " + imageName + " cannot be opened at boot as it is named: " + reason;
    const char16_t drive = line.choice.DriveLetter;
    // The letter is free, or Pelmar's own drive of this boot (installing
    // again, changing options, an upgrade on a machine in use).
    std::string taken = LetterInUseProblem(static_cast<char>(drive), LetterDevice(static_cast<char>(drive)));
    if (!taken.empty()) return taken;
    for (const std::wstring *name : {&line.container, &line.image}) {
        if (PathDrive(std::u16string(name->begin(), name->end())) == drive) {
            return Narrow(name->c_str()) + " lies on drive " + std::string(1, static_cast<char>(drive)) +
                   ":, the drive Pelmar mounts: it is not there when the boot needs it";
        }
    }
    InstallFiles files;
    std::optional<uint64_t> size = FileSize(*container);
    if (!size) return "there is no container file " + containerName;
    files.containerSize = *size;
    std::string error;
    std::unique_ptr<VolumeSource> source = OpenImageAlone(*image, error);
    if (!source) return "the image " + imageName + ": " + error;
    ImageHeader header;
    if (!ImageIsConsistent(*source, error) || !ReadImageHeader(*source, header, error)) {
        return "the image " + imageName + " would not restore: " + error;
    }
    source.reset();
    files.imageSectorSize = header.sectorSize;
    files.imageVolumeSectors = header.volumeSectors;
    files.containerIsImage = SameFile(*container, *image);
    files.containerIsProgram = SameFile(*container, ProgramBeside()) || SameFile(*container, InstalledProgram());
    files.containerIsInstaller = SameFile(*container, ThisProgram());
    files.containerInWindows = InFolder(*container, WindowsFolder());
    const std::optional<FileIdentity> identity = IdentifyFile(*container);
    files.containerLinks = identity ? identity->links : 0;
    if (!ReadContainerSample(*container, files.containerSize, files.containerSample, error)) {
        return "cannot read the container " + containerName + ": " + error;
    }
    // An installed container's contents are the boot's doing.
    files.containerIsMine = line.containerIsMine || installed;
    std::string problem = ContainerProblem(files);
    if (!problem.empty()) return problem;
    if (line.containerIsMine && !installed) Say(ContainerIsMineLine(files.containerSize, files.containerSample));
    for (const std::wstring *name : {&*container, &*image}) {
        problem = WayProblem(*name);
        if (!problem.empty()) return problem;
        if (!installed) continue;
        ObjectRights rights;
        bool inherits = false;
        if (!ReadRights(*name, rights, inherits, error)) return error;
        problem = ProtectionProblem(rights, inherits);
        if (!problem.empty()) {
            return problem + ": it no longer has the protected permissions install gave it (SYSTEM and "
                             "Administrators only); run pelmar-install install again";
        }
    }
    return {};
}

}  // namespace pelmar_tools
