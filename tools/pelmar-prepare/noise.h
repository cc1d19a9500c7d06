// The container's noise for pelmar-prepare: a ChaCha20 keystream from
// libgcrypt under a key from the kernel's random source, generated on a
// thread of its own while the caller writes the previous block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace pelmar_tools {

// Called in order, from the calling thread, with consecutive blocks of
// noise; false (with `error` set) stops the stream.
using NoiseSink = std::function<bool(uint64_t at, const uint8_t *bytes, size_t length, std::string &error)>;

// Hands `bytes` of noise to `sink` in blocks of `block` bytes (the last may
// be shorter). The key is wiped before it returns, on every path.
bool StreamNoise(uint64_t bytes, size_t block, const NoiseSink &sink, std::string &error);

}  // namespace pelmar_tools
