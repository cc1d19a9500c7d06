// pelmar-install's registry: a value read and written whole, BootExecute
// as a list of lines, and the start type of the driver's service.
#include <cstring>

#include "tools/pelmar-install/install_parts.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {

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

// The driver service's start type; nothing when there is no service or its
// Start value is not a start type, and then `error` says which.
std::optional<DWORD> DriverStart(std::string &error) {
    HKEY key;
    LONG r = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDriverService, 0, KEY_QUERY_VALUE, &key);
    if (r != ERROR_SUCCESS) {
        error = r == ERROR_FILE_NOT_FOUND ? "there is no driver service " + std::string(kDriverServiceName)
                                          : "cannot read the driver service " + std::string(kDriverServiceName) +
                                                ": " + SystemErrorText(static_cast<DWORD>(r));
        return std::nullopt;
    }
    std::optional<RegistryValue> value = ReadValue(key, L"Start", error);
    RegCloseKey(key);
    const std::string service = "the driver service " + std::string(kDriverServiceName);
    if (!value) {
        error = "cannot read the Start value of " + service + ": " + error;
    } else if (!value->present) {
        error = service + " has no Start value, so the system does not start it";
    } else if (value->type != REG_DWORD || value->data.size() != 4) {
        error = service + "'s Start value is not a number (REG_DWORD), so the system does not start it";
    } else {
        DWORD start;
        std::memcpy(&start, value->data.data(), 4);
        if (start <= 4) return start;
        error = service + "'s Start value is " + Number(start) + ", which is no start type (0 to 4)";
    }
    return std::nullopt;
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

}  // namespace pelmar_tools
