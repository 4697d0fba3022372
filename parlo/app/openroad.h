#pragma once
// What the open road's files share: the failure codes it answers with and the service bits
// it reads. The codes are the protocol's (ctimsg/names_tables.inc names them).
#include <cstdint>

#include "parlo/session/outfilter.h"

namespace openroad {

constexpr uint32_t E_CTI_INVALID_VERSION = 1;
constexpr uint32_t E_CTI_INVALID_PERIPHERAL_ID = 7;
constexpr uint32_t E_CTI_INVALID_AGENT_DATA = 8;
constexpr uint32_t E_CTI_AGENT_NOT_LOGGED_ON = 9;
constexpr uint32_t E_CTI_DEVICE_IN_USE = 10;
constexpr uint32_t E_CTI_NEW_SESSION_OPENED = 11;
constexpr uint32_t E_CTI_UNSPECIFIED_FAILURE = 17;
constexpr uint32_t E_CTI_INVALID_SERVICE_MASK = 19;
constexpr uint32_t E_CTI_INCONSISTENT_AGENT_DATA = 32;
constexpr uint32_t E_CTI_INVALID_MR_DOMAIN = 88;

// The service bits it reads are the output side's.
using servicebits::AGENT_REPORTING;
using servicebits::ALL_EVENTS;
using servicebits::CALL_DATA_UPDATE;
using servicebits::CLIENT_CONTROL;
using servicebits::CLIENT_EVENTS;
using servicebits::CLIENT_MONITOR;
using servicebits::PERIPHERAL_MONITOR;
using servicebits::SUPERVISOR;

// Agent states the road tells apart.
constexpr int32_t AS_LOG_OUT = 1;
constexpr int32_t AS_UNKNOWN = 9;

// The service bits a client may not ask for at its protocol version; 0xFFFFFFFF for an
// invalid version (0, 1, 4 and above 24).
constexpr uint32_t ForbiddenServiceBits(uint32_t version) {
    switch (version) {
        case 2: return 0x7FFFFFEC;
        case 3: return 0x7FFFFFE0;
        case 5: case 6: case 7: return 0x7FFFFF80;
        case 8: return 0x7FFFFC00;
        case 9: return 0x7FFFE000;
        case 10: return 0x7FF0E000;
        case 11: return 0x7FC0E000;
        case 12: case 13: return 0x7FC0C000;
        case 14: case 15: return 0x7F80C000;
        case 24: return 0x7C00C000;
        default: return version >= 16 && version <= 23 ? 0x7E00C000 : 0xFFFFFFFF;
    }
}

}  // namespace openroad
