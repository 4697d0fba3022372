// The session's side of agent associations: the associated-agent list and the undoing of
// every binding and association when a session lets its agents go.
#include <algorithm>

#include "ctimsg/servicemask.h"
#include "nuvlib/ems.h"
#include "parlo/app/apphelpers.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/clientseams.h"
#include "parlo/model/agent.h"
#include "parlo/model/modelutil.h"

using model::ServerLock;
using model::ServerLockGuard;

namespace {
constexpr int32_t kVoiceMRD = 1;

}  // namespace

ClientAssociatedAgentPtr NewAssociatedAgent(const std::string& agentID, int32_t peripheralID,
                                            std::vector<int32_t> mrdIDs) {
    auto entry = std::make_shared<ClientAssociatedAgent>();
    entry->AgentID = agentID;
    entry->PeripheralID = peripheralID;
    entry->MRDIDs = std::move(mrdIDs);
    return entry;
}

Agent* FindAssociatedAgent(const ClientAssociatedAgent& entry) {
    const int type = model::Server().GetPeripheralType(entry.PeripheralID);
    return Agent::FindAgentByAgentID(entry.PeripheralID, entry.AgentID.c_str(),
                                     IsDefinityPeripheralType(static_cast<int16_t>(type)));
}

void UndoAgentLinks(Agent* agent, const ClientAssociatedAgent& entry, int32_t sessionID) {
    for (int32_t mrd : entry.MRDIDs) {
        if (mrd == kVoiceMRD) {
            if (agent->AssociateSessionID() == sessionID) agent->SetAssociateClientCB(nullptr);
        } else if (agent->GetAssociateNonVoiceSessionID(mrd) == sessionID) {
            agent->RemoveAssociateNonVoiceClient(mrd);
        }
    }
}

bool ContainsVoiceMRD(std::vector<int32_t> mrdIDs) {
    return std::find(mrdIDs.begin(), mrdIDs.end(), kVoiceMRD) != mrdIDs.end();
}

void AddToAssociateAgentList(ClientCB* record, const char* agentID, int32_t peripheralID,
                             int32_t mrdID, int trace) {
    if (record == nullptr || agentID == nullptr || agentID[0] == '\0' || peripheralID < 1 ||
        mrdID < 1)
        return;
    ServerLockGuard guard(ServerLock());
    for (const ClientAssociatedAgentPtr& entry : record->m_AssociatedAgents) {
        if (entry->AgentID != agentID || entry->PeripheralID != peripheralID) continue;
        if (std::find(entry->MRDIDs.begin(), entry->MRDIDs.end(), mrdID) != entry->MRDIDs.end())
            return;
        if (entry->MRDIDs.size() >= static_cast<size_t>(Agent::kMaxMRDs)) return;
        entry->MRDIDs.push_back(mrdID);
        if (ClientCB::IsTraceOn(record, ClientCB::kTraceSession))
            EMSTraceMessage("AddToAssociateAgentList();           ADDED: SessionID=%d AgentID=%s "
                            "PeripheralID=%d MRDID=%d",
                            record->m_SessionID, agentID, peripheralID, mrdID);
        return;
    }
    record->m_AssociatedAgents.push_front(NewAssociatedAgent(agentID, peripheralID, {mrdID}));
    if (trace != 0 && ClientCB::IsTraceOn(record, ClientCB::kTraceSession))
        EMSTraceMessage("AddToAssociateAgentList();           ADDED: SessionID=%d AgentID=%s "
                        "PeripheralID=%d MRDID=%d",
                        record->m_SessionID, agentID, peripheralID, mrdID);
}

void RemoveFromAssociateAgentList(ClientCB* record, const char* agentID, int32_t peripheralID,
                                  int32_t mrdID) {
    if (record == nullptr || agentID == nullptr || agentID[0] == '\0' || peripheralID < 1) return;
    ServerLockGuard guard(ServerLock());
    auto& list = record->m_AssociatedAgents;
    auto before = list.before_begin();
    for (auto it = list.begin(); it != list.end(); before = it, ++it) {
        ClientAssociatedAgent& entry = **it;
        if (entry.AgentID != agentID || entry.PeripheralID != peripheralID) continue;
        if (ClientCB::IsTraceOn(record, ClientCB::kTraceSession))
            EMSTraceMessage("*** RemoveFromAssociateAgentList();           REMOVED: SessionID=%d "
                            "AgentID=%s PeripheralID=%d, MRDID=%d",
                            record->m_SessionID, agentID, peripheralID, mrdID);
        if (mrdID != -1)
            std::erase(entry.MRDIDs, mrdID);
        if (mrdID == -1 || entry.MRDIDs.empty()) list.erase_after(before);
        return;
    }
}

void ClientCB::ClearAgentAssociations(ClientCB* record) {
    if (record == nullptr) return;
    ServerLockGuard guard(ServerLock());
    ClientSeams& seams = GetClientSeams();
    const int32_t sessionID = record->m_SessionID;
    if ((record->m_ServiceMask & servicemask::CLIENT_EVENTS) != 0 && record->m_Agent != nullptr) {
        Agent* agent = record->m_Agent;
        record->m_Agent = nullptr;
        // A session replaced by a newer one for the same agent leaves that binding alone.
        if (agent->ClientSessionID() != sessionID) return;
        seams.SendSetClientStatusRequest(
            0, 0, NewAssociatedAgent(agent->GetAgentID(), agent->GetPeripheralID(), {kVoiceMRD}), "");
        RemoveFromAssociateAgentList(record, agent->GetAgentID().c_str(), agent->GetPeripheralID(),
                                     kVoiceMRD);
        agent->SetClientCB(nullptr);
        return;
    }
    for (const ClientAssociatedAgentPtr& entry : record->m_AssociatedAgents) {
        if (IsTraceOn(record, ClientCB::kTraceSession))
            EMSTraceMessage("*** RemoveFromAssociateAgentList();           REMOVED: SessionID=%d "
                            "AgentID=%s PeripheralID=%d",
                            sessionID, entry->AgentID.c_str(), entry->PeripheralID);
        Agent* agent = FindAssociatedAgent(*entry);
        if (agent == nullptr) continue;
        seams.SendSetClientStatusRequest(
            0, 0, NewAssociatedAgent(entry->AgentID, entry->PeripheralID, entry->MRDIDs), "");
        UndoAgentLinks(agent, *entry, sessionID);
    }
    record->m_AssociatedAgents.clear();
}
