// The call-control requests that name an agent: emergency call and supervisor assist for the
// session's own agent, and a supervisor's action on an agent's call.
#include <algorithm>
#include <string>
#include <utility>

#include "ctimsg/elementids.h"
#include "ctimsg/failurecodes.h"
#include "ctimsg/servicemask.h"
#include "opcmsg/cstarequests.h"
#include "parlo/app/callroad.h"
#include "parlo/app/clientcb.h"
#include "parlo/model/agent.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"

namespace callroad {
namespace {

constexpr uint32_t kWatchesPeripheral = servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR;
// Supervisory actions that keep the client's own supervisor call ID.
constexpr uint16_t kMonitor = 1, kBargeIn = 3;

bool WatchesPeripheral(const ClientCB& client) { return (client.GetServiceMask() & kWatchesPeripheral) != 0; }

// Emergency call and supervisor assist: the session's own agent, or any agent for a session
// that watches the peripheral.
template <class Request>
Verdict ForOwnAgent(CallRequest& r, const char* prefix) {
    Connection c = r.Named(el::ConnectionCallID, el::ConnectionDeviceIDType, el::ConnectionDeviceID);
    std::string extension = r.Text(el::AgentExtension), agentID = r.Text(el::AgentID);
    std::string instrument = r.instrument;
    if (r.agentMode) {
        const ClientCB& own = r.client;
        if (r.peripheralID == kNoCall) r.peripheralID = static_cast<uint32_t>(own.GetPeripheralID());
        if (extension.empty() && agentID.empty() && instrument.empty()) {
            extension = own.GetAgentExtension();
            agentID = own.GetAgentID();
            instrument = own.GetAgentInstrument();
        } else if (r.peripheralID != static_cast<uint32_t>(own.GetPeripheralID()) ||
                   (!extension.empty() && extension != own.GetAgentExtension()) ||
                   (!agentID.empty() && agentID != own.GetAgentID()) ||
                   (!instrument.empty() && instrument != own.GetAgentInstrument())) {
            return Refuse(kNotPrivileged);
        }
    } else if (!WatchesPeripheral(r.client)) {
        return Refuse(kInvalidState);
    }
    OPCReq* record = r.Open();
    auto request = r.Make<Request>(record);
    request.SetCall(static_cast<int32_t>(c.callID), c.deviceID.c_str(), c.type);
    request.SetPDAgentExtension(extension.c_str());
    request.SetPDAgentID(agentID.c_str());
    request.SetPDAgentInstrument(instrument.c_str());
    return r.Send(record, request, prefix);
}

Verdict EmergencyCall(CallRequest& r) { return ForOwnAgent<TPCSTAEmergencyCallMsg>(r, "ProcessEmergencyCallRequest"); }
Verdict SupervisorAssist(CallRequest& r) {
    return ForOwnAgent<TPCSTASupervisorAssistMsg>(r, "ProcessSupervisorAssistRequest");
}

// Whether the session may act on the agent's calls: it watches the peripheral, or its own
// agent supervises the agent's team. A session without an agent of its own (not agent-mode,
// or still waiting for its login) supervises no team.
bool MaySupervise(const ClientCB& client, const Agent& agent) {
    if (WatchesPeripheral(client)) return true;
    const Agent* own = client.GetAgent();
    if (own == nullptr) return false;
    model::ServerLockGuard guard(model::ServerLock());
    const AgentTeam* team = AgentTeam::FindAgentTeam(agent.GetAgentTeamID());
    return team != nullptr && std::find(team->m_SupervisorIDs.begin(), team->m_SupervisorIDs.end(),
                                        own->GetSkillTargetID()) != team->m_SupervisorIDs.end();
}

Verdict SuperviseCall(CallRequest& r) {
    Connection agentCall = r.Named(el::AgentConnectionCallID, el::AgentConnectionDeviceIDType, el::AgentConnectionDeviceID);
    Connection supervisorCall = r.Named(el::SupervisorConnectionCallID, el::SupervisorConnectionDeviceIDType,
                                        el::SupervisorConnectionDeviceID);
    const uint16_t action = r.msg.GetUSHORT(el::SupervisoryAction);
    const std::string extension = r.Text(el::AgentExtension), agentID = r.Text(el::AgentID);
    const std::string supervisorInstrument = r.Text(el::SupervisorInstrument);
    const int32_t periph = static_cast<int32_t>(r.peripheralID);

    const Agent* agent = nullptr;
    if (!extension.empty())
        agent = Agent::FindAgentByExtension(periph, extension.c_str());
    else if (!r.instrument.empty())
        agent = Agent::FindAgentByInstrument(periph, r.instrument.c_str());
    else if (!agentID.empty())
        agent = Agent::FindAgentByAgentID(periph, agentID.c_str(),
                                          IsDefinityPeripheralType(r.app.GetPeripheralType(r.peripheralID)));
    if (agent == nullptr || !MaySupervise(r.client, *agent)) return Refuse(kNotPrivileged);

    // The supervisor's own connection; monitor and barge-in keep the client's call ID.
    std::string supervisorDevice = supervisorCall.deviceID;
    int callKnown = 0;
    if (CTICSTAConnection* found = r.app.FindConnection(
            &r.client, r.peripheralID, supervisorCall.callID, supervisorCall.type, supervisorCall.deviceID.c_str(),
            supervisorInstrument.empty() ? nullptr : supervisorInstrument.c_str(), kAny, &callKnown)) {
        supervisorCall.type = static_cast<int16_t>(found->m_OPCDeviceIDType);
        if (action != kMonitor && action != kBargeIn && found->m_Call != nullptr)
            supervisorCall.callID = found->m_Call->m_CallID;
        supervisorDevice = supervisorInstrument;
    }

    // The agent's connection, not on the supervisor's own call.
    int agentCallKnown = 0;
    if (CTICSTAConnection* found = r.app.FindSupervisedConnection(
            &r.client, r.peripheralID, agentCall.callID, agentCall.type, agentCall.deviceID.c_str(),
            r.LookupInstrument(), kConnected, &agentCallKnown, supervisorCall.callID, supervisorDevice.c_str())) {
        agentCall.Take(found);
    } else {
        // The look-up tells of a known call only with a connection; a device was searched
        // (agent mode or an instrument), so a call of that identity is known as in the others.
        if (agentCallKnown == 0 && (r.agentMode || !r.instrument.empty()) &&
            Call::FindCall(r.peripheralID, agentCall.callID, agentCall.type, agentCall.deviceID.c_str(), 0) != nullptr)
            agentCallKnown = 1;
        if (agentCallKnown != 0) return Refuse(kGeneric);
        agentCall.callID = kNoCall;
        agentCall.deviceID = r.instrument;
    }
    const std::string instrument = r.SettleInstrument(agentCall.call, "SuperviseCallRequest");

    OPCReq* record = r.Open();
    auto request = r.Make<TPCSTASuperviseCallMsg>(record);
    request.SetAgentCall(static_cast<int32_t>(agentCall.callID), agentCall.deviceID.c_str(), agentCall.type);
    request.SetSupervisorCall(static_cast<int32_t>(supervisorCall.callID), supervisorInstrument.c_str(),
                              supervisorCall.type);
    request.SetAction(action);
    request.SetPDAgentExtension(extension.c_str());
    request.SetPDAgentID(agentID.c_str());
    request.SetPDAgentInstrument(instrument.c_str());
    request.SetPDSupervisorInstrument(supervisorInstrument.c_str());
    return r.Send(record, request, "ProcessSuperviseCallRequest");
}

// None of the three reads the WEXA CIL client ID; each checks the agent it names itself.
constexpr uint32_t kControl = servicemask::CLIENT_CONTROL;
constexpr Route kEmergency{"ProcessEmergencyCallRequest", "EmergencyCallRequest", kControl, false, true, false,
                           EmergencyCall};
constexpr Route kAssist{"ProcessSupervisorAssistRequest", "ProcessSupervisorAssistRequest", kControl, false, true,
                        false, SupervisorAssist};
constexpr Route kSupervise{"ProcessSuperviseCallRequest", "ProcessSuperviseCallRequest",
                           kControl | servicemask::SUPERVISOR, false, false, false, SuperviseCall};

}  // namespace
}  // namespace callroad

CALL_CONTROL_HANDLER(ProcessEmergencyCallRequest, kEmergency)
CALL_CONTROL_HANDLER(ProcessSupervisorAssistRequest, kAssist)
CALL_CONTROL_HANDLER(ProcessSuperviseCallRequest, kSupervise)
