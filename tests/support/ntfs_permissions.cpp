// The tests' own reading of NTFS security descriptors, in a file of its
// own: libntfs-3g's headers and the stand-in's Windows names cannot meet.
#include "support/ntfs_permissions.h"

#include <cerrno>
#include <cstring>

// After the standard headers: libntfs-3g's headers define min and max.
#include "tools/pelmar-prepare/libntfs3g.h"
extern "C" {
#include <ntfs-3g/security.h>
}

namespace pelmar_test {
namespace {

uint32_t Little(const std::vector<uint8_t> &b, size_t at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | b[at + i];
    return value;
}

// A SID at `at`: its alias where SDDL has one, else S-1-A-B...
bool SidAt(const std::vector<uint8_t> &b, size_t at, size_t end, std::string &text) {
    if (at + 8 > end || b[at] != 1 || at + 8 + 4 * size_t{b[at + 1]} > end) return false;
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = authority << 8 | b[at + i];
    text = "S-1-" + std::to_string(authority);
    for (size_t i = 0; i < b[at + 1]; ++i) text += "-" + std::to_string(Little(b, at + 8 + 4 * i, 4));
    static const std::pair<const char *, const char *> kAliases[] = {
        {"S-1-5-18", "SY"}, {"S-1-5-32-544", "BA"}, {"S-1-5-32-545", "BU"}, {"S-1-3-0", "CO"}, {"S-1-3-1", "CG"}};
    for (const auto &[sid, alias] : kAliases)
        if (text == sid) text = alias;
    return true;
}

// An access mask as SDDL writes it: a whole-mask alias, else the names of
// its bits when every bit has one, else hexadecimal.
std::string MaskText(uint32_t mask) {
    if (mask == 0x001F01FF) return "FA";
    if (mask == 0x10000000) return "GA";
    static const char *const kBits[] = {"CC", "DC", "LC", "SW", "RP", "WP", "DT", "LO", "CR"};
    std::string names;
    for (uint32_t bit = 0; bit < 32; ++bit)
        if (mask >> bit & 1) {
            if (bit >= 9) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "0x%x", mask);
                return hex;
            }
            names += kBits[bit];
        }
    return names;
}

}  // namespace

std::string DescriptorSddl(const std::vector<uint8_t> &b) {
    if (b.size() < 20 || b[0] != 1) return {};
    const uint32_t control = Little(b, 2, 2);
    std::string owner, group;
    if (!(control & 0x8000) || !SidAt(b, Little(b, 4, 4), b.size(), owner) ||
        !SidAt(b, Little(b, 8, 4), b.size(), group))
        return {};
    std::string text = "O:" + owner + "G:" + group;
    if (!(control & 0x0004)) return text;
    text += "D:";
    if (control & 0x1000) text += "P";
    if (control & 0x0400) text += "AI";
    const size_t acl = Little(b, 16, 4);
    if (acl + 8 > b.size() || Little(b, acl + 2, 2) > b.size() - acl) return {};
    const size_t end = acl + Little(b, acl + 2, 2);
    size_t at = acl + 8;
    for (uint32_t n = Little(b, acl + 4, 2); n > 0; --n) {
        if (at + 8 > end) return {};
        const size_t size = Little(b, at + 2, 2);
        std::string sid;
        if (b[at] != 0 || size < 16 || at + size > end || !SidAt(b, at + 8, at + size, sid)) return {};
        text += "(A;";
        static const std::pair<uint8_t, const char *> kFlags[] = {
            {0x01, "OI"}, {0x02, "CI"}, {0x04, "NP"}, {0x08, "IO"}, {0x10, "ID"}};
        for (const auto &[flag, name] : kFlags)
            if (b[at + 1] & flag) text += name;
        text += ";" + MaskText(Little(b, at + 4, 4)) + ";;;" + sid + ")";
        at += size;
    }
    return text;
}

std::vector<std::string> OthersWhoMayRedirect(const std::vector<uint8_t> &b) {
    const size_t acl = b.size() >= 20 ? Little(b, 16, 4) : 0;
    if (!acl || acl + 8 > b.size()) return {"(no list)"};
    // Writing data or attributes, appending, deleting, changing the list or
    // the owner, and the generic rights that include them.
    constexpr uint32_t kRedirecting = 0x500D0142;
    std::vector<std::string> who;
    size_t at = acl + 8;
    for (uint32_t n = Little(b, acl + 4, 2); n > 0 && at + 16 <= b.size(); --n, at += Little(b, at + 2, 2)) {
        std::string sid;
        if (!SidAt(b, at + 8, b.size(), sid)) sid = "(malformed)";
        const bool inheritOnly = b[at + 1] & 0x08, administration = sid == "SY" || sid == "BA";
        if (b[at] != 0 || (!inheritOnly && !administration && (Little(b, at + 4, 4) & kRedirecting)))
            who.push_back(sid);
    }
    return who;
}

std::string ReadSddl(const std::string &raw, const std::string &path, std::string &error) {
    pelmar_tools::NtfsVolume volume;
    if (!volume.Mount(raw, true, error)) return {};
    if (ntfs_open_secure(volume.get()) != 0) {
        error = "libntfs-3g cannot open $Secure";
        return {};
    }
    ntfs_inode *inode = path == "/" ? ntfs_inode_open(volume.get(), FILE_root)
                                    : ntfs_pathname_to_inode(volume.get(), nullptr, path.c_str());
    std::vector<uint8_t> bytes(65536);
    int size = 0;
    if (inode) {
        PERMISSIONS_CACHE *cache = nullptr;
        SECURITY_CONTEXT context{};
        context.vol = volume.get();
        context.pseccache = &cache;
        size = ntfs_get_ntfs_acl(&context, inode, reinterpret_cast<char *>(bytes.data()), bytes.size());
        ntfs_destroy_security_context(&context);
        ntfs_inode_close(inode);
    }
    ntfs_close_secure(volume.get());
    if (!inode) error = "no " + path + " on the volume";
    if (size <= 0 || static_cast<size_t>(size) > bytes.size()) {
        if (inode) error = "libntfs-3g gives no security descriptor: " + std::string(std::strerror(errno));
        return {};
    }
    bytes.resize(static_cast<size_t>(size));
    const std::string text = DescriptorSddl(bytes);
    if (text.empty()) error = "the security descriptor libntfs-3g gives is malformed";
    return text;
}

}  // namespace pelmar_test
