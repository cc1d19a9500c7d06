// Numbers as the tools' on-disk and registry formats store them:
// little-endian, of one to eight bytes.
#pragma once

#include <cstdint>

namespace pelmar_tools {

// The little-endian field of `bytes` bytes at `p`.
inline uint64_t ReadLE(const uint8_t *p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace pelmar_tools
