// The Session Manager's list of boot-time programs (BootExecute, a
// REG_MULTI_SZ value) as pelmar-install edits it: Pelmar's line goes in after
// the disk check, and out again, and every other line keeps its place and
// its exact code units. The edits work on the value's code units as stored,
// so that taking Pelmar's line out of a value gives back the value it was put
// into, byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pelmar_tools {

// A value's code units (its bytes read as little-endian UTF-16).
using MultiString = std::u16string;

// The lines of a value, in order: every string before the empty one that
// ends the list (or before the end of the data).
std::vector<std::u16string> MultiStringLines(const MultiString &value);

// Whether a line starts Pelmar: its program (the first word, or the second
// after "autocheck") is "pelmar" or "pelmar.exe", in any letter case, with or
// without a folder before it (the Session Manager looks a bare name up in
// System32).
bool IsPelmarLine(const std::u16string &line);

// `value` without any Pelmar line.
MultiString WithoutPelmar(const MultiString &value);

// `value` with `line` as its only Pelmar line, straight after the last disk
// check line (first word "autocheck"), or first when there is none.
MultiString WithPelmar(const MultiString &value, const std::u16string &line);

}  // namespace pelmar_tools
