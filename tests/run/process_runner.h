// Runs the pelmar executable in a temporary folder and collects what it
// showed: exit code, boot screen (standard output), debugger output, the
// loader's own messages (standard error) and the trace.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pelmar_test {

struct ProcessResult {
    int exitCode = -1;
    std::string screen;
    std::string debugger;
    std::string errors;
    std::vector<std::string> trace;

    size_t CountCalls(const std::string &call) const {
        size_t n = 0;
        for (const auto &line : trace)
            if (line.rfind(call + "#", 0) == 0) ++n;
        return n;
    }
    std::vector<std::string> Calls(const std::string &call) const {
        std::vector<std::string> out;
        for (const auto &line : trace)
            if (line.rfind(call + "#", 0) == 0) out.push_back(line);
        return out;
    }
};

inline std::string ReadWholeFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pelmar-test-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Runs `pelmar <standIn...> --trace T --debug-log D -- <native...>` in
// folder (the current folder is C: unless --root is among the options);
// another copy of the executable where one is given.
inline ProcessResult RunPelmar(const std::filesystem::path &folder, std::vector<std::string> standIn,
                               const std::vector<std::string> &native, const std::string &executable = PELMAR_EXE) {
    auto out = folder / "stdout.txt", err = folder / "stderr.txt", trace = folder / "trace.txt",
         debug = folder / "debug.txt";
    std::vector<std::string> args = {executable, "--trace", trace.string(), "--debug-log", debug.string()};
    args.insert(args.end(), standIn.begin(), standIn.end());
    args.push_back("--");
    args.insert(args.end(), native.begin(), native.end());
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(127);
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ProcessResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.screen = ReadWholeFile(out);
    result.errors = ReadWholeFile(err);
    result.debugger = ReadWholeFile(debug);
    std::istringstream lines(ReadWholeFile(trace));
    for (std::string line; std::getline(lines, line);) result.trace.push_back(line);
    return result;
}

}  // namespace pelmar_test
