// The folders of an NTFS volume (see ntfs_folders.h). A folder's record is
// marked as a directory; its $STANDARD_INFORMATION names its descriptor by
// a security ID, kept in $Secure's $SDS stream (volumes of NTFS 3.0 on, as
// Windows 2000 and later format them); an older record holds its own
// $SECURITY_DESCRIPTOR. Its name and its parent come from its $FILE_NAME,
// the long name where it has a short one as well.
#include "tools/fs/ntfs_folders.h"

#include <map>

#include "tools/fs/ntfs_reader.h"

namespace pelmar_tools {
namespace {

constexpr uint32_t kStandardInformation = 0x10, kFileName = 0x30, kSecurityDescriptor = 0x50;
constexpr uint64_t kRootRecord = 5, kSecureRecord = 9;
constexpr uint8_t kDosNames = 2;

struct Found {
    uint64_t parent = 0;
    std::string name;
    uint32_t securityId = 0;
    std::vector<uint8_t> ownDescriptor;
};

// A resident attribute's value; empty when it is not resident or does not
// fit its attribute.
std::vector<uint8_t> ResidentValue(const uint8_t *a, uint64_t length) {
    if (a[8]) return {};
    const uint64_t size = ReadLE(a + 16, 4), at = ReadLE(a + 20, 2);
    if (at + size > length) return {};
    return std::vector<uint8_t>(a + at, a + at + size);
}

// A file name in UTF-16 as UTF-8.
std::string Utf8(const uint8_t *name, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = static_cast<uint32_t>(ReadLE(name + 2 * i, 2));
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
            const uint32_t low = static_cast<uint32_t>(ReadLE(name + 2 * i + 2, 2));
            if (low >= 0xDC00 && low < 0xE000) c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00), ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6), out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12), out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18), out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F)), out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The folder's facts from its base record's attributes.
bool ReadFolder(NtfsReader &reader, const std::vector<uint8_t> &record, uint64_t number, Found &found) {
    bool named = false;
    return reader.ForEachAttribute(record, number, [&](const uint8_t *a, uint64_t length) {
        const uint32_t type = static_cast<uint32_t>(ReadLE(a, 4));
        const std::vector<uint8_t> v = ResidentValue(a, length);
        if (type == kStandardInformation && v.size() >= 56) {
            found.securityId = static_cast<uint32_t>(ReadLE(v.data() + 52, 4));
        } else if (type == kSecurityDescriptor) {
            found.ownDescriptor = v;
        } else if (type == kFileName && v.size() >= 66 && 66 + 2 * uint64_t{v[64]} <= v.size() &&
                   (!named || v[65] != kDosNames)) {
            found.parent = ReadLE(v.data(), 6);
            found.name = Utf8(v.data() + 66, v[64]);
            named = v[65] != kDosNames;
        }
        return true;
    });
}

// $Secure's $SDS: each descriptor behind a 20-byte header (hash, ID, its
// own offset, length) at a multiple of 16 bytes; the stream mirrors every
// 256 KiB block in the next, whose copies name the original's offset.
bool ReadDescriptors(NtfsReader &reader, std::map<uint32_t, std::vector<uint8_t>> &descriptors) {
    Value sds;
    if (!reader.ReadValue(kSecureRecord, 0x80, sds, u"$SDS")) return false;
    std::vector<uint8_t> bytes(sds.dataSize);
    if (!reader.ReadBytes(sds, "$Secure:$SDS", 0, bytes.data(), bytes.size())) return false;
    for (uint64_t at = 0; at + 20 <= bytes.size();) {
        const uint8_t *e = bytes.data() + at;
        const uint64_t length = ReadLE(e + 16, 4);
        if (ReadLE(e + 8, 8) == at && length > 20 && at + length <= bytes.size()) {
            descriptors.emplace(static_cast<uint32_t>(ReadLE(e + 4, 4)), std::vector<uint8_t>(e + 20, e + length));
            at += (length + 15) / 16 * 16;
        } else {
            at += 16;
        }
    }
    return true;
}

}  // namespace

bool ReadNtfsFolders(const VolumeSource &source, const uint8_t *boot, std::vector<NtfsFolder> &folders,
                     std::string &error) {
    NtfsGeometry g;
    if (std::string why = ReadNtfsGeometry(source, boot, g); !why.empty()) {
        error = "inconsistent NTFS file system: " + why;
        return false;
    }
    NtfsReader reader(source, g.clusterBytes, g.clusters, g.recordBytes);
    std::map<uint32_t, std::vector<uint8_t>> descriptors;
    std::map<uint64_t, Found> found;
    bool ok = reader.LoadMft(g.mftLcn) && ReadDescriptors(reader, descriptors);
    for (uint64_t number = 0; ok && number < reader.RecordCount(); ++number) {
        std::vector<uint8_t> record;
        if (!reader.LoadRecord(number, record)) {
            // Records not in use, and those never written, hold nothing.
            if (reader.error.find("is not in use") == std::string::npos &&
                reader.error.find("is not a file record") == std::string::npos)
                ok = false;
            continue;
        }
        // Folders only, each in its base record.
        if (!(ReadLE(record.data() + 22, 2) & 2) || ReadLE(record.data() + 32, 8) != 0) continue;
        ok = ReadFolder(reader, record, number, found[number]);
    }
    if (!ok) {
        error = "cannot read the folders of the NTFS file system: " + reader.error;
        return false;
    }
    for (const auto &[number, folder] : found) {
        // The path through the parents; a chain that does not reach the
        // root within the records there are is named by the record.
        std::string path;
        uint64_t at = number;
        for (size_t depth = 0; at != kRootRecord && depth <= found.size(); ++depth) {
            auto it = found.find(at);
            if (it == found.end()) break;
            path = "\\" + it->second.name + path;
            at = it->second.parent;
        }
        if (at != kRootRecord) path = "MFT record " + std::to_string(number);
        auto d = descriptors.find(folder.securityId);
        folders.push_back({path.empty() ? "\\" : path,
                           !folder.ownDescriptor.empty() ? folder.ownDescriptor
                           : d != descriptors.end()      ? d->second
                                                         : std::vector<uint8_t>{}});
    }
    return true;
}

}  // namespace pelmar_tools
