#include "parlo/app/clientdirectory.h"

#include "parlo/app/apphelpers.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/clientseams.h"
#include "parlo/model/modelutil.h"

using model::ServerLock;
using model::ServerLockGuard;

bool ClientCBDirectory::Find(int32_t sessionID, model::ClientInfo& out) {
    ServerLockGuard guard(ServerLock());
    ClientCB* record = ClientCB::Find(sessionID);
    if (record == nullptr) return false;
    out = record->Info();
    return true;
}

int ClientCBDirectory::ValidateMessage(const char* caller, BaseMSG& msg) {
    return ::ValidateMessage(caller, msg);
}

uint64_t ClientCBDirectory::FileTimeNow() { return ::FileTimeNow(); }

void ClientCBDirectory::ReportECCTooMuchData(const char* caller, uint32_t peripheralID,
                                             uint32_t callID) {
    GetClientSeams().ReportECCTooMuchData(caller, peripheralID, callID);
}

void ClientCBDirectory::ClearClientAgent(int32_t sessionID) {
    ServerLockGuard guard(ServerLock());
    if (ClientCB* record = ClientCB::Find(sessionID)) record->m_Agent = nullptr;
}

void ClientCBDirectory::AddToAssociateAgentList(int32_t sessionID, const char* agentID,
                                                int32_t peripheralID, int32_t mrdID, int flag) {
    ServerLockGuard guard(ServerLock());
    ::AddToAssociateAgentList(ClientCB::Find(sessionID), agentID, peripheralID, mrdID, flag);
}

void ClientCBDirectory::RemoveFromAssociateAgentList(int32_t sessionID, const char* agentID,
                                                     int32_t peripheralID, int32_t mrdID) {
    ServerLockGuard guard(ServerLock());
    ::RemoveFromAssociateAgentList(ClientCB::Find(sessionID), agentID, peripheralID, mrdID);
}

std::vector<std::vector<int32_t>> ClientCBDirectory::AssociatedAgentMRDs(int32_t sessionID,
                                                                         const char* agentID,
                                                                         int32_t peripheralID) {
    std::vector<std::vector<int32_t>> out;
    if (agentID == nullptr) return out;
    ServerLockGuard guard(ServerLock());
    ClientCB* record = ClientCB::Find(sessionID);
    if (record == nullptr) return out;
    for (const ClientAssociatedAgentPtr& entry : record->m_AssociatedAgents)
        if (entry->AgentID == agentID && entry->PeripheralID == peripheralID)
            out.push_back(entry->MRDIDs);
    return out;
}
