// The Memory Management's list of paging files (PagingFiles, a REG_MULTI_SZ
// value) as pelmar-install edits it for a paging file on the scratch drive:
// plain text work on the value's code units, so that the tools' tests check
// it over a table.
#pragma once

#include <cstdint>
#include <string>

#include "tools/pelmar-install/install_boot_execute.h"

namespace pelmar_tools {

// PagingFiles with `line` as its last line, once (a line naming the same
// file in any letter case is replaced); and without it.
MultiString WithPagingLine(const MultiString &value, const std::u16string &line);
MultiString WithoutPagingLine(const MultiString &value, const std::u16string &line);

// "256-1024": a paging file of 256 to 1024 MiB; false for anything else.
bool ParsePagingSizes(const std::string &text, uint64_t &least, uint64_t &most);

}  // namespace pelmar_tools
