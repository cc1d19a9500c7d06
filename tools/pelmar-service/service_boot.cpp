// pelmar-service's work at each start (see service_boot.h).
//
// A user's TEMP points at the drive only while the user's folder there is
// the service's own: a folder of that name that someone else made first, or
// a junction, mount point or symbolic link anywhere on the way, would hand
// that user's files to whoever made it. The parent folder lets users do
// nothing but pass through, so no user can make another's folder first, and
// the drive's root lets no user take the parent away and put their own.
#include "tools/pelmar-service/service_boot.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <tuple>

#include "tools/basics/ascii_case.h"
#include "tools/boot-config/boot_line.h"

namespace pelmar_tools {
namespace {

constexpr uint32_t kFullControl = 0x001F01FF;
constexpr uint8_t kObjectAndContainerInherit = 0x03, kInheritOnly = 0x08;
const char kAdministratorsSid[] = "S-1-5-32-544";
// Rights on the parent that would let someone other than SYSTEM and
// Administrators make, replace or redirect a folder in it: add file, add
// folder, delete children, write attributes, delete, change the descriptor
// or the owner; generic write and all include them.
constexpr uint32_t kParentForbidden =
    0x2 | 0x4 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000;
// Rights on the drive's root that would let someone other than SYSTEM and
// Administrators take X:\Temp away (rename or delete a child of the root)
// and make a folder of their own in its place, or give themselves that
// right: delete children, change the descriptor or the owner; generic all
// includes them. Making folders in the root is Windows' default and
// harmless while X:\Temp stays.
constexpr uint32_t kRootForbidden = 0x40 | 0x40000 | 0x80000 | 0x10000000;

// The value the service writes: REG_EXPAND_SZ, UTF-16 with its terminator.
RegistryValue FolderValue(const std::string &folder) {
    RegistryValue value{true, kRegExpandSz, {}};
    for (char c : folder) {
        value.data.push_back(static_cast<uint8_t>(c));
        value.data.push_back(0);
    }
    value.data.insert(value.data.end(), {0, 0});
    return value;
}

enum class Outcome { Up, Missing, AfterRestart, Other, NothingToCheck, ImageChanged };

struct Check {
    Outcome outcome = Outcome::NothingToCheck;
    char letter = 0;
    std::string what;  // the event's description of the drive
};

Check CheckDrive(ServiceSystem &system) {
    Check check;
    std::string image, error;
    if (!PelmarDrive(system.BootExecuteLines(), check.letter, image)) {
        check.what = "BootExecute holds no Pelmar line, so there is no scratch drive to check";
        return check;
    }
    const std::string drive = std::string(1, check.letter) + ":";
    std::vector<uint8_t> sector;
    uint64_t imageBytes = 0;
    if (!system.ImageBootSector(image, sector, imageBytes, error)) {
        check.what = "the image " + image + " of drive " + drive + " cannot be read: " + error;
        return check;
    }
    // The drive is only as trustworthy as the image install checked: one
    // changed since then may restore anything (links into SYSTEM's
    // temporary folder, hostile records for the file system).
    std::vector<uint8_t> digest;
    if (!system.ImageDigest(image, digest, error)) {
        check.what = "the image " + image + " of drive " + drive + " cannot be read: " + error;
        return check;
    }
    const std::vector<uint8_t> recorded = system.RecordedImageDigest();
    if (recorded.empty() || digest != recorded) {
        check.outcome = Outcome::ImageChanged;
        check.what = "the image " + image + " of drive " + drive +
                     (recorded.empty() ? " has no digest recorded by pelmar-install"
                                       : " is not the file pelmar-install checked (its SHA-256 differs from the "
                                         "one recorded at install)");
        return check;
    }
    FileSystemIdentity expected = IdentifyBootSector(sector);
    expected.bytes = imageBytes;
    const DriveFacts facts = system.Drive(check.letter);
    if (!facts.present && system.InstalledAtThisBoot()) {
        check.outcome = Outcome::AfterRestart;
        check.what = "drive " + drive + " comes at the next restart, when Pelmar first runs; the image holds " +
                     Describe(expected);
        return check;
    }
    if (!facts.present) {
        check.outcome = Outcome::Missing;
        check.what = "drive " + drive + " is not there" + (facts.error.empty() ? "" : " (" + facts.error + ")") +
                     "; the image holds " + Describe(expected);
        return check;
    }
    FileSystemIdentity found = IdentifyBootSector(facts.bootSector);
    found.bytes = facts.bytes;
    if (found.kind != expected.kind || found.serial != expected.serial || found.label != expected.label ||
        found.bytes != expected.bytes) {
        check.outcome = Outcome::Other;
        check.what = "drive " + drive + " (" + facts.device + ") holds " + Describe(found) +
                     ", not the image's " + Describe(expected);
        return check;
    }
    check.outcome = Outcome::Up;
    check.what = "drive " + drive + " (" + facts.device + ") holds the image's " + Describe(expected);
    return check;
}

bool SameEntries(std::vector<FolderEntry> a, std::vector<FolderEntry> b) {
    auto order = [](const FolderEntry &x, const FolderEntry &y) {
        return std::tie(x.sid, x.flags, x.mask) < std::tie(y.sid, y.flags, y.mask);
    };
    std::sort(a.begin(), a.end(), order);
    std::sort(b.begin(), b.end(), order);
    return a == b;
}

// Empty, or why `facts` (of `path`, a folder) lets someone other than SYSTEM
// and Administrators use any of the `forbidden` rights on the folder itself.
std::string OthersMay(const std::string &path, const FolderFacts &facts, uint32_t forbidden) {
    if (facts.noList) return path + " has no access list: everyone may do everything with it";
    for (const FolderEntry &e : facts.entries) {
        if ((e.flags & kInheritOnly) || e.sid == kAdministratorsSid || e.sid == kSystemAccount) continue;
        if (e.mask & forbidden) return path + " lets " + e.sid + " make or change what is in it";
    }
    return {};
}

// The drive's root: X:\Temp is only as safe as its place in the root.
bool RootFit(ServiceSystem &system, const std::string &root, std::string &why) {
    const FolderFacts facts = system.Folder(root);
    if (facts.kind != FolderFacts::Folder) {
        why = root + " cannot be read as a folder" + (facts.error.empty() ? "" : ": " + facts.error);
        return false;
    }
    why = OthersMay(root, facts, kRootForbidden);
    return why.empty();
}

// The parent of the accounts' folders, X:\Temp, made when the image has
// none; empty and why when it is not fit to hold them.
bool ParentFit(ServiceSystem &system, const std::string &parent, std::string &why) {
    if (!RootFit(system, parent.substr(0, 3), why)) return false;
    FolderFacts facts = system.Folder(parent);
    if (facts.kind == FolderFacts::Missing) {
        if (!system.MakeFolder(parent, kAdministratorsSid, ParentFolderEntries(), why)) {
            why = "cannot make " + parent + ": " + why;
            return false;
        }
        facts = system.Folder(parent);
    }
    switch (facts.kind) {
        case FolderFacts::Folder:
            break;
        case FolderFacts::Redirected:
            why = parent + " is a junction, mount point or symbolic link";
            return false;
        case FolderFacts::NotFolder:
            why = parent + " is not a folder";
            return false;
        default:
            why = parent + " cannot be read: " + facts.error;
            return false;
    }
    if (facts.owner != kAdministratorsSid && facts.owner != kSystemAccount) {
        why = parent + " is owned by " + facts.owner + ", not by Administrators or SYSTEM";
        return false;
    }
    why = OthersMay(parent, facts, kParentForbidden);
    return why.empty();
}

// The account's folder, made when missing; false and why when it is not
// the account's own (then it is never used).
bool OwnFolder(ServiceSystem &system, const std::string &folder, const std::string &sid, std::string &why) {
    const std::vector<FolderEntry> entries = OwnFolderEntries(sid);
    FolderFacts facts = system.Folder(folder);
    if (facts.kind == FolderFacts::Missing) {
        if (!system.MakeFolder(folder, sid, entries, why)) {
            why = "cannot make " + folder + ": " + why;
            return false;
        }
        facts = system.Folder(folder);
    }
    if (facts.kind == FolderFacts::Redirected) {
        why = folder + " is a junction, mount point or symbolic link";
        return false;
    }
    if (facts.kind != FolderFacts::Folder) {
        why = folder + (facts.kind == FolderFacts::NotFolder ? " is not a folder" : " cannot be read: " + facts.error);
        return false;
    }
    if (facts.owner != sid) {
        why = folder + " is owned by " + facts.owner + ", not by " + sid;
        return false;
    }
    if (!facts.protectedList || !SameEntries(facts.entries, entries)) {
        why = folder + " lets others than " + sid + ", SYSTEM and Administrators in";
        return false;
    }
    return true;
}

// The most a kept previous value may hold: a TEMP is a folder's name, and
// what the service keeps lies in the machine's own registry.
constexpr size_t kKeptMost = 32 * 1024;

// Points the open environment's TEMP and TMP at `folder`, the replaced
// values kept first. Only text is kept (a user may put anything in their
// own keys); with anything else the account is refused, nothing written.
Opened PointAt(ServiceSystem &system, const Account &account, const std::string &folder, std::string &error) {
    const RegistryValue ours = FolderValue(folder);
    RegistryValue now[std::size(kMovedVariables)];
    for (size_t i = 0; i < std::size(kMovedVariables); ++i) {
        if (!system.ReadVariable(kMovedVariables[i], now[i], error)) return Opened::Failed;
        const RegistryValue &v = now[i];
        if (v.present && ((v.type != kRegSz && v.type != kRegExpandSz) || v.data.size() > kKeptMost)) {
            error = std::string(kMovedVariables[i]) + " is not text of at most 32 KiB (type " +
                    std::to_string(v.type) + ", " + std::to_string(v.data.size()) + " bytes), so it is not kept";
            return Opened::Refused;
        }
    }
    for (size_t i = 0; i < std::size(kMovedVariables); ++i) {
        const char *name = kMovedVariables[i];
        if (now[i] == ours) continue;
        // The value found is the one to give back (a value someone set
        // since is kept rather than an older one).
        if (!system.WriteSaved(account.sid, name, now[i]) || !system.WriteSaved(account.sid, kWrittenValue, ours)) {
            error = "cannot keep the previous value of " + std::string(name);
            return Opened::Failed;
        }
        if (!system.WriteVariable(name, ours, error)) return Opened::Failed;
    }
    return Opened::Yes;
}

// Gives the open environment back the values it had, where it still holds
// the service's; the record stays, for the next boot that has the drive.
bool PointBack(ServiceSystem &system, const std::string &sid, bool &moved, std::string &error) {
    RegistryValue ours;
    moved = system.ReadSaved(sid, kWrittenValue, ours);
    if (!moved) return true;
    for (const char *name : kMovedVariables) {
        RegistryValue now, saved;
        if (!system.ReadSaved(sid, name, saved)) continue;
        if (!system.ReadVariable(name, now, error)) return false;
        if (now == ours && !system.WriteVariable(name, saved, error)) return false;
    }
    return true;
}

struct Tally {
    std::vector<std::string> onDrive, putBack, refused, failed;
};

// A record whose profile is gone can never be given back: it goes, and says so.
void DropRecord(ServiceSystem &system, const std::string &sid, const std::string &why) {
    system.Report(EventKind::Warning, kEventRecordDropped, {sid, why});
    system.ForgetSaved(sid);
}

void HandleAccount(ServiceSystem &system, const Account &account, const Check &check, bool parentFit,
                   Tally &tally) {
    const std::string folder = AccountFolder(check.letter, account.sid);
    std::string why, error;
    const bool use = check.outcome == Outcome::Up && parentFit && OwnFolder(system, folder, account.sid, why);
    // A refused parent was reported once for every account; each is still
    // counted, so that the outcome's event does not say all is as it was.
    if (check.outcome == Outcome::Up && !use) {
        if (parentFit) system.Report(EventKind::Warning, kEventFolderRefused, {account.sid, why});
        tally.refused.push_back(account.sid);
    }
    switch (ReachEnvironment(system, account, error)) {
        case Reach::Open:
            break;
        case Reach::Refused:
            system.Report(EventKind::Warning, kEventAccountRefused, {account.sid, error});
            if (tally.refused.empty() || tally.refused.back() != account.sid) tally.refused.push_back(account.sid);
            return;
        case Reach::Gone:
            if (RegistryValue ours; system.ReadSaved(account.sid, kWrittenValue, ours))
                DropRecord(system, account.sid, error);
            return;
        case Reach::Failed:
            system.Report(EventKind::Error, kEventChangeFailed, {account.sid, error});
            tally.failed.push_back(account.sid);
            return;
    }
    bool moved = true;
    Opened done = Opened::Yes;
    if (use)
        done = PointAt(system, account, folder, error);
    else if (!PointBack(system, account.sid, moved, error))
        done = Opened::Failed;
    system.CloseEnvironment();
    if (done == Opened::Refused) {
        system.Report(EventKind::Warning, kEventAccountRefused, {account.sid, error});
        if (tally.refused.empty() || tally.refused.back() != account.sid) tally.refused.push_back(account.sid);
    } else if (done == Opened::Failed) {
        system.Report(EventKind::Error, kEventChangeFailed, {account.sid, error});
        tally.failed.push_back(account.sid);
    } else if (use) {
        tally.onDrive.push_back(account.sid);
    } else if (moved) {
        tally.putBack.push_back(account.sid);
    }
}

std::vector<Account> Accounts(ServiceSystem &system, const ServiceOptions &options) {
    std::vector<Account> accounts;
    if (options.userTemp) accounts = system.Profiles();
    if (options.systemTemp) accounts.push_back({kSystemAccount, {}, true});
    return accounts;
}

std::string CommaList(const std::vector<std::string> &items) {
    std::string text;
    for (const std::string &item : items) text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string TallyText(const Tally &tally, const ServiceOptions &options) {
    if (!options.userTemp && !options.systemTemp) return "TEMP and TMP are not moved to the drive.";
    std::string text;
    if (!tally.onDrive.empty()) text += "TEMP and TMP on the drive for " + CommaList(tally.onDrive) + ". ";
    if (!tally.putBack.empty())
        text += "TEMP and TMP back at their previous values for this boot for " + CommaList(tally.putBack) + ". ";
    if (!tally.refused.empty()) text += "Folders refused (see the warnings) for " + CommaList(tally.refused) + ". ";
    if (!tally.failed.empty())
        text += "TEMP and TMP could not be changed (see the errors) for " + CommaList(tally.failed) + ". ";
    if (text.empty()) text = "TEMP and TMP of every account are where they were. ";
    text.pop_back();
    return text;
}

void RunAccounts(ServiceSystem &system, const ServiceOptions &options, const Check &check, Tally &tally) {
    std::string why;
    bool parentFit = false;
    if (check.outcome == Outcome::Up && (options.userTemp || options.systemTemp)) {
        parentFit = ParentFit(system, std::string(1, check.letter) + ":\\Temp", why);
        if (!parentFit) system.Report(EventKind::Warning, kEventFolderRefused, {"every account", why});
    }
    const std::vector<Account> accounts = Accounts(system, options);
    for (const Account &account : accounts) HandleAccount(system, account, check, parentFit, tally);
    // Records of users whose profiles have gone from the list since: their
    // values go back where the hive is still loaded, else the record goes.
    for (const std::string &sid : system.SavedAccounts()) {
        bool handled = sid == kSystemAccount;
        for (const Account &a : accounts) handled = handled || a.sid == sid;
        if (!handled && options.userTemp) HandleAccount(system, {sid, {}, false}, {}, false, tally);
    }
}

}  // namespace

// Anything but the account's own hive, where it belongs, could hand SYSTEM
// another account's hive, or a file the user chose, to load and write.
Reach ReachEnvironment(ServiceSystem &system, const Account &account, std::string &why) {
    if (!account.system) {
        const HiveFacts hive = system.Hive(account);
        const std::string file = account.profilePath + "\\NTUSER.DAT";
        switch (hive.kind) {
            case HiveFacts::Loaded:
                break;
            case HiveFacts::Gone:
                why = account.profilePath.empty() ? "the profile is no longer on the machine"
                                                  : "the profile is gone (" + hive.what + ")";
                return Reach::Gone;
            case HiveFacts::Redirected:
                why = "the way to " + file + " passes " + hive.what + ", a junction, mount point or symbolic link";
                return Reach::Refused;
            case HiveFacts::Unreadable:
                why = "cannot check " + file + ": " + hive.what;
                return Reach::Failed;
            case HiveFacts::File:
                if (hive.owner != account.sid && hive.owner != kSystemAccount)
                    why = file + " is owned by " + hive.owner + ", not by " + account.sid + " or SYSTEM";
                else if (hive.links != 1)
                    why = file + " has " + std::to_string(hive.links) + " names (hard links), not one";
                if (!why.empty()) {
                    system.CloseEnvironment();  // lets go of the way to it
                    return Reach::Refused;
                }
                break;
        }
    }
    switch (system.OpenEnvironment(account, why)) {
        case Opened::Yes: return Reach::Open;
        case Opened::Refused: return Reach::Refused;
        case Opened::Failed: break;
    }
    return Reach::Failed;
}

std::vector<FolderEntry> OwnFolderEntries(const std::string &sid) {
    std::vector<FolderEntry> entries = {{kObjectAndContainerInherit, kFullControl, sid},
                                        {kObjectAndContainerInherit, kFullControl, kSystemAccount},
                                        {kObjectAndContainerInherit, kFullControl, kAdministratorsSid}};
    if (sid == kSystemAccount) entries.erase(entries.begin());
    return entries;
}

std::vector<FolderEntry> ParentFolderEntries() {
    return {{0, 0x00100020, "S-1-5-32-545"},
            {kObjectAndContainerInherit, kFullControl, kAdministratorsSid},
            {kObjectAndContainerInherit, kFullControl, kSystemAccount}};
}

std::string AccountFolder(char letter, const std::string &sid) {
    return std::string(1, letter) + ":\\Temp\\" + sid;
}

bool PelmarDrive(const std::vector<std::string> &lines, char &letter, std::string &image) {
    for (const std::string &line : lines) {
        std::optional<std::vector<std::string>> words = PelmarArguments(line);
        if (!words) continue;
        const BootArguments arguments = ReadBootArguments(*words);
        letter = static_cast<char>(arguments.choice.DriveLetter);
        image.clear();
        if (arguments.image) image = *arguments.image;
        for (const char16_t *c = kDefaultImagePath; !arguments.image && *c; ++c) image += static_cast<char>(*c);
        return true;
    }
    return false;
}

uint32_t RunAtStart(ServiceSystem &system, const ServiceOptions &options) {
    const Check check = CheckDrive(system);
    Tally tally;
    RunAccounts(system, options, check, tally);
    const std::string accounts = TallyText(tally, options);
    uint32_t id = kEventNothingToCheck;
    EventKind kind = EventKind::Error;
    switch (check.outcome) {
        case Outcome::Up:
            id = kEventDriveUp;
            kind = EventKind::Information;
            break;
        case Outcome::Missing:
            id = kEventDriveMissing;
            break;
        case Outcome::AfterRestart:
            id = kEventDriveAfterRestart;
            kind = EventKind::Information;
            break;
        case Outcome::Other:
            id = kEventDriveOther;
            kind = EventKind::Warning;
            break;
        case Outcome::ImageChanged:
            id = kEventImageChanged;
            break;
        case Outcome::NothingToCheck:
            break;
    }
    system.Report(kind, id, {check.what, accounts});
    system.KeepOutcome(id, check.what + ". " + accounts);

    // The paging file on the drive, where PagingFiles asks for one.
    if (check.letter) {
        const std::string prefix = AsciiLower(std::string(1, check.letter) + ":\\");
        bool configured = false;
        for (const std::string &line : system.PagingFilesConfigured())
            configured = configured || AsciiLower(line).rfind(prefix, 0) == 0;
        std::vector<std::string> inUse;
        std::string error;
        if (configured) {
            bool used = false;
            const bool known = system.PagingFilesInUse(inUse, error);
            for (const std::string &file : inUse) {
                std::string name = AsciiLower(file);
                if (name.rfind("\\??\\", 0) == 0) name.erase(0, 4);
                used = used || name.rfind(prefix, 0) == 0;
            }
            const std::string drive = std::string(1, check.letter) + ":";
            if (used)
                system.Report(EventKind::Information, kEventPagingFileInUse, {drive, CommaList(inUse)});
            else
                system.Report(EventKind::Warning, kEventPagingFileUnused,
                              {drive, known ? "the system uses " + (inUse.empty() ? "no paging file" : CommaList(inUse))
                                            : "the system's list of paging files cannot be read: " + error});
        }
    }
    return id;
}

void RunAtLogon(ServiceSystem &system, const ServiceOptions &options) {
    Tally tally;
    RunAccounts(system, options, CheckDrive(system), tally);
}

bool MakeAccountFolders(ServiceSystem &system, char letter, const ServiceOptions &options,
                        std::vector<std::string> &lines) {
    std::string why;
    const std::string parent = std::string(1, letter) + ":\\Temp";
    if (!ParentFit(system, parent, why)) {
        lines.push_back("refused: " + why);
        return false;
    }
    lines.push_back(parent + ": the parent, users may pass through only");
    bool ok = true;
    for (const Account &account : Accounts(system, options)) {
        const std::string folder = AccountFolder(letter, account.sid);
        const bool own = OwnFolder(system, folder, account.sid, why);
        lines.push_back(own ? folder + ": " + account.sid + "'s own" : "refused: " + why);
        ok = ok && own;
    }
    return ok;
}

bool PutBackAll(ServiceSystem &system, std::vector<std::string> &problems,
                std::vector<std::pair<std::string, std::string>> &dropped,
                const std::function<bool(const std::string &sid)> &which) {
    std::vector<Account> profiles = system.Profiles();
    for (const std::string &sid : system.SavedAccounts()) {
        if (which && !which(sid)) continue;
        Account account{sid, {}, sid == kSystemAccount};
        for (const Account &a : profiles)
            if (a.sid == sid) account = a;
        std::string error;
        switch (ReachEnvironment(system, account, error)) {
            case Reach::Open:
                break;
            case Reach::Gone:
            case Reach::Refused:
                // Nothing is written there; a record kept would stop the
                // uninstall at every try.
                dropped.push_back({sid, error});
                system.ForgetSaved(sid);
                continue;
            case Reach::Failed:
                problems.push_back(sid + ": " + error);
                continue;
        }
        bool ok = true;
        RegistryValue written;
        system.ReadSaved(sid, kWrittenValue, written);
        for (const char *name : kMovedVariables) {
            // A value someone changed after the service is theirs to keep.
            RegistryValue saved, now;
            if (!system.ReadSaved(sid, name, saved)) continue;
            if (!system.ReadVariable(name, now, error) || (now == written && !system.WriteVariable(name, saved, error))) {
                problems.push_back(sid + ": " + name + ": " + error);
                ok = false;
            }
        }
        system.CloseEnvironment();
        if (ok) system.ForgetSaved(sid);
    }
    return problems.empty();
}

}  // namespace pelmar_tools
