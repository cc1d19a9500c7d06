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
// Made by an administrator (owner BA) in the root or in such a folder: the
// creator's entry is split from the CREATOR OWNER entry it came from.
inline const std::string kFolderSddl =
    "O:BAG:SYD:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;ID;FA;;;BA)(A;OICIIOID;GA;;;CO)"
    "(A;OICIID;0x1200a9;;;BU)(A;CIID;LC;;;BU)(A;CIID;DC;;;BU)";
inline const std::string kFileSddl =
    "O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;0x1200a9;;;BU)";
// The folder for temporary files, protected from the root's entries, and a
// file in it: nobody but its creator, administrators and the system.
inline const std::string kTempSddl =
    "O:BAG:SYD:PAI(A;CI;0x100026;;;BU)(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;FA;;;SY)(A;OICIIO;GA;;;SY)"
    "(A;OICIIO;GA;;;CO)";
inline const std::string kTempFileSddl = "O:BAG:SYD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;BA)";

// The SDDL form of a self-relative security descriptor, decoded here from
// its bytes by the published layout (revision, control, the offsets of
// owner, group and DACL; SIDs; access-allowed entries), sharing nothing with
// the encoder pelmar-prepare uses; empty for anything malformed or holding
// other entries.
std::string DescriptorSddl(const std::vector<uint8_t> &bytes);

// The SDDL form of the descriptor of `path` ("/A/B") on the raw volume, from
// the bytes libntfs-3g gives; empty and `error` set on failure.
std::string ReadSddl(const std::string &raw, const std::string &path, std::string &error);

// The same from ntfssecaudit -v's dump (its hex lines are the descriptor's
// bytes); empty when ntfssecaudit is missing or shows none.
inline std::string AuditedSddl(const std::string &raw, const std::string &path) {
    std::string command = "ntfssecaudit -v '" + raw + "' '" + path + "' 2>/dev/null", text;
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
    return DescriptorSddl(bytes);
}

}  // namespace pelmar_test
