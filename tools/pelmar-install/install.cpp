// pelmar-install: puts Pelmar into a Windows machine's boot and takes it out
// again, touching nothing else.
//
//   pelmar-install install [ARGUMENTS...]
//   pelmar-install uninstall
//   pelmar-install status
//
// install copies the pelmar.exe that lies beside this program into System32
// and writes the line "pelmar ARGUMENTS" into the Session Manager's
// BootExecute after the disk check, once everything the line names has been
// checked: the arguments as Pelmar's own command-line rules read them
// (app/command_line_rules.cpp, the same code), the container and the image
// at the paths Pelmar will open at boot, and the image replayed as the
// restore would replay it. Every change is undone when a later one fails:
// the new file goes in under a temporary name, the registry values are each
// written in one call, and the file gets its name last.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/pelmar-install/install_boot_execute.h"
#include "tools/pelmar-install/install_checks.h"
#include "tools/pelmar-install/install_cost.h"
#include "tools/pelmar-install/install_guard.h"
#include "tools/pelmar-install/install_parts.h"
#include "tools/pelmar-install/install_rights_win32.h"
#include "tools/pelmar-install/install_service.h"
#include "tools/pelmar-install/power_settings_win32.h"
#include "tools/pelmar-service/service_renewal_win32.h"
#include "tools/platform/version.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kBootExecute[] = L"BootExecute";
const wchar_t kNewSuffix[] = L".pelmar-install-new";
const wchar_t kOldSuffix[] = L".pelmar-install-old";

void Complain(const std::string &text) { std::fputs(("pelmar-install: " + text + "\n").c_str(), stderr); }

// --- Commands ------------------------------------------------------------

int Refuse(const std::string &why) {
    RollBackPowerInstall();
    RollBackServiceInstall();
    Complain(why);
    Complain("nothing was changed");
    return 1;
}

HKEY OpenSessionManager(REGSAM access, std::string &error) {
    HKEY key = nullptr;
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManager, 0, access, &key);
    if (r != ERROR_SUCCESS) {
        error = SystemErrorText(static_cast<DWORD>(r));
        return nullptr;
    }
    return key;
}

const char kAdministrator[] =
    "changing the boot-time programs needs an administrator: run pelmar-install from a command prompt "
    "started as an administrator";

// What install's options allow beyond the safe configurations.
struct InstallOptions {
    bool allowDebugger = false;  // --allow-debugger: a line ending in dbg
    bool slowBootOk = false;     // --slow-boot-ok: a derivation above kSlowBootSeconds
};

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds < 1 ? "%.3f" : seconds < 10 ? "%.2f" : "%.0f", seconds);
    return text;
}

int Install(int count, wchar_t **words, const InstallOptions &options) {
    if (!IsAdministrator()) return Refuse(kAdministrator);

    BootLine line;
    std::string why;
    ServiceInstallOptions serviceOptions;
    PowerChoices powerChoices;
    if (!TakePowerOptions(count, words, powerChoices, why)) return Refuse(why);
    if (!TakeServiceOptions(count, words, serviceOptions, why)) return Refuse(why);
    if (!ReadLine(count, words, line, why)) return Refuse(why);
    Say("Pelmar's line: " + Utf8(line.line));
    DescribeLine(line);
    why = ArgumentProblem(line.words);
    if (why.empty() && line.debugBreak && !options.allowDebugger) {
        why = "dbg makes every boot wait for a kernel debugger, and without one attached no drive appears; "
              "give --allow-debugger (before the arguments) if that is meant";
    }
    if (!why.empty()) return Refuse(why);
    why = FileProblem(line, false);
    if (!why.empty()) return Refuse(why);

    // The boot derives its key material before anything appears on the
    // screen: say what that costs here, and refuse a boot that would hang.
    const DerivationCost cost = TimeDerivation(line.choice.Prf, line.choice.Iterations, kSlowBootSeconds);
    if (cost.seconds < 0) return Refuse("cannot time the key derivation for this hash");
    Say("boot cost: " + std::string(cost.measured ? "" : "about ") + Seconds(cost.seconds) +
        " s of key derivation at every start on this machine (" +
        (cost.measured ? "timed" : "scaled up from a part of it") + ")");
    if (cost.seconds > kSlowBootSeconds && !options.slowBootOk) {
        return Refuse("the key derivation would hold up every boot for " + Seconds(cost.seconds) +
                      " s with nothing on the screen (more than " + Seconds(kSlowBootSeconds) +
                      " s): choose a smaller iteration count, or give --slow-boot-ok (before the arguments) "
                      "if that is meant");
    }
    const char letter = static_cast<char>(line.choice.DriveLetter);
    if (!CheckServiceInstall(serviceOptions, line.image, letter, why)) return Refuse(why);
    // What could keep the drive beyond a stop (Fast Startup, hibernation,
    // dumps, paging files): planned here, changed after the service.
    PowerPlan powerPlan;
    if (!CheckPowerInstall(powerChoices, powerPlan, why)) return Refuse(why);

    const std::wstring source = ProgramBeside(), target = InstalledProgram();
    const std::wstring staged = target + kNewSuffix;
    std::optional<uint64_t> programSize = FileSize(source);
    if (!programSize) return Refuse("there is no pelmar.exe beside pelmar-install (" + Narrow(source.c_str()) + ")");
    why = ProgramProblem(source);
    if (!why.empty()) return Refuse(why);
    if (SystemFolder().empty()) return Refuse("the system folder cannot be found");

    std::string error;
    HKEY session = OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE, error);
    if (!session) {
        return Refuse("cannot open the Session Manager's settings for writing (" + error + "); " + kAdministrator);
    }
    std::optional<RegistryValue> before = ReadValue(session, kBootExecute, error);
    if (!before) {
        RegCloseKey(session);
        return Refuse("cannot read BootExecute: " + error);
    }
    MultiString text;
    if (!BootExecuteText(*before, text, why)) {
        RegCloseKey(session);
        return Refuse(why);
    }
    RegistryValue after{true, REG_MULTI_SZ, AsBytes(WithPelmar(text, line.line))};

    // The driver's start type: raised only when the service starts too late.
    HKEY driver = nullptr;
    std::string driverProblem;
    std::optional<DWORD> start = DriverStart(driverProblem);
    const bool raise = start && *start >= 2 && *start <= 4;
    if (raise && RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverService, 0, KEY_SET_VALUE, &driver) != ERROR_SUCCESS) {
        RegCloseKey(session);
        return Refuse("cannot change the start type of the driver's service " + std::string(kDriverServiceName));
    }

    // From here on every step has its undoing, and Ctrl+C waits for the
    // last step or the undoing to end.
    ChangesUnderWay holdOff;
    const std::wstring containerFile = *PathAsWin32(line.container, why), imageFile = *PathAsWin32(line.image, why);
    SavedSecurity containerWas, imageWas;
    bool containerProtected = false, imageProtected = false, valueWritten = false, raised = false;
    auto close = [&] {
        RegCloseKey(session);
        if (driver) RegCloseKey(driver);
        containerWas.Forget();
        imageWas.Forget();
    };
    auto undo = [&](const std::string &what) {
        std::vector<std::string> left;
        if (valueWritten) {
            LONG back = WriteValue(session, kBootExecute, *before);
            if (back != ERROR_SUCCESS) {
                left.push_back("BootExecute could not be put back (" + SystemErrorText(static_cast<DWORD>(back)) +
                               "): it holds Pelmar's line; run pelmar-install uninstall");
            }
        }
        if (raised) {
            const DWORD was = *start;
            LONG back = RegSetValueExW(driver, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&was), sizeof was);
            if (back != ERROR_SUCCESS) {
                left.push_back("the driver's start type could not be put back to " + StartMeaning(was) + " (" +
                               SystemErrorText(static_cast<DWORD>(back)) + "): it stays 1 (system)");
            }
        }
        std::string back;
        if (containerProtected && !PutBackSecurity(containerFile, containerWas, back)) {
            left.push_back("the container's permissions could not be put back (" + back + "): it keeps the "
                           "protected ones");
        }
        if (imageProtected && !PutBackSecurity(imageFile, imageWas, back)) {
            left.push_back("the image's permissions could not be put back (" + back + "): it keeps the "
                           "protected ones");
        }
        DeleteFileW(staged.c_str());
        close();
        if (left.empty()) return Refuse(what);
        RollBackPowerInstall();
        RollBackServiceInstall();
        Complain(what);
        for (const std::string &l : left) Complain("and " + l);
        return 1;
    };
    if (!ApplyServiceInstall(serviceOptions, letter, why)) {
        close();
        return Refuse(why);
    }
    std::vector<std::string> powerLines;
    if (!ApplyPowerInstall(powerPlan, powerLines, why)) return undo(why);
    if (!CopyFileW(source.c_str(), staged.c_str(), FALSE)) {
        return undo("cannot copy pelmar.exe to " + Narrow(staged.c_str()) + ": " + SystemErrorText(GetLastError()));
    }
    why = ProgramProblem(staged);
    if (!why.empty()) return undo("the copy " + why);
    if (!ProtectFile(containerFile, containerWas, error)) return undo(error);
    containerProtected = true;
    if (!ProtectFile(imageFile, imageWas, error)) return undo(error);
    imageProtected = true;
    LONG r = WriteValue(session, kBootExecute, after);
    if (r != ERROR_SUCCESS) return undo("cannot write BootExecute: " + SystemErrorText(static_cast<DWORD>(r)));
    valueWritten = true;
    if (raise) {
        const DWORD system = 1;
        r = RegSetValueExW(driver, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&system), sizeof system);
        if (r != ERROR_SUCCESS) {
            return undo("cannot raise the driver's start type: " + SystemErrorText(static_cast<DWORD>(r)));
        }
        raised = true;
    }
    // Checked once more just before it takes the name the boot runs.
    why = ProgramProblem(staged);
    if (!why.empty()) return undo("the copy " + why);
    if (!MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return undo("cannot put pelmar.exe in place as " + Narrow(target.c_str()) + ": " +
                    SystemErrorText(GetLastError()));
    }
    close();

    Say("installed " + Narrow(target.c_str()) + " (" + Number(*programSize) + " bytes)");
    for (const std::u16string &l : MultiStringLines(text)) {
        if (IsPelmarLine(l)) Say("replaced the Pelmar line " + Utf8(l));
    }
    Say("BootExecute now:");
    for (const std::u16string &l : MultiStringLines(AsMultiString(after.data))) Say("  " + Utf8(l));
    Say("gave the container and the image protected permissions: owner Administrators, full control for SYSTEM "
        "and Administrators only");
    if (raise) {
        Say("raised the start type of the driver's service " + std::string(kDriverServiceName) + " from " +
            StartMeaning(*start) + " to 1 (system), so that the driver is there when Pelmar runs");
    } else if (!start) {
        Say("warning: " + driverProblem +
            ": Pelmar cannot mount its container without the driver started at boot (start type 0 or 1); "
            "it still gives the container a new header at every start. Put the driver's service right and run "
            "pelmar-install again.");
    }
    for (const std::string &l : powerLines) Say(l);
    StartInstalledService();
    Say("Pelmar runs at the next start of Windows.");
    return 0;
}

int Uninstall() {
    if (!IsAdministrator()) return Refuse(kAdministrator);
    std::string error, why;
    // Before the service goes: its key holds install's records of them.
    if (!UninstallPower(why)) {
        Complain(why);
        return 1;
    }
    if (!UninstallService(why)) {
        Complain(why);
        return 1;
    }
    HKEY session = OpenSessionManager(KEY_QUERY_VALUE | KEY_SET_VALUE, error);
    if (!session) {
        return Refuse("cannot open the Session Manager's settings for writing (" + error + "); " + kAdministrator);
    }
    std::optional<RegistryValue> before = ReadValue(session, kBootExecute, error);
    MultiString text;
    if (!before) {
        RegCloseKey(session);
        return Refuse("cannot read BootExecute: " + error);
    }
    if (!BootExecuteText(*before, text, why)) {
        RegCloseKey(session);
        return Refuse(why);
    }
    const MultiString remaining = WithoutPelmar(text);
    const bool lineThere = remaining != text;
    const std::wstring target = InstalledProgram(), parked = target + kOldSuffix;
    const bool fileThere = !SystemFolder().empty() && FileSize(target).has_value();
    if (!lineThere && !fileThere) {
        RegCloseKey(session);
        Say("Pelmar is not installed: BootExecute has no Pelmar line and there is no " + Narrow(target.c_str()));
        return 0;
    }
    // The file steps aside first, so that taking the line out is the one
    // change left that can fail, and it can be undone by moving the file back.
    if (fileThere && !MoveFileExW(target.c_str(), parked.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = SystemErrorText(GetLastError());
        RegCloseKey(session);
        return Refuse("cannot remove " + Narrow(target.c_str()) + ": " + error);
    }
    if (lineThere) {
        // A value that held nothing but Pelmar's line was made by install
        // where there was none: it goes again (an empty list and no value
        // mean the same to the Session Manager).
        const bool onlyPelmar = MultiStringLines(remaining).empty();
        LONG r = WriteValue(session, kBootExecute, RegistryValue{!onlyPelmar, before->type, AsBytes(remaining)});
        if (r != ERROR_SUCCESS) {
            const std::string why = "cannot write BootExecute: " + SystemErrorText(static_cast<DWORD>(r));
            const bool back = !fileThere || MoveFileExW(parked.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
            RegCloseKey(session);
            if (back) return Refuse(why);
            Complain(why);
            Complain("and " + Narrow(target.c_str()) + " could not be moved back from " + Narrow(parked.c_str()) +
                     " (" + SystemErrorText(GetLastError()) + "): Pelmar's line stays, with no program to run");
            return 1;
        }
    }
    RegCloseKey(session);
    for (const std::u16string &l : MultiStringLines(text)) {
        if (IsPelmarLine(l)) Say("removed the line " + Utf8(l) + " from BootExecute");
    }
    if (fileThere) {
        if (DeleteFileW(parked.c_str())) {
            Say("removed " + Narrow(target.c_str()));
        } else {
            MoveFileExW(parked.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            Say("removed " + Narrow(target.c_str()) + " from use; its copy " + Narrow(parked.c_str()) +
                " goes at the next start");
        }
    }
    Say("left as they are: the driver service's start type (install may have raised it to 1; set it back by "
        "hand if nothing else needs the driver at boot), and the container and the image, with the protected "
        "permissions install gave them");
    return 0;
}

std::string SizeText(const std::wstring &path) {
    std::string why;
    std::optional<std::wstring> win32 = PathAsWin32(path, why);
    if (!win32) return "cannot be opened at boot: " + why;
    std::optional<uint64_t> size = FileSize(*win32);
    return size ? Number(*size) + " bytes" : "missing";
}

int Status() {
    std::string error, why;
    HKEY session = OpenSessionManager(KEY_QUERY_VALUE, error);
    if (!session) {
        Complain("cannot read the Session Manager's settings: " + error);
        return 1;
    }
    std::optional<RegistryValue> value = ReadValue(session, kBootExecute, error);
    RegCloseKey(session);
    MultiString text;
    if (!value) {
        Complain("cannot read BootExecute: " + error);
        return 1;
    }
    if (!BootExecuteText(*value, text, why)) {
        Complain(why);
        return 1;
    }
    const std::wstring target = InstalledProgram();
    std::optional<uint64_t> programSize = FileSize(target);
    std::vector<std::u16string> pelmarLines;
    Say("BootExecute:");
    for (const std::u16string &l : MultiStringLines(text)) {
        Say((IsPelmarLine(l) ? "  > " : "    ") + Utf8(l));
        if (IsPelmarLine(l)) pelmarLines.push_back(l);
    }
    // What would keep the installed configuration from working at boot.
    std::vector<std::string> problems;
    Say(Narrow(target.c_str()) + ": " + (programSize ? Number(*programSize) + " bytes" : "missing"));
    if (programSize) {
        why = ProgramProblem(target);
        if (!why.empty()) problems.push_back(why);
    }
    std::optional<DWORD> start = DriverStart(error);
    Say("driver service " + std::string(kDriverServiceName) + ": " +
        (start ? "start type " + StartMeaning(*start) +
                     (*start <= 1 ? "" : ", too late for Pelmar (it must be 0 or 1)")
               : error + "; Pelmar cannot mount its container without it"));
    if (!pelmarLines.empty() && (!start || *start > 1)) {
        problems.push_back("the driver does not start before Pelmar runs, so no drive appears");
    }
    for (const std::u16string &l : pelmarLines) {
        // The line's words after the program name (and an "autocheck"
        // before it), as the installer wrote them.
        std::vector<std::wstring> words;
        std::wstring wide(l.begin(), l.end());
        size_t at = wide.find_first_not_of(L" \t");
        if (wide.compare(at, 10, L"autocheck ") == 0 || wide.compare(at, 10, L"autocheck\t") == 0) {
            at = wide.find_first_not_of(L" \t", at + 10);
        }
        at = wide.find_first_of(L" \t", at);
        while (at != std::wstring::npos) {
            size_t begin = wide.find_first_not_of(L" \t", at);
            if (begin == std::wstring::npos) break;
            at = wide.find_first_of(L" \t", begin);
            words.push_back(wide.substr(begin, at == std::wstring::npos ? std::wstring::npos : at - begin));
        }
        std::vector<wchar_t *> pointers;
        for (std::wstring &w : words) pointers.push_back(w.data());
        BootLine line;
        if (!ReadLine(static_cast<int>(pointers.size()), pointers.data(), line, why)) {
            problems.push_back("Pelmar's line cannot be read as Pelmar reads it: " + why);
            continue;
        }
        DescribeLine(line);
        Say("  container " + Narrow(line.container.c_str()) + ": " + SizeText(line.container));
        Say("  image " + Narrow(line.image.c_str()) + ": " + SizeText(line.image));
        why = ArgumentProblem(line.words);
        if (why.empty()) why = FileProblem(line, true);
        if (!why.empty()) problems.push_back(why);
    }
    if (pelmarLines.size() > 1) {
        problems.push_back("BootExecute holds more than one Pelmar line: pelmar-install install makes it one");
    }
    const bool installed = !pelmarLines.empty() && programSize;
    if (!installed && (!pelmarLines.empty() || programSize)) {
        problems.push_back("Pelmar is installed only in part: run pelmar-install install again, or uninstall");
    }
    ServiceStatus();
    if (installed) RenewalStatus(problems);
    PowerInstallStatus(installed ? &problems : nullptr);
    for (const std::string &p : problems) Say("problem: " + p);
    if (!installed) {
        if (pelmarLines.empty() && !programSize) Say("Pelmar is not installed.");
    } else {
        Say(problems.empty() ? "Pelmar is installed." : "Pelmar is installed, but would not work at the next boot.");
    }
    return problems.empty() ? 0 : 1;
}

const char kUsage[] =
    "usage: pelmar-install install [OPTIONS] [EA [HASH [ITERATIONS [DRIVE [CONTAINER [IMAGE]]]]]] [dbg]\n"
    "       pelmar-install uninstall\n"
    "       pelmar-install status\n"
    "       pelmar-install --help | -h | /? | --version\n"
    "install's options:\n"
    "  --allow-debugger  accept a last dbg: every boot then waits for a kernel debugger\n"
    "  --slow-boot-ok    accept a key derivation that holds up every boot for more than a few seconds\n"
    "  --user-temp       every user's TEMP and TMP in a folder of their own on the drive (NTFS images)\n"
    "  --system-temp     the system's TEMP and TMP on the drive, reached by SYSTEM and administrators only\n"
    "  --pagefile MIN-MAX  a paging file on the drive, MIN to MAX MiB\n"
    "  --keep-hibernation  leave hibernation on (it writes the drive's keys to C:\\hiberfil.sys)\n"
    "  --dumps small|none|keep  crash dumps that hold kernel memory: made small (the default), off, or kept\n"
    "  --keep-paging-plain leave the paging files unencrypted\n"
    "install turns Fast Startup off, always: with it, \"Shut down\" keeps the drive\n"
    "exit status: 0 done (status: installed and sound, or not installed), 1 refused, failed or not sound,\n"
    "2 bad usage\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

// install's options, before Pelmar's arguments.
const struct {
    const wchar_t *name;
    bool InstallOptions::*flag;
} kInstallOptions[] = {
    {L"--allow-debugger", &InstallOptions::allowDebugger},
    {L"--slow-boot-ok", &InstallOptions::slowBootOk},
};

}  // namespace
}  // namespace pelmar_tools

int wmain(int argc, wchar_t **argv) {
    using namespace pelmar_tools;
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    if (command == L"--version" && argc == 2) {
        std::printf("pelmar-install %s\n", PELMAR_VERSION);
        return 0;
    }
    if ((command == L"--help" || command == L"-h" || command == L"/?") && argc == 2) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command == L"install") {
        // install's own options are taken out here; the service's
        // (install_service.cpp) stay among the words for Install.
        InstallOptions options;
        std::vector<wchar_t *> words;
        for (int at = 2; at < argc; ++at) {
            bool own = false;
            for (const auto &o : kInstallOptions) {
                if (std::wcscmp(argv[at], o.name) == 0) own = options.*(o.flag) = true;
            }
            if (own) continue;
            if (std::wcsncmp(argv[at], L"--", 2) == 0 && !IsServiceOption(argv[at]) &&
                !IsPowerOption(Narrow(argv[at]))) {
                std::fprintf(stderr, "pelmar-install: unknown option %s\n", Narrow(argv[at]).c_str());
                return Usage();
            }
            words.push_back(argv[at]);
        }
        return Install(static_cast<int>(words.size()), words.data(), options);
    }
    if (command == L"uninstall" && argc == 2) return Uninstall();
    if (command == L"status" && argc == 2) return Status();
    return Usage();
}
