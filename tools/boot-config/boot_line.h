// Pelmar's line in the Session Manager's BootExecute, as the installer
// writes it and the installer, its status and the service read it: which
// line is Pelmar's, its arguments as the boot-time run reads them (a last
// dbg, the drive, the container and the image), and the one rule by which a
// path on the line is reached from Windows. Everything here is one reading,
// so that a line the installer writes or removes is the line the service
// checks.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/command_line_rules.h"

namespace pelmar_tools {

// The words after the program when `line` starts Pelmar; nothing otherwise.
// The program is the first word, or the second after "autocheck"; it is
// "pelmar" or "pelmar.exe" in any letter case, with or without a folder
// before it (the Session Manager looks a bare name up in System32). Words
// are split at blanks and tabs. The narrow form takes the line's bytes in
// any ASCII-compatible encoding (UTF-8, an ANSI code page).
std::optional<std::vector<std::u16string>> PelmarArguments(const std::u16string &line);
std::optional<std::vector<std::string>> PelmarArguments(const std::string &line);
bool IsPelmarLine(const std::u16string &line);

// The arguments as Pelmar's run frame reads them: a last "dbg" (any letter
// case) breaks into the debugger and is not an argument; the rest go through
// Pelmar's own command-line rules (app/command_line_rules.cpp).
struct BootArguments {
    std::vector<std::string> words;  // as Pelmar receives them, without dbg
    bool debugBreak = false;
    COMMAND_LINE_CHOICE choice{};    // its paths are below (the pointers are cleared)
    std::optional<std::string> container, image;  // as given; nothing: the default
};
BootArguments ReadBootArguments(std::vector<std::string> words);

// A container or image name (UTF-16, as the administrator gave it): empty,
// or why the boot-time open might reach another file than the one the
// installer checks under that name. Only canonical full paths pass: a drive
// letter, a colon and a backslash, or an NT path; no "." or ".." component,
// no empty component, no forward slash, no component ending in a dot or a
// blank, none of the characters Windows does not take in a name.
std::string PathProblem(const std::u16string &path);

// The drive letter (upper case) of a name of either form ("c:\x",
// "\??\c:\x"), or 0 when it names none.
char16_t PathDrive(const std::u16string &path);

// The name under which Windows reaches the file the boot-time run opens by
// `path` (the run puts "\??\" before a name whose second character is ":"
// and takes any other name as an NT path); nothing, and why, when the run
// might open another file than Windows would under the name: only canonical
// names with a drive letter are taken, never an NT device path.
std::optional<std::u16string> BootPathAsWin32(const std::u16string &path, std::string &why);

}  // namespace pelmar_tools
