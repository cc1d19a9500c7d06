// pelmar-mkimage's encoding and its refusals, pelmar-image's checks, and
// the restore compared with pelmar-image --expand, the tool's own replay.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "restore/restore_support.h"
#include "restore/tool_support.h"
#include "tools/install_boot_execute.h"

namespace pelmar_test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

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
    WriteHostFile(Work("short.raw"), fat.substr(0, 1 << 20));
    fat[512 + 5] = '\xF0';  // cluster 3's entry: 0xF00
    WriteHostFile(Work("chain.raw"), fat);
    WriteHostFile(Work("ntfs.raw"), std::string(2 << 20, '\0'));
    ASSERT_EQ(RunCommand(mkntfs + " -F -Q -q " + Quote(Work("ntfs.raw")), RootDir()).exitCode, 0);
    WriteHostFile(Work("ntfs.raw"), ReadHostFile(Work("ntfs.raw")).substr(0, 1 << 20));
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
        {Quote(RootDir().string()), "not a file"},
        {Quote(Work("chain.raw")), "cluster 3 of the FAT points to 3840, outside the volume's clusters 2 to"},
        {Quote(Work("short.raw")), "the input holds only 1048576 bytes"},
        {Quote(Work("ntfs.raw")), "the input holds only 1048576 bytes"},
    };
    for (const auto &c : cases) {
        auto r = pelmar_test::MkImage(c.arguments + " " + Quote(Work("out.img")), RootDir());
        EXPECT_NE(r.exitCode, 0) << c.arguments;
        EXPECT_THAT(r.output, HasSubstr(c.words)) << c.arguments;
        EXPECT_EQ(ReadHostFile(Work("out.img")), "old") << c.arguments;
    }
    auto r = pelmar_test::MkImage(Quote(Work("good.raw")), RootDir());
    EXPECT_NE(r.exitCode, 0);
    EXPECT_THAT(r.output, HasSubstr("usage"));
    r = pelmar_test::MkImage(Quote(Work("good.raw")) + " " + Quote(Work("unknown.img")), RootDir());
    EXPECT_THAT(r.output,
                HasSubstr("note: " + Work("good.raw").string() + " holds no FAT or NTFS file system"));
    fs::remove(Work("unknown.img"));
    // An output folder that cannot take the file.
    r = pelmar_test::MkImage(Quote(Work("good.raw")) + " " + Quote(Work("no/such/dir.img")), RootDir());
    EXPECT_NE(r.exitCode, 0);
    size_t files = 0;
    for (const auto &entry : fs::directory_iterator(RootDir())) files += entry.is_regular_file();
    EXPECT_EQ(files, 8u) << "no temporary file stays behind";  // the disk, out.img and the six inputs
}

// pelmar-prepare refuses what it cannot make before it writes anything, and
// an interrupted run leaves nothing behind in the output folder.
TEST_F(MkImage, PrepareRefusesBeforeWritingAndLeavesNothingWhenStopped) {
    const fs::path out = Work("out");
    fs::create_directories(out);
    WriteHostFile(Work("f"), "file");
    const std::string f = Quote(Work("f").string()), o = " " + Quote(out.string());
    for (const auto &[arguments, words] : std::vector<std::pair<std::string, std::string>>{
             {"--size 1000 --fs fat16" + o, "not a whole number of 512-byte sectors"},
             {"--size 16M --fs fat32" + o, "too small for fat32"},
             {"--size 300M --fs fat12" + o, "too large for fat12"},
             {"--size 900000G --fs ntfs" + o, "MiB free; the container and image need"},
             {"--size 4M --fs ext4" + o, "expected ntfs, fat32, fat16 or fat12"},
             {"--size 4M --fs ntfs --copy " + Quote(Work("none").string() + ":/x") + o,
              "cannot read the file"},
             {"--size 4M --fs ntfs --mkdir /A --copy " + f + ":/a" + o, "/a is a folder already"},
             {"--size 4M --fs ntfs --copy " + f + ":/x\\|y" + o, "not a path Windows accepts"},
             {"--size 4M --fs ntfs " + f, "is not a folder"},
             {"--size 4M --fs ntfs /proc/self", "cannot write into /proc/self"}}) {
        auto r = Prepare(arguments, RootDir());
        EXPECT_EQ(r.exitCode, 1) << arguments;
        EXPECT_THAT(r.output, HasSubstr(words)) << arguments;
        EXPECT_TRUE(fs::is_empty(out)) << arguments;
    }
    // Stopped while the container's noise is written.
    pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stderr);
        execl(PELMAR_PREPARE, PELMAR_PREPARE, "--size", "1G", "--fs", "fat32", out.c_str(), nullptr);
        _exit(127);
    }
    auto started = [&] {
        for (const auto &e : fs::directory_iterator(out))
            if (e.path().filename().string().rfind("pelmar.tc.part", 0) == 0) return true;
        return false;
    };
    for (int i = 0; i < 20000 && !started(); ++i) usleep(1000);
    EXPECT_TRUE(started());
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_TRUE(fs::is_empty(out));
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
        return InspectImage(options + " " + Quote((RootDir() / "x.img").string()), RootDir());
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
    EXPECT_THAT(r.output, HasSubstr("\nconsistent\n"));
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
    std::vector<ImageLayout> images(5);
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
}

}  // namespace
}  // namespace pelmar_test
