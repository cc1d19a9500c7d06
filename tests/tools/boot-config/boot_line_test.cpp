// The boot configuration both Windows programs share: which BootExecute
// line is Pelmar's and what it says, read by the installer (its edits and
// status) and by the service through the one reading; the one rule for a
// boot path's Windows name; the packed record of a replaced value; and a
// command's changes undone when a later one fails.
#include <gtest/gtest.h>

#include "tools/boot-config/change_set.h"
#include "tools/boot-config/drive_letter.h"
#include "tools/pelmar-install/install_boot_execute.h"
#include "tools/pelmar-service/service_boot.h"

namespace {

using pelmar_tools::BootArguments;

std::string Narrow(const std::u16string &s) { return {s.begin(), s.end()}; }

// Each line as the installer writes, replaces and shows it, and as the
// service finds its drive and image in it: both readings must agree.
TEST(BootLine, TheInstallerAndTheServiceReadPelmarsLineAlike) {
    const struct {
        const char16_t *line;
        bool pelmar;
        char drive;
        const char *image;
        bool dbg;
    } rows[] = {
        {u"pelmar A w 1 T", true, 'T', "c:\\pelmar.img", false},
        {u"pelmar.exe A w 1 K c:\\x.tc c:\\x.img", true, 'K', "c:\\x.img", false},
        {u"  PELMAR\tA  w 1 D DBG ", true, 'D', "c:\\pelmar.img", true},
        {u"autocheck pelmar A w 1 K", true, 'K', "c:\\pelmar.img", false},
        {u"\\SystemRoot\\System32\\Pelmar.exe S r 1 Q", true, 'Q', "c:\\pelmar.img", false},
        {u"AUTOCHECK\tpelmar A s 1 R c:\\a.tc c:\\b.img", true, 'R', "c:\\b.img", false},
        {u"pelmar dbg", true, 'T', "c:\\pelmar.img", true},
        {u"autocheck autochk *", false, 0, "", false},
        {u"pelmarx A w 1 K", false, 0, "", false},
        {u"autocheck", false, 0, "", false},
        {u"other pelmar A", false, 0, "", false},
        {u"", false, 0, "", false},
    };
    for (const auto &r : rows) {
        const std::u16string line = r.line;
        SCOPED_TRACE(Narrow(line));
        // The installer: the line is Pelmar's, replaced by a new install and
        // taken out by uninstall, and its words read as the boot reads them.
        EXPECT_EQ(pelmar_tools::IsPelmarLine(line), r.pelmar);
        const std::u16string list = u"autocheck autochk *" + std::u16string(1, 0) + line + std::u16string(2, 0);
        EXPECT_EQ(pelmar_tools::WithoutPelmar(list) != list, r.pelmar && !line.empty());
        char drive = 0;
        std::string image;
        if (auto words = pelmar_tools::PelmarArguments(line)) {
            std::vector<std::string> narrow;
            for (const std::u16string &w : *words) narrow.push_back(Narrow(w));
            EXPECT_EQ(pelmar_tools::PelmarArguments(Narrow(line)), narrow);
            const BootArguments a = pelmar_tools::ReadBootArguments(narrow);
            drive = static_cast<char>(a.choice.DriveLetter);
            image = a.image.value_or("c:\\pelmar.img");
            EXPECT_EQ(a.debugBreak, r.dbg);
        }
        EXPECT_EQ(drive, r.drive);
        EXPECT_EQ(image, r.image);
        // The service, over the same list.
        char letter = 0;
        std::string served;
        EXPECT_EQ(pelmar_tools::PelmarDrive({"autocheck autochk *", Narrow(line)}, letter, served), r.pelmar);
        EXPECT_EQ(letter, r.drive);
        EXPECT_EQ(served, r.image);
    }
    // A boot path reaches Windows by one rule, or not at all.
    const struct { const char16_t *path, *win32; } paths[] = {
        {u"c:\\pelmar.img", u"c:\\pelmar.img"},       {u"\\??\\D:\\sub\\x.img", u"D:\\sub\\x.img"},
        {u"\\Device\\HarddiskVolume1\\x.img", nullptr}, {u"\\SystemRoot\\x.img", nullptr},
        {u"c:\\sub\\..\\x.img", nullptr},             {u"x.img", nullptr},
    };
    for (const auto &p : paths) {
        std::string why;
        const auto win32 = pelmar_tools::BootPathAsWin32(p.path, why);
        EXPECT_EQ(win32.has_value(), p.win32 != nullptr) << Narrow(p.path);
        if (win32 && p.win32) {
            EXPECT_EQ(*win32, p.win32);
        }
        EXPECT_EQ(why.empty(), p.win32 != nullptr) << Narrow(p.path);
    }
    std::string why;
    EXPECT_FALSE(pelmar_tools::BootPathAsWin32(u"c:\\" + std::u16string(253, u'x'), why));
    // The drive's letter: free, or a volume of the driver (Pelmar's own
    // drive of this boot); anything else holding it is named.
    const struct { std::optional<std::string> device; const char *holder; } letters[] = {
        {std::nullopt, nullptr}, {"\\Device\\TrueCryptVolumeT", nullptr},
        {"\\??\\C:\\sub", "subst"}, {"\\Device\\HarddiskVolume2", "a volume of a disk"},
        {"\\Device\\CdRom0", "CD"}, {"\\Device\\LanmanRedirector\\;T:0\\srv\\share", "network drive"},
    };
    for (const auto &l : letters) {
        const std::string problem = pelmar_tools::LetterInUseProblem('T', l.device);
        EXPECT_EQ(problem.empty(), l.holder == nullptr) << l.device.value_or("free");
        if (l.holder) {
            EXPECT_NE(problem.find(l.holder), std::string::npos) << problem;
            EXPECT_NE(problem.find("drive T: is in use"), std::string::npos) << problem;
        }
    }
}

// A replaced value's record gives back the value byte for byte; anything
// shorter than a record is none.
TEST(BootConfig, ReplacedValuesComeBackByteForByteAndAFailedUndoIsToldWithTheRestUndone) {
    using pelmar_tools::RegistryValue;
    for (const RegistryValue &v : {RegistryValue{}, RegistryValue{true, 2, {'C', 0, 0, 0}},
                                   RegistryValue{true, 0x12345678, {}}, pelmar_tools::DwordValue(0x01020304)}) {
        const RegistryValue packed = pelmar_tools::Packed(v);
        EXPECT_EQ(packed.type, pelmar_tools::kRegBinary);
        EXPECT_EQ(pelmar_tools::Unpacked(packed), v);
    }
    EXPECT_FALSE(pelmar_tools::Unpacked({true, 3, {1, 2, 0, 0}}));
    EXPECT_EQ(pelmar_tools::DwordOf(pelmar_tools::DwordValue(7)), 7u);
    EXPECT_FALSE(pelmar_tools::DwordOf({true, 4, {1, 2, 3}}));

    // Three changes made, the fourth fails: all three undone, the last
    // first; the one undo that fails is told, the others still run.
    std::vector<std::string> undone;
    std::string why;
    auto change = [](bool ok) { return [ok](std::string &e) { return ok || (e = "refused", false); }; };
    auto undo = [&](std::string name, bool ok) {
        return [&undone, name, ok](std::string &e) {
            undone.push_back(name);
            return ok || (e = "denied", false);
        };
    };
    {
        pelmar_tools::ChangeSet changes;
        EXPECT_TRUE(changes.Do(change(true), undo("a", true), "a stays", why));
        EXPECT_TRUE(changes.Do(change(true), undo("b", false), "b stays", why));
        changes.Undo(undo("c", true), "c stays");
        EXPECT_FALSE(changes.Do(change(false), undo("d", true), "d stays", why));
        EXPECT_EQ(why, "refused");
        EXPECT_EQ(changes.RollBack(), std::vector<std::string>{"b stays (denied)"});
        EXPECT_EQ(undone, (std::vector<std::string>{"c", "b", "a"}));
        EXPECT_TRUE(changes.RollBack().empty());
    }
    EXPECT_EQ(undone.size(), 3u);
    // Committed: nothing is undone, not even when the set goes.
    {
        pelmar_tools::ChangeSet changes;
        EXPECT_TRUE(changes.Do(change(true), undo("e", true), "e stays", why));
        changes.Commit();
    }
    EXPECT_EQ(undone.size(), 3u);
}

}  // namespace
