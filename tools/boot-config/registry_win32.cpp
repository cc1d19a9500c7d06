// The registry on Windows (see registry_win32.h).
#include "tools/boot-config/registry_win32.h"

#include <vector>

#include "tools/basics/ascii_case.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

// The key's full name as the object manager knows it (NtQueryKey's
// KeyNameInformation), looked up in ntdll at run time: the tools import
// only kernel32, advapi32 and msvcrt.
bool KeyName(HKEY key, std::wstring &name) {
    using Query = LONG(WINAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query =
        ntdll ? reinterpret_cast<Query>(reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryKey"))) : nullptr;
    std::vector<ULONG> buffer(1024);
    ULONG got = 0;
    constexpr int kKeyNameInformation = 3;
    if (!query || query(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(ULONG)),
                        &got) < 0)
        return false;
    const ULONG bytes = buffer[0];
    if (bytes > (buffer.size() - 1) * sizeof(ULONG)) return false;
    name.assign(reinterpret_cast<const wchar_t *>(&buffer[1]), bytes / sizeof(wchar_t));
    return true;
}

}  // namespace

HKEY OpenKeyAsItself(HKEY parent, const std::wstring &name, const std::wstring &fullName, REGSAM access, bool create,
                     bool &refused, std::string &why) {
    refused = false;
    HKEY key = nullptr;
    LONG r = RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK, access | KEY_QUERY_VALUE, &key);
    // A key made now is new and no link; one made by someone else meanwhile
    // is caught by its name below.
    if (r == ERROR_FILE_NOT_FOUND && create)
        r = RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, access | KEY_QUERY_VALUE, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS) {
        why = SystemErrorText(static_cast<DWORD>(r));
        return nullptr;
    }
    DWORD type = 0, size = 0;
    const LONG link = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, &size);
    std::wstring reported;
    if (link == ERROR_SUCCESS || link == ERROR_MORE_DATA) {
        why = "it is a registry link";
        refused = true;
    } else if (!KeyName(key, reported)) {
        why = "the system does not say which key it is";
    } else if (AsciiLower(reported) != AsciiLower(fullName)) {
        why = "it is the key " + Narrow(reported.c_str()) + ", not " + Narrow(fullName.c_str());
        refused = true;
    } else {
        return key;
    }
    RegCloseKey(key);
    return nullptr;
}

bool ReadValue(HKEY key, const wchar_t *name, RegistryValue &value, std::string &error) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        value = {};
        DWORD size = 0, type = 0;
        LONG r = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
        if (r == ERROR_FILE_NOT_FOUND) return true;
        if (r == ERROR_SUCCESS) {
            value.data.resize(size);
            r = RegQueryValueExW(key, name, nullptr, &type, size ? value.data.data() : nullptr, &size);
        }
        if (r == ERROR_MORE_DATA) continue;  // it grew meanwhile
        if (r != ERROR_SUCCESS) {
            error = SystemErrorText(static_cast<DWORD>(r));
            return false;
        }
        value.data.resize(size);
        value.type = type;
        value.present = true;
        return true;
    }
    value = {};
    error = "the value keeps changing while it is read";
    return false;
}

bool WriteValue(HKEY key, const wchar_t *name, const RegistryValue &value, std::string &error) {
    const LONG r = value.present ? RegSetValueExW(key, name, 0, value.type, value.data.empty() ? nullptr : value.data.data(),
                                                  static_cast<DWORD>(value.data.size()))
                                 : RegDeleteValueW(key, name);
    if (r == ERROR_SUCCESS || (!value.present && r == ERROR_FILE_NOT_FOUND)) return true;
    error = SystemErrorText(static_cast<DWORD>(r));
    return false;
}

bool RegistryKey::Open(HKEY root, const std::wstring &path, REGSAM access) {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
    const LONG r = RegOpenKeyExW(root, path.c_str(), 0, access, &key_);
    if (r == ERROR_SUCCESS) return true;
    key_ = nullptr;
    missing_ = r == ERROR_FILE_NOT_FOUND;
    error_ = SystemErrorText(static_cast<DWORD>(r));
    return false;
}

RegistryKey::~RegistryKey() {
    if (key_) RegCloseKey(key_);
}

bool RegistryKey::Create(HKEY root, const std::wstring &path, REGSAM access, bool *created) {
    if (key_) RegCloseKey(key_);
    key_ = nullptr;
    DWORD disposition = 0;
    const LONG r = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, &key_, &disposition);
    if (r != ERROR_SUCCESS) {
        key_ = nullptr;
        error_ = SystemErrorText(static_cast<DWORD>(r));
        return false;
    }
    if (created) *created = disposition == REG_CREATED_NEW_KEY;
    return true;
}

bool RegistryPlace::Read(RegistryValue &value, std::string &error) const {
    RegistryKey k(root, key, KEY_QUERY_VALUE);
    if (!k) {
        value = {};
        if (k.missing()) return true;
        error = k.error();
        return false;
    }
    return ReadValue(k.get(), name.c_str(), value, error);
}

bool RegistryPlace::Write(const RegistryValue &value, std::string &error) const {
    RegistryKey k;
    // An absent value where there is no key is written already: no key is made for it.
    if (!value.present && !k.Open(root, key, KEY_SET_VALUE)) {
        if (k.missing()) return true;
        error = k.error();
        return false;
    }
    if (!k && !k.Create(root, key, KEY_SET_VALUE)) {
        error = k.error();
        return false;
    }
    return WriteValue(k.get(), name.c_str(), value, error);
}

}  // namespace pelmar_tools
