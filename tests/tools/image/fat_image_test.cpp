// A real FAT file system, made by mkfs.fat and filled by mtools, made into
// an image by pelmar-mkimage and restored onto a volume of noise: the volume
// must then pass fsck.fat and hold the file system byte for byte, except,
// for an image of the used sectors only, where it kept its noise. Such an
// image writes exactly what dosfstools counts as used: the sectors before
// the data area and the used clusters. Captured from a drive (a device
// double), the same file system gives the same image.
#include <gmock/gmock.h>

#include <cstring>

#include "support/restore_support.h"
#include "tests/tools/tool_support.h"
#include "tools/image/capture.h"
#include "tools/image/image_format.h"

namespace pelmar_test {
namespace {

using ::testing::HasSubstr;

constexpr uint64_t kVolumeBytes = 2 * 1024 * 1024;

using pelmar_tools::DriveDevice;

struct FatShape {
    uint32_t sectorSize;
    std::string options;  // pelmar-mkimage's
};

class FatFileSystem : public RestoreTest, public ::testing::WithParamInterface<FatShape> {
  protected:
    FatFileSystem() { diskSectorSize_ = GetParam().sectorSize; }
    std::string InitialDisk() override { return Noise(kVolumeBytes, 11); }

    void SetUp() override {
        RestoreTest::SetUp();
        mkfs_ = FindUtility("mkfs.fat");
        mcopy_ = FindUtility("mcopy");
        mtype_ = FindUtility("mtype");
        mmd_ = FindUtility("mmd");
        fsck_ = FindUtility("fsck.fat");
        if (mkfs_.empty() || mcopy_.empty() || mtype_.empty() || mmd_.empty() || fsck_.empty())
            GTEST_SKIP() << "dosfstools and mtools are needed (scripts/deps.sh installs them)";
    }

    // Runs a command that must succeed.
    void Must(const std::string &commandLine) {
        auto r = RunCommand(commandLine, RootDir());
        ASSERT_EQ(r.exitCode, 0) << commandLine << "\n" << r.output;
    }

    std::string mkfs_, mcopy_, mtype_, mmd_, fsck_;
};

TEST_P(FatFileSystem, RestoresTheFileSystemByteForByte) {
    const uint32_t s = GetParam().sectorSize;
    const bool everySector = !GetParam().options.empty();
    const fs::path raw = RootDir() / "fs.raw";
    WriteHostFile(raw, std::string(kVolumeBytes, '\0'));
    Must(Quote(mkfs_) + " -S " + std::to_string(s) + " -n PELMAR " + Quote(raw.string()));
    WriteHostFile(RootDir() / "hello.txt", "hello from the scratch drive\n");
    WriteHostFile(RootDir() / "noise.bin", Noise(300 * 1024 + 123, 5));
    const std::string mtools = "MTOOLS_SKIP_CHECK=1 ";
    Must(mtools + Quote(mmd_) + " -i " + Quote(raw.string()) + " ::/DIR");
    Must(mtools + Quote(mcopy_) + " -i " + Quote(raw.string()) + " " +
         Quote((RootDir() / "hello.txt").string()) + " ::/HELLO.TXT");
    Must(mtools + Quote(mcopy_) + " -i " + Quote(raw.string()) + " " +
         Quote((RootDir() / "noise.bin").string()) + " ::/DIR/NOISE.BIN");
    const std::string fileSystem = ReadHostFile(raw);
    ASSERT_EQ(fileSystem.size(), kVolumeBytes);

    auto made = MkImage(GetParam().options + " --sector-size " + std::to_string(s) + " " +
                            Quote(raw.string()) + " " + Quote(Host("pelmar.img").string()),
                        RootDir());
    ASSERT_EQ(made.exitCode, 0) << made.output;
    // Sparse: the image is far smaller than the volume.
    EXPECT_LT(fs::file_size(Host("pelmar.img")), kVolumeBytes / 2);

    ASSERT_EQ(RestoreFileSystem(context_.get()), 1);
    EXPECT_TRUE(NothingShown()) << Screen();
    EXPECT_TRUE(AllHandlesClosed());
    const std::string disk = Disk();
    for (size_t at = 0; at < kVolumeBytes; at += s)
        ASSERT_TRUE(disk.compare(at, s, fileSystem, at, s) == 0 ||
                    (!everySector && disk.compare(at, s, original_, at, s) == 0))
            << "sector " << at / s << " is neither the file system's nor left alone";
    // dosfstools' account of the file system: the data area's start, the
    // cluster size, the used clusters ("N files, USED/ALL clusters").
    const std::string counted = RunCommand(Quote(fsck_) + " -v -n " + Quote(raw.string()), RootDir()).output;
    auto number = [&](const std::string &text, bool after) -> uint64_t {
        size_t at = counted.find(text);
        if (at == std::string::npos) return 0;
        if (after) return std::stoull(counted.substr(at + text.size()));
        return std::stoull(counted.substr(counted.rfind('\n', at) + 1));
    };
    const uint64_t expected = everySector ? kVolumeBytes / s
                                          : (number("Data area starts at byte ", true) +
                                             number("files, ", true) * number(" bytes per cluster", false)) /
                                                s;
    EXPECT_THAT(made.output, HasSubstr("a restore writes " + std::to_string(expected) + " sectors"))
        << counted;

    auto check = RunCommand(Quote(fsck_) + " -n " + Quote(disk_.string()), RootDir());
    EXPECT_EQ(check.exitCode, 0) << check.output;
    auto hello =
        RunCommand(mtools + Quote(mtype_) + " -i " + Quote(disk_.string()) + " ::/HELLO.TXT", RootDir());
    EXPECT_EQ(hello.output, "hello from the scratch drive\n");
    auto noise = RunCommand(mtools + Quote(mcopy_) + " -i " + Quote(disk_.string()) + " ::/DIR/NOISE.BIN " +
                                Quote((RootDir() / "back.bin").string()),
                            RootDir());
    EXPECT_EQ(noise.exitCode, 0) << noise.output;
    EXPECT_TRUE(ReadHostFile(RootDir() / "back.bin") == Noise(300 * 1024 + 123, 5));

    auto expanded = InspectImage(
        "--expand " + Quote((RootDir() / "expanded.raw").string()) + " " + Quote(Host("pelmar.img").string()),
        RootDir());
    EXPECT_EQ(expanded.exitCode, 0) << expanded.output;
    EXPECT_THAT(expanded.output, HasSubstr("consistent"));
    EXPECT_TRUE(ReadHostFile(RootDir() / "expanded.raw") == fileSystem) << "the expansion differs";

    // Captured from a drive of 2 tracks of 4 sectors a cylinder: sized by
    // its geometry, read only in whole sectors while locked and dismounted,
    // the image is pelmar-mkimage's. A drive in use, and a file system that
    // claims more than its drive, are refused, and nothing is made.
    const uint64_t cylinders = kVolumeBytes / s / 8;
    struct Drive {
        DriveDevice::LockResult lock;
        uint64_t cylinders;
        std::string refusal;
    };
    for (const Drive &d :
         {Drive{DriveDevice::LockResult::Locked, cylinders, ""},
          Drive{DriveDevice::LockResult::InUse, cylinders, "Close the programs using T: ("},
          Drive{DriveDevice::LockResult::Locked, cylinders - 1,
                "claims " + std::to_string(kVolumeBytes) + " bytes, more than the drive's"}}) {
        DriveDouble drive(fileSystem + Noise(8 * s, 6), d.cylinders, s, d.lock);
        pelmar_tools::ImageRequest request;
        request.allSectors = everySector;
        const fs::path captured = RootDir() / "captured.img";
        pelmar_tools::OutputFile out(captured.string());
        pelmar_tools::ImageSummary summary;
        std::string note, error;
        const bool made = pelmar_tools::CaptureDrive(drive, request, out, summary, note, error);
        out.Abandon();
        EXPECT_EQ(made, d.refusal.empty()) << error;
        EXPECT_THAT(error, HasSubstr(d.refusal));
        EXPECT_EQ(drive.strayReads, 0);
        EXPECT_EQ(drive.events, d.lock == DriveDevice::LockResult::InUse ? "geometry lock "
                                                                         : "geometry lock dismount unlock ");
        EXPECT_EQ(fs::exists(captured), made);
        if (made) {
            EXPECT_TRUE(ReadHostFile(captured) == ReadHostFile(Host("pelmar.img"))) << "the capture differs";
        }
        for (const auto &entry : fs::directory_iterator(RootDir()))
            EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
        fs::remove(captured);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FatFileSystem,
                         ::testing::Values(FatShape{512, ""}, FatShape{4096, ""},
                                           FatShape{512, "--all-sectors"}),
                         [](const auto &info) {
                             return "Sector" + std::to_string(info.param.sectorSize) +
                                    (info.param.options.empty() ? "" : "AllSectors");
                         });

}  // namespace
}  // namespace pelmar_test
