// Who could replace or redirect the files Pelmar trusts at boot. The
// container is overwritten at every start and the image chooses the whole
// file system of the scratch drive, so a user who can replace either, or
// turn the way to it elsewhere, controls what SYSTEM writes and what the
// kernel's file-system driver parses. The judgement here works on what the
// platform layer (install_rights_win32.cpp) reads of each file and folder,
// so the tools' tests can give it any security descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmar_tools {

// Whose rights count: the system's own accounts and the administrators may
// do anything anyway; every other trustee is somebody else.
enum class Trustee { Administrators, System, TrustedInstaller, CreatorOwner, Other };

struct AccessEntry {
    bool allow = true;
    Trustee who = Trustee::Other;
    std::string name;      // the trustee as the system names it, for messages
    uint32_t mask = 0;     // access rights, generic ones included
    bool inheritOnly = false;  // applies to what the folder holds, not to itself
};

// One file or folder on the way to a trusted file, as the system reports it.
struct ObjectRights {
    std::string path;
    bool reparsePoint = false;  // a junction, a symbolic link or a mount point
    bool hasDacl = true;        // false: a null DACL, everyone may do everything
    Trustee owner = Trustee::Administrators;
    std::string ownerName;
    std::vector<AccessEntry> entries;
};

// The rights on a folder on the way that let somebody replace or redirect
// what it holds: delete or rename the folder (DELETE), delete what it holds
// (FILE_DELETE_CHILD), change its permissions or owner, or all of these
// (GENERIC_ALL). Creating new entries does not count, since every name on
// the way exists, and a junction can be made only of an empty folder.
inline constexpr uint32_t kFolderReplaceRights = 0x00010000u /* DELETE */ | 0x00040000u /* WRITE_DAC */ |
                                                 0x00080000u /* WRITE_OWNER */ |
                                                 0x00000040u /* FILE_DELETE_CHILD */ |
                                                 0x10000000u /* GENERIC_ALL */ | 0x02000000u /* MAXIMUM_ALLOWED */;

// Empty when nobody but SYSTEM and the administrators can replace or
// redirect what the folder holds; otherwise who can, and how.
std::string FolderProblem(const ObjectRights &folder);

// Whether the object's permissions are exactly the protected ones install
// gives a trusted file: owner Administrators, SYSTEM and Administrators
// only, inheriting nothing. Empty when they are, otherwise what differs.
// `inherits`: the DACL takes inheritable entries from the folder.
std::string ProtectionProblem(const ObjectRights &object, bool inherits);

}  // namespace pelmar_tools
