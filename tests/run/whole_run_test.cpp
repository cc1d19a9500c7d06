// Whole runs of the real executable under the stand-in: a container and an
// image made from a real FAT file system; after the run the exported drive
// must equal the file system byte for byte and pass fsck.fat. Machines made
// by pelmar-prepare, whose images write only what the file system uses,
// must leave drives that their file system's tools accept and read back.
#include <gtest/gtest.h>


#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "keying/derivation_paths.h"
#include "keying/this_processor.h"
#include "support/ntfs_permissions.h"
#include "run/fat_image.h"
#include "run/process_runner.h"
#include "tools/pelmar-install/container_check.h"

using pelmar_test::MakeFatImage;
using pelmar_test::ProcessResult;
using pelmar_test::ReadWholeFile;
using pelmar_test::RunPelmar;
using pelmar_test::Shell;
using pelmar_test::TempFolder;

namespace fs = std::filesystem;

namespace {

constexpr size_t kVolumeBytes = 2 * 1024 * 1024;

void WriteRandomFile(const fs::path &path, size_t bytes, uint64_t seed) {
    std::mt19937_64 random(seed);
    std::vector<char> data(bytes);
    for (auto &b : data) b = static_cast<char>(random());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Whether pelmar-install still takes the container for one, from the
// bytes it reads of it.
std::string ContainerProblem(const fs::path &path) {
    const std::string file = ReadWholeFile(path);
    std::vector<uint8_t> sample;
    for (const auto &[at, length] : pelmar_tools::ContainerSampleRanges(file.size()))
        sample.insert(sample.end(), file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + length));
    return pelmar_tools::ContainerContentProblem(file.size(), sample);
}

// A machine root with drive C: holding pelmar.tc (old random contents) and
// pelmar.img (made from a fresh FAT file system with one file on it).
struct Machine {
    TempFolder folder;
    fs::path root = folder.path() / "root";
    fs::path raw = folder.path() / "fat.raw";

    Machine() {
        fs::create_directories(root / "c");
        MakeFatImage(folder.path(), kVolumeBytes, raw, root / "c" / "pelmar.img");
        WriteRandomFile(root / "c" / "pelmar.tc", 512 + kVolumeBytes, 7);
    }
};

TEST(WholeRun, RekeysMountsAndRestoresTheDrive) {
    Machine m;
    fs::path exported = m.folder.path() / "t.raw";
    std::string before = ReadWholeFile(m.root / "c" / "pelmar.tc");
    ProcessResult r = RunPelmar(m.folder.path(),
                                {"--root", m.root.string(), "--time-scale", "0", "--export", "T:=" + exported.string()},
                                {"pelmar", "ATS", "s", "1"});
    EXPECT_EQ(r.exitCode, 0) << r.errors << r.screen;
    EXPECT_EQ(r.screen, "\npelmar ATS s 1 \n\nRestoring file system...\n");
    EXPECT_EQ(r.debugger, r.screen);
    EXPECT_EQ(r.CountCalls("NtWaitForSingleObject"), 0u);  // no error, no pause
    ASSERT_FALSE(r.trace.empty());
    EXPECT_NE(r.trace.back().find(", 0 handles open"), std::string::npos) << r.trace.back();
    // Only the header changed in the container.
    std::string after = ReadWholeFile(m.root / "c" / "pelmar.tc");
    ASSERT_EQ(after.size(), before.size());
    EXPECT_NE(after.substr(0, 512), before.substr(0, 512));
    // The drive holds exactly the file system of the image.
    std::string raw = ReadWholeFile(m.raw);
    std::string drive = ReadWholeFile(exported);
    ASSERT_EQ(drive.size(), raw.size());
    EXPECT_TRUE(drive == raw);
    EXPECT_EQ(Shell("fsck.fat -n " + exported.string() + " >/dev/null"), 0);
}

// FAT16, FAT32 and NTFS drives with folders and files, one of them
// fragmented: on FAT16 a file replaced by a larger one takes the freed
// clusters and runs on behind the next file; the FAT32 and NTFS volumes are
// expanded from their images, given a file that must be split around the
// space others use, and made into images again. Free clusters stay the
// container's noise, so the drive is checked through its file system, not
// byte for byte. The NTFS drive carries the descriptors pelmar-prepare gave.
TEST(WholeRun, PreparedMachinesGetDrivesTheirFileSystemsRead) {
    const std::string mtools = "MTOOLS_SKIP_CHECK=1 ";
    const std::string fat32Split =  // FSInfo's next-free hint dropped: mtools searches from the start
        "printf '\\377\\377\\377\\377' | dd of=v.raw bs=1 seek=1004 conv=notrunc status=none && " + mtools +
        "mcopy -i v.raw 1 ::/E.BIN";
    const std::string ntfsSplit =  // a small hole, and the volume nearly full behind it
        "ntfscp v.raw 3 H && free=$(ntfsinfo -m v.raw | awk '/Free Clusters/{print $3}') && "
        "head -c $(((free - 20) * 4096)) /dev/urandom >fill && ntfscp v.raw fill FILL && "
        "ntfstruncate v.raw $(ntfsls -i v.raw | awk '$2==\"H\"{print $1}') 0x80 0 >/dev/null 2>&1 && "
        "ntfscp v.raw 1 E.BIN";
    struct Shape {
        const char *kind, *size, *split;
        std::string rework;
    };
    for (const Shape &shape :
         {Shape{"fat16", "12M", "/Docs/A.TXT", ""}, Shape{"fat32", "34M", "/E.BIN", fat32Split},
          Shape{"ntfs", "8M", "/E.BIN", ntfsSplit}}) {
        SCOPED_TRACE(shape.kind);
        TempFolder folder;
        const fs::path root = folder.path() / "root", t = folder.path() / "t.raw",
                       img = root / "c" / "pelmar.img";
        const std::string in = "cd " + folder.path().string() + " && ",
                          out = " >" + (folder.path() / "o").string();
        fs::create_directories(root / "c");
        const size_t sizes[] = {40000, 60000, 150000, 5000};
        for (size_t i = 0; i < 4; ++i) WriteRandomFile(folder.path() / std::to_string(i), sizes[i], i);
        // Names given again in another case (by Unicode, not only ASCII) are
        // the same names, as on Windows: the later copies replace the earlier.
        setenv("LC_ALL", "C.UTF-8", 1);
        const std::string prepared =
            std::string(PELMAR_PREPARE) + " --size " + shape.size + " --fs " + shape.kind +
            " --mkdir /Docs/Sub --copy 0:/DOCS/A.TXT --copy 1:/B.BIN --copy 2:/docs/a.txt"
            " --copy '0:/Docs/Sub/Long file name Ä.dat' --copy '3:/docs/SUB/LONG FILE NAME ä.DAT' " +
            (std::string(shape.kind) == "ntfs" ? "--temp-dir /Tmp --copy 3:/Tmp/t " : "") +
            (root / "c").string();
        ASSERT_EQ(Shell(in + prepared + out + " 2>&1"), 0) << ReadWholeFile(folder.path() / "o");
        EXPECT_NE(ReadWholeFile(folder.path() / "o").find("c:\\pelmar.tc"), std::string::npos);
        if (!shape.rework.empty()) {
            ASSERT_EQ(
                Shell(in + PELMAR_IMAGE + " --expand v.raw " + img.string() + out + " && " + shape.rework +
                      out + " 2>&1 && " + PELMAR_MKIMAGE + " v.raw " + img.string() + out),
                0);
        }
        // The FAT16 machine's container is a new file of zeros (fsutil file
        // createnew): the run leaves a header, ciphertext and zeros never written.
        if (std::string(shape.kind) == "fat16") {
            const fs::path container = root / "c" / "pelmar.tc";
            const uintmax_t bytes = fs::file_size(container);
            fs::resize_file(container, 0), fs::resize_file(container, bytes);
        }
        ProcessResult r = RunPelmar(
            folder.path(), {"--root", root.string(), "--time-scale", "0", "--export", "T:=" + t.string()},
            {"pelmar"});
        ASSERT_EQ(r.exitCode, 0) << r.screen;
        EXPECT_EQ(r.screen, "\npelmar \n\nRestoring file system...\n");
        // The restore wrote what pelmar-image counts, and the header.
        Shell(std::string(PELMAR_IMAGE) + " " + img.string() + out);
        const std::string shown = ReadWholeFile(folder.path() / "o");
        const size_t at = shown.find("restore writes:  ");
        ASSERT_NE(at, std::string::npos) << shown;
        EXPECT_EQ(r.CountCalls("NtWriteFile"), std::stoull(shown.substr(at + 17)) + 1);
        EXPECT_EQ(ContainerProblem(root / "c" / "pelmar.tc"), "");  // a new header, ciphertext, noise or zeros

        const bool ntfs = std::string(shape.kind) == "ntfs";
        const std::string drive = " " + t.string() + " ";
        auto listing = [&](const std::string &command) {
            EXPECT_EQ(Shell(command + out), 0) << command;
            return ReadWholeFile(folder.path() / "o");
        };
        listing(ntfs ? "ntfsfix -n" + drive : "fsck.fat -n" + drive);
        EXPECT_NE(
            listing(ntfs ? "ntfsls -p /Docs" + drive : mtools + "mdir -b -i" + drive + "::/Docs").find("Sub"),
            std::string::npos);
        const std::string split = listing(ntfs ? "ntfsinfo -v -F " + std::string(shape.split) + drive
                                               : mtools + "mshowfat -i" + drive + "::" + shape.split);
        EXPECT_TRUE(ntfs ? split.find("Total runs: 1 ") == std::string::npos
                         : split.find("> <") != std::string::npos)
            << "not fragmented: " << split;
        for (const auto &[name, i] : std::vector<std::pair<std::string, int>>{
                 {"/Docs/A.TXT", 2}, {"/B.BIN", 1}, {"/Docs/Sub/Long file name Ä.dat", 3}, {"/E.BIN", 1}}) {
            if (name == "/E.BIN" && shape.rework.empty()) continue;
            const std::string back = (folder.path() / "back").string();
            EXPECT_EQ(Shell(ntfs ? "ntfscat" + drive + "'" + name + "' >" + back
                                 : mtools + "mcopy -n -i" + drive + "'::" + name + "' " + back),
                      0);
            EXPECT_TRUE(ReadWholeFile(back) == ReadWholeFile(folder.path() / std::to_string(i))) << name;
        }
        if (!ntfs) continue;
        for (const auto &[path, sddl] : std::vector<std::pair<std::string, std::string>>{
                 {"/", pelmar_test::kRootSddl}, {"/Docs/Sub", pelmar_test::kSubfolderSddl},
                 {"/B.BIN", pelmar_test::kRootFileSddl}, {"/Tmp", pelmar_test::kTempSddl},
                 {"/Tmp/t", pelmar_test::kTempFileSddl}}) {
            std::string error;
            EXPECT_EQ(pelmar_test::ReadSddl(t.string(), path, error), sddl) << path << ": " << error;
        }
    }
}

TEST(WholeRun, AFileSystemWithoutExtendedVolumeAccessIsRestoredSilently) {
    Machine m;
    ProcessResult r =
        RunPelmar(m.folder.path(),
                  {"--root", m.root.string(), "--time-scale", "0", "--no-extended-dasd", "T:"}, {"pelmar"});
    EXPECT_EQ(r.screen, "\npelmar \n\nRestoring file system...\n");
    ASSERT_EQ(r.Calls("NtFsControlFile").size(), 4u);
    EXPECT_NE(r.Calls("NtFsControlFile")[1].find(
                  "code=0x00090083, inputLength=0, outputLength=0, information=0) = 0xc0000010"),
              std::string::npos);
}

// The significant platform calls of a run, in order: entropy queries, the old
// header, the image's time stamps, the queries again, the new header, the
// driver, the mount, the restore bracket and the closes.
std::vector<std::string> SignificantCalls(const ProcessResult &r) {
    auto field = [](const std::string &line, const std::string &key) {
        size_t at = line.find(key + "=");
        if (at == std::string::npos) return std::string("?");
        size_t end = line.find_first_of(",)", at);
        return line.substr(at + key.size() + 1, end - at - key.size() - 1);
    };
    std::vector<std::string> out;
    for (const auto &line : r.trace) {
        std::string name = line.substr(0, line.find('#'));
        if (name == "NtQuerySystemInformation") {
            out.push_back("query " + field(line, "class"));
        } else if (name == "NtCreateFile") {
            out.push_back("open " + field(line, "path") + " " + field(line, "access") + " " + field(line, "share") +
                          " " + field(line, "options"));
        } else if (name == "NtQueryInformationFile" || name == "NtSetInformationFile") {
            out.push_back(name + " " + field(line, "class"));
        } else if (name == "NtDeviceIoControlFile" || name == "NtFsControlFile") {
            out.push_back("control " + field(line, "code"));
        } else if (name == "NtClose") {
            out.push_back("close");
        }
    }
    return out;
}

TEST(WholeRun, TheRunCallsThePlatformInItsOrder) {
    Machine m;
    ProcessResult r = RunPelmar(m.folder.path(), {"--root", m.root.string(), "--time-scale", "0"}, {"pelmar"});
    ASSERT_EQ(r.exitCode, 0);
    std::vector<std::string> queries;
    for (const char *c : {"2", "3", "5", "6", "8", "11", "16", "21", "23", "33", "36", "43", "45", "51", "55"})
        queries.push_back(std::string("query ") + c);
    std::vector<std::string> expected = queries;
    const std::string container = "\"\\\\??\\\\c:\\\\pelmar.tc\"";
    const std::string image = "\"\\\\??\\\\c:\\\\pelmar.img\"";
    for (std::string call : {"open " + container + " 0x80100000 0x00000001 0x00000024", std::string("close"),
                             "open " + image + " 0x00100080 0x00000003 0x00000000",
                             std::string("NtQueryInformationFile 4"), std::string("close")})
        expected.push_back(call);
    expected.insert(expected.end(), queries.begin(), queries.end());
    for (std::string call : {
             "open " + container + " 0x40100000 0x00000000 0x00000024",
             std::string("close"),
             std::string("open \"\\\\Device\\\\TrueCrypt\" 0x10100000 0x00000000 0x00000000"),
             std::string("control 0x00072018"),
             std::string("open \"\\\\??\\\\c:\" 0x80100000 0x00000003 0x00000020"),
             std::string("control 0x00070000"),
             std::string("close"),
             std::string("control 0x00072000"),
             "open " + image + " 0x80100000 0x00000001 0x00000024",
             "open " + image + " 0x80100000 0x00000001 0x00000024",
             std::string("open \"\\\\??\\\\T:\" 0xc0100000 0x00000003 0x00000024"),
             std::string("control 0x00090018"),
             std::string("control 0x00090083"),
             std::string("control 0x00070000"),
             std::string("NtSetInformationFile 14"),
             std::string("NtSetInformationFile 14"),
             std::string("control 0x00090020"),
             std::string("control 0x0009001c"),
             std::string("close"),
             std::string("close"),
             std::string("close"),
             std::string("close"),
         })
        expected.push_back(call);
    EXPECT_EQ(SignificantCalls(r), expected);
}

TEST(WholeRun, EveryRunGivesANewHeader) {
    Machine m;
    std::string first, second;
    for (std::string *header : {&first, &second}) {
        ProcessResult r = RunPelmar(m.folder.path(), {"--root", m.root.string(), "--time-scale", "0"}, {"pelmar"});
        EXPECT_EQ(r.exitCode, 0);
        *header = ReadWholeFile(m.root / "c" / "pelmar.tc").substr(0, 512);
    }
    EXPECT_NE(first, second);
}

// The processor's part: a time-stamp read that faults is skipped (and reads
// 0) by the handler the read registers, on every host (the stand-in makes
// the listed instructions fault itself); each reading is followed by 8 bytes
// of the hardware random source where there is one, with ten attempts when
// it keeps failing, and none where there is none. A copy of the executable
// without its list of time-stamp instructions, or with a list of another
// build, has the option refused before anything runs.
TEST(WholeRun, FaultingTimeStampsAndTheHardwareRandomSource) {
    Machine m;
    const bool rdrand = __builtin_cpu_supports("rdrnd");
    struct Row {
        std::vector<std::string> options;
        size_t skipped, draws, delivered;
        std::string list = "built", refusal = "";  // the copy's list: built, none, or shifted by a byte
    };
    std::string notRun;
    for (const Row &row : {Row{{"--time-stamp-faults", "--hardware-random", "fail"}, 6, 60, 0},
                           Row{{"--hardware-random", "none"}, 0, 0, 0}, Row{{"--hardware-random", "rdrand"}, 0, 6, 6},
                           Row{{"--time-stamp-faults", "--hardware-random", "none"}, 0, 0, 0, "none", "no list of"},
                           Row{{"--time-stamp-faults", "--hardware-random", "none"}, 0, 0, 0, "shifted", "another build"}}) {
        SCOPED_TRACE(row.options[0] + " " + row.options.back() + ", list " + row.list);
        if (row.options.back() == "rdrand" && !rdrand) {
            notRun += " --hardware-random rdrand (the host's processor has no RDRAND);";
            continue;
        }
        std::string executable = PELMAR_EXE;
        if (row.list != "built") {
            executable = (m.folder.path() / "pelmar").string();
            fs::copy_file(PELMAR_EXE, executable, fs::copy_options::overwrite_existing);
            fs::remove(executable + ".time-stamp-sites");
            if (row.list == "shifted") {
                std::ifstream in(std::string(PELMAR_EXE) + ".time-stamp-sites");
                std::ofstream out(executable + ".time-stamp-sites");
                for (std::string line; std::getline(in, line);) {
                    if (!line.empty() && line[0] != '#') out << std::hex << std::stoull(line, nullptr, 16) + 1 << line.substr(line.find(' ')) << "\n";
                }
            }
        }
        std::vector<std::string> standIn = {"--root", m.root.string(), "--time-scale", "0"};
        standIn.insert(standIn.end(), row.options.begin(), row.options.end());
        ProcessResult r = RunPelmar(m.folder.path(), standIn, {"pelmar"}, executable);
        if (!row.refusal.empty()) {
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_NE(r.errors.find("--time-stamp-faults cannot be honoured: "), std::string::npos) << r.errors;
            EXPECT_NE(r.errors.find(row.refusal), std::string::npos) << r.errors;
            EXPECT_EQ(r.screen, "");  // nothing ran
            continue;
        }
        EXPECT_EQ(r.exitCode, 0) << r.errors;
        EXPECT_NE(r.screen.find("Restoring file system...\n"), std::string::npos) << r.screen;
        size_t skipped = 0, delivered = 0;
        for (const auto &line : r.trace) skipped += line.rfind("exception 0xc0000096", 0) == 0 && line.find("continued") != std::string::npos;
        for (const auto &line : r.Calls("ProcessorRandom64")) delivered += line.find(") = 1") != std::string::npos;
        EXPECT_EQ(skipped, row.skipped);
        EXPECT_EQ(r.CountCalls("ProcessorRandom64"), row.draws);
        EXPECT_EQ(delivered, row.delivered);
    }
    if (!notRun.empty()) GTEST_SKIP() << "not on this host:" << notRun;
}

// Each derivation path, with each hash it serves, runs a whole boot: the
// stand-in hides what the processor has until the path is the fastest left
// (AVX2 only where the system saves the YMM state), the choice is in the
// trace, the driver opens the header, and the secret scan finds nothing left
// in the process's memory. A path this processor lacks cannot be reached by
// hiding: its rows are skipped, and the test says so.
TEST(WholeRun, EveryDerivationPathMountsAndLeavesNoSecret) {
    Machine m;
    const uint32_t here = DerivationPathsOfThisProcessor();
    const std::string sha = here & DERIVATION_PATH_SHA_EXTENSIONS ? "SHA-extensions " : "";
    struct Row {
        std::string features, hashes, chosen;
        uint32_t needs;
    };
    std::string missing;
    for (const Row &row : {Row{"no-sha", "rs", "AVX2 SSE2 Whirlpool", DERIVATION_PATH_AVX2},
                           Row{"no-avx2", "s", "SHA-extensions SSE2 Whirlpool", DERIVATION_PATH_SHA_EXTENSIONS},
                           Row{"no-ymm-state,no-sha", "rsw", "SSE2 Whirlpool", DERIVATION_PATH_SSE2 | DERIVATION_PATH_WHIRLPOOL},
                           Row{"no-ymm-state", "r", sha + "SSE2 Whirlpool", DERIVATION_PATH_SSE2},
                           Row{"no-osxsave,no-sha", "r", "SSE2 Whirlpool", DERIVATION_PATH_SSE2},
                           Row{"no-sse2,no-sha,no-avx", "rsw", "portable", 0}}) {
        if ((here & row.needs) != row.needs) {
            missing += " " + row.features;
            continue;
        }
        for (const char hash : row.hashes) {
            ProcessResult r = RunPelmar(m.folder.path(),
                                        {"--root", m.root.string(), "--time-scale", "0", "--secret-scan", "--cpu-features", row.features},
                                        {"pelmar", "A", std::string(1, hash)});
            SCOPED_TRACE(row.features + " " + hash);
            EXPECT_EQ(r.exitCode, 0) << r.errors;
            ASSERT_EQ(r.CountCalls("ProcessorNoteDerivationPaths"), 1u);
            EXPECT_NE(r.Calls("ProcessorNoteDerivationPaths")[0].find("(paths=\"" + row.chosen + "\")"), std::string::npos)
                << r.Calls("ProcessorNoteDerivationPaths")[0];
            EXPECT_EQ(r.CountCalls("ProcessorReadExtendedControl"), row.features.find("no-osxsave") == std::string::npos ? 1u : 0u);
            EXPECT_NE(r.screen.find("Restoring file system...\n"), std::string::npos) << r.screen;
            bool clean = false, derivation = false;  // the header key derivation's working values searched for too
            for (const auto &line : r.trace) clean |= line.rfind("secret scan: no secret left in process memory (", 0) == 0;
            for (const auto &line : r.trace) derivation |= line.rfind("secret scan searches for: the keyed outer hash state of", 0) == 0;
            EXPECT_TRUE(clean && derivation) << r.errors;
        }
    }
    if (!missing.empty()) GTEST_SKIP() << "rows for paths this processor lacks not run:" << missing;
}

TEST(WholeRun, MissingImageIsAnsweredByADismount) {
    Machine m;
    fs::remove(m.root / "c" / "pelmar.img");
    ProcessResult r = RunPelmar(m.folder.path(), {"--root", m.root.string(), "--time-scale", "0"}, {"pelmar"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.screen.find("Cannot create/open file \"\\??\\c:\\pelmar.img\" (0xc0000034)\n"), std::string::npos)
        << r.screen;
    EXPECT_NE(r.screen.find("Restoring file system...\n"), std::string::npos);
    EXPECT_EQ(r.CountCalls("NtWaitForSingleObject"), 1u);  // the pause after an error
    bool dismounted = false;
    for (const auto &line : r.Calls("NtDeviceIoControlFile"))
        if (line.find("code=0x0007200c") != std::string::npos) dismounted = true;
    EXPECT_TRUE(dismounted);
}

TEST(WholeRun, MissingContainerEndsBeforeAnyDriverCall) {
    Machine m;
    fs::remove(m.root / "c" / "pelmar.tc");
    ProcessResult r = RunPelmar(m.folder.path(), {"--root", m.root.string(), "--time-scale", "0"}, {"pelmar"});
    EXPECT_EQ(r.exitCode, 0);
    size_t first = r.screen.find("Cannot create/open file \"\\??\\c:\\pelmar.tc\" (0xc0000034)\n");
    ASSERT_NE(first, std::string::npos) << r.screen;
    EXPECT_NE(r.screen.find("Cannot create/open file \"\\??\\c:\\pelmar.tc\"", first + 1), std::string::npos);
    EXPECT_EQ(r.CountCalls("NtDeviceIoControlFile"), 0u);
    EXPECT_FALSE(fs::exists(m.root / "c" / "pelmar.tc"));  // never created
}

TEST(WholeRun, DriverOfAnotherVersionEndsAfterTheHeaderWrite) {
    Machine m;
    ProcessResult r = RunPelmar(m.folder.path(),
                                {"--root", m.root.string(), "--time-scale", "0", "--driver-version", "0x500"}, {"pelmar"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.screen.find("Unsupported TrueCrypt version (500)!\n"), std::string::npos) << r.screen;
    EXPECT_EQ(r.screen.find("Restoring"), std::string::npos);
}

}  // namespace
