// Binding agent-mode sessions to their agents, settling two sessions that claim one agent,
// and binding agents to their devices.
#include "parlo/app/openroad.h"

#include <memory>
#include <string>

#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appperipherals.h"
#include "parlo/app/appqueue.h"
#include "parlo/app/appseams.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/clientseams.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agent.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/app/appport.h"
#include "parlo/session/session.h"

using namespace openroad;
using model::ServerLock;
using model::ServerLockGuard;

namespace {
constexpr int32_t kVoiceMRD = 1;

bool AgentTrace(uint32_t bits) { return (EMSGetTraceMask() & bits) != 0; }

}  // namespace

void OpenRoad::RefuseSession(ClientCB* client, uint32_t code) {
    if (client->GetOpenReq() != nullptr)
        FailClientOpen(client, code);
    else
        (void)SessionProtocol::SendFailureEventMSG(client->GetSessionID(), code, true);
}

int OpenRoad::CompleteAgentAssociation(ClientCB* client, Agent* agent, int sendBeginCalls) {
    const int32_t sessionID = client->GetSessionID();
    std::string agentID, extension, instrument, stateName, signature;
    int32_t peripheralID = 0;
    {
        ServerLockGuard guard(ServerLock());
        agentID = agent->GetAgentID();
        extension = agent->m_Extension;
        instrument = agent->GetInstrumentNumber();
        stateName = AgentStateASName(agent->GetOverallState());
        signature = agent->GetSignature();
        peripheralID = agent->GetPeripheralID();
    }
    // Only what the session named is compared.
    const char* mismatch = nullptr;
    if (!client->GetAgentID().empty() && client->GetAgentID() != agentID) {
        EMSTraceMessage("Inconsistent Agent ID - Session:%d Client:%s REJECTED (%s AgentExt:%s AgentID:%s vs. "
                        "ClientAgentID:%s)",
                        sessionID, client->GetClientID().c_str(), stateName.c_str(), client->GetAgentExtension().c_str(),
                        agentID.c_str(), client->GetAgentID().c_str());
        mismatch = "AgentID";
    } else if (!client->GetAgentExtension().empty() && client->GetAgentExtension() != extension) {
        EMSTraceMessage("Inconsistent Agent extension - Session:%d Client:%s REJECTED (%s AgentID:%s AgentExt:%s vs. "
                        "ClientAgentExt:%s)",
                        sessionID, client->GetClientID().c_str(), stateName.c_str(), client->GetAgentID().c_str(),
                        extension.c_str(), client->GetAgentExtension().c_str());
        mismatch = "extension";
    } else if (!client->GetAgentInstrument().empty() && client->GetAgentInstrument() != instrument) {
        EMSTraceMessage("Inconsistent Agent instrument - Session:%d Client:%s REJECTED (%s AgentID:%s AgentInst:%s "
                        "vs. ClientAgentInst:%s)",
                        sessionID, client->GetClientID().c_str(), stateName.c_str(), client->GetAgentID().c_str(),
                        instrument.c_str(), client->GetAgentInstrument().c_str());
        mismatch = "instrument";
    }
    if (mismatch != nullptr) {
        RefuseSession(client, E_CTI_INCONSISTENT_AGENT_DATA);
        return 0;
    }

    model::ClientInfo bound;
    if (agent->GetClientCB(bound) && bound.sessionID != sessionID) {
        ClientCB* existing = ClientCB::Find(bound.sessionID);
        if (existing != nullptr && !ResolveAgentConflict(client, existing)) return 0;
    }
    if (client->GetClientSignature() != signature) {
        GetClientSeams().SendSetClientStatusRequest(sessionID, 1,
                                                    NewAssociatedAgent(agentID, peripheralID, {kVoiceMRD}),
                                                    client->GetClientSignature().c_str());
    }
    {
        ServerLockGuard guard(ServerLock());
        client->BindAgent(agent);
        const model::ClientInfo info = client->Info();
        agent->SetClientCB(&info);
    }

    CTICSTADevice* device = nullptr;
    {
        ServerLockGuard guard(ServerLock());
        device = agent->m_Device;
    }
    if (device == nullptr) {
        const int16_t type = peripherals_.GetType(static_cast<uint32_t>(peripheralID));
        device = FindCTICSTADevice(static_cast<uint32_t>(peripheralID), 0, instrument.c_str(),
                                   IsDefinityPeripheralType(type));
        if (device != nullptr) {
            EMSTraceMessage("*** *** CompleteAgentAssociation: CSTADEVICE FOR AGENT(%s) NOT SET, CORRECTING ...",
                            agentID.c_str());
            SetAgentDevice(agent, device);
        } else {
            EMSTraceMessage("*** *** CompleteAgentAssociation: CSTADEVICE FOR AGENT(%s) NOT SET, NO DEVICE FOR "
                            "INSTRUMENT %s ***",
                            agentID.c_str(), instrument.c_str());
        }
    }
    if (device != nullptr) {
        if (AgentTrace(tracebit::TR_PROC_6)) {
            ServerLockGuard guard(ServerLock());
            device->TraceDeviceState();
        }
        auto* monitor = static_cast<CTICSTAMonitor*>(client->MonitorList().First());
        bool moved = false;
        {
            ServerLockGuard guard(ServerLock());
            if (monitor != nullptr && monitor->m_Subject != device) {
                monitor->SetSubject(device);
                moved = true;
                if (AgentTrace(tracebit::TR_PROC_7))
                    EMSTraceMessage("CompleteAgentAssociation: Monitor(%d) Subject -> Device(%s).",
                                    static_cast<int>(monitor->m_MonitorID), device->m_DeviceID.c_str());
            }
        }
        if (moved && sendBeginCalls) monitor->SendBeginCalls(model::Server().CallStateTraceOn());
    }
    {
        ServerLockGuard guard(ServerLock());
        client->AdoptAgentNames(agentID, extension, instrument);
        // A session that waited for its agent's login leaves the wait as it is bound.
        ClientCB::RemoveFromLoginWait(client);
        client->SetState(ClientCB::OPEN);
    }
    return 1;
}

int OpenRoad::ResolveAgentConflict(ClientCB* newClient, ClientCB* existing) {
    EMSTraceMessage("Agent conflict (ID:%s Ext:%s Inst:%s) with client \"%s\" session %d at %s(%s:%d) ...",
                    existing->GetAgentID().c_str(), existing->GetAgentExtension().c_str(),
                    existing->GetAgentInstrument().c_str(), existing->GetClientID().c_str(), existing->GetSessionID(),
                    existing->GetHostName().c_str(), existing->GetHostAddress().c_str(),
                    static_cast<int>(existing->GetHostPort()));
    if (newClient->GetClientID() == existing->GetClientID() &&
        newClient->GetClientSignature() == existing->GetClientSignature()) {
        EMSTraceMessage("  New client \"%s\" session %d at %s(%s:%d) ACCEPTED", newClient->GetClientID().c_str(),
                        newClient->GetSessionID(), newClient->GetHostName().c_str(), newClient->GetHostAddress().c_str(),
                        static_cast<int>(newClient->GetHostPort()));
        // The older session ends; its record goes with its close. It stops waiting now, so
        // that the agent's login completes the session that replaced it.
        (void)SessionProtocol::SendFailureEventMSG(existing->GetSessionID(), E_CTI_NEW_SESSION_OPENED, true);
        {
            ServerLockGuard guard(ServerLock());
            ClientCB::RemoveFromLoginWait(existing);
        }
        return 1;
    }
    EMSTraceMessage("  New client \"%s\" session %d at %s(%s:%d) REJECTED", newClient->GetClientID().c_str(),
                    newClient->GetSessionID(), newClient->GetHostName().c_str(), newClient->GetHostAddress().c_str(),
                    static_cast<int>(newClient->GetHostPort()));
    RefuseSession(newClient, E_CTI_DEVICE_IN_USE);
    return 0;
}

void OpenRoad::SetAgentDevice(Agent* agent, CTICSTADevice* device) {
    if (agent == nullptr || device == nullptr) return;
    ServerLockGuard guard(ServerLock());
    const Agent::DeviceChange change = agent->SetDevice(device);
    if (!AgentTrace(tracebit::TR_PROC_7)) return;
    if (change.previousDevice != nullptr)
        EMSTraceMessage("SetAgentDevice: Agent(%s) cleared from previous Device(%s).",
                        agent->GetAgentID().c_str(), change.previousDevice->m_DeviceID.c_str());
    if (change.agentMoved)
        EMSTraceMessage("SetAgentDevice: Agent(%s) -> Device(%s).", agent->GetAgentID().c_str(),
                        device->m_DeviceID.c_str());
    if (change.previousAgent != nullptr)
        EMSTraceMessage("SetAgentDevice: CSTADevice(%s) cleared from previous Agent(%s).",
                        device->m_DeviceID.c_str(), change.previousAgent->GetAgentID().c_str());
    if (change.deviceMoved)
        EMSTraceMessage("SetAgentDevice: CSTADevice(%s) -> Agent(%s).", device->m_DeviceID.c_str(),
                        agent->GetAgentID().c_str());
}
