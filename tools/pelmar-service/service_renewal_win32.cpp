// RenewalSystem on Windows (see service_renewal_win32.h).
#include "tools/pelmar-service/service_renewal_win32.h"

#include <sddl.h>

#include <cstdio>

#include "tools/basics/little_endian.h"
#include "tools/boot-config/registry_win32.h"
#include "tools/pelmar-install/power_settings_win32.h"
#include "tools/pelmar-service/service_win32.h"
#include "tools/platform/win32_text.h"

// The system's random generator (advapi32's RtlGenRandom).
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace pelmar_tools {

namespace {

std::wstring MarkerPath(char letter) { return std::wstring(1, static_cast<wchar_t>(letter)) + L":\\pelmar-start.marker"; }

uint64_t Qword(HKEY key, const char *name) {
    RegistryValue v;
    std::string error;
    const bool ok =
        key && ReadValue(key, Widen(name).c_str(), v, error) && v.present && v.type == REG_QWORD && v.data.size() == 8;
    return ok ? ReadLE(v.data.data(), 8) : 0;
}

void PutQword(HKEY key, const char *name, uint64_t n) {
    RegistryValue v{true, REG_QWORD, {}};
    for (int i = 0; i < 8; ++i) v.data.push_back(static_cast<uint8_t>(n >> (8 * i)));
    std::string error;
    WriteValue(key, Widen(name).c_str(), v, error);
}

std::string TextValue(HKEY key, const char *name) {
    RegistryValue v;
    std::string error;
    if (!key || !ReadValue(key, Widen(name).c_str(), v, error) || !v.present || v.type != REG_SZ) return {};
    return Narrow(StringOf(v));
}

void PutText(HKEY key, const char *name, const std::string &text) {
    std::string error;
    WriteValue(key, Widen(name).c_str(), StringValue(AsUtf16(Widen(text))), error);
}

// The letter of Pelmar's drive, 0 when BootExecute has no Pelmar line.
char PelmarLetter(ServiceSystem &system) {
    char letter = 0;
    std::string image;
    return PelmarDrive(system.BootExecuteLines(), letter, image) ? letter : 0;
}

std::string TimeText(uint64_t filetime) {
    FILETIME ft{static_cast<DWORD>(filetime), static_cast<DWORD>(filetime >> 32)};
    SYSTEMTIME t;
    if (!filetime || !FileTimeToSystemTime(&ft, &t)) return "never";
    char text[40];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    return text;
}

}  // namespace

PowerTimes Win32RenewalSystem::Times() {
    PowerTimes times;
    times.bootTime = BootTime();
    using Call = LONG(WINAPI *)(POWER_INFORMATION_LEVEL, PVOID, ULONG, PVOID, ULONG);
    wchar_t folder[MAX_PATH];
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    HMODULE dll = n > 0 && n < MAX_PATH ? LoadLibraryW((std::wstring(folder, n) + L"\\powrprof.dll").c_str()) : nullptr;
    auto call = dll ? reinterpret_cast<Call>(reinterpret_cast<void *>(GetProcAddress(dll, "CallNtPowerInformation")))
                    : nullptr;
    ULONGLONG wake = 0;
    if (call && call(LastWakeTime, nullptr, 0, &wake, sizeof wake) >= 0) times.lastWake = wake;
    if (dll) FreeLibrary(dll);
    return times;
}

MarkerFacts Win32RenewalSystem::ReadMarker(char letter) {
    MarkerFacts facts;
    HANDLE h = CreateFileW(MarkerPath(letter).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return facts;
    char text[80];
    DWORD got = 0;
    facts.present = true;
    if (ReadFile(h, text, sizeof text, &got, nullptr)) facts.value.assign(text, got);
    while (!facts.value.empty() && (facts.value.back() == '\n' || facts.value.back() == '\r')) facts.value.pop_back();
    CloseHandle(h);
    return facts;
}

bool Win32RenewalSystem::WriteMarker(char letter, const std::string &value, std::string &error) {
    const std::wstring path = MarkerPath(letter);
    // A new file, so that the descriptor below is its own: owner SYSTEM,
    // SYSTEM full control, Administrators read, nothing inherited. On FAT
    // the descriptor is dropped and the attributes are all there is.
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        error = "cannot remove the previous marker: " + SystemErrorText(GetLastError());
        return false;
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYG:SYD:P(A;;FA;;;SY)(A;;FR;;;BA)", SDDL_REVISION_1,
                                                              &sd, nullptr)) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY, nullptr);
    const DWORD made = GetLastError();
    LocalFree(sd);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot make " + Narrow(path.c_str()) + ": " + SystemErrorText(made);
        return false;
    }
    const std::string text = value + "\r\n";
    DWORD put = 0;
    const bool ok = WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &put, nullptr) && put == text.size() &&
                    FlushFileBuffers(h);
    if (!ok) error = "cannot write " + Narrow(path.c_str()) + ": " + SystemErrorText(GetLastError());
    CloseHandle(h);
    return ok;
}

std::string Win32RenewalSystem::NewMarkerValue() {
    unsigned char bytes[16] = {};
    if (!SystemFunction036(bytes, sizeof bytes)) return {};
    std::string text;
    char hex[3];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return text;
}

RenewalRecord Win32RenewalSystem::ReadRenewal() {
    RenewalRecord record;
    RegistryKey key(HKEY_LOCAL_MACHINE, kParametersKey, KEY_QUERY_VALUE);
    if (!key) return record;
    record.marker = TextValue(key.get(), kRenewalMarkerValue);
    record.times = {Qword(key.get(), kRenewalBootTimeValue), Qword(key.get(), kRenewalLastWakeValue)};
    record.renewedAt = Qword(key.get(), kRenewedAtValue);
    record.kept = Qword(key.get(), kRenewalKeptValue) != 0;
    return record;
}

void Win32RenewalSystem::WriteRenewal(const RenewalRecord &record) {
    // Kept only where install made the service's settings: a run on a
    // machine without Pelmar changes nothing.
    RegistryKey key;
    if (!key.Open(HKEY_LOCAL_MACHINE, kParametersKey, KEY_SET_VALUE)) return;
    PutText(key.get(), kRenewalMarkerValue, record.marker);
    PutQword(key.get(), kRenewalBootTimeValue, record.times.bootTime);
    PutQword(key.get(), kRenewalLastWakeValue, record.times.lastWake);
    PutQword(key.get(), kRenewedAtValue, record.renewedAt);
    PutQword(key.get(), kRenewalKeptValue, record.kept);
}

std::string Win32RenewalSystem::ReadSession() {
    RegistryKey key(HKEY_LOCAL_MACHINE, kSessionKey, KEY_QUERY_VALUE);
    return key ? TextValue(key.get(), kSessionValue) : std::string();
}

void Win32RenewalSystem::WriteSession(const std::string &value) {
    if (!RegistryKey(HKEY_LOCAL_MACHINE, kParametersKey, KEY_QUERY_VALUE)) return;  // no Pelmar installed
    HKEY key = nullptr;
    // Volatile: the key lives in memory only, as long as this kernel session.
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSessionKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    PutText(key, kSessionValue, value.empty() ? "-" : value);
    RegCloseKey(key);
}

void RenewalStart(ServiceSystem &system, uint32_t outcome) {
    Win32RenewalSystem renewal(system);
    Win32PowerSystem power;
    RenewalAtStart(renewal, power, PelmarLetter(system), outcome == kEventDriveUp);
}

void RenewalResume(ServiceSystem &system) {
    Win32RenewalSystem renewal(system);
    Win32PowerSystem power;
    RenewalAtResume(renewal, power, PelmarLetter(system));
}

void RenewalLogon(ServiceSystem &system) {
    Win32RenewalSystem renewal(system);
    Win32PowerSystem power;
    RenewalAtLogon(renewal, power, PelmarLetter(system));
}

bool HasPreshutdown() {
    uint32_t major = 0, minor = 0;
    KernelVersion(major, minor);
    return major >= 6;
}

void RenewalStatus(std::vector<std::string> &problems) {
    Win32ServiceSystem system;
    Win32RenewalSystem renewal(system);
    const RenewalRecord record = renewal.ReadRenewal();
    std::fputs(("  drive last renewed: " +
                (record.renewedAt ? "at the boot of " + TimeText(record.renewedAt) : std::string("not yet seen by the service")) +
                (record.kept ? "; kept at the last start or resume" : "") + "\n").c_str(),
               stdout);
    if (record.kept)
        problems.push_back("the drive was not renewed at the last start (a resume from hibernation, sleep or Fast "
                           "Startup): restart Windows to renew it");
}

}  // namespace pelmar_tools
