// Pelmar's boot line as pelmar-install makes and describes it: the
// administrator's arguments as the boot-time run will receive and read
// them (through the boot line's one reading), and the checks of the files
// the line names.
#pragma once

#include <string>
#include <vector>

#include "app/command_line_rules.h"

namespace pelmar_tools {

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
