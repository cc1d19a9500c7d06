// pelmar-install's portable parts: BootExecute's edits, what install refuses (the
// arguments, the names, the container), the signed ranges of its digest and the rights on the way.
#include <gmock/gmock.h>

#include <cstring>

#include "support/restore_support.h"
#include "tests/tools/image_support.h"
#include "tests/tools/tool_support.h"
#include "tools/pelmar-install/container_check.h"
#include "tools/pelmar-install/install_boot_execute.h"
#include "tools/pelmar-install/install_checks.h"
#include "tools/pelmar-install/install_rights.h"
#include "tools/pelmar-install/paging_files.h"

namespace pelmar_test {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

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
