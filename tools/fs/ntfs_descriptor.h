// Windows security descriptors as NTFS stores them: the rights and SIDs
// that matter here, a descriptor of access-allowed entries, its
// self-relative binary form, and the rule of who may redirect a folder,
// which the images pelmar-prepare makes keep and a capture of a drive
// checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pelmar_tools {

// Rights and flags, with Windows' values.
constexpr uint32_t kFileAllAccess = 0x001F01FF;    // FA
constexpr uint32_t kFileReadExecute = 0x001200A9;  // read, list, traverse, attributes
constexpr uint32_t kAddFile = 0x00000002;          // create files / write data
constexpr uint32_t kAddSubdirectory = 0x00000004;  // create folders / append data
constexpr uint32_t kTraverse = 0x00000020;         // traverse folder / execute file
constexpr uint32_t kSynchronize = 0x00100000;
constexpr uint32_t kGenericAll = 0x10000000;  // GA
// Rights on a folder that let their holder redirect it: write data (add
// file), write attributes, delete it or its children, change its
// descriptor or owner.
constexpr uint32_t kRedirectingRights = 0x00000002 | 0x00000100 | 0x00000040 | 0x00010000 | 0x00040000 | 0x00080000;
constexpr uint8_t kObjectInherit = 0x01, kContainerInherit = 0x02, kNoPropagate = 0x04, kInheritOnly = 0x08,
                  kInherited = 0x10;
constexpr uint16_t kDaclPresent = 0x0004, kDaclAutoInherited = 0x0400, kDaclProtected = 0x1000,
                   kSelfRelative = 0x8000;

// Security identifiers in their text form.
inline const std::string kSystem = "S-1-5-18", kAdministrators = "S-1-5-32-544", kUsers = "S-1-5-32-545",
                         kCreatorOwner = "S-1-3-0", kCreatorGroup = "S-1-3-1";

struct Ace {  // an access-allowed entry: the only kind these descriptors hold
    uint8_t flags;
    uint32_t mask;
    std::string sid;
    bool operator==(const Ace &) const = default;
};

struct Descriptor {
    std::string owner, group;
    uint16_t control = kSelfRelative | kDaclPresent;
    std::vector<Ace> dacl;
    bool operator==(const Descriptor &) const = default;
};

// Windows' mapping of the generic rights for files and folders.
uint32_t MapGeneric(uint32_t mask);

// Whether an entry of `descriptor` that applies to the object itself lets
// someone other than SYSTEM and Administrators write its data, its
// attributes or its descriptor: rights that let a user turn an empty folder
// into a junction (setting a reparse point needs write-data or
// write-attributes) or give themselves those rights.
bool OthersMayRedirect(const Descriptor &descriptor);
// The entries that do so (empty when none).
std::vector<Ace> RedirectingEntries(const Descriptor &descriptor);

// The self-relative binary form stored on the volume, and back; Decode is
// false for anything malformed or holding other entries than access-allowed.
std::vector<uint8_t> Encode(const Descriptor &descriptor);
bool Decode(const uint8_t *bytes, size_t length, Descriptor &descriptor);

}  // namespace pelmar_tools
