// The Memory Management's list of paging files (PagingFiles, a REG_MULTI_SZ
// value) as pelmar-install edits it for a paging file on the scratch drive:
// plain text work on the value's code units, so that the tools' tests check
// it over a table.
#pragma once

#include <cstdint>
#include <string>

#include "tools/pelmar-install/install_boot_execute.h"

namespace pelmar_tools {

// PagingFiles with `line` as its last line, once; and without it. Only that
// very line (in any letter case) is taken out: another line, even one for
// the same file, is someone else's setting and stays.
MultiString WithPagingLine(const MultiString &value, const std::u16string &line);
MultiString WithoutPagingLine(const MultiString &value, const std::u16string &line);

// Empty, or why --pagefile may not put a paging file on drive `letter`:
// `others` (PagingFiles less the lines install's records show as its own)
// already has a line for a file on that drive, which the paging file on
// Pelmar's drive would take over.
std::string ForeignPagingLineProblem(const MultiString &others, char16_t letter);

// "256-1024": a paging file of 256 to 1024 MiB; false for anything else.
bool ParsePagingSizes(const std::string &text, uint64_t &least, uint64_t &most);

}  // namespace pelmar_tools
