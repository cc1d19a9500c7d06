// pelmar-mkimage's encoding and its refusals, the capture, pelmar-image's checks, and
// the restore compared with pelmar-image --expand, the tool's own replay.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>


#include "tests/tools/fs/ntfs_reference.h"
#include "support/restore_support.h"
#include "tests/tools/image_support.h"
#include "tests/tools/tool_support.h"

namespace pelmar_test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

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

}  // namespace
}  // namespace pelmar_test
