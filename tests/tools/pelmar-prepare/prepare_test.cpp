// pelmar-prepare: what it refuses before writing, what it leaves when stopped, and the
// NTFS volumes it makes, with Windows' permissions and new noise.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "support/ntfs_permissions.h"
#include "tests/tools/image_support.h"
#include "tests/tools/tool_support.h"
#include "tools/pelmar-install/container_check.h"
#include "tools/image/capture.h"
#include "tools/image/image_volume.h"
#include "tools/pelmar-install/image_temp_check.h"
#include "tools/platform/output_file.h"

namespace pelmar_test {
namespace {

using ::testing::HasSubstr;

// The words of a message, where each <n> stands for a figure that depends on
// the versions of mkfs.fat and mkntfs (the free space of a new volume).
::testing::Matcher<std::string> SaysWithFigures(const std::string &words) {
    std::string pattern;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words.compare(i, 3, "<n>") == 0) {
            pattern += "[0-9]+";
            i += 2;
        } else {
            if (std::strchr("\\^$.|?*+()[]{}", words[i])) pattern += '\\';
            pattern += words[i];
        }
    }
    return ::testing::ContainsRegex(pattern);
}

// pelmar-prepare refuses what it cannot make before it writes anything, and
// an interrupted run leaves nothing behind in the output folder.
TEST_F(MkImage, PrepareRefusesBeforeWritingAndLeavesNothingWhenStopped) {
    const fs::path out = Work("out");
    fs::create_directories(out);
    WriteHostFile(Work("f"), "file");
    WriteHostFile(Work("big"), std::string(5 << 20, 'b'));
    const std::string f = Quote(Work("f").string()), o = " " + Quote(out.string());
    std::string e256;  // counted in characters, not in the 512 bytes of their UTF-8
    for (int i = 0; i < 256; ++i) e256 += "é";
    const std::string big = "--copy " + f + ":/small --copy " + Quote(Work("big").string()) + ":/BIG";
    for (const auto &[arguments, words] : std::vector<std::pair<std::string, std::string>>{
             {"--size 1000 --fs fat16" + o, "not a whole number of 512-byte sectors"},
             {"--size 16M --fs fat32" + o, "too small for fat32"},
             {"--size 300M --fs fat12" + o, "too large for fat12"},
             {"--size 900000G --fs ntfs" + o, "MiB free; the container and image need"},
             {"--size 4M --fs ext4" + o, "expected ntfs, fat32, fat16 or fat12"},
             {"--size 4M --fs ntfs --copy " + Quote(Work("none").string() + ":/x") + o,
              "cannot read the file"},
             {"--size 4M --fs ntfs --mkdir /A --copy " + f + ":/a" + o, "/A is a folder already"},
             {"--size 4M --fs ntfs --copy " + f + ":/x\\|y" + o, "\"x|y\" holds the character |, which"},
             {"--size 4M --fs ntfs --mkdir '/T/Con .txt'" + o, "\"Con .txt\" is a device name Windows reserves"},
             {"--size 4M --fs fat12 --mkdir /lpt¹" + o, "\"lpt¹\" is a device name Windows reserves"},
             {"--size 4M --fs fat12 --mkdir /" + e256 + o, "is 256 characters (UTF-16 units) long; a name holds"},
             {"--size 4M --fs fat12 --label ÉÉÉÉÉÉ" + o, "holds É, a character beyond ASCII"},
             {"--size 4M --fs fat12 --label A.B" + o, "--label \"A.B\" holds the character ., which a FAT label"},
             {"--size 4M --fs ntfs --label " + e256.substr(0, 66) + o, "has 33 characters (UTF-16 units); an NTFS"},
             {"--size 1T --fs fat16" + o, "--size 1T is too large for fat16"},
             {"--size 4M --fs fat12 " + big + o, "--copy " + Work("big").string() + ":/BIG: the file does not fit "
              "on the volume: its 5242880 bytes take 5242880 bytes in clusters of 2048, and the new FAT12 "
              "volume has <n> bytes free, 2048 of them taken by the files before it"},
             {"--size 4M --fs ntfs " + big + o, "its 5242880 bytes take 5242880 bytes in clusters of 4096, and "
              "the new NTFS volume has <n> bytes free\n"},
             {"--size 4M --fs ntfs " + Quote(Work("none").string()), "none does not exist"},
             {"--size 4M --fs ntfs " + f, "is not a folder"},
             {"--size 4M --fs fat12 --temp-dir /T" + o, "a FAT drive has no permissions"},
             {"--size 4M --fs ntfs --mkdir /T/U --temp-dir /T" + o,
              "/T is made already by an earlier option"},
             {"--size 4M --fs ntfs --user-temp S-1-5-21-1-2-3-4" + o, "needs exactly one --temp-dir"},
             {"--size 4M --fs ntfs --temp-dir /T --user-temp S-1-5-32-545" + o, "expected a user's SID"},
             {"--size 4M --fs ntfs /proc/self", "cannot write into /proc/self"}}) {
        auto r = Prepare(arguments, RootDir());
        EXPECT_EQ(r.exitCode, 1) << arguments;
        EXPECT_THAT(r.output, SaysWithFigures(words)) << arguments;
        EXPECT_TRUE(fs::is_empty(out)) << arguments;
    }
    // A tool that fails without a word, and a container the disk cannot
    // take: the message says why, on a line of its own after the progress.
    const fs::path quiet = Work("quiet");
    fs::create_directories(quiet);
    WriteHostFile(quiet / "mmd", "#!/bin/sh\nexit 3\n");
    fs::permissions(quiet / "mmd", fs::perms::owner_all);
    for (const auto &[command, words] : std::vector<std::pair<std::string, std::string>>{
             {"PATH=" + Quote(quiet.string()) + ":$PATH ", "cannot make the folder /A on the FAT volume: mmd "
                                                           "failed: it ended with status 3 and said nothing"},
             {"ulimit -f 131072; trap '' XFSZ; ", "64 MiB (6%)\npelmar-prepare: cannot write"}}) {
        auto r = RunCommand(command + Quote(PELMAR_PREPARE) + " --size 64M --fs fat16 --mkdir /A" + o, RootDir());
        EXPECT_EQ(r.exitCode, 1) << command;
        EXPECT_THAT(r.output, HasSubstr(words)) << command;
        EXPECT_TRUE(fs::is_empty(out)) << command;
    }
    // An old image beside a container that cannot be replaced stays whole.
    WriteHostFile(out / "pelmar.img", "old image");
    fs::create_directories(out / "pelmar.tc" / "x");
    auto r = Prepare("--size 16M --fs fat16" + o, RootDir());
    EXPECT_THAT(r.output, HasSubstr("pelmar.tc is a folder"));
    EXPECT_TRUE(ReadHostFile(out / "pelmar.img") == "old image");
    fs::remove_all(out / "pelmar.tc");
    fs::create_symlink("pelmar.img", out / "pelmar.tc");
    EXPECT_THAT(Prepare("--size 16M --fs fat16" + o, RootDir()).output, HasSubstr("is a symbolic link"));
    fs::remove(out / "pelmar.tc");
    // A container name taken by a folder while the noise is written: the
    // commit fails, and the old image is still there, whole.
    pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        freopen((RootDir() / "prepare.txt").c_str(), "w", stderr);
        execl(PELMAR_PREPARE, PELMAR_PREPARE, "--size", "512M", "--fs", "fat32", out.c_str(), nullptr);
        _exit(127);
    }
    // The tool is held while the folder is made, so that it cannot commit
    // in between, however fast it writes.
    auto writing = [&](const std::string &prefix) {
        for (const auto &e : fs::directory_iterator(out))
            if (e.path().filename().string().rfind(prefix, 0) == 0) return true;
        return false;
    };
    for (int i = 0; i < 20000 && !writing("pelmar.tc.part"); ++i) usleep(1000);
    kill(pid, SIGSTOP);
    EXPECT_TRUE(writing("pelmar.tc.part"));
    fs::create_directories(out / "pelmar.tc/x");
    kill(pid, SIGCONT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_THAT(ReadHostFile(RootDir() / "prepare.txt"), HasSubstr("pelmar.tc is a folder"));
    EXPECT_TRUE(ReadHostFile(out / "pelmar.img") == "old image");
    fs::remove_all(out / "pelmar.tc");
    fs::remove(out / "pelmar.img");
    EXPECT_TRUE(fs::is_empty(out)) << "nothing kept aside or half-made stays";
    // Each tool stopped by each stop signal while it writes leaves nothing.
    std::string volume(64 << 20, 'x');  // every sector data, for long enough runs
    for (size_t k = 0; k < volume.size(); k += 512) std::memcpy(&volume[k], &k, sizeof k);
    WriteHostFile(Work("big.raw"), volume);
    ASSERT_EQ(pelmar_test::MkImage(Quote(Work("big.raw")) + " " + Quote(Work("big.img")), RootDir()).exitCode, 0);
    const std::vector<std::vector<std::string>> commands = {
        {PELMAR_PREPARE, "--size", "1G", "--fs", "fat32", out.string()},
        {PELMAR_MKIMAGE, Work("big.raw").string(), (out / "x.img").string()},
        {PELMAR_IMAGE, "--expand", (out / "x.raw").string(), Work("big.img").string()}};
    for (const auto &command : commands) {
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
            SCOPED_TRACE(command[0] + " " + strsignal(signal));
            pid = fork();
            if (pid == 0) {
                for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) ::signal(s, SIG_DFL);
                freopen("/dev/null", "w", stderr);
                freopen("/dev/null", "w", stdout);
                std::vector<char *> argv;
                for (const auto &word : command) argv.push_back(const_cast<char *>(word.c_str()));
                argv.push_back(nullptr);
                execv(argv[0], argv.data());
                _exit(127);
            }
            // Held as soon as it writes, the tool meets the signal while it
            // writes, however fast it is.
            auto started = [&] {
                for (const auto &e : fs::directory_iterator(out))
                    if (e.path().filename().string().find(".part") != std::string::npos) return true;
                return false;
            };
            for (int i = 0; i < 20000 && !started(); ++i) usleep(1000);
            kill(pid, SIGSTOP);
            EXPECT_TRUE(started());
            kill(pid, signal);
            kill(pid, SIGCONT);
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal);
            EXPECT_TRUE(fs::is_empty(out));
            for (const auto &e : fs::directory_iterator(out)) fs::remove_all(e.path());
        }
    }
}

// An NTFS volume's descriptors as Windows would have them, read back through
// libntfs-3g and through ntfssecaudit; and the container's noise is new noise
// on every run: each byte value about equally often, two runs unalike.
TEST_F(MkImage, PreparedNtfsVolumesCarryWindowsPermissionsAndNewNoise) {
    const fs::path out = Work("out"), again = Work("again"), raw = Work("v.raw");
    fs::create_directories(out);
    fs::create_directories(again);
    WriteHostFile(Work("f"), "file");
    const std::string f = Quote(Work("f").string());
    for (const fs::path &dir : {out, again}) {
        // The second with a \Temp of the root's inherited permissions.
        const std::string temp = dir == out ? "--temp-dir /Temp --user-temp " + kUserSid : "--mkdir /Temp";
        auto r = Prepare("--size 4M --fs ntfs --mkdir /Docs/Sub " + temp + " --copy " + f + ":/Docs/a.txt --copy " +
                             f + ":/Temp/t.txt " + Quote(dir.string()),
                         RootDir());
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
    auto r = InspectImage("--expand " + Quote(raw.string()) + " " + Quote((out / "pelmar.img").string()),
                          RootDir());
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const bool audit = !FindUtility("ntfssecaudit").empty();
    for (const auto &[path, sddl] : std::vector<std::pair<std::string, std::string>>{
             {"/", kRootSddl}, {"/Docs", kFolderSddl}, {"/Docs/Sub", kSubfolderSddl}, {"/Docs/a.txt", kFileSddl},
             {"/Temp", kTempSddl}, {"/Temp/t.txt", kTempFileSddl}, {"/Temp/" + kUserSid, kUserFolderSddl}}) {
        std::string error;
        EXPECT_EQ(ReadSddl(raw.string(), path, error), sddl) << path << ": " << error;
        if (audit) {
            EXPECT_EQ(AuditedSddl(raw.string(), path), sddl) << path;
            // No folder a user could redirect, but the one user's own.
            const bool own = path == "/Temp/" + kUserSid;
            EXPECT_EQ(OthersWhoMayRedirect(AuditedBytes(raw.string(), path)),
                      own ? std::vector<std::string>{kUserSid} : std::vector<std::string>{}) << path;
        }
    }
    // The image's volume read as the restore leaves it: the raw volume byte
    // for byte, holding the parent the service's options need but not
    // SYSTEM's folder, which --system-temp needs too.
    std::string error;
    auto image = pelmar_tools::OpenVolumeFile((out / "pelmar.img").string(), error);
    auto restored = image ? pelmar_tools::ReplayedVolume(*image, error) : nullptr;
    ASSERT_TRUE(restored) << error;
    std::string bytes(restored->Size(), '\0');
    ASSERT_TRUE(restored->ReadAt(0, reinterpret_cast<uint8_t *>(bytes.data()), bytes.size(), error)) << error;
    EXPECT_TRUE(bytes == ReadHostFile(raw));
    EXPECT_EQ(pelmar_tools::TempFoldersProblem(*restored, true, false), "");
    auto otherImage = pelmar_tools::OpenVolumeFile((again / "pelmar.img").string(), error);
    auto otherRestored = otherImage ? pelmar_tools::ReplayedVolume(*otherImage, error) : nullptr;
    ASSERT_TRUE(otherRestored) << error;
    EXPECT_THAT(pelmar_tools::TempFoldersProblem(*otherRestored, true, false),
                testing::HasSubstr("has \\Temp with other permissions than the service gives it"));
    EXPECT_THAT(pelmar_tools::TempFoldersProblem(*restored, false, true),
                testing::HasSubstr("holds no \\Temp\\S-1-5-18, so at boot the first account to make it there would "
                                   "own it; make the image with pelmar-prepare --temp-dir /Temp --user-temp S-1-5-18"));
    // A capture of such a drive: the one user's own folder is the one to
    // name, with the entry that lets that user redirect it.
    std::vector<std::string> lines;
    auto volume = pelmar_tools::OpenVolumeFile(raw.string(), error);
    ASSERT_TRUE(volume && pelmar_tools::UserRedirectableFolders(*volume, lines, error)) << error;
    const std::string named = "\\Temp\\" + kUserSid + ": " + kUserSid + " may 0x1f01ff";
    EXPECT_EQ(lines, (std::vector<std::string>{"\\Temp\\" + kUserSid + ": owned by " + kUserSid +
                                                   ", who may give themselves any right",
                                               named}));
    for (bool allowed : {false, true}) {
        DriveDouble drive(ReadHostFile(raw), (4 << 20) / 512 / 8, 512, pelmar_tools::DriveDevice::LockResult::Locked);
        pelmar_tools::ImageRequest request;
        request.allowUserWritableFolders = allowed;
        pelmar_tools::OutputFile captured(Work("captured.img").string());
        pelmar_tools::ImageSummary summary;
        std::string note;
        EXPECT_EQ(pelmar_tools::CaptureDrive(drive, request, captured, summary, note, error), allowed) << error;
        EXPECT_THAT(allowed ? note : error, testing::HasSubstr(named)) << allowed;
    }
    const std::string noise = ReadHostFile(out / "pelmar.tc"), other = ReadHostFile(again / "pelmar.tc");
    ASSERT_EQ(noise.size(), 512u + (4 << 20));
    std::vector<size_t> counts(256);
    for (char c : noise) ++counts[static_cast<uint8_t>(c)];
    for (size_t count : counts) EXPECT_NEAR(count, noise.size() / 256.0, noise.size() / 256.0 * 0.05);
    EXPECT_EQ(pelmar_tools::ContainerContentProblem(noise.size(), ContainerSample(noise)), "");
    EXPECT_TRUE(noise.substr(0, 4096) != other.substr(0, 4096)) << "the same noise twice";
    EXPECT_TRUE(noise.substr(noise.size() - 4096) != other.substr(other.size() - 4096))
        << "the same noise twice";
}

}  // namespace
}  // namespace pelmar_test
