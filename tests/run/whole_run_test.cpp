// Whole runs of the real executable under the stand-in: a container and an
// image made from a real FAT file system; after the run the exported drive
// must equal the file system byte for byte and pass fsck.fat.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "run/fat_image.h"
#include "run/process_runner.h"

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
// 0) by the handler the read registers; each reading is followed by 8 bytes
// of the hardware random source where there is one, with ten attempts when
// it keeps failing, and none where there is none.
TEST(WholeRun, FaultingTimeStampsAndTheHardwareRandomSource) {
    Machine m;
    const size_t rdrand = __builtin_cpu_supports("rdrnd") ? 6 : 0;
    struct Row {
        std::vector<std::string> options;
        size_t skipped, draws, delivered;
    };
    for (const Row &row : {Row{{"--time-stamp-faults", "--hardware-random", "fail"}, 6, 60, 0},
                           Row{{"--hardware-random", "none"}, 0, 0, 0}, Row{{"--hardware-random", "rdrand"}, 0, rdrand, rdrand}}) {
        std::vector<std::string> standIn = {"--root", m.root.string(), "--time-scale", "0"};
        standIn.insert(standIn.end(), row.options.begin(), row.options.end());
        ProcessResult r = RunPelmar(m.folder.path(), standIn, {"pelmar"});
        SCOPED_TRACE(row.options[0] + " " + row.options[1]);
        EXPECT_EQ(r.exitCode, 0) << r.errors;
        EXPECT_NE(r.screen.find("Restoring file system...\n"), std::string::npos) << r.screen;
        size_t skipped = 0, delivered = 0;
        for (const auto &line : r.trace) skipped += line.rfind("exception 0xc0000096", 0) == 0 && line.find("continued") != std::string::npos;
        for (const auto &line : r.Calls("ProcessorRandom64")) delivered += line.find(") = 1") != std::string::npos;
        EXPECT_EQ(skipped, row.skipped);
        EXPECT_EQ(r.CountCalls("ProcessorRandom64"), row.draws);
        EXPECT_EQ(delivered, row.delivered);
    }
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
