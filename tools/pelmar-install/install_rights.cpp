// Who could replace or redirect a trusted file (see install_rights.h).
#include "tools/pelmar-install/install_rights.h"

namespace pelmar_tools {
namespace {

bool Trusted(Trustee who) {
    return who == Trustee::Administrators || who == Trustee::System || who == Trustee::TrustedInstaller;
}

}  // namespace

std::string FolderProblem(const ObjectRights &folder) {
    if (folder.reparsePoint) {
        return folder.path + " is a junction, symbolic link or mount point: the boot would follow it wherever it "
                             "points then";
    }
    if (!folder.hasDacl) return folder.path + " has no access list at all: everybody may rename or replace it";
    if (!Trusted(folder.owner)) {
        return folder.path + " belongs to " + folder.ownerName +
               ", who may change its permissions and so rename or replace what it holds";
    }
    for (const AccessEntry &e : folder.entries) {
        // A deny entry for a group does not stop a member who is allowed
        // through another, so only what is allowed is weighed.
        if (!e.allow || e.inheritOnly || Trusted(e.who) || e.who == Trustee::CreatorOwner) continue;
        if (e.mask & kFolderReplaceRights) {
            return folder.path + " lets " + e.name +
                   " delete, rename or re-permit what it holds, and so replace or redirect the file";
        }
    }
    return {};
}

std::string ProtectionProblem(const ObjectRights &object, bool inherits) {
    if (object.reparsePoint) return object.path + " is a link: the boot would follow it";
    if (!object.hasDacl) return object.path + " has no access list: everybody may change it";
    if (object.owner != Trustee::Administrators) return object.path + " belongs to " + object.ownerName;
    if (inherits) return object.path + " takes permissions from its folder";
    for (const AccessEntry &e : object.entries) {
        if (e.allow && e.who != Trustee::Administrators && e.who != Trustee::System) {
            return object.path + " lets " + e.name + " in";
        }
    }
    return {};
}

}  // namespace pelmar_tools
