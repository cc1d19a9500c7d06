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

// Windows' mapping of the generic rights for files and folders.
uint32_t MapGeneric(uint32_t mask) {
    constexpr uint32_t kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000;
    uint32_t mapped = mask & 0x0FFFFFFF;
    if (mask & kGenericRead) mapped |= 0x00120089;
    if (mask & kGenericWrite) mapped |= 0x00120116;
    if (mask & kGenericExecute) mapped |= 0x001200A0;
    if (mask & kGenericAll) mapped |= kFileAllAccess;
    return mapped;
}

bool EncodeSid(const std::string &text, std::vector<uint8_t> &out) {
    // S-1-<authority>-<sub>...
    if (text.rfind("S-1-", 0) != 0) return false;
    std::vector<uint64_t> parts;
    for (size_t at = 4; at <= text.size();) {
        size_t end = text.find('-', at);
        if (end == std::string::npos) end = text.size();
        if (end == at) return false;
        char *stop = nullptr;
        const std::string part = text.substr(at, end - at);
        parts.push_back(std::strtoull(part.c_str(), &stop, 10));
        if (*stop) return false;
        at = end + 1;
    }
    if (parts.size() < 2 || parts.size() > 16) return false;
    out.push_back(1);
    out.push_back(static_cast<uint8_t>(parts.size() - 1));
    for (int shift = 40; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(parts[0] >> shift));
    for (size_t i = 1; i < parts.size(); ++i)
        for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(parts[i] >> (8 * b)));
    return true;
}

// The SID at `at`, or false when it does not fit.
bool DecodeSid(const uint8_t *bytes, size_t length, size_t at, std::string &sid) {
    if (at == 0 || at + 8 > length || bytes[at] != 1) return false;
    const size_t count = bytes[at + 1];
    if (at + 8 + 4 * count > length) return false;
    uint64_t authority = 0;
    for (int i = 0; i < 6; ++i) authority = authority << 8 | bytes[at + 2 + i];
    sid = "S-1-" + std::to_string(authority);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t *p = bytes + at + 8 + 4 * i;
        sid += "-" + std::to_string(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
    }
    return true;
}

void Put16(std::vector<uint8_t> &out, size_t at, uint32_t value) {
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}
void Put32(std::vector<uint8_t> &out, size_t at, uint32_t value) {
    Put16(out, at, value & 0xFFFF);
    Put16(out, at + 2, value >> 16);
}
uint32_t Get16(const uint8_t *p) {
    return p[0] | p[1] << 8;
}
uint32_t Get32(const uint8_t *p) {
    return Get16(p) | Get16(p + 2) << 16;
}

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

bool OthersMayRedirect(const Descriptor &descriptor) {
    for (const Ace &ace : descriptor.dacl) {
        if ((ace.flags & kInheritOnly) || ace.sid == kSystem || ace.sid == kAdministrators) continue;
        if (MapGeneric(ace.mask) & kRedirectingRights) return true;
    }
    return false;
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

std::vector<uint8_t> Encode(const Descriptor &descriptor) {
    // Header, DACL, owner, group.
    std::vector<uint8_t> out(20 + 8, 0);
    out[0] = 1;
    Put16(out, 2, descriptor.control);
    Put32(out, 16, 20);
    for (const Ace &ace : descriptor.dacl) {
        const size_t at = out.size();
        out.resize(at + 8);
        out[at + 1] = ace.flags;
        Put32(out, at + 4, ace.mask);
        if (!EncodeSid(ace.sid, out)) return {};
        Put16(out, at + 2, static_cast<uint32_t>(out.size() - at));
    }
    out[20] = 2;  // ACL revision
    Put16(out, 22, static_cast<uint32_t>(out.size() - 20));
    Put16(out, 24, static_cast<uint32_t>(descriptor.dacl.size()));
    Put32(out, 4, static_cast<uint32_t>(out.size()));
    if (!EncodeSid(descriptor.owner, out)) return {};
    Put32(out, 8, static_cast<uint32_t>(out.size()));
    if (!EncodeSid(descriptor.group, out)) return {};
    return out;
}

bool Decode(const uint8_t *bytes, size_t length, Descriptor &descriptor) {
    descriptor = {};
    if (length < 20 || bytes[0] != 1) return false;
    descriptor.control = static_cast<uint16_t>(Get16(bytes + 2));
    if (Get32(bytes + 12) != 0) return false;  // no SACL on these volumes
    if (!DecodeSid(bytes, length, Get32(bytes + 4), descriptor.owner) ||
        !DecodeSid(bytes, length, Get32(bytes + 8), descriptor.group))
        return false;
    const size_t acl = Get32(bytes + 16);
    if (!(descriptor.control & kDaclPresent) || acl == 0) return true;
    if (acl + 8 > length || Get16(bytes + acl + 2) + acl > length) return false;
    const size_t end = acl + Get16(bytes + acl + 2);
    size_t at = acl + 8;
    for (uint32_t i = 0, count = Get16(bytes + acl + 4); i < count; ++i) {
        if (at + 8 > end || bytes[at] != 0) return false;  // access-allowed entries only
        const size_t size = Get16(bytes + at + 2);
        Ace ace{bytes[at + 1], Get32(bytes + at + 4), {}};
        if (size < 16 || at + size > end || !DecodeSid(bytes, at + size, at + 8, ace.sid)) return false;
        descriptor.dacl.push_back(ace);
        at += size;
    }
    return true;
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
