#pragma once
// OPC's fixed-width text fields and padded strings. Its integers are little-endian and are
// read and written with plat::LoadLE*/StoreLE* of platform/byteorder.h.
#include <cstdint>
#include <cstring>

#include "platform/byteorder.h"

namespace opcbytes {

// Length of the text in a fixed field of `width` bytes: up to its NUL, at most `width`.
inline size_t FieldLength(const uint8_t* field, size_t width) {
    const void* nul = std::memchr(field, 0, width);
    return nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : width;
}

// Bytes a padded string of `count` characters takes: count, characters, a NUL, fill to 4.
inline uint32_t PaddedStringSize(uint32_t count) { return (count + 6) & ~3u; }

}  // namespace opcbytes
