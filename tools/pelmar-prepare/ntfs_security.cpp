// Security descriptors for pelmar-prepare's NTFS volumes.
//
// The root gets what Windows' format gives a new data volume (Windows
// Server 2003 to Windows 7; see docs/image-format.md): administrators and
// the system may do everything, users may read and make folders and files,
// and whoever makes one becomes its owner with full control through the
// CREATOR OWNER entry, so that users do not reach each other's files.
//
// libntfs-3g gives what ntfs_create makes a descriptor granting everyone
// everything; its own inheritance (ntfs_inherited_id) works from the
// mounting user's mapping rather than Windows' rules. So the descriptor each
// new folder and file gets is computed here, by Windows' rules of
// inheritance, and stored through libntfs-3g's security interface.
#include "tools/pelmar-prepare/ntfs_security.h"

#include <cstdlib>

#include "tools/pelmar-prepare/libntfs3g.h"

extern "C" {
#include <ntfs-3g/security.h>
}

namespace pelmar_tools {
namespace {

// A folder of the image's own making: owned by `owner`, group SYSTEM,
// inheriting nothing (protected) unless it is the volume's root, which has
// nothing to inherit from.
Descriptor FolderDescriptor(const std::string &owner, bool isProtected, std::vector<Ace> dacl) {
    Descriptor d;
    d.owner = owner;
    d.group = kSystem;
    if (isProtected) d.control |= kDaclProtected | kDaclAutoInherited;
    d.dacl = std::move(dacl);
    return d;
}

constexpr uint8_t kEverywhere = kObjectInherit | kContainerInherit;

}  // namespace

Descriptor VolumeRootDescriptor() {
    return FolderDescriptor(kAdministrators, false,
                            {
                                {kEverywhere, kFileAllAccess, kAdministrators},
                                {kEverywhere, kFileAllAccess, kSystem},
                                {kEverywhere | kInheritOnly, kGenericAll, kCreatorOwner},
                                {kEverywhere, kFileReadExecute, kUsers},
                                {kContainerInherit, kAddSubdirectory, kUsers},
                                {kContainerInherit | kInheritOnly, kAddFile, kUsers},
                            });
}

Descriptor TemporaryFilesDescriptor() {
    // Users may pass through to their own folders below (which the service
    // makes, each protected), but neither list, nor make anything, nor
    // change the folder itself: an empty folder a user can write to can be
    // made a junction by the first user after a boot.
    return FolderDescriptor(kAdministrators, true,
                            {
                                {0, kSynchronize | kTraverse, kUsers},
                                {kEverywhere, kFileAllAccess, kAdministrators},
                                {kEverywhere, kFileAllAccess, kSystem},
                            });
}

Descriptor ReadOnlyFolderDescriptor() {
    return FolderDescriptor(kAdministrators, true,
                            {
                                {kEverywhere, kFileAllAccess, kAdministrators},
                                {kEverywhere, kFileAllAccess, kSystem},
                                {kEverywhere, kFileReadExecute, kUsers},
                            });
}

Descriptor UserFolderDescriptor(const std::string &sid) {
    Descriptor d = FolderDescriptor(sid, true,
                                    {
                                        {kEverywhere, kFileAllAccess, sid},
                                        {kEverywhere, kFileAllAccess, kSystem},
                                        {kEverywhere, kFileAllAccess, kAdministrators},
                                    });
    if (sid == kSystem) d.dacl.erase(d.dacl.begin());
    return d;
}

Descriptor Inherit(const Descriptor &parent, bool folder, const std::string &owner,
                   const std::string &group) {
    Descriptor d;
    d.owner = owner;
    d.group = group;
    d.control = kSelfRelative | kDaclPresent | kDaclAutoInherited;
    for (const Ace &ace : parent.dacl) {
        const uint8_t inherit = ace.flags & (kObjectInherit | kContainerInherit);
        // The entry as it applies to the new object itself: the creator's
        // SIDs for CREATOR OWNER and CREATOR GROUP, generic rights mapped.
        Ace effective{kInherited, MapGeneric(ace.mask), ace.sid};
        if (ace.sid == kCreatorOwner) effective.sid = owner;
        if (ace.sid == kCreatorGroup) effective.sid = group;
        if (!folder) {
            if (ace.flags & kObjectInherit) d.dacl.push_back(effective);
            continue;
        }
        if (ace.flags & kContainerInherit) {
            if (ace.flags & kNoPropagate) {
                d.dacl.push_back(effective);
            } else if (effective.sid == ace.sid && effective.mask == ace.mask) {
                d.dacl.push_back({static_cast<uint8_t>(inherit | kInherited), ace.mask, ace.sid});
            } else {
                // Split: what applies here, and the entry as it was, to be
                // inherited further down.
                d.dacl.push_back(effective);
                d.dacl.push_back(
                    {static_cast<uint8_t>(inherit | kInheritOnly | kInherited), ace.mask, ace.sid});
            }
        } else if ((ace.flags & kObjectInherit) && !(ace.flags & kNoPropagate)) {
            // Meant for files only: carried for the files below the folder.
            d.dacl.push_back(
                {static_cast<uint8_t>(kObjectInherit | kInheritOnly | kInherited), ace.mask, ace.sid});
        }
    }
    return d;
}

namespace {

// libntfs-3g's context for its descriptor calls: the volume, no user
// mapping and no permission cache.
struct Context {
    PERMISSIONS_CACHE *cache = nullptr;
    SECURITY_CONTEXT scx{};
    explicit Context(ntfs_volume *volume) {
        scx.vol = volume;
        scx.pseccache = &cache;
    }
    ~Context() { ntfs_destroy_security_context(&scx); }
};

}  // namespace

bool SetDescriptor(ntfs_volume *volume, ntfs_inode *inode, const Descriptor &descriptor, std::string &error) {
    const std::vector<uint8_t> bytes = Encode(descriptor);
    Context context(volume);
    if (bytes.empty() || ntfs_set_ntfs_acl(&context.scx, inode, reinterpret_cast<const char *>(bytes.data()),
                                           bytes.size(), 0) != 0) {
        error = std::string("libntfs-3g cannot store the security descriptor: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool GetDescriptor(ntfs_volume *volume, ntfs_inode *inode, Descriptor &descriptor, std::string &error) {
    std::vector<char> bytes(65536);
    Context context(volume);
    const int size = ntfs_get_ntfs_acl(&context.scx, inode, bytes.data(), bytes.size());
    if (size <= 0 || static_cast<size_t>(size) > bytes.size() ||
        !Decode(reinterpret_cast<const uint8_t *>(bytes.data()), static_cast<size_t>(size), descriptor)) {
        error = "cannot read a security descriptor libntfs-3g gives";
        return false;
    }
    return true;
}

}  // namespace pelmar_tools
