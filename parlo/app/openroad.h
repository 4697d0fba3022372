#pragma once
// What the open road's files share: the agent states it tells apart and the services its
// version check allows. The failure codes it answers with are ctimsg/statuscodes.h's, the
// service bits ctimsg/servicemask.h's.
#include <cstdint>

#include "ctimsg/servicemask.h"

namespace openroad {

// What waits for an agent-state answer, as its OPC request record keeps it (PrivateCallFlags).
enum AgentStateWaiter : uint32_t { kWaitingOpen = 0, kWaitingQuery = 1, kWaitingTaskMonitor = 2 };

// Agent states the road tells apart.
constexpr int32_t AS_LOG_OUT = 1;
constexpr int32_t AS_UNKNOWN = 9;

// The services an OPEN_REQ may ask for from its protocol version on, as the application's open
// checks them (the message's own check, servicemask::OpenForbiddenBits, allows some of them at
// an earlier version).
struct OpenServices {
    uint32_t fromVersion;
    uint32_t bits;
};
inline constexpr OpenServices kOpenServices[] = {
    {2, servicemask::CLIENT_EVENTS | servicemask::CALL_DATA_UPDATE | servicemask::ALL_EVENTS},
    {3, servicemask::CLIENT_CONTROL | servicemask::CONNECTION_MONITOR},
    {5, servicemask::PERIPHERAL_MONITOR | servicemask::CLIENT_MONITOR},
    {8, servicemask::SUPERVISOR | servicemask::SERVER | servicemask::WEXA},
    {9, servicemask::AGENT_REPORTING | servicemask::ALL_TASK_EVENTS | servicemask::TASK_MONITOR},
    {10, servicemask::ROUTING | servicemask::MINIMIZE_EVENTS | servicemask::CONFIG_EVENTS |
             servicemask::UPDATE_EVENTS},
    {11, servicemask::AGENT_EVENT_CHANGE_FILTER | servicemask::WEXA_CIL},
    {12, servicemask::AGENT_STATE_CONTROL_ONLY},
    {14, servicemask::HIDE_DOTTED_DEVICES},
    {16, servicemask::SERVICE_BIT_23 | servicemask::REMASK_SUBSCRIPTION},
    {24, servicemask::STANDBY_CAPABLE},
};
inline constexpr uint32_t kLastOpenVersion = 24;

// The service bits a client may not ask for at its protocol version (DEBUG is allowed at
// every version); every bit for an invalid version (0, 1, 4 and above 24).
constexpr uint32_t ForbiddenServiceBits(uint32_t version) {
    if (version < 2 || version == 4 || version > kLastOpenVersion) return UINT32_MAX;
    uint32_t allowed = servicemask::DEBUG;
    for (const OpenServices& row : kOpenServices)
        if (row.fromVersion <= version) allowed |= row.bits;
    return ~allowed;
}

}  // namespace openroad
