// pelmar-prepare: a machine's two files in one command. It makes a file
// system of the given size with the real tools (mkfs.fat, mkntfs), creates
// the folders and copies the files (mtools for FAT, libntfs-3g for NTFS),
// writes pelmar.img for exactly the volume the container will present, and
// pelmar.tc: a header sector and the volume, all noise from a ChaCha20
// keystream keyed from the kernel's random source (the first run of Pelmar
// writes the header).
//
// Everything that can be checked is checked before anything is written.
// The file system is built in a private folder inside OUTDIR, the two
// outputs are written to temporary files there, and only when both are
// complete are they renamed to their names; a failure or an interrupting
// signal removes what was made.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/basics/ascii_case.h"
#include "tools/image/image_format.h"
#include "tools/image/image_maker.h"
#include "tools/pelmar-prepare/noise.h"
#include "tools/pelmar-prepare/ntfs_contents.h"
#include "tools/platform/output_file.h"
#include "tools/platform/stop_signals.h"
#include "tools/pelmar-prepare/volume_room.h"
#include "tools/platform/program.h"
#include "tools/fs/volume_layout.h"
#include "tools/pelmar-prepare/windows_names.h"

namespace pelmar_tools {
namespace {

const char kUsage[] =
    "usage: pelmar-prepare --size SIZE --fs ntfs|fat32|fat16|fat12 [--label NAME]\n"
    "                      [--mkdir PATH]... [--temp-dir PATH]... [--user-temp SID]... [--copy FILE:PATH]... OUTDIR\n"
    "  --size SIZE       the volume's size in bytes; K, M, G and T multiply by 1024, 1024^2, 1024^3, 1024^4\n"
    "  --fs KIND         the file system to make\n"
    "  --label NAME      its volume label\n"
    "  --mkdir PATH      a folder to make (with its parents), PATH like /Data/Tools; users may\n"
    "                    read and list it, not change it\n"
    "  --temp-dir PATH   the parent of the users' folders for temporary files (ntfs only): users\n"
    "                    may only pass through it; pelmar-service makes their folders in it\n"
    "  --user-temp SID   a user's folder for temporary files, PATH/SID in the one --temp-dir,\n"
    "                    owned by that user (S-1-5-21-...) or SYSTEM (S-1-5-18), reached by\n"
    "                    nobody else but SYSTEM and Administrators, there from the boot on\n"
    "  --copy FILE:PATH  a host file to copy to PATH (parents made; a second copy to a PATH replaces it)\n"
    "  OUTDIR            where pelmar.img and pelmar.tc are written\n"
    "  --help, --version this text; the version\n"
    "An ntfs drive gets the permissions Windows' own format gives, and what is made on it\n"
    "inherits them as on Windows. A FAT drive has no permissions: every user can read and\n"
    "change every file on it, so it suits single-user machines only.\n";

// What the file systems can hold, within what mkfs.fat 4.2 and mkntfs make
// of a volume: the cluster counts that decide a FAT's type bound FAT12 and
// FAT16 from above and FAT16 and FAT32 from below.
struct KindBounds {
    const char *name;
    FileSystemKind kind;
    uint64_t least, most;
};
constexpr uint64_t KiB = 1024, MiB = KiB * KiB, GiB = MiB * KiB;
const KindBounds kKinds[] = {
    {"fat12", FileSystemKind::Fat12, 64 * KiB, 255 * MiB},
    {"fat16", FileSystemKind::Fat16, 9 * MiB, 4095 * MiB},
    {"fat32", FileSystemKind::Fat32, 34 * MiB, 0xFFFFFFFFull * 512},
    {"ntfs", FileSystemKind::Ntfs, 2 * MiB, UINT64_MAX / 2},
};

// Set while the progress line waits for its end, so that a message after
// it starts on a line of its own.
bool gProgressOpen = false;

const char kSystemSid[] = "S-1-5-18";

int Fail(const std::string &message) {
    if (gProgressOpen) std::fputc('\n', stderr);
    gProgressOpen = false;
    std::fprintf(stderr, "pelmar-prepare: %s\n", message.c_str());
    return 1;
}

// "4G" -> 4294967296; false for anything else than digits and a suffix.
bool ParseSize(const std::string &text, uint64_t &bytes) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 15 || text.size() > digits + 1) return false;
    bytes = std::stoull(text.substr(0, digits));
    if (text.size() == digits) return true;
    uint64_t unit = 0;
    switch (text[digits]) {
        case 'K':
        case 'k':
            unit = KiB;
            break;
        case 'M':
        case 'm':
            unit = MiB;
            break;
        case 'G':
        case 'g':
            unit = GiB;
            break;
        case 'T':
        case 't':
            unit = GiB * KiB;
            break;
        default:
            return false;
    }
    if (bytes > UINT64_MAX / unit) return false;
    bytes *= unit;
    return true;
}

// "\Temp\Cache" or "Temp/Cache/" -> "/Temp/Cache"; empty, and why, when a
// component is not a name Windows accepts.
std::string VolumePath(const std::string &text, std::string &why) {
    std::string path, name;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : '/';
        if (c != '/' && c != '\\') {
            name += c;
            continue;
        }
        if (name.empty()) continue;
        if (std::string refusal = NameRefusal(name); !refusal.empty()) {
            why = "\"" + name + "\" " + refusal;
            return {};
        }
        path += "/" + name;
        name.clear();
    }
    return path;
}

std::string FindTool(const std::string &name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// Runs a tool; its output is shown only when it fails.
bool RunTool(const std::vector<std::string> &command, std::string &error) {
    std::string tool = FindTool(command[0]);
    if (tool.empty()) {
        error = command[0] + " is not installed (scripts/deps.sh installs it)";
        return false;
    }
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        error = std::string("cannot run ") + command[0] + ": " + std::strerror(errno);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0) dup2(nothing, 0);
        std::vector<char *> argv;
        for (const auto &word : command) argv.push_back(const_cast<char *>(word.c_str()));
        argv[0] = const_cast<char *>(tool.c_str());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        // Some tools fail without a word (mmd on a folder that exists);
        // the reason is then at least how the tool ended.
        while (!output.empty() && std::isspace(static_cast<unsigned char>(output.back()))) output.pop_back();
        if (output.empty())
            output = pid < 0                ? std::string("cannot start it: ") + std::strerror(errno)
                     : WIFEXITED(status)    ? "it ended with status " + std::to_string(WEXITSTATUS(status)) +
                                               " and said nothing"
                     : WIFSIGNALED(status) ? "it was stopped by signal " + std::to_string(WTERMSIG(status))
                                            : "it did not end normally";
        error = command[0] + " failed: " + output;
        return false;
    }
    return true;
}

// The noise of the container: a header sector and the volume.
bool WriteNoise(OutputFile &out, uint64_t bytes, std::string &error) {
    uint64_t shown = UINT64_MAX;
    auto write = [&](uint64_t at, const uint8_t *block, size_t n, std::string &why) {
        if (!out.WriteAt(at, block, n, why)) return false;
        at += n;
        // Before the end the figures never reach the total (nor 100%).
        if ((at / (64 * MiB) != shown && at / MiB < bytes / MiB) || at == bytes) {
            shown = at / (64 * MiB);
            std::fprintf(stderr, "\rpelmar-prepare: pelmar.tc: %llu of %llu MiB (%llu%%)",
                         static_cast<unsigned long long>(at / MiB),
                         static_cast<unsigned long long>(bytes / MiB),
                         static_cast<unsigned long long>(at * 100 / bytes));
            gProgressOpen = at != bytes;  // the last one is ended below
        }
        return true;
    };
    if (!StreamNoise(bytes, 4 * MiB, write, error)) return false;
    std::fputc('\n', stderr);
    return true;
}

// Why the --user-temp SIDs cannot be made; empty when they can.
std::string UserFolderRefusal(size_t parents, const std::vector<std::string> &users) {
    if (users.empty()) return {};
    if (parents != 1) return "--user-temp needs exactly one --temp-dir, the folder its users' folders go in";
    std::map<std::string, bool> seen;
    for (const std::string &sid : users) {
        // A machine's or domain's user (S-1-5-21- and four numbers), or SYSTEM.
        size_t numbers = 0, at = 9;
        bool user = sid.rfind("S-1-5-21-", 0) == 0;
        for (; user && at <= sid.size(); ++numbers) {
            size_t end = sid.find('-', at);
            if (end == std::string::npos) end = sid.size();
            user = end > at && end - at <= 10 && sid.find_first_not_of("0123456789", at) >= end &&
                   std::stoull(sid.substr(at, end - at)) <= 0xFFFFFFFFull;
            at = end + 1;
        }
        if (sid != kSystemSid && (!user || numbers != 4))
            return "--user-temp " + sid + ": expected a user's SID (S-1-5-21- and four numbers) or S-1-5-18";
        if (seen[sid]) return "--user-temp " + sid + " is given twice";
        seen[sid] = true;
    }
    return {};
}

// What the command line asks for.
struct Request {
    std::string path, source;
    bool temporary = false;
};
struct Options {
    std::string sizeText, kindText, label, outDir;
    std::vector<Request> requests;
    std::vector<std::string> users;
    bool help = false;
};

// The command line read into `options`; empty, or what is wrong with it.
std::string ReadOptions(int argc, char **argv, Options &options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return {};
        }
        bool takesValue = arg == "--size" || arg == "--fs" || arg == "--label" || arg == "--mkdir" ||
                          arg == "--copy" || arg == "--temp-dir" || arg == "--user-temp";
        if (takesValue && i + 1 >= argc) return arg + " needs a value\n" + kUsage;
        if (arg == "--size")
            options.sizeText = argv[++i];
        else if (arg == "--fs")
            options.kindText = argv[++i];
        else if (arg == "--label")
            options.label = argv[++i];
        else if (arg == "--mkdir")
            options.requests.push_back({argv[++i], {}});
        else if (arg == "--temp-dir")
            options.requests.push_back({argv[++i], {}, true});
        else if (arg == "--user-temp")
            options.users.push_back(argv[++i]);
        else if (arg == "--copy") {
            std::string value = argv[++i];
            size_t colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0) return "--copy " + value + ": expected FILE:PATH";
            options.requests.push_back({value.substr(colon + 1), value.substr(0, colon)});
        } else if (arg.size() > 1 && arg[0] == '-')
            return "unknown option " + arg + "\n" + kUsage;
        else if (options.outDir.empty())
            options.outDir = arg;
        else
            return "expected one output folder\n" + std::string(kUsage);
    }
    if (options.sizeText.empty() || options.kindText.empty() || options.outDir.empty())
        return "--size, --fs and an output folder are needed\n" + std::string(kUsage);
    return {};
}

// The volume to make and what goes on it.
struct Plan {
    uint64_t size = 0;
    const KindBounds *kind = nullptr;
    bool ntfs = false;
    std::vector<ContentStep> steps;
    uint64_t copied = 0;  // bytes of the files copied
};

// The size, the file system, the label and the users' folders; empty, or
// why they cannot be made.
std::string CheckVolume(const Options &options, Plan &plan) {
    const std::string &sizeText = options.sizeText;
    if (!ParseSize(sizeText, plan.size) || plan.size == 0)
        return "--size " + sizeText + ": expected a number with K, M, G or T";
    if (plan.size % 512) return "--size " + sizeText + " is not a whole number of 512-byte sectors";
    for (const auto &k : kKinds)
        if (AsciiLower(options.kindText) == k.name) plan.kind = &k;
    if (!plan.kind) return "--fs " + options.kindText + ": expected ntfs, fat32, fat16 or fat12";
    const KindBounds &kind = *plan.kind;
    if (plan.size < kind.least || plan.size > kind.most)
        return "--size " + sizeText + " is too " + (plan.size < kind.least ? "small" : "large") + " for " +
               kind.name + " (" + std::to_string(kind.least / KiB) + "K to " + std::to_string(kind.most / KiB) +
               "K)";
    plan.ntfs = kind.kind == FileSystemKind::Ntfs;
    for (const Request &r : options.requests)
        if (r.temporary && !plan.ntfs)
            return "--temp-dir " + r.path +
                   ": a FAT drive has no permissions, so a folder on it cannot keep users' "
                   "temporary files apart; use --fs ntfs";
    size_t parents = 0;
    for (const Request &r : options.requests) parents += r.temporary;
    if (std::string refusal = UserFolderRefusal(parents, options.users); !refusal.empty()) return refusal;
    if (std::string refusal = LabelRefusal(options.label, plan.ntfs); !refusal.empty())
        return "--label \"" + options.label + "\" " + refusal;
    return {};
}

// The folders and files, as the volume will have them: a folder over a
// file (or the reverse) is refused, a second copy to a file replaces it;
// then the users' folders, in the one folder for temporary files.
std::string PlanContents(const Options &options, Plan &plan) {
    std::map<std::string, bool> isFolder;  // by lower-case path: names are case-insensitive on Windows
    PathSpellings spellings;               // a name given again in another case is the same name
    for (const Request &r : options.requests) {
        std::string why, path = spellings.Spell(VolumePath(r.path, why));
        if (path.empty())
            return "\"" + r.path + "\" is not a path Windows accepts on the volume" +
                   (why.empty() ? std::string() : ": " + why);
        for (size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
            const std::string part = at == std::string::npos ? path : path.substr(0, at);
            const bool folder = at != std::string::npos || r.source.empty();
            auto known = isFolder.find(AsciiLower(part));
            if (known != isFolder.end() && known->second != folder)
                return part + " is " + (known->second ? "a folder" : "a file") + " already";
            const bool temporary = r.temporary && at == std::string::npos;
            if (temporary && known != isFolder.end())
                return "--temp-dir " + r.path + ": " + part + " is made already by an earlier option";
            if (folder && known == isFolder.end()) {
                isFolder[AsciiLower(part)] = true;
                plan.steps.push_back({part, {}, false, temporary, {}});
            } else if (!folder) {
                struct stat st;
                if (stat(r.source.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(r.source.c_str(), R_OK) != 0)
                    return "cannot read the file " + r.source;
                plan.copied += static_cast<uint64_t>(st.st_size);
                plan.steps.push_back({part, r.source, known != isFolder.end(), false, {}});
                isFolder[AsciiLower(part)] = false;
            }
            if (at == std::string::npos) break;
        }
    }
    for (const std::string &sid : options.users) {
        for (const Request &r : options.requests) {
            std::string why;
            if (r.temporary)
                plan.steps.push_back({spellings.Spell(VolumePath(r.path, why)) + "/" + sid, {}, false, false, sid});
        }
    }
    return {};
}

// The output folder: there, writable, with room for the container and
// twice (raw volume, image) the files and the file system's own
// structures. The two outputs replace only ordinary files (a symbolic link
// is not followed), so a refusal comes before the work.
std::string CheckOutputFolder(const std::string &outDir, const Plan &plan, const OutputFile &image,
                              const OutputFile &container) {
    struct stat dirStat;
    if (stat(outDir.c_str(), &dirStat) != 0)
        return outDir + (errno == ENOENT ? " does not exist" : ": " + std::string(std::strerror(errno)));
    if (!S_ISDIR(dirStat.st_mode)) return outDir + " is not a folder";
    std::string error;
    if (!image.Check(error) || !container.Check(error)) return error;
    struct statvfs fsStat;
    if (access(outDir.c_str(), W_OK) != 0 || statvfs(outDir.c_str(), &fsStat) != 0)
        return "cannot write into " + outDir + ": " + std::strerror(errno);
    const uint64_t needed = 512 + plan.size + 2 * (plan.copied + plan.size / 64) + MiB;
    const uint64_t free = static_cast<uint64_t>(fsStat.f_bavail) * fsStat.f_frsize;
    if (needed > free)
        return outDir + " has " + std::to_string(free / MiB) + " MiB free; the container and image need " +
               std::to_string(needed / MiB) + " MiB";
    return {};
}

// The private work folder in outDir, removed on an interrupting signal;
// empty, or why it cannot be made.
std::string MakeWorkFolder(const std::string &outDir, std::string &work) {
    work = outDir + "/.pelmar-prepare-XXXXXX";
    StopSignalsHeld held;
    if (!mkdtemp(work.data())) return "cannot write into " + outDir + ": " + std::strerror(errno);
    if (!RemoveOnStop(work)) {
        rmdir(work.c_str());
        return "cannot write into " + outDir + ": its name is too long";
    }
    return {};
}

// The raw volume file of `size` bytes, removed on an interrupting signal.
std::string MakeRawVolume(const std::string &raw, uint64_t size) {
    int fd = -1;
    {
        StopSignalsHeld held;
        errno = ENAMETOOLONG;
        if (RemoveOnStop(raw)) fd = open(raw.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    }
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0 || close(fd) != 0)
        return "cannot make " + raw + ": " + std::strerror(errno);
    return {};
}

// The file system made on the raw volume by the real tools, and the
// folders and files put on it.
std::string BuildVolume(const Options &options, const Plan &plan, const std::string &raw) {
    std::fprintf(stderr, "pelmar-prepare: making %s of %s bytes\n", plan.kind->name,
                 std::to_string(plan.size).c_str());
    std::vector<std::string> mkfs;
    if (plan.ntfs) {
        mkfs = {"mkntfs", "-F", "-Q", "-q", "-s", "512", "-p", "0", "-H", "0", "-S", "0"};
        if (!options.label.empty()) mkfs.insert(mkfs.end(), {"-L", options.label});
    } else {
        mkfs = {"mkfs.fat", "-F", std::string(plan.kind->name + 3)};
        if (!options.label.empty()) mkfs.insert(mkfs.end(), {"-n", options.label});
    }
    mkfs.push_back(raw);
    // The tools read names and labels as UTF-8, whatever the caller's locale.
    setenv("LC_ALL", "C.UTF-8", 1);
    std::string error;
    if (!RunTool(mkfs, error)) return error;
    if (!CheckRoom(raw, plan.steps, error)) return error;
    if (plan.ntfs) return PutOnNtfs(raw, plan.steps, error) ? std::string() : error;
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    for (const ContentStep &step : plan.steps) {
        const std::string target = "::" + step.path;
        const std::string what =
            step.source.empty() ? "make the folder " + step.path : "copy " + step.source + " to " + step.path;
        if (step.replaces && !RunTool({"mdel", "-i", raw, target}, error))
            return "cannot " + what + " on the FAT volume: " + error;
        bool ok = step.source.empty() ? RunTool({"mmd", "-i", raw, target}, error)
                                      : RunTool({"mcopy", "-i", raw, step.source, target}, error);
        if (!ok) return "cannot " + what + " on the FAT volume: " + error;
    }
    return {};
}

// The image of the raw volume and the container of noise, both under their
// names or the old ones as they were.
std::string WriteOutputs(const Plan &plan, const std::string &raw, OutputFile &image, OutputFile &container,
                         ImageSummary &summary) {
    ImageRequest request;
    request.input = raw;
    std::string error;
    if (!image.Open(error) || !MakeImage(request, image, summary, error)) return error;
    // The file system the tools made must be the one asked for.
    if (summary.kind != plan.kind->kind)
        return std::string("the tools made a volume that reads as ") + KindName(summary.kind) + ", not " +
               plan.kind->name + "; choose another size";
    if (!container.Open(error) || !WriteNoise(container, 512 + plan.size, error) ||
        !CommitTogether({&image, &container}, error))
        return error;
    return {};
}

void PrintOutcome(const std::string &outDir, const ImageSummary &summary, uint64_t size) {
    std::printf("%s/pelmar.img: %s image of %llu bytes; a restore writes %llu of %llu sectors (%s)\n",
                outDir.c_str(), KindName(summary.kind), static_cast<unsigned long long>(summary.imageBytes),
                static_cast<unsigned long long>(summary.sectorsWritten),
                static_cast<unsigned long long>(summary.volumeSectors),
                SharePercent(summary.sectorsWritten, summary.volumeSectors).c_str());
    std::printf("%s/pelmar.tc: 512 + %llu bytes of noise\n", outDir.c_str(), static_cast<unsigned long long>(size));
    std::printf(
        "On the Windows machine both go to C:\\ as c:\\pelmar.tc and c:\\pelmar.img, Pelmar's defaults;\n"
        "elsewhere, name them on Pelmar's command line (its CONTAINER and IMAGE positions).\n");
}

}  // namespace

const char kProgramName[] = "pelmar-prepare";

int ProgramMain(int argc, char **argv) {
    Options options;
    std::string error = ReadOptions(argc, argv, options);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // Checks, before anything is written.
    Plan plan;
    if (error.empty()) error = CheckVolume(options, plan);
    if (error.empty()) error = PlanContents(options, plan);
    OutputFile image(options.outDir + "/pelmar.img"), container(options.outDir + "/pelmar.tc");
    if (error.empty()) error = CheckOutputFolder(options.outDir, plan, image, container);
    if (!error.empty()) return Fail(error);

    // From here on, everything made is removed on failure or interruption.
    std::string work;
    if (error = MakeWorkFolder(options.outDir, work); !error.empty()) return Fail(error);
    const std::string raw = work + "/volume.raw";
    struct WorkCleaner {
        std::string work, raw;
        ~WorkCleaner() {
            unlink(raw.c_str());
            rmdir(work.c_str());
        }
    } cleaner{work, raw};
    ImageSummary summary;
    error = MakeRawVolume(raw, plan.size);
    if (error.empty()) error = BuildVolume(options, plan, raw);
    if (error.empty()) error = WriteOutputs(plan, raw, image, container, summary);
    if (!error.empty()) return Fail(error);
    PrintOutcome(options.outDir, summary, plan.size);
    return 0;
}

}  // namespace pelmar_tools
