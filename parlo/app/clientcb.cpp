#include "parlo/app/clientcb.h"

#include <array>
#include <type_traits>
#include <cstddef>

#include "ctimsg/elementids.h"
#include "ctimsg/servicemask.h"
#include "nuvlib/ems.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/clientseams.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/csta.h"
#include "parlo/model/modelutil.h"
#include "parlo/session/session.h"
#include "platform/clock.h"

using model::ServerLock;
using model::ServerLockGuard;

// The hash and the login-wait queue link records by offsetof.
static_assert(std::is_standard_layout_v<ClientCB>);

struct ClientCB::Hash {
    std::array<StdQueue, kHashBuckets> buckets;
    int count = 0;
    Hash() {
        for (StdQueue& b : buckets) b.SetLinkOffset(static_cast<int32_t>(offsetof(ClientCB, m_HashLinks)));
    }
    static Hash& Get() {
        static Hash hash;
        return hash;
    }
    // The bucket of a SessionID; null for a negative one (session IDs are positive).
    static StdQueue* Bucket(int32_t sessionID) {
        if (sessionID < 0) {
            EMSTraceMessage("Out of range sessionID : %d , passed to ClientCB::HashIndex.\n", sessionID);
            return nullptr;
        }
        return &Get().buckets[static_cast<size_t>(sessionID) % kHashBuckets];
    }
};

namespace {
constexpr uint32_t kEmsStateTrace = 0x212E000F;
constexpr int64_t kDaysThreshold = 259200;  // the list shows the age in days from 3 days on

ClientCB* AsClient(void* p) { return static_cast<ClientCB*>(p); }

int64_t NowSeconds() { return plat::RealtimeNs() / 1000000000; }

// The service letters of the dump, in their order.
std::string ServiceLetters(uint32_t mask) {
    using namespace servicemask;
    static constexpr struct {
        uint32_t bit;
        char letter;
    } kLetters[] = {{DEBUG, 'D'},          {CLIENT_EVENTS, 'C'},      {ALL_EVENTS, 'A'},
                    {PERIPHERAL_MONITOR, 'P'}, {CALL_DATA_UPDATE, 'U'}, {CLIENT_CONTROL, 'X'},
                    {CONNECTION_MONITOR, 'M'}, {CLIENT_MONITOR, 'S'},   {REMASK_SUBSCRIPTION, 'R'},
                    {STANDBY_CAPABLE, 'Z'}};
    std::string out;
    for (const auto& l : kLetters)
        if ((mask & l.bit) != 0) out += l.letter;
    return out;
}

// The eight flag positions of the list line.
std::string ListFlags(uint32_t mask) {
    using namespace servicemask;
    std::string f(8, ' ');
    if ((mask & DEBUG) != 0) f[0] = 'D';
    if ((mask & CLIENT_EVENTS) != 0)
        f[1] = 'C';
    else if ((mask & PERIPHERAL_MONITOR) != 0)
        f[1] = 'P';
    else if ((mask & ALL_EVENTS) != 0)
        f[1] = 'A';
    if ((mask & CALL_DATA_UPDATE) != 0) f[2] = 'U';
    if ((mask & CLIENT_CONTROL) != 0) f[3] = 'X';
    if ((mask & CONNECTION_MONITOR) != 0) f[4] = 'M';
    if ((mask & CLIENT_MONITOR) != 0) f[5] = 'S';
    if ((mask & REMASK_SUBSCRIPTION) != 0) f[6] = 'R';
    if ((mask & STANDBY_CAPABLE) != 0) f[7] = 'Z';
    return f;
}
}  // namespace

ClientCB::ClientCB(int32_t sessionID, const char* clientID)
    : m_SessionID(sessionID),
      m_ClientID(clientID != nullptr ? clientID : ""),
      m_CreationTime(NowSeconds()) {
    m_MonitorList.SetLinkOffset(CTICSTAMonitor::ClientLinkOffset());
    HashInsert(this);
    if (IsTraceOn(this, kTraceSession))
        EMSTraceMessage("*** Created ClientCB %d %s", m_SessionID, m_ClientID.c_str());
}

ClientCB::~ClientCB() {
    ServerLockGuard guard(ServerLock());
    if (m_State == AGENT_LOGIN_WAIT) {
        RemoveFromLoginWait(this);
        m_State = AGENT_LOGIN_RESUMED;
    }
    SendAppPathDownInd();
    TakeOpenReq().reset();
    GetClientSeams().UnregisterECCVariables(m_SessionID);
    // An agent-mode session keeps its list through the first pass (the agent is unbound);
    // the second undoes the list, so no agent names this session once it is gone.
    ClearAgentAssociations(this);
    ClearAgentAssociations(this);
    while (auto* monitor = static_cast<CTICSTAMonitor*>(m_MonitorList.First())) {
        CTICSTAMonitor::Free(monitor);
        if (m_MonitorList.First() == monitor) m_MonitorList.Remove(monitor);
    }
    HashRemove(this);
    if (IsTraceOn(this, kTraceSession))
        EMSTraceMessage("*** Destroyed ClientCB %d %s", m_SessionID, m_ClientID.c_str());
    m_ARMClientInfo = nullptr;
    m_AssociatedAgents.clear();
    if (m_CountedClient) {
        m_CountedClient = false;
        GetClientSeams().CountedClientGone();
    }
}

void ClientCB::InitHash() {
    ServerLockGuard guard(ServerLock());
    (void)Hash::Get();
}

void ClientCB::HashInsert(ClientCB* record) {
    ServerLockGuard guard(ServerLock());
    StdQueue* bucket = Hash::Bucket(record->m_SessionID);
    if (bucket == nullptr || record->m_HashLinks.IsQueued()) return;
    bucket->Append(record);
    ++Hash::Get().count;
}

void ClientCB::HashRemove(ClientCB* record) {
    ServerLockGuard guard(ServerLock());
    if (!record->m_HashLinks.IsQueued()) return;
    StdQueue* bucket = Hash::Bucket(record->m_SessionID);
    if (bucket == nullptr) return;
    bucket->Remove(record);
    record->m_HashLinks.Reset();
    --Hash::Get().count;
}

ClientCB* ClientCB::Find(int32_t sessionID) {
    ServerLockGuard guard(ServerLock());
    StdQueue* bucket = Hash::Bucket(sessionID);
    if (bucket == nullptr) return nullptr;
    for (void* p = bucket->First(); p != nullptr; p = bucket->Next(p))
        if (AsClient(p)->GetSessionID() == sessionID) return AsClient(p);
    return nullptr;
}

void ClientCB::DeleteBySessionID(int32_t sessionID) {
    ServerLockGuard guard(ServerLock());
    delete Find(sessionID);
}

void ClientCB::DeleteAll() {
    ServerLockGuard guard(ServerLock());
    for (StdQueue& bucket : Hash::Get().buckets)
        while (void* p = bucket.First()) delete AsClient(p);  // each unlinks itself
}

int ClientCB::Count() {
    ServerLockGuard guard(ServerLock());
    return Hash::Get().count;
}

void ClientCB::GetConfigClients(std::vector<ClientCB*>& out) {
    ServerLockGuard guard(ServerLock());
    for (StdQueue& bucket : Hash::Get().buckets)
        for (void* p = bucket.First(); p != nullptr; p = bucket.Next(p))
            if (AsClient(p)->m_ConfigFlag != 0) out.push_back(AsClient(p));
}

ClientCB* ClientCB::FindByAssociatedAgent(const char* agentID, int32_t peripheralID) {
    if (agentID == nullptr) return nullptr;
    ServerLockGuard guard(ServerLock());
    for (StdQueue& bucket : Hash::Get().buckets)
        for (void* p = bucket.First(); p != nullptr; p = bucket.Next(p))
            for (const ClientAssociatedAgentPtr& entry : AsClient(p)->m_AssociatedAgents)
                if (entry->AgentID == agentID && entry->PeripheralID == peripheralID)
                    return AsClient(p);
    return nullptr;
}

std::vector<ClientCB*> ClientCB::GetAppPathClients(uint32_t applicationPathID) {
    constexpr size_t kMaxAppPathClients = 4;
    std::vector<ClientCB*> out;
    ServerLockGuard guard(ServerLock());
    for (StdQueue& bucket : Hash::Get().buckets)
        for (void* p = bucket.First(); p != nullptr; p = bucket.Next(p)) {
            ClientCB* record = AsClient(p);
            if (record->m_ApplicationPathID != applicationPathID) continue;
            out.push_back(record);
            if (!IsTressikClient(record) || out.size() >= kMaxAppPathClients) return out;
        }
    return out;
}

std::vector<ClientCB*> ClientCB::GetAllClients() {
    std::vector<ClientCB*> out;
    ServerLockGuard guard(ServerLock());
    for (StdQueue& bucket : Hash::Get().buckets)
        for (void* p = bucket.First(); p != nullptr; p = bucket.Next(p)) out.push_back(AsClient(p));
    return out;
}

const char* ClientCB::StateName(uint32_t state) {
    static constexpr const char* kNames[] = {"OPEN_VALIDATION",   "CLIENT_VALIDATION",
                                             "AGENT_VALIDATION",  "APP_PATH_VALIDATION",
                                             "AGENT_LOGIN_WAIT",  "AGENT_LOGIN_RESUMED",
                                             "OPEN"};
    return state < std::size(kNames) ? kNames[state] : "(?\?INVALID_CLIENT_STATE?\?)";
}

bool ClientCB::IsTraceOn(const ClientCB* record, uint32_t bits) {
    if ((EMSGetTraceMask() & tracebit::TR_PROC_5) != 0) return true;
    return record != nullptr && (record->m_TraceFlags & bits) != 0;
}

bool ClientCB::HasRecord(int32_t sessionID) { return Find(sessionID) != nullptr; }

bool ClientCB::IsTressikSession(int32_t sessionID) {
    ServerLockGuard guard(ServerLock());
    return IsTressikClient(Find(sessionID));
}

bool ClientCB::AppPathContains(int32_t sessionID, int32_t applicationPathID, int32_t peripheralID) {
    ServerLockGuard guard(ServerLock());
    const ClientCB* client = Find(sessionID);
    if (client == nullptr || !client->m_ARMClientInfo) return false;
    AppPathMemberListPtr members = client->m_ARMClientInfo->GetAppPathMemberList();
    return members && members->Contains(applicationPathID, peripheralID);
}

bool ClientCB::IsTressikClient(const ClientCB* record) {
    return record != nullptr && record->m_ClientSignature == "Tressik";
}

int32_t ClientCB::LoginWaitLinkOffset() {
    return static_cast<int32_t>(offsetof(ClientCB, m_QueueThread));
}

void ClientCB::RemoveFromLoginWait(ClientCB* record) {
    if (record == nullptr || !record->m_QueueThread.IsQueued()) return;
    GetClientSeams().AgentLoginWaitQueue().Remove(record);
    record->m_QueueThread.Reset();
}

void ClientCB::SendAppPathDownInd() { GetClientSeams().SendAppPathDownInd(*this); }

// ---------------------------------------------------------------- the open road's steps

void ClientCB::AcceptOpenRequest(BaseMSGPtr request, const Host& host, uint64_t received) {
    ServerLockGuard guard(ServerLock());
    BaseMSG& open = *request;
    m_Version = open.GetUINT(elementid::VersionNumber);
    m_ServiceMask = open.GetUINT(elementid::ServiceMask);
    m_CallMsgMask = open.GetUINT(elementid::CallMsgMask);
    m_ConfigMsgMask = open.GetUINT(elementid::ConfigMsgMask);
    m_AgentStateMask = open.GetUINT(elementid::AgentStateMask);
    m_ClientSignature = ElementText(open, elementid::ClientSignature);
    if (m_ClientSignature.empty()) m_ClientSignature = m_ClientID;
    m_ApplicationPathID = open.Present(elementid::ApplicationPathID) ? open.GetUINT(elementid::ApplicationPathID) : 0;
    m_HostName = host.name;
    m_HostAddress = host.address;
    m_HostPort = host.port;
    m_OpenRequestTime = received;
    SetOpenReq(std::move(request));
}

void ClientCB::ClaimAgentOfOpenRequest() {
    ServerLockGuard guard(ServerLock());
    if (m_OpenReq == nullptr) return;
    BaseMSG& open = *m_OpenReq;
    m_PeripheralID = open.GetINT(elementid::CTIPeripheralID);
    m_HasAgentExtension = open.Present(elementid::AgentExtension) ? 1 : 0;
    m_HasAgentID = open.Present(elementid::AgentID) ? 1 : 0;
    m_HasAgentInstrument = open.Present(elementid::AgentInstrument) ? 1 : 0;
    m_AgentExtension = ElementText(open, elementid::AgentExtension);
    m_AgentID = ElementText(open, elementid::AgentID);
    m_AgentInstrument = ElementText(open, elementid::AgentInstrument);
}

void ClientCB::SetOpenReq(BaseMSGPtr msg) {
    delete m_OpenReq;
    m_OpenReq = msg.release();
}

BaseMSGPtr ClientCB::TakeOpenReq() {
    BaseMSGPtr out(m_OpenReq);
    m_OpenReq = nullptr;
    return out;
}

void ClientCB::SetState(State state) {
    ServerLockGuard guard(ServerLock());
    m_State = state;
}

void ClientCB::MarkCounted() { m_CountedClient = true; }

bool ClientCB::TakeCounted() {
    const bool counted = m_CountedClient;
    m_CountedClient = false;
    return counted;
}

void ClientCB::SetConfigPeripheral(uint32_t peripheralID) {
    ServerLockGuard guard(ServerLock());
    m_ConfigPeripheralID = peripheralID;
    m_ConfigFlag = 1;
}

void ClientCB::SetARMClientInfo(ARMClientInfoPtr info) {
    ServerLockGuard guard(ServerLock());
    m_ARMClientInfo = std::move(info);
}

// ---------------------------------------------------------------- the session's agent

void ClientCB::BindAgent(Agent* agent) {
    ServerLockGuard guard(ServerLock());
    m_Agent = agent;
}

Agent* ClientCB::UnbindAgent() {
    ServerLockGuard guard(ServerLock());
    Agent* agent = m_Agent;
    m_Agent = nullptr;
    return agent;
}

void ClientCB::AdoptAgentNames(const std::string& agentID, const std::string& extension,
                               const std::string& instrument) {
    ServerLockGuard guard(ServerLock());
    m_AgentID = agentID;
    m_AgentExtension = extension;
    m_AgentInstrument = instrument;
}

void ClientCB::ForgetUnclaimedAgentNames() {
    ServerLockGuard guard(ServerLock());
    if (m_HasAgentExtension == 0) m_AgentExtension.clear();
    if (m_HasAgentID == 0) m_AgentID.clear();
    if (m_HasAgentInstrument == 0) m_AgentInstrument.clear();
}

ClientAssociatedAgentList ClientCB::TakeAssociatedAgents() {
    ServerLockGuard guard(ServerLock());
    ClientAssociatedAgentList out;
    out.swap(m_AssociatedAgents);
    return out;
}

void ClientCB::SetTraceFlags(uint32_t flags) { m_TraceFlags = flags; }

model::ClientInfo ClientCB::Info() {
    model::ClientInfo info;
    info.sessionID = m_SessionID;
    info.clientID = m_ClientID.c_str();
    info.version = m_Version;
    info.serviceMask = m_ServiceMask;
    info.monitorList = &m_MonitorList;
    info.agent = m_Agent;
    return info;
}

std::string ClientCB::GetDumpString(ClientCB* record) {
    std::string out;
    out.reserve(1024);
    char line[256];
    out += "\nClientCB:\n";
    char pathID[32] = "NA";
    if (record->m_ApplicationPathID > 0)
        (void)BoundedSprintf(pathID, sizeof pathID, "%u", record->m_ApplicationPathID);
    (void)BoundedSprintf(line, sizeof line,
                         "    SessionID=%d Version=%d State=%s(%d) Services=0x%x(%s) "
                         "ClientID=\"%s\" Signature=\"%s\", ApplicationPathID=%s\n",
                         record->m_SessionID, static_cast<int>(record->m_Version),
                         StateName(record->m_State), static_cast<int>(record->m_State),
                         record->m_ServiceMask, ServiceLetters(record->m_ServiceMask).c_str(),
                         record->m_ClientID.c_str(), record->m_ClientSignature.c_str(), pathID);
    out += line;
    (void)BoundedSprintf(line, sizeof line, "    HostName=%s HostAddress=%s HostPort=%d\n",
                         record->m_HostName.c_str(), record->m_HostAddress.c_str(),
                         static_cast<int>(record->m_HostPort));
    out += line;
    (void)BoundedSprintf(line, sizeof line, "    AgentExtension=%s AgentID=%s AgentInstrument=%s\n",
                         record->m_AgentExtension.c_str(), record->m_AgentID.c_str(),
                         record->m_AgentInstrument.c_str());
    out += line;
    for (void* p = record->m_MonitorList.First(); p != nullptr; p = record->m_MonitorList.Next(p)) {
        out += "    ";
        static_cast<CTICSTAMonitor*>(p)->GetDumpString(out);
    }
    out += "\n Associated Agents:   \n ";
    for (const ClientAssociatedAgentPtr& entry : record->m_AssociatedAgents) {
        (void)BoundedSprintf(line, sizeof line, "    AccociateAgentID=%s AssociatePeriph=%d MRDIDs=",
                             entry->AgentID.c_str(), entry->PeripheralID);
        out += line;
        for (int32_t mrd : entry->MRDIDs) {
            (void)BoundedSprintf(line, sizeof line, "%d, ", mrd);
            out += line;
        }
    }
    // The session layer's dump of the session follows here once the session layer has one
    // (SessionProtocol::GetDumpData).
    return out;
}

std::string ClientCB::GetListHeader() {
    return "Session   Time   Ver Flags      ClientID         AgentID  AgentExt  Signature         "
           "Host                  ConnectionType\tUniqueInstanceID\n";
}

std::string ClientCB::GetListEntry(ClientCB* record) {
    char age[32];
    const int64_t seconds = NowSeconds() - record->m_CreationTime;
    if (seconds < kDaysThreshold)
        // Precision 2 pads with zeros: the same text as "%02.2d" per field.
        (void)BoundedSprintf(age, sizeof age, "%.2d:%.2d:%.2d",
                             static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                             static_cast<int>(seconds % 60));
    else
        (void)BoundedSprintf(age, sizeof age, "%3d days", static_cast<int>(seconds / 86400));

    std::string agentID, agentExt;
    if ((record->m_ServiceMask & servicemask::CLIENT_MONITOR) != 0) {
        agentID = agentExt = "  *";
    } else if ((record->m_ServiceMask & servicemask::CLIENT_EVENTS) != 0) {
        agentID = record->m_AgentID.empty() ? "* N/A *" : record->m_AgentID;
        agentExt = record->m_AgentExtension.empty() ? "* N/A *" : record->m_AgentExtension;
    }

    SessionFacts session;
    const char* connection = "N/A";
    std::string unique = "N/A";
    if (FindSessionFacts(record->m_SessionID, session)) {
        connection = session.secure ? "secure" : "non-secure";
        unique = session.uniqueInstanceID;
    }

    char line[512];
    (void)BoundedSprintf(line, sizeof line,
                         "%-8d %-8.8s %-2d  %-9.9s %-16.16s %-8.8s %-8.8s  %-16.16s %s (%s:%d) "
                         "%-14s\t%s\n",
                         record->m_SessionID, age, static_cast<int>(record->m_Version),
                         ListFlags(record->m_ServiceMask).c_str(), record->m_ClientID.c_str(),
                         agentID.c_str(), agentExt.c_str(), record->m_ClientSignature.c_str(),
                         record->m_HostName.c_str(), record->m_HostAddress.c_str(),
                         static_cast<int>(record->m_HostPort), connection, unique.c_str());
    return line;
}

int KillClientSession(ClientCB* record, uint32_t status) {
    if (record == nullptr) return 0;
    char text[256];
    (void)BoundedSprintf(text, sizeof text,
                         "FORCED TERMINATION OF CLIENT \"%s\" SESSION %d at %s(%s:%d)",
                         record->GetClientID().c_str(), record->GetSessionID(),
                         record->GetHostName().c_str(), record->GetHostAddress().c_str(),
                         static_cast<int>(record->GetHostPort()));
    EMSEvent0I1S(kEmsStateTrace, 0, 0, text);
    return SessionProtocol::SendFailureEventMSG(record->GetSessionID(), status, true);
}
