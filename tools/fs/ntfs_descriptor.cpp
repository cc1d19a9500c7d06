// Security descriptors in NTFS's self-relative form (see ntfs_descriptor.h).
#include "tools/fs/ntfs_descriptor.h"

#include <cstdlib>

namespace pelmar_tools {
namespace {

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

}  // namespace

uint32_t MapGeneric(uint32_t mask) {
    constexpr uint32_t kGenericRead = 0x80000000, kGenericWrite = 0x40000000, kGenericExecute = 0x20000000;
    uint32_t mapped = mask & 0x0FFFFFFF;
    if (mask & kGenericRead) mapped |= 0x00120089;
    if (mask & kGenericWrite) mapped |= 0x00120116;
    if (mask & kGenericExecute) mapped |= 0x001200A0;
    if (mask & kGenericAll) mapped |= kFileAllAccess;
    return mapped;
}

bool OthersMayRedirect(const Descriptor &descriptor) {
    return !RedirectingEntries(descriptor).empty();
}

std::vector<Ace> RedirectingEntries(const Descriptor &descriptor) {
    std::vector<Ace> entries;
    for (const Ace &ace : descriptor.dacl) {
        if ((ace.flags & kInheritOnly) || ace.sid == kSystem || ace.sid == kAdministrators) continue;
        if (MapGeneric(ace.mask) & kRedirectingRights) entries.push_back(ace);
    }
    return entries;
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

}  // namespace pelmar_tools
