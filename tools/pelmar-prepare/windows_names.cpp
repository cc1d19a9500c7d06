// Windows' rules for names and labels, for pelmar-prepare. The upcase
// table is libntfs-3g's, the one mkntfs writes to the volumes it makes, so
// the checks made before the volume exists agree with the volume's own.
#include "tools/pelmar-prepare/windows_names.h"

#include <cstring>

#include "tools/pelmar-prepare/libntfs3g.h"

extern "C" {
#include <ntfs-3g/endians.h>
}

namespace pelmar_tools {
namespace {

// The code points of UTF-8 text, refusing overlong forms, surrogates and
// values beyond U+10FFFF; false when the text is not UTF-8.
bool ToCodePoints(const std::string &text, std::u32string &points) {
    points.clear();
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                            : lead >= 0xF0 && lead < 0xF5   ? 4
                                                                            : 0;
        if (length == 0 || i + length > text.size()) return false;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
        points.push_back(c);
        i += length;
    }
    return true;
}

size_t Utf16Length(const std::u32string &points) {
    size_t units = 0;
    for (char32_t c : points) units += c >= 0x10000 ? 2 : 1;
    return units;
}

std::string Utf8Of(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// The devices Windows opens instead of a file of that name, whatever the
// extension: the part before the first period, without trailing spaces.
// The superscript digits count as digits there.
bool IsReservedName(const std::u32string &name) {
    std::u32string base = name.substr(0, name.find(U'.'));
    while (!base.empty() && base.back() == U' ') base.pop_back();
    for (char32_t &c : base)
        if (c >= U'a' && c <= U'z') c = c - U'a' + U'A';
    if (base == U"CON" || base == U"PRN" || base == U"AUX" || base == U"NUL") return true;
    if (base.size() != 4 || (base.substr(0, 3) != U"COM" && base.substr(0, 3) != U"LPT")) return false;
    const char32_t digit = base[3];
    return (digit >= U'0' && digit <= U'9') || digit == U'\u00B9' || digit == U'\u00B2' || digit == U'\u00B3';
}

}  // namespace

bool ToUtf16(const std::string &text, std::u16string &units) {
    std::u32string points;
    if (!ToCodePoints(text, points)) return false;
    units.clear();
    for (char32_t c : points) {
        if (c >= 0x10000) {
            units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(c));
        }
    }
    return true;
}

const std::vector<uint16_t> &UpcaseTable() {
    static const std::vector<uint16_t> table = [] {
        std::vector<ntfschar> built(65536);
        ntfs_upcase_table_build(built.data(), static_cast<u32>(built.size() * sizeof(ntfschar)));
        std::vector<uint16_t> units(built.size());
        for (size_t i = 0; i < built.size(); ++i) units[i] = le16_to_cpu(built[i]);
        return units;
    }();
    return table;
}

std::u16string NameKey(const std::string &text) {
    std::u16string units;
    if (!ToUtf16(text, units)) return {};
    const std::vector<uint16_t> &upcase = UpcaseTable();
    for (char16_t &u : units) u = static_cast<char16_t>(upcase[u]);
    return units;
}

std::string NameRefusal(const std::string &name) {
    std::u32string points;
    if (!ToCodePoints(name, points)) return "is not UTF-8 text";
    if (name == "." || name == "..") return "is not a name but a step in a path";
    for (char32_t c : points) {
        if (c < 0x20) return "holds a control character";
        if (c < 0x80 && std::strchr("<>:\"|?*", static_cast<int>(c)))
            return "holds the character " + Utf8Of(c) + ", which Windows does not allow in names";
    }
    if (const size_t units = Utf16Length(points); units > 255)
        return "is " + std::to_string(units) + " characters (UTF-16 units) long; a name holds at most 255";
    if (points.empty()) return "is empty";
    if (points.back() == U' ' || points.back() == U'.')
        return "ends in a space or a period, which Windows drops from names";
    if (IsReservedName(points))
        return "is a device name Windows reserves (CON, PRN, AUX, NUL, and COM or LPT with a digit, ¹, ² or ³; "
               "with or without an extension)";
    return {};
}

std::string LabelRefusal(const std::string &label, bool ntfs) {
    std::u32string points;
    if (!ToCodePoints(label, points)) return "is not UTF-8 text";
    for (char32_t c : points) {
        if (c < 0x20 || c == 0x7F) return "holds a control character";
        if (ntfs) continue;
        // FAT keeps its label in the OEM code page of the Windows that reads
        // it, unknown here; only ASCII reads back the same on every machine.
        if (c > 0x7F)
            return "holds " + Utf8Of(c) +
                   ", a character beyond ASCII: a FAT label is read in the code page of the machine "
                   "that reads it, so it may hold ASCII letters, digits and signs only";
        if (std::strchr("*?.,;:/\\|+=<>[]\"", static_cast<int>(c)))
            return "holds the character " + Utf8Of(c) + ", which a FAT label may not hold";
    }
    const size_t units = Utf16Length(points), most = ntfs ? 32 : 11;
    if (units > most)
        return "has " + std::to_string(units) + " characters" + (ntfs ? " (UTF-16 units)" : "") + "; " +
               (ntfs ? "an NTFS" : "a FAT") + " label holds at most " + std::to_string(most);
    return {};
}

std::string PathSpellings::Spell(const std::string &path) {
    std::string spelled;
    for (size_t from = 0; from < path.size();) {
        size_t end = path.find('/', from + 1);
        if (end == std::string::npos) end = path.size();
        auto known = spelled_.emplace(NameKey(path.substr(0, end)), spelled + path.substr(from, end - from));
        spelled = known.first->second;
        from = end;
    }
    return spelled;
}

}  // namespace pelmar_tools
