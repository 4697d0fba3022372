// The open road: version and services, the application path, the agent look-up, the agent
// rules and the confirmation, each step on the application thread.
#include "parlo/app/openroad.h"

#include <cstdio>
#include <string>

#include "ctimsg/elementids.h"
#include "ctimsg/eventmasks.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/names.h"
#include "ctimsg/servicemask.h"
#include "ctimsg/statuscodes.h"
#include "nuvlib/ems.h"
#include "opcmsg/armapppath.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/appperipherals.h"
#include "parlo/app/appport.h"
#include "parlo/app/appqueue.h"
#include "parlo/app/clientcb.h"
#include "parlo/model/agent.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/model/ports.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"
#include "parlo/common/serverstate.h"
#include "parlo/session/session.h"

using namespace openroad;
using namespace servicemask;

namespace {

// The PG status bit that the open reads as the peripheral being offline.
constexpr int kPGStatusPeripheralOffline = 0x04;
// SystemEventIDs of a peripheral's status that an all-events client hears of at its open.
constexpr int32_t kPeripheralOnline = 3, kPeripheralOffline = 4;

bool TraceT1(const ClientCB* c) { return ClientCB::IsTraceOn(c, ClientCB::kTraceSession); }
bool TraceT2(const ClientCB* c) { return ClientCB::IsTraceOn(c, ClientCB::kTraceInput); }

int ElapsedMs(uint64_t since) {
    const uint64_t now = FileTimeNow();
    return now > since ? static_cast<int>((now - since) / 10000) : 0;
}

int ServerPGStatus() { return GetAppServerPort().GetPGStatus(); }

uint32_t ServerPGTime() { return static_cast<uint32_t>(GetAppServerPort().GetPGTime()); }

// Every session in a state that still wants an answer to its open.
bool SessionGone(int32_t sessionID) {
    SessionProtocol* master = SessionProtocol::Master();
    if (master == nullptr) return true;
    LockGuard<CTILockObject> hold(master->SessionLock(), "CTIApplication::OpenValidAgent");
    SessionProtocol* s = SessionProtocol::FindSession(static_cast<uint32_t>(sessionID));
    return s == nullptr || s->GetSessionState() == SessionProtocol::sessionFailed ||
           s->GetSessionState() == SessionProtocol::sessionClosed;
}

}  // namespace

// ---------------------------------------------------------------- step 1

void OpenRoad::ProcessOpenRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
    const uint32_t version = msg->GetUINT(elementid::VersionNumber);
    const uint32_t mask = msg->GetUINT(elementid::ServiceMask);
    const std::string clientID = ElementText(*msg, elementid::ClientID);
    if (ClientCB::Find(sessionID) != nullptr) {
        // The session layer refuses a second OPEN_REQ on a session before it comes here.
        EMSFailMessage("CTIApplication::ProcessOpenRequest - Duplicate sessionID %d (%s) - REJECTED",
                       static_cast<int>(sessionID), clientID.c_str());
    }
    const ClientCB::Host host{SessionProtocol::GetHostName(sessionID), SessionProtocol::GetHostAddress(sessionID), SessionProtocol::GetHostPort(sessionID)};
    // The record is in the hash from its construction: consoles may read it at once.
    model::ServerLockGuard guard(model::ServerLock());
    auto* client = new ClientCB(sessionID, clientID.c_str());
    client->AcceptOpenRequest(std::move(msg), host, received);
    guard.Release();
    if (TraceT1(client))
        EMSTraceMessage("CTIApplication::ProcessOpenRequest - sessionID %d from %s at %s(%s:%d), version %d",
                        static_cast<int>(sessionID), client->GetClientID().c_str(), client->GetHostName().c_str(),
                        client->GetHostAddress().c_str(), static_cast<int>(client->GetHostPort()),
                        static_cast<int>(version));

    const uint32_t forbidden = ForbiddenServiceBits(version);
    if (forbidden == UINT32_MAX) {
        if (TraceT2(client))
            EMSTraceMessage("CTIApplication::ProcessOpenRequest - Invalid protocol version %d - %d (%s) REJECTED",
                            static_cast<int>(version), static_cast<int>(sessionID), client->GetClientID().c_str());
        FailClientOpen(client, E_CTI_INVALID_VERSION);
        return;
    }
    if ((mask & forbidden) != 0) {
        if (TraceT2(client))
            EMSTraceMessage("CTIApplication::ProcessOpenRequest - Invalid service mask 0x%x - %d (%s) REJECTED", mask,
                            static_cast<int>(sessionID), client->GetClientID().c_str());
        FailClientOpen(client, E_CTI_INVALID_SERVICE_MASK);
        return;
    }
    const uint32_t exclusive = mask & (CLIENT_EVENTS | ALL_EVENTS | PERIPHERAL_MONITOR);
    if ((exclusive & (exclusive - 1)) != 0) {
        if (TraceT2(client))
            EMSTraceMessage("CTIApplication::ProcessOpenRequest - Mutually exclusive services (mask 0x%x) - %d (%s) "
                            "REJECTED",
                            exclusive, static_cast<int>(sessionID), client->GetClientID().c_str());
        FailClientOpen(client, E_CTI_INVALID_SERVICE_MASK);
        return;
    }
    const bool prerequisiteMissing = (mask & (CALL_DATA_UPDATE | CLIENT_CONTROL)) != 0 && exclusive == 0;
    const bool supervisorAlone = (mask & (SUPERVISOR | CLIENT_EVENTS | ALL_EVENTS | PERIPHERAL_MONITOR)) == SUPERVISOR;
    for (bool refused : {prerequisiteMissing, supervisorAlone})
        if (refused && TraceT2(client))
            EMSTraceMessage("CTIApplication::ProcessOpenRequest - prerequisite services not requested (mask 0x%x) - "
                            "%d (%s) REJECTED",
                            mask, static_cast<int>(sessionID), client->GetClientID().c_str());
    if (prerequisiteMissing || supervisorAlone) {
        FailClientOpen(client, E_CTI_INVALID_SERVICE_MASK);
        return;
    }
    // Counted from here on: every later refusal and the record's end lower it again.
    AddNumClients(1);
    client->MarkCounted();
    OpenValidAppPath(client);
}

// ---------------------------------------------------------------- step 2

void OpenRoad::OpenValidAppPath(ClientCB* client) {
    BaseMSG* request = client->GetOpenReq();
    if (request != nullptr && request->Present(elementid::ApplicationPathID)) {
        AppServerPort& server = GetAppServerPort();
        const uint32_t invokeID = server.GetUniqueID();
        OPCReq* record = OPCReq::Allocate(client->GetSessionID(), 0, invokeID);
        record->SendTime = FileTimeNow();
        ARMAppPathUpReqMsg up;
        up.SetInvokeID(static_cast<int32_t>(invokeID));
        up.SetApplicationPathID(static_cast<int32_t>(client->GetApplicationPathID()));
        up.SetSessionID(client->GetSessionID());
        up.SetSide(server.GetSide() != 0 ? 1 : 0);
        client->SetState(ClientCB::APP_PATH_VALIDATION);
        if (!SendARMMsg(up)) {
            // The writer has released the record: no answer will come.
            EMSTraceMessage("CTIApplication::OpenValidAppPath - SessionID %d: the application path request was "
                            "not sent.",
                            client->GetSessionID());
            FailClientOpen(client, E_CTI_UNSPECIFIED_FAILURE);
        }
        return;
    }
    if ((client->GetServiceMask() & AGENT_REPORTING) != 0) {
        if (TraceT2(client)) EMSTraceMessage("CTIApplication::OpenValidAppPath - ARM open failed -- appPathID not present");
        FailClientOpen(client, E_CTI_INVALID_MR_DOMAIN);
        return;
    }
    OpenValidClient(client);
}

// ---------------------------------------------------------------- step 3

void OpenRoad::OpenValidClient(ClientCB* client) {
    if (client->GetState() == ClientCB::APP_PATH_VALIDATION) {
        ARMClientInfoPtr info = ClientCB::GetARMClientInfo(client);
        if (!info) {
            EMSTraceMessage("CTIApplication::OpenValidClient - internal error -- no ARMClientInfo");
        } else if (info->Status != 0) {
            if (TraceT2(client))
                EMSTraceMessage("CTIApplication::OpenValidClient - ARM open failed, status = %d - %d (%s) REJECTED",
                                static_cast<int>(info->Status), client->GetSessionID(), client->GetClientID().c_str());
            FailClientOpen(client, E_CTI_INVALID_MR_DOMAIN);
            return;
        } else {
            client->SetState(ClientCB::OPEN_VALIDATION);
        }
    }
    BaseMSG* request = client->GetOpenReq();
    if ((client->GetServiceMask() & CLIENT_EVENTS) != 0 && request != nullptr) {
        client->ClaimAgentOfOpenRequest();
        const int32_t peripheralID = client->GetPeripheralID();
        Agent* known = nullptr;
        if (!client->GetAgentExtension().empty()) {
            known = Agent::FindAgentByExtension(peripheralID, client->GetAgentExtension().c_str());
        } else if (!client->GetAgentID().empty()) {
            known = Agent::FindAgentByAgentID(
                peripheralID, client->GetAgentID().c_str(),
                IsDefinityPeripheralType(peripherals_.GetType(static_cast<uint32_t>(peripheralID))));
        } else if (!client->GetAgentInstrument().empty()) {
            known = Agent::FindAgentByInstrument(peripheralID, client->GetAgentInstrument().c_str());
        }
        int32_t skillTargetID = 0;
        {
            model::ServerLockGuard guard(model::ServerLock());
            if (known != nullptr) skillTargetID = known->GetSkillTargetID();
        }
        const uint32_t invokeID = GetAppServerPort().GetUniqueID();
        OPCReq* record = OPCReq::Allocate(client->GetSessionID(), 0, invokeID);
        record->PrivateCallFlags = kWaitingOpen;
        record->SendTime = FileTimeNow();
        char tag[64];
        std::snprintf(tag, sizeof tag, "%s - SessionID %ld:", "OpenValidClient", static_cast<long>(client->GetSessionID()));
        client->SetState(ClientCB::AGENT_VALIDATION);
        if (!SendGetAgentStateReq(invokeID, static_cast<uint32_t>(peripheralID), 1, static_cast<uint32_t>(skillTargetID),
                                  client->GetAgentExtension(), client->GetAgentID(), client->GetAgentInstrument(), tag, 0,
                                  client->GetSessionID())) {
            // Refused by the writer (which released the record): no answer will come.
            FailClientOpen(client, E_CTI_UNSPECIFIED_FAILURE);
        }
        return;
    }
    if ((client->GetServiceMask() & CLIENT_EVENTS) != 0 && TraceT1(client))
        EMSTraceMessage("CTIApplication::OpenValidClient Invalid Object CurMsg = 0x%x", 0u);
    const int online = (ServerPGStatus() & kPGStatusPeripheralOffline) != 0 ? 0 : 1;
    OpenValidAgent(client, nullptr, 0, online);
}

// ---------------------------------------------------------------- step 4

void OpenRoad::OpenValidAgent(ClientCB* client, Agent* agent, uint16_t peripheralType, int online) {
    const int32_t sessionID = client->GetSessionID();
    if (client->GetOpenReq() == nullptr) {
        // Not an open in progress (an answer that came twice): the session stays as it is.
        if (TraceT1(client)) EMSTraceMessage("CTIApplication::OpenValidAgent Invalid Object CurMsg = 0x%x", 0u);
        (void)SessionProtocol::FailOpen(sessionID, E_CTI_UNSPECIFIED_FAILURE);
        return;
    }
    const uint32_t mask = client->GetServiceMask();
    if ((mask & SUPERVISOR) != 0) {
        bool supervisor = false;
        if (agent != nullptr) {
            model::ServerLockGuard guard(model::ServerLock());
            supervisor = agent->IsSupervisor();
        }
        if (agent != nullptr && supervisor) {
            if (TraceT2(client))
                EMSTraceMessage("CTIApplication::OpenValidAgent - supervisor service (mask 0x%x) - %d (%s) OPENING",
                                mask, sessionID, client->GetClientID().c_str());
        } else if (agent != nullptr) {
            if (TraceT2(client))
                EMSTraceMessage("CTIApplication::OpenValidAgent - Invalid Service Type (mask 0x%x)- %d (%s) REJECTED",
                                mask, sessionID, client->GetClientID().c_str());
            FailClientOpen(client, E_CTI_INVALID_SERVICE_MASK);
            return;
        } else if ((mask & (ALL_EVENTS | PERIPHERAL_MONITOR)) == 0) {
            if (TraceT2(client))
                EMSTraceMessage("CTIApplication::OpenValidAgent - Invalid Agent - %d (%s) REJECTED", sessionID,
                                client->GetClientID().c_str());
            FailClientOpen(client, E_CTI_INVALID_AGENT_DATA);
            return;
        }
    }
    bool associated = false;
    if ((mask & CLIENT_EVENTS) == 0) {
        client->SetState(ClientCB::OPEN);
    } else {
        if (peripheralType == 0xFFFF) {
            if (TraceT2(client))
                EMSTraceMessage("CTIApplication::OpenValidAgent - Unknown peripheralID %d - %d (%s) REJECTED",
                                client->GetPeripheralID(), sessionID, client->GetClientID().c_str());
            FailClientOpen(client, E_CTI_INVALID_PERIPHERAL_ID);
            return;
        }
        if (CTICSTAMonitor* monitor = CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, sessionID, nullptr)) {
            model::ServerLockGuard guard(model::ServerLock());
            monitor->SetMasks(client->GetCallMsgMask(), client->GetAgentStateMask(), client->GetTaskMsgMask());
        }
        bool loggedOn = false;
        if (agent != nullptr) {
            model::ServerLockGuard guard(model::ServerLock());
            loggedOn = agent->GetOverallState() != agentstate::UNKNOWN && agent->GetOverallState() != agentstate::LOGOUT;
        }
        if (loggedOn) {
            if (!CompleteAgentAssociation(client, agent, 0)) return;
            associated = true;
        } else if (IsAgentLoginRequired()) {
            if (TraceT2(client))
                EMSTraceMessage("CTIApplication::OpenValidAgent - Agent not logged on - %d (%s) REJECTED", sessionID,
                                client->GetClientID().c_str());
            FailClientOpen(client, E_CTI_AGENT_NOT_LOGGED_ON);
            return;
        } else if (!LoginWait(client)) {
            return;
        }
    }
    ConfirmClientOpen(client, agent, peripheralType, online, associated);
}

void OpenRoad::ConfirmClientOpen(ClientCB* client, Agent* agent, uint16_t peripheralType, int online,
                                       bool associated) {
    const int32_t sessionID = client->GetSessionID();
    BaseMSG& request = *client->GetOpenReq();
    const int32_t ctiPeripheralID = request.GetINT(elementid::CTIPeripheralID);
    const uint32_t mask = client->GetServiceMask();
    const bool agentMode = (mask & CLIENT_EVENTS) != 0;
    auto* monitor = agentMode ? static_cast<CTICSTAMonitor*>(client->MonitorList().First()) : nullptr;

    if (client->GetHostAddress().empty() || client->GetHostPort() == 0) {
        EMSTraceMessage("CTIApplication::OpenValidAgent: invalid m_HostAddress & m_HostPort");
    } else {
        ClientSessionOpenedEventMSG opened;
        opened.SetUINT(elementid::SessionID, static_cast<uint32_t>(sessionID));
        opened.SetUINT(elementid::CTIPeripheralID, static_cast<uint32_t>(ctiPeripheralID));
        opened.SetUINT(elementid::ServiceMask, mask);
        opened.SetUINT(elementid::CallMsgMask, client->GetCallMsgMask());
        opened.SetUINT(elementid::AgentStateMask, client->GetAgentStateMask());
        opened.SetUINT(elementid::ClientPort, client->GetHostPort());
        opened.SetSTRINGMax(elementid::ClientAddress, client->GetHostAddress());
        opened.SetSTRINGMax(elementid::ClientID, client->GetClientID());
        opened.SetSTRINGMax(elementid::ClientSignature, client->GetClientSignature());
        if (client->HasAgentExtension()) opened.SetSTRINGMax(elementid::AgentExtension, client->GetAgentExtension());
        if (client->HasAgentID()) opened.SetSTRINGMax(elementid::AgentID, client->GetAgentID());
        if (client->HasAgentInstrument()) opened.SetSTRINGMax(elementid::AgentInstrument, client->GetAgentInstrument());
        if (!ValidateMessage("ClientSessionOpenedEvent", opened))
            EMSTraceMessage("CTIApplication::OpenValidAgent: invalid ClientSessionOpenedEventMSG");
        else
            (void)SessionProtocol::WriteMSG(nullptr, 0, opened, SessionProtocol::DistributeClientMonitor);
    }

    AppServerPort& server = GetAppServerPort();
    OpenConfMSG conf;
    conf.SetUINT(elementid::InvokeID, request.GetUINT(elementid::InvokeID));
    conf.SetUINT(elementid::ServiceMask, mask);
    conf.SetUINT(elementid::MonitorID, monitor != nullptr ? monitor->m_MonitorID : 0);
    conf.SetUINT(elementid::PGStatus, static_cast<uint32_t>(ServerPGStatus()));
    conf.SetUINT(elementid::CCTimestamp, ServerPGTime());
    conf.SetBOOL(elementid::PeripheralOnline, online != 0 ? 1 : 0);
    int32_t agentType = 0;
    if (agent != nullptr) {
        model::ServerLockGuard guard(model::ServerLock());
        conf.SetUSHORT(elementid::CTIAgentState, static_cast<uint16_t>(agent->GetOverallState()));
        if (!agent->m_Extension.empty()) conf.SetSTRINGMax(elementid::AgentExtension, agent->m_Extension);
        if (!agent->GetAgentID().empty()) conf.SetSTRINGMax(elementid::AgentID, agent->GetAgentID());
        const std::string instrument = agent->GetInstrumentNumber();
        if (!instrument.empty()) conf.SetSTRINGMax(elementid::AgentInstrument, instrument);
        conf.SetINT(elementid::DepartmentID, agent->GetDepartmentID());
        agentType = agent->GetPeripheralType();
    } else {
        conf.SetINT(elementid::DepartmentID, -1);
        conf.SetUSHORT(elementid::CTIAgentState, static_cast<uint16_t>(agentstate::UNKNOWN));
    }
    // The peripheral's type: the one named, else the agent's, the answer's, the server's.
    int32_t type = 0;
    const std::vector<AppServerPort::Peripheral> peripherals = server.GetPeripherals();
    if (ctiPeripheralID != 0 && ctiPeripheralID != -1) {
        for (const AppServerPort::Peripheral& p : peripherals)
            if (p.peripheralID == ctiPeripheralID) {
                type = p.type;
                break;
            }
    } else {
        type = agentType;
        if (type == 0) type = peripheralType;
        if (type == 0) type = server.GetAgentPeripheralClientType(nullptr);
    }
    conf.SetUSHORT(elementid::PeripheralType, static_cast<uint16_t>(ConvertPeripheralType(type)));
    const bool serverActive = server.GetState() == serverstate::ACTIVE;
    conf.SetUSHORT(elementid::SessionType, serverActive ? 1 : 2);
    if (!serverActive) {
        client->SetConfigPeripheral(static_cast<uint32_t>(ctiPeripheralID));
    }
    uint32_t listed = 0;
    for (const AppServerPort::Peripheral& p : peripherals) {
        if (ctiPeripheralID != -1 && p.peripheralID != ctiPeripheralID) continue;
        conf.SetUINT(elementid::FltPeripheralID, static_cast<uint32_t>(p.peripheralID), listed);
        conf.SetUINT(elementid::MultiLineAgentControl, static_cast<uint32_t>(p.multiline), listed);
        ++listed;
    }
    conf.SetUINT(elementid::NumPeripherals, listed);
    if (server.GetState() == serverstate::STANDBY) {
        SessionFacts session;
        if (FindSessionFacts(sessionID, session))
            Agent::AssociateClient(sessionID, session.uniqueInstanceID.c_str());
    }

    const int confirmed = SessionProtocol::ConfirmOpen(sessionID, conf, client->GetOpenRequestTime(), associated);
    client->TakeOpenReq().reset();
    if (!confirmed) {
        if (TraceT1(client))
            EMSTraceMessage("CTIApplication::OpenValidAgent from sessionID %d (%s) - FAILED (%d ms)", sessionID,
                            client->GetClientID().c_str(), ElapsedMs(client->GetOpenRequestTime()));
        // Whatever made the confirmation fail, the session will not be served: the record
        // goes now, with its binding, its wait and its count, and a session still standing
        // is ended so that the client is not left waiting.
        DestroyOpeningClient(client);
        if (!SessionGone(sessionID)) (void)SessionProtocol::FailSessionByID(sessionID, E_CTI_UNSPECIFIED_FAILURE);
        return;
    }
    if (TraceT1(client))
        EMSTraceMessage("CTIApplication::OpenValidAgent from sessionID %d (%s) - ACCEPTED (%d ms)", sessionID,
                        client->GetClientID().c_str(), ElapsedMs(client->GetOpenRequestTime()));
    if ((mask & ALL_EVENTS) != 0 && MDSIO::IsServerActive()) {
        for (const AppServerPort::Peripheral& p : peripherals) {
            const int32_t status = server.GetPeripheralStatus(p.peripheralID);
            if (status != kPeripheralOnline && status != kPeripheralOffline) continue;
            SystemEventMSG event;
            event.SetUINT(elementid::PGStatus, static_cast<uint32_t>(ServerPGStatus()));
            event.SetUINT(elementid::CCTimestamp, ServerPGTime());
            event.SetUINT(elementid::SystemEventID, static_cast<uint32_t>(status));
            event.SetUINT(elementid::SystemEventArg1, static_cast<uint32_t>(p.peripheralID));
            event.SetUINT(elementid::SystemEventArg2, 0);
            event.SetUINT(elementid::SystemEventArg3, 0);
            event.SetUSHORT(elementid::EventDeviceType, 0xFFFF);
            if (ValidateMessage("OpenValidAgent", event)) (void)SessionProtocol::WriteMSG(nullptr, 0, event, SessionProtocol::DistributeAllEvents);
        }
    }
    if (monitor != nullptr) monitor->SendBeginCalls(model::Server().CallStateTraceOn());
}

// ---------------------------------------------------------------- waiting for the agent

int OpenRoad::LoginWait(ClientCB* client) {
    if (!client->GetAgentInstrument().empty()) {
        const int16_t type = peripherals_.GetType(static_cast<uint32_t>(client->GetPeripheralID()));
        CTICSTADevice* device = FindCTICSTADevice(static_cast<uint32_t>(client->GetPeripheralID()), 0,
                                                  client->GetAgentInstrument().c_str(), IsDefinityPeripheralType(type));
        std::string otherID, otherState;
        bool hasOther = false;
        {
            model::ServerLockGuard guard(model::ServerLock());
            if (auto* other = device != nullptr ? static_cast<Agent*>(device->m_Agent) : nullptr) {
                hasOther = true;
                otherID = other->GetAgentID();
                otherState = AgentStateASName(other->GetOverallState());
            }
        }
        if (!hasOther) {
            EMSTraceMessage("*** In LoginWait otherAgentP == NULL");
        } else {
            EMSTraceMessage("*** In LoginWait Agent ID %s Instrument:%s ", otherID.c_str(),
                            client->GetAgentInstrument().c_str());
            if (client->GetAgentID() != otherID) {
                EMSTraceMessage("Inconsistent Agent ID for Instrument %s - Session:%d Client:%s REJECTED (%s "
                                "AgentID:%s vs. ClientAgentID:%s)",
                                client->GetAgentInstrument().c_str(), client->GetSessionID(), client->GetClientID().c_str(),
                                otherState.c_str(), otherID.c_str(), client->GetAgentID().c_str());
                if (client->GetOpenReq() != nullptr)
                    FailClientOpen(client, E_CTI_INCONSISTENT_AGENT_DATA);
                else
                    (void)SessionProtocol::SendFailureEventMSG(client->GetSessionID(), E_CTI_INCONSISTENT_AGENT_DATA, true);
                return 0;
            }
        }
    }
    // The waiting sessions that claim the same agent, gathered first: settling a conflict
    // fails sessions, which must not change the queue under the walk.
    std::vector<ClientCB*> rivals;
    {
        model::ServerLockGuard guard(model::ServerLock());
        auto same = [](const std::string& a, const std::string& b) { return !a.empty() && a == b; };
        for (void* p = loginWait_.First(); p != nullptr; p = loginWait_.Next(p)) {
            auto* waiting = static_cast<ClientCB*>(p);
            if (waiting == client || waiting->GetPeripheralID() != client->GetPeripheralID()) continue;
            if (same(waiting->GetAgentID(), client->GetAgentID()) ||
                same(waiting->GetAgentExtension(), client->GetAgentExtension()) ||
                same(waiting->GetAgentInstrument(), client->GetAgentInstrument()))
                rivals.push_back(waiting);
        }
    }
    for (ClientCB* waiting : rivals)
        if (!ResolveAgentConflict(client, waiting)) return 0;
    {
        model::ServerLockGuard guard(model::ServerLock());
        if (client->IsInLoginWait())
            EMSFailMessage("Assertion failed: %s.  File: %s.  Line %d\n", "!newClientCB->m_QueueThread.IsQueued()",
                           __FILE__, __LINE__);
        client->SetState(ClientCB::AGENT_LOGIN_WAIT);
        loginWait_.Append(client);
    }
    if (TraceT2(client))
        EMSTraceMessage("*** AgentLoginWait Session:%d Client:%s (AgentID:%s Ext:%s Inst:%s) ...", client->GetSessionID(),
                        client->GetClientID().c_str(), client->GetAgentID().c_str(), client->GetAgentExtension().c_str(),
                        client->GetAgentInstrument().c_str());
    return 1;
}

// ---------------------------------------------------------------- refusal

void OpenRoad::FailClientOpen(ClientCB* client, uint32_t code) {
    const int32_t sessionID = client->GetSessionID();
    const std::string clientID = client->GetClientID();
    (void)SessionProtocol::FailOpen(sessionID, code);
    DestroyOpeningClient(client);
    // What is left of the session in the application: nothing, unless something is wrong.
    int bound = 0;
    {
        model::ServerLockGuard guard(model::ServerLock());
        for (int b = 0; b < Agent::kHashBuckets; ++b)
            for (Agent* a = Agent::FirstInBucket(b); a != nullptr; a = a->NextInBucket())
                if (a->ClientSessionID() == sessionID || a->AssociateSessionID() == sessionID) ++bound;
    }
    EMSTraceMessage("CTIApplication::FailClientOpen - SessionID %d (%s) refused with %s; record %s, clients %d, "
                    "waiting %d, bound agents %d, OPC requests %d",
                    static_cast<int>(sessionID), clientID.c_str(), StatusCodeName(static_cast<int32_t>(code)),
                    ClientCB::Find(sessionID) != nullptr ? "kept" : "gone", static_cast<int>(GetNumClients()),
                    static_cast<int>(loginWait_.Count()), bound, OPCReq::CountLive());
}

void OpenRoad::DestroyOpeningClient(ClientCB* client) {
    client->TakeOpenReq().reset();
    if (client->TakeCounted()) AddNumClients(-1);
    delete client;  // out of the hash and the wait queue, its agent links undone
}
