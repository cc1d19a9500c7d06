// Running the image tools and the FAT utilities from the tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/io_support.h"

namespace pelmar_test {

struct ToolResult {
    int exitCode = -1;
    std::string output;  // standard output and standard error together
};

inline std::string Quote(const std::string &word) {
    std::string q = "'";
    for (char c : word) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command line with the output collected in `scratch`.
inline ToolResult RunCommand(const std::string &commandLine, const fs::path &scratch) {
    fs::path out = scratch / "command-output.txt";
    std::string full = commandLine + " >" + Quote(out.string()) + " 2>&1";
    int status = std::system(full.c_str());
    ToolResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.output = ReadHostFile(out);
    fs::remove(out);
    return result;
}

inline ToolResult MkImage(const std::string &arguments, const fs::path &scratch) {
    return RunCommand(Quote(PELMAR_MKIMAGE) + " " + arguments, scratch);
}
inline ToolResult Prepare(const std::string &arguments, const fs::path &scratch) {
    return RunCommand(Quote(PELMAR_PREPARE) + " " + arguments, scratch);
}
inline ToolResult InspectImage(const std::string &arguments, const fs::path &scratch) {
    return RunCommand(Quote(PELMAR_IMAGE) + " " + arguments, scratch);
}

// A FAT utility by name, from the path or the system folders; empty when
// it is not installed.
inline std::string FindUtility(const std::string &name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        fs::path candidate = fs::path(path.substr(start, end - start)) / name;
        if (end > start && fs::exists(candidate)) return candidate.string();
        start = end + 1;
    }
    return {};
}

}  // namespace pelmar_test
