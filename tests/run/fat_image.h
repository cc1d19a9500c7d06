// Preparing a machine's drive for whole runs: a fresh FAT file system with
// one file on it, and the image file pelmar-mkimage makes of it. The image
// writes every sector, so that the restored drive equals the file system
// byte for byte, free clusters included.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace pelmar_test {

inline int Shell(const std::string &command) { return std::system(command.c_str()); }

// Writes a FAT file system of volumeBytes to raw (with README.TXT on it, the
// helper file in scratchFolder) and its image file to image.
inline void MakeFatImage(const std::filesystem::path &scratchFolder, size_t volumeBytes,
                         const std::filesystem::path &raw, const std::filesystem::path &image) {
    std::string r = raw.string();
    EXPECT_EQ(Shell("mkfs.fat -C -n SCRATCH " + r + " " + std::to_string(volumeBytes / 1024) + " >/dev/null"), 0);
    std::filesystem::path note = scratchFolder / "readme.txt";
    std::ofstream(note) << "scratch drive\n";
    EXPECT_EQ(Shell("mcopy -i " + r + " " + note.string() + " ::/README.TXT"), 0);
    EXPECT_EQ(
        Shell(std::string(PELMAR_MKIMAGE) + " --all-sectors " + r + " " + image.string() + " >/dev/null"), 0);
}

}  // namespace pelmar_test
