// The parts of pelmar-install that its sections share: the registry
// (install_registry.cpp), the files Pelmar trusts and pelmar.exe's place
// (install_files.cpp) and Pelmar's boot line with its checks
// (install_line.cpp), for the commands in install.cpp. Who is an
// administrator is in install_rights_win32.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/command_line_rules.h"
#include "tools/pelmar-install/install_boot_execute.h"

namespace pelmar_tools {

// The TrueCrypt driver's service, as the driver's own installer names it.
const wchar_t kDriverService[] = L"SYSTEM\\CurrentControlSet\\Services\\truecrypt";
const char kDriverServiceName[] = "truecrypt";

inline void Say(const std::string &text) { std::fputs((text + "\n").c_str(), stdout); }

inline std::string Number(uint64_t n) { return std::to_string(n); }

// --- The registry (install_registry.cpp) -----------------------------------

struct RegistryValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

// The value, or nothing and `error` when it cannot be read (absence is not
// an error).
std::optional<RegistryValue> ReadValue(HKEY key, const wchar_t *name, std::string &error);
// Writes the value in one call, or deletes it when it is not present.
LONG WriteValue(HKEY key, const wchar_t *name, const RegistryValue &value);
MultiString AsMultiString(const std::vector<BYTE> &data);
std::vector<BYTE> AsBytes(const MultiString &text);
std::string Utf8(const std::u16string &text);
// BootExecute as a list of lines; false and why when it is not one.
bool BootExecuteText(const RegistryValue &value, MultiString &text, std::string &why);
// The driver service's start type; nothing, and `error` says why.
std::optional<DWORD> DriverStart(std::string &error);
std::string StartMeaning(DWORD start);

// --- Files (install_files.cpp) ---------------------------------------------

std::optional<uint64_t> FileSize(const std::wstring &path);
std::wstring SystemFolder();
std::wstring InstalledProgram();  // pelmar.exe in System32
std::wstring ThisProgram();
std::wstring ProgramBeside();  // the pelmar.exe that lies beside this program
// The name under which this program reaches the file the boot-time run
// opens by `path`; nothing, and why, when it might open another file.
std::optional<std::wstring> PathAsWin32(const std::wstring &path, std::string &why);

// --- The line (install_line.cpp) -------------------------------------------

struct BootLine {
    std::u16string line;  // "pelmar ARGUMENTS"
    COMMAND_LINE_CHOICE choice;
    std::wstring container, image;  // as the boot-time run converts them
    bool debugBreak = false;
    std::vector<std::string> words;  // the arguments as Pelmar receives them
    bool containerIsMine = false;    // install's --container-is-mine
};

// The arguments read as the boot-time run will read them; false and why
// when one would not reach Pelmar as one word.
bool ReadLine(int count, wchar_t **words, BootLine &out, std::string &why);
void DescribeLine(const BootLine &line);
// Everything the boot-time run needs of the files the line names; empty,
// or what is missing or wrong.
std::string FileProblem(const BootLine &line, bool installed);

}  // namespace pelmar_tools
