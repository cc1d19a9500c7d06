// What pelmar-prepare puts on a fresh volume, step by step in the order of
// its command line.
#pragma once

#include <string>
#include <vector>

namespace pelmar_tools {

struct ContentStep {
    std::string path;       // "/A/B", folders separated by '/'
    std::string source;     // host file to copy; empty: make the folder
    bool replaces = false;  // a file of that name is there already
    bool temporary = false; // a folder for temporary files (see ntfs_security.h)
    std::string owner;      // a user's own folder for temporary files: the user's SID
};

// The root gets the descriptor Windows' format gives, what is made the one
// Windows would have it inherit, a temporary-files folder its own.
bool PutOnNtfs(const std::string &raw, const std::vector<ContentStep> &steps, std::string &error);

}  // namespace pelmar_tools
