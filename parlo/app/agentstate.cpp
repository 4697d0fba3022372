// OPC's answer to an agent-state request: the agent, its device, skill groups and the calls
// on its lines are updated, then the request that waited for the answer is completed.
#include "parlo/app/openroad.h"

#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "ctimsg/valuenames.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "opcmsg/agentmsgs.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appperipherals.h"
#include "parlo/app/appqueue.h"
#include "parlo/app/clientcb.h"
#include "parlo/common/meterids.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/session/session.h"

using namespace openroad;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

// The call type of a call found on an agent's line, by the line's type; a type past the
// table is treated as an unknown line.
uint16_t CallTypeOfLine(uint32_t lineType) {
    static constexpr uint16_t kCallTypes[] = {1, 9, 10, 6, 19, 10, 10, 8, 6, 21, 38, 38};
    return lineType < std::size(kCallTypes) ? kCallTypes[lineType] : 6;
}

// What waited for the answer, taken from its outstanding record.
struct Waiting {
    bool found = false;
    uint32_t kind = kWaitingOpen;  // AgentStateWaiter
    int32_t sessionID = -1;
    uint32_t clientInvokeID = kNone;
    uint64_t received = 0;
};

void TraceResponse(const OPCAgentStateResp& r) {
    EMSTraceMessage("AGENT_STATE_RESPONSE: InvokeID=0x%x ID=%s Periph=%d ClientType=%d Online=%c Ext=%s Inst=%s St=%s "
                    "Dur=%d Sig=%s STID=%d SGID=0x%x SGSTID=%d NumGroups=%d NumLines=%d CurLine=%d MRDID=%d "
                    "NumTasks=%d MaxTaskLimit=%d MaxBeyondTaskLimit=%d AgentMode=%d AgtAvailStatus=%d, "
                    "UniqueInstanceID=%s",
                    r.InvokeID, r.AgentID.c_str(), r.PeripheralID, static_cast<int>(ConvertPeripheralType(r.PeripheralType)),
                    r.PeripheralOnline != 0 ? 'Y' : 'N', r.AgentExtension.c_str(), r.AgentInstrument.c_str(),
                    AgentStateASName(r.AgentState), static_cast<int>(r.StateDuration), r.ClientSignature.c_str(),
                    static_cast<int>(r.SkillTargetID), r.SkillGroupNumberWord, static_cast<int>(r.SkillGroupSkillTargetID),
                    r.NumSkillGroups, r.NumLines, r.CurrentLine, static_cast<int>(r.MRDomainID),
                    static_cast<int>(r.NumTasks), static_cast<int>(r.MaxTaskLimit), static_cast<int>(r.MaxBeyondTaskLimit),
                    static_cast<int>(r.AgentMode), static_cast<int>(r.AgentAvailabilityStatus), r.UniqueInstanceID.c_str());
}

void TraceSkillGroups(const OPCAgentStateResp& r) {
    std::string line;
    for (size_t i = 0; i < r.SkillGroups.size(); ++i) {
        const OPCAgentSkillGroup& g = r.SkillGroups[i];
        uint32_t priority = g.NumberWord >> 24;
        if (priority == 0x80) priority = 0;
        line += model::Format("SG[%d]: ID=%d STID=%d Pri=%d St=%s; ", static_cast<int>(i),
                              static_cast<int>(g.NumberWord & 0xFFFFFF), static_cast<int>(g.SkillTargetID),
                              static_cast<int>(priority), AgentStateASName(g.State));
        if ((i > 0 && i % 20 == 0) || i + 1 == r.SkillGroups.size()) {
            EMSTraceMessage("%s", line.c_str());
            line.clear();
        }
    }
}

}  // namespace

void OpenRoad::ProcessAgentStateResponse(const uint8_t* body, size_t length) {
    OPCAgentStateResp r;
    const OPCBodyResult parsed = ParseAgentStateResp(body, length, &r);
    if (!parsed.ok) {
        EMSTraceMessage("CTIApplication::ProcessAgentStateResponse - malformed CTI_GET_AGENT_STATE_RESP: %s, dropped.",
                        parsed.Text().c_str());
        return;
    }
    const bool unsolicited = r.InvokeID == kNone;
    // The active side keeps its own picture; a standby side learns from these.
    if (unsolicited && queue_.IsActive()) return;
    const bool trace = (EMSGetTraceMask() & tracebit::TR_PROC_6) != 0;
    if (trace) TraceResponse(r);

    Waiting waiting;
    if (OPCReq* record = unsolicited ? nullptr : OPCReq::Find(r.InvokeID)) {
        const uint64_t now = FileTimeNow();
        model::Server().UpdateMeter(meter::OPCResponse,
                                    now > record->SendTime ? static_cast<int>((now - record->SendTime) / 10000) : 0);
        waiting = {true, record->PrivateCallFlags, record->SessionID, record->ClientInvokeID, record->ReceiveTime};
        OPCReq::Release(record);
    } else if (!r.UniqueInstanceID.empty()) {
        // After a failover the record is gone: the session that asked is found by its id.
        const int32_t sessionID = model::Sessions().FindSessionByUniqueInstanceID(r.UniqueInstanceID.c_str());
        if (sessionID != -1) waiting = {true, kWaitingQuery, sessionID, r.ClientInvokeID, FileTimeNow()};
    }

    if (r.PeripheralID != -1 && r.PeripheralType != -1)
        peripherals_.Add(static_cast<uint32_t>(r.PeripheralID), static_cast<uint16_t>(r.PeripheralType));
    // Answers of type 30 beside a first peripheral of type 12 do not list the skill groups.
    const bool keepSkillGroups = r.PeripheralType == 30 && peripherals_.GetFirstType() == 12;

    Agent* agent = nullptr;
    if (r.PeripheralID != -1 && !r.AgentID.empty()) {
        const int32_t peripheralID = r.PeripheralID;
        const bool definity = IsDefinityPeripheralType(peripherals_.GetType(static_cast<uint32_t>(peripheralID)));
        const bool loggedOn = r.AgentState != agentstate::UNKNOWN && r.AgentState != agentstate::LOGOUT;
        const bool instrumentUsable = !r.AgentInstrument.empty() && r.AgentInstrument[0] != '-';
        const std::string extension =
            !r.AgentExtension.empty() && r.AgentExtension[0] == '-' ? std::string() : r.AgentExtension;
        CTICSTADevice* device = nullptr;
        if (loggedOn && instrumentUsable) {
            CSTAExtendedDeviceID id;
            model::CopyDeviceID(id.deviceID, r.AgentInstrument.c_str());
            device = FindOrCreateCTICSTADevice(static_cast<uint32_t>(peripheralID), &id, extension.c_str(),
                                               "AgentStateResponse", definity, true);
        }
        agent = Agent::FindAgentByAgentID(peripheralID, r.AgentID.c_str(), definity);
        const AgentConfig* config = AgentConfig::FindAgentConfig(static_cast<int32_t>(r.SkillTargetID));
        if (config == nullptr)
            EMSTraceMessage("No Agent Configuration available for SkillTargetID %d", static_cast<int>(r.SkillTargetID));
        {
            model::ServerLockGuard guard(model::ServerLock());
            if (agent == nullptr) {
                agent = new Agent(peripheralID, r.PeripheralType, static_cast<int32_t>(r.SkillTargetID),
                                  static_cast<int32_t>(r.AgentTeamID), r.AgentID.c_str(), r.AgentExtension.c_str(),
                                  r.AgentInstrument.c_str(), r.Supervisor != 0);
                if (config != nullptr) agent->SetDepartmentID(config->DepartmentID);
            } else {
                // The SkillTargetID keys one of the agent's tables: it stays as first reported.
                agent->SetAgentTeamID(static_cast<int32_t>(r.AgentTeamID));
                if (config != nullptr) agent->SetDepartmentID(config->DepartmentID);
            }
            agent->SetSupervisor(r.Supervisor != 0);
        }
        SetAgentDevice(agent, device);
        if (loggedOn) {
            bool sameExtension, sameInstrument;
            {
                model::ServerLockGuard guard(model::ServerLock());
                sameExtension = agent->HasExtension() && agent->m_Extension == r.AgentExtension;
                sameInstrument = agent->HasInstrument() && agent->GetInstrumentNumber() == r.AgentInstrument;
            }
            if (!sameExtension) agent->SetExtension(r.AgentExtension.c_str());
            if (!sameInstrument) agent->SetInstrument(r.AgentInstrument.c_str());
        }
        (void)agent->UpdateAgentState(r.AgentState, static_cast<int32_t>(r.StateDuration),
                                      static_cast<int32_t>(r.MRDomainID), agentstate::UNKNOWN, 0,
                                      static_cast<int32_t>(r.SkillGroupSkillTargetID), r.SkillGroupNumberWord,
                                      r.NumLines, r.CurrentLine, r.ClientSignature.c_str(),
                                      r.UniqueInstanceID.c_str(), unsolicited);
        if (!keepSkillGroups) {
            agent->InitSkillGroups();
            for (const OPCAgentSkillGroup& g : r.SkillGroups)
                if (g.NumberWord != kNone)
                    (void)agent->UpdateSkillGroupState(g.State, 0, g.NumberWord,
                                                       static_cast<int32_t>(g.SkillTargetID));
        }
        if (trace && !r.SkillGroups.empty()) TraceSkillGroups(r);

        const uint32_t clientInvokeID = waiting.found ? waiting.clientInvokeID : r.ClientInvokeID;
        for (const OPCAgentLine& line : r.Lines) {
            if (line.CallID != kNone) {
                if (trace) {
                    std::string source, dest;
                    AppendConnectionIDText(source, static_cast<int32_t>(line.CallID),
                                           static_cast<int32_t>(line.SourceDeviceIDType), line.SourceDeviceID.c_str());
                    AppendConnectionIDText(dest, static_cast<int32_t>(line.CallID),
                                           static_cast<int32_t>(line.DestDeviceIDType), line.DestDeviceID.c_str());
                    EMSTraceMessage("                      Line[%d]: Type=%s SrcCallID=%s DestCallID=%s",
                                    static_cast<int>(line.LineIndex), LineTypeName(static_cast<int32_t>(line.LineType)),
                                    source.c_str(), dest.c_str());
                }
                const auto sourceType = static_cast<uint16_t>(line.SourceDeviceIDType);
                const auto destType = static_cast<uint16_t>(line.DestDeviceIDType);
                Call* call = Call::FindCall(static_cast<uint32_t>(peripheralID), line.CallID, sourceType,
                                            line.SourceDeviceID.c_str(), 0);
                if (call == nullptr) {
                    call = Call::Alloc(static_cast<uint32_t>(peripheralID), line.CallID, sourceType,
                                       line.SourceDeviceID.c_str(), r.PeripheralType, CallTypeOfLine(line.LineType), 0,
                                       0, 0);
                    call->SetDestDeviceID(destType, line.DestDeviceID.c_str());
                    if (MDSIO::IsServerActive() && clientInvokeID != kNone) {
                        (void)SendGetCallDataReq(static_cast<uint32_t>(peripheralID), line.CallID, sourceType,
                                                 line.SourceDeviceID);
                        BeginCallEventMSG begin(model::Server().TraceECCVariables(),
                                                model::Server().TracePeriphVariables());
                        call->GetCallContext(begin);
                        if (ValidateMessage("ProcessAgentStateResponse", begin))
                            (void)SessionProtocol::WriteMSG(nullptr, peripheralID, begin, SessionProtocol::DistributeAllEvents);
                    }
                    call->MarkReported();
                }
            }
            agent->AddCallToLine(static_cast<int32_t>(line.CallID), static_cast<int32_t>(line.SourceDeviceIDType),
                                 line.SourceDeviceID.c_str(), static_cast<int32_t>(line.LineIndex),
                                 static_cast<int32_t>(line.LineType));
        }
    }

    if (!waiting.found || !MDSIO::IsServerActive()) return;
    ClientCB* client = ClientCB::Find(waiting.sessionID);
    if (client == nullptr) return;  // the session went meanwhile: only the model changed
    switch (waiting.kind) {
        case kWaitingOpen:
            OpenValidAgent(client, agent, static_cast<uint16_t>(r.PeripheralType), r.PeripheralOnline != 0 ? 1 : 0);
            break;
        default:
            // The agent-state query and the task monitor start are answered from here once
            // their handlers exist.
            EMSTraceMessage("CTIApplication::ProcessAgentStateResponse - SessionID %d: request kind %u is not served "
                            "yet.",
                            static_cast<int>(waiting.sessionID), waiting.kind);
            break;
    }
}
