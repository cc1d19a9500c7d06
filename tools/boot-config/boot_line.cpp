// Pelmar's line and its paths (see boot_line.h).
#include "tools/boot-config/boot_line.h"

#include <algorithm>
#include <cstring>

#include "tools/basics/ascii_case.h"

namespace pelmar_tools {
namespace {

// The longest NT path the boot-time run takes (its path buffer holds 264
// code units; the driver refuses a container name of 260 or more).
constexpr size_t kLongestNtPath = 259;

template <class Text>
std::vector<Text> Words(const Text &line) {
    using C = typename Text::value_type;
    const C blanks[] = {C(' '), C('\t'), C(0)};
    std::vector<Text> words;
    for (size_t at = 0; (at = line.find_first_not_of(blanks, at)) != Text::npos;) {
        const size_t end = line.find_first_of(blanks, at);
        words.push_back(line.substr(at, end == Text::npos ? Text::npos : end - at));
        at = end;
    }
    return words;
}

template <class Text>
bool Is(const Text &word, const char *ascii) {
    const Text lower = AsciiLower(word);
    return lower.size() == std::strlen(ascii) && std::equal(lower.begin(), lower.end(), ascii);
}

template <class Text>
std::optional<std::vector<Text>> ArgumentsOf(const Text &line) {
    std::vector<Text> words = Words(line);
    size_t program = !words.empty() && Is(words[0], "autocheck") ? 1 : 0;
    if (program >= words.size()) return std::nullopt;
    const Text &word = words[program];
    const size_t slash = word.find_last_of(typename Text::value_type('\\'));
    const Text name = slash == Text::npos ? word : word.substr(slash + 1);
    if (!Is(name, "pelmar") && !Is(name, "pelmar.exe")) return std::nullopt;
    return std::vector<Text>(words.begin() + static_cast<std::ptrdiff_t>(program) + 1, words.end());
}

bool IsNameCharacter(char16_t c) {
    return c >= 0x20 && !std::strchr("<>:\"/|?*", c < 0x80 ? static_cast<char>(c) : 'x');
}

}  // namespace

std::optional<std::vector<std::u16string>> PelmarArguments(const std::u16string &line) { return ArgumentsOf(line); }
std::optional<std::vector<std::string>> PelmarArguments(const std::string &line) { return ArgumentsOf(line); }
bool IsPelmarLine(const std::u16string &line) { return PelmarArguments(line).has_value(); }

BootArguments ReadBootArguments(std::vector<std::string> words) {
    BootArguments out;
    if (!words.empty() && Is(words.back(), "dbg")) {
        out.debugBreak = true;
        words.pop_back();
    }
    std::string program = "pelmar";
    std::vector<char *> argv{program.data()};
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    out.choice = CommandLineDefaults();
    ReadCommandLine(static_cast<int32_t>(argv.size() - 1), argv.data(), &out.choice);
    if (out.choice.ContainerPath) out.container = out.choice.ContainerPath;
    if (out.choice.ImagePath) out.image = out.choice.ImagePath;
    out.choice.ContainerPath = out.choice.ImagePath = nullptr;
    out.words = std::move(words);
    return out;
}

std::string PathProblem(const std::u16string &path) {
    auto letter = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
    size_t rest = 0;
    if (path.size() >= 3 && letter(path[0]) && path[1] == u':' && path[2] == u'\\') {
        rest = 3;
    } else if (path.rfind(u"\\??\\", 0) == 0) {
        if (path.size() < 7 || !letter(path[4]) || path[5] != u':' || path[6] != u'\\')
            return "it is not a full path (after \\??\\ a drive letter, a colon and a backslash)";
        rest = 7;
    } else if (path.size() >= 2 && path[0] == u'\\' && path[1] != u'\\') {
        // Any other NT name (\DosDevices\X:, \GLOBAL??\X:, \Device\...,
        // \??\UNC\...) reaches the file through objects the installer does
        // not follow as the boot-time open does.
        const size_t colon = path.find(u':');
        const bool drive = colon != std::u16string::npos && colon >= 2 && letter(path[colon - 1]) &&
                           path[colon - 2] == u'\\' && colon + 1 < path.size() && path[colon + 1] == u'\\';
        std::string win32 = "X:\\FOLDER\\NAME";
        if (drive) {
            win32.clear();
            for (char16_t c : path.substr(colon - 1)) win32 += c < 0x80 ? static_cast<char>(c) : '?';
        }
        return "it is an NT path, which pelmar-install does not take: give the file as " + win32 +
               " (or \\??\\ and that)";
    } else {
        return "it is not a full path (a drive letter, a colon and a backslash)";
    }
    if (path.find(u'/') != std::u16string::npos) {
        return "it holds a forward slash, which the boot-time open takes as part of a name";
    }
    size_t at = rest;
    while (true) {
        size_t end = path.find(u'\\', at);
        const std::u16string part = path.substr(at, end == std::u16string::npos ? std::u16string::npos : end - at);
        if (part.empty()) return "it has an empty component (two backslashes, or one at the end)";
        if (part == u"." || part == u"..") {
            return "it has a \".\" or \"..\" component, which the boot-time open does not resolve";
        }
        if (part.back() == u'.' || part.back() == u' ') {
            return "a component ends in a dot or a blank, which Windows strips but the boot-time open keeps";
        }
        for (char16_t c : part) {
            if (!IsNameCharacter(c)) return "it holds a character that is not allowed in a file name (< > : \" | ? *)";
        }
        if (end == std::u16string::npos) return {};
        at = end + 1;
    }
}

char16_t PathDrive(const std::u16string &path) {
    const size_t at = path.rfind(u"\\??\\", 0) == 0 ? 4 : 0;
    if (path.size() < at + 2 || path[at + 1] != u':') return 0;
    const char16_t c = path[at];
    if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - u'a' + u'A');
    return c >= u'A' && c <= u'Z' ? c : 0;
}

std::optional<std::u16string> BootPathAsWin32(const std::u16string &path, std::string &why) {
    const bool dos = path.size() >= 2 && path[1] == u':';
    const size_t ntLength = path.size() + (dos ? 4 : 0);
    if (ntLength > kLongestNtPath) {
        why = "its name is longer than Pelmar takes (" + std::to_string(kLongestNtPath) + " characters as an NT path)";
        return std::nullopt;
    }
    why = PathProblem(path);
    if (why.empty() && !PathDrive(path)) why = "it names no drive letter (give the file as X:\\FOLDER\\NAME)";
    if (!why.empty()) return std::nullopt;
    // The boot's "\??\X:\..." and the plain "X:\..." reach one file.
    return dos ? path : path.substr(4);
}

}  // namespace pelmar_tools
