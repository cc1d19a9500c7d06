// The platform's side of the rights on the way to the files Pelmar trusts
// (install_rights_win32.cpp): reading them from the system, giving a
// trusted file the protected permissions, and whether the one running the
// installer is an administrator.
#pragma once

#include "tools/pelmar-install/install_rights.h"

#include <windows.h>

namespace pelmar_tools {

// Whether this program runs as a member of the Administrators group.
bool IsAdministrator();

// The platform's side (install_rights_win32.cpp): the rights of a file or
// folder as the system reports them; false and why when they cannot be read.
bool ReadRights(const std::wstring &path, ObjectRights &rights, bool &inherits, std::string &error);

// Empty, or why somebody other than SYSTEM and the administrators could
// replace or redirect the file `path` (a full path with a drive letter):
// a folder on the way, from the drive's root down, or the file a link.
std::string WayProblem(const std::wstring &path);

// A file's owner and access list as they were, to be put back.
struct SavedSecurity {
    PSECURITY_DESCRIPTOR descriptor = nullptr;  // LocalFree'd by Forget
    PSID owner = nullptr;
    PACL dacl = nullptr;
    bool inherited = false;
    void Forget();
};

// Gives the file the protected permissions: owner Administrators, full
// control for SYSTEM and Administrators only, nothing inherited. `saved`
// receives what it had.
bool ProtectFile(const std::wstring &path, SavedSecurity &saved, std::string &error);
bool PutBackSecurity(const std::wstring &path, const SavedSecurity &saved, std::string &error);

}  // namespace pelmar_tools
