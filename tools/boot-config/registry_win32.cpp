// The registry on Windows (see registry_win32.h).
#include "tools/boot-config/registry_win32.h"

#include "tools/platform/win32_text.h"

namespace pelmar_tools {

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
