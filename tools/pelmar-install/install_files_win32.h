// pelmar-install's files: the sizes of the files Pelmar trusts, pelmar.exe's
// place beside this program and in System32, and the names under which this
// program reaches what the boot opens.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelmar_tools {

// A program's new copy in System32 before it takes its name, and its earlier
// copy moved aside (a running program can be moved, not replaced).
inline constexpr wchar_t kNewCopySuffix[] = L".pelmar-install-new";
inline constexpr wchar_t kOldCopySuffix[] = L".pelmar-install-old";

std::optional<uint64_t> FileSize(const std::wstring &path);
std::wstring SystemFolder();
std::wstring InstalledProgram();  // pelmar.exe in System32
std::wstring ThisProgram();
std::wstring ProgramBeside();  // the pelmar.exe that lies beside this program
// The file a program of Pelmar's keeps in System32 (empty when the system
// folder cannot be found), and the file of that name beside this program.
std::wstring SystemFile(const wchar_t *name);
std::wstring Beside(const wchar_t *name);
// The name under which this program reaches the file the boot-time run
// opens by `path`, by the boot line's one rule (BootPathAsWin32); nothing,
// and why, when it might open another file.
std::optional<std::wstring> PathAsWin32(const std::wstring &path, std::string &why);

}  // namespace pelmar_tools
