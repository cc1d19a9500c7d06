// pelmar-install's refusals that need no system (see install_checks.h).
#include "tools/pelmar-install/install_checks.h"

#include <algorithm>
#include <cstring>

#include "tools/image/image_format.h"
#include "tools/pelmar-install/container_check.h"
#include "tools/pelmar-install/paging_files.h"

namespace pelmar_tools {
namespace {

const char *const kEaCodes[] = {"A", "AT", "ATS", "B", "C", "D", "S", "SA", "STA", "T", "TS"};

bool AllDigits(const std::string &text) {
    if (text.empty() || text.size() > 12) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string Quoted(const std::string &word) { return "\"" + word + "\""; }

// The iteration argument as the boot-time rules read it; empty when the
// count it asks for is the one Pelmar uses.
std::string CountProblem(const std::string &word, int64_t start) {
    const bool negative = !word.empty() && word[0] == '-';
    const std::string digits = negative ? word.substr(1) : word;
    const std::string ask = "write 1 for the default count, 2 to 2000000 to multiply it, or minus a count above " +
                            std::to_string(start) + " for that count";
    if (!AllDigits(digits)) return "the iteration count " + Quoted(word) + " is not a number; " + ask;
    const int64_t value = (negative ? -1 : 1) * static_cast<int64_t>(std::stoll(digits));
    if (value >= 1 && value <= 2000000) return {};
    if (value < -start && value >= INT32_MIN) return {};
    if (value < INT32_MIN) {
        return "the iteration count " + Quoted(word) + " does not fit Pelmar's number (at least -2147483648): " +
               "it would be read as another count; " + ask;
    }
    return "the iteration count " + Quoted(word) + " is outside what Pelmar takes, which would quietly use " +
           "the default count; " + ask;
}

}  // namespace

std::string ArgumentProblem(const std::vector<std::string> &words) {
    if (words.size() > 6) {
        return "Pelmar takes at most six arguments (and a last dbg); it would ignore " +
               std::to_string(words.size() - 6) + " here";
    }
    if (!words.empty()) {
        bool known = false;
        for (const char *code : kEaCodes) known = known || words[0] == code;
        if (!known) {
            return "the encryption algorithm " + Quoted(words[0]) +
                   " is none of Pelmar's codes (A, AT, ATS, B, C, D, S, SA, STA, T, TS, in capitals); "
                   "Pelmar would quietly use another";
        }
    }
    if (words.size() > 1 && words[1] != "r" && words[1] != "w" && words[1] != "s") {
        return "the hash " + Quoted(words[1]) +
               " is none of r (RIPEMD-160), w (Whirlpool) or s (SHA-1); Pelmar would read it as " +
               (words[1][0] == 'r' ? "RIPEMD-160" : words[1][0] == 'w' ? "Whirlpool" : "SHA-1");
    }
    if (words.size() > 2) {
        std::string problem = CountProblem(words[2], words[1] == "w" ? 1000 : 2000);
        if (!problem.empty()) return problem;
    }
    if (words.size() > 3) {
        const std::string &d = words[3];
        const bool letter = !d.empty() && ((d[0] >= 'A' && d[0] <= 'Z') || (d[0] >= 'a' && d[0] <= 'z'));
        if (!letter || d.size() > 2 || (d.size() == 2 && d[1] != ':')) {
            return "the drive " + Quoted(d) + " is not a drive letter (such as T or T:); Pelmar would use " +
                   (letter ? std::string(1, d[0]) + ":" : std::string("T:"));
        }
    }
    return {};
}

UsageReading ReadUsage(const std::vector<std::string> &words) {
    auto isHelp = [](const std::string &w) { return w == "--help" || w == "-h" || w == "/?"; };
    UsageReading reading;
    if (words.empty()) {
        reading.problem = "no command given";
    } else if (words[0] == "install") {
        static const char *const flags[] = {"--allow-debugger", "--slow-boot-ok", "--container-is-mine", "--user-temp",
                                            "--system-temp", "--pagefile", "--keep-hibernation", "--dumps",
                                            "--keep-paging-plain"};
        std::vector<std::string> seen;
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string &w = words[i];
            if (isHelp(w)) return {true, {}};
            if (w.rfind("--", 0) != 0) continue;
            bool known = false;
            for (const char *f : flags) known = known || w == f;
            if (!known) {
                reading.problem = "unknown option " + w + " of install";
            } else if (std::find(seen.begin(), seen.end(), w) != seen.end()) {
                reading.problem = "the option " + w + " is given twice";
            } else if (w == "--pagefile") {
                uint64_t least = 0, most = 0;
                if (i + 1 >= words.size() || !ParsePagingSizes(words[i + 1], least, most)) {
                    reading.problem = "--pagefile takes MIN-MAX, the paging file's least and largest size in MiB "
                                      "(as 256-1024), not " +
                                      (i + 1 < words.size() ? Quoted(words[i + 1]) : std::string("nothing"));
                }
                ++i;
            } else if (w == "--dumps") {
                const std::string kind = i + 1 < words.size() ? words[i + 1] : "";
                if (kind != "small" && kind != "none" && kind != "keep") {
                    reading.problem = "--dumps takes small, none or keep, not " +
                                      (i + 1 < words.size() ? Quoted(kind) : std::string("nothing"));
                }
                ++i;
            }
            if (!reading.problem.empty()) return reading;
            seen.push_back(w);
        }
    } else if (words[0] == "uninstall" || words[0] == "status" || words[0] == "--version" || isHelp(words[0])) {
        if (words.size() > 1) reading.problem = words[0] + " takes nothing more, but " + Quoted(words[1]) + " follows";
        reading.help = reading.problem.empty() && isHelp(words[0]);
    } else {
        reading.problem = "unknown command or option " + Quoted(words[0]);
    }
    return reading;
}

std::string ContainerProblem(const InstallFiles &files) {
    if (files.containerIsImage) {
        return "the container is the image itself: the boot would overwrite the image's first 512 bytes";
    }
    if (files.containerIsProgram) return "the container is pelmar.exe: the boot would overwrite its first 512 bytes";
    if (files.containerIsInstaller) return "the container is pelmar-install.exe itself";
    if (files.containerInWindows) {
        return "the container lies in the Windows folder, whose files belong to the system";
    }
    if (files.containerLinks != 1) {
        return files.containerLinks == 0
                   ? std::string("the container's names (hard links) cannot be counted")
                   : "the container has " + std::to_string(files.containerLinks) +
                         " names (hard links): another name may be a file of the system's or the image itself, "
                         "and the boot would overwrite it; give a container with one name";
    }
    const std::vector<uint8_t> &start = files.containerSample;
    if (start.size() >= 4 && (start[0] | start[1] << 8 | start[2] << 16 | static_cast<uint32_t>(start[3]) << 24) ==
                                 kImageMagic) {
        return "the container starts as a Pelmar image does: the boot would destroy that image "
               "(are the arguments shifted by one place?)";
    }
    if (start.size() >= 0x40 && start[0] == 'M' && start[1] == 'Z') {
        const uint32_t pe = start[0x3C] | start[0x3D] << 8 | start[0x3E] << 16 | static_cast<uint32_t>(start[0x3F]) << 24;
        if (pe <= start.size() - 4 && std::memcmp(start.data() + pe, "PE\0\0", 4) == 0) {
            return "the container is a program or library (it starts with an executable's header): the boot "
                   "would overwrite its first 512 bytes";
        }
    }
    if (!files.containerIsMine) {
        const std::string problem = ContainerContentProblem(files.containerSize, start);
        if (!problem.empty()) return problem;
    }
    if (files.imageSectorSize != 512) {
        return "the image is made for sectors of " + std::to_string(files.imageSectorSize) +
               " bytes, but the driver presents sectors of 512 bytes: the restore would refuse it at every boot";
    }
    return ContainerSizeProblem(files.containerSize, files.imageVolumeSectors);
}

bool AuthenticodeRanges(const std::vector<uint8_t> &file, std::vector<FileRange> &ranges, size_t &padding,
                        std::string &why) {
    auto u16 = [&](uint64_t at) { return static_cast<uint32_t>(file[at] | file[at + 1] << 8); };
    auto u32 = [&](uint64_t at) { return u16(at) | u16(at + 2) << 16; };
    why = "it is not a Windows program (no PE header)";
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return false;
    const uint64_t pe = u32(0x3C), optional = pe + 24;
    if (pe + 24 > file.size() || std::memcmp(file.data() + pe, "PE\0\0", 4) != 0) return false;
    const uint64_t optionalSize = u16(pe + 20);
    if (optional + optionalSize > file.size() || optionalSize < 2) return false;
    const uint32_t magic = u16(optional);
    const uint64_t directories = optional + (magic == 0x20b ? 112 : magic == 0x10b ? 96 : 0);
    const uint64_t checksum = optional + 64, certificateEntry = directories + 4 * 8;
    if (directories == optional || certificateEntry + 8 > optional + optionalSize ||
        u32(directories - 4) < 5) {
        why = "its optional header has no certificate table entry";
        return false;
    }
    uint64_t tableAt = u32(certificateEntry), tableSize = u32(certificateEntry + 4);
    if (tableSize == 0) tableAt = file.size();
    if (tableAt < certificateEntry + 8 || tableAt > file.size() || tableSize > file.size() - tableAt) {
        why = "its certificate table lies outside the file";
        return false;
    }
    ranges = {{0, checksum}, {checksum + 4, certificateEntry - checksum - 4}, {certificateEntry + 8,
              tableAt - certificateEntry - 8}};
    if (tableAt + tableSize < file.size()) ranges.push_back({tableAt + tableSize, file.size() - tableAt - tableSize});
    padding = tableSize == 0 ? (8 - file.size() % 8) % 8 : 0;
    why.clear();
    return true;
}

}  // namespace pelmar_tools
