// The service's own configuration, as steps of the install's change set:
// the privileges it keeps (a required-privileges list: the rest of
// LocalSystem's token is taken away when it starts), what the service
// manager does when it fails (restarts it, for a failure that is no crash
// too), and who may change its Parameters key (SYSTEM and Administrators;
// users read only). Each is given back at a roll-back; removing the service
// removes them all, with its key.
#pragma once

#include <string>
#include <vector>

#include "tools/boot-config/change_set.h"

namespace pelmar_tools {

// The privileges pelmar-service enables and uses: restore and backup (a
// folder's owner set to another account; users' hives loaded and unloaded),
// the paging-file privilege (a hibernation file freed again when someone
// turned hibernation back on), and passing through folders (every path it
// opens).
inline constexpr wchar_t kServicePrivileges[] =
    L"SeChangeNotifyPrivilege\0SeRestorePrivilege\0SeBackupPrivilege\0SeCreatePagefilePrivilege\0";
// The Parameters key's access list: protected, SYSTEM and Administrators
// full control, users read, for the key and every key below.
inline constexpr wchar_t kParametersKeyAccess[] = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

// Sets the three on the installed service (which exists, and has its
// Parameters key); false and why at the first that fails.
bool AddServiceConfigSteps(ChangeSet &changes, std::string &why);

// The three as the service manager and the registry report them, for
// status (nothing when the service is not installed); what differs from
// install's goes into `problems`.
void ServiceConfigStatus(std::vector<std::string> &problems);

}  // namespace pelmar_tools
