// What the tools' tests share: an image file read back field by field, the
// sample install reads of a container, and the fixture that runs
// pelmar-mkimage on a volume of the test's making.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/restore_support.h"
#include "tests/tools/tool_support.h"
#include "tools/pelmar-install/container_check.h"

namespace pelmar_test {

inline uint64_t GetLE(const std::string &bytes, size_t at, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
    return v;
}

struct ParsedImage {
    uint32_t magic, sectorSize;
    uint64_t entryCount, volumeSectors, dataOffset;
    std::vector<std::pair<uint16_t, uint64_t>> entries;  // up to the end entry
    std::string data;                                    // from the data offset on
};

inline ParsedImage Parse(const std::string &image) {
    ParsedImage p{};
    p.magic = static_cast<uint32_t>(GetLE(image, 0, 4));
    p.sectorSize = static_cast<uint32_t>(GetLE(image, 4, 2));
    p.entryCount = GetLE(image, 8, 8);
    p.volumeSectors = GetLE(image, 24, 8);
    p.dataOffset = GetLE(image, 32, 8);
    for (size_t at = p.sectorSize; at + 16 <= image.size(); at += 16) {
        uint16_t type = static_cast<uint16_t>(GetLE(image, at, 2));
        if (type == 0) break;
        p.entries.push_back({type, GetLE(image, at + 8, 8)});
    }
    p.data = image.substr(std::min<size_t>(p.dataOffset, image.size()));
    return p;
}

// What install reads of a container: the bytes of its sample ranges.
inline std::vector<uint8_t> ContainerSample(const std::string &file) {
    std::vector<uint8_t> sample;
    for (const auto &[at, length] : pelmar_tools::ContainerSampleRanges(file.size()))
        sample.insert(sample.end(), file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at + length));
    return sample;
}

class MkImage : public RestoreTest {
  protected:
    fs::path Work(const std::string &name) { return RootDir() / name; }
    ParsedImage Make(const std::string &raw, const std::string &options = "") {
        WriteHostFile(Work("in.raw"), raw);
        auto r = pelmar_test::MkImage(options + " " + Quote(Work("in.raw")) + " " + Quote(Work("out.img")),
                                      RootDir());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        image_ = ReadHostFile(Work("out.img"));
        return Parse(image_);
    }
    std::string image_;
};

}  // namespace pelmar_test
