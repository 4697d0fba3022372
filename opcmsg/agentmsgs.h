#pragma once
// Readers of the agent-side CTI bodies that OPC sends: CTI_AGENT_EVENT, CTI_GET_AGENT_STATE_RESP,
// CTI_AGENT_REMOVED_IND, CTI_PG_STATUS_EVENT and CTI_SET_CLIENT_STATUS_RESP. Each reads a body
// (the bytes after the ServerNumber word) of a stated length into a plain struct that owns
// copies of everything, and never reads past that length: every count, string and record is
// checked against it first. A body that ends before something it announces is refused as a
// whole (the struct is left empty), so a handler either applies all of it or traces the
// refusal and drops the message. The wire forms are those of opcmsg/opcbody.h; bytes after
// the last item are ignored.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "opcmsg/opcbody.h"

// One record of CTI_AGENT_EVENT (72 fixed bytes, then six strings).
struct OPCAgentEventRecord {
    uint32_t PeripheralID = 0;
    uint16_t PeripheralType = 0;  // internal peripheral type
    int16_t SkillGroupState = 0;
    int16_t AgentState = 0;
    uint16_t EventReasonCode = 0;
    uint32_t SkillGroupStateDuration = 0;
    uint32_t StateDuration = 0;
    int32_t SkillTargetID = 0;
    uint32_t AgentTeamID = 0;
    uint32_t SkillGroupSkillTargetID = 0;
    uint32_t SkillGroupNumberWord = 0;  // number in bits 0-23, priority in 24-31; -1: none
    int16_t NumLines = 0;
    int16_t CurrentLine = 0;
    uint32_t ClientStatus = 0;  // bit 0: OPC has a client for the agent
    uint32_t MRDomainID = 0;    // 1: voice
    uint32_t NumTasks = 0;
    uint32_t MaxTaskLimit = 0;
    uint32_t MaxBeyondTaskLimit = 0;
    uint32_t AgentMode = 0;
    uint32_t AgentAvailabilityStatus = 0;
    uint32_t Direction = 0;
    std::string AgentExtension;
    std::string AgentID;
    std::string AgentInstrument;
    std::string ClientSignature;
    std::string TerminalDeviceName;
    std::string UniqueInstanceID;

    bool operator==(const OPCAgentEventRecord&) const = default;
};

// The skill-group entries of CTI_GET_AGENT_STATE_RESP, 12 bytes each.
struct OPCAgentSkillGroup {
    uint32_t NumberWord = 0;  // number in bits 0-23, priority in 24-31; -1: none
    uint32_t SkillTargetID = 0;
    int16_t State = 0;

    bool operator==(const OPCAgentSkillGroup&) const = default;
};

// The line entries of CTI_GET_AGENT_STATE_RESP: 20 fixed bytes, then two strings.
struct OPCAgentLine {
    uint32_t LineIndex = 0;
    uint32_t LineType = 0;
    uint32_t CallID = 0;  // -1: no call on the line
    uint32_t SourceDeviceIDType = 0;
    uint32_t DestDeviceIDType = 0;
    std::string SourceDeviceID;
    std::string DestDeviceID;

    bool operator==(const OPCAgentLine&) const = default;
};

// CTI_GET_AGENT_STATE_RESP (76 fixed bytes, five strings, the skill groups, the lines).
struct OPCAgentStateResp {
    uint32_t InvokeID = 0;  // -1: unsolicited
    int32_t PeripheralID = 0;
    int16_t PeripheralType = 0;  // internal peripheral type; -1: unknown
    int16_t AgentState = 0;
    uint32_t StateDuration = 0;
    uint32_t SkillTargetID = 0;
    uint32_t AgentTeamID = 0;
    uint32_t SkillGroupSkillTargetID = 0;
    uint32_t SkillGroupNumberWord = 0;
    int16_t NumLines = 0;  // as announced; Lines holds that many (none when negative)
    int16_t CurrentLine = 0;
    int16_t NumSkillGroups = 0;  // as announced; SkillGroups holds that many (none when negative)
    int16_t PeripheralOnline = 0;
    uint32_t Supervisor = 0;
    uint32_t MRDomainID = 0;
    uint32_t NumTasks = 0;
    uint32_t MaxTaskLimit = 0;
    uint32_t MaxBeyondTaskLimit = 0;
    uint32_t AgentMode = 0;
    uint32_t AgentAvailabilityStatus = 0;
    uint32_t ClientInvokeID = 0;
    std::string UniqueInstanceID;
    std::string AgentExtension;
    std::string AgentID;
    std::string AgentInstrument;
    std::string ClientSignature;
    std::vector<OPCAgentSkillGroup> SkillGroups;
    std::vector<OPCAgentLine> Lines;

    bool operator==(const OPCAgentStateResp&) const = default;
};

// CTI_AGENT_REMOVED_IND.
struct OPCAgentRemovedInd {
    uint32_t PeripheralID = 0;
    std::string AgentID;  // empty or "-1": every agent of the peripheral

    bool operator==(const OPCAgentRemovedInd&) const = default;
};

// CTI_PG_STATUS_EVENT.
struct OPCPGStatusEvent {
    uint32_t PGStatus = 0;  // flags; 0: normal
    uint32_t SystemEventID = 0;
    int32_t SystemEventArg1 = 0;
    int32_t SystemEventArg2 = 0;
    int32_t SystemEventArg3 = 0;
    std::string Text;

    bool operator==(const OPCPGStatusEvent&) const = default;
};

// CTI_SET_CLIENT_STATUS_RESP.
struct OPCSetClientStatusResp {
    uint32_t InvokeID = 0;
    uint32_t ResultCode = 0;

    bool operator==(const OPCSetClientStatusResp&) const = default;
};

// Each reads `length` bytes at `body` into `*out` (replacing what it held). Refused: `*out` is
// left as a default-constructed value (no records) and the result says what did not fit.
// The count of CTI_AGENT_EVENT must be matched by that many whole records; a negative
// skill-group or line count of CTI_GET_AGENT_STATE_RESP means none.
[[nodiscard]] OPCBodyResult ParseAgentEvent(const uint8_t* body, size_t length,
                                            std::vector<OPCAgentEventRecord>* out);
[[nodiscard]] OPCBodyResult ParseAgentStateResp(const uint8_t* body, size_t length,
                                                OPCAgentStateResp* out);
[[nodiscard]] OPCBodyResult ParseAgentRemovedInd(const uint8_t* body, size_t length,
                                                 OPCAgentRemovedInd* out);
[[nodiscard]] OPCBodyResult ParsePGStatusEvent(const uint8_t* body, size_t length,
                                               OPCPGStatusEvent* out);
[[nodiscard]] OPCBodyResult ParseSetClientStatusResp(const uint8_t* body, size_t length,
                                                     OPCSetClientStatusResp* out);
