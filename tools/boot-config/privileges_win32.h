// Privileges an account holds but has switched off (restore, backup, the
// paging file's), switched on in this process's token before the calls that
// need them.
#pragma once

#include <initializer_list>
#include <string>

namespace pelmar_tools {

// Switches on each named privilege (SE_RESTORE_NAME, ...): true, or false
// and why for the first that could not be, one the account does not hold
// among them; the others are still tried.
bool EnablePrivileges(std::initializer_list<const wchar_t *> names, std::string &why);

}  // namespace pelmar_tools
