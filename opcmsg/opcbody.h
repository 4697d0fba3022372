#pragma once
// Bounded reading of the CTI bodies that OPC sends (the bytes after the ServerNumber word):
// the result that says why a body was refused, and the cursor the readers walk a body with.
//
// Numbers are little-endian. A string is a u16 count, the characters and NUL fill; the item
// after it starts (count + 6) rounded down to a multiple of 4 bytes after the count. A string
// whose characters lie inside the body is accepted even when the body ends in its fill; its
// text ends at its first NUL. An ECC block is a u32 length, that many bytes of BINDATA and NUL
// fill to a multiple of 4; the fill too may be cut off at the body's end.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "opcmsg/opcbytes.h"
#include "platform/byteorder.h"

// Why a body was refused. `ok` is true for an accepted body.
struct OPCBodyResult {
    bool ok = true;
    const char* item = "";  // what did not fit: "fixed part", "string", "skill group", ...
    int index = -1;         // the record, skill group or line it belongs to; -1: none
    size_t offset = 0;      // where that item starts in the body
    size_t length = 0;      // the body's length

    explicit operator bool() const { return ok; }
    // "string of entry 2 at offset 150 runs past the 160-byte body"; "" when accepted.
    std::string Text() const;
};

// A bounded cursor over one body; it never reads outside body .. body + length, which must
// stay valid while it is used. The first item that does not fit sets the result; every later
// call then fails at once, so a reader may read on and check once at the end.
class OPCBodyCursor {
public:
    OPCBodyCursor(const uint8_t* body, size_t length) : body_(body) { result_.length = length; }

    // The `size` bytes of a fixed item at the cursor, or null when they do not fit.
    const uint8_t* Take(size_t size, const char* item, int index = -1) {
        if (!result_.ok) return nullptr;
        if (result_.length - pos_ < size) return Fail(item, index);
        const uint8_t* p = body_ + pos_;
        pos_ += size;
        return p;
    }

    // One padded string into `*out`, cut at its first NUL.
    bool String(std::string* out, const char* item, int index = -1) {
        if (!result_.ok) return false;
        if (result_.length - pos_ < 2) return Fail(item, index), false;
        const size_t count = plat::LoadLE16(body_ + pos_);
        if (result_.length - pos_ - 2 < count) return Fail(item, index), false;
        const char* chars = reinterpret_cast<const char*>(body_ + pos_ + 2);
        const void* nul = std::memchr(chars, 0, count);
        out->assign(chars, nul ? static_cast<size_t>(static_cast<const char*>(nul) - chars) : count);
        Skip(opcbytes::PaddedStringSize(static_cast<uint32_t>(count)));
        return true;
    }

    // One ECC block: its BINDATA into `*out`. A length above `maxLength` is refused as well
    // as one that runs past the body.
    bool ECC(std::vector<uint8_t>* out, size_t maxLength, const char* item, int index = -1) {
        if (!result_.ok) return false;
        const size_t start = pos_;
        const uint8_t* head = Take(4, item, index);
        if (!head) return false;
        const uint32_t size = plat::LoadLE32(head);
        if (size > maxLength || result_.length - pos_ < size) {
            pos_ = start;
            return Fail(item, index), false;
        }
        out->assign(body_ + pos_, body_ + pos_ + size);
        Skip((size_t{size} + 3) & ~size_t{3});
        return true;
    }

    size_t Remaining() const { return result_.length - pos_; }
    size_t Position() const { return pos_; }
    const OPCBodyResult& Result() const { return result_; }

    const uint8_t* Fail(const char* item, int index) {
        if (result_.ok) {
            result_.ok = false;
            result_.item = item;
            result_.index = index;
            result_.offset = pos_;
        }
        return nullptr;
    }

private:
    // Steps over `size` bytes, or to the end when fewer are left (a fill cut off at the end).
    void Skip(size_t size) { pos_ = result_.length - pos_ < size ? result_.length : pos_ + size; }

    const uint8_t* body_;
    size_t pos_ = 0;
    OPCBodyResult result_;
};
