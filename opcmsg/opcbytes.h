#pragma once
// Little-endian loads and stores at fixed offsets: every OPC record and message is written
// and read byte by byte, so neither host order nor struct padding reaches the wire.
#include <cstdint>
#include <cstring>

namespace opcbytes {

inline uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Length of the text in a fixed field of `width` bytes: up to its NUL, at most `width`.
inline size_t FieldLength(const uint8_t* field, size_t width) {
    const void* nul = std::memchr(field, 0, width);
    return nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : width;
}

// Bytes a padded string of `count` characters takes: count, characters, a NUL, fill to 4.
inline uint32_t PaddedStringSize(uint32_t count) { return (count + 6) & ~3u; }

}  // namespace opcbytes
