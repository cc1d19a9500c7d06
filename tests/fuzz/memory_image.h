// An image file held in memory, read through the tools' volume interface.
#pragma once

#include <cstring>
#include <string>

#include "tools/platform/volume_source.h"

class MemoryImage final : public pelmar_tools::VolumeSource {
  public:
    MemoryImage(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    const std::string &Name() const override { return name_; }
    uint64_t Size() const override { return size_; }
    bool ReadWithin(uint64_t offset, uint8_t *out, size_t length, std::string &) const override {
        if (length) std::memcpy(out, data_ + offset, length);
        return true;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    std::string name_ = "image";
};
