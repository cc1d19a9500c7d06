// PowerSystem on Windows, and install's part for it (see power_settings_win32.h).
#include "tools/pelmar-install/power_settings_win32.h"

#include <cstdio>
#include <cstring>

#include "tools/basics/little_endian.h"
#include "tools/boot-config/registry_win32.h"
#include "tools/boot-config/service_contract.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

const wchar_t kPowerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Power";
const wchar_t kCrashControl[] = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl";
const wchar_t kFileSystem[] = L"SYSTEM\\CurrentControlSet\\Control\\FileSystem";
const wchar_t kPolicyKey[] = L"SOFTWARE\\Policies\\Microsoft\\Windows\\System";
const wchar_t kDumpCertificate[] = L"SYSTEM\\CurrentControlSet\\Control\\CrashControl\\EncryptionCertificates\\Certificate.1";

struct Place {
    const wchar_t *key, *name;
};
Place PlaceOf(PowerSetting setting) {
    switch (setting) {
        case PowerSetting::FastStartup: return {kPowerKey, L"HiberbootEnabled"};
        case PowerSetting::CrashDumps: return {kCrashControl, L"CrashDumpEnabled"};
        case PowerSetting::PagingEncryption: return {kFileSystem, L"NtfsEncryptPagingFile"};
        case PowerSetting::Hibernation: break;
    }
    return {nullptr, nullptr};
}

bool ReadAt(const wchar_t *path, const wchar_t *name, RegistryValue &value, std::string &error) {
    return RegistryPlace{HKEY_LOCAL_MACHINE, path, name}.Read(value, error);
}

// A value that goes needs no key; one that is written gets its key where
// the system has none yet.
bool WriteAt(const wchar_t *path, const wchar_t *name, const RegistryValue &value, std::string &error) {
    if (value.present) return RegistryPlace{HKEY_LOCAL_MACHINE, path, name}.Write(value, error);
    RegistryKey key(HKEY_LOCAL_MACHINE, path, KEY_SET_VALUE);
    if (!key) {
        if (key.missing()) return true;
        error = key.error();
        return false;
    }
    return WriteValue(key.get(), name, value, error);
}

// CallNtPowerInformation from System32's powrprof.dll (never a copy beside
// the program); its answer, or -1 when the system has no such call.
LONG PowerCall(POWER_INFORMATION_LEVEL level, void *in, ULONG inSize, void *out, ULONG outSize) {
    using Call = LONG(WINAPI *)(POWER_INFORMATION_LEVEL, PVOID, ULONG, PVOID, ULONG);
    static Call call = [] {
        wchar_t folder[MAX_PATH];
        const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
        HMODULE dll = n > 0 && n < MAX_PATH ? LoadLibraryW((std::wstring(folder, n) + L"\\powrprof.dll").c_str()) : nullptr;
        return dll ? reinterpret_cast<Call>(reinterpret_cast<void *>(GetProcAddress(dll, "CallNtPowerInformation")))
                   : nullptr;
    }();
    return call ? call(level, in, inSize, out, outSize) : -1;
}

std::string StatusText(LONG status) {
    char text[64];
    std::snprintf(text, sizeof text, "the power interface answers 0x%08lx", static_cast<unsigned long>(status));
    return text;
}

// Reserving or freeing the hibernation file needs the paging-file privilege.
void EnablePagefilePrivilege() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    TOKEN_PRIVILEGES p{};
    p.PrivilegeCount = 1;
    p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueW(nullptr, SE_CREATE_PAGEFILE_NAME, &p.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr);
    CloseHandle(token);
}

// One system for install's steps and their undoing, which outlive the call
// that made them.
Win32PowerSystem &ThePowerSystem() {
    static Win32PowerSystem system;
    return system;
}

}  // namespace

void KernelVersion(uint32_t &major, uint32_t &minor) {
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    using Get = LONG(WINAPI *)(RTL_OSVERSIONINFOW *);
    auto get = reinterpret_cast<Get>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    major = minor = 0;
    if (get && get(&info) >= 0) major = info.dwMajorVersion, minor = info.dwMinorVersion;
}

PowerContext Win32PowerSystem::Context() {
    PowerContext context;
    KernelVersion(context.major, context.minor);
    RegistryValue v, thumbprint, key;
    std::string error;
    if (ReadAt(kPolicyKey, L"HiberbootEnabled", v, error)) context.fastStartupPolicy = DwordOf(v);
    // Encrypted dumps: switched on, with the certificate they are encrypted for.
    context.dumpEncryption = ReadAt(kCrashControl, L"DumpEncryptionEnabled", v, error) && DwordOf(v) == 1u &&
                             ReadAt(kDumpCertificate, L"PublicKey", key, error) && key.present &&
                             ReadAt(kDumpCertificate, L"Thumbprint", thumbprint, error) && thumbprint.present;
    SYSTEM_POWER_CAPABILITIES capabilities{};
    context.hibernationSupported =
        PowerCall(SystemPowerCapabilities, nullptr, 0, &capabilities, sizeof capabilities) >= 0 && capabilities.SystemS4;
    // Wine answers SystemReserveHiberFile with "not implemented" while it
    // reports a hibernation file: nothing there can be turned off.
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        context.hibernationUncontrolled = "this system's power interface (Wine's) cannot free a hibernation file";
    return context;
}

bool Win32PowerSystem::ReadSetting(PowerSetting setting, RegistryValue &value, std::string &error) {
    if (setting != PowerSetting::Hibernation) {
        const Place place = PlaceOf(setting);
        return ReadAt(place.key, place.name, value, error);
    }
    SYSTEM_POWER_CAPABILITIES capabilities{};
    const LONG status = PowerCall(SystemPowerCapabilities, nullptr, 0, &capabilities, sizeof capabilities);
    if (status < 0) {
        error = StatusText(status);
        return false;
    }
    value = DwordValue(capabilities.HiberFilePresent ? 1 : 0);
    return true;
}

bool Win32PowerSystem::WriteSetting(PowerSetting setting, const RegistryValue &value, std::string &error) {
    if (setting != PowerSetting::Hibernation) {
        const Place place = PlaceOf(setting);
        return WriteAt(place.key, place.name, value, error);
    }
    // What powercfg /hibernate on|off does: the hibernation file reserved
    // or freed (and deleted).
    EnablePagefilePrivilege();
    BOOLEAN reserve = DwordOf(value) == 1u;
    const LONG status = PowerCall(SystemReserveHiberFile, &reserve, sizeof reserve, nullptr, 0);
    if (status < 0) {
        error = StatusText(status);
        return false;
    }
    return true;
}

// A record: the value before, packed, with its length first, then the value
// written, packed, as REG_BINARY.
bool Win32PowerSystem::ReadRecord(PowerSetting setting, PowerRecord &record) {
    RegistryValue packed;
    std::string error;
    if (!ReadAt(kPowerRecordsKey, Widen(SettingRecordName(setting)).c_str(), packed, error) || !packed.present ||
        packed.type != kRegBinary || packed.data.size() < 4)
        return false;
    const std::vector<uint8_t> &d = packed.data;
    const size_t first = static_cast<size_t>(ReadLE(d.data(), 4));
    if (first > d.size() - 4) return false;
    const std::optional<RegistryValue> before =
        Unpacked({true, kRegBinary, {d.begin() + 4, d.begin() + 4 + static_cast<std::ptrdiff_t>(first)}});
    const std::optional<RegistryValue> wrote =
        Unpacked({true, kRegBinary, {d.begin() + 4 + static_cast<std::ptrdiff_t>(first), d.end()}});
    if (!before || !wrote) return false;
    record = {*before, *wrote};
    return true;
}

bool Win32PowerSystem::WriteRecord(PowerSetting setting, const PowerRecord &record, std::string &error) {
    const std::vector<uint8_t> before = Packed(record.before).data, wrote = Packed(record.wrote).data;
    std::vector<uint8_t> data;
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(before.size() >> (8 * i)));
    data.insert(data.end(), before.begin(), before.end());
    data.insert(data.end(), wrote.begin(), wrote.end());
    return WriteAt(kPowerRecordsKey, Widen(SettingRecordName(setting)).c_str(), {true, kRegBinary, data}, error);
}

void Win32PowerSystem::ForgetRecord(PowerSetting setting) {
    std::string error;
    WriteAt(kPowerRecordsKey, Widen(SettingRecordName(setting)).c_str(), {}, error);
}

bool TakePowerOptions(int &count, wchar_t **words, PowerChoices &choices, std::string &why) {
    std::vector<std::string> narrow;
    for (int i = 0; i < count; ++i) narrow.push_back(Narrow(words[i]));
    if (!TakePowerOptions(narrow, choices, why)) return false;
    // The options and --dumps' word go; every other word stays, in order.
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        const std::string word = Narrow(words[i]);
        if (word == "--dumps") ++i;
        else if (!IsPowerOption(word)) words[kept++] = words[i];
    }
    count = kept;
    return true;
}

bool CheckPowerInstall(const PowerChoices &choices, PowerPlan &plan, std::string &why) {
    plan = PlanPower(ThePowerSystem(), choices);
    why = plan.refusal;
    return why.empty();
}

bool AddPowerInstallSteps(ChangeSet &changes, const PowerPlan &plan, std::vector<std::string> &lines,
                          std::string &why) {
    return AddPowerSteps(changes, ThePowerSystem(), plan, lines, why);
}

bool AddPowerUninstallSteps(ChangeSet &changes, std::vector<std::string> &lines, std::string &why) {
    return AddGiveBackSteps(changes, ThePowerSystem(), lines, why);
}

void PowerInstallStatus(std::vector<std::string> *problems) {
    std::vector<std::string> lines, found;
    PowerStatus(ThePowerSystem(), lines, found);
    for (const std::string &line : lines) std::fputs((line + "\n").c_str(), stdout);
    if (problems) problems->insert(problems->end(), found.begin(), found.end());
}

}  // namespace pelmar_tools
