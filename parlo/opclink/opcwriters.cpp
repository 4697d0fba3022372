#include "parlo/opclink/opcwriters.h"

#include <initializer_list>

#include "nuvlib/ems.h"
#include "opcmsg/acmimsg.h"
#include "opcmsg/armmsg.h"
#include "opcmsg/cstawire.h"
#include "opcmsg/opctypes.h"
#include "parlo/common/serverstate.h"
#include "parlo/common/svrtrace.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opclinkport.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/requestcontext.h"
#include "platform/byteorder.h"

namespace {

// The requests to OPC are traced under TR_PROC_6.
bool TraceOn() { return (EMSGetTraceMask() & tracebit::TR_PROC_6) != 0; }

// One message: the envelope word, a fixed part, strings behind it, then `extra` bytes.
class Builder {
public:
    explicit Builder(const char* writer) : m_Writer(writer) {}

    [[nodiscard]] bool Start(size_t fixed, std::initializer_list<const std::string*> strings,
                             size_t extra = 0) {
        size_t size = fixed + extra;
        for (const std::string* s : strings) size += opcout::StringSize(s->size());
        m_Size = 4 + size;
        uint8_t* envelope = m_Buffer.Reserve(4);
        if (envelope == nullptr) return false;
        plat::StoreLE32(envelope, MDSIO::GetServerNumber());
        m_Fixed = m_Buffer.Reserve(static_cast<int64_t>(size));
        if (m_Fixed == nullptr) return false;
        uint8_t* p = m_Fixed + fixed;
        for (const std::string* s : strings) p = opcout::PutString(p, *s);
        m_Extra = p;
        return true;
    }
    uint8_t* Fixed() { return m_Fixed; }
    uint8_t* Extra() { return m_Extra; }
    MDSMsgBuffer& Buffer() { return m_Buffer; }
    void Put(size_t offset, uint32_t v) { plat::StoreLE32(m_Fixed + offset, v); }

    // Sends as `type`; a refused build is traced, the invoke id's request released.
    [[nodiscard]] bool Send(uint8_t type, const uint32_t* invokeID) {
        if (m_Fixed != nullptr && m_Buffer.SendInput(MDSIO::GetOPCHandle(), kOPCMessageClass, type, 0))
            return true;
        return Refuse(invokeID);
    }
    bool Refuse(const uint32_t* invokeID) {
        EMSTraceMessage("%s: message of %d bytes exceeds the %d bytes of an OPC message, not sent.",
                        m_Writer, static_cast<int>(m_Size), static_cast<int>(MDSIO::kMaxPayload));
        if (invokeID) OPCReq::ReleaseByInvokeID(*invokeID);
        return false;
    }

private:
    const char* m_Writer;
    MDSMsgBuffer m_Buffer;
    uint8_t* m_Fixed = nullptr;
    uint8_t* m_Extra = nullptr;
    size_t m_Size = 0;
};

}  // namespace

bool SendCSTAMessage(const ConnectionID* connection, int32_t count, const uint32_t* list,
                     const TPCSTAMsg& request, const uint8_t* extraPrivateData, int session) {
    const std::string unique = opclink::UniqueInstanceID(session);
    MDSMsgBuffer buffer;
    uint8_t* envelope = buffer.Reserve(4);
    uint8_t* body = buffer.Reserve(kCSTAMessageRoom);
    if (envelope == nullptr || body == nullptr) return false;
    plat::StoreLE32(envelope, MDSIO::GetServerNumber());
    const int written = WriteCSTAMessage(body, kCSTAMessageRoom, connection,
                                         count > static_cast<int32_t>(kCSTASkillGroupSlots)
                                             ? static_cast<int32_t>(kCSTASkillGroupSlots)
                                             : count,
                                         list, request, extraPrivateData, unique);
    if (written < 0) {
        OPCReq::ReleaseByInvokeID(request.InvokeID());
        return false;  // the writer traced why
    }
    buffer.Unreserve(static_cast<int>(kCSTAMessageRoom) - written);
    return buffer.SendInput(MDSIO::GetOPCHandle(), kOPCMessageClass, CTI_CSTA_MESSAGE, 0);
}

bool SendActiveHeartBeatEvent(uint32_t serverNumber) {
    MDSMsgBuffer buffer;
    uint8_t* p = buffer.Reserve(4);
    if (p == nullptr) return false;
    plat::StoreLE32(p, serverNumber);
    return buffer.SendInput(MDSIO::GetOPCHandle(), kOPCMessageClass, CTI_ACTIVE_HEART_BEAT_EVENT, 0);
}

bool SendGetAgentStateReq(uint32_t invokeID, uint32_t peripheralID, uint32_t mrDomainID,
                          uint32_t skillTargetID, const std::string& extension, const std::string& agentID,
                          const std::string& instrument, const char* callerName, uint32_t clientInvokeID,
                          int session) {
    if (TraceOn()) {
        if (opclink::AgentExists(agentID, peripheralID))
            EMSTraceMessage("GET_AGENT_STATE_REQ: %s InvokeID=0x%x Periph=%d MRDomainID= %d SkillTarID=%d "
                            "Ext=%s AGTID=%s Inst:%s",
                            callerName ? callerName : "", invokeID, static_cast<int>(peripheralID),
                            static_cast<int>(mrDomainID), static_cast<int>(skillTargetID), extension.c_str(),
                            agentID.c_str(), instrument.c_str());
        else
            EMSTraceMessage("GET_AGENT_STATE_REQ: %s InvokeID=0x%x Periph=%d MRDomainID= %d SkillTarID=%d "
                            "Ext=%s Inst:%s",
                            callerName ? callerName : "", invokeID, static_cast<int>(peripheralID),
                            static_cast<int>(mrDomainID), static_cast<int>(skillTargetID), extension.c_str(),
                            instrument.c_str());
    }
    const std::string unique = opclink::UniqueInstanceID(session);
    Builder b("SendGetAgentStateReq");
    if (!b.Start(20, {&unique, &extension, &agentID, &instrument})) return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, peripheralID);
    b.Put(8, mrDomainID);
    b.Put(12, skillTargetID);
    b.Put(16, clientInvokeID);
    return b.Send(CTI_GET_AGENT_STATE_REQ, &invokeID);
}

bool SendSetClientStatusRequest(uint32_t invokeID, uint32_t status, const OPCAgentInfo& agentInfo,
                                const std::string& signature) {
    if (agentInfo.AgentID.empty()) {
        EMSTraceMessage("SendSetClientStatusRequest: *** no agentID present ***");
        OPCReq::ReleaseByInvokeID(invokeID);
        return false;
    }
    OPCLinkServer& server = GetOPCLinkServer();
    const int state = server.GetState();
    if (state != serverstate::ACTIVE || server.IsStoppingRequestsPending()) {
        if (EMSGetTraceMask() & tracebit::TR_PROC_1)
            EMSTraceMessage("SendSetClientStatusRequest: *** Server is not Active (%s) ***",
                            ServerStateName(state));
        OPCReq::ReleaseByInvokeID(invokeID);
        return false;
    }
    const OPCReq* request = OPCReq::Find(invokeID);
    const std::string unique = request ? opclink::UniqueInstanceID(request->SessionID) : std::string();
    const size_t count = agentInfo.MRDomainIDs.size();
    if (TraceOn())
        EMSTraceMessage("SendSetClientStatusRequest: InvokeID=0x%x Periph=%d Status=0x%x AgentID=%s "
                        "NumMRDIDs=%d Signature:%s, UniqueInstID=%s",
                        invokeID, static_cast<int>(agentInfo.PeripheralID), status, agentInfo.AgentID.c_str(),
                        static_cast<int>(count), signature.c_str(), unique.c_str());
    Builder b("SendSetClientStatusRequest");
    if (count > 0xFFFF || !b.Start(16, {&agentInfo.AgentID, &signature, &unique}, 4 * count))
        return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, agentInfo.PeripheralID);
    b.Put(8, status);
    plat::StoreLE16(b.Fixed() + 12, static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; ++i) plat::StoreLE32(b.Extra() + 4 * i, agentInfo.MRDomainIDs[i]);
    if (!b.Send(CTI_SET_CLIENT_STATUS_REQ, &invokeID)) return false;
    opclink::MarkClientStatusRequested(agentInfo.AgentID, agentInfo.PeripheralID);
    return true;
}

bool SendGetAgentStatisticsReq(uint32_t invokeID, uint32_t peripheralID, const std::string& extension,
                               const std::string& agentID, const std::string& instrument) {
    if (SVRTraceON(OPCAgentStatistics))
        EMSTraceMessage("GET_AGENT_STATISTICS_REQ: InvokeID=0x%x Periph=%d Ext=%s AgentID=%s Inst:%s", invokeID,
                        static_cast<int>(peripheralID), extension.c_str(), agentID.c_str(), instrument.c_str());
    Builder b("SendGetAgentStatisticsReq");
    if (!b.Start(8, {&extension, &agentID, &instrument})) return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, peripheralID);
    return b.Send(CTI_GET_AGENT_STATS_REQ, &invokeID);
}

bool SendGetGroupStatisticsReq(uint32_t invokeID, uint32_t peripheralID, uint32_t skillGroupNumber,
                               uint32_t skillGroupID) {
    if (SVRTraceON(OPCSkillStatistics))
        EMSTraceMessage("GET_GROUP_STATISTICS_REQ: InvokeID=0x%x Periph=%d SkillGroupID=%d SkillGroupNumber=0x%x",
                        invokeID, static_cast<int>(peripheralID), static_cast<int>(skillGroupID),
                        skillGroupNumber);
    Builder b("SendGetGroupStatisticsReq");
    if (!b.Start(16, {})) return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, peripheralID);
    b.Put(8, skillGroupID);
    b.Put(12, skillGroupNumber);
    return b.Send(CTI_GET_GROUP_STATS_REQ, &invokeID);
}

bool SendGetCallDataReq(uint32_t peripheralID, uint32_t callID, uint32_t deviceIDType,
                        const std::string& deviceID) {
    if (TraceOn())
        EMSTraceMessage("GET_CALL_DATA_REQ: Periph=%d CallID=%d.%s", static_cast<int>(peripheralID),
                        static_cast<int>(callID), deviceID.c_str());
    Builder b("SendGetCallDataReq");
    if (!b.Start(12, {&deviceID})) return b.Refuse(nullptr);
    b.Put(0, peripheralID);
    b.Put(4, callID);
    b.Put(8, deviceIDType);
    return b.Send(CTI_SEND_CALL_DATA_IND, nullptr);
}

bool SendSetCallDataReq(const SetCallDataFields& f) {
    static const std::string kEmpty;
    auto var = [&](size_t i) -> const std::string& {
        return i < f.callVariables.size() ? f.callVariables[i] : kEmpty;
    };
    if (TraceOn()) {
        std::string extra;
        auto add = [&](const char* label, const std::string& value) {
            if (value != kAbsentValue) extra += label + value;
        };
        add(" CustPhone#=", f.customerPhoneNumber);
        add(" CustAccount#=", f.customerAccountNumber);
        add(" ANI=", f.ani);
        add(" UserToUser=", f.userToUser);
        add(" CED=", f.ced);
        if (f.wrapupData) extra += " WrapupData=" + *f.wrapupData;
        if (SVRTraceON(ECCVariables))
            for (size_t i = 0; i < 10; ++i)
                if (var(i) != kAbsentValue) extra += " Var" + std::to_string(i + 1) + "=" + var(i);
        EMSTraceMessage("SET_CALL_DATA_REQ: InvokeID=0x%x Periph=%d CID=%d.%s Dest=%s AGTID=%s Srch=%d "
                        "CallType=%d, CPDisposition=%d CampaignID=%d QueryRuleID=%d CallOriginatedFrom=%d %s",
                        f.invokeID, static_cast<int>(f.peripheralID), static_cast<int>(f.callID),
                        f.deviceID.c_str(), f.destID.c_str(), f.agentID.c_str(), static_cast<int>(f.srch),
                        f.callType, f.calledPartyDisposition, static_cast<int>(f.campaignID),
                        static_cast<int>(f.queryRuleID), f.callOriginatedFrom, extra.c_str());
    }
    const std::string unique = opclink::UniqueInstanceID(f.session);
    const std::string& wrapup = f.wrapupData ? *f.wrapupData : kEmpty;
    const uint8_t* ecc = f.eccData;
    const size_t eccLength = ecc ? f.eccLength : 0;
    Builder b("SendSetCallDataReq");
    if (!b.Start(44,
                 {&unique, &f.agentID, &f.deviceID, &f.destID, &f.ani, &f.userToUser, &f.ced, &wrapup,
                  &f.customerPhoneNumber, &f.customerAccountNumber, &var(0), &var(1), &var(2), &var(3),
                  &var(4), &var(5), &var(6), &var(7), &var(8), &var(9)},
                 opcout::BlockSize(eccLength)))
        return b.Refuse(&f.invokeID);
    b.Put(0, f.invokeID);
    b.Put(4, f.peripheralID);
    b.Put(8, f.callID);
    b.Put(12, f.deviceIDType);
    b.Put(16, f.destIDType);
    b.Put(20, f.srch);
    plat::StoreLE16(b.Fixed() + 24, f.callType);
    plat::StoreLE16(b.Fixed() + 26, f.calledPartyDisposition);
    b.Put(28, f.campaignID);
    b.Put(32, f.queryRuleID);
    b.Put(36, f.clientInvokeID);
    b.Fixed()[40] = f.callOriginatedFrom;
    plat::StoreLE32(b.Extra(), static_cast<uint32_t>(eccLength));
    for (size_t i = 0; i < eccLength; ++i) b.Extra()[4 + i] = ecc[i];
    return b.Send(CTI_SET_CALL_DATA_REQ, &f.invokeID);
}

bool SendReleaseCallReq(uint32_t invokeID, uint32_t peripheralID, uint32_t callID, uint32_t deviceIDType,
                        const std::string& deviceID, uint32_t destIDType, const std::string& destID,
                        const std::string& agentID, uint32_t srch, uint32_t clientInvokeID, int session) {
    if (TraceOn())
        EMSTraceMessage("RELEASE_CALL_REQ: InvokeID=0x%x Periph=%d CallID=%d.%s Dest=%s AgentID=%s Srch=%d",
                        invokeID, static_cast<int>(peripheralID), static_cast<int>(callID), deviceID.c_str(),
                        destID.c_str(), agentID.c_str(), static_cast<int>(srch));
    const std::string unique = opclink::UniqueInstanceID(session);
    Builder b("SendReleaseCallReq");
    if (!b.Start(28, {&unique, &agentID, &deviceID, &destID})) return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, peripheralID);
    b.Put(8, callID);
    b.Put(12, deviceIDType);
    b.Put(16, destIDType);
    b.Put(20, srch);
    b.Put(24, clientInvokeID);
    return b.Send(CTI_RELEASE_CALL_REQ, &invokeID);
}

bool SendValidateCallReq(uint32_t invokeID, uint32_t peripheralID, uint32_t callID, uint32_t deviceIDType,
                         const std::string& deviceID, uint32_t destIDType, const std::string& destID,
                         const std::string& agentID, uint32_t srch) {
    if (TraceOn())
        EMSTraceMessage("VALIDATE_CALL_REQ:  InvokeID=0x%x Periph=%d CallID=%d.%s Dest=%s AgentID=%s Srch=%d",
                        invokeID, static_cast<int>(peripheralID), static_cast<int>(callID), deviceID.c_str(),
                        destID.c_str(), agentID.c_str(), static_cast<int>(srch));
    Builder b("SendValidateCallReq");
    if (!b.Start(24, {&agentID, &deviceID, &destID})) return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, peripheralID);
    b.Put(8, callID);
    b.Put(12, deviceIDType);
    b.Put(16, destIDType);
    b.Put(20, srch);
    return b.Send(CTI_VALIDATE_CALL_REQ, &invokeID);
}

bool SendSetAppDataReq(uint32_t invokeID, uint32_t applicationPathID, const std::vector<std::string>& callVariables,
                       uint32_t callTypeID, uint32_t preCallInvokeID, uint32_t setAppDataCallId,
                       uint32_t clientInvokeID, int session) {
    auto var = [&](size_t i) -> const std::string& {
        return i < callVariables.size() ? callVariables[i] : kAbsentValue;
    };
    if (TraceOn()) {
        EMSTraceMessage("SET_APP_DATA_REQ: InvokeID=0x%x appPathID=%d", invokeID,
                        static_cast<int>(applicationPathID));
        if (SVRTraceON(ECCVariables)) {
            std::string line(18, ' ');
            for (size_t i = 0; i < 10; ++i)
                if (var(i) != kAbsentValue) line += " Var" + std::to_string(i + 1) + "=" + var(i);
            EMSTraceMessage("%s", line.c_str());  // the values are text, never a format
        }
    }
    const std::string unique = opclink::UniqueInstanceID(session);
    Builder b("SendSetAppDataReq");
    if (!b.Start(24, {&unique, &var(0), &var(1), &var(2), &var(3), &var(4), &var(5), &var(6), &var(7),
                      &var(8), &var(9)}))
        return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, applicationPathID);
    b.Put(8, clientInvokeID);
    b.Put(12, preCallInvokeID);
    b.Put(16, callTypeID);
    b.Put(20, setAppDataCallId);
    return b.Send(CTI_SET_APP_DATA_REQ, &invokeID);
}

bool SendSetDeviceAttributesReq(uint32_t invokeID, uint32_t peripheralID, uint32_t serviceNo, uint32_t serviceID,
                                uint32_t skillGroupAndPri, uint32_t skillGroupID, uint16_t callType,
                                uint16_t callingDeviceType, const std::string& callingDeviceID,
                                uint32_t clientInvokeID, int session) {
    if (TraceOn()) {
        EMSTraceMessage("SET_DEVICE_ATTRIBUTES_REQ: InvokeID=0x%x Periph=%d callingDeviceType=%d callingDeviceID=%s",
                        invokeID, static_cast<int>(peripheralID), callingDeviceType, callingDeviceID.c_str());
        EMSTraceMessage("                           callType=%d serviceNo=%d serviceID=%d skillGroupAndPri=0x%x "
                        "skillGroupID=%d",
                        callType, static_cast<int>(serviceNo), static_cast<int>(serviceID), skillGroupAndPri,
                        static_cast<int>(skillGroupID));
    }
    const std::string unique = opclink::UniqueInstanceID(session);
    Builder b("SendSetDeviceAttributesReq");
    if (!b.Start(32, {&unique, &callingDeviceID})) return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, peripheralID);
    b.Put(8, serviceNo);
    b.Put(12, serviceID);
    b.Put(16, skillGroupAndPri);
    b.Put(20, skillGroupID);
    b.Put(24, clientInvokeID);
    plat::StoreLE16(b.Fixed() + 28, callType);
    plat::StoreLE16(b.Fixed() + 30, callingDeviceType);
    return b.Send(CTI_SET_DEVICE_ATTRIBUTES_REQ, &invokeID);
}

bool SendBadCallReq(uint32_t invokeID, uint32_t peripheralID, uint32_t callID, int16_t deviceIDType,
                    const std::string& deviceID, const std::string& agentID, uint32_t clientInvokeID, int session) {
    if (TraceOn())
        EMSTraceMessage("BAD_CALL_REQ: InvokeID=0x%x Periph=%d CallID=%d.%s DeviceIDType=%d AgentID=%s ", invokeID,
                        static_cast<int>(peripheralID), static_cast<int>(callID), deviceID.c_str(), deviceIDType,
                        agentID.c_str());
    const std::string unique = opclink::UniqueInstanceID(session);
    Builder b("SendBadCallReq");
    if (!b.Start(20, {&unique, &agentID, &deviceID})) return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, peripheralID);
    b.Put(8, callID);
    b.Put(12, static_cast<uint32_t>(static_cast<int32_t>(deviceIDType)));
    b.Put(16, clientInvokeID);
    return b.Send(CTI_BAD_CALL_REQ, &invokeID);
}

bool SendGetPrecallMessagesReq(uint32_t invokeID, uint32_t peripheralID, uint32_t mrDomainID,
                               uint32_t clientInvokeID, int session) {
    if (TraceOn())
        EMSTraceMessage("GET_PRECALL_MESSAGES_REQ: InvokeID=0x%x Periph=%d MRDID=%d", invokeID,
                        static_cast<int>(peripheralID), static_cast<int>(mrDomainID));
    const std::string unique = opclink::UniqueInstanceID(session);
    Builder b("SendGetPrecallMessagesReq");
    if (!b.Start(16, {&unique})) return b.Refuse(&invokeID);
    b.Put(0, invokeID);
    b.Put(4, peripheralID);
    b.Put(8, mrDomainID);
    b.Put(12, clientInvokeID);
    return b.Send(CTI_GET_PRE_CALL_REQ, &invokeID);
}

namespace {
template <typename Message>
bool SendSelfSerialized(const Message& message, const char* writer) {
    Builder b(writer);
    const size_t length = message.GetLength() & 0xFFFF;
    if (!b.Start(length, {})) return b.Refuse(nullptr);
    if (message.Serialize(b.Fixed(), length) == nullptr) return b.Refuse(nullptr);
    return b.Send(static_cast<uint8_t>(message.GetMsgType()), nullptr);
}
}  // namespace

bool SendARMMsg(const ARMMsgBase& message) {
    if (TraceOn())
        EMSTraceMessage("SendARMMsg: %s-- %s", ARMMsgTypeName(message.GetMsgType()).c_str(),
                        message.ToString().c_str());
    return SendSelfSerialized(message, "SendARMMsg");
}

bool SendOPCACMIMsg(const ACMIMsgBase& message) {
    if (TraceOn()) EMSTraceMessage("SendOPCACMIMsg -- %s", message.ToString().c_str());
    return SendSelfSerialized(message, "SendOPCACMIMsg");
}
