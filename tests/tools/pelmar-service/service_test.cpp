// pelmar-service's work at a start, over a double of the system: what Wine
// cannot show (folders with owners and access lists on the scratch drive,
// junctions, other users' hives, the system's list of paging files).
#include <algorithm>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <optional>

#include "tools/pelmar-install/power_settings.h"
#include "tools/pelmar-service/service_boot.h"
#include "tools/pelmar-service/service_renewal.h"

namespace pelmar_tools {
// A value in a failure's message: absent, or its type and bytes.
void PrintTo(const RegistryValue &v, std::ostream *out) {
    *out << (v.present ? "type " + std::to_string(v.type) + ", " + std::to_string(v.data.size()) + " bytes" : "absent");
    for (uint8_t b : v.data) *out << ' ' << static_cast<int>(b);
}
}  // namespace pelmar_tools

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

struct Double : ServiceSystem, RenewalSystem, PowerSystem {
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
    std::map<std::string, HiveFacts> hives;  // by SID; a listed profile's own file otherwise
    std::vector<std::string> links;          // SIDs whose Environment is a registry link

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
    HiveFacts Hive(const Account &a) override {
        if (hives.count(a.sid)) return hives[a.sid];
        for (const Account &p : profiles)
            if (p.sid == a.sid && !a.profilePath.empty()) return {HiveFacts::File, a.sid, 1, {}};
        return {HiveFacts::Gone, {}, 0, "no folder"};
    }
    Opened OpenEnvironment(const Account &a, std::string &why) override {
        if (std::count(links.begin(), links.end(), a.sid)) return why = "a link", Opened::Refused;
        open = a.sid;
        return Opened::Yes;
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
    bool installedAtThisBoot = false;
    bool InstalledAtThisBoot() override { return installedAtThisBoot; }

    // The drive's marker, the service's records and the machine's clocks.
    PowerTimes times{5000, 0};
    MarkerFacts marker;
    RenewalRecord renewal;
    std::string session;
    int drawn = 0;
    PowerTimes Times() override { return times; }
    MarkerFacts ReadMarker(char letter) override { return letter == 'T' ? marker : MarkerFacts{}; }
    bool WriteMarker(char, const std::string &value, std::string &) override {
        marker = {true, value};
        return true;
    }
    std::string NewMarkerValue() override { return "value" + std::to_string(++drawn); }
    RenewalRecord ReadRenewal() override { return renewal; }
    void WriteRenewal(const RenewalRecord &record) override { renewal = record; }
    std::string ReadSession() override { return session; }
    void WriteSession(const std::string &value) override { session = value; }
    // A real boot: a new kernel session, and the drive as the image holds it.
    void Boot() {
        session.clear(), marker = {}, folders.clear();
        times = {times.bootTime + 1000, 0};
    }
    void Wake() { times.lastWake += 77; }

    // The power settings, each a setting's value; `failing` refuses writes.
    PowerContext context{10, 0, std::nullopt, false, true, {}};
    std::map<PowerSetting, RegistryValue> settings;
    std::map<PowerSetting, PowerRecord> records;
    std::optional<PowerSetting> failing;
    PowerContext Context() override { return context; }
    bool ReadSetting(PowerSetting s, RegistryValue &value, std::string &) override {
        value = settings[s];
        return true;
    }
    bool WriteSetting(PowerSetting s, const RegistryValue &value, std::string &error) override {
        if (failing == s) return error = "refused", false;
        settings[s] = value;
        return true;
    }
    bool ReadRecord(PowerSetting s, PowerRecord &record) override {
        if (!records.count(s)) return false;
        record = records[s];
        return true;
    }
    bool WriteRecord(PowerSetting s, const PowerRecord &record, std::string &) override {
        records[s] = record;
        return true;
    }
    void ForgetRecord(PowerSetting s) override { records.erase(s); }
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
        {"installed at this boot, no restart yet", [](Double &d) { d.drive = {}, d.installedAtThisBoot = true; },
         {kEventDriveAfterRestart}, ""},
        {"installed at this boot, drive there all the same", [](Double &d) { d.installedAtThisBoot = true; },
         {kEventDriveUp}, alice},
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
        // The outcome's event tells of every refusal the same start warned of.
        const bool warned = std::count(ids.begin(), ids.end(), kEventFolderRefused) > 0;
        for (auto &[id, inserts] : d.events)
            EXPECT_TRUE(id != kEventDriveUp || !warned || inserts.back().find("refused") != std::string::npos) << c.name;
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
        std::vector<std::pair<std::string, std::string>> dropped;
        EXPECT_TRUE(PutBackAll(d, problems, dropped)) << c.name;
        EXPECT_EQ(d.env[kAlice]["TEMP"], profileTemp) << c.name;
        EXPECT_FALSE(d.env[kAlice]["TMP"].present) << c.name;
        EXPECT_EQ(d.env[kBob]["TMP"], Text("D:\\mine")) << c.name;
        EXPECT_EQ(d.env[kBob]["TEMP"], Text("D:\\later")) << c.name;
        EXPECT_TRUE(d.saved.empty()) << c.name;
    }
}

// An account whose keys or hive are not where they belong, or whose values
// are not text to keep, is left alone at the start and at uninstall, which
// never stops for it; a record whose profile is gone goes.
TEST(Service, AccountsNotWhereTheyBelongAreLeftAlone) {
    const RegistryValue profileTemp = Text("%USERPROFILE%\\AppData\\Local\\Temp");
    struct Refusal {
        const char *name;
        std::function<void(Double &)> setup;
        bool afterFirstBoot;  // else the first boot meets it already
        uint32_t event;       // 0: the start is not run before the uninstall
        size_t dropped;       // records the uninstall drops
    };
    const std::vector<Refusal> cases = {
        {"Environment a registry link", [](Double &d) { d.links = {kAlice}; }, true, kEventAccountRefused, 1},
        {"NTUSER.DAT owned by Bob", [](Double &d) { d.hives[kAlice] = {HiveFacts::File, kBob, 1, {}}; }, true,
         kEventAccountRefused, 1},
        {"NTUSER.DAT with a second name", [](Double &d) { d.hives[kAlice] = {HiveFacts::File, kAlice, 2, {}}; },
         true, kEventAccountRefused, 1},
        {"the profile folder a junction",
         [](Double &d) { d.hives[kAlice] = {HiveFacts::Redirected, {}, 0, "C:\\Users\\alice"}; }, true,
         kEventAccountRefused, 1},
        {"TEMP a binary value", [](Double &d) { d.env[kAlice]["TEMP"].type = kRegBinary; }, false,
         kEventAccountRefused, 0},
        {"TMP longer than 32 KiB", [](Double &d) { d.env[kAlice]["TMP"] = Text(std::string(16 * 1024, 'x')); }, false,
         kEventAccountRefused, 0},
        {"the profile gone from the list", [](Double &d) { d.profiles.erase(d.profiles.begin()); }, true,
         kEventRecordDropped, 0},
        {"the profile folder gone, at uninstall", [](Double &d) { d.hives[kAlice] = {HiveFacts::Gone, {}, 0, {}}; }, true, 0, 1},
    };
    for (const Refusal &c : cases) {
        Double d;
        d.env[kAlice]["TEMP"] = profileTemp;
        if (!c.afterFirstBoot) c.setup(d);
        RunAtStart(d, {true, false});
        if (c.afterFirstBoot) c.setup(d);
        const auto alice = d.env[kAlice];
        d.events.clear();
        if (c.event) RunAtStart(d, {true, false});
        size_t seen = 0;
        for (auto &[id, inserts] : d.events) seen += id == c.event && inserts.at(0) == kAlice;
        EXPECT_EQ(seen, c.event ? 1u : 0u) << c.name;
        EXPECT_EQ(d.env[kAlice], alice) << c.name;
        EXPECT_EQ(d.env[kBob]["TEMP"], Text("T:\\Temp\\" + kBob)) << c.name;
        std::vector<std::string> problems;
        std::vector<std::pair<std::string, std::string>> dropped;
        EXPECT_TRUE(PutBackAll(d, problems, dropped) && problems.empty()) << c.name;
        EXPECT_EQ(dropped.size(), c.dropped) << c.name;
        EXPECT_EQ(d.env[kAlice], alice) << c.name;
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

// The machine's stops and comes-back as the service meets them, after an
// install (its settings recorded) and one boot with the drive: the events
// each brings, where Alice's TEMP and TMP point, and Fast Startup after it.
TEST(Service, TellsARenewedDriveFromAKeptOne) {
    const std::string alice = "T:\\Temp\\" + kAlice;
    const RegistryValue profileTemp = Text("%USERPROFILE%\\AppData\\Local\\Temp");
    auto start = [](Double &d) {
        const uint32_t id = RunAtStart(d, {true, false});
        RenewalAtStart(d, d, 'T', id == kEventDriveUp);
    };
    auto resume = [](Double &d) { RenewalAtResume(d, d, 'T'); };
    auto logon = [](Double &d) {
        RunAtLogon(d, {true, false});
        RenewalAtLogon(d, d, 'T');
    };
    struct Row {
        const char *name;
        std::function<void(Double &)> run;
        std::vector<uint32_t> events;
        bool onDrive;  // Alice's TEMP and TMP afterwards
        uint32_t fastStartup = 0;
    };
    const std::vector<Row> rows = {
        {"the service started again", start, {kEventDriveUp, kEventServiceRestarted}, true},
        {"a resume with the marker there", [&](Double &d) { d.Wake(), resume(d); }, {kEventDriveKept}, true},
        {"two notifications and a logon of one wake",
         [&](Double &d) { d.Wake(), resume(d), resume(d), logon(d); }, {kEventDriveKept}, true},
        {"a wake nobody told of, then a logon", [&](Double &d) { d.Wake(), logon(d); }, {kEventDriveKept}, true},
        {"a logon without a wake", logon, {}, true},
        {"a wake, then the service started again", [&](Double &d) { d.Wake(), start(d); },
         {kEventDriveUp, kEventDriveKept}, true},
        {"a boot, the drive renewed", [&](Double &d) { d.Boot(), start(d); }, {kEventDriveUp}, true},
        {"a boot, the image captured with this start's marker",
         [&](Double &d) {
             const MarkerFacts captured = d.marker;
             d.Boot(), d.marker = captured, start(d);
         },
         {kEventDriveUp}, true},
        {"a resume, the drive renewed meanwhile", [&](Double &d) { d.marker = {}, d.Wake(), resume(d); }, {}, true},
        {"Fast Startup turned back, a resume",
         [&](Double &d) { d.settings[PowerSetting::FastStartup] = DwordValue(1), d.Wake(), resume(d); },
         {kEventDriveKept, kEventSettingTurnedBack}, true},
        {"dumps turned back, a boot",
         [&](Double &d) { d.settings[PowerSetting::CrashDumps] = DwordValue(7), d.Boot(), start(d); },
         {kEventSettingTurnedBack, kEventDriveUp}, true},
        {"a shutdown", [](Double &d) { PutBackAtShutdown(d); }, {kEventTempBack}, false},
        {"a shutdown, Alice's Environment a registry link since",
         [](Double &d) { d.links = {kAlice}, PutBackAtShutdown(d); }, {kEventRecordDropped, kEventTempBack}, true},
        {"a shutdown, then a boot", [&](Double &d) { PutBackAtShutdown(d), d.Boot(), start(d); },
         {kEventTempBack, kEventDriveUp}, true},
    };
    for (const Row &row : rows) {
        Double d;
        d.env[kAlice]["TEMP"] = profileTemp;
        for (PowerSetting s : kPowerSettings) {
            d.settings[s] = DwordValue(s == PowerSetting::CrashDumps ? 3 : s == PowerSetting::PagingEncryption);
            d.records[s] = {DwordValue(1), d.settings[s]};
        }
        d.Boot(), start(d), d.events.clear();
        row.run(d);
        std::vector<uint32_t> ids;
        for (auto &[id, inserts] : d.events) ids.push_back(id);
        // The start's own events come in the order the checks run.
        std::sort(ids.begin(), ids.end());
        std::vector<uint32_t> expected = row.events;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ids, expected) << row.name;
        EXPECT_EQ(d.env[kAlice]["TEMP"], row.onDrive ? Text(alice) : profileTemp) << row.name;
        EXPECT_EQ(d.env[kAlice]["TMP"], row.onDrive ? Text(alice) : RegistryValue{}) << row.name;
        EXPECT_EQ(d.settings[PowerSetting::FastStartup], DwordValue(row.fastStartup)) << row.name;
        EXPECT_EQ(d.renewal.kept, std::count(ids.begin(), ids.end(), kEventDriveKept) > 0) << row.name;
    }
}

// install's power settings on a machine as found: what it changes, what it
// refuses, and that uninstall gives every value back byte for byte.
TEST(Service, InstallKeepsNothingOfTheDriveBeyondAStop) {
    using V = std::map<PowerSetting, RegistryValue>;
    const RegistryValue odd{true, 3, {1, 2, 3}};  // a REG_BINARY where a number belongs
    const V found = {{PowerSetting::FastStartup, DwordValue(1)},
                     {PowerSetting::Hibernation, DwordValue(1)},
                     {PowerSetting::CrashDumps, DwordValue(7)},
                     {PowerSetting::PagingEncryption, {}}};
    const V safe = {{PowerSetting::FastStartup, DwordValue(0)},
                    {PowerSetting::Hibernation, DwordValue(0)},
                    {PowerSetting::CrashDumps, DwordValue(3)},
                    {PowerSetting::PagingEncryption, DwordValue(1)}};
    struct Row {
        const char *name;
        std::vector<std::string> options;
        std::function<void(Double &)> setup;
        V after;              // empty: refused, nothing changed
        const char *said;     // in a line of install's
        std::function<void(Double &)> meanwhile = {};  // between install and uninstall
        V uninstalled = {};   // empty: as found
    };
    V keptAll = found;
    keptAll[PowerSetting::FastStartup] = DwordValue(0);
    V none = safe;
    none[PowerSetting::CrashDumps] = DwordValue(0);
    V xp = safe;
    xp[PowerSetting::FastStartup] = {}, xp[PowerSetting::PagingEncryption] = {};
    V uncontrolled = safe;
    uncontrolled[PowerSetting::Hibernation] = DwordValue(1);
    V encrypted = safe;
    encrypted[PowerSetting::CrashDumps] = DwordValue(7);
    V changedSince = found;
    changedSince[PowerSetting::CrashDumps] = DwordValue(2);
    const std::vector<Row> rows = {
        {"defaults", {}, {}, safe, "turned Fast Startup off"},
        {"the policy requires Fast Startup", {}, [](Double &d) { d.context.fastStartupPolicy = 1; }, {},
         "Require use of fast startup"},
        {"everything kept that may be", {"--keep-hibernation", "--dumps", "keep", "--keep-paging-plain"}, {},
         keptAll, "hibernation kept on (--keep-hibernation): a hibernation writes the drive's keys"},
        {"no dumps", {"--dumps", "none"}, {}, none, "crash dumps off"},
        {"Windows XP x64", {}, [&](Double &d) {
             d.context = {5, 2, std::nullopt, false, true, {}};
             d.settings[PowerSetting::FastStartup] = {};
         }, xp, "Windows XP x64 and Server 2003 x64 do not have it"},
        {"hibernation out of the power interface's reach", {},
         [](Double &d) { d.context.hibernationUncontrolled = "no control"; }, uncontrolled,
         "hibernation left as it is: no control; a hibernation writes the drive's keys"},
        {"dumps encrypted", {}, [](Double &d) { d.context.dumpEncryption = true; }, encrypted, "encrypted (DumpEncryptionEnabled)"},
        {"a value of another kind", {}, [&](Double &d) { d.settings[PowerSetting::FastStartup] = odd; }, safe,
         "was a value of type 3"},
        {"a write refused midway", {}, [](Double &d) { d.failing = PowerSetting::CrashDumps; }, {}, ""},
        {"a value changed since install", {}, {}, safe, "", [](Double &d) {
             d.settings[PowerSetting::CrashDumps] = DwordValue(2);
         }, changedSince},
        {"installed again, keeping what may be kept", {}, {}, safe, "", [](Double &d) {
             const PowerChoices keep{true, PowerChoices::Dumps::Keep, true};
             std::vector<std::string> lines;
             std::string why;
             ChangeSet again;
             EXPECT_TRUE(AddPowerSteps(again, d, PlanPower(d, keep), lines, why));
             again.Commit();
             EXPECT_EQ(d.records.size(), 1u);  // Fast Startup's alone
         }},
        {"installed again, with no dumps", {}, {}, safe, "", [](Double &d) {
             PowerChoices choices;
             choices.dumps = PowerChoices::Dumps::None;
             std::vector<std::string> lines;
             std::string why;
             ChangeSet again;
             EXPECT_TRUE(AddPowerSteps(again, d, PlanPower(d, choices), lines, why));
             again.Commit();
         }},
    };
    for (const Row &row : rows) {
        Double d;
        d.settings = found;
        V original = found;
        if (row.setup) row.setup(d), original = d.settings;
        std::vector<std::string> words = row.options, lines;
        PowerChoices choices;
        std::string why;
        ASSERT_TRUE(TakePowerOptions(words, choices, why) && words.empty()) << row.name;
        const PowerPlan plan = PlanPower(d, choices);
        ChangeSet changes;
        const bool done = plan.refusal.empty() && AddPowerSteps(changes, d, plan, lines, why);
        if (done) changes.Commit();
        else EXPECT_TRUE(changes.RollBack().empty()) << row.name;
        for (const std::string &l : lines) why += "\n" + l;
        why += plan.refusal;
        EXPECT_NE(why.find(row.said), std::string::npos) << row.name << ": " << why;
        EXPECT_EQ(done, !row.after.empty()) << row.name;
        EXPECT_EQ(d.settings, row.after.empty() ? original : row.after) << row.name;
        if (!done) {
            EXPECT_TRUE(d.records.empty()) << row.name;
            continue;
        }
        std::vector<std::string> status, problems;
        PowerStatus(d, status, problems);
        EXPECT_EQ(problems.empty(), DwordOf(d.settings[PowerSetting::FastStartup]) != 1u) << row.name;
        if (row.meanwhile) row.meanwhile(d);
        // An uninstall whose last give-back is refused undoes the others,
        // records and all; the next one gives every value back.
        const V installed = d.settings;
        const auto recorded = d.records;
        d.failing = PowerSetting::PagingEncryption;
        ChangeSet refused;
        if (!AddGiveBackSteps(refused, d, lines, why)) {
            EXPECT_TRUE(refused.RollBack().empty()) << row.name;
            EXPECT_EQ(d.settings, installed) << row.name;
            EXPECT_EQ(d.records, recorded) << row.name;
        }
        d.failing.reset();
        ChangeSet uninstall;
        EXPECT_TRUE(AddGiveBackSteps(uninstall, d, lines, why)) << row.name;
        uninstall.Commit();
        EXPECT_EQ(d.settings, row.uninstalled.empty() ? original : row.uninstalled) << row.name;
        EXPECT_TRUE(d.records.empty()) << row.name;
    }
}

}  // namespace
