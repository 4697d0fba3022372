#pragma once
// The request writers: each builds one message to the OPC (the ServerNumber word, then the
// body of its type, every padding byte zero) and hands it to MDS. Each returns true when the
// message went out; false when it was refused (a field set longer than the 4012-byte
// message, a wrong CSTA class, no agent id, the server not active), having traced why and,
// for a writer with an invoke id, released that id's OPCReq. Strings are copied.
#include <cstdint>
#include <string>
#include <vector>

class ARMMsgBase;
class ACMIMsgBase;
class TPCSTAMsg;
struct ConnectionID;

// No session (the UniqueInstanceID is then empty).
constexpr int kNoSession = -1;

// CTI_CSTA_MESSAGE for `request` (its class must be 8): `connection` or null, the first
// `count` words of `list` (at most 44 are read, whatever the count), `extraPrivateData` (a
// private-data block) or null, the session's UniqueInstanceID.
[[nodiscard]] bool SendCSTAMessage(const ConnectionID* connection, int32_t count, const uint32_t* list,
                                   const TPCSTAMsg& request, const uint8_t* extraPrivateData, int session);

// CTI_ACTIVE_HEART_BEAT_EVENT: the envelope word alone.
[[nodiscard]] bool SendActiveHeartBeatEvent(uint32_t serverNumber);

// CTI_GET_AGENT_STATE_REQ. callerName: the caller's name for itself in the trace.
[[nodiscard]] bool SendGetAgentStateReq(uint32_t invokeID, uint32_t peripheralID, uint32_t mrDomainID,
                                        uint32_t skillTargetID, const std::string& extension,
                                        const std::string& agentID, const std::string& instrument,
                                        const char* callerName, uint32_t clientInvokeID, int session);

struct OPCAgentInfo {
    std::string AgentID;
    uint32_t PeripheralID = 0;
    std::vector<uint32_t> MRDomainIDs;
};
// CTI_SET_CLIENT_STATUS_REQ; only while the server is ACTIVE and not stopping requests.
[[nodiscard]] bool SendSetClientStatusRequest(uint32_t invokeID, uint32_t status,
                                              const OPCAgentInfo& agentInfo,
                                              const std::string& signature);
// CTI_GET_AGENT_STATS_REQ.
[[nodiscard]] bool SendGetAgentStatisticsReq(uint32_t invokeID, uint32_t peripheralID,
                                             const std::string& extension, const std::string& agentID,
                                             const std::string& instrument);
// CTI_GET_GROUP_STATS_REQ (the body holds SkillGroupID before SkillGroupNumber).
[[nodiscard]] bool SendGetGroupStatisticsReq(uint32_t invokeID, uint32_t peripheralID,
                                             uint32_t skillGroupNumber, uint32_t skillGroupID);
// CTI_SEND_CALL_DATA_IND.
[[nodiscard]] bool SendGetCallDataReq(uint32_t peripheralID, uint32_t callID, uint32_t deviceIDType,
                                      const std::string& deviceID);

// CTI_SET_CALL_DATA_REQ's fields; callVariables holds exactly ten entries.
struct SetCallDataFields {
    uint32_t invokeID = 0, peripheralID = 0, callID = 0, deviceIDType = 0;
    std::string deviceID;
    uint32_t destIDType = 0xFFFFFFFF;
    std::string destID;
    std::string agentID;
    uint32_t srch = 0;
    std::string ani, userToUser, ced;
    const std::string* wrapupData = nullptr;  // null: not given
    std::vector<std::string> callVariables = std::vector<std::string>(10);
    const uint8_t* eccData = nullptr;
    uint32_t eccLength = 0;
    uint16_t callType = 0, calledPartyDisposition = 0;
    uint32_t campaignID = 0, queryRuleID = 0;
    std::string customerPhoneNumber, customerAccountNumber;
    uint8_t callOriginatedFrom = 0;
    uint32_t clientInvokeID = 0;
    int session = kNoSession;
};
[[nodiscard]] bool SendSetCallDataReq(const SetCallDataFields& f);

// CTI_RELEASE_CALL_REQ.
[[nodiscard]] bool SendReleaseCallReq(uint32_t invokeID, uint32_t peripheralID, uint32_t callID,
                                      uint32_t deviceIDType, const std::string& deviceID,
                                      uint32_t destIDType, const std::string& destID,
                                      const std::string& agentID, uint32_t srch,
                                      uint32_t clientInvokeID, int session);
// CTI_VALIDATE_CALL_REQ.
[[nodiscard]] bool SendValidateCallReq(uint32_t invokeID, uint32_t peripheralID, uint32_t callID,
                                       uint32_t deviceIDType, const std::string& deviceID,
                                       uint32_t destIDType, const std::string& destID,
                                       const std::string& agentID, uint32_t srch);
// CTI_SET_APP_DATA_REQ; callVariables holds ten entries (the absent-value marker for absent).
[[nodiscard]] bool SendSetAppDataReq(uint32_t invokeID, uint32_t applicationPathID,
                                     const std::vector<std::string>& callVariables,
                                     uint32_t callTypeID, uint32_t preCallInvokeID,
                                     uint32_t setAppDataCallId, uint32_t clientInvokeID, int session);
// CTI_SET_DEVICE_ATTRIBUTES_REQ.
[[nodiscard]] bool SendSetDeviceAttributesReq(uint32_t invokeID, uint32_t peripheralID,
                                              uint32_t serviceNo, uint32_t serviceID,
                                              uint32_t skillGroupAndPri, uint32_t skillGroupID,
                                              uint16_t callType, uint16_t callingDeviceType,
                                              const std::string& callingDeviceID,
                                              uint32_t clientInvokeID, int session);
// CTI_BAD_CALL_REQ; deviceIDType is widened with its sign.
[[nodiscard]] bool SendBadCallReq(uint32_t invokeID, uint32_t peripheralID, uint32_t callID,
                                  int16_t deviceIDType, const std::string& deviceID,
                                  const std::string& agentID, uint32_t clientInvokeID, int session);
// CTI_GET_PRE_CALL_REQ.
[[nodiscard]] bool SendGetPrecallMessagesReq(uint32_t invokeID, uint32_t peripheralID,
                                             uint32_t mrDomainID, uint32_t clientInvokeID, int session);
// An ARM or ACMI message: its own GetLength (cut to 16 bits) bytes, its own type.
[[nodiscard]] bool SendARMMsg(const ARMMsgBase& message);
[[nodiscard]] bool SendOPCACMIMsg(const ACMIMsgBase& message);

// The absent-value marker of the optional strings: one 0xFF character.
inline const std::string kAbsentValue(1, static_cast<char>(0xFF));
