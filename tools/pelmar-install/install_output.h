// What pelmar-install tells: a line on standard output for what it found and
// did, a line on standard error for what it refused or could not do.
#pragma once

#include <cstdio>
#include <string>

namespace pelmar_tools {

inline void Say(const std::string &text) { std::fputs((text + "\n").c_str(), stdout); }
inline void Complain(const std::string &text) { std::fputs(("pelmar-install: " + text + "\n").c_str(), stderr); }

}  // namespace pelmar_tools
