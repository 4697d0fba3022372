#pragma once
// The bits of a client's service mask as constants (servicemask::ALL_EVENTS == 0x10), and
// what the protocol versions allow of them, all from servicemask.def.
#include <cstdint>

namespace servicemask {

#define SERVICE_BIT(bit, name, fieldFrom, openFrom) inline constexpr uint32_t name = bit;
#include "ctimsg/servicemask.def"
#undef SERVICE_BIT

struct Row {
    uint32_t bit;
    const char* name;
    uint32_t fieldFrom;  // first version whose ServiceMask field keeps the bit
    uint32_t openFrom;   // first version at which an OPEN_REQ may ask for it
};

inline constexpr Row kRows[] = {
#define SERVICE_BIT(bit, name, fieldFrom, openFrom) {bit, #name, fieldFrom, openFrom},
#include "ctimsg/servicemask.def"
#undef SERVICE_BIT
};

// The bits that the ServiceMask field of a message of `version` keeps when it is encoded
// and accepts when it is checked (versions up to 2 count as 2).
constexpr uint32_t FieldBits(uint32_t version) {
    uint32_t bits = 0;
    for (const Row& row : kRows)
        if (row.fieldFrom <= version || row.fieldFrom == 2) bits |= row.bit;
    return bits;
}

// The bits that a ServiceMask about to be sent may hold, whatever the receiver's version.
inline constexpr uint32_t kSendBits = FieldBits(UINT32_MAX);

// The bits an OPEN_REQ naming protocol `version` must leave clear. DEBUG is allowed at every
// version; bits without a row at none.
constexpr uint32_t OpenForbiddenBits(uint32_t version) {
    uint32_t allowed = 0;
    for (const Row& row : kRows)
        if (row.openFrom <= version || row.openFrom == 2) allowed |= row.bit;
    return ~allowed & ~DEBUG;
}

}  // namespace servicemask
