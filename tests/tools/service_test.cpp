// pelmar-service's work at a start, over a double of the system: what Wine
// cannot show (folders with owners and access lists on the scratch drive,
// junctions, other users' hives, the system's list of paging files).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>

#include "tools/pelmar-service/service_boot.h"

namespace {

using namespace pelmar_tools;

const std::string kAlice = "S-1-5-21-1-2-3-1001", kBob = "S-1-5-21-1-2-3-1002";

std::vector<uint8_t> FatBootSector(uint32_t serial) {
    std::vector<uint8_t> s(512);
    s[11] = 0x00, s[12] = 0x02, s[19] = 0x00, s[20] = 0x08;  // 512-byte sectors, 2048 of them
    s[0x26] = 0x29;
    for (int i = 0; i < 4; ++i) s[0x27 + i] = static_cast<uint8_t>(serial >> (8 * i));
    std::memcpy(&s[0x2B], "SCRATCH    FAT16   ", 19);
    s[510] = 0x55, s[511] = 0xAA;
    return s;
}

RegistryValue Text(const std::string &text) {
    RegistryValue v{true, kRegExpandSz, {}};
    for (char c : text) v.data.insert(v.data.end(), {static_cast<uint8_t>(c), 0});
    v.data.insert(v.data.end(), {0, 0});
    return v;
}

struct Double : ServiceSystem {
    std::vector<std::string> bootExecute = {"autocheck autochk *", "pelmar A w 1 T"};
    std::vector<uint8_t> image = FatBootSector(0x1234ABCD);
    DriveFacts drive{true, "\\Device\\TrueCryptVolumeT", FatBootSector(0x1234ABCD), 1 << 20, {}};
    std::vector<Account> profiles = {{kAlice, "C:\\Users\\alice"}, {kBob, "C:\\Users\\bob"}};
    std::map<std::string, FolderFacts> folders;  // by path; missing when absent
    // The drive's root as Windows' format gives it: users may read, make
    // folders and add files below.
    FolderFacts root{FolderFacts::Folder, "S-1-5-32-544", false,
                     {{3, 0x1F01FF, "S-1-5-32-544"}, {3, 0x1F01FF, "S-1-5-18"}, {11, 0x10000000, "S-1-3-0"},
                      {3, 0x1200A9, "S-1-5-32-545"}, {2, 0x4, "S-1-5-32-545"}, {10, 0x2, "S-1-5-32-545"}},
                     {}};
    std::map<std::string, std::map<std::string, RegistryValue>> env, saved;  // by SID
    std::vector<std::string> pagingConfigured, pagingInUse;
    std::vector<std::pair<uint32_t, std::vector<std::string>>> events;
    std::string open;

    std::vector<std::string> BootExecuteLines() override { return bootExecute; }
    bool ImageBootSector(const std::string &, std::vector<uint8_t> &s, uint64_t &bytes, std::string &) override {
        s = image;
        bytes = 1 << 20;
        return true;
    }
    std::vector<uint8_t> digest = {1, 2, 3}, recorded = {1, 2, 3};
    bool ImageDigest(const std::string &, std::vector<uint8_t> &d, std::string &) override {
        d = digest;
        return true;
    }
    std::vector<uint8_t> RecordedImageDigest() override { return recorded; }
    DriveFacts Drive(char letter) override { return letter == 'T' ? drive : DriveFacts{}; }
    std::vector<Account> Profiles() override { return profiles; }
    FolderFacts Folder(const std::string &path) override {
        return path == "T:\\" ? root : folders.count(path) ? folders[path] : FolderFacts{};
    }
    bool MakeFolder(const std::string &path, const std::string &owner, const std::vector<FolderEntry> &entries,
                    std::string &) override {
        if (folders.count(path)) return false;
        folders[path] = {FolderFacts::Folder, owner, true, entries, {}};
        return true;
    }
    bool OpenEnvironment(const Account &a, std::string &) override {
        open = a.sid;
        return true;
    }
    bool ReadVariable(const std::string &n, RegistryValue &v, std::string &) override {
        v = env[open][n];
        return true;
    }
    bool WriteVariable(const std::string &n, const RegistryValue &v, std::string &) override {
        env[open][n] = v;
        return true;
    }
    void CloseEnvironment() override { open.clear(); }
    std::vector<std::string> SavedAccounts() override {
        std::vector<std::string> out;
        for (auto &[sid, values] : saved) out.push_back(sid);
        return out;
    }
    bool ReadSaved(const std::string &sid, const std::string &n, RegistryValue &v) override {
        if (!saved[sid].count(n)) return false;
        v = saved[sid][n];
        return true;
    }
    bool WriteSaved(const std::string &sid, const std::string &n, const RegistryValue &v) override {
        saved[sid][n] = v;
        return true;
    }
    void ForgetSaved(const std::string &sid) override { saved.erase(sid); }
    std::vector<std::string> PagingFilesConfigured() override { return pagingConfigured; }
    bool PagingFilesInUse(std::vector<std::string> &files, std::string &) override {
        files = pagingInUse;
        return true;
    }
    void Report(EventKind, uint32_t id, const std::vector<std::string> &inserts) override {
        events.push_back({id, inserts});
    }
    void KeepOutcome(uint32_t, const std::string &) override {}
};

// Each case: how the machine stands, the events of a start (in order), and
// where Alice's TEMP and TMP point afterwards ("" for her profile's value).
struct Case {
    const char *name;
    std::function<void(Double &)> setup;
    std::vector<uint32_t> events;
    std::string aliceTemp;
};

TEST(Service, EachStartChecksTheDriveAndGivesEachUserAFolderOfTheirOwn) {
    const std::string parent = "T:\\Temp", alice = parent + "\\" + kAlice;
    const RegistryValue profileTemp = Text("%USERPROFILE%\\AppData\\Local\\Temp");
    const std::vector<Case> cases = {
        {"drive up, folders made", [](Double &) {}, {kEventDriveUp}, alice},
        {"drive missing", [](Double &d) { d.drive = {}; }, {kEventDriveMissing}, ""},
        {"another file system", [](Double &d) { d.drive.bootSector = FatBootSector(7); }, {kEventDriveOther}, ""},
        {"no Pelmar line", [](Double &d) { d.bootExecute.pop_back(); }, {kEventNothingToCheck}, ""},
        {"the image changed since install", [](Double &d) { d.digest[0] ^= 1; }, {kEventImageChanged}, ""},
        {"no digest recorded", [](Double &d) { d.recorded.clear(); }, {kEventImageChanged}, ""},
        {"Alice's name taken first by Bob",
         [&](Double &d) { d.folders[alice] = {FolderFacts::Folder, kBob, true, OwnFolderEntries(kAlice), {}}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"Alice's folder a junction",
         [&](Double &d) { d.folders[alice] = {FolderFacts::Redirected, kAlice, true, OwnFolderEntries(kAlice), {}}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"Alice's folder not protected",
         [&](Double &d) { d.folders[alice] = {FolderFacts::Folder, kAlice, false, OwnFolderEntries(kAlice), {}}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"Alice's folder open to Bob too",
         [&](Double &d) {
             auto entries = OwnFolderEntries(kAlice);
             entries.push_back({3, 0x1F01FF, kBob});
             d.folders[alice] = {FolderFacts::Folder, kAlice, true, entries, {}};
         },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"the parent a junction",
         [&](Double &d) { d.folders[parent] = {FolderFacts::Redirected, "S-1-5-32-544", true, {}, {}}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"the parent open to users",
         [&](Double &d) { d.folders[parent] = {FolderFacts::Folder, "S-1-5-32-544", true, {{0, 0x6, "S-1-5-32-545"}}, {}}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"the parent lets users make folders",
         [&](Double &d) { d.folders[parent] = {FolderFacts::Folder, "S-1-5-32-544", true, {{0, 0x4, "S-1-5-32-545"}}, {}}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"the parent inherits Modify for Authenticated Users",
         [&](Double &d) { d.folders[parent] = {FolderFacts::Folder, "S-1-5-32-544", false, {{0x13, 0x1301BF, "S-1-5-11"}}, {}}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"the parent without an access list",
         [&](Double &d) { d.folders[parent] = {FolderFacts::Folder, "S-1-5-32-544", true, {}, {}, true}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"the root lets users delete children", [](Double &d) { d.root.entries.push_back({0, 0x40, "S-1-5-32-545"}); },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"the root without an access list", [](Double &d) { d.root = {FolderFacts::Folder, "S-1-5-18", false, {}, {}, true}; },
         {kEventFolderRefused, kEventDriveUp}, ""},
        {"the root as Windows 8 formats it",
         [](Double &d) { d.root.entries.push_back({3, 0x1301BF, "S-1-5-11"}); }, {kEventDriveUp}, alice},
        {"the image's own folder for Alice",
         [&](Double &d) { d.folders[alice] = {FolderFacts::Folder, kAlice, true, OwnFolderEntries(kAlice), {}}; },
         {kEventDriveUp}, alice},
        {"paging file in use",
         [](Double &d) { d.pagingConfigured = {"T:\\pagefile.sys"}, d.pagingInUse = {"\\??\\T:\\pagefile.sys"}; },
         {kEventDriveUp, kEventPagingFileInUse}, alice},
        {"paging file not taken",
         [](Double &d) { d.pagingConfigured = {"c:\\pagefile.sys", "T:\\pagefile.sys"}, d.pagingInUse = {"\\??\\C:\\pagefile.sys"}; },
         {kEventDriveUp, kEventPagingFileUnused}, alice},
    };
    for (const Case &c : cases) {
        // A boot with the drive first (so the values were moved once), then
        // the case's boot; the previous values come back where it has no
        // folder for Alice.
        Double d;
        d.env[kAlice]["TEMP"] = profileTemp;  // TMP absent: it must be absent again
        RunAtStart(d, {true, false});
        ASSERT_EQ(d.env[kAlice]["TEMP"], Text(alice)) << c.name;
        d.folders.clear();  // the restore leaves the drive as the image holds it
        d.events.clear();
        d.env[kBob]["TMP"] = Text("D:\\mine");  // Bob's own choice since, kept on either way
        c.setup(d);
        RunAtStart(d, {true, false});
        std::vector<uint32_t> ids;
        for (auto &[id, inserts] : d.events) ids.push_back(id);
        EXPECT_EQ(ids, c.events) << c.name;
        for (const char *name : {"TEMP", "TMP"}) {
            const RegistryValue before = name == std::string("TEMP") ? profileTemp : RegistryValue{};
            EXPECT_EQ(d.env[kAlice][name], c.aliceTemp.empty() ? before : Text(c.aliceTemp)) << c.name << " " << name;
        }
        if (!c.aliceTemp.empty()) {
            const FolderFacts f = d.Folder(alice);
            EXPECT_TRUE(f.owner == kAlice && f.protectedList && f.entries == OwnFolderEntries(kAlice)) << c.name;
            EXPECT_EQ(d.Folder(parent).owner, "S-1-5-32-544") << c.name;
        }
        // Uninstall: every value back byte for byte, a value Bob changed
        // since kept, the records gone.
        d.env[kBob]["TEMP"] = Text("D:\\later");
        std::vector<std::string> problems;
        EXPECT_TRUE(PutBackAll(d, problems)) << c.name;
        EXPECT_EQ(d.env[kAlice]["TEMP"], profileTemp) << c.name;
        EXPECT_FALSE(d.env[kAlice]["TMP"].present) << c.name;
        EXPECT_EQ(d.env[kBob]["TMP"], Text("D:\\mine")) << c.name;
        EXPECT_EQ(d.env[kBob]["TEMP"], Text("D:\\later")) << c.name;
        EXPECT_TRUE(d.saved.empty()) << c.name;
    }
}

// SYSTEM's TEMP only when asked, in a folder only SYSTEM and Administrators reach.
TEST(Service, SystemTemporaryFilesMoveOnlyWhenAsked) {
    for (bool asked : {false, true}) {
        Double d;
        d.env[kSystemAccount]["TEMP"] = Text("%SystemRoot%\\TEMP");
        RunAtStart(d, {false, asked});
        EXPECT_EQ(d.env[kSystemAccount]["TEMP"], Text(asked ? "T:\\Temp\\S-1-5-18" : "%SystemRoot%\\TEMP"));
        EXPECT_EQ(d.Folder("T:\\Temp\\S-1-5-18").entries.size(), asked ? 2u : 0u);
        EXPECT_TRUE(d.env[kAlice].empty());
    }
}

}  // namespace
