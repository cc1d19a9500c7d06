// The service's own configuration (see install_service_config_win32.h).
#include "tools/pelmar-install/install_service_config_win32.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <functional>
#include <memory>
#include <vector>

#include "tools/boot-config/service_contract.h"
#include "tools/pelmar-install/install_output.h"
#include "tools/platform/win32_text.h"

namespace pelmar_tools {
namespace {

// The settings of Windows Vista and later, as the service manager takes them
// (the system headers declare them for those versions only).
struct RequiredPrivileges {
    wchar_t *list;  // REG_MULTI_SZ-like: names, each ended, then an empty one
};
struct FailureActionsFlag {
    BOOL onNonCrashFailures;
};

// The Parameters key as the security functions name registry keys.
const wchar_t kParametersObject[] = L"MACHINE\\SYSTEM\\CurrentControlSet\\Services\\PelmarService\\Parameters";

// Runs `use` with the service opened for its configuration; false and why
// when it cannot be opened or `use` fails.
bool WithService(const std::function<bool(SC_HANDLE)> &use, std::string &why) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG) : nullptr;
    bool ok = service && use(service);
    if (!ok) why = SystemErrorText(GetLastError());
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return ok;
}

// One of the service's optional settings changed to `wanted`, its setting
// before given back at a roll-back. A Windows that has no such setting
// (Windows XP and Server 2003 have neither a required-privileges list nor
// the flag for failures that are no crash) is told and left as it is.
bool ConfigStep(ChangeSet &changes, DWORD level, void *wanted, const std::string &what,
                const std::function<void(std::vector<BYTE> &)> &asUndo, std::string &why) {
    auto before = std::make_shared<std::vector<BYTE>>();
    bool unknown = false;
    const bool read = WithService(
        [&](SC_HANDLE s) {
            DWORD needed = 0;
            if (!QueryServiceConfig2W(s, level, nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
                unknown = GetLastError() == ERROR_INVALID_LEVEL || GetLastError() == ERROR_INVALID_PARAMETER;
                return false;
            }
            before->resize(needed);
            return QueryServiceConfig2W(s, level, before->data(), needed, &needed) != 0;
        },
        why);
    if (!read && unknown) {
        Say("note: this Windows keeps no " + what + " for a service (Windows Vista and later do)");
        return true;
    }
    if (!read) {
        why = "cannot read the service's " + what + ": " + why;
        return false;
    }
    asUndo(*before);
    return changes.Do(
        [&](std::string &e) {
            if (WithService([&](SC_HANDLE s) { return ChangeServiceConfig2W(s, level, wanted) != 0; }, e)) return true;
            e = "cannot set the service's " + what + ": " + e;
            return false;
        },
        [before, level](std::string &e) {
            return WithService([&](SC_HANDLE s) { return ChangeServiceConfig2W(s, level, before->data()) != 0; }, e);
        },
        "the service's " + what + " could not be put back: it keeps this install's", why);
}

// The Parameters key's access list set, its list before given back at a roll-back.
bool ProtectParameters(ChangeSet &changes, std::string &why) {
    PSECURITY_DESCRIPTOR was = nullptr;
    PACL wasList = nullptr;
    DWORD r = GetNamedSecurityInfoW(kParametersObject, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    &wasList, nullptr, &was);
    if (r != ERROR_SUCCESS) {
        why = "cannot read the permissions of the service's Parameters key: " + SystemErrorText(r);
        return false;
    }
    std::shared_ptr<void> before(was, [](void *sd) { LocalFree(sd); });
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(was, &control, &revision);
    const SECURITY_INFORMATION wasProtected =
        control & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION;
    return changes.Do(
        [&](std::string &e) {
            PSECURITY_DESCRIPTOR sd = nullptr;
            PACL list = nullptr;
            BOOL present = FALSE, defaulted = FALSE;
            if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kParametersKeyAccess, SDDL_REVISION_1, &sd,
                                                                      nullptr) ||
                !GetSecurityDescriptorDacl(sd, &present, &list, &defaulted)) {
                e = "cannot make the Parameters key's permissions: " + SystemErrorText(GetLastError());
                if (sd) LocalFree(sd);
                return false;
            }
            const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t *>(kParametersObject), SE_REGISTRY_KEY,
                                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                                    nullptr, nullptr, list, nullptr);
            LocalFree(sd);
            if (set == ERROR_SUCCESS) return true;
            e = "cannot set the permissions of the service's Parameters key: " + SystemErrorText(set);
            return false;
        },
        [before, wasList, wasProtected](std::string &e) {
            const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t *>(kParametersObject), SE_REGISTRY_KEY,
                                                    DACL_SECURITY_INFORMATION | wasProtected, nullptr, nullptr,
                                                    wasList, nullptr);
            if (set == ERROR_SUCCESS) return true;
            e = SystemErrorText(set);
            return false;
        },
        "the service's Parameters key keeps the permissions this install gave it", why);
}

}  // namespace

bool AddServiceConfigSteps(ChangeSet &changes, std::string &why) {
    RequiredPrivileges privileges{const_cast<wchar_t *>(kServicePrivileges)};
    // Restarted a minute after a failure, twice; the count starts again after a day.
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSW failure{24 * 60 * 60, nullptr, nullptr, 3, actions};
    // A failure is also a stop with an error of the service's own.
    FailureActionsFlag nonCrash{TRUE};
    static SC_ACTION none{SC_ACTION_NONE, 0};
    auto keepAsIs = [](std::vector<BYTE> &) {};
    // No actions before: given back as an empty list, which the service
    // manager reads as "delete the actions", not as "no change".
    auto actionsUndo = [](std::vector<BYTE> &before) {
        auto *f = reinterpret_cast<SERVICE_FAILURE_ACTIONSW *>(before.data());
        if (before.size() >= sizeof *f && f->cActions == 0) f->lpsaActions = &none;
    };
    return ConfigStep(changes, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges, "required-privileges list",
                      keepAsIs, why) &&
           ConfigStep(changes, SERVICE_CONFIG_FAILURE_ACTIONS, &failure, "failure actions", actionsUndo, why) &&
           ConfigStep(changes, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &nonCrash, "failure actions' flag for failures "
                      "that are no crash", keepAsIs, why) &&
           ProtectParameters(changes, why);
}

}  // namespace pelmar_tools

namespace pelmar_tools {
namespace {

// One setting as the service manager reports it: its bytes, or empty with
// `unknown` when this Windows keeps no such setting.
std::vector<BYTE> QueryConfig(SC_HANDLE service, DWORD level, bool &unknown) {
    std::vector<BYTE> bytes;
    DWORD needed = 0;
    if (!QueryServiceConfig2W(service, level, nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        unknown = GetLastError() == ERROR_INVALID_LEVEL || GetLastError() == ERROR_INVALID_PARAMETER;
        return bytes;
    }
    bytes.resize(needed);
    if (!QueryServiceConfig2W(service, level, bytes.data(), needed, &needed)) bytes.clear();
    return bytes;
}

std::string PrivilegesText(const std::vector<BYTE> &bytes) {
    const auto *p = reinterpret_cast<const RequiredPrivileges *>(bytes.data());
    std::string text;
    for (const wchar_t *name = bytes.size() >= sizeof *p ? p->list : nullptr; name && *name;
         name += wcslen(name) + 1)
        text += (text.empty() ? "" : " ") + Narrow(name);
    return text;
}

std::string ActionsText(const std::vector<BYTE> &bytes) {
    const auto *f = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW *>(bytes.data());
    if (bytes.size() < sizeof *f || f->cActions == 0) return {};
    std::string text;
    for (DWORD i = 0; i < f->cActions; ++i) {
        const SC_ACTION &a = f->lpsaActions[i];
        text += (i ? ", " : "") + std::string(a.Type == SC_ACTION_RESTART ? "restart" : a.Type == SC_ACTION_NONE
                                                                                          ? "nothing"
                                                                                          : "other") +
                (a.Type == SC_ACTION_NONE ? "" : " after " + std::to_string(a.Delay / 1000) + " s");
    }
    return text + "; counted again after " + std::to_string(f->dwResetPeriod) + " s";
}

}  // namespace

void ServiceConfigStatus(std::vector<std::string> &problems) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, kServiceName, SERVICE_QUERY_CONFIG) : nullptr;
    if (service) {
        bool privilegesUnknown = false, actionsUnknown = false, flagUnknown = false;
        const std::string privileges =
            PrivilegesText(QueryConfig(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, privilegesUnknown));
        const std::string actions = ActionsText(QueryConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS, actionsUnknown));
        const std::vector<BYTE> flag = QueryConfig(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, flagUnknown);
        const bool nonCrash = flag.size() >= sizeof(FailureActionsFlag) &&
                              reinterpret_cast<const FailureActionsFlag *>(flag.data())->onNonCrashFailures;
        Say("  required privileges: " + (privilegesUnknown ? std::string("not kept by this Windows (all of LocalSystem's)")
                                                           : privileges.empty() ? "none listed (all of LocalSystem's)"
                                                                                : privileges));
        Say("  failure actions: " + (actionsUnknown ? std::string("not kept by this Windows")
                                     : actions.empty() ? std::string("none")
                                                       : actions) +
            (flagUnknown ? "" : nonCrash ? "; for failures that are no crash too" : "; for crashes only"));
        std::string wanted;
        for (const wchar_t *name = kServicePrivileges; *name; name += wcslen(name) + 1)
            wanted += (wanted.empty() ? "" : " ") + Narrow(name);
        if (!privilegesUnknown && privileges != wanted)
            problems.push_back("the service keeps other privileges than it needs: run pelmar-install install again");
        if ((!actionsUnknown && actions.empty()) || (!flagUnknown && !nonCrash))
            problems.push_back("the service is not restarted after a failure: run pelmar-install install again");
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    if (!service) return;
    PSECURITY_DESCRIPTOR sd = nullptr;
    PACL list = nullptr;
    wchar_t *text = nullptr;
    const DWORD r = GetNamedSecurityInfoW(kParametersObject, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                          nullptr, &list, nullptr, &sd);
    if (r == ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                             nullptr)) {
        Say("  Parameters key: " + Narrow(text));
        if (std::wstring(text) != kParametersKeyAccess)
            problems.push_back("the service's Parameters key has other permissions than install gave it (" +
                               Narrow(kParametersKeyAccess) + "): run pelmar-install install again");
        LocalFree(text);
    } else {
        problems.push_back("the permissions of the service's Parameters key cannot be read");
    }
    if (sd) LocalFree(sd);
}

}  // namespace pelmar_tools
