// Running the image tools and the FAT utilities from the tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <cstring>

#include "support/io_support.h"
#include "tools/image/image_format.h"
#include "tools/platform/drive.h"

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

// A drive for the capture: the geometry given, the volume's bytes followed
// by a tail that the geometry does not cover, and a record of the controls
// and of reads that were not whole sectors of a locked, dismounted drive.
class DriveDouble : public pelmar_tools::DriveDevice {
  public:
    DriveDouble(std::string bytes, uint64_t cylinders, uint32_t sectorSize, LockResult lock)
        : bytes_(std::move(bytes)), cylinders_(cylinders), sectorSize_(sectorSize), lock_(lock) {}
    const std::string &Name() const override { return name_; }
    bool Geometry(uint8_t (&g)[24], std::string &) override {
        events += "geometry ";
        pelmar_tools::PutLE(g, cylinders_, 8);
        pelmar_tools::PutLE(g + 8, 12, 4);  // fixed media
        pelmar_tools::PutLE(g + 12, 2, 4);  // tracks per cylinder
        pelmar_tools::PutLE(g + 16, 4, 4);  // sectors per track
        pelmar_tools::PutLE(g + 20, sectorSize_, 4);
        return true;
    }
    LockResult Lock(std::string &error) override {
        events += "lock ";
        locked_ = lock_ == LockResult::Locked;
        if (!locked_) error = "Access is denied";
        return lock_;
    }
    bool Dismount(std::string &) override { return events += "dismount ", dismounted_ = locked_, true; }
    void Unlock() override { events += "unlock ", locked_ = dismounted_ = false; }
    bool ReadSectors(uint64_t offset, uint8_t *out, size_t length, std::string &error) override {
        ++reads;
        strayReads += !locked_ || !dismounted_ || offset % sectorSize_ || length % sectorSize_;
        if (offset > bytes_.size() || length > bytes_.size() - offset) return error = "beyond the end", false;
        std::memcpy(out, bytes_.data() + offset, length);
        return true;
    }
    std::string events;
    int reads = 0, strayReads = 0;

  private:
    std::string name_ = "T:", bytes_;
    uint64_t cylinders_;
    uint32_t sectorSize_;
    LockResult lock_;
    bool locked_ = false, dismounted_ = false;
};

}  // namespace pelmar_test
