// Whether a file is the pelmar.exe, or the pelmar-service.exe, built with
// this installer: the Authenticode digests embedded at build time (so a
// signed copy passes too). The service runs as LocalSystem at every boot: it
// is trusted as much as the boot-time program.
#pragma once

#include <string>

namespace pelmar_tools {

// Empty when `path` is the pelmar.exe built with this installer; otherwise
// why not.
std::string ProgramProblem(const std::wstring &path);
std::string ServiceProgramProblem(const std::wstring &path);

}  // namespace pelmar_tools
