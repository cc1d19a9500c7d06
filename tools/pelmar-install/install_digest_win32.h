// Whether a file is the pelmar.exe built with this installer: the
// Authenticode digest embedded at build time (so a signed copy passes too).
#pragma once

#include <string>

namespace pelmar_tools {

// Empty when `path` is the pelmar.exe built with this installer; otherwise
// why not.
std::string ProgramProblem(const std::wstring &path);

}  // namespace pelmar_tools
