// --version for every Pelmar tool, host or Windows: the program's name and
// the release's version (from the VERSION file, through the generated
// pelmar_version.h), and nothing else is done.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "pelmar_version.h"

namespace pelmar_tools {

// The words that ask a tool for its usage text: --help and -h, and on
// Windows /? as well.
inline bool IsHelpWord(const std::string &word) {
#ifdef _WIN32
    if (word == "/?") return true;
#endif
    return word == "--help" || word == "-h";
}

// True (the version printed) when the first argument is --version.
inline bool PrintedVersion(int argc, char **argv, const char *program) {
    if (argc < 2 || std::strcmp(argv[1], "--version") != 0) return false;
    std::printf("%s %s\n", program, PELMAR_VERSION);
    return true;
}

}  // namespace pelmar_tools
