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
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/boot-config/boot_line.h"
#include "tools/boot-config/change_set.h"
#include "tools/boot-config/registry_win32.h"
#include "tools/boot-config/service_contract.h"
#include "tools/boot-config/system_keys.h"
#include "tools/pelmar-install/install_boot_execute.h"
#include "tools/pelmar-install/install_checks.h"
#include "tools/pelmar-install/install_cost.h"
#include "tools/pelmar-install/install_ctrl_c_win32.h"
#include "tools/pelmar-install/install_digest_win32.h"
#include "tools/pelmar-install/install_driver_win32.h"
#include "tools/pelmar-install/install_files_win32.h"
#include "tools/pelmar-install/install_image_win32.h"
#include "tools/pelmar-install/install_line_win32.h"
#include "tools/pelmar-install/install_output.h"
#include "tools/pelmar-install/install_rights_win32.h"
#include "tools/pelmar-install/install_service_config_win32.h"
#include "tools/pelmar-install/install_service_win32.h"
#include "tools/pelmar-install/power_settings_win32.h"
#include "tools/pelmar-service/service_renewal_win32.h"
#include "tools/platform/version.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {


const char kAdministrator[] =
    "changing the boot-time programs needs an administrator: run pelmar-install from a command prompt "
    "started as an administrator";

int Refuse(const std::string &why) {
    Complain(why);
    Complain("nothing was changed");
    return 1;
}

// A failed step's reason, after every change before it is undone: either
// nothing was changed, or each change that could not be undone is named.
int RolledBack(ChangeSet &changes, const std::string &why) {
    const std::vector<std::string> left = changes.RollBack();
    if (left.empty()) return Refuse(why);
    Complain(why);
    for (const std::string &l : left) Complain("and " + l);
    return 1;
}

// A step's outcome from a Win32 call's: true, or false and the system's reason.
bool Done(BOOL ok, std::string &why) {
    if (!ok) why = SystemErrorText(GetLastError());
    return ok != 0;
}

// BootExecute as a list of lines, read whole; false and why when it cannot be.
bool ReadBootExecute(HKEY session, RegistryValue &value, MultiString &text, std::string &why) {
    if (!ReadValue(session, kBootExecuteValue, value, why)) {
        why = "cannot read BootExecute: " + why;
        return false;
    }
    return BootExecuteText(value, text, why);
}

// What install's options allow beyond the safe configurations.
struct InstallOptions {
    bool allowDebugger = false;  // --allow-debugger: a line ending in dbg
    bool slowBootOk = false;     // --slow-boot-ok: a derivation above kSlowBootSeconds
    bool containerIsMine = false;  // --container-is-mine: a container that does not look like one
};

// A duration as the boot-cost lines show it.
std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds < 1 ? "%.3f" : seconds < 10 ? "%.2f" : "%.0f", seconds);
    return text;
}

// Everything install found out before it changes anything.
struct InstallPlan {
    BootLine line;
    ServiceInstallOptions service;
    // What could keep the drive beyond a stop (Fast Startup, hibernation,
    // dumps, paging files): planned with the checks, changed after the service.
    PowerChoices powerChoices;
    PowerPlan power;
    std::vector<std::string> serviceLines, powerLines;  // said once install is done
    std::wstring source, target, staged;  // pelmar.exe: beside, in System32, its new copy there
    uint64_t programSize = 0;
    RegistryKey session, driver;
    RegistryValue before, after;  // BootExecute
    MultiString text;             // BootExecute's lines before
    std::optional<DWORD> start;   // the driver's start type
    std::string driverProblem;
    bool raise = false;  // the start type is raised to 1
    std::wstring containerFile, imageFile;
    // The image, held from its check to the end of the install so that
    // nobody writes it in between.
    std::unique_ptr<VolumeSource> heldImage;
};

// The line: the arguments as Pelmar reads them, and the files they name.
bool CheckLine(int count, wchar_t **words, const InstallOptions &options, InstallPlan &plan, std::string &why) {
    if (!TakePowerOptions(count, words, plan.powerChoices, why) || !TakeServiceOptions(count, words, plan.service, why) ||
        !ReadLine(count, words, plan.line, why))
        return false;
    plan.line.containerIsMine = options.containerIsMine;
    Say("Pelmar's line: " + Narrow(plan.line.line));
    DescribeLine(plan.line);
    why = ArgumentProblem(plan.line.words);
    if (why.empty() && plan.line.debugBreak && !options.allowDebugger) {
        why = "dbg makes every boot wait for a kernel debugger, and without one attached no drive appears; "
              "give --allow-debugger (before the arguments) if that is meant";
    }
    if (why.empty()) why = FileProblem(plan.line, false);
    if (!why.empty()) return false;
    plan.containerFile = *PathAsWin32(plan.line.container, why);
    plan.imageFile = *PathAsWin32(plan.line.image, why);
    return true;
}

// The boot derives its key material before anything appears on the
// screen: say what that costs here, and refuse a boot that would hang.
bool CheckBootCost(const InstallPlan &plan, const InstallOptions &options, std::string &why) {
    const DerivationCost cost = TimeDerivation(plan.line.choice.Prf, plan.line.choice.Iterations, kSlowBootSeconds);
    if (cost.seconds < 0) {
        why = "cannot time the key derivation for this hash";
        return false;
    }
    Say("boot cost: " + std::string(cost.measured ? "" : "about ") + SecondsText(cost.seconds) +
        " s of key derivation at every start on this machine (" +
        (cost.measured ? "timed" : "scaled up from a part of it") + ")");
    if (cost.seconds > kSlowBootSeconds && !options.slowBootOk) {
        why = "the key derivation would hold up every boot for " + SecondsText(cost.seconds) +
              " s with nothing on the screen (more than " + SecondsText(kSlowBootSeconds) +
              " s): choose a smaller iteration count, or give --slow-boot-ok (before the arguments) "
              "if that is meant";
        return false;
    }
    return true;
}

// pelmar.exe beside this program, the one built with it.
bool CheckProgram(InstallPlan &plan, std::string &why) {
    plan.source = ProgramBeside();
    plan.target = InstalledProgram();
    plan.staged = plan.target + kNewCopySuffix;
    std::optional<uint64_t> size = FileSize(plan.source);
    if (!size) {
        why = "there is no pelmar.exe beside pelmar-install (" + Narrow(plan.source.c_str()) + ")";
        return false;
    }
    plan.programSize = *size;
    why = ProgramProblem(plan.source);
    if (why.empty() && SystemFolder().empty()) why = "the system folder cannot be found";
    return why.empty();
}

// BootExecute with Pelmar's line, and the driver's start type: raised only
// when the service starts too late.
bool PlanRegistry(InstallPlan &plan, std::string &why) {
    if (!plan.session.Open(HKEY_LOCAL_MACHINE, kSessionManagerKey, KEY_QUERY_VALUE | KEY_SET_VALUE)) {
        why = "cannot open the Session Manager's settings for writing (" + plan.session.error() + "); " +
              kAdministrator;
        return false;
    }
    if (!ReadBootExecute(plan.session.get(), plan.before, plan.text, why)) return false;
    plan.after = MultiStringValue(WithPelmar(plan.text, plan.line.line));
    plan.start = DriverStart(plan.driverProblem);
    plan.raise = plan.start && *plan.start >= 2 && *plan.start <= 4;
    if (!plan.raise) return true;
    if (plan.driver.Open(HKEY_LOCAL_MACHINE, kDriverService, KEY_SET_VALUE)) return true;
    why = "cannot change the start type of the driver's service " + std::string(kDriverServiceName);
    return false;
}

// A file's protected permissions, its earlier ones given back at a roll-back.
bool ProtectStep(ChangeSet &changes, const std::wstring &file, const char *what, std::string &why) {
    std::shared_ptr<SavedSecurity> was(new SavedSecurity, [](SavedSecurity *s) {
        s->Forget();
        delete s;
    });
    return changes.Do([&](std::string &e) { return ProtectFile(file, *was, e); },
                      [file, was](std::string &e) { return PutBackSecurity(file, *was, e); },
                      std::string(what) + "'s permissions could not be put back: it keeps the protected ones", why);
}

// A registry value written in one call, its value before given back at a roll-back.
bool WriteStep(ChangeSet &changes, HKEY key, const wchar_t *name, const RegistryValue &value,
               const RegistryValue &before, const std::string &failed, const std::string &left, std::string &why) {
    return changes.Do(
        [&](std::string &e) {
            if (WriteValue(key, name, value, e)) return true;
            e = failed + ": " + e;
            return false;
        },
        [key, name, before](std::string &e) { return WriteValue(key, name, before, e); }, left, why);
}

// pelmar.exe copied beside its place under a temporary name; the copy goes
// at a roll-back, even one that a copy cut short left behind.
bool CopyStep(ChangeSet &changes, const InstallPlan &plan, std::string &why) {
    const std::string staged = Narrow(plan.staged.c_str());
    changes.Undo(
        [s = plan.staged](std::string &e) {
            return Done(DeleteFileW(s.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND, e);
        },
        "the copy " + staged + " could not be deleted: delete it by hand");
    if (Done(CopyFileW(plan.source.c_str(), plan.staged.c_str(), FALSE), why)) return true;
    why = "cannot copy pelmar.exe to " + staged + ": " + why;
    return false;
}

// The copy is checked once more just before it takes the name the boot runs.
bool CheckCopy(const InstallPlan &plan, std::string &why) {
    why = ProgramProblem(plan.staged);
    if (!why.empty()) why = "the copy " + why;
    return why.empty();
}

// The last step: the copy takes the name the boot runs.
bool PutInPlace(const InstallPlan &plan, std::string &why) {
    if (MoveFileExW(plan.staged.c_str(), plan.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    why = "cannot put pelmar.exe in place as " + Narrow(plan.target.c_str()) + ": " + SystemErrorText(GetLastError());
    return false;
}

// The image, once protected, held so that nobody else can write it, then
// checked through that handle and its digest recorded for the service.
bool HoldImage(ChangeSet &changes, InstallPlan &plan, std::string &why) {
    plan.heldImage = OpenImageAlone(plan.imageFile, why);
    if (!plan.heldImage) {
        why = "the image " + Narrow(plan.imageFile.c_str()) + ": " + why;
        return false;
    }
    const std::optional<uint64_t> containerSize = FileSize(plan.containerFile);
    return CheckAndRecordImage(changes, *plan.heldImage, containerSize.value_or(0), plan.service.userTemp,
                               plan.service.systemTemp, why);
}

// The changes, in order, each undone when a later one fails: the new file
// goes in under a temporary name, the registry values are each written in
// one call, and the file gets its name last.
bool MakeChanges(ChangeSet &changes, InstallPlan &plan, std::string &why) {
    const char letter = static_cast<char>(plan.line.choice.DriveLetter);
    return AddServiceSteps(changes, plan.service, letter, plan.serviceLines, why) &&
           AddPowerInstallSteps(changes, plan.power, plan.powerLines, why) && CopyStep(changes, plan, why) &&
           CheckCopy(plan, why) && ProtectStep(changes, plan.containerFile, "the container", why) &&
           ProtectStep(changes, plan.imageFile, "the image", why) && HoldImage(changes, plan, why) &&
           WriteStep(changes, plan.session.get(), kBootExecuteValue, plan.after, plan.before, "cannot write BootExecute",
                     "BootExecute could not be put back: it holds Pelmar's line; run pelmar-install uninstall", why) &&
           (!plan.raise ||
            WriteStep(changes, plan.driver.get(), L"Start", DwordValue(1), DwordValue(*plan.start),
                      "cannot raise the driver's start type",
                      "the driver's start type could not be put back to " + StartMeaning(*plan.start) +
                          ": it stays 1 (system)",
                      why)) &&
           CheckCopy(plan, why) && PutInPlace(plan, why);
}

void TellInstalled(const InstallPlan &plan) {
    Say("installed " + Narrow(plan.target.c_str()) + " (" + std::to_string(plan.programSize) + " bytes)");
    for (const std::u16string &l : MultiStringLines(plan.text)) {
        if (IsPelmarLine(l)) Say("replaced the Pelmar line " + Narrow(l));
    }
    Say("BootExecute now:");
    for (const std::u16string &l : MultiStringLines(AsMultiString(plan.after.data))) Say("  " + Narrow(l));
    Say("gave the container and the image protected permissions: owner Administrators, full control for SYSTEM "
        "and Administrators only");
    if (plan.raise) {
        Say("raised the start type of the driver's service " + std::string(kDriverServiceName) + " from " +
            StartMeaning(*plan.start) + " to 1 (system), so that the driver is there when Pelmar runs");
    } else if (!plan.start) {
        Say("warning: " + plan.driverProblem +
            ": Pelmar cannot mount its container without the driver started at boot (start type 0 or 1); "
            "it still gives the container a new header at every start. Put the driver's service right and run "
            "pelmar-install again.");
    }
    for (const std::string &l : plan.serviceLines) Say(l);
    for (const std::string &l : plan.powerLines) Say(l);
}

int Install(int count, wchar_t **words, const InstallOptions &options) {
    if (!IsAdministrator()) return Refuse(kAdministrator);
    InstallPlan plan;
    std::string why;
    if (!CheckLine(count, words, options, plan, why) || !CheckBootCost(plan, options, why) ||
        !CheckServiceInstall(plan.service, plan.line.image, static_cast<char>(plan.line.choice.DriveLetter), why) ||
        !CheckPowerInstall(plan.powerChoices, plan.power, why) ||
        !CheckProgram(plan, why) || !PlanRegistry(plan, why))
        return Refuse(why);
    // From here on every step has its undoing, and Ctrl+C waits for the
    // last step or the undoing to end.
    ChangesUnderWay holdOff;
    ChangeSet changes;
    if (!MakeChanges(changes, plan, why)) return RolledBack(changes, why);
    changes.Commit();
    TellInstalled(plan);
    StartInstalledService();
    Say("Pelmar runs at the next start of Windows.");
    return 0;
}

// --- uninstall ---------------------------------------------------------

// pelmar.exe moved aside and Pelmar's line taken out of BootExecute. The
// file steps aside first, so that taking the line out is the one change
// left that can fail, and it can be undone by moving the file back.
bool RemoveProgramAndLine(ChangeSet &changes, HKEY session, const RegistryValue &before, const MultiString &remaining,
                          bool lineThere, bool fileThere, std::string &why) {
    const std::wstring target = InstalledProgram(), parked = target + kOldCopySuffix;
    const std::string targetName = Narrow(target.c_str()), parkedName = Narrow(parked.c_str());
    const bool parkedAside = !fileThere || changes.Do(
        [&](std::string &e) {
            if (Done(MoveFileExW(target.c_str(), parked.c_str(), MOVEFILE_REPLACE_EXISTING), e)) return true;
            e = "cannot remove " + targetName + ": " + e;
            return false;
        },
        [target, parked](std::string &e) {
            return Done(MoveFileExW(parked.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING), e);
        },
        targetName + " could not be moved back from " + parkedName + ": Pelmar's line stays, with no program to run",
        why);
    if (!parkedAside || !lineThere) return parkedAside;
    // A value that held nothing but Pelmar's line was made by install where
    // there was none: it goes again (an empty list and no value mean the
    // same to the Session Manager).
    const bool onlyPelmar = MultiStringLines(remaining).empty();
    if (WriteValue(session, kBootExecuteValue, RegistryValue{!onlyPelmar, before.type, AsBytes(remaining)}, why))
        return true;
    why = "cannot write BootExecute: " + why;
    return false;
}

void TellUninstalled(const MultiString &text, bool fileThere) {
    const std::wstring target = InstalledProgram(), parked = target + kOldCopySuffix;
    for (const std::u16string &l : MultiStringLines(text)) {
        if (IsPelmarLine(l)) Say("removed the line " + Narrow(l) + " from BootExecute");
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
}

int Uninstall() {
    if (!IsAdministrator()) return Refuse(kAdministrator);
    RegistryKey session;
    RegistryValue before;
    MultiString text;
    std::string why;
    if (!session.Open(HKEY_LOCAL_MACHINE, kSessionManagerKey, KEY_QUERY_VALUE | KEY_SET_VALUE)) {
        return Refuse("cannot open the Session Manager's settings for writing (" + session.error() + "); " +
                      kAdministrator);
    }
    if (!ReadBootExecute(session.get(), before, text, why)) return Refuse(why);
    const std::string target = Narrow(InstalledProgram().c_str());
    // The power settings go back first, while the service's key holds
    // install's records of them; they are kept once the service, and the
    // records with it, are gone.
    ChangeSet power;
    std::vector<std::string> powerLines;
    if (!AddPowerUninstallSteps(power, powerLines, why)) return RolledBack(power, why);
    // The service goes next: it is stopped before the values it changed go back.
    if (!UninstallService(why)) {
        const std::vector<std::string> left = power.RollBack();
        Complain(why);
        for (const std::string &l : left) Complain("and " + l);
        Complain("BootExecute and " + target + " are left as they were; run pelmar-install uninstall again once "
                 "that is put right");
        return 1;
    }
    power.Commit();
    for (const std::string &l : powerLines) Say(l);
    const MultiString remaining = WithoutPelmar(text);
    const bool lineThere = remaining != text;
    const bool fileThere = !SystemFolder().empty() && FileSize(InstalledProgram()).has_value();
    if (!lineThere && !fileThere) {
        Say("Pelmar is not installed: BootExecute has no Pelmar line and there is no " + target);
        return 0;
    }
    ChangeSet changes;
    if (!RemoveProgramAndLine(changes, session.get(), before, remaining, lineThere, fileThere, why)) {
        const std::vector<std::string> left = changes.RollBack();
        Complain(why);
        for (const std::string &l : left) Complain("and " + l);
        Complain("the service is removed and the values it changed are back; " +
                 std::string(left.empty() ? "BootExecute and " + target + " are as they were" : "Pelmar's line stays") +
                 ": run pelmar-install uninstall again");
        return 1;
    }
    changes.Commit();
    TellUninstalled(text, fileThere);
    return 0;
}

// --- status --------------------------------------------------------------

std::string SizeText(const std::wstring &path) {
    std::string why;
    std::optional<std::wstring> win32 = PathAsWin32(path, why);
    if (!win32) return "cannot be opened at boot: " + why;
    std::optional<uint64_t> size = FileSize(*win32);
    return size ? std::to_string(*size) + " bytes" : "missing";
}

// BootExecute's lines, Pelmar's marked; Pelmar's lines.
std::vector<std::u16string> ShowBootExecute(const MultiString &text) {
    std::vector<std::u16string> pelmarLines;
    Say("BootExecute:");
    for (const std::u16string &l : MultiStringLines(text)) {
        Say((IsPelmarLine(l) ? "  > " : "    ") + Narrow(l));
        if (IsPelmarLine(l)) pelmarLines.push_back(l);
    }
    return pelmarLines;
}

// The installed pelmar.exe; its size when it is there.
std::optional<uint64_t> ShowProgram(std::vector<std::string> &problems) {
    const std::wstring target = InstalledProgram();
    std::optional<uint64_t> programSize = FileSize(target);
    Say(Narrow(target.c_str()) + ": " + (programSize ? std::to_string(*programSize) + " bytes" : "missing"));
    if (programSize) {
        const std::string why = ProgramProblem(target);
        if (!why.empty()) problems.push_back(why);
    }
    return programSize;
}

void ShowDriver(bool pelmarLine, std::vector<std::string> &problems) {
    std::string error;
    std::optional<DWORD> start = DriverStart(error);
    Say("driver service " + std::string(kDriverServiceName) + ": " +
        (start ? "start type " + StartMeaning(*start) +
                     (*start <= 1 ? "" : ", too late for Pelmar (it must be 0 or 1)")
               : error + "; Pelmar cannot mount its container without it"));
    if (pelmarLine && (!start || *start > 1)) {
        problems.push_back("the driver does not start before Pelmar runs, so no drive appears");
    }
}

// A Pelmar line as the boot-time run reads it, and the files it names.
void CheckInstalledLine(const std::u16string &l, std::vector<std::string> &problems) {
    const std::optional<std::vector<std::u16string>> arguments = PelmarArguments(l);
    std::vector<std::wstring> words;
    for (const std::u16string &word : *arguments) words.push_back(AsWide(word));
    std::vector<wchar_t *> pointers;
    for (std::wstring &w : words) pointers.push_back(w.data());
    BootLine line;
    std::string why;
    if (!ReadLine(static_cast<int>(pointers.size()), pointers.data(), line, why)) {
        problems.push_back("Pelmar's line cannot be read as Pelmar reads it: " + why);
        return;
    }
    DescribeLine(line);
    Say("  container " + Narrow(line.container.c_str()) + ": " + SizeText(line.container));
    Say("  image " + Narrow(line.image.c_str()) + ": " + SizeText(line.image));
    why = ArgumentProblem(line.words);
    if (why.empty()) why = FileProblem(line, true);
    if (!why.empty()) problems.push_back(why);
    // The service uses the drive only while the image is the one install checked.
    const std::optional<std::wstring> image = PathAsWin32(line.image, why);
    why = image ? ImageDigestProblem(*image) : std::string();
    if (!why.empty()) problems.push_back(why);
}

int Status() {
    RegistryKey session(HKEY_LOCAL_MACHINE, kSessionManagerKey, KEY_QUERY_VALUE);
    if (!session) {
        Complain("cannot read the Session Manager's settings: " + session.error());
        return 1;
    }
    RegistryValue value;
    MultiString text;
    std::string why;
    if (!ReadBootExecute(session.get(), value, text, why)) {
        Complain(why);
        return 1;
    }
    const std::vector<std::u16string> pelmarLines = ShowBootExecute(text);
    // What would keep the installed configuration from working at boot.
    std::vector<std::string> problems;
    const std::optional<uint64_t> programSize = ShowProgram(problems);
    // The service's program runs as LocalSystem at every boot: checked as pelmar.exe is.
    if (const std::wstring service = SystemFile(kServiceProgram); FileSize(service)) {
        const std::string why = ServiceProgramProblem(service);
        if (!why.empty()) problems.push_back(why);
    }
    ShowDriver(!pelmarLines.empty(), problems);
    for (const std::u16string &l : pelmarLines) CheckInstalledLine(l, problems);
    if (pelmarLines.size() > 1) {
        problems.push_back("BootExecute holds more than one Pelmar line: pelmar-install install makes it one");
    }
    const bool installed = !pelmarLines.empty() && programSize;
    if (!installed && (!pelmarLines.empty() || programSize)) {
        problems.push_back("Pelmar is installed only in part: run pelmar-install install again, or uninstall");
    }
    ServiceStatus(!pelmarLines.empty(), problems);
    ServiceConfigStatus(problems);
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
    "  --container-is-mine  take a container that does not look like one (neither random nor zeros): the boot\n"
    "                    overwrites it\n"
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
    {L"--container-is-mine", &InstallOptions::containerIsMine},
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
    // Usage before anything else: help wherever install's words ask for it,
    // and a bad word named, with exit status 2.
    std::vector<std::string> args;
    for (int at = 1; at < argc; ++at) args.push_back(Narrow(argv[at]));
    const UsageReading usage = ReadUsage(args);
    if (usage.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!usage.problem.empty()) {
        Complain(usage.problem);
        return Usage();
    }
    if (command == L"install") {
        // install's own options are taken out here; the service's
        // (install_service_win32.cpp) stay among the words for Install.
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
