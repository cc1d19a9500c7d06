// What pelmar-install refuses before it changes anything, apart from how the
// facts are gathered: arguments that the boot-time run would quietly replace
// by a default or read otherwise, names that the boot-time open would not
// find as the installer checked them, container and image files that the
// boot would destroy or could not use, and pelmar.exe's digest ranges. The
// installer is stricter than the boot-time command line on purpose: it is
// the one place where an administrator can be told.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pelmar_tools {

// The arguments after the program name, as they reach Pelmar (ANSI words,
// a last "dbg" already taken off): empty, or why one of them would be
// replaced by its default or read differently at boot.
std::string ArgumentProblem(const std::vector<std::string> &words);

// Which names the boot-time open finds as the installer checks them is the
// boot line's rule (tools/boot-config/boot_line.h: PathProblem).

// pelmar-install's words after the program name, read as usage: whether they
// ask for help (--help, -h or /? alone or among install's words, which are
// no algorithm), and otherwise empty or what is wrong, naming the word: no
// command or an unknown one, a word after uninstall or status, an unknown
// option of install, one given twice, --pagefile without MIN-MAX, --dumps
// without small, none or keep.
struct UsageReading {
    bool help = false;
    std::string problem;
};
UsageReading ReadUsage(const std::vector<std::string> &words);


// What the installer found out about the container and the image.
struct InstallFiles {
    uint64_t containerSize = 0;
    // Its bytes at ContainerSampleRanges (container_check.h), one range
    // after the other: its first 64 KiB, then runs spread over the rest.
    std::vector<uint8_t> containerSample;
    bool containerIsMine = false;         // --container-is-mine: its contents are not judged
    bool containerIsImage = false;        // the same file as the image
    bool containerIsProgram = false;      // pelmar.exe, beside the installer or installed
    bool containerIsInstaller = false;
    bool containerInWindows = false;      // in the Windows folder or below it
    uint32_t containerLinks = 1;          // its names (hard links); 0 when unknown
    uint64_t imageSectorSize = 0;         // from the image's header
    uint64_t imageVolumeSectors = 0;
};

// Empty, or why the boot would destroy the container (a file that is
// something else, or does not look like a container) or could not mount
// and restore it (a volume of another size than the image's).
std::string ContainerProblem(const InstallFiles &files);

// A byte range of a file.
using FileRange = std::pair<uint64_t, uint64_t>;  // offset, length

// The ranges of a PE image that its Authenticode digest covers: the whole
// file less the optional header's CheckSum, the certificate table's entry in
// the data directory and the attribute certificate table it points to, then
// `padding` zero bytes up to a multiple of eight. A signed and an unsigned
// build of one program have the same ranges' bytes. False and why when the
// bytes are no PE image.
bool AuthenticodeRanges(const std::vector<uint8_t> &file, std::vector<FileRange> &ranges, size_t &padding,
                        std::string &why);

// The boot's derivation cost in seconds above which install asks for
// --slow-boot-ok.
inline constexpr double kSlowBootSeconds = 5.0;

}  // namespace pelmar_tools
