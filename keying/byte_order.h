// The byte orders of keying's stored and hashed values, written out once:
// the header's fields and the hashes' words are read and written a byte at
// a time, whatever the processor's own order.
#pragma once

#include <stdint.h>

inline uint32_t LoadBigEndian32(const uint8_t *at) {
    return (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
           (static_cast<uint32_t>(at[2]) << 8) | at[3];
}

inline uint32_t LoadLittleEndian32(const uint8_t *at) {
    return at[0] | (static_cast<uint32_t>(at[1]) << 8) | (static_cast<uint32_t>(at[2]) << 16) |
           (static_cast<uint32_t>(at[3]) << 24);
}

inline uint64_t LoadBigEndian64(const uint8_t *at) {
    return (static_cast<uint64_t>(LoadBigEndian32(at)) << 32) | LoadBigEndian32(at + 4);
}

inline void StoreBigEndian16(uint8_t *at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

inline void StoreBigEndian32(uint8_t *at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

inline void StoreLittleEndian32(uint8_t *at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

inline void StoreBigEndian64(uint8_t *at, uint64_t value) {
    StoreBigEndian32(at, static_cast<uint32_t>(value >> 32));
    StoreBigEndian32(at + 4, static_cast<uint32_t>(value));
}
