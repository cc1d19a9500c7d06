// The Session Manager's list of boot-time programs (BootExecute, a
// REG_MULTI_SZ value) as pelmar-install edits it: Pelmar's line goes in after
// the disk check, and out again, and every other line keeps its place and
// its exact code units. The edits work on the value's code units as stored,
// so that taking Pelmar's line out of a value gives back the value it was put
// into, byte for byte.
#pragma once

#include <string>

#include "tools/boot-config/boot_line.h"
#include "tools/boot-config/registry_value.h"

namespace pelmar_tools {

// Which line is Pelmar's is the boot line's one reading (IsPelmarLine).

// `value` without any Pelmar line.
MultiString WithoutPelmar(const MultiString &value);

// `value` with `line` as its only Pelmar line, straight after the last disk
// check line (first word "autocheck"), or first when there is none.
MultiString WithPelmar(const MultiString &value, const std::u16string &line);

// BootExecute as a list of lines (no value: none); false and why when it is
// not one.
bool BootExecuteText(const RegistryValue &value, MultiString &text, std::string &why);

}  // namespace pelmar_tools
