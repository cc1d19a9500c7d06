// pelmar-install's part for pelmar-service (see install_service_win32.h).
//
// The service goes to System32 beside pelmar.exe and runs as LocalSystem,
// started automatically at every boot; its settings and its records of the
// values it replaced live under its own key, which the service manager
// removes with the service. PagingFiles is edited here: the value before
// and after the edit are kept, so that uninstall gives back the value as it
// was, byte for byte, where nobody changed it since, and otherwise takes
// out exactly the line it added.
#include "tools/pelmar-install/install_service_win32.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "tools/basics/ascii_case.h"
#include "tools/boot-config/registry_win32.h"
#include "tools/boot-config/service_contract.h"
#include "tools/boot-config/system_keys.h"
#include "tools/pelmar-install/install_digest_win32.h"
#include "tools/pelmar-install/install_files_win32.h"
#include "tools/pelmar-install/install_service_config_win32.h"
#include "tools/pelmar-install/install_output.h"
#include "tools/pelmar-install/paging_files.h"
#include "tools/pelmar-service/service_win32.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

const wchar_t kEventMessageFile[] = L"%SystemRoot%\\System32\\pelmar-service.exe";
constexpr uint64_t kMiB = 1024 * 1024;

RegistryPlace Parameter(const char *name) { return {HKEY_LOCAL_MACHINE, kParametersKey, Widen(name)}; }

const RegistryPlace kPagingFiles{HKEY_LOCAL_MACHINE, kMemoryManagementKey, kPagingFilesValue};
// PagingFiles as it was before the line went in, and as the install left
// it, kept also where removing the service does not remove them.
KeptRecord PagingRecord(const char *name) {
    return {Parameter(name), {HKEY_LOCAL_MACHINE, kRecordsKey, Widen(name)}};
}
const KeptRecord kPagingBefore = PagingRecord(kPagingBeforeValue);
const KeptRecord kPagingAfter = PagingRecord(kPagingAfterValue);
const RegistryPlace kUserTemp = Parameter(kUserTempValue);
const RegistryPlace kSystemTemp = Parameter(kSystemTempValue);

// PagingFiles without this program's line: the value from before it where
// nobody changed it since, else the value with that line taken out.
bool PagingBaseline(RegistryValue &now, RegistryValue &baseline, bool &recorded, std::string &error) {
    RegistryValue before, after;
    if (!kPagingFiles.Read(now, error) || !kPagingBefore.Read(before, error) ||
        !kPagingAfter.Read(after, error))
        return false;
    std::optional<RegistryValue> b = Unpacked(before), a = Unpacked(after);
    recorded = b && a;
    baseline = now;
    if (recorded && *a == now) {
        baseline = *b;
    } else if (recorded && now.present) {
        // Changed since: only the lines this program added go.
        MultiString text = AsMultiString(now.data);
        const std::vector<std::u16string> earlier = MultiStringLines(AsMultiString(b->data));
        for (const std::u16string &line : MultiStringLines(AsMultiString(a->data)))
            if (std::find(earlier.begin(), earlier.end(), line) == earlier.end()) text = WithoutPagingLine(text, line);
        baseline = MultiStringValue(text);
    }
    return true;
}

// Writes `place` as a step of `changes`, its value before given back at a
// roll-back.
bool WriteStep(ChangeSet &changes, const RegistryPlace &place, const RegistryValue &value, const std::string &what,
               std::string &why) {
    RegistryValue before;
    std::string error;
    if (!place.Read(before, error)) {
        why = "cannot read " + what + ": " + error;
        return false;
    }
    return changes.Do(
        [&](std::string &e) {
            if (place.Write(value, e)) return true;
            e = "cannot write " + what + ": " + e;
            return false;
        },
        [place, before](std::string &e) { return place.Write(before, e); },
        what + " could not be put back: it keeps what this install wrote", why);
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

bool StartTheService(std::string &why) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.h) {
        why = "cannot reach the service manager: " + SystemErrorText(GetLastError());
        return false;
    }
    Handle service(OpenServiceW(manager.h, kServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service.h || (!StartServiceW(service.h, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)) {
        why = SystemErrorText(GetLastError());
        return false;
    }
    return true;
}

// The service made, or an earlier one of this program's stopped.
bool MakeService(bool &made, bool &stopped, std::string &why) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.h) {
        why = "cannot reach the service manager: " + SystemErrorText(GetLastError());
        return false;
    }
    Handle existing(OpenServiceW(manager.h, kServiceName, SERVICE_ALL_ACCESS));
    made = !existing.h;
    if (existing.h) {
        stopped = StopService(existing.h);
        return true;  // its configuration is this program's already
    }
    Handle service(CreateServiceW(manager.h, kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
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

// The service stopped and removed (a service that is not there is removed);
// false and why otherwise, a service manager out of reach included.
bool DeleteTheService(std::string &why) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.h) {
        why = "cannot reach the service manager: " + SystemErrorText(GetLastError());
        return false;
    }
    Handle service(OpenServiceW(manager.h, kServiceName, SERVICE_ALL_ACCESS));
    if (!service.h) {
        if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) return true;
        why = "cannot open the service " + Narrow(kServiceName) + ": " + SystemErrorText(GetLastError());
        return false;
    }
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
    const std::wstring parked = path + kOldCopySuffix;
    return MoveFileExW(path.c_str(), parked.c_str(), MOVEFILE_REPLACE_EXISTING) &&
           (DeleteFileW(parked.c_str()) || MoveFileExW(parked.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
}

// The event source's message file when a source named Pelmar is there and
// is not this program's (another program's log would lose its messages);
// nothing otherwise.
std::optional<std::string> ForeignEventSource() {
    RegistryValue file;
    std::string error;
    RegistryKey source(HKEY_LOCAL_MACHINE, kEventSourceKey, KEY_QUERY_VALUE);
    if (!source) return std::nullopt;
    if (!ReadValue(source.get(), L"EventMessageFile", file, error) || !file.present) return std::string("none");
    const std::u16string named = StringOf(file), ours = AsUtf16(kEventMessageFile);
    if (AsciiLower(named) == AsciiLower(ours)) return std::nullopt;
    return Narrow(named);
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
    if (GetFileAttributesW(Beside(kServiceProgram).c_str()) == INVALID_FILE_ATTRIBUTES) {
        why = "there is no pelmar-service.exe beside pelmar-install (" + Narrow(Beside(kServiceProgram).c_str()) + ")";
        return false;
    }
    why = ServiceProgramProblem(Beside(kServiceProgram));
    if (!why.empty()) return false;
    if (const std::optional<std::string> file = ForeignEventSource()) {
        why = "an event source named Pelmar is registered already, and not by pelmar-install (its message file is " +
              *file + "): remove it, or the program that made it, first";
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
    RegistryValue now, others;
    bool recorded = false;
    std::string error;
    if (!PagingBaseline(now, others, recorded, error)) {
        why = "cannot read PagingFiles: " + error;
        return false;
    }
    why = ForeignPagingLineProblem(others.present ? AsMultiString(others.data) : MultiString(), static_cast<char16_t>(letter));
    return why.empty();
}

bool AddServiceSteps(ChangeSet &changes, const ServiceInstallOptions &options, char letter,
                     std::vector<std::string> &lines, std::string &why) {
    const std::wstring target = SystemFile(kServiceProgram), source = Beside(kServiceProgram);
    const std::wstring staged = target + kNewCopySuffix, parked = target + kOldCopySuffix;
    const std::string targetName = Narrow(target.c_str()), stagedName = Narrow(staged.c_str());
    RegistryValue now, baseline;
    bool recorded = false;
    std::string error;
    if (!PagingBaseline(now, baseline, recorded, error)) {
        why = "cannot read PagingFiles or the service's settings: " + error;
        return false;
    }
    // The copy goes at a roll-back, even one that a copy cut short left behind.
    changes.Undo(
        [staged](std::string &e) {
            if (DeleteFileW(staged.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) return true;
            e = SystemErrorText(GetLastError());
            return false;
        },
        "the copy " + stagedName + " could not be deleted: delete it by hand");
    if (!CopyFileW(source.c_str(), staged.c_str(), FALSE)) {
        why = "cannot copy pelmar-service.exe to " + stagedName + ": " + SystemErrorText(GetLastError());
        return false;
    }
    // The copy is what runs as LocalSystem at every boot: it is checked, not the file it came from.
    why = ServiceProgramProblem(staged);
    if (!why.empty()) {
        why = "the copy " + why;
        return false;
    }
    bool made = false, stopped = false;
    if (!MakeService(made, stopped, why)) return false;
    if (made) {
        changes.Undo(DeleteTheService, "the new service " + Narrow(kServiceName) +
                                           " could not be removed: run pelmar-install uninstall");
    } else if (stopped) {
        changes.Undo(StartTheService, "the service " + Narrow(kServiceName) +
                                          " could not be started again: it starts at the next boot");
    }
    // A running program cannot be replaced, but it can be moved aside.
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
        const bool aside = changes.Do(
            [&](std::string &e) {
                if (MoveFileExW(target.c_str(), parked.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
                e = "cannot replace " + targetName + ": " + SystemErrorText(GetLastError());
                return false;
            },
            [target, parked](std::string &e) {
                if (MoveFileExW(parked.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
                e = SystemErrorText(GetLastError());
                return false;
            },
            "the earlier " + targetName + " could not be moved back: it is " + Narrow(parked.c_str()), why);
        if (!aside) return false;
    }
    const bool placed = changes.Do(
        [&](std::string &e) {
            if (MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                return true;
            e = "cannot put pelmar-service.exe in place: " + SystemErrorText(GetLastError());
            return false;
        },
        [target](std::string &e) {
            if (DeleteFileW(target.c_str())) return true;
            e = SystemErrorText(GetLastError());
            return false;
        },
        targetName + " could not be deleted: delete it by hand", why);
    if (!placed) return false;
    RegistryKey eventSource;
    bool created = false;
    if (!eventSource.Create(HKEY_LOCAL_MACHINE, kEventSourceKey, KEY_SET_VALUE, &created)) {
        why = "cannot register the event source Pelmar: " + eventSource.error();
        return false;
    }
    if (created) {
        changes.Undo(
            [](std::string &e) {
                const LONG r = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
                if (r == ERROR_SUCCESS) return true;
                e = SystemErrorText(static_cast<DWORD>(r));
                return false;
            },
            "the event source Pelmar could not be removed: its key stays");
    }
    const std::wstring file = kEventMessageFile;
    RegistryValue messageFile = StringValue(AsUtf16(file));
    messageFile.type = kRegExpandSz;
    const uint32_t types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    if (!WriteValue(eventSource.get(), L"EventMessageFile", messageFile, error) ||
        !WriteValue(eventSource.get(), L"TypesSupported", DwordValue(types), error)) {
        why = "cannot register the event source Pelmar";
        return false;
    }
    const std::string began = std::to_string(ThisBootBegan());
    if (!WriteStep(changes, Parameter(kInstalledAtBootValue), StringValue(std::u16string(began.begin(), began.end())),
                   "the service's settings", why) ||
        !WriteStep(changes, kUserTemp, DwordValue(options.userTemp), "the service's settings", why) ||
        !WriteStep(changes, kSystemTemp, DwordValue(options.systemTemp), "the service's settings", why) ||
        !AddServiceConfigSteps(changes, why))
        return false;
    // The paging file on the drive: one line, after every other.
    RegistryValue wanted = baseline;
    if (options.pagefile) {
        const std::string line = std::string(1, letter) + ":\\pagefile.sys " + std::to_string(options.pageLeast) +
                                 " " + std::to_string(options.pageMost);
        wanted = MultiStringValue(
            WithPagingLine(baseline.present ? AsMultiString(baseline.data) : MultiString(), {line.begin(), line.end()}));
    }
    if (!(wanted == now) && !WriteStep(changes, kPagingFiles, wanted, "PagingFiles", why)) return false;
    const bool keep = options.pagefile;
    for (const auto &[place, value] : {std::pair{&kPagingBefore.own, &baseline}, std::pair{&kPagingAfter.own, &wanted},
                                       std::pair{&kPagingBefore.copy, &baseline}, std::pair{&kPagingAfter.copy, &wanted}})
        if (!WriteStep(changes, *place, keep ? Packed(*value) : RegistryValue{}, "PagingFiles' records", why))
            return false;
    // Accounts no longer asked for get their values back now (the service
    // is stopped).
    Win32ServiceSystem system;
    std::vector<std::string> problems;
    auto noLonger = [&](const std::string &sid) {
        return sid == kSystemAccount ? !options.systemTemp : !options.userTemp;
    };
    // What an earlier install's options had replaced and this one took back,
    // said once the change is kept.
    if (recorded && !options.pagefile && !(now == baseline))
        lines.push_back("took back the paging file on the drive (no --pagefile): PagingFiles is back as it was "
                        "before it");
    for (const std::string &sid : system.SavedAccounts())
        if (noLonger(sid)) Say("giving back TEMP and TMP of " + sid + " (no longer asked for): their previous values");
    std::vector<std::pair<std::string, std::string>> dropped;
    PutBackAll(system, problems, dropped, noLonger);
    for (const auto &[sid, why] : dropped)
        Say("warning: TEMP and TMP of " + sid + ": " + why + "; its previous values are dropped");
    for (const std::string &p : problems) Say("warning: cannot put back " + p);
    return true;
}

void StartInstalledService() {
    // The parked copy of an earlier service program goes now, or at the next start.
    const std::wstring parked = SystemFile(kServiceProgram) + kOldCopySuffix;
    if (!DeleteFileW(parked.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
        MoveFileExW(parked.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    std::string why;
    if (!StartTheService(why)) {
        Say("warning: the service " + Narrow(kServiceName) + " did not start now (" + why +
            "); it starts at the next boot");
        return;
    }
    Say("installed and started the service " + Narrow(kServiceName) + " (" +
        Narrow(SystemFile(kServiceProgram).c_str()) + ", automatic start, LocalSystem) and the event source Pelmar");
}

bool UninstallService(std::string &why) {
    // Stopped first, so that nothing changes the values while they go back.
    bool existed = false;
    {
        Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager.h) {
            why = "cannot reach the service manager: " + SystemErrorText(GetLastError());
            return false;
        }
        Handle service(OpenServiceW(manager.h, kServiceName, SERVICE_ALL_ACCESS));
        existed = service.h != nullptr;
        if (service.h && !StopService(service.h)) {
            why = "the service " + Narrow(kServiceName) + " does not stop";
            return false;
        }
    }
    // The records: the service's, or the installer's copy where the service
    // was removed without pelmar-install.
    Win32ServiceSystem system;
    std::vector<std::string> problems;
    std::vector<std::pair<std::string, std::string>> dropped;
    const std::vector<std::string> accounts = system.SavedAccounts();
    for (const std::string &sid : accounts) Say("putting back TEMP and TMP of " + sid);
    const bool putBack = PutBackAll(system, problems, dropped);
    for (const auto &[sid, why] : dropped)
        Say("warning: TEMP and TMP of " + sid + ": " + why + "; its previous values are dropped");
    if (!putBack) {
        why = "cannot put back TEMP and TMP: " + problems.front();
        return false;
    }
    RegistryValue now, baseline;
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
    if (!kPagingBefore.copy.Write({}, error) || !kPagingAfter.copy.Write({}, error)) {
        why = "cannot remove PagingFiles' records: " + error;
        return false;
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecordsSavedKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecordsPowerKey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecordsKey);
    if (accounts.empty() && !recorded) Say("no records of replaced values: TEMP, TMP and PagingFiles are left as they are");
    if (!DeleteTheService(why)) return false;
    // Another program's source of that name stays.
    if (!ForeignEventSource() && RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey) == ERROR_SUCCESS)
        Say("removed the event source Pelmar");
    const std::wstring program = SystemFile(kServiceProgram);
    const bool programThere = GetFileAttributesW(program.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!RemoveFile(program)) {
        why = "cannot remove " + Narrow(program.c_str()) + ": " + SystemErrorText(GetLastError());
        return false;
    }
    if (programThere) Say("removed " + Narrow(program.c_str()));
    Say(existed ? "removed the service " + Narrow(kServiceName) + "; the folders on the drive go at the next boot"
                : "there was no service " + Narrow(kServiceName) + " to remove");
    return true;
}

void ServiceStatus(bool pelmarInstalled, std::vector<std::string> &problems) {
    Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.h) {
        Say("service " + Narrow(kServiceName) + ": unknown, the service manager is out of reach (" +
            SystemErrorText(GetLastError()) + ")");
        return;
    }
    Handle service(OpenServiceW(manager.h, kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status{};
    if (!service.h || !QueryServiceStatus(service.h, &status)) {
        Say("service " + Narrow(kServiceName) + ": not installed");
        Win32ServiceSystem system;
        if (pelmarInstalled || !system.SavedAccounts().empty()) {
            problems.push_back("the service " + Narrow(kServiceName) +
                               " is missing: nothing checks the drive or looks after TEMP, TMP and the paging file; "
                               "run pelmar-install install again, or uninstall to give back what it replaced");
        }
        return;
    }
    static const char *const kStates[] = {"?", "stopped", "starting", "stopping", "running", "continuing",
                                          "pausing", "paused"};
    Say("service " + Narrow(kServiceName) + ": " + kStates[status.dwCurrentState <= 7 ? status.dwCurrentState : 0]);
    if (pelmarInstalled && status.dwCurrentState == SERVICE_STOPPED) {
        problems.push_back("the service " + Narrow(kServiceName) +
                           " is stopped: it starts at the next boot, or start it now with sc start " +
                           Narrow(kServiceName));
    }
    Win32ServiceSystem system;
    RegistryValue last;
    std::string error;
    if (Parameter(kLastBootValue).Read(last, error) && last.present) {
        Say("  last boot: " + Narrow(StringOf(last)));
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
        RegistryValue saved;
        if (!system.ReadSaved(account.sid, kWrittenValue, saved)) continue;
        const std::string folder = AccountFolder(letter, account.sid);
        RegistryValue temp;
        const bool onDrive = ReachEnvironment(system, account, error) == Reach::Open && system.ReadVariable("TEMP", temp, error) &&
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
