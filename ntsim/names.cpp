// Names in the machine's object namespace: the drives' prefixes, the
// components of a file's path as the native file systems accept them, and
// the registered device names; case folded as the object manager folds it
// (see files.cpp for the rules).
#include "ntsim/names.h"

#include <cctype>

#include "ntsim/devices.h"
#include "ntsim/strings.h"

namespace ntsim {

char16_t FoldCase(char16_t c) {
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF) return 0x178;
    return c;
}

bool EqualFolded(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

bool StartsWithFolded(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && EqualFolded(text.substr(0, prefix.size()), prefix);
}

namespace {

constexpr size_t kMaxComponentChars = 255;

NTSTATUS CheckComponent(std::u16string_view component) {
    if (component.empty() || component == u"." || component == u"..") return STATUS_OBJECT_NAME_INVALID;
    if (component.size() > kMaxComponentChars) return STATUS_OBJECT_NAME_INVALID;
    for (char16_t c : component) {
        if (c < 0x20) return STATUS_OBJECT_NAME_INVALID;
        switch (c) {
        case u'"': case u'*': case u'/': case u':': case u'<': case u'>': case u'?': case u'\\': case u'|':
            return STATUS_OBJECT_NAME_INVALID;
        default:
            break;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

char UpperLetter(char letter) { return static_cast<char>(std::toupper(static_cast<unsigned char>(letter))); }

NTSTATUS ParseName(std::u16string_view name, ParsedName &parsed) {
    static const std::u16string_view kDosPrefixes[] = {u"\\??\\", u"\\DosDevices\\", u"\\GLOBAL??\\"};
    for (std::u16string_view prefix : kDosPrefixes) {
        if (!StartsWithFolded(name, prefix)) continue;
        std::u16string_view rest = name.substr(prefix.size());
        bool letter = rest.size() >= 2 && rest[1] == u':' &&
                      ((rest[0] >= u'a' && rest[0] <= u'z') || (rest[0] >= u'A' && rest[0] <= u'Z'));
        if (!letter) return rest.find(u'\\') == rest.npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        parsed.letter = UpperLetter(static_cast<char>(rest[0]));
        if (rest.size() == 2) {
            parsed.kind = ParsedName::Kind::Volume;
            return STATUS_SUCCESS;
        }
        if (rest[2] != u'\\') return STATUS_OBJECT_NAME_NOT_FOUND;
        parsed.kind = ParsedName::Kind::DriveFile;
        std::u16string_view path = rest.substr(3);
        if (path.empty()) return STATUS_SUCCESS;  // the root directory
        if (path.back() == u'\\') {
            parsed.trailingBackslash = true;
            path.remove_suffix(1);
        }
        size_t start = 0;
        for (;;) {
            size_t end = path.find(u'\\', start);
            std::u16string_view component = path.substr(start, end == path.npos ? path.npos : end - start);
            if (NTSTATUS status = CheckComponent(component)) return status;
            parsed.components.emplace_back(component);
            if (end == path.npos) break;
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    if (auto device = RegisteredDeviceName(name)) {
        parsed.kind = ParsedName::Kind::NamedDevice;
        parsed.deviceName = *device;
        return STATUS_SUCCESS;
    }
    if (name == u"\\") return STATUS_OBJECT_TYPE_MISMATCH;  // the root of the namespace is no file
    if (StartsWithFolded(name, u"\\Device\\")) {
        std::u16string_view rest = name.substr(8);
        return rest.find(u'\\') == rest.npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return name.find(u'\\', 1) == name.npos ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

// Finds a component in a host folder: the exact name, or (case-insensitive
// lookups) the first name in byte order that equals it without regard to
// case.
std::optional<std::string> FindEntry(const std::filesystem::path &folder, std::u16string_view component,
                                     bool caseInsensitive) {
    std::string exact = Utf16ToUtf8(component);
    std::error_code error;
    auto status = std::filesystem::symlink_status(folder / exact, error);
    if (!error && std::filesystem::exists(status)) return exact;
    if (!caseInsensitive) return std::nullopt;
    std::optional<std::string> best;
    for (auto it = std::filesystem::directory_iterator(folder, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        std::string host = it->path().filename().string();
        if (EqualFolded(Utf8ToUtf16(host), component) && (!best || host < *best)) best = host;
    }
    return best;
}

}  // namespace ntsim
