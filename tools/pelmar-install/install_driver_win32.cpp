// The driver's service (see install_driver_win32.h).
#include "tools/pelmar-install/install_driver_win32.h"

#include "tools/boot-config/registry_win32.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {

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
    RegistryValue value;
    const bool read = ReadValue(key, L"Start", value, error);
    RegCloseKey(key);
    const std::string service = "the driver service " + std::string(kDriverServiceName);
    if (!read) {
        error = "cannot read the Start value of " + service + ": " + error;
    } else if (!value.present) {
        error = service + " has no Start value, so the system does not start it";
    } else if (!DwordOf(value)) {
        error = service + "'s Start value is not a number (REG_DWORD), so the system does not start it";
    } else {
        const DWORD start = *DwordOf(value);
        if (start <= 4) return start;
        error = service + "'s Start value is " + std::to_string(start) + ", which is no start type (0 to 4)";
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
        default: return std::to_string(start);
    }
}

}  // namespace pelmar_tools
