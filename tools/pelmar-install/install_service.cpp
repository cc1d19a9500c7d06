// pelmar-install's part for pelmar-service (see install_service.h).
//
// The service goes to System32 beside pelmar.exe and runs as LocalSystem,
// started automatically at every boot; its settings and its records of the
// values it replaced live under its own key, which the service manager
// removes with the service. PagingFiles is edited here: the value before
// and after the edit are kept, so that uninstall gives back the value as it
// was, byte for byte, where nobody changed it since, and otherwise takes
// out exactly the line it added.
#include "tools/pelmar-install/install_service.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "tools/pelmar-install/install_parts.h"
#include "tools/pelmar-install/paging_files.h"
#include "tools/pelmar-service/service_win32.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

const wchar_t kServiceFile[] = L"pelmar-service.exe";
const wchar_t kMemoryManagement[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
const wchar_t kEventMessageFile[] = L"%SystemRoot%\\System32\\pelmar-service.exe";
constexpr uint64_t kMiB = 1024 * 1024;

std::wstring SystemFile(const wchar_t *name) {
    wchar_t folder[MAX_PATH];
    UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(folder, n) + L"\\" + name : std::wstring();
}

std::wstring Beside(const wchar_t *name) {
    std::vector<wchar_t> path(32768);
    std::wstring self(path.data(), GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

StoredValue MultiValue(const MultiString &text) {
    StoredValue v{true, REG_MULTI_SZ, std::vector<uint8_t>(text.size() * 2)};
    std::memcpy(v.data.data(), text.data(), v.data.size());
    return v;
}

MultiString AsText(const StoredValue &v) {
    MultiString text(v.data.size() / 2, u'\0');
    std::memcpy(text.data(), v.data.data(), text.size() * 2);
    return text;
}

// A registry value with its key, read and written whole.
struct Value {
    HKEY root;
    std::wstring key, name;
    bool Read(StoredValue &v, std::string &error) const {
        HKEY k = nullptr;
        LONG r = RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &k);
        if (r == ERROR_FILE_NOT_FOUND) {
            v = {};
            return true;
        }
        if (r != ERROR_SUCCESS) {
            error = SystemErrorText(static_cast<DWORD>(r));
            return false;
        }
        const bool ok = ReadRegistry(k, name.c_str(), v, error);
        RegCloseKey(k);
        return ok;
    }
    bool Write(const StoredValue &v, std::string &error) const {
        HKEY k = nullptr;
        LONG r = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr);
        if (r != ERROR_SUCCESS) {
            error = SystemErrorText(static_cast<DWORD>(r));
            return false;
        }
        const bool ok = WriteRegistry(k, name.c_str(), v, error);
        RegCloseKey(k);
        return ok;
    }
};

const Value kPagingFiles{HKEY_LOCAL_MACHINE, kMemoryManagement, L"PagingFiles"};
// PagingFiles as it was before the line went in, and as the install left it.
const Value kPagingBefore{HKEY_LOCAL_MACHINE, kParametersKey, L"PagingFilesBefore"};
const Value kPagingAfter{HKEY_LOCAL_MACHINE, kParametersKey, L"PagingFilesAfter"};

// Kept values are stored as REG_BINARY: present, type, bytes.
StoredValue Pack(const StoredValue &v) {
    StoredValue packed{true, REG_BINARY, {static_cast<uint8_t>(v.present)}};
    for (int i = 0; i < 4; ++i) packed.data.push_back(static_cast<uint8_t>(v.type >> (8 * i)));
    packed.data.insert(packed.data.end(), v.data.begin(), v.data.end());
    return packed;
}
std::optional<StoredValue> Unpack(const StoredValue &packed) {
    if (!packed.present || packed.data.size() < 5) return std::nullopt;
    StoredValue v{packed.data[0] != 0, 0, {packed.data.begin() + 5, packed.data.end()}};
    for (int i = 0; i < 4; ++i) v.type |= static_cast<uint32_t>(packed.data[1 + static_cast<size_t>(i)]) << (8 * i);
    return v;
}

// PagingFiles without this program's line: the value from before it where
// nobody changed it since, else the value with that line taken out.
bool PagingBaseline(StoredValue &now, StoredValue &baseline, bool &recorded, std::string &error) {
    StoredValue before, after;
    if (!kPagingFiles.Read(now, error) || !kPagingBefore.Read(before, error) || !kPagingAfter.Read(after, error))
        return false;
    std::optional<StoredValue> b = Unpack(before), a = Unpack(after);
    recorded = b && a;
    baseline = now;
    if (recorded && *a == now) {
        baseline = *b;
    } else if (recorded && now.present) {
        // Changed since: only the lines this program added go.
        MultiString text = AsText(now);
        const std::vector<std::u16string> earlier = MultiStringLines(AsText(*b));
        for (const std::u16string &line : MultiStringLines(AsText(*a)))
            if (std::find(earlier.begin(), earlier.end(), line) == earlier.end()) text = WithoutPagingLine(text, line);
        baseline = MultiValue(text);
    }
    return true;
}

// --- The service manager ---------------------------------------------------

struct Handle {
    SC_HANDLE h = nullptr;
    explicit Handle(SC_HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h) CloseServiceHandle(h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
};

bool StopService(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 100 && QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i)
        Sleep(100);
    return status.dwCurrentState == SERVICE_STOPPED;
}

// What ApplyServiceInstall changed, to be undone.
struct Undo {
    bool active = false;
    std::wstring staged, target, parked;  // the program: the new copy, its place, the old one moved aside
    bool fileMoved = false, serviceMade = false, sourceMade = false, serviceStopped = false;
    StoredValue paging, pagingBefore, pagingAfter, userTemp, systemTemp;
} gUndo;

const Value kUserTemp{HKEY_LOCAL_MACHINE, kParametersKey, L"UserTemp"};
const Value kSystemTemp{HKEY_LOCAL_MACHINE, kParametersKey, L"SystemTemp"};

StoredValue Dword(DWORD n) {
    StoredValue v{true, REG_DWORD, std::vector<uint8_t>(4)};
    std::memcpy(v.data.data(), &n, 4);
    return v;
}

bool MakeService(bool &made, std::string &why) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.h) {
        why = "cannot reach the service manager: " + SystemErrorText(GetLastError());
        return false;
    }
    Handle existing(OpenServiceW(manager.h, kServiceName, SERVICE_ALL_ACCESS));
    made = !existing.h;
    if (existing.h) {
        gUndo.serviceStopped = StopService(existing.h);
        return true;  // its configuration is this program's already
    }
    Handle service(CreateServiceW(manager.h, kServiceName, L"Pelmar scratch drive", SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                  L"%SystemRoot%\\System32\\pelmar-service.exe", nullptr, nullptr, nullptr, nullptr,
                                  nullptr));
    if (!service.h) {
        why = "cannot create the service " + Narrow(kServiceName) + ": " + SystemErrorText(GetLastError());
        return false;
    }
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t *>(
        L"Checks Pelmar's scratch drive after each boot, reports the outcome in the Application event log "
        L"(source Pelmar) and puts the drive to work: temporary folders, TEMP and TMP.")};
    ChangeServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION, &description);
    return true;
}

bool DeleteTheService(std::string &why) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    Handle service(manager.h ? OpenServiceW(manager.h, kServiceName, SERVICE_ALL_ACCESS) : nullptr);
    if (!service.h) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST || !manager.h ? true : false;
    if (!StopService(service.h)) {
        why = "the service " + Narrow(kServiceName) + " does not stop";
        return false;
    }
    if (!DeleteService(service.h) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
        why = "cannot remove the service: " + SystemErrorText(GetLastError());
        return false;
    }
    return true;
}

bool RemoveFile(const std::wstring &path) {
    if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
    const std::wstring parked = path + L".pelmar-install-old";
    return MoveFileExW(path.c_str(), parked.c_str(), MOVEFILE_REPLACE_EXISTING) &&
           (DeleteFileW(parked.c_str()) || MoveFileExW(parked.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
}

}  // namespace

bool IsServiceOption(const wchar_t *word) {
    const std::wstring w = word;
    return w == L"--user-temp" || w == L"--system-temp" || w == L"--pagefile";
}

bool TakeServiceOptions(int &count, wchar_t **words, ServiceInstallOptions &options, std::string &why) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const std::wstring word = words[i];
        if (word == L"--user-temp") {
            options.userTemp = true;
        } else if (word == L"--system-temp") {
            options.systemTemp = true;
        } else if (word == L"--pagefile") {
            if (i + 1 >= count || !ParsePagingSizes(Narrow(words[i + 1]), options.pageLeast, options.pageMost)) {
                why = "--pagefile takes MIN-MAX, the paging file's least and largest size in MiB (as 256-1024)";
                return false;
            }
            options.pagefile = true;
            ++i;
        } else if (word.rfind(L"--", 0) == 0) {
            why = "unknown option " + Narrow(words[i]);
            return false;
        } else {
            words[kept++] = words[i];
        }
    }
    count = kept;
    return true;
}

bool CheckServiceInstall(const ServiceInstallOptions &options, const std::wstring &image, char letter,
                         std::string &why) {
    if (GetFileAttributesW(Beside(kServiceFile).c_str()) == INVALID_FILE_ATTRIBUTES) {
        why = "there is no pelmar-service.exe beside pelmar-install (" + Narrow(Beside(kServiceFile).c_str()) + ")";
        return false;
    }
    if (!options.userTemp && !options.systemTemp && !options.pagefile) return true;
    Win32ServiceSystem system;
    std::vector<uint8_t> sector;
    uint64_t bytes = 0;
    if (!system.ImageBootSector(Narrow(image.c_str()), sector, bytes, why)) return false;
    const FileSystemIdentity id = IdentifyBootSector(sector);
    if ((options.userTemp || options.systemTemp) && id.kind != "NTFS") {
        why = std::string(options.userTemp ? "--user-temp" : "--system-temp") + ": the image holds a " +
              (id.kind.empty() ? std::string("drive of no known file system") : id.kind + " drive") +
              ", which has no permissions, so it cannot keep one account's temporary files from the others";
        return false;
    }
    if (options.pagefile && options.pageMost * kMiB >= bytes) {
        why = "--pagefile: a paging file of up to " + std::to_string(options.pageMost) + " MiB does not fit the " +
              std::to_string(bytes / kMiB) + " MiB drive " + std::string(1, letter) + ":";
        return false;
    }
    // Another's paging file on the letter is never taken over.
    if (!options.pagefile) return true;
    StoredValue now, others;
    bool recorded = false;
    std::string error;
    if (!PagingBaseline(now, others, recorded, error)) {
        why = "cannot read PagingFiles: " + error;
        return false;
    }
    why = ForeignPagingLineProblem(others.present ? AsText(others) : MultiString(), static_cast<char16_t>(letter));
    return why.empty();
}

bool ApplyServiceInstall(const ServiceInstallOptions &options, char letter, std::string &why) {
    gUndo = {};
    gUndo.active = true;
    gUndo.target = SystemFile(kServiceFile);
    gUndo.staged = gUndo.target + L".pelmar-install-new";
    gUndo.parked = gUndo.target + L".pelmar-install-old";
    std::string error;
    auto fail = [&](const std::string &what) {
        why = what;
        RollBackServiceInstall();
        return false;
    };
    // The records first, so that they can be put back.
    StoredValue now, baseline;
    bool recorded = false;
    if (!kPagingFiles.Read(gUndo.paging, error) || !kPagingBefore.Read(gUndo.pagingBefore, error) ||
        !kPagingAfter.Read(gUndo.pagingAfter, error) || !kUserTemp.Read(gUndo.userTemp, error) ||
        !kSystemTemp.Read(gUndo.systemTemp, error) || !PagingBaseline(now, baseline, recorded, error))
        return fail("cannot read PagingFiles or the service's settings: " + error);
    if (!CopyFileW(Beside(kServiceFile).c_str(), gUndo.staged.c_str(), FALSE))
        return fail("cannot copy pelmar-service.exe to " + Narrow(gUndo.staged.c_str()) + ": " +
                    SystemErrorText(GetLastError()));
    if (!MakeService(gUndo.serviceMade, why)) return fail(why);
    // A running program cannot be replaced, but it can be moved aside.
    if (GetFileAttributesW(gUndo.target.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !MoveFileExW(gUndo.target.c_str(), gUndo.parked.c_str(), MOVEFILE_REPLACE_EXISTING))
        return fail("cannot replace " + Narrow(gUndo.target.c_str()) + ": " + SystemErrorText(GetLastError()));
    if (!MoveFileExW(gUndo.staged.c_str(), gUndo.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return fail("cannot put pelmar-service.exe in place: " + SystemErrorText(GetLastError()));
    gUndo.fileMoved = true;
    HKEY source = nullptr;
    DWORD disposition = 0;
    LONG r = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &source,
                             &disposition);
    if (r != ERROR_SUCCESS) return fail("cannot register the event source Pelmar: " + SystemErrorText(r));
    gUndo.sourceMade = disposition == REG_CREATED_NEW_KEY;
    const std::wstring file = kEventMessageFile;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    const bool sourceOk =
        RegSetValueExW(source, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(file.c_str()),
                       static_cast<DWORD>((file.size() + 1) * 2)) == ERROR_SUCCESS &&
        RegSetValueExW(source, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types), 4) ==
            ERROR_SUCCESS;
    RegCloseKey(source);
    if (!sourceOk) return fail("cannot register the event source Pelmar");
    if (!kUserTemp.Write(Dword(options.userTemp), error) || !kSystemTemp.Write(Dword(options.systemTemp), error))
        return fail("cannot write the service's settings: " + error);
    // The paging file on the drive: one line, after every other.
    StoredValue wanted = baseline;
    if (options.pagefile) {
        const std::string line = std::string(1, letter) + ":\\pagefile.sys " + std::to_string(options.pageLeast) +
                                 " " + std::to_string(options.pageMost);
        wanted = MultiValue(WithPagingLine(baseline.present ? AsText(baseline) : MultiString(), {line.begin(), line.end()}));
    }
    if (!(wanted == now) && !kPagingFiles.Write(wanted, error)) return fail("cannot write PagingFiles: " + error);
    const bool keep = options.pagefile;
    if (!kPagingBefore.Write(keep ? Pack(baseline) : StoredValue{}, error) ||
        !kPagingAfter.Write(keep ? Pack(wanted) : StoredValue{}, error))
        return fail("cannot keep PagingFiles' previous value: " + error);
    // Accounts no longer asked for get their values back now (the service
    // is stopped).
    Win32ServiceSystem system;
    std::vector<std::string> problems;
    PutBackAll(system, problems, [&](const std::string &sid) {
        return sid == kSystemAccount ? !options.systemTemp : !options.userTemp;
    });
    for (const std::string &p : problems) Say("warning: cannot put back " + p);
    return true;
}

void RollBackServiceInstall() {
    if (!gUndo.active) return;
    gUndo.active = false;
    std::string error;
    kPagingFiles.Write(gUndo.paging, error);
    kPagingBefore.Write(gUndo.pagingBefore, error);
    kPagingAfter.Write(gUndo.pagingAfter, error);
    kUserTemp.Write(gUndo.userTemp, error);
    kSystemTemp.Write(gUndo.systemTemp, error);
    if (gUndo.sourceMade) RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (gUndo.fileMoved) DeleteFileW(gUndo.target.c_str());
    DeleteFileW(gUndo.staged.c_str());
    if (GetFileAttributesW(gUndo.parked.c_str()) != INVALID_FILE_ATTRIBUTES)
        MoveFileExW(gUndo.parked.c_str(), gUndo.target.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (gUndo.serviceMade) DeleteTheService(error);
    if (gUndo.serviceStopped && !gUndo.serviceMade) StartInstalledService();
}

void StartInstalledService() {
    gUndo.active = false;
    // The parked copy of an earlier service program goes now, or at the next start.
    const std::wstring parked = SystemFile(kServiceFile) + L".pelmar-install-old";
    if (!DeleteFileW(parked.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        MoveFileExW(parked.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    Handle service(manager.h ? OpenServiceW(manager.h, kServiceName, SERVICE_START | SERVICE_QUERY_STATUS) : nullptr);
    if (!service.h || (!StartServiceW(service.h, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)) {
        Say("warning: the service " + Narrow(kServiceName) + " did not start now (" +
            SystemErrorText(GetLastError()) + "); it starts at the next boot");
        return;
    }
    Say("installed and started the service " + Narrow(kServiceName) + " (" + Narrow(SystemFile(kServiceFile).c_str()) +
        ", automatic start, LocalSystem) and the event source Pelmar");
}

bool UninstallService(std::string &why) {
    // Stopped first, so that nothing changes the values while they go back.
    {
        Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        Handle service(manager.h ? OpenServiceW(manager.h, kServiceName, SERVICE_ALL_ACCESS) : nullptr);
        if (service.h && !StopService(service.h)) {
            why = "the service " + Narrow(kServiceName) + " does not stop";
            return false;
        }
    }
    Win32ServiceSystem system;
    std::vector<std::string> problems;
    for (const std::string &sid : system.SavedAccounts()) Say("putting back TEMP and TMP of " + sid);
    if (!PutBackAll(system, problems)) {
        why = "cannot put back TEMP and TMP: " + problems.front();
        return false;
    }
    StoredValue now, baseline;
    bool recorded = false;
    std::string error;
    if (!PagingBaseline(now, baseline, recorded, error)) {
        why = "cannot read PagingFiles: " + error;
        return false;
    }
    if (recorded && !(now == baseline)) {
        if (!kPagingFiles.Write(baseline, error)) {
            why = "cannot put back PagingFiles: " + error;
            return false;
        }
        Say("put back PagingFiles as it was before the paging file on the drive");
    }
    if (!DeleteTheService(why)) return false;
    if (RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey) == ERROR_SUCCESS) Say("removed the event source Pelmar");
    if (!RemoveFile(SystemFile(kServiceFile))) {
        why = "cannot remove " + Narrow(SystemFile(kServiceFile).c_str()) + ": " + SystemErrorText(GetLastError());
        return false;
    }
    Say("removed the service " + Narrow(kServiceName) + "; the folders on the drive go at the next boot");
    return true;
}

void ServiceStatus() {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    Handle service(manager.h ? OpenServiceW(manager.h, kServiceName, SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status{};
    if (!service.h || !QueryServiceStatus(service.h, &status)) {
        Say("service " + Narrow(kServiceName) + ": not installed");
        return;
    }
    static const char *const kStates[] = {"?", "stopped", "starting", "stopping", "running", "continuing",
                                          "pausing", "paused"};
    Say("service " + Narrow(kServiceName) + ": " + kStates[status.dwCurrentState <= 7 ? status.dwCurrentState : 0]);
    Win32ServiceSystem system;
    StoredValue last;
    std::string error;
    const Value lastBoot{HKEY_LOCAL_MACHINE, kParametersKey, L"LastBoot"};
    if (lastBoot.Read(last, error) && last.present) {
        Say("  last boot: " + Narrow(std::wstring(reinterpret_cast<const wchar_t *>(last.data.data()),
                                                  last.data.size() / 2).c_str()));
    } else {
        Say("  last boot: the service has not run yet");
    }
    const ServiceOptions options = InstalledOptions();
    Say(std::string("  --user-temp ") + (options.userTemp ? "on" : "off") + ", --system-temp " +
        (options.systemTemp ? "on" : "off"));
    char letter = 0;
    std::string image;
    if (!PelmarDrive(system.BootExecuteLines(), letter, image)) return;
    std::vector<Account> accounts = system.Profiles();
    accounts.push_back({kSystemAccount, {}, true});
    for (const Account &account : accounts) {
        StoredValue saved;
        if (!system.ReadSaved(account.sid, "Written", saved)) continue;
        const std::string folder = AccountFolder(letter, account.sid);
        StoredValue temp;
        const bool onDrive = system.OpenEnvironment(account, error) && system.ReadVariable("TEMP", temp, error) &&
                             temp == saved;
        system.CloseEnvironment();
        Say("  " + account.sid + ": " + folder + " " + FolderText(system.Folder(folder)) + "; TEMP " +
            (onDrive ? "points at it" : "is the previous value"));
    }
    for (const std::string &file : system.PagingFilesConfigured()) {
        if (file.size() < 2 || toupper(static_cast<unsigned char>(file[0])) != letter || file[1] != ':') continue;
        std::vector<std::string> inUse;
        bool used = false;
        const bool known = system.PagingFilesInUse(inUse, error);
        for (std::string f : inUse) {
            if (f.rfind("\\??\\", 0) == 0) f.erase(0, 4);
            used = used || _stricmp(f.c_str(), file.c_str()) == 0;
        }
        Say("  paging file " + file + ": " + (used ? "in use" : known ? "not in use" : "unknown (" + error + ")"));
    }
}

}  // namespace pelmar_tools
