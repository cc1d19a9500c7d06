// The descriptors pelmar-prepare's NTFS volumes must carry, in SDDL form as
// Windows gives them, and the tests' own reading of them from the bytes
// libntfs-3g and ntfssecaudit give.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>


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

// The SDDL form of a self-relative security descriptor, decoded here from
// its bytes by the published layout (revision, control, the offsets of
// owner, group and DACL; SIDs; access-allowed entries), sharing nothing with
// the encoder pelmar-prepare uses; empty for anything malformed or holding
// other entries.
std::string DescriptorSddl(const std::vector<uint8_t> &bytes);

// The accounts other than SYSTEM and Administrators that an entry for the
// object itself lets write its data or attributes, delete it or change its
// descriptor (SDDL's aliases where it has one), read from the descriptor's
// bytes; any entry but an access-allowed one counts as well.
std::vector<std::string> OthersWhoMayRedirect(const std::vector<uint8_t> &bytes);

// The SDDL form of the descriptor of `path` ("/A/B") on the raw volume, from
// the bytes libntfs-3g gives; empty and `error` set on failure.
std::string ReadSddl(const std::string &raw, const std::string &path, std::string &error);

// The descriptor of `path` on the raw volume as ntfssecaudit -v dumps it
// (its hex lines are the descriptor's bytes); empty when ntfssecaudit is
// missing or shows none.
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

// The same in SDDL form.
inline std::string AuditedSddl(const std::string &raw, const std::string &path) {
    return DescriptorSddl(AuditedBytes(raw, path));
}

}  // namespace pelmar_test
