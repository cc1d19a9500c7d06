// ServiceSystem on Windows (see service_win32.h). Only what Windows Server
// 2003 x64 and Windows XP x64 have: kernel32, advapi32 and msvcrt; the one
// native call (the list of paging files) is looked up in ntdll at run time.
#include "tools/pelmar-service/service_win32.h"

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/boot-config/boot_line.h"
#include "tools/boot-config/drive_letter.h"
#include "tools/boot-config/drive_letter_win32.h"
#include "tools/boot-config/privileges_win32.h"
#include "tools/boot-config/registry_win32.h"
#include "tools/boot-config/system_keys.h"
#include "tools/image/image_check.h"
#include "tools/image/image_digest.h"
#include "tools/pelmar-service/service_messages.h"
#include "tools/platform/drive.h"
#include "tools/platform/volume_source.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {

// The message table's identifiers are the contract's events, with the
// severity in their top bits.
static_assert((MSG_DRIVE_UP & 0xFFFF) == kEventDriveUp && (MSG_DRIVE_MISSING & 0xFFFF) == kEventDriveMissing &&
              (MSG_DRIVE_OTHER & 0xFFFF) == kEventDriveOther &&
              (MSG_NOTHING_TO_CHECK & 0xFFFF) == kEventNothingToCheck &&
              (MSG_DRIVE_AFTER_RESTART & 0xFFFF) == kEventDriveAfterRestart &&
              (MSG_IMAGE_CHANGED & 0xFFFF) == kEventImageChanged &&
              (MSG_FOLDER_REFUSED & 0xFFFF) == kEventFolderRefused &&
              (MSG_CHANGE_FAILED & 0xFFFF) == kEventChangeFailed &&
              (MSG_ACCOUNT_REFUSED & 0xFFFF) == kEventAccountRefused &&
              (MSG_RECORD_DROPPED & 0xFFFF) == kEventRecordDropped &&
              (MSG_PAGING_FILE_IN_USE & 0xFFFF) == kEventPagingFileInUse &&
              (MSG_PAGING_FILE_UNUSED & 0xFFFF) == kEventPagingFileUnused &&
              (MSG_DRIVE_KEPT & 0xFFFF) == kEventDriveKept &&
              (MSG_SERVICE_RESTARTED & 0xFFFF) == kEventServiceRestarted &&
              (MSG_SETTING_TURNED_BACK & 0xFFFF) == kEventSettingTurnedBack &&
              (MSG_TEMP_BACK & 0xFFFF) == kEventTempBack && (MSG_MARKER_FAILED & 0xFFFF) == kEventMarkerFailed);

namespace {

std::vector<std::string> MultiStringValue(const wchar_t *path, const wchar_t *name) {
    RegistryValue value;
    std::string error;
    std::vector<std::string> lines;
    if (!RegistryPlace{HKEY_LOCAL_MACHINE, path, name}.Read(value, error) || !value.present) return lines;
    for (const std::u16string &line : MultiStringLines(AsMultiString(value.data))) lines.push_back(Narrow(line));
    return lines;
}

std::string SidText(PSID sid) {
    LPWSTR text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return "?";
    std::string out = Narrow(text);
    LocalFree(text);
    return out;
}

struct Sid {
    PSID sid = nullptr;
    explicit Sid(const std::string &text) {
        if (!ConvertStringSidToSidW(Widen(text).c_str(), &sid)) sid = nullptr;
    }
    ~Sid() {
        if (sid) LocalFree(sid);
    }
    Sid(const Sid &) = delete;
    Sid &operator=(const Sid &) = delete;
};

std::wstring SavedKey(const std::string &sid) { return std::wstring(kSavedKey) + L"\\" + Widen(sid); }
// The installer's copy of an account's records (see kRecordsKey).
std::wstring RecordsSavedKey(const std::string &sid) {
    return std::wstring(kRecordsSavedKey) + L"\\" + Widen(sid);
}

// One of an account's records: the service's, and the installer's copy.
KeptRecord SavedRecord(const std::string &sid, const std::string &name) {
    return {{HKEY_LOCAL_MACHINE, SavedKey(sid), Widen(name)}, {HKEY_LOCAL_MACHINE, RecordsSavedKey(sid), Widen(name)}};
}

// The accounts with records under `key`.
std::vector<std::string> AccountsUnder(const wchar_t *key) {
    std::vector<std::string> sids;
    RegistryKey saved(HKEY_LOCAL_MACHINE, key, KEY_READ);
    for (DWORD i = 0; saved; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(saved.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        sids.push_back(Narrow(name));
    }
    return sids;
}

// An account's records under `key` go, values and key.
void ForgetUnder(const wchar_t *key, const std::string &sid) {
    RegistryKey saved(HKEY_LOCAL_MACHINE, key, KEY_READ | KEY_WRITE);
    if (!saved) return;
    {
        RegistryKey account(saved.get(), Widen(sid), KEY_READ | KEY_WRITE);
        std::vector<std::string> names(std::begin(kMovedVariables), std::end(kMovedVariables));
        names.push_back(kWrittenValue);
        for (const std::string &name : names)
            if (account) RegDeleteValueW(account.get(), Widen(name).c_str());
    }
    RegDeleteKeyW(saved.get(), Widen(sid).c_str());
}

}  // namespace

ServiceOptions InstalledOptions() {
    ServiceOptions options;
    auto flag = [&](const char *name) {
        RegistryValue value;
        std::string error;
        const bool read = RegistryPlace{HKEY_LOCAL_MACHINE, kParametersKey, Widen(name)}.Read(value, error);
        return read && DwordOf(value).value_or(0) != 0;
    };
    options.userTemp = flag(kUserTempValue);
    options.systemTemp = flag(kSystemTempValue);
    return options;
}

std::string FolderText(const FolderFacts &facts) {
    switch (facts.kind) {
        case FolderFacts::Missing: return "missing";
        case FolderFacts::Redirected: return "a junction, mount point or symbolic link (never followed)";
        case FolderFacts::NotFolder: return "not a folder";
        case FolderFacts::Unreadable: return "unreadable: " + facts.error;
        case FolderFacts::Folder: break;
    }
    std::string text = "owner " + facts.owner + (facts.protectedList ? ", protected" : ", not protected") +
                       (facts.noList ? ", no access list (everyone may do everything)" : ",");
    for (const FolderEntry &e : facts.entries) {
        char entry[64];
        std::snprintf(entry, sizeof entry, " (flags 0x%x, rights 0x%lx, ", e.flags, static_cast<unsigned long>(e.mask));
        text += entry + e.sid + ")";
    }
    return text;
}

Win32ServiceSystem::Win32ServiceSystem() {
    // Setting another account as a folder's owner, and loading another
    // user's hive, need the restore and backup privileges, which LocalSystem
    // and administrators hold but have switched off. Without them those
    // calls fail, and say so, each where it is made.
    std::string why;
    EnablePrivileges({SE_RESTORE_NAME, SE_BACKUP_NAME}, why);
    eventLog_ = RegisterEventSourceW(nullptr, kEventSource);
}

Win32ServiceSystem::~Win32ServiceSystem() {
    CloseEnvironment(true);
    if (eventLog_) DeregisterEventSource(eventLog_);
}

std::vector<std::string> Win32ServiceSystem::BootExecuteLines() {
    return MultiStringValue(kSessionManagerKey, kBootExecuteValue);
}

namespace {

// The image the boot line names, by the one rule the installer checked it
// under; null and why when it cannot be opened.
std::unique_ptr<VolumeSource> OpenImage(const std::string &image, std::string &error) {
    std::string why;
    const std::optional<std::u16string> win32 = BootPathAsWin32(AsUtf16(Widen(image)), why);
    if (!win32) {
        error = "it cannot be opened as it is named: " + why;
        return nullptr;
    }
    return OpenVolumeFile(Narrow(*win32), error);
}

}  // namespace

bool Win32ServiceSystem::ImageDigest(const std::string &image, std::vector<uint8_t> &digest, std::string &error) {
    std::unique_ptr<VolumeSource> source = OpenImage(image, error);
    return source && pelmar_tools::ImageDigest(*source, digest, error);
}

std::vector<uint8_t> Win32ServiceSystem::RecordedImageDigest() {
    RegistryValue value;
    std::string error;
    const bool read =
        RegistryPlace{HKEY_LOCAL_MACHINE, kParametersKey, Widen(kImageDigestValue)}.Read(value, error);
    if (!read || !value.present || value.type != kRegBinary || value.data.size() != 32) return {};
    return value.data;
}

bool Win32ServiceSystem::ImageBootSector(const std::string &image, std::vector<uint8_t> &sector, uint64_t &bytes,
                                         std::string &error) {
    std::unique_ptr<VolumeSource> source = OpenImage(image, error);
    ImageHeader header;
    if (!source || !ReadImageHeader(*source, header, error)) return false;
    if (!HeaderProblems(header).empty()) {
        error = HeaderProblems(header).front();
        return false;
    }
    sector.assign(header.sectorSize, 0);
    // The restore's writes, of which the first sector's is the one kept.
    ReplayResult replay = ReplayImage(*source, header, [&](uint64_t offset, const uint8_t *data, size_t length,
                                                            std::string &) {
        if (offset == 0) sector.assign(data, data + std::min<size_t>(length, sector.size()));
        return true;
    });
    if (!replay.consistent) {
        error = replay.ioError.empty() ? replay.problem : replay.ioError;
        return false;
    }
    bytes = header.volumeSectors * header.sectorSize;
    return true;
}

DriveFacts Win32ServiceSystem::Drive(char letter) {
    DriveFacts facts;
    const std::wstring drive = std::wstring(1, static_cast<wchar_t>(letter)) + L":";
    const std::optional<std::string> target = LetterDevice(letter);
    if (!target) {
        facts.error = "no device has the letter";
        return facts;
    }
    facts.device = *target;
    // A letter given to a folder (subst) or to a disk of the storage stack
    // is not a volume the driver mounted.
    if (!IsDriverVolume(facts.device)) {
        facts.error = "the letter names " + facts.device + ", not a volume of the driver";
        return facts;
    }
    std::unique_ptr<DriveDevice> device = OpenDrive(Narrow(drive.c_str()), facts.error, DriveAccess::ReadOnly);
    if (!device) return facts;
    uint8_t answer[24];
    DISK_GEOMETRY g{};
    if (!device->Geometry(answer, facts.error)) {
        facts.error = "cannot read the volume's geometry: " + facts.error;
        return facts;
    }
    std::memcpy(&g, answer, sizeof g);
    if (g.BytesPerSector == 0) {
        facts.error = "the volume gives no sector size";
        return facts;
    }
    facts.bootSector.assign(g.BytesPerSector, 0);
    facts.bytes =
        static_cast<uint64_t>(g.Cylinders.QuadPart) * g.TracksPerCylinder * g.SectorsPerTrack * g.BytesPerSector;
    facts.present = device->ReadSectors(0, facts.bootSector.data(), facts.bootSector.size(), facts.error);
    return facts;
}

std::vector<Account> Win32ServiceSystem::Profiles() {
    std::vector<Account> accounts;
    RegistryKey list(HKEY_LOCAL_MACHINE, kProfileListKey, KEY_READ);
    for (DWORD i = 0; list; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(list.get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::string sid = Narrow(name);
        // Users of the machine or a domain; the service accounts (S-1-5-18,
        // -19, -20) keep their own folders.
        if (sid.rfind("S-1-5-21-", 0) != 0) continue;
        RegistryKey profile(list.get(), name, KEY_QUERY_VALUE);
        RegistryValue path;
        std::string error;
        std::wstring expanded;
        if (profile && ReadValue(profile.get(), L"ProfileImagePath", path, error) && path.present) {
            const std::wstring raw = AsWide(StringOf(path));
            wchar_t out[MAX_PATH];
            DWORD n = ExpandEnvironmentStringsW(raw.c_str(), out, MAX_PATH);
            if (n > 0 && n <= MAX_PATH) expanded = out;
        }
        accounts.push_back({sid, Narrow(expanded.c_str()), false});
    }
    return accounts;
}

FolderFacts Win32ServiceSystem::Folder(const std::string &path) {
    FolderFacts facts;
    // Opened as itself: a reparse point is not followed.
    HANDLE h = CreateFileW(Widen(path).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        facts.kind = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? FolderFacts::Missing
                                                                             : FolderFacts::Unreadable;
        facts.error = SystemErrorText(e);
        return facts;
    }
    BY_HANDLE_FILE_INFORMATION info;
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    if (!GetFileInformationByHandle(h, &info)) {
        facts.kind = FolderFacts::Unreadable;
        facts.error = SystemErrorText(GetLastError());
    } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        facts.kind = FolderFacts::Redirected;
    } else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        facts.kind = FolderFacts::NotFolder;
    } else if (DWORD r = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                         &owner, nullptr, &dacl, nullptr, &sd);
               r != ERROR_SUCCESS) {
        facts.kind = FolderFacts::Unreadable;
        facts.error = SystemErrorText(r);
    } else {
        facts.kind = FolderFacts::Folder;
        facts.owner = SidText(owner);
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(sd, &control, &revision);
        facts.protectedList = (control & SE_DACL_PROTECTED) != 0;
        // No list at all (a null DACL, or none): the system lets everyone in.
        facts.noList = dacl == nullptr;
        for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
            ACE_HEADER *ace = nullptr;
            if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace))) continue;
            // Any other kind of entry than access-allowed makes the list
            // one the service did not write.
            const bool allowed = ace->AceType == ACCESS_ALLOWED_ACE_TYPE;
            auto *a = reinterpret_cast<ACCESS_ALLOWED_ACE *>(ace);
            facts.entries.push_back({static_cast<uint8_t>(ace->AceFlags | (allowed ? 0 : 0x80)), a->Mask,
                                     allowed ? SidText(&a->SidStart) : "?"});
        }
        LocalFree(sd);
    }
    CloseHandle(h);
    return facts;
}

bool Win32ServiceSystem::MakeFolder(const std::string &path, const std::string &owner,
                                    const std::vector<FolderEntry> &entries, std::string &error) {
    Sid ownerSid(owner);
    std::vector<std::unique_ptr<Sid>> sids;
    DWORD size = sizeof(ACL);
    for (const FolderEntry &e : entries) {
        sids.push_back(std::make_unique<Sid>(e.sid));
        if (!sids.back()->sid) {
            error = "no such account " + e.sid;
            return false;
        }
        size += sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sids.back()->sid);
    }
    std::vector<BYTE> aclBytes(size);
    ACL *acl = reinterpret_cast<ACL *>(aclBytes.data());
    SECURITY_DESCRIPTOR sd;
    bool ok = ownerSid.sid && InitializeAcl(acl, size, ACL_REVISION);
    for (size_t i = 0; ok && i < entries.size(); ++i)
        ok = AddAccessAllowedAceEx(acl, ACL_REVISION, entries[i].flags, entries[i].mask, sids[i]->sid);
    // Protected: nothing the parent holds or later gets reaches the folder.
    ok = ok && InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorOwner(&sd, ownerSid.sid, FALSE) && SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) &&
         SetSecurityDescriptorControl(&sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    SECURITY_ATTRIBUTES sa{sizeof sa, &sd, FALSE};
    if (!ok || !CreateDirectoryW(Widen(path).c_str(), &sa)) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    return true;
}

namespace {

// The file's identity and the facts the hive's check needs, by handle.
bool HiveFileFacts(HANDLE h, HiveFacts &facts, BY_HANDLE_FILE_INFORMATION &info) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    if (!GetFileInformationByHandle(h, &info)) {
        facts = {HiveFacts::Unreadable, {}, 0, SystemErrorText(GetLastError())};
        return false;
    }
    if (const DWORD r = GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                        nullptr, &sd);
        r != ERROR_SUCCESS) {
        facts = {HiveFacts::Unreadable, {}, 0, SystemErrorText(r)};
        return false;
    }
    facts.owner = SidText(owner);
    facts.links = info.nNumberOfLinks;
    LocalFree(sd);
    return true;
}

HANDLE OpenAsItself(const std::wstring &path, DWORD access, DWORD share) {
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

HiveFacts Win32ServiceSystem::Hive(const Account &account) {
    ReleaseHiveWay();
    HKEY loaded = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, Widen(account.sid).c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, &loaded) ==
        ERROR_SUCCESS) {
        RegCloseKey(loaded);
        return {HiveFacts::Loaded, {}, 0, {}};
    }
    const std::wstring profile = Widen(account.profilePath);
    // Only a full path with its drive: never a name the current drive or
    // folder would complete.
    if (profile.empty()) return {HiveFacts::Gone, {}, 0, "no profile folder is recorded"};
    if (profile.size() < 4 || profile[1] != L':' || profile[2] != L'\\' || profile.find(L"\\\\") != std::wstring::npos ||
        profile.back() == L'\\')
        return {HiveFacts::Unreadable, {}, 0, "the profile folder " + account.profilePath + " is not a full path"};
    // Each folder on the way opened as itself and held without sharing
    // deletion, so that none can be renamed, removed or replaced by a
    // junction until the hive is loaded and checked again.
    for (size_t end = profile.find(L'\\', 3);; end = profile.find(L'\\', end + 1)) {
        const std::wstring part = profile.substr(0, end);
        HANDLE h = OpenAsItself(part, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD e = GetLastError();
            ReleaseHiveWay();
            if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
                return {HiveFacts::Gone, {}, 0, Narrow(part.c_str()) + " is not there"};
            return {HiveFacts::Unreadable, {}, 0, Narrow(part.c_str()) + ": " + SystemErrorText(e)};
        }
        hiveWay_.push_back(h);
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const bool reparse = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            ReleaseHiveWay();
            return {reparse ? HiveFacts::Redirected : HiveFacts::Unreadable, {}, 0,
                    Narrow(part.c_str()) + (reparse ? "" : " is not a folder")};
        }
        if (end == std::wstring::npos) break;
    }
    const std::wstring file = profile + L"\\NTUSER.DAT";
    // Held with no access the hive's own exclusive open would meet.
    HANDLE h = OpenAsItself(file, READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        ReleaseHiveWay();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND)
            return {HiveFacts::Gone, {}, 0, Narrow(file.c_str()) + " is not there"};
        return {HiveFacts::Unreadable, {}, 0, SystemErrorText(e)};
    }
    HiveFacts facts{HiveFacts::File, {}, 0, {}};
    BY_HANDLE_FILE_INFORMATION info{};
    const bool read = HiveFileFacts(h, facts, info);
    CloseHandle(h);
    if (read && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        facts = {HiveFacts::Redirected, {}, 0, Narrow(file.c_str())};
    if (facts.kind != HiveFacts::File) {
        ReleaseHiveWay();
        return facts;
    }
    hiveFile_ = file;
    hiveId_ = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return facts;
}

void Win32ServiceSystem::ReleaseHiveWay() {
    for (HANDLE h : hiveWay_) CloseHandle(h);
    hiveWay_.clear();
    hiveFile_.clear();
}

Opened Win32ServiceSystem::OpenEnvironment(const Account &account, std::string &why) {
    CloseEnvironment(false);
    const REGSAM access = KEY_QUERY_VALUE | KEY_SET_VALUE;
    LONG r = ERROR_SUCCESS;
    if (account.system) {
        r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSystemEnvironmentKey, 0, access, &environment_);
        if (r == ERROR_SUCCESS) return Opened::Yes;
        why = "cannot open SYSTEM's environment: " + SystemErrorText(static_cast<DWORD>(r));
        return Opened::Failed;
    }
    const std::wstring sid = Widen(account.sid);
    HKEY loaded = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, sid.c_str(), REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE, &loaded) == ERROR_SUCCESS) {
        RegCloseKey(loaded);
    } else if (hiveFile_.empty()) {
        why = "its hive was not checked";
        return Opened::Failed;
    } else {
        // A profile that is not loaded: its hive, as Hive found it, for the
        // change only. The name is opened once more after the load: the
        // load holds the file it took, so the same file there is the one
        // loaded.
        r = RegLoadKeyW(HKEY_USERS, sid.c_str(), hiveFile_.c_str());
        if (r != ERROR_SUCCESS) {
            why = "cannot load " + Narrow(hiveFile_.c_str()) + ": " + SystemErrorText(static_cast<DWORD>(r));
            CloseEnvironment();
            return Opened::Failed;
        }
        loadedHive_ = sid;
        HiveFacts after{HiveFacts::File, {}, 0, {}};
        BY_HANDLE_FILE_INFORMATION info{};
        HANDLE h = CreateFileW(hiveFile_.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        const bool same = h != INVALID_HANDLE_VALUE && HiveFileFacts(h, after, info) && after.links == 1 &&
                          !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                          HiveId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow} == hiveId_;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (!same) {
            why = Narrow(hiveFile_.c_str()) + " was replaced while it was loaded";
            CloseEnvironment();
            return Opened::Refused;
        }
    }
    // HKEY_USERS\SID and its Environment, each opened as itself: a link in
    // either could send the values to the machine's keys or another's.
    bool refused = false;
    const std::wstring userKey = L"\\REGISTRY\\USER\\" + sid;
    HKEY user = OpenKeyAsItself(HKEY_USERS, sid, userKey, KEY_QUERY_VALUE | KEY_CREATE_SUB_KEY, false, refused, why);
    if (user) {
        environment_ = OpenKeyAsItself(user, L"Environment", userKey + L"\\Environment", access, true, refused, why);
        RegCloseKey(user);
        if (!environment_) why = "HKEY_USERS\\" + account.sid + "\\Environment: " + why;
    } else {
        why = "HKEY_USERS\\" + account.sid + ": " + why;
    }
    if (!environment_) {
        if (!refused) why = "cannot open " + why;
        CloseEnvironment();
        return refused ? Opened::Refused : Opened::Failed;
    }
    return Opened::Yes;
}

bool Win32ServiceSystem::ReadVariable(const std::string &name, RegistryValue &value, std::string &error) {
    return ReadValue(environment_, Widen(name).c_str(), value, error);
}

bool Win32ServiceSystem::WriteVariable(const std::string &name, const RegistryValue &value, std::string &error) {
    return WriteValue(environment_, Widen(name).c_str(), value, error);
}

void Win32ServiceSystem::CloseEnvironment() { CloseEnvironment(true); }

void Win32ServiceSystem::CloseEnvironment(bool releaseWay) {
    if (environment_) RegCloseKey(environment_);
    environment_ = nullptr;
    if (!loadedHive_.empty()) RegUnLoadKeyW(HKEY_USERS, loadedHive_.c_str());
    loadedHive_.clear();
    if (releaseWay) ReleaseHiveWay();
}

std::vector<std::string> Win32ServiceSystem::SavedAccounts() {
    std::vector<std::string> sids = AccountsUnder(kSavedKey);
    for (const std::string &sid : AccountsUnder(kRecordsSavedKey))
        if (std::find(sids.begin(), sids.end(), sid) == sids.end()) sids.push_back(sid);
    return sids;
}

bool Win32ServiceSystem::ReadSaved(const std::string &sid, const std::string &name, RegistryValue &value) {
    RegistryValue packed;
    std::string error;
    if (!SavedRecord(sid, name).Read(packed, error) || !packed.present) return false;
    const std::optional<RegistryValue> saved = Unpacked(packed);
    if (saved) value = *saved;
    return saved.has_value();
}

bool Win32ServiceSystem::WriteSaved(const std::string &sid, const std::string &name, const RegistryValue &value) {
    std::string error;
    return SavedRecord(sid, name).Write(Packed(value), error);
}

void Win32ServiceSystem::ForgetSaved(const std::string &sid) {
    ForgetUnder(kSavedKey, sid);
    ForgetUnder(kRecordsSavedKey, sid);
}

std::vector<std::string> Win32ServiceSystem::PagingFilesConfigured() {
    std::vector<std::string> lines = MultiStringValue(kMemoryManagementKey, kPagingFilesValue);
    // "T:\pagefile.sys 1024 4096": the file's name is the first word.
    for (std::string &line : lines) line = line.substr(0, line.find(' '));
    return lines;
}

bool Win32ServiceSystem::PagingFilesInUse(std::vector<std::string> &files, std::string &error) {
    // SystemPageFileInformation (18): one record a paging file in use.
    struct Record {
        ULONG next, totalSize, inUse, peak;
        USHORT length, maximumLength;
        PWSTR name;
    };
    using Query = LONG(WINAPI *)(ULONG, void *, ULONG, ULONG *);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto query = ntdll ? reinterpret_cast<Query>(
                             reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                       : nullptr;
    std::vector<BYTE> buffer(64 * 1024);
    ULONG got = 0;
    const LONG status = query ? query(18, buffer.data(), static_cast<ULONG>(buffer.size()), &got) : -1;
    if (status < 0) {
        char text[64];
        std::snprintf(text, sizeof text, "the system answers 0x%08lx", static_cast<unsigned long>(status));
        error = text;
        return false;
    }
    for (size_t at = 0; got && at + sizeof(Record) <= got;) {
        const Record *r = reinterpret_cast<const Record *>(buffer.data() + at);
        if (r->name) files.push_back(Narrow(std::wstring(r->name, r->length / 2).c_str()));
        if (!r->next) break;
        at += r->next;
    }
    return true;
}

void Win32ServiceSystem::Report(EventKind kind, uint32_t id, const std::vector<std::string> &inserts) {
    const WORD type = kind == EventKind::Error     ? EVENTLOG_ERROR_TYPE
                      : kind == EventKind::Warning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
    const DWORD severity = kind == EventKind::Error ? 0xC0000000u : kind == EventKind::Warning ? 0x80000000u : 0x40000000u;
    std::vector<std::wstring> wide;
    std::vector<LPCWSTR> strings;
    for (const std::string &s : inserts) wide.push_back(Widen(s));
    for (const std::wstring &s : wide) strings.push_back(s.c_str());
    if (eventLog_)
        ReportEventW(eventLog_, type, 0, severity | id, nullptr, static_cast<WORD>(strings.size()), 0,
                     strings.data(), nullptr);
    if (echo) {
        std::string text;
        for (const std::string &s : inserts) text += " | " + s;
        std::printf("event %u (%s)%s\n", static_cast<unsigned>(id),
                    kind == EventKind::Error ? "error" : kind == EventKind::Warning ? "warning" : "information",
                    text.c_str());
    }
}

uint64_t BootTime() {
    // SystemTimeOfDayInformation (3): the boot's start first, in 100 ns since 1601.
    using Query = LONG(WINAPI *)(ULONG, void *, ULONG, ULONG *);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto query = ntdll ? reinterpret_cast<Query>(
                             reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQuerySystemInformation")))
                       : nullptr;
    // 32 bytes: the record as every version has it (later ones add fields;
    // a longer buffer than the system's record is refused).
    uint64_t answer[4] = {};
    ULONG got = 0;
    if (!query || query(3, answer, sizeof answer, &got) < 0 || got < sizeof answer[0]) return 0;
    return answer[0];
}

uint64_t ThisBootBegan() { return BootTime() / 10000000; }

bool Win32ServiceSystem::InstalledAtThisBoot() {
    RegistryValue value;
    std::string error;
    if (!RegistryPlace{HKEY_LOCAL_MACHINE, kParametersKey, Widen(kInstalledAtBootValue)}.Read(value, error) ||
        !value.present)
        return false;
    const std::u16string text = StringOf(value);
    uint64_t began = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return false;
        began = began * 10 + (c - u'0');
    }
    // The two readings of the boot's start differ by the clock's drift and
    // adjustments only; boots are further apart than this.
    const uint64_t now = ThisBootBegan();
    return !text.empty() && now != 0 && (now > began ? now - began : began - now) <= 120;
}

void Win32ServiceSystem::KeepOutcome(uint32_t id, const std::string &text) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char when[40];
    std::snprintf(when, sizeof when, "%04u-%02u-%02u %02u:%02u:%02u: ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    // Kept only where install made the service's settings: a run on a
    // machine without Pelmar changes nothing.
    RegistryKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, kParametersKey, KEY_SET_VALUE)) return;
    std::string error;
    WriteValue(key.get(), Widen(kLastBootValue).c_str(), StringValue(AsUtf16(Widen(when + text))), error);
    WriteValue(key.get(), Widen(kLastBootEventValue).c_str(), DwordValue(id), error);
}

}  // namespace pelmar_tools
