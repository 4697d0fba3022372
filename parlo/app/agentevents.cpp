// CTI_AGENT_EVENT: OPC's report of every agent state change, applied to the agents, their
// devices and their sessions, and told to the sessions and monitors that want it.
#include "parlo/app/agentevents.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "opcmsg/agentmsgs.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appperipherals.h"
#include "parlo/app/appqueue.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/clientseams.h"
#include "parlo/app/openroad.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentconfig.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/mrdomain.h"
#include "parlo/model/ports.h"
#include "parlo/model/remask.h"
#include "parlo/session/distributor.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/session/session.h"

using model::ServerLock;
using model::ServerLockGuard;

namespace {

constexpr uint32_t kVoiceMRD = 1;
constexpr uint32_t kNoSkillGroup = 0xFFFFFFFFu;
constexpr uint32_t kTraceAgentEvents = tracebit::TR_PROC_7, kTraceSessions = tracebit::TR_PROC_5;

// An extension or instrument that begins with '-' means none.
bool IsNone(const std::string& text) { return text.empty() || text[0] == '-'; }
std::string Given(const std::string& text) { return IsNone(text) ? std::string() : text; }

bool TraceBitOn(uint32_t bit) { return (EMSGetTraceMask() & bit) != 0; }
bool TraceSession(const ClientCB* client) {
    return TraceBitOn(kTraceSessions) || (client != nullptr && (client->GetTraceFlags() & ClientCB::kTraceInput) != 0);
}

void TraceRecord(const OPCAgentEventRecord& r) {
    if (!TraceBitOn(kTraceAgentEvents)) return;
    if (r.SkillGroupState == agentstate::BUSY_OTHER && r.AgentState == agentstate::RESERVED) {
        EMSTraceMessage("AGENT_EVENT: ID=%s SGSt=%s Periph=%d Ext=%s Inst=%s Sig=%s UniqueInstID=%s "
                        "MRDID=%d STID=%d SGID=0x%x SGSTID=%d Dir=%ld TerminalName=%s",
                        r.AgentID.c_str(), AgentStateASName(agentstate::BUSY_OTHER),
                        static_cast<int>(r.PeripheralID), r.AgentExtension.c_str(),
                        r.AgentInstrument.c_str(), r.ClientSignature.c_str(),
                        r.UniqueInstanceID.c_str(), static_cast<int>(r.MRDomainID),
                        static_cast<int>(r.SkillTargetID), r.SkillGroupNumberWord,
                        static_cast<int>(r.SkillGroupSkillTargetID), static_cast<long>(r.Direction),
                        r.TerminalDeviceName.c_str());
        return;
    }
    EMSTraceMessage("AGENT_EVENT: ID=%s Periph=%d Ext=%s Inst=%s Sig=%s UniqueInstID=%s SGSt=%s "
                    "SGDur=%d St=%s Dur=%d Reason=%d MRDID=%d NumTasks=%d MaxTaskLimit=%d "
                    "MaxBeyondTaskLimit=%d AgtMode=%d AGTAvailStatus=%d DAVAgtID=%d STID=%d "
                    "SGID=0x%x SGSTID=%d NumLines=%d CurLine=%d ClientStatus=0x%x Dir=%ld "
                    "TerminalName=%s",
                    r.AgentID.c_str(), static_cast<int>(r.PeripheralID), r.AgentExtension.c_str(),
                    r.AgentInstrument.c_str(), r.ClientSignature.c_str(), r.UniqueInstanceID.c_str(),
                    AgentStateASName(r.SkillGroupState), static_cast<int>(r.SkillGroupStateDuration),
                    AgentStateASName(r.AgentState), static_cast<int>(r.StateDuration),
                    static_cast<int>(r.EventReasonCode), static_cast<int>(r.MRDomainID),
                    static_cast<int>(r.NumTasks), static_cast<int>(r.MaxTaskLimit),
                    static_cast<int>(r.MaxBeyondTaskLimit), static_cast<int>(r.AgentMode),
                    static_cast<int>(r.AgentAvailabilityStatus), static_cast<int>(r.SkillTargetID),
                    static_cast<int>(r.SkillTargetID), r.SkillGroupNumberWord,
                    static_cast<int>(r.SkillGroupSkillTargetID), static_cast<int>(r.NumLines),
                    static_cast<int>(r.CurrentLine), r.ClientStatus, static_cast<long>(r.Direction),
                    r.TerminalDeviceName.c_str());
}

// The agent's configuration record: its terminal name takes the record's, and its
// DepartmentID is returned (-1 without a record).
[[nodiscard]] bool ApplyAgentConfig(const OPCAgentEventRecord& r, int32_t& departmentID) {
    ServerLockGuard guard(ServerLock());
    const AgentConfig* config = AgentConfig::FindAgentConfig(r.SkillTargetID);
    if (config == nullptr) {
        EMSTraceMessage("No Agent Configuration available for SkillTargetID %d",
                        static_cast<int>(r.SkillTargetID));
        return false;
    }
    departmentID = config->DepartmentID;
    AgentConfig::SetTerminalDeviceName(r.SkillTargetID, r.TerminalDeviceName);
    return true;
}

// A new agent, as the record names it; allocation failure is fatal.
Agent* CreateAgent(const OPCAgentEventRecord& r) {
    auto* agent = new (std::nothrow)
        Agent(static_cast<int32_t>(r.PeripheralID), r.PeripheralType, r.SkillTargetID,
              static_cast<int32_t>(r.AgentTeamID), r.AgentID.c_str(), Given(r.AgentExtension).c_str(),
              Given(r.AgentInstrument).c_str(), false);
    if (agent == nullptr)
        EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                       static_cast<int>(sizeof(Agent)), __FILE__, __LINE__);
    return agent;
}

// AGENT_STATE_EVENT for one record; the extension and instrument are given by the caller.
void BuildAgentStateEvent(AgentStateEventMSG& msg, const OPCAgentEventRecord& r, Agent& agent,
                          int32_t sessionID, const std::string& extension,
                          const std::string& instrument) {
    const bool groupUnknown = r.SkillGroupState == agentstate::UNKNOWN;
    const uint32_t word = r.SkillGroupNumberWord;
    const uint32_t priority = word >> 24;
    msg.SetUINT(elementid::MonitorID, 0);
    msg.SetUINT(elementid::CTIPeripheralID, r.PeripheralID);
    msg.SetUINT(elementid::SessionID, static_cast<uint32_t>(sessionID));
    msg.SetUSHORT(elementid::PeripheralType, static_cast<uint16_t>(ConvertPeripheralType(r.PeripheralType)));
    msg.SetUSHORT(elementid::SkillGroupState,
                  static_cast<uint16_t>(groupUnknown ? r.AgentState : r.SkillGroupState));
    msg.SetUINT(elementid::StateDuration, groupUnknown ? r.StateDuration : r.SkillGroupStateDuration);
    msg.SetUINT(elementid::SkillGroupNumber, word == kNoSkillGroup ? kNoSkillGroup : word & 0xFFFFFF);
    msg.SetUINT(elementid::SkillGroupID, r.SkillGroupSkillTargetID);
    msg.SetUSHORT(elementid::SkillGroupPriority,
                  static_cast<uint16_t>(word == kNoSkillGroup || priority == 0x80 ? 0 : priority));
    msg.SetUSHORT(elementid::CTIAgentState, static_cast<uint16_t>(r.AgentState));
    msg.SetUSHORT(elementid::EventReasonCode, r.EventReasonCode);
    msg.SetINT(elementid::MRDID, static_cast<int32_t>(r.MRDomainID));
    msg.SetUINT(elementid::NumTasks, r.NumTasks);
    msg.SetUSHORT(elementid::AgentMode, static_cast<uint16_t>(r.AgentMode));
    msg.SetUINT(elementid::MaxTaskLimit, r.MaxTaskLimit);
    msg.SetINT(elementid::ZURAgentID, r.SkillTargetID);
    msg.SetUINT(elementid::AgentAvailabilityStatus, r.AgentAvailabilityStatus);
    msg.SetUSHORT(elementid::NumFltSkillGroups, 0);
    msg.SetINT(elementid::DepartmentID, agent.GetDepartmentID());
    msg.SetUINT(elementid::Direction, r.Direction);
    if (!r.ClientSignature.empty()) msg.SetSTRING(elementid::ClientSignature, r.ClientSignature);
    if (!r.AgentID.empty()) msg.SetSTRING(elementid::AgentID, r.AgentID);
    if (!extension.empty()) msg.SetSTRING(elementid::AgentExtension, extension);
    if (!instrument.empty()) msg.SetSTRING(elementid::AgentInstrument, instrument);
    msg.SetUINT(elementid::MaxBeyondTaskLimit, r.MaxBeyondTaskLimit);
    if (!r.TerminalDeviceName.empty()) msg.SetSTRING(elementid::TerminalDeviceName, r.TerminalDeviceName);
    UpdateREMaskInMSG(&msg, agent.m_Device);
}

// The agent-mode session bound to the agent, or null (hold the server lock).
ClientCB* AgentModeClient(const Agent& agent) {
    return agent.ClientSessionID() == -1 ? nullptr : ClientCB::Find(agent.ClientSessionID());
}

// Tells OPC which client acts for the agent on the voice domain.
void SendClientStatus(const Agent& agent, int32_t sessionID, uint32_t status,
                      const std::string& signature) {
    GetClientSeams().SendSetClientStatusRequest(
        sessionID, status,
        NewAssociatedAgent(agent.GetAgentID(), agent.GetPeripheralID(), {static_cast<int32_t>(kVoiceMRD)}),
        signature.c_str());
}

// OPC's idea of the agent's client brought in line with ours (one request at a time).
void ReconcileClientStatus(const OPCAgentEventRecord& r, const Agent& agent) {
    if (agent.IsClientStatusRequested()) return;
    const bool opcHasClient = (r.ClientStatus & 1) != 0;
    ServerLockGuard guard(ServerLock());
    const ClientCB* associated =
        agent.AssociateSessionID() == -1 ? nullptr : ClientCB::Find(agent.AssociateSessionID());
    if (associated != nullptr && !associated->GetAssociatedAgents().empty() &&
        (associated->GetServiceMask() & (servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR)) != 0) {
        if (!opcHasClient || associated->GetClientSignature() != agent.GetSignature())
            SendClientStatus(agent, associated->GetSessionID(), 1, associated->GetClientSignature());
    } else if (const ClientCB* own = AgentModeClient(agent)) {
        if (!opcHasClient || own->GetClientSignature() != agent.GetSignature())
            SendClientStatus(agent, own->GetSessionID(), 1, own->GetClientSignature());
    } else if (opcHasClient || !r.ClientSignature.empty()) {
        SendClientStatus(agent, 0, 0, "");
    }
}

// Every monitor of the agent's team sees the event (a team may have several supervisors).
void WriteToTeamMonitors(int32_t teamID, BaseMSG& msg) {
    ServerLockGuard guard(ServerLock());
    AgentTeam* team = AgentTeam::FindAgentTeam(teamID);
    if (team == nullptr) return;
    StdQueue& monitors = team->MonitorList();
    for (auto* m = static_cast<CTICSTAMonitor*>(monitors.First()); m != nullptr;
         m = static_cast<CTICSTAMonitor*>(monitors.Next(m)))
        m->WriteMSG(&msg);
}

}  // namespace

void AgentEvents::ProcessAgentEvent(const uint8_t* body, size_t length) {
    std::vector<OPCAgentEventRecord> records;
    const OPCBodyResult parsed = ParseAgentEvent(body, length, &records);
    if (!parsed.ok) {
        EMSTraceMessage("CTIApplication::ProcessAgentEvent - malformed CTI_AGENT_EVENT dropped: %s",
                        parsed.Text().c_str());
        return;
    }
    for (const OPCAgentEventRecord& record : records) {
        TraceRecord(record);
        const bool enabled = MDSIO::IsServerActive() != 0;
        if (record.MRDomainID != kVoiceMRD)
            ProcessNonVoiceAgentEvent(record, enabled);
        else
            ProcessVoiceAgentEvent(record, enabled);
    }
}

void AgentEvents::ProcessNonVoiceAgentEvent(const OPCAgentEventRecord& r, bool enabled) {
    MRDomain* domain = MRDomain::FindOrCreateMRDomain(static_cast<int32_t>(r.MRDomainID), "");
    if (r.SkillTargetID < 0) {
        EMSTraceMessage("CTIApplication::ProcessAgentEvent: NULL Agent SkillTargetID.");
        return;
    }
    Agent* agent = Agent::FindAgentBySkillTargetID(static_cast<int32_t>(r.PeripheralID), r.SkillTargetID);
    int32_t departmentID = -1;
    const bool configured = ApplyAgentConfig(r, departmentID);
    if (agent == nullptr) agent = CreateAgent(r);
    if (configured) agent->SetDepartmentID(departmentID);
    agent->SetAgentMRDState(static_cast<int32_t>(r.MRDomainID), static_cast<uint16_t>(r.AgentState));
    if (!enabled) return;
    int32_t sessionID = 0;
    {
        ServerLockGuard guard(ServerLock());
        if (const ClientCB* own = AgentModeClient(*agent)) sessionID = own->GetSessionID();
    }
    AgentStateEventMSG msg;
    BuildAgentStateEvent(msg, r, *agent, sessionID, Given(r.AgentExtension), Given(r.AgentInstrument));
    if (!ValidateMessage("ProcessAgentEvent", msg)) return;
    (void)SessionProtocol::WriteMSG(nullptr, 0, msg, SessionProtocol::DistributeAllTaskEvents);
    if (domain != nullptr) domain->WriteMSG(msg);
    agent->WriteMSG(msg);
}

void AgentEvents::ProcessVoiceAgentEvent(const OPCAgentEventRecord& r, bool enabled) {
    peripherals_.Add(r.PeripheralID, r.PeripheralType);
    if (r.AgentID.empty()) {
        EMSTraceMessage("CTIApplication::ProcessAgentEvent - voice record without AgentID "
                        "(PeripheralID %d, SkillTargetID %d) dropped.",
                        static_cast<int>(r.PeripheralID), static_cast<int>(r.SkillTargetID));
        return;
    }
    const int32_t peripheralID = static_cast<int32_t>(r.PeripheralID);
    const bool loggedOn = r.AgentState != agentstate::UNKNOWN && r.AgentState != agentstate::LOGOUT;
    int changed = 0;

    CTICSTADevice* device = nullptr;
    if (loggedOn && !IsNone(r.AgentInstrument)) {
        CSTAExtendedDeviceID id;
        r.AgentInstrument.copy(id.deviceID, sizeof id.deviceID - 1);
        device = FindOrCreateCTICSTADevice(r.PeripheralID, &id, Given(r.AgentExtension).c_str(),
                                           "AgentEvent",
                                           IsDefinityPeripheralType(static_cast<int16_t>(r.PeripheralType)),
                                           true);
    }

    Agent* agent = Agent::FindAgentByAgentID(peripheralID, r.AgentID.c_str(),
                                             IsDefinityPeripheralType(peripherals_.GetType(r.PeripheralID)));
    int32_t departmentID = -1;
    const bool configured = ApplyAgentConfig(r, departmentID);
    if (agent == nullptr) {
        agent = CreateAgent(r);
        changed = 1;
    } else {
        if (agent->GetSkillTargetID() != r.SkillTargetID) agent->SetSkillTargetID(r.SkillTargetID);
        agent->SetAgentTeamID(static_cast<int32_t>(r.AgentTeamID));
    }
    if (configured) agent->SetDepartmentID(departmentID);
    if (device != nullptr) road_.SetAgentDevice(agent, device);

    changed |= agent->UpdateAgentState(r.AgentState, static_cast<int32_t>(r.StateDuration),
                                       static_cast<int32_t>(r.MRDomainID), r.SkillGroupState,
                                       static_cast<int32_t>(r.SkillGroupStateDuration),
                                       static_cast<int32_t>(r.SkillGroupSkillTargetID),
                                       r.SkillGroupNumberWord, r.NumLines, r.CurrentLine,
                                       r.ClientSignature.c_str(), r.UniqueInstanceID.c_str(), true);
    if (r.SkillGroupState == agentstate::LOGOUT && r.SkillGroupNumberWord != kNoSkillGroup) changed = 1;
    if (r.AgentState == agentstate::LOGOUT) agent->CountLogout();
    if (r.AgentState == agentstate::NOT_READY && agent->IsReasonCodeChanged(r.EventReasonCode)) changed = 1;
    changed |= agent->UpdateAvailabilityStatus(r.AgentAvailabilityStatus);
    agent->SetDirection(static_cast<int32_t>(r.Direction));

    if (enabled) ReconcileClientStatus(r, *agent);

    if (loggedOn) {
        const std::string extension = Given(r.AgentExtension);
        if (!(agent->HasExtension() ? agent->m_Extension == extension : extension.empty())) {
            agent->SetExtension(r.AgentExtension.c_str());
            changed = 1;
        }
        const std::string instrument = Given(r.AgentInstrument);
        if (!(agent->HasInstrument() ? agent->GetInstrumentNumber() == instrument : instrument.empty())) {
            agent->SetInstrument(r.AgentInstrument.c_str());
            changed = 1;
        }
    }
    if (device != nullptr && device->GetNumConnections() > 0 &&
        (r.AgentState == agentstate::LOGOUT || r.AgentState == agentstate::NOT_READY || r.AgentState == agentstate::AVAILABLE)) {
        // Freeing the last connection deletes a device no agent holds: look it up again.
        const std::string deviceID = device->m_DeviceID;
        device->RemoveInactiveConnections();
        device = FindCTICSTADevice(r.PeripheralID, 0, deviceID.c_str(), false);
    }

    if (!enabled) {
        ProcessAgentLogout(r, agent, enabled);
        return;
    }

    if (loggedOn && agent->HasExtension() && !Given(agent->m_Extension).empty())
        CompleteAgentLoginWait(r, agent);

    if (loggedOn) {
        ServerLockGuard guard(ServerLock());
        model::ClientInfo current;
        if (!agent->GetAssociateClientCB(current)) {
            if (ClientCB* client = ClientCB::FindByAssociatedAgent(agent->GetAgentID().c_str(),
                                                                   agent->GetPeripheralID())) {
                const model::ClientInfo info = client->Info();
                agent->SetAssociateClientCB(&info);
                SendClientStatus(*agent, client->GetSessionID(), 1, client->GetClientSignature());
            }
        }
        agent->CountLogin();
    }

    if (changed) {
        int32_t sessionID = 0;
        {
            ServerLockGuard guard(ServerLock());
            if (const ClientCB* own = AgentModeClient(*agent)) sessionID = own->GetSessionID();
        }
        const std::string extension = agent->HasExtension() ? Given(agent->m_Extension) : std::string();
        const std::string instrument =
            agent->HasInstrument() ? Given(agent->GetInstrumentNumber()) : std::string();
        AgentStateEventMSG msg;
        BuildAgentStateEvent(msg, r, *agent, sessionID, extension, instrument);
        if (ValidateMessage("ProcessAgentEvent", msg)) {
            agent->CountAgentState(r.AgentState);
            (void)FilterAgentEventToAllEventClients(*agent, msg);
            agent->SetReasonCode(r.AgentState == agentstate::NOT_READY ? r.EventReasonCode : 0);
            if (CTICSTADevice* at = device != nullptr ? device : agent->m_Device) at->WriteMSG(msg, nullptr);
            WriteToTeamMonitors(agent->GetAgentTeamID(), msg);
        }
    }
    ProcessAgentLogout(r, agent, enabled);
}

void AgentEvents::CompleteAgentLoginWait(const OPCAgentEventRecord& r, Agent* agent) {
    const std::string extension = agent->HasExtension() ? Given(agent->m_Extension) : std::string();
    const std::string instrument =
        agent->HasInstrument() ? Given(agent->GetInstrumentNumber()) : std::string();
    ClientCB* waiting = nullptr;
    {
        ServerLockGuard guard(ServerLock());
        for (auto* c = static_cast<ClientCB*>(loginWait_.First()); c != nullptr;
             c = static_cast<ClientCB*>(loginWait_.Next(c))) {
            if (c->GetPeripheralID() != agent->GetPeripheralID()) continue;
            const bool byID = !c->GetAgentID().empty() && c->GetAgentID() == r.AgentID;
            const bool byExtension = !extension.empty() && c->GetAgentExtension() == extension;
            const bool byInstrument = !instrument.empty() && c->GetAgentInstrument() == instrument;
            if (byID || byExtension || byInstrument) {
                waiting = c;
                break;
            }
        }
        if (waiting == nullptr) return;
        if (TraceSession(waiting))
            EMSTraceMessage("*** AgentLoginWait completed Session:%d Client:%s (AgentID:%s Ext:%s "
                            "Inst:%s) ...",
                            waiting->GetSessionID(), waiting->GetClientID().c_str(), r.AgentID.c_str(),
                            extension.c_str(), instrument.c_str());
        ClientCB::RemoveFromLoginWait(waiting);
        waiting->SetState(ClientCB::AGENT_LOGIN_RESUMED);
    }
    (void)SessionProtocol::CompleteOpen(waiting->GetSessionID(), extension.c_str());
    (void)road_.CompleteAgentAssociation(waiting, agent, 1);
}

void AgentEvents::ProcessAgentLogout(const OPCAgentEventRecord& r, Agent* agent, bool enabled) {
    if (agent == nullptr || (r.AgentState != agentstate::UNKNOWN && r.AgentState != agentstate::LOGOUT)) return;
    if (!enabled && r.AgentState != agentstate::LOGOUT) return;
    if (CTICSTADevice* device = agent->m_Device) {
        if (r.AgentState == agentstate::LOGOUT && device->GetNumConnections() > 0) {
            EMSTraceMessage("*** ProcessAgentEvent: Removing Device(%s) call connections at agent(%s) "
                            "logout ***",
                            device->m_DeviceID.c_str(), agent->GetAgentID().c_str());
            device->TraceDeviceState();
            device->RemoveAllConnections();
        }
        const std::string deviceID = device->m_DeviceID;
        agent->SetDevice(nullptr);
        if (TraceBitOn(kTraceAgentEvents))
            EMSTraceMessage("ProcessAgentEvent: Agent(%s) cleared from Device(%s).",
                            agent->GetAgentID().c_str(), deviceID.c_str());
    }
    if (!enabled) return;

    ServerLockGuard guard(ServerLock());
    ClientCB* client = AgentModeClient(*agent);
    if (client == nullptr) return;
    const int32_t sessionID = client->GetSessionID();
    if (road_.IsAgentLoginRequired()) {
        if (TraceSession(client))
            EMSTraceMessage("CTIApplication::ProcessAgentEvent - Agent no longer logged on - %d (%s) "
                            "TERMINATED",
                            sessionID, client->GetClientID().c_str());
        guard.Release();
        (void)SessionProtocol::SendFailureEventMSG(sessionID, E_CTI_AGENT_NOT_LOGGED_ON, true);
        return;
    }
    if (client->GetState() == ClientCB::AGENT_LOGIN_WAIT) return;
    if (!client->HasAgentExtension()) {
        (void)SessionProtocol::CompleteOpen(sessionID, "");
        if (auto* monitor = static_cast<CTICSTAMonitor*>(client->MonitorList().First())) {
            monitor->SetSubject(nullptr);
            if (TraceBitOn(kTraceAgentEvents))
                EMSTraceMessage("ProcessAgentEvent: Monitor(%d) Subject cleared.",
                                static_cast<int>(monitor->m_MonitorID));
        }
    }
    if (!client->HasAgentID()) ClientCB::ClearAgentAssociations(client);
    // The names the open did not give were the agent's: they go with it.
    client->ForgetUnclaimedAgentNames();
    guard.Release();
    (void)road_.LoginWait(client);
}
