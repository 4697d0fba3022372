#pragma once
// The request-enablement masks (REMask) of agent and call events: one entry per connection
// at an agent's device, each with the agent's instrument and extension, the CallID and three
// masks computed from the agent's state, its desk settings, the connection and the call.
#include <cstdint>
#include <string_view>

class BaseMSG;
class CTICSTADevice;
class REMaskEntry;

class CTIUpdateREMask {
public:
    // Fills `entry` (handed out by REMaskArray::AddREMask; must not be null): instrument,
    // extension and CallID, then the agent mask, the call mask and the function flag.
    static void ComputeEntry(std::string_view instrument, std::string_view extension,
                             int32_t callID, uint16_t callType, int32_t localConnectionState,
                             int32_t agentState, int32_t deskSettingsMask, int32_t wrapUpMode,
                             int32_t connectedCount, int32_t activeCount,
                             int32_t destConnectionState, REMaskEntry* entry);

    // The three masks for one entry, as ComputeEntry ORs them in.
    struct Masks {
        uint32_t agentMask = 0;
        uint32_t callMask = 0;
        uint8_t functionFlag = 0;
    };
    static Masks Compute(int32_t callID, uint16_t callType, int32_t localConnectionState,
                         int32_t agentState, int32_t deskSettingsMask, int32_t wrapUpMode,
                         int32_t connectedCount, int32_t activeCount, int32_t destConnectionState);
};

// Clears the message's REMask field (when it has one) and refills it from the agent at
// `device` (none: left empty). msg must not be null; it stays the caller's. Hold the server
// lock: the device's connections and agent are read.
void UpdateREMaskInMSG(BaseMSG* msg, CTICSTADevice* device);
