#pragma once
// Readers of OPC's own call messages: CTI_CALL_CREATED_EVENT, CTI_CALL_DATA_UPDATE_EVENT,
// CTI_CALL_TERMINATED_EVENT, CTI_CALL_DEACTIVATED_EVENT, CTI_CALL_REACTIVATED_EVENT,
// CTI_CALL_RECLASSIFIED_EVENT and CTI_CALL_TYPE_CHANGED_EVENT. Each reads a body (the bytes
// after the ServerNumber word) of a stated length into a plain struct that owns copies of
// everything, and never reads past that length. A body that ends before a string, the ECC
// block or a history entry it announces, or whose ECC block is above kOPCCallMaxECCLength, is
// refused as a whole (the struct is left default-constructed). The wire forms are those of
// opcmsg/opcbody.h; bytes after the last item are ignored. A device ID type of 0xFFFFFFFF
// means that there is no such device.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "opcmsg/opcbody.h"

// Most BINDATA bytes an ECC block of these messages may hold.
constexpr size_t kOPCCallMaxECCLength = 2000;
// A call variable is cut to this many characters.
constexpr size_t kOPCCallVariableLength = 40;
constexpr size_t kOPCCallVariables = 10;
// Most CTI client history entries kept; the ones after them are checked, not kept.
constexpr size_t kOPCCallMaxHistory = 16;

// The CTI hint of a call message.
enum OPCCallHint : uint32_t {
    OPC_HINT_NONE = 0,
    OPC_HINT_CONFERENCE_PARTY = 1,
    OPC_HINT_TRANSFER_PRIMARY = 2,
    OPC_HINT_TRANSFER_RESULT = 3,
    OPC_HINT_PARTY_LIST = 4,
    OPC_HINT_QUERY_RESPONSE = 5,
    OPC_HINT_DO_NOT_NOTIFY = 6,
};

// One entry of a call's CTI client history: a client that touched the call, and when.
struct OPCCallHistoryEntry {
    std::string CTIClientSignature;
    uint32_t CTIClientTimestamp = 0;

    bool operator==(const OPCCallHistoryEntry&) const = default;
};

// The call data that CTI_CALL_CREATED_EVENT and CTI_CALL_DATA_UPDATE_EVENT share.
struct OPCCallData {
    uint32_t PeripheralID = 0;
    uint16_t PeripheralType = 0;  // internal peripheral type
    int16_t NumCTIClients = 0;    // history entries as announced (History holds at most 16)
    uint16_t CallType = 0;
    uint16_t CalledPartyDisposition = 0;
    uint32_t CampaignID = 0;
    uint32_t QueryRuleID = 0;
    uint32_t ConnectionCallID = 0;
    uint32_t SrcDeviceIDType = 0;
    uint32_t DestDeviceIDType = 0;
    uint32_t TrunkGroup = 0;
    uint32_t RouterCallKeyDay = 0;
    uint32_t RouterCallKeyCallID = 0;
    uint32_t RouterCallKeySequenceNum = 0;
    uint32_t CTIHint = OPC_HINT_NONE;  // OPCCallHint
    std::string SrcDeviceID;
    std::string DestDeviceID;
    std::string ANI;
    std::string UserToUser;
    std::string DNIS;
    std::string CED;
    std::string DialedNumber;
    std::string CallWrapupData;
    std::string CustomerPhoneNumber;
    std::string CustomerAccountNumber;
    // CallVariable1 to CallVariable10, each cut to kOPCCallVariableLength characters.
    std::array<std::string, kOPCCallVariables> CallVariable;
    std::vector<uint8_t> ECC;                 // the BINDATA; empty: none
    std::vector<OPCCallHistoryEntry> History; // at most kOPCCallMaxHistory

    bool operator==(const OPCCallData&) const = default;
};

// CTI_CALL_CREATED_EVENT.
struct OPCCallCreatedEvent : OPCCallData {
    bool operator==(const OPCCallCreatedEvent&) const = default;
};

// CTI_CALL_DATA_UPDATE_EVENT.
struct OPCCallDataUpdateEvent : OPCCallData {
    uint16_t Active = 0;  // not 0: the call is active
    int16_t SrcConnectionState = 0;   // local connection state of the source connection
    int16_t DestConnectionState = 0;  // and of the destination connection
    std::string SrcAgentExtension;
    std::string DestAgentExtension;

    bool operator==(const OPCCallDataUpdateEvent&) const = default;
};

// CTI_CALL_TERMINATED_EVENT, CTI_CALL_DEACTIVATED_EVENT and CTI_CALL_REACTIVATED_EVENT, which
// share one layout.
struct OPCCallStateEvent {
    uint32_t PeripheralID = 0;
    uint32_t ConnectionCallID = 0;  // 0xFFFFFFFF in a terminate: every private call
    uint32_t ConnectionDeviceIDType = 0;
    uint32_t CTIHint = OPC_HINT_NONE;
    std::string ConnectionDeviceID;

    bool operator==(const OPCCallStateEvent&) const = default;
};
using OPCCallTerminatedEvent = OPCCallStateEvent;
using OPCCallDeactivatedEvent = OPCCallStateEvent;
using OPCCallReactivatedEvent = OPCCallStateEvent;

// CTI_CALL_RECLASSIFIED_EVENT: the call known by the old identity takes the new one.
struct OPCCallReclassifiedEvent {
    uint32_t PeripheralID = 0;
    uint32_t OldConnectionCallID = 0;
    uint32_t NewConnectionCallID = 0;
    uint32_t OldDeviceIDType = 0;
    uint32_t NewSrcDeviceIDType = 0;
    uint32_t NewDestDeviceIDType = 0;
    uint32_t CTIHint = OPC_HINT_NONE;
    std::string OldDeviceID;
    std::string NewSrcDeviceID;
    std::string NewDestDeviceID;

    bool operator==(const OPCCallReclassifiedEvent&) const = default;
};

// CTI_CALL_TYPE_CHANGED_EVENT.
struct OPCCallTypeChangedEvent {
    uint32_t PeripheralID = 0;
    uint32_t ConnectionCallID = 0;
    uint32_t ConnectionDeviceIDType = 0;
    uint32_t CallTypeID = 0;  // the new call type
    std::string ConnectionDeviceID;

    bool operator==(const OPCCallTypeChangedEvent&) const = default;
};

// Each reads `length` bytes at `body` into `*out` (replacing what it held); `body` need only
// live for the call. Accepted: the result's `ok` is true. Refused: `*out` is left
// default-constructed and the result says what did not fit (its Text() is for the trace).
// A negative history count reads as no history; of more than kOPCCallMaxHistory entries
// the first kOPCCallMaxHistory are kept, but all must lie inside the body.
[[nodiscard]] OPCBodyResult ParseCallCreatedEvent(const uint8_t* body, size_t length,
                                                  OPCCallCreatedEvent* out);
[[nodiscard]] OPCBodyResult ParseCallDataUpdateEvent(const uint8_t* body, size_t length,
                                                     OPCCallDataUpdateEvent* out);
// Reads any of the three messages of the shared layout.
[[nodiscard]] OPCBodyResult ParseCallStateEvent(const uint8_t* body, size_t length,
                                                OPCCallStateEvent* out);
[[nodiscard]] OPCBodyResult ParseCallReclassifiedEvent(const uint8_t* body, size_t length,
                                                       OPCCallReclassifiedEvent* out);
[[nodiscard]] OPCBodyResult ParseCallTypeChangedEvent(const uint8_t* body, size_t length,
                                                      OPCCallTypeChangedEvent* out);
