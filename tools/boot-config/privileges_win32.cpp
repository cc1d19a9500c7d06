// Privileges switched on in this process's token (see privileges_win32.h).
#include "tools/boot-config/privileges_win32.h"

#include <windows.h>

#include "tools/platform/win32_text.h"

namespace pelmar_tools {

bool EnablePrivileges(std::initializer_list<const wchar_t *> names, std::string &why) {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        why = "cannot open this program's token: " + SystemErrorText(GetLastError());
        return false;
    }
    bool all = true;
    for (const wchar_t *name : names) {
        TOKEN_PRIVILEGES p{};
        p.PrivilegeCount = 1;
        p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        // AdjustTokenPrivileges succeeds for a privilege the token lacks,
        // and says so only in the last error.
        const bool on = LookupPrivilegeValueW(nullptr, name, &p.Privileges[0].Luid) &&
                        AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr) &&
                        GetLastError() == ERROR_SUCCESS;
        if (!on && all) why = "cannot switch on " + Narrow(name) + ": " + SystemErrorText(GetLastError());
        all = all && on;
    }
    CloseHandle(token);
    return all;
}

}  // namespace pelmar_tools
