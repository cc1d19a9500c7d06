// The descriptors pelmar-prepare's NTFS volumes must carry, in SDDL form as
// Windows gives them, and a second reader of them: ntfssecaudit's dump.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/ntfs_security.h"

namespace pelmar_test {

// Windows' format: administrators and the system everything, users read and
// make folders (and files below the root), creators own what they make.
inline const std::string kRootSddl =
    "O:BAG:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)(A;CI;LC;;;BU)"
    "(A;CIIO;DC;;;BU)";
// A --mkdir folder: users read and list it, nothing more (an empty folder
// they could write to could be made a junction); below it, inherited.
inline const std::string kFolderSddl = "O:BAG:SYD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
inline const std::string kSubfolderSddl =
    "O:BAG:SYD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)";
inline const std::string kFileSddl = "O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1200a9;;;BU)";
// A file copied to the root: the root's entries for files, CREATOR OWNER
// become the owner.
inline const std::string kRootFileSddl =
    "O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)";
// The parent of the users' temporary folders, which users only pass
// through, a file in it, and a user's own folder.
inline const std::string kTempSddl = "O:BAG:SYD:PAI(A;;0x100020;;;BU)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
inline const std::string kTempFileSddl = "O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)";
inline const std::string kUserSid = "S-1-5-21-1-2-3-1001";
inline const std::string kUserFolderSddl =
    "O:" + kUserSid + "G:SYD:PAI(A;OICI;FA;;;" + kUserSid + ")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

// The accounts other than SYSTEM and Administrators that an entry for the
// object itself lets write its data or attributes, delete it or change its
// descriptor, read from the descriptor's bytes by a reader of its own.
inline std::vector<std::string> OthersWhoMayRedirect(const std::vector<uint8_t> &b) {
    auto u16 = [&](size_t at) { return at + 2 <= b.size() ? unsigned(b[at] | b[at + 1] << 8) : 0u; };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    std::vector<std::string> who;
    const size_t dacl = b.size() >= 20 ? u32(16) : 0;
    if (!dacl || dacl + 8 > b.size()) return {"(no list)"};
    for (size_t i = 0, at = dacl + 8; i < u16(dacl + 4) && at + 16 <= b.size(); ++i, at += u16(at + 2)) {
        std::string sid = "S-1-" + std::to_string(b[at + 15]);
        for (size_t k = 0; k < b[at + 9]; ++k) sid += "-" + std::to_string(u32(at + 16 + 4 * k));
        const bool admin = sid == "S-1-5-18" || sid == "S-1-5-32-544";
        if (b[at] != 0 || (!(b[at + 1] & 0x08) && !admin && (u32(at + 4) & 0x500D0142u))) who.push_back(sid);
    }
    return who;
}

// The descriptor of `path` on the raw volume as ntfssecaudit -v dumps it
// (its hex lines are the descriptor's bytes), in SDDL form; empty when
// ntfssecaudit is missing or shows none.
inline std::vector<uint8_t> AuditedBytes(const std::string &raw, const std::string &path) {
    std::string command = "ntfssecaudit -v '" + raw + "' '" + path + "' 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    char line[512];
    std::vector<uint8_t> bytes;
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream in(line);
        std::string offset, word;
        if (!(in >> offset) || offset.size() != 6 ||
            offset.find_first_not_of("0123456789abcdef") != std::string::npos ||
            std::stoul(offset, nullptr, 16) != bytes.size())
            continue;
        while (in >> word && word.size() == 8)
            for (size_t i = 0; i < 8; i += 2)
                bytes.push_back(static_cast<uint8_t>(std::stoul(word.substr(i, 2), nullptr, 16)));
    }
    pclose(pipe);
    return bytes;
}

inline std::string AuditedSddl(const std::string &raw, const std::string &path) {
    const std::vector<uint8_t> bytes = AuditedBytes(raw, path);
    pelmar_tools::Descriptor descriptor;
    return pelmar_tools::Decode(bytes.data(), bytes.size(), descriptor) ? pelmar_tools::Sddl(descriptor)
                                                                        : std::string();
}

}  // namespace pelmar_test
