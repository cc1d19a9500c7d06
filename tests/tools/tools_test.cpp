// pelmar-mkimage's encoding and its refusals, pelmar-image's checks, and
// the restore compared with pelmar-image --expand, the tool's own replay.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "support/ntfs_permissions.h"
#include "tests/tools/ntfs_reference.h"
#include "support/restore_support.h"
#include "tests/tools/tool_support.h"
#include "tools/pelmar-install/container_check.h"
#include "tools/image/capture.h"
#include "tools/image/image_volume.h"
#include "tools/pelmar-install/image_temp_check.h"
#include "tools/pelmar-install/install_boot_execute.h"
#include "tools/pelmar-install/install_checks.h"
#include "tools/pelmar-install/install_rights.h"
#include "tools/pelmar-install/paging_files.h"
#include "tools/platform/output_file.h"
#include "tools/fs/volume_layout.h"

namespace pelmar_test {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

uint64_t GetLE(const std::string &bytes, size_t at, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

struct ParsedImage {
    uint32_t magic, sectorSize;
    uint64_t entryCount, volumeSectors, dataOffset;
    std::vector<std::pair<uint16_t, uint64_t>> entries;  // up to the end entry
    std::string data;                                    // from the data offset on
};

ParsedImage Parse(const std::string &image) {
    ParsedImage p{};
    p.magic = static_cast<uint32_t>(GetLE(image, 0, 4));
    p.sectorSize = static_cast<uint32_t>(GetLE(image, 4, 2));
    p.entryCount = GetLE(image, 8, 8);
    p.volumeSectors = GetLE(image, 24, 8);
    p.dataOffset = GetLE(image, 32, 8);
    for (size_t at = p.sectorSize; at + 16 <= image.size(); at += 16) {
        uint16_t type = static_cast<uint16_t>(GetLE(image, at, 2));
        if (type == 0) break;
        p.entries.push_back({type, GetLE(image, at + 8, 8)});
    }
    p.data = image.substr(std::min<size_t>(p.dataOffset, image.size()));
    return p;
}

// What install reads of a container: the bytes of its sample ranges.
std::vector<uint8_t> ContainerSample(const std::string &file) {
    std::vector<uint8_t> sample;
    for (const auto &[at, length] : pelmar_tools::ContainerSampleRanges(file.size()))
        sample.insert(sample.end(), file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + length));
    return sample;
}

class MkImage : public RestoreTest {
  protected:
    fs::path Work(const std::string &name) { return RootDir() / name; }
    ParsedImage Make(const std::string &raw, const std::string &options = "") {
        WriteHostFile(Work("in.raw"), raw);
        auto r = pelmar_test::MkImage(options + " " + Quote(Work("in.raw")) + " " + Quote(Work("out.img")),
                                      RootDir());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        image_ = ReadHostFile(Work("out.img"));
        return Parse(image_);
    }
    std::string image_;
};

TEST_F(MkImage, EachSectorBecomesAFillARepeatOrADataSector) {
    const std::string A = Noise(512, 1), B = Noise(512, 2), C = Noise(512, 3), D = Noise(512, 4);
    const std::string Z = Filled(512, 0), F = Filled(512, 0xFF);
    ParsedImage p = Make(Z + Z + Z + A + A + B + C + F + F + Z + D);
    EXPECT_EQ(p.magic, kMagic);
    EXPECT_EQ(p.sectorSize, 512u);
    EXPECT_EQ(p.volumeSectors, 11u);
    std::vector<std::pair<uint16_t, uint64_t>> expected = {
        {0x0400, 0}, {0x0300, 2},       {0x0100, 3 * 512}, {0x0300, 1},       {0x0100, 5 * 512},
        {0x0200, 1}, {0x04FF, 7 * 512}, {0x0300, 1},       {0x0400, 9 * 512}, {0x0100, 10 * 512}};
    EXPECT_THAT(p.entries, ElementsAreArray(expected));
    EXPECT_EQ(p.entryCount, expected.size());
    // The entry stream fills whole sectors; the data stream follows it.
    EXPECT_EQ(p.dataOffset, 1024u);
    EXPECT_EQ(p.data, A + B + C + D);
    EXPECT_EQ(image_.size(), 1024u + 4 * 512);
}

TEST_F(MkImage, UniformInputsNeedOneOrTwoEntries) {
    ParsedImage p = Make(Filled(512, 0x5A));
    EXPECT_THAT(p.entries, ElementsAreArray(std::vector<std::pair<uint16_t, uint64_t>>{{0x045A, 0}}));
    EXPECT_EQ(p.entryCount, 1u);
    EXPECT_TRUE(p.data.empty());
    p = Make(Filled(8192 * 3, 0), "--sector-size 8192");
    EXPECT_EQ(p.sectorSize, 8192u);
    EXPECT_EQ(p.volumeSectors, 3u);
    EXPECT_EQ(p.dataOffset, 2 * 8192u);
    EXPECT_THAT(p.entries,
                ElementsAreArray(std::vector<std::pair<uint16_t, uint64_t>>{{0x0400, 0}, {0x0300, 2}}));
}

TEST_F(MkImage, ManyEntriesSpreadOverSeveralEntrySectors) {
    std::string raw;
    for (int i = 0; i < 100; ++i) raw += i % 2 ? Filled(1024, static_cast<uint8_t>(i)) : Noise(1024, i);
    ParsedImage p = Make(raw, "--sector-size 1024");
    EXPECT_EQ(p.entries.size(), 100u);
    EXPECT_EQ(p.dataOffset, 1024u + 2 * 1024u);  // 101 slots of 16 bytes: two 1024-byte sectors
    EXPECT_EQ(p.data.size(), 50u * 1024);
}

TEST_F(MkImage, BadInputIsRefusedAndLeavesNoOutput) {
    WriteHostFile(Work("out.img"), "old");
    WriteHostFile(Work("odd.raw"), std::string(1000, 'x'));
    WriteHostFile(Work("empty.raw"), "");
    WriteHostFile(Work("good.raw"), std::string(4096, 'x'));
    // A FAT12 volume whose cluster 3 points beyond the last cluster; it cut
    // short; an NTFS volume cut short.
    const std::string mkfs = FindUtility("mkfs.fat"), mkntfs = FindUtility("mkntfs");
    if (mkfs.empty() || mkntfs.empty()) GTEST_SKIP() << "dosfstools and ntfs-3g are needed";
    ASSERT_EQ(RunCommand(mkfs + " -C " + Quote(Work("chain.raw")) + " 2048", RootDir()).exitCode, 0);
    std::string fat = ReadHostFile(Work("chain.raw"));
    WriteHostFile(Work("fat.raw"), fat);
    WriteHostFile(Work("short.raw"), fat.substr(0, 1 << 20));
    fat[512 + 5] = '\xF0';  // cluster 3's entry: 0xF00
    WriteHostFile(Work("chain.raw"), fat);
    WriteHostFile(Work("ntfs.raw"), std::string(2 << 20, '\0'));
    ASSERT_EQ(RunCommand(mkntfs + " -F -Q -q " + Quote(Work("ntfs.raw")), RootDir()).exitCode, 0);
    const std::string ntfs = ReadHostFile(Work("ntfs.raw"));
    WriteHostFile(Work("ntfs.raw"), ntfs.substr(0, 1 << 20));
    // NTFS whose $Bitmap reads all zero, and one where only the MFT's first
    // cluster is marked free: a copy of its used clusters would lose them.
    const uint64_t mftCluster = GetLE(ntfs, 48, 8), clusters = GetLE(ntfs, 40, 8) / GetLE(ntfs, 13, 1);
    for (const char *name : {"nomap.raw", "nomft.raw"}) WriteHostFile(Work(name), ntfs);
    ASSERT_TRUE(MarkNtfsClustersFree(Work("nomap.raw"), 0, clusters));
    ASSERT_TRUE(MarkNtfsClustersFree(Work("nomft.raw"), mftCluster, 1));
    // FAT: a file of three clusters (2, 3, 4) whose chain runs into a bad
    // cluster, or into a free one; a FAT32 volume whose root directory's
    // cluster is free.
    const std::string mcopy = FindUtility("mcopy");
    if (mcopy.empty()) GTEST_SKIP() << "mtools is needed";
    ASSERT_EQ(RunCommand(mkfs + " -C " + Quote(Work("file.raw")) + " 2048", RootDir()).exitCode, 0);
    WriteHostFile(Work("three.bin"), Noise(5000, 7));
    ASSERT_EQ(RunCommand("MTOOLS_SKIP_CHECK=1 " + mcopy + " -i " + Quote(Work("file.raw")) + " " +
                             Quote(Work("three.bin")) + " ::/THREE.BIN",
                         RootDir()).exitCode, 0);
    fs::remove(Work("three.bin"));
    std::string file = ReadHostFile(Work("file.raw"));
    file[512 + 4] = static_cast<char>((file[512 + 4] & 0x0F) | 0x70), file[512 + 5] = '\xFF';  // 3: bad
    WriteHostFile(Work("bad.raw"), file);
    file[512 + 4] &= 0x0F, file[512 + 5] = 0;  // 3: free
    WriteHostFile(Work("file.raw"), file);
    ASSERT_EQ(RunCommand(mkfs + " -F 32 -s 1 -C " + Quote(Work("root.raw")) + " 40000", RootDir()).exitCode, 0);
    std::string root = ReadHostFile(Work("root.raw"));
    root.replace(GetLE(root, 14, 2) * 512 + 8, 4, 4, '\0');
    WriteHostFile(Work("root.raw"), root);
    struct Case {
        std::string arguments, words;
    } cases[] = {
        {Quote(Work("odd.raw")), "not a multiple of the sector size"},
        {"--sector-size 1024 " + Quote(Work("good.raw")) + "x", "cannot open"},
        {Quote(Work("empty.raw")), "empty"},
        {Quote(Work("missing.raw")), "cannot open"},
        {"--sector-size 768 " + Quote(Work("good.raw")), "unsupported sector size"},
        {"--sector-size abc " + Quote(Work("good.raw")), "unsupported sector size"},
        {"--sector-size 8192 " + Quote(Work("good.raw")), "not a multiple of the sector size"},
        {"--sector-size 4096 " + Quote(Work("fat.raw")), "has sectors of 512 bytes (its boot sector says so)"},
        {Quote(RootDir().string()), "not a file"},
        {Quote(Work("chain.raw")), "cluster 3 of the FAT points to 3840, outside the volume's clusters 2 to"},
        {Quote(Work("short.raw")), "the input holds only 1048576 bytes"},
        {Quote(Work("ntfs.raw")), "the input holds only 1048576 bytes"},
        {Quote(Work("nomap.raw")), "inconsistent NTFS file system: cluster 0 of $Boot is marked free in $Bitmap"},
        {Quote(Work("nomft.raw")), "cluster " + std::to_string(mftCluster) + " of $MFT is marked free in $Bitmap"},
        {Quote(Work("bad.raw")), "FAT file system: cluster 2 of the FAT points to cluster 3, which is marked bad"},
        {Quote(Work("file.raw")), "cluster 2 of the FAT points to cluster 3, which is free"},
        {Quote(Work("root.raw")), "the root directory's cluster 2 is free in the FAT"},
        {Quote(Work("fifo")), "is a FIFO"},  // refused at once: no writer ever comes
        {"/dev/zero", "is a character device"},
    };
    ASSERT_EQ(mkfifo(Work("fifo").c_str(), 0600), 0);
    for (const auto &c : cases) {
        auto r = pelmar_test::MkImage(c.arguments + " " + Quote(Work("out.img")), RootDir());
        EXPECT_NE(r.exitCode, 0) << c.arguments;
        EXPECT_THAT(r.output, HasSubstr(c.words)) << c.arguments;
        EXPECT_EQ(ReadHostFile(Work("out.img")), "old") << c.arguments;
    }
    for (const std::string &usage : {Quote(Work("good.raw")), Quote(Work("good.raw")) + " ''", std::string("--x"), std::string("--sector-size")}) {
        auto r = pelmar_test::MkImage(usage, RootDir());
        EXPECT_EQ(r.exitCode, 2) << usage;
        EXPECT_THAT(r.output, HasSubstr("usage")) << usage;
    }
    auto r = pelmar_test::MkImage("--help", RootDir());
    r = pelmar_test::MkImage(Quote(Work("good.raw")) + " " + Quote(Work("unknown.img")), RootDir());
    EXPECT_THAT(r.output,
                HasSubstr("note: " + Work("good.raw").string() + " holds no FAT or NTFS file system"));
    // An output folder that cannot take the file.
    r = pelmar_test::MkImage(Quote(Work("good.raw")) + " " + Quote(Work("no/such/dir.img")), RootDir());
    EXPECT_NE(r.exitCode, 0);
    // Outputs that would lose what is there: each refused and left as it was.
    fs::create_directories(Work("dir"));
    fs::create_hard_link(Work("good.raw"), Work("hard.raw"));
    fs::create_symlink("out.img", Work("link.img"));
    for (const auto &[output, words] : std::vector<std::pair<std::string, std::string>>{
             {Work("good.raw"), "is the input"},
             {Work("hard.raw"), "is the input"},
             {Work("dir"), "is a folder"},
             {Work("fifo"), "is a FIFO"},
             {"/dev/null", "is a device"},
             {Work("link.img"), "is a symbolic link; give --follow-symlink"}}) {
        r = pelmar_test::MkImage(Quote(Work("good.raw")) + " " + Quote(output), RootDir());
        EXPECT_EQ(r.exitCode, 1) << output;
        EXPECT_THAT(r.output, HasSubstr(words)) << output;
    }
    EXPECT_EQ(ReadHostFile(Work("good.raw")), std::string(4096, 'x'));
    EXPECT_TRUE(fs::is_empty(Work("dir")) && fs::is_fifo(Work("fifo")) && fs::is_character_file("/dev/null"));
    r = InspectImage("--expand " + Quote(Work("out.img")) + " " + Quote(Work("link.img")), RootDir());
    EXPECT_THAT(r.output, HasSubstr("is the input"));
    EXPECT_EQ(ReadHostFile(Work("out.img")), "old");
    // Asked for, the link's target is replaced and the link stays.
    r = pelmar_test::MkImage("--follow-symlink " + Quote(Work("good.raw")) + " " + Quote(Work("link.img")),
                             RootDir());
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(fs::is_symlink(Work("link.img")));
    EXPECT_EQ(Parse(ReadHostFile(Work("out.img"))).magic, 0x3519AFD0u);
    fs::remove(Work("link.img"));
    fs::remove(Work("hard.raw"));
    // A block device is read like the file it holds (where loop devices can be made).
    std::string loop = RunCommand("losetup -f --show " + Quote(Work("good.raw")), RootDir()).output;
    if (loop.rfind("/dev/loop", 0) == 0) {
        loop.pop_back();
        r = pelmar_test::MkImage(Quote(loop) + " " + Quote(Work("loop.img")), RootDir());
        RunCommand("losetup -d " + loop, RootDir());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_TRUE(ReadHostFile(Work("loop.img")) == ReadHostFile(Work("unknown.img")));
    }
    fs::remove(Work("loop.img"));
    fs::remove(Work("unknown.img"));
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(RootDir())) files += entry.is_regular_file();
    EXPECT_EQ(files, 14u) << "no temporary file stays behind";  // the disk, out.img and the twelve inputs
}

// Our own NTFS reader gives what libntfs-3g reads from the bitmap, on
// volumes of several sizes and cluster sizes (sparse files), and on volumes
// whose $MFT or $Bitmap lies in pieces: libntfs-3g grows the MFT into the
// one-cluster holes of a volume filled with small files and emptied every
// other one; $Bitmap, which nothing grows, is split by moving half of it.
TEST_F(MkImage, OurNtfsReaderReadsWhatLibntfs3gReads) {
    const std::string mkntfs = FindUtility("mkntfs");
    if (mkntfs.empty()) GTEST_SKIP() << "ntfs-3g is needed";
    struct Case {
        int mib, cluster, extraFiles;  // files made after scattering the free space (0: not scattered)
        bool split;
        int mftRuns;  // at least
    } cases[] = {{3, 512, 0, false, 1},      {16, 1024, 0, false, 1},    {40, 2048, 0, false, 1},
                 {64, 4096, 0, false, 1},    {100, 8192, 0, false, 1},   {160, 16384, 0, false, 1},
                 {200, 32768, 0, false, 1},  {300, 65536, 0, false, 1},  {4, 512, 300, true, 5},
                 {4, 4096, 300, false, 5},   {300, 4096, 0, true, 1},
                 // So many pieces that the MFT's record holds an attribute list and
                 // record 15 the rest of its runs.
                 {16, 1024, 3000, true, 250}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.mib) + " MiB, clusters of " + std::to_string(c.cluster));
        const std::string raw = Work("ntfs.raw").string();
        WriteHostFile(raw, "");
        fs::resize_file(raw, static_cast<uint64_t>(c.mib) << 20);
        const std::string options = " -F -Q -q -c " + std::to_string(c.cluster) + " ";
        ASSERT_EQ(RunCommand(mkntfs + options + Quote(raw), RootDir()).exitCode, 0);
        std::string error;
        ASSERT_TRUE(!c.split || SplitNtfsBitmap(raw, error)) << error;
        ASSERT_TRUE(!c.extraFiles || ScatterNtfsFreeSpace(raw, 100000, c.extraFiles, error)) << error;
        EXPECT_EQ(NtfsDataRuns(raw, 6), c.split ? 2 : 1);
        EXPECT_GE(NtfsDataRuns(raw, 0), c.mftRuns);
        NtfsAllocation expected;
        ASSERT_TRUE(ReadNtfsAllocation(raw, expected, error)) << error;
        auto volume = pelmar_tools::OpenVolumeFile(raw, error);
        ASSERT_TRUE(volume) << error;
        uint8_t boot[512];
        ASSERT_TRUE(volume->ReadAt(0, boot, sizeof boot, error));
        pelmar_tools::VolumeLayout layout;
        ASSERT_EQ(pelmar_tools::ReadNtfsLayout(*volume, boot, layout, error), pelmar_tools::Recognition::Recognised)
            << error;
        EXPECT_EQ(layout.clusterBytes, expected.clusterBytes);
        EXPECT_EQ(layout.clusters, expected.clusters);
        EXPECT_EQ(layout.usedClusters, expected.used);
        std::vector<std::pair<uint64_t, uint64_t>> used;
        for (const auto &r : layout.used) used.push_back({r.start, r.end});
        std::vector<std::pair<uint64_t, uint64_t>> want;
        for (const auto &[first, end] : expected.ranges) want.push_back({first * c.cluster, end * c.cluster});
        if (!want.empty() && want.back().second == expected.clusters * c.cluster)
            want.back().second = volume->Size();
        else
            want.push_back({expected.clusters * c.cluster, volume->Size()});
        EXPECT_EQ(used, want);
    }
}

// Several outputs go in place together: when one cannot, the old files are
// all back under their names (a name that was free is free again).
TEST_F(MkImage, OutputsCommittedTogetherLeaveTheOldSetWholeOnFailure) {
    using pelmar_tools::CommitTogether;
    using pelmar_tools::OutputFile;
    for (bool firstExisted : {true, false}) {
        SCOPED_TRACE(firstExisted);
        fs::remove_all(Work("set"));
        fs::create_directories(Work("set"));
        if (firstExisted) WriteHostFile(Work("set/a"), "old a");
        WriteHostFile(Work("set/b"), "old b");
        for (bool fail : {true, false}) {
            OutputFile a(Work("set/a")), b(Work("set/b"));
            std::string error;
            ASSERT_TRUE(a.Open(error) && b.Open(error)) << error;
            ASSERT_TRUE(a.WriteAt(0, "new a", 5, error) && b.WriteAt(0, "new b", 5, error));
            if (fail) fs::remove(b.temporaryPath());  // the second rename fails
            EXPECT_EQ(CommitTogether({&a, &b}, error), !fail) << error;
            std::vector<std::string> names;
            for (const auto &e : fs::directory_iterator(Work("set"))) names.push_back(e.path().filename());
            std::sort(names.begin(), names.end());
            if (fail) {
                EXPECT_THAT(error, HasSubstr("cannot rename"));
                EXPECT_EQ(fs::exists(Work("set/a")), firstExisted);
                EXPECT_EQ(firstExisted ? ReadHostFile(Work("set/a")) : "old a", "old a");
                EXPECT_EQ(ReadHostFile(Work("set/b")), "old b");
                EXPECT_EQ(names.size(), firstExisted ? 2u : 1u) << "nothing kept aside stays";
            } else {
                EXPECT_EQ(ReadHostFile(Work("set/a")) + ReadHostFile(Work("set/b")), "new anew b");
                EXPECT_THAT(names, ElementsAreArray({"a", "b"}));
            }
        }
    }
}

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

// A raw volume of every kind of sector in a reproducible mixture.
std::string MixedVolume(uint64_t sectors, uint32_t sectorSize, uint32_t seed) {
    std::string raw, last = Filled(sectorSize, 0);
    uint32_t x = seed;
    for (uint64_t i = 0; i < sectors; ++i) {
        x = x * 1103515245u + 12345u;
        std::string sector;
        switch ((x >> 16) % 5) {
            case 0:
                sector = Filled(sectorSize, 0);
                break;
            case 1:
                sector = Filled(sectorSize, static_cast<uint8_t>(x >> 8));
                break;
            case 2:
                sector = last;
                break;
            default:
                sector = Noise(sectorSize, x);
                break;
        }
        // A sector that differs from a fill in one byte only is data.
        if ((x >> 20) % 7 == 0) sector[sectorSize - 1] ^= 1;
        raw += sector;
        last = sector;
    }
    return raw;
}

TEST_F(MkImage, TheRestoredVolumeAndTheExpansionAreTheRawVolume) {
    std::string raw = MixedVolume(kDiskSectors, 512, 99);
    ParsedImage p = Make(raw);
    EXPECT_GT(p.entries.size(), 1000u);
    PutImage(image_);
    ASSERT_EQ(RestoreFileSystem(context_.get()), 1);
    EXPECT_TRUE(NothingShown());
    EXPECT_TRUE(Disk() == raw) << "restored volume differs";
    auto r =
        InspectImage("--expand " + Quote(Work("expanded.raw")) + " " + Quote(Host("pelmar.img")), RootDir());
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_THAT(r.output, HasSubstr("consistent"));
    EXPECT_THAT(r.output, HasSubstr("sectors written: 4096 (0 written more than once, 0 never written)"));
    EXPECT_TRUE(ReadHostFile(Work("expanded.raw")) == raw) << "expansion differs";
}

// pelmar-image on hand-made images; the disk starts out zero so that the
// expansion (whose unwritten sectors are zero) compares with it directly.
class ImageTool : public RestoreTest {
  protected:
    std::string InitialDisk() override { return Filled(kDiskSectors * 512, 0); }
    ToolResult Inspect(const ImageLayout &layout, const std::string &options = "") {
        WriteHostFile(RootDir() / "x.img", BuildImage(layout));
        // Bounded, so that a replay that walks a hostile count fails rather than hangs.
        return RunCommand("timeout 120 " + Quote(PELMAR_IMAGE) + " " + options + " " +
                              Quote((RootDir() / "x.img").string()),
                          RootDir());
    }
};

TEST_F(ImageTool, ShowsTheHeaderAndTheEntries) {
    ImageLayout layout;
    layout.entries = {{0x0400, 0}, {0x0300, 3},        {0x0100, 8 * 512},
                      {0x0200, 2}, {0x04FF, 20 * 512}, {0x0400, 0}};
    layout.data = {Noise(512, 1), Noise(512, 2), Noise(512, 3)};
    auto r = Inspect(layout);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_THAT(r.output, HasSubstr("magic:           0x3519afd0"));
    EXPECT_THAT(r.output, HasSubstr("sector size:     512"));
    EXPECT_THAT(r.output, HasSubstr("entry count:     6"));
    EXPECT_THAT(r.output, HasSubstr("volume size:     4096 sectors"));
    EXPECT_THAT(r.output, HasSubstr("data offset:     1024"));
    EXPECT_THAT(r.output, HasSubstr("0x0300 repeat run      1 entries, 3 sectors"));
    EXPECT_THAT(r.output, HasSubstr("0x0400 fill            3 entries, 3 sectors"));
    EXPECT_THAT(r.output, HasSubstr("data sectors:    3"));
    EXPECT_THAT(r.output, HasSubstr("sectors written: 9 (1 written more than once, 4088 never written)"));
    EXPECT_THAT(r.output, HasSubstr("note: 1 sector writes replace sectors the image wrote before"));
    EXPECT_THAT(r.output, HasSubstr("\nconsistent\n"));
    // Counts are computed, not walked: a run over 2^31 sectors, consistent.
    layout = {};
    layout.volumeSectors = 1ull << 31;
    layout.entries = {{0x0300, (1ull << 31) - 1}};
    r = Inspect(layout);
    EXPECT_THAT(r.output, HasSubstr("sectors written: 2147483647 (0 written more than once, 1 never written)"));
    EXPECT_THAT(r.output, Not(HasSubstr("note:")));
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

TEST_F(ImageTool, FindsWhatTheRestoreWouldRefuse) {
    struct Case {
        std::string name;
        ImageLayout layout;
        std::string words;
    };
    std::vector<Case> cases;
    auto add = [&](std::string name, std::string words, auto change) {
        ImageLayout layout;
        layout.entries = {{0x0100, 0}};
        layout.data = {Noise(512, 1)};
        change(layout);
        cases.push_back({std::move(name), layout, std::move(words)});
    };
    add("magic", "wrong magic", [](ImageLayout &s) { s.magic = 1; });
    add("sector size", "unsupported sector size", [](ImageLayout &s) { s.sectorSize = 768; });
    add("no entries", "entry count is 0", [](ImageLayout &s) { s.entryCount = 0; });
    add("no end", "entry stream ends", [](ImageLayout &s) {
        s.entries.assign(32, {0x0400, 0});
        s.endEntry = false;
        s.data.clear();
    });
    add("short data", "data stream ends", [](ImageLayout &s) { s.entries.push_back({0x0200, 2}); });
    add("outside", "outside the volume", [](ImageLayout &s) { s.entries.push_back({0x0400, 4096 * 512}); });
    add("run outside", "outside the volume", [](ImageLayout &s) { s.entries.push_back({0x0300, 4096}); });
    add("endless run", "repeat run of 18446744073709551615 sectors from byte 512 leaves the volume: a write at "
        "byte 9223372036854775296", [](ImageLayout &s) {
        s.volumeSectors = (1ull << 54) - 1;
        s.entries.push_back({0x0300, ~0ull});
    });
    add("unaligned", "not sector-aligned", [](ImageLayout &s) { s.entries.push_back({0x0400, 7}); });
    add("type", "invalid type 0x0500", [](ImageLayout &s) { s.entries.push_back({0x0500, 0}); });
    add("negative", "negative", [](ImageLayout &s) { s.entries.push_back({0x04FF, ~1ull}); });
    for (const auto &c : cases) {
        auto r = Inspect(c.layout, "--expand " + Quote((RootDir() / "never.raw").string()));
        EXPECT_EQ(r.exitCode, 1) << c.name << "\n" << r.output;
        EXPECT_THAT(r.output, HasSubstr("INCONSISTENT")) << c.name;
        EXPECT_THAT(r.output, HasSubstr(c.words)) << c.name << "\n" << r.output;
        EXPECT_FALSE(fs::exists(RootDir() / "never.raw")) << c.name;
    }
    WriteHostFile(RootDir() / "tiny.img", "abc");
    auto r = InspectImage(Quote((RootDir() / "tiny.img").string()), RootDir());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.output, HasSubstr("no complete header"));
    EXPECT_EQ(InspectImage("", RootDir()).exitCode, 2);
}

TEST_F(ImageTool, TheExpansionIsWhatTheRestoreWrites) {
    std::vector<ImageLayout> images(6);
    images[0].entries = {{0x0200, 1}, {0x0300, 2}};  // runs first: from the second sector on
    images[0].data = {Noise(512, 1)};
    images[1].entries = {{0x0300, 3}, {0x0433, 100 * 512}};  // a zero buffer before any read
    images[2].entries = {{0x0100, 10 * 512}, {0x0100, 10 * 512}, {0x0200, 1}, {0x04AB, 4095 * 512}};
    images[2].data = {Noise(512, 2), Noise(512, 3), Noise(512, 4)};
    for (int i = 0; i < 40; ++i)
        images[3].entries.push_back({static_cast<uint16_t>(0x0400 | i), i * 3 * 512ull});
    images[3].entries.push_back({0x0300, 5});
    images[4].entries = {{0x0100, 2048 * 512}, {0x0200, 2}, {0x0300, 2}, {0x0100, 0}};
    images[4].data = {Noise(512, 5), Noise(512, 6), Noise(512, 7), Noise(512, 8)};
    // Zero runs over sectors written before, and a data run over a fill's run.
    images[5].entries = {{0x0455, 0}, {0x0300, 10}, {0x0400, 5 * 512}, {0x0300, 3}, {0x0200, 1}, {0x0300, 6},
                         {0x0100, 2 * 512}, {0x0400, 0}, {0x0300, 2}};
    images[5].data = {Noise(512, 9), Noise(512, 10)};
    for (size_t k = 0; k < images.size(); ++k) {
        SCOPED_TRACE(k);
        FreshMachine(options());
        WriteHostFile(disk_, original_);
        ASSERT_EQ(NaInit(nullptr, 0, 16), 1);
        ASSERT_EQ(Restore(images[k]), 1);
        auto r = InspectImage(
            "--expand " + Quote((RootDir() / "e.raw").string()) + " " + Quote(Host("pelmar.img")), RootDir());
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_TRUE(ReadHostFile(RootDir() / "e.raw") == Disk());
        EXPECT_FALSE(ChangedSectors().empty());
    }
}

// pelmar-install's edit of BootExecute ('|' stands for the NUL after each
// line): its line goes after the last disk check, any Pelmar line before is
// gone, and taking it out again gives back the list it went into.
TEST(InstallBootExecute, OnePelmarLineAfterTheDiskCheckAndEveryOtherLineKept) {
    const struct { const char16_t *before, *after; } cases[] = {
        {u"autocheck autochk *|otherprog /x||", u"autocheck autochk *|pelmar A w|otherprog /x||"},
        {u"PELMAR.EXE T|autocheck autochk *||", u"autocheck autochk *|pelmar A w||"},
        {u"autocheck a|pelmar T|b|Pelmar S|c||", u"autocheck a|pelmar A w|b|c||"},
        {u"pelmarx 1|autocheck a|b|autocheck c|d||", u"pelmarx 1|autocheck a|b|autocheck c|pelmar A w|d||"},
        {u"otherprog||", u"pelmar A w|otherprog||"},
        {u"", u"pelmar A w||"},
        {u"autocheck autochk *", u"autocheck autochk *|pelmar A w|"},
        {u"autocheck pelmar S|\\SystemRoot\\System32\\PELMAR.exe T|autocheck autochk *||",
         u"autocheck autochk *|pelmar A w||"},
    };
    auto value = [](std::u16string text) {
        for (char16_t &c : text) c = c == u'|' ? u'\0' : c;
        return text;
    };
    for (const auto &c : cases) {
        const std::u16string before = value(c.before), after = pelmar_tools::WithPelmar(before, u"pelmar A w");
        EXPECT_EQ(after, value(c.after)) << std::string(before.begin(), before.end());
        EXPECT_EQ(pelmar_tools::WithPelmar(after, u"pelmar A w"), after);
        // A list as the system writes them (ended by an empty string), without Pelmar.
        if (before.ends_with(std::u16string(2, u'\0')) && before.find(u"elmar ") == std::u16string::npos &&
            before.find(u"ELMAR") == std::u16string::npos) {
            EXPECT_EQ(pelmar_tools::WithoutPelmar(after), before);
        }
    }
    // PagingFiles: the drive's line last and once, every other line kept, and
    // exactly that line out again.
    const struct { const char16_t *before, *after, *back; } paging[] = {
        {u"c:\\pagefile.sys 512 1024||", u"c:\\pagefile.sys 512 1024|T:\\pagefile.sys 256 1024||",
         u"c:\\pagefile.sys 512 1024||"},
        {u"", u"T:\\pagefile.sys 256 1024||", u"|"},
        {u"t:\\PAGEFILE.SYS 1 2|?:\\pagefile.sys||", u"t:\\PAGEFILE.SYS 1 2|?:\\pagefile.sys|T:\\pagefile.sys 256 1024||",
         u"t:\\PAGEFILE.SYS 1 2|?:\\pagefile.sys||"},
        {u"t:\\PAGEFILE.SYS 256 1024|c:\\p 1 2||", u"c:\\p 1 2|T:\\pagefile.sys 256 1024||", u"c:\\p 1 2||"},
    };
    for (const auto &c : paging) {
        const std::u16string line = u"T:\\pagefile.sys 256 1024";
        EXPECT_EQ(pelmar_tools::WithPagingLine(value(c.before), line), value(c.after));
        EXPECT_EQ(pelmar_tools::WithoutPagingLine(value(c.after), line), value(c.back));
    }
    // --pagefile on a letter that already has another's paging file.
    const struct { const char16_t *others; char16_t letter; bool refused; } foreign[] = {
        {u"C:\\pagefile.sys 1024 4096|D:\\pagefile.sys 4096 8192||", u'D', true},
        {u"C:\\pagefile.sys 1024 4096|D:\\pagefile.sys 4096 8192||", u'C', true},
        {u"C:\\pagefile.sys 1024 4096|D:\\pagefile.sys 4096 8192||", u'T', false},
        {u"\\??\\t:\\swap\\pf.sys 1 2||", u'T', true}, {u"?:\\pagefile.sys||", u'T', false}, {u"", u'T', false},
    };
    for (const auto &f : foreign) {
        EXPECT_EQ(pelmar_tools::ForeignPagingLineProblem(value(f.others), f.letter).empty(), !f.refused)
            << std::string(f.others, f.others + std::char_traits<char16_t>::length(f.others));
    }
    uint64_t least = 0, most = 0;
    EXPECT_TRUE(pelmar_tools::ParsePagingSizes("256-1024", least, most) && least == 256 && most == 1024);
    for (const char *bad : {"1024-256", "0-5", "256", "-5", "1-2-3", "1x-2", "1234567890-1234567891"})
        EXPECT_FALSE(pelmar_tools::ParsePagingSizes(bad, least, most)) << bad;
}

// What pelmar-install refuses before it changes anything: each row is a
// line's arguments (or a name) and whether it passes.
TEST(InstallChecks, ArgumentsPelmarWouldReadOtherwiseAndNamesTheBootWouldNotFind) {
    using W = std::vector<std::string>;
    const struct { W words; bool ok; } arguments[] = {
        {{}, true}, {{"A", "w", "1"}, true}, {{"TS", "r", "2000000", "t:"}, true}, {{"STA", "s", "-2001"}, true},
        {{"A", "w", "-1001", "Z"}, true}, {{"A", "s", "-2147483648"}, true}, {{"twofish"}, false}, {{"a"}, false},
        {{"A", "W"}, false}, {{"A", "sha256"}, false}, {{"A", "w", "1", "1"}, false}, {{"A", "w", "1", "TX"}, false},
        {{"A", "w", "1", "TU:"}, false},
        {{"A", "w", "abc"}, false}, {{"A", "w", "0"}, false}, {{"A", "w", "2000001"}, false},
        {{"A", "w", "99999999999"}, false}, {{"A", "w", "-99999999999"}, false}, {{"A", "s", "-2000"}, false},
        {{"A", "w", "+5"}, false}, {{"A", "w", "1", "T", "c:\\a", "c:\\b", "x"}, false},
    };
    for (const auto &a : arguments) {
        EXPECT_EQ(pelmar_tools::ArgumentProblem(a.words).empty(), a.ok) << testing::PrintToString(a.words);
    }
    const struct { const char16_t *path; bool ok; char16_t drive; } paths[] = {
        {u"c:\\pelmar.tc", true, u'C'}, {u"\\??\\d:\\sub\\pelmar.tc", true, u'D'}, {u"c:\\sub\\..\\pelmar.tc", false, u'C'},
        {u"c:\\.\\pelmar.tc", false, u'C'}, {u"c:\\sub/../pelmar.tc", false, u'C'}, {u"c:\\pelmar.tc.", false, u'C'},
        {u"c:\\pelmar.tc ", false, u'C'}, {u"c:\\\\pelmar.tc", false, u'C'}, {u"c:pelmar.tc", false, u'C'},
        {u"pelmar.tc", false, 0}, {u"\\\\?\\c:\\pelmar.tc", false, 0}, {u"c:\\pelmar.tc:x", false, u'C'},
        {u"c:\\sub\\", false, u'C'}, {u"\\DosDevices\\c:\\pelmar.tc", false, 0},
        {u"\\Device\\HarddiskVolume1\\pelmar.tc", false, 0}, {u"\\??\\UNC\\server\\share\\pelmar.tc", false, 0},
    };
    for (const auto &p : paths) {
        const std::u16string path = p.path;
        EXPECT_EQ(pelmar_tools::PathProblem(path).empty(), p.ok) << std::string(path.begin(), path.end());
        EXPECT_EQ(pelmar_tools::PathDrive(path), p.drive) << std::string(path.begin(), path.end());
    }
    EXPECT_THAT(pelmar_tools::PathProblem(u"\\DosDevices\\c:\\pelmar.tc"),
                HasSubstr("an NT path, which pelmar-install does not take: give the file as c:\\pelmar.tc"));
    // The command line as usage: help, or the bad word named.
    const struct { W words; bool help; const char *problem; } usage[] = {
        {{"install", "A", "w"}, false, ""}, {{"install", "/?"}, true, ""}, {{"-h"}, true, ""},
        {{"install", "--pagefile", "2-4", "--user-temp", "A"}, false, ""}, {{"--bogus"}, false, "--bogus"},
        {{"install", "--pagefile", "2-4", "--pagefile", "3-5"}, false, "--pagefile is given twice"},
        {{"install", "--slow-boot-ok", "A", "--slow-boot-ok"}, false, "--slow-boot-ok is given twice"},
        {{"install", "--pagefile", "big"}, false, "not \"big\""}, {{"install", "--pagefile"}, false, "not nothing"},
        {{"install", "--pagefiles"}, false, "unknown option --pagefiles"}, {{"status", "x"}, false, "\"x\" follows"},
        {{}, false, "no command"},
        {{"install", "--dumps", "none", "--keep-hibernation", "--keep-paging-plain", "A"}, false, ""},
        {{"install", "--dumps", "all"}, false, "small, none or keep, not \"all\""},
    };
    for (const auto &u : usage) {
        const pelmar_tools::UsageReading r = pelmar_tools::ReadUsage(u.words);
        EXPECT_EQ(r.help, u.help) << testing::PrintToString(u.words);
        EXPECT_TRUE(*u.problem ? r.problem.find(u.problem) != std::string::npos : r.problem.empty())
            << testing::PrintToString(u.words) << ": " << r.problem;
    }
}

// The container the boot overwrites at every start: refused when it is
// another file of worth or cannot hold the image's volume.
TEST(InstallChecks, ContainersTheBootWouldDestroyOrCouldNotUse) {
    pelmar_tools::InstallFiles fits;
    fits.containerSize = 512 + 100 * 512;
    const std::string noise = Noise(4096, 3);
    fits.containerSample.assign(noise.begin(), noise.end());
    fits.containerSample[0] = 'M';  // an MZ without a PE header is noise like any other
    fits.containerSample[1] = 'Z';
    fits.imageSectorSize = 512;
    fits.imageVolumeSectors = 100;
    EXPECT_EQ(pelmar_tools::ContainerProblem(fits), "");
    std::vector<pelmar_tools::InstallFiles> bad(9, fits);
    bad[0].containerIsImage = true;
    bad[1].containerIsProgram = true;
    bad[2].containerInWindows = true;
    bad[3].containerSample = {0xD0, 0xAF, 0x19, 0x35, 0, 0, 0, 0};
    bad[4].containerSample[0x3C] = 0x80, bad[4].containerSample[0x3D] = 0, bad[4].containerSample[0x3E] = 0;
    bad[4].containerSample[0x3F] = 0, std::memcpy(bad[4].containerSample.data() + 0x80, "PE\0\0", 4);
    bad[5].containerSize -= 1;
    bad[6].imageSectorSize = 4096;
    bad[7].containerIsInstaller = true;
    bad[8].containerLinks = 2;  // a second name may be the system's file or the image
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_NE(pelmar_tools::ContainerProblem(bad[i]), "") << i;

    // What a file holds: containers as they are made and as boots leave them
    // pass (a random header, ciphertext, never-written zeros or noise); a
    // known format's mark, a structured sector or bytes that are not random
    // together are someone's file.
    const size_t size = 512 + (3 << 20);
    const std::string zeros(size, '\0'), random = Noise(size, 11), text = [&] {
        std::string t;
        while (t.size() < size) t += "Minutes of the meeting, item " + std::to_string(t.size()) + ": agreed.\n";
        return t.substr(0, size);
    }();
    auto with = [](std::string file, size_t at, const std::string &part) { return file.replace(at, part.size(), part); };
    std::string booted = zeros, narrow = random;  // sectors the drive wrote, among zeros; 64 byte values
    for (size_t at = 0; at < size; at += 512 * 37) booted.replace(at, 2560, Noise(2560, static_cast<uint32_t>(at)));
    for (char &c : narrow) c = static_cast<char>(c & 0x3F);
    std::string fatBoot = Noise(512, 4);
    fatBoot[0] = '\xEB', fatBoot[2] = '\x90', fatBoot[11] = 0, fatBoot[12] = 2, fatBoot[510] = 0x55;
    fatBoot[511] = '\xAA';
    const struct { std::string file; const char *why; } contents[] = {
        {random, nullptr}, {zeros, nullptr}, {booted, nullptr}, {with(zeros, 0, random.substr(0, 512)), nullptr},
        {with(random, 0, std::string("PK\3\4", 4)), "a ZIP archive"},
        {with(random, 0, "7z\xBC\xAF\x27\x1C"), "a 7z archive"},
        {with(random, 0, std::string("\x1F\x8B\x08\0\0\0\0\0\0\x03", 10)), "a gzip stream"},
        {with(random, 0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"), "an OLE compound file"},
        {with(random, 0, "%PDF-1.4"), "a PDF document"},
        {with(random, 0, std::string("SQLite format 3\0", 16)), "an SQLite database"},
        {with(random, 0, "conectix"), "a VHD disk image"}, {with(random, 0, "vhdxfile"), "a VHDX disk image"},
        {with(random, 0, fatBoot), "a FAT file system"}, {with(random, 3, "NTFS    "), "an NTFS file system"},
        {with(text, 0, random.substr(0, 512)), "sector at byte 512 is neither all zeros nor random"},
        {with(zeros, size - 1024, text.substr(0, 512)), "is neither all zeros nor random"},
        {with(random, 40000, std::string(512, '\xFF')), "sector at byte 39936 is neither"},
        {narrow, "are not random together"},
    };
    for (const auto &c : contents) {
        const std::string problem = pelmar_tools::ContainerContentProblem(c.file.size(), ContainerSample(c.file));
        EXPECT_TRUE(c.why ? problem.find(c.why) != std::string::npos : problem.empty())
            << (c.why ? c.why : "accepted") << ": " << problem;
    }
    // --container-is-mine takes it, saying what the boot will do to it.
    pelmar_tools::InstallFiles mine = fits;
    mine.containerSample = ContainerSample(text.substr(0, fits.containerSize));
    EXPECT_THAT(pelmar_tools::ContainerProblem(mine), HasSubstr("neither all zeros nor random"));
    mine.containerIsMine = true;
    EXPECT_EQ(pelmar_tools::ContainerProblem(mine), "");
    EXPECT_THAT(pelmar_tools::ContainerIsMineLine(fits.containerSize, mine.containerSample),
                HasSubstr("new volume header over its first 512 bytes"));
    // The volume the driver presents: the container less its header, whole
    // sectors; any other size than the image's is refused with both.
    const uint64_t MiB = 1 << 20, volume = 8 * MiB / 512;
    EXPECT_EQ(pelmar_tools::ContainerSizeProblem(512 + 8 * MiB + 511, volume), "");
    EXPECT_THAT(pelmar_tools::ContainerSizeProblem(512 + 40 * MiB, volume),
                AllOf(HasSubstr("81920 sectors"), HasSubstr("16384 sectors"), HasSubstr("pelmar-prepare --size 8M")));
    for (uint64_t bytes : {512 + 8 * MiB - 1, 512 + 8 * MiB + 512, uint64_t{512}})
        EXPECT_NE(pelmar_tools::ContainerSizeProblem(bytes, volume), "") << bytes;
}

// pelmar.exe's digest ranges: a signed copy (certificate table appended,
// its entry and the checksum written) gives the same bytes as the build.
TEST(InstallChecks, AuthenticodeRangesLeaveOutWhatSigningChanges) {
    const std::string noise = Noise(4096, 5);
    std::vector<uint8_t> image(noise.begin(), noise.end());
    const uint32_t pe = 0x80, optional = pe + 24, entry = optional + 112 + 32;
    auto put32 = [&](std::vector<uint8_t> &b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); };
    image[0] = 'M', image[1] = 'Z';
    put32(image, 0x3C, pe);
    std::memcpy(image.data() + pe, "PE\0\0", 4);
    image[pe + 20] = 240, image[pe + 21] = 0;
    image[optional] = 0x0b, image[optional + 1] = 0x02;
    put32(image, optional + 108, 16);
    put32(image, entry, 0), put32(image, entry + 4, 0);
    auto covered = [](const std::vector<uint8_t> &file) {
        std::vector<pelmar_tools::FileRange> ranges;
        size_t padding = 0;
        std::string why;
        EXPECT_TRUE(pelmar_tools::AuthenticodeRanges(file, ranges, padding, why)) << why;
        std::vector<uint8_t> bytes;
        for (const auto &r : ranges) bytes.insert(bytes.end(), file.begin() + r.first, file.begin() + r.first + r.second);
        bytes.resize(bytes.size() + padding);
        return bytes;
    };
    std::vector<uint8_t> signed_ = image;
    put32(signed_, optional + 64, 0x12345), put32(signed_, entry, 4096), put32(signed_, entry + 4, 600);
    signed_.resize(4096 + 600, 0xEE);
    EXPECT_EQ(covered(signed_), covered(image));
    std::vector<uint8_t> tampered = image;
    tampered[3000] ^= 1;
    EXPECT_NE(covered(tampered), covered(image));
    image.resize(4093);  // an unsigned length that is no multiple of eight is padded with zeros
    EXPECT_EQ(covered(image).size(), 4096u - 8 - 4);
}

// The folders on the way to a trusted file, as a platform double reports
// them (Wine does not check file permissions): only SYSTEM, the
// administrators and the system's installer may delete, rename or re-permit
// what they hold.
TEST(InstallRights, FoldersOthersCouldUseToReplaceOrRedirectATrustedFile) {
    using pelmar_tools::AccessEntry;
    using pelmar_tools::Trustee;
    pelmar_tools::ObjectRights root{"C:\\", false, true, Trustee::TrustedInstaller, "TrustedInstaller", {}};
    // C:\ as Windows sets it up: users read and create folders; what they
    // create is theirs (CREATOR OWNER, inherited only); Modify for
    // authenticated users on what is below.
    root.entries = {{true, Trustee::Administrators, "Administrators", 0x1F01FF, false},
                    {true, Trustee::System, "SYSTEM", 0x1F01FF, false},
                    {true, Trustee::Other, "Users", 0x1200A9, false},
                    {true, Trustee::Other, "Authenticated Users", 0x4, false},
                    {true, Trustee::Other, "Authenticated Users", 0x1301BF, true},
                    {true, Trustee::CreatorOwner, "CREATOR OWNER", 0x10000000, true}};
    EXPECT_EQ(pelmar_tools::FolderProblem(root), "");
    std::vector<pelmar_tools::ObjectRights> bad(5, root);
    bad[0].reparsePoint = true;
    bad[1].hasDacl = false;
    bad[2].owner = Trustee::Other;
    bad[3].entries[4].inheritOnly = false;  // a folder made in C:\ by an administrator: Modify inherited
    bad[4].entries.push_back({true, Trustee::Other, "Users", 0x40, false});  // delete what it holds
    for (size_t i = 0; i < bad.size(); ++i) EXPECT_NE(pelmar_tools::FolderProblem(bad[i]), "") << i;

    pelmar_tools::ObjectRights file{"C:\\pelmar.tc", false, true, Trustee::Administrators, "Administrators", {}};
    file.entries = {root.entries[0], root.entries[1], {false, Trustee::Other, "Guests", 0x1F01FF, false}};
    EXPECT_EQ(pelmar_tools::ProtectionProblem(file, false), "");
    EXPECT_NE(pelmar_tools::ProtectionProblem(file, true), "");
    file.entries.push_back(root.entries[2]);
    EXPECT_NE(pelmar_tools::ProtectionProblem(file, false), "");
}

}  // namespace
}  // namespace pelmar_test
