#pragma once
// The one place that spells byte order. Every wire, file and shared-memory integer is read
// and written through these: byte by byte, so neither the host's order nor the alignment
// of `p` matters (compilers fold each into one load or store). `p` must hold the
// integer's whole width.
#include <cstdint>

namespace plat {

// Big-endian: the most significant byte first.
constexpr uint16_t LoadBE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
constexpr uint32_t LoadBE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}
constexpr uint64_t LoadBE64(const uint8_t* p) {
    return static_cast<uint64_t>(LoadBE32(p)) << 32 | LoadBE32(p + 4);
}
constexpr void StoreBE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
constexpr void StoreBE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
constexpr void StoreBE64(uint8_t* p, uint64_t v) {
    StoreBE32(p, static_cast<uint32_t>(v >> 32));
    StoreBE32(p + 4, static_cast<uint32_t>(v));
}

// Little-endian: the least significant byte first.
constexpr uint16_t LoadLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
constexpr uint32_t LoadLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
constexpr uint64_t LoadLE64(const uint8_t* p) {
    return LoadLE32(p) | static_cast<uint64_t>(LoadLE32(p + 4)) << 32;
}
constexpr void StoreLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void StoreLE32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
constexpr void StoreLE64(uint8_t* p, uint64_t v) {
    StoreLE32(p, static_cast<uint32_t>(v));
    StoreLE32(p + 4, static_cast<uint32_t>(v >> 32));
}

}  // namespace plat
