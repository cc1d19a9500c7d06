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

#include "app/command_line_rules.h"
#include "tools/image/image_check.h"
#include "tools/pelmar-install/install_boot_execute.h"
#include "tools/pelmar-install/install_service.h"
#include "tools/platform/version.h"
#include "tools/platform/volume_source.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

const wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kBootExecute[] = L"BootExecute";
// The TrueCrypt driver's service, as the driver's own installer names it.
const wchar_t kDriverService[] = L"SYSTEM\\CurrentControlSet\\Services\\truecrypt";
const char kDriverServiceName[] = "truecrypt";
const wchar_t kProgram[] = L"pelmar.exe";
const wchar_t kNewSuffix[] = L".pelmar-install-new";
const wchar_t kOldSuffix[] = L".pelmar-install-old";
// The longest NT path the boot-time run takes (its path buffer holds 264
// code units; the driver refuses a container name of 260 or more).
constexpr size_t kLongestNtPath = 259;

void Say(const std::string &text) { std::fputs((text + "\n").c_str(), stdout); }
void Complain(const std::string &text) { std::fputs(("pelmar-install: " + text + "\n").c_str(), stderr); }

const wchar_t *Wide(const char16_t *text) { return reinterpret_cast<const wchar_t *>(text); }

std::string Number(uint64_t n) { return std::to_string(n); }

// --- The registry --------------------------------------------------------

struct RegistryValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// The value, or nothing and `error` when it cannot be read (absence is not
// an error).
std::optional<RegistryValue> ReadValue(HKEY key, const wchar_t *name, std::string &error) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        RegistryValue value;
        DWORD size = 0;
        LONG r = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
        if (r == ERROR_FILE_NOT_FOUND) return RegistryValue{};
        if (r == ERROR_SUCCESS) {
            value.data.resize(size);
            r = RegQueryValueExW(key, name, nullptr, &value.type, size ? value.data.data() : nullptr, &size);
        }
        if (r == ERROR_MORE_DATA) continue;  // it grew meanwhile
        if (r != ERROR_SUCCESS) {
            error = SystemErrorText(static_cast<DWORD>(r));
            return std::nullopt;
        }
        value.data.resize(size);
        value.present = true;
        return value;
    }
    error = "the value keeps changing while it is read";
    return std::nullopt;
}

LONG WriteValue(HKEY key, const wchar_t *name, const RegistryValue &value) {
    if (!value.present) {
        LONG r = RegDeleteValueW(key, name);
        return r == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : r;
    }
    return RegSetValueExW(key, name, 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                          static_cast<DWORD>(value.data.size()));
}

MultiString AsMultiString(const std::vector<BYTE> &data) {
    MultiString text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), text.size() * 2);
    return text;
}

std::vector<BYTE> AsBytes(const MultiString &text) {
    std::vector<BYTE> data(text.size() * 2);
    std::memcpy(data.data(), text.data(), data.size());
    return data;
}

std::string Utf8(const std::u16string &text) { return Narrow(std::wstring(text.begin(), text.end()).c_str()); }

// BootExecute as a list of lines; false and why when it is not one.
bool BootExecuteText(const RegistryValue &value, MultiString &text, std::string &why) {
    if (!value.present) {
        text.clear();
        return true;
    }
    if (value.type != REG_MULTI_SZ || value.data.size() % 2 != 0) {
        why = "BootExecute is not a list of lines (REG_MULTI_SZ) here; it is left to be put right by hand";
        return false;
    }
    text = AsMultiString(value.data);
    return true;
}

// The driver service's start type; nothing when there is no service.
std::optional<DWORD> DriverStart(std::string &error) {
    HKEY key;
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverService, 0, KEY_QUERY_VALUE, &key);
    if (r != ERROR_SUCCESS) {
        if (r != ERROR_FILE_NOT_FOUND) error = SystemErrorText(static_cast<DWORD>(r));
        return std::nullopt;
    }
    DWORD start = 0, type = 0, size = sizeof start;
    r = RegQueryValueExW(key, L"Start", nullptr, &type, reinterpret_cast<BYTE *>(&start), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS || type != REG_DWORD) return std::nullopt;
    return start;
}

std::string StartMeaning(DWORD start) {
    switch (start) {
        case 0: return "0 (boot)";
        case 1: return "1 (system)";
        case 2: return "2 (automatic)";
        case 3: return "3 (on demand)";
        case 4: return "4 (disabled)";
        default: return Number(start);
    }
}

// --- Rights ----------------------------------------------------------------

bool IsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member)) member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

// --- Files -----------------------------------------------------------------

std::optional<uint64_t> FileSize(const std::wstring &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::nullopt;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH];
    UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(folder, n) : std::wstring();
}

std::wstring InstalledProgram() { return SystemFolder() + L"\\" + kProgram; }

// The pelmar.exe that lies beside this program.
std::wstring ProgramBeside() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring self(path.data(), n);
    size_t slash = self.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : self.substr(0, slash + 1)) + kProgram;
}

// The name under which this program reaches the file that the boot-time run
// opens by `path` (Pelmar puts "\??\" before a name whose second character is
// ":" and takes any other name as an NT path); nothing, and why, when the run
// could not open it.
std::optional<std::wstring> PathAsWin32(const std::wstring &path, std::string &why) {
    const bool dos = path.size() >= 2 && path[1] == L':';
    const size_t ntLength = path.size() + (dos ? 4 : 0);
    if (ntLength > kLongestNtPath) {
        why = "its name is longer than Pelmar takes (" + Number(kLongestNtPath) + " characters as an NT path)";
        return std::nullopt;
    }
    if (dos) {
        if (path.size() < 3 || path[2] != L'\\' || !iswalpha(path[0])) {
            why = "it is not a full path (a drive letter, a colon and a backslash)";
            return std::nullopt;
        }
        return path;
    }
    if (path.rfind(L"\\??\\", 0) == 0) return L"\\\\?\\" + path.substr(4);
    if (path.rfind(L"\\", 0) == 0) return L"\\\\?\\GLOBALROOT" + path;
    why = "it is not a full path (a drive letter, a colon and a backslash)";
    return std::nullopt;
}

// --- The line ----------------------------------------------------------------

struct BootLine {
    std::u16string line;  // "pelmar ARGUMENTS"
    COMMAND_LINE_CHOICE choice;
    std::wstring container, image;  // as the boot-time run converts them
    bool debugBreak = false;
};

// An argument as the boot-time run receives it: the Session Manager's
// UTF-16 line turned into the ANSI code page (characters it lacks become
// their nearest ones), split at every byte that is not 0x21 to 0x7F.
bool AnsiWord(const std::wstring &word, std::string &ansi) {
    int n = WideCharToMultiByte(CP_ACP, 0, word.c_str(), static_cast<int>(word.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return false;
    ansi.assign(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, word.c_str(), static_cast<int>(word.size()), ansi.data(), n, nullptr, nullptr);
    for (char c : ansi) {
        if (static_cast<signed char>(c) <= 0x20) return false;
    }
    return true;
}

std::wstring FromAnsi(const char *ansi) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    if (n <= 1) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), n);
    wide.pop_back();
    return wide;
}

bool ReadLine(int count, wchar_t **words, BootLine &out, std::string &why) {
    std::vector<std::string> ansi{"pelmar"};
    std::u16string line = u"pelmar";
    for (int i = 0; i < count; ++i) {
        std::string word;
        if (!AnsiWord(words[i], word)) {
            why = "argument " + Number(static_cast<uint64_t>(i) + 1) + " (" + Narrow(words[i]) +
                  ") would not reach Pelmar as one word: Pelmar's command line takes printable ASCII "
                  "characters only, with no blanks";
            return false;
        }
        ansi.push_back(word);
        line += u' ';
        line.append(words[i], words[i] + std::wcslen(words[i]));
    }
    // As Pelmar's run frame: a last "dbg" breaks into the debugger and is
    // not part of the arguments.
    if (ansi.size() > 1 && _stricmp(ansi.back().c_str(), "dbg") == 0) {
        out.debugBreak = true;
        ansi.pop_back();
    }
    std::vector<char *> argv;
    for (std::string &word : ansi) argv.push_back(word.data());
    argv.push_back(nullptr);
    out.line = line;
    out.choice = CommandLineDefaults();
    ReadCommandLine(static_cast<int32_t>(ansi.size()), argv.data(), &out.choice);
    out.container = out.choice.ContainerPath ? FromAnsi(out.choice.ContainerPath) : Wide(kDefaultContainerPath);
    out.image = out.choice.ImagePath ? FromAnsi(out.choice.ImagePath) : Wide(kDefaultImagePath);
    if (ansi.size() > 7) {
        Say("note: Pelmar takes six arguments; it ignores the rest (" + Number(ansi.size() - 7) + " here)");
    }
    return true;
}

const char *EaName(int32_t ea) {
    static const char *const names[] = {"?",           "AES",          "Blowfish",          "CAST5",
                                        "Serpent",     "Triple DES",   "Twofish",           "AES-Twofish",
                                        "AES-Twofish-Serpent", "Serpent-AES", "Serpent-Twofish-AES",
                                        "Twofish-Serpent"};
    return ea >= 1 && ea <= 11 ? names[ea] : names[0];
}

const char *HashName(int32_t prf) { return prf == 1 ? "RIPEMD-160" : prf == 3 ? "Whirlpool" : "SHA-1"; }

void DescribeLine(const BootLine &line) {
    Say("  encryption " + std::string(EaName(line.choice.Ea)) + ", hash " + HashName(line.choice.Prf) + ", " +
        Number(line.choice.Iterations) + " iterations, drive " +
        std::string(1, static_cast<char>(line.choice.DriveLetter)) + ":");
    Say("  container " + Narrow(line.container.c_str()) + ", image " + Narrow(line.image.c_str()));
    if (line.debugBreak) Say("  dbg: Pelmar breaks into the kernel debugger at every start");
}

// Everything the boot-time run needs of the files the line names; false
// and why when something is missing or wrong.
bool CheckFiles(const BootLine &line, std::string &why) {
    std::string reason;
    std::optional<std::wstring> container = PathAsWin32(line.container, reason);
    if (!container) {
        why = "the container " + Narrow(line.container.c_str()) + " cannot be opened at boot: " + reason;
        return false;
    }
    std::optional<uint64_t> size = FileSize(*container);
    if (!size) {
        why = "there is no container file " + Narrow(line.container.c_str());
        return false;
    }
    if (*size < 1024) {
        why = "the container " + Narrow(line.container.c_str()) + " has " + Number(*size) +
              " bytes; it needs a 512-byte header and a volume of at least one sector";
        return false;
    }
    std::optional<std::wstring> image = PathAsWin32(line.image, reason);
    if (!image) {
        why = "the image " + Narrow(line.image.c_str()) + " cannot be opened at boot: " + reason;
        return false;
    }
    std::string error;
    std::unique_ptr<VolumeSource> source = OpenVolumeFile(Narrow(image->c_str()), error);
    if (!source) {
        why = "the image " + Narrow(line.image.c_str()) + ": " + error;
        return false;
    }
    if (!ImageIsConsistent(*source, error)) {
        why = "the image " + Narrow(line.image.c_str()) + " would not restore: " + error;
        return false;
    }
    return true;
}

// --- Commands ------------------------------------------------------------

int Refuse(const std::string &why) {
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

int Install(int count, wchar_t **words) {
    if (!IsAdministrator()) return Refuse(kAdministrator);

    BootLine line;
    std::string why;
    ServiceInstallOptions serviceOptions;
    if (!TakeServiceOptions(count, words, serviceOptions, why)) return Refuse(why);
    if (!ReadLine(count, words, line, why)) return Refuse(why);
    Say("Pelmar's line: " + Utf8(line.line));
    DescribeLine(line);
    if (!CheckFiles(line, why)) return Refuse(why);
    const char letter = static_cast<char>(line.choice.DriveLetter);
    if (!CheckServiceInstall(serviceOptions, line.image, letter, why)) return Refuse(why);

    const std::wstring source = ProgramBeside(), target = InstalledProgram();
    const std::wstring staged = target + kNewSuffix;
    std::optional<uint64_t> programSize = FileSize(source);
    if (!programSize) return Refuse("there is no pelmar.exe beside pelmar-install (" + Narrow(source.c_str()) + ")");
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
    std::optional<DWORD> start = DriverStart(error);
    const bool raise = start && *start >= 2 && *start <= 4;
    if (raise && RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverService, 0, KEY_SET_VALUE, &driver) != ERROR_SUCCESS) {
        RegCloseKey(session);
        return Refuse("cannot change the start type of the driver's service " + std::string(kDriverServiceName));
    }

    // From here on every step has its undoing.
    auto close = [&] {
        RegCloseKey(session);
        if (driver) RegCloseKey(driver);
    };
    if (!ApplyServiceInstall(serviceOptions, letter, why)) {
        close();
        return Refuse(why);
    }
    if (!CopyFileW(source.c_str(), staged.c_str(), FALSE)) {
        error = SystemErrorText(GetLastError());
        close();
        return Refuse("cannot copy pelmar.exe to " + Narrow(staged.c_str()) + ": " + error);
    }
    LONG r = WriteValue(session, kBootExecute, after);
    if (r != ERROR_SUCCESS) {
        DeleteFileW(staged.c_str());
        close();
        return Refuse("cannot write BootExecute: " + SystemErrorText(static_cast<DWORD>(r)));
    }
    auto undo = [&](const std::string &what) {
        LONG back = WriteValue(session, kBootExecute, *before);
        DeleteFileW(staged.c_str());
        close();
        if (back != ERROR_SUCCESS) {
            RollBackServiceInstall();
            Complain(what);
            Complain("and BootExecute could not be put back (" + SystemErrorText(static_cast<DWORD>(back)) +
                     "): it holds Pelmar's line; run pelmar-install uninstall");
            return 1;
        }
        return Refuse(what);
    };
    if (raise) {
        const DWORD system = 1;
        r = RegSetValueExW(driver, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&system), sizeof system);
        if (r != ERROR_SUCCESS) {
            return undo("cannot raise the driver's start type: " + SystemErrorText(static_cast<DWORD>(r)));
        }
    }
    if (!MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = SystemErrorText(GetLastError());
        if (raise) {
            const DWORD was = *start;
            RegSetValueExW(driver, L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&was), sizeof was);
        }
        return undo("cannot put pelmar.exe in place as " + Narrow(target.c_str()) + ": " + error);
    }
    close();

    Say("installed " + Narrow(target.c_str()) + " (" + Number(*programSize) + " bytes)");
    Say("BootExecute now:");
    for (const std::u16string &l : MultiStringLines(AsMultiString(after.data))) Say("  " + Utf8(l));
    if (raise) {
        Say("raised the start type of the driver's service " + std::string(kDriverServiceName) + " from " +
            StartMeaning(*start) + " to 1 (system), so that the driver is there when Pelmar runs");
    } else if (!start) {
        Say("warning: this machine has no driver service " + std::string(kDriverServiceName) +
            ": Pelmar cannot mount its container without the driver; it still gives the container a new "
            "header at every start. Install the driver and run pelmar-install again.");
    }
    StartInstalledService();
    Say("Pelmar runs at the next start of Windows.");
    return 0;
}

int Uninstall() {
    if (!IsAdministrator()) return Refuse(kAdministrator);
    std::string error, why;
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
        LONG r = WriteValue(session, kBootExecute, RegistryValue{true, before->type, AsBytes(remaining)});
        if (r != ERROR_SUCCESS) {
            if (fileThere) MoveFileExW(parked.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
            RegCloseKey(session);
            return Refuse("cannot write BootExecute: " + SystemErrorText(static_cast<DWORD>(r)));
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
    Say("the driver's start type and the container and image files are as they were");
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
    Say(Narrow(target.c_str()) + ": " + (programSize ? Number(*programSize) + " bytes" : "missing"));
    std::optional<DWORD> start = DriverStart(error);
    Say("driver service " + std::string(kDriverServiceName) + ": " +
        (start ? "start type " + StartMeaning(*start) +
                     (*start <= 1 ? "" : ", too late for Pelmar (it must be 0 or 1)")
               : std::string("not installed; Pelmar cannot mount its container without it")));
    for (const std::u16string &l : pelmarLines) {
        // The line's words after the program name, as the installer wrote them.
        std::vector<std::wstring> words;
        std::wstring wide(l.begin(), l.end());
        size_t at = wide.find_first_not_of(L" \t");
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
            Say("Pelmar's line cannot be read as Pelmar reads it: " + why);
            continue;
        }
        DescribeLine(line);
        Say("  container " + Narrow(line.container.c_str()) + ": " + SizeText(line.container));
        Say("  image " + Narrow(line.image.c_str()) + ": " + SizeText(line.image));
    }
    const bool installed = !pelmarLines.empty() && programSize;
    Say(installed ? "Pelmar is installed."
                  : pelmarLines.empty() && !programSize ? "Pelmar is not installed."
                                                        : "Pelmar is installed only in part: run pelmar-install "
                                                          "install again, or uninstall.");
    if (pelmarLines.size() > 1) Say("BootExecute holds more than one Pelmar line: pelmar-install install makes it one.");
    ServiceStatus();
    return 0;
}

int Usage() {
    std::fputs(
        "usage: pelmar-install install [EA [HASH [ITERATIONS [DRIVE [CONTAINER [IMAGE]]]]]] [dbg]\n"
        "                              [--user-temp] [--system-temp] [--pagefile MIN-MAX]\n"
        "       pelmar-install uninstall\n"
        "       pelmar-install status\n"
        "       pelmar-install --help | --version\n",
        stderr);
    return 2;
}

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
    if (command == L"--help" && argc == 2) return Usage(), 0;
    if (command == L"install") return Install(argc - 2, argv + 2);
    if (command == L"uninstall" && argc == 2) return Uninstall();
    if (command == L"status" && argc == 2) return Status();
    return Usage();
}
