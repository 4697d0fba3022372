// Client close and cleanup: CLOSE_REQ, the orderly close, the end of a session's record,
// agent removal by OPC, and a console's forced end.
#include "parlo/app/clientclose.h"

#include <memory>
#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "nuvlib/lockguard.h"
#include "opcmsg/agentmsgs.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/clientseams.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/common/ctilock.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/session/session.h"

namespace {
constexpr int32_t kVoiceMRD = 1;

// Agents whose agent-mode or voice session is this one (server lock held).
[[nodiscard]] int CountAgentsNaming(int32_t sessionID) {
    int bound = 0;
    for (int b = 0; b < Agent::kHashBuckets; ++b)
        for (Agent* a = Agent::FirstInBucket(b); a != nullptr; a = a->NextInBucket())
            if (a->ClientSessionID() == sessionID || a->AssociateSessionID() == sessionID) ++bound;
    return bound;
}

void SendClosedEvent(const ClientCB& client, int cause) {
    ClientSessionClosedEventMSG event;
    event.SetUINT(elementid::SessionID, static_cast<uint32_t>(client.GetSessionID()));
    event.SetUINT(elementid::CTIPeripheralID, static_cast<uint32_t>(client.GetPeripheralID()));
    event.SetUINT(elementid::Status, static_cast<uint32_t>(cause));
    event.SetUINT(elementid::ClientPort, client.GetHostPort());
    if (!client.GetHostAddress().empty())
        event.SetSTRINGMax(elementid::ClientAddress, client.GetHostAddress());
    event.SetSTRINGMax(elementid::ClientID, client.GetClientID());
    event.SetSTRINGMax(elementid::ClientSignature, client.GetClientSignature());
    if (!client.GetAgentExtension().empty())
        event.SetSTRINGMax(elementid::AgentExtension, client.GetAgentExtension());
    if (!client.GetAgentID().empty()) event.SetSTRINGMax(elementid::AgentID, client.GetAgentID());
    if (!client.GetAgentInstrument().empty())
        event.SetSTRINGMax(elementid::AgentInstrument, client.GetAgentInstrument());
    if (ValidateMessage("ClientSessionClosedEvent", event))
        (void)SessionProtocol::WriteMSG(nullptr, 0, event, SessionProtocol::DistributeClientMonitor);
}
}  // namespace

void ClientClose::ProcessCloseRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t) {
    CloseClient(sessionID, static_cast<int>(msg->GetUINT(elementid::Status)));
}

void ClientClose::KillClient(int sessionID) {
    // A console's forced end: the record is used under the server lock.
    model::ServerLockGuard guard(model::ServerLock());
    if (ClientCB* record = ClientCB::Find(sessionID)) {
        (void)KillClientSession(record, E_CTI_UNSPECIFIED_FAILURE);
    }
}

void ClientClose::CloseClient(int sessionID, int cause) {
    {
        // The session layer may destroy the record on its own thread: it is used under the
        // server lock from the look-up to its destruction.
        model::ServerLockGuard guard(model::ServerLock());
        ClientCB* client = ClientCB::Find(sessionID);
        if (client != nullptr) {
            if (ClientCB::IsTraceOn(client, ClientCB::kTraceSession))
                EMSTraceMessage("CTIApplication::CloseClient - sessionID %d, cause %s", sessionID,
                                StatusCodeName(cause));
            app_.UnregisterECCVariables(client);
            if (client->GetState() == ClientCB::OPEN || client->GetState() == ClientCB::AGENT_LOGIN_WAIT)
                SendClosedEvent(*client, cause);
            OPCReq::ReleaseSession(sessionID);
            // A standby-capable client closed for maintenance keeps its agents at OPC.
            const bool maintenance = (client->GetServiceMask() & servicemask::STANDBY_CAPABLE) != 0 &&
                                     cause == E_PARLO_IN_MAINTENANCE_MODE;
            ReleaseClientAgents(client, !maintenance);
            const std::string clientID = client->GetClientID();
            // A counted record lowers the client count as it goes.
            delete client;
            // What is left of the session in the application: nothing, unless something is wrong.
            EMSTraceMessage("CTIApplication::CloseClient - SessionID %d (%s) closed; clients %d, bound agents %d",
                            sessionID, clientID.c_str(), static_cast<int>(app_.GetNumClients()),
                            CountAgentsNaming(sessionID));
        }
    }
    bool known = false;
    {
        LockGuard<CTILockObject> hold(app_.SessionLock(), "CTIApplication::CloseClient");
        known = SessionProtocol::FindSession(static_cast<uint32_t>(sessionID)) != nullptr;
    }
    if (known)
        (void)SessionProtocol::CloseSession(sessionID);
    else if ((EMSGetTraceMask() & tracebit::kDefault) != 0)
        EMSTraceMessage("CTIApplication::CloseClient - sessionID %d not found", sessionID);
}

void ClientClose::ReleaseClientAgents(ClientCB* client, bool tellOPC) {
    model::ServerLockGuard guard(model::ServerLock());
    ClientSeams& seams = GetClientSeams();
    const int32_t sessionID = client->GetSessionID();
    const bool eventsEnabled = MDSIO::IsServerActive() != 0;
    if ((client->GetServiceMask() & servicemask::CLIENT_EVENTS) != 0 && client->GetAgent() != nullptr) {
        Agent* agent = client->UnbindAgent();
        // A session replaced by a newer one for the same agent leaves that binding alone.
        if (agent->ClientSessionID() == sessionID) {
            if (tellOPC && eventsEnabled)
                seams.SendSetClientStatusRequest(
                    sessionID, 0, NewAssociatedAgent(agent->GetAgentID(), agent->GetPeripheralID(), {kVoiceMRD}),
                    "");
            agent->SetClientCB(nullptr);
        }
        // Nothing is left for the record's own destruction to tell OPC about this agent.
        RemoveFromAssociateAgentList(client, agent->GetAgentID().c_str(), agent->GetPeripheralID(),
                                     kVoiceMRD);
    }
    if ((client->GetServiceMask() & (servicemask::ALL_EVENTS | servicemask::PERIPHERAL_MONITOR)) == 0) return;
    for (const ClientAssociatedAgentPtr& entry : client->TakeAssociatedAgents()) {
        Agent* agent = FindAssociatedAgent(*entry);
        if (agent == nullptr) continue;
        if (tellOPC)
            seams.SendSetClientStatusRequest(
                sessionID, 0, NewAssociatedAgent(entry->AgentID, entry->PeripheralID, entry->MRDIDs), "");
        // Every link still naming this session goes, the non-voice ones too: the SessionID is
        // reused later.
        UndoAgentLinks(agent, *entry, sessionID);
    }
}

void ClientClose::SendAppPathDownForAllClients() {
    model::ServerLockGuard guard(model::ServerLock());
    for (ClientCB* client : ClientCB::GetAllClients()) client->SendAppPathDownInd();
}

// ---------------------------------------------------------------- the session layer's hooks

void ClientClose::ClientCleanup(int32_t) {}

int ClientClose::SessionFailed(int32_t sessionID) {
    ClientCleanup(sessionID);
    return 1;
}

int ClientClose::SessionDestroyed(int32_t sessionID) {
    ClientCleanup(sessionID);
    // A session that ended without the application's close (broken connection, time-out,
    // refused open) leaves no record behind: no agent keeps naming it and it is not counted.
    ClientCB::DeleteBySessionID(sessionID);
    return 1;
}

// ---------------------------------------------------------------- agent removal

void ClientClose::ProcessAgentRemoved(const uint8_t* body, size_t length) {
    OPCAgentRemovedInd removed;
    const OPCBodyResult parsed = ParseAgentRemovedInd(body, length, &removed);
    if (!parsed.ok) {
        EMSTraceMessage("CTIApplication::ProcessAgentRemoved - malformed body of %d bytes, dropped.",
                        static_cast<int>(length));
        return;
    }
    const auto peripheralID = static_cast<int32_t>(removed.PeripheralID);
    const bool everyAgent = removed.AgentID.empty() || removed.AgentID == "-1";
    // CallLock, then the server lock: the removal frees private calls, and console listings
    // read the agent tables under the server lock.
    LockGuard<LockObject> calls(Call::GetCallLock());
    model::ServerLockGuard guard(model::ServerLock());
    if (!everyAgent) {
        const int type = model::Server().GetPeripheralType(peripheralID);
        Agent* agent = Agent::FindAgentByAgentID(peripheralID, removed.AgentID.c_str(),
                                                 IsDefinityPeripheralType(static_cast<int16_t>(type)));
        model::ClientInfo bound;
        if (agent != nullptr && agent->GetClientCB(bound)) return;
    }
    if ((EMSGetTraceMask() & tracebit::TR_PROC_7) != 0)
        EMSTraceMessage("AGENT_REMOVED: ID=%s Periph=%d", removed.AgentID.c_str(), peripheralID);
    Agent::RemoveAgent(peripheralID, removed.AgentID.c_str());
}
