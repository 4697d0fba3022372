#include "parlo/app/clientdirectory.h"

#include "parlo/app/apphelpers.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/ctiapplication.h"
#include "parlo/model/modelutil.h"

using model::ServerLock;
using model::ServerLockGuard;

namespace {
model::ConfigClient ConfigClientOf(const ClientCB& record) {
    model::ConfigClient client;
    client.sessionID = record.GetSessionID();
    client.configMsgMask = record.GetConfigMsgMask();
    client.configPeripheralID = static_cast<int32_t>(record.GetConfigPeripheralID());
    client.version = record.GetVersion();
    client.tressik = ClientCB::IsTressikClient(&record);
    return client;
}
}  // namespace

ClientCBDirectory& ClientCBDirectory::Instance() {
    static ClientCBDirectory directory;
    return directory;
}

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

void ClientCBDirectory::ReportECCTooMuchData(const char*, uint32_t, uint32_t) {
    CTIApplication::ReportECCTooMuchData();
}

void ClientCBDirectory::ClearClientAgent(int32_t sessionID) {
    ServerLockGuard guard(ServerLock());
    if (ClientCB* record = ClientCB::Find(sessionID)) (void)record->UnbindAgent();
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
    for (const ClientAssociatedAgentPtr& entry : record->GetAssociatedAgents())
        if (entry->AgentID == agentID && entry->PeripheralID == peripheralID)
            out.push_back(entry->MRDIDs);
    return out;
}

void ClientCBDirectory::GetConfigClients(std::vector<model::ConfigClient>& out) {
    out.clear();
    ServerLockGuard guard(ServerLock());
    std::vector<ClientCB*> records;
    ClientCB::GetConfigClients(records);
    for (const ClientCB* record : records) out.push_back(ConfigClientOf(*record));
}

bool ClientCBDirectory::FindConfigClient(int32_t sessionID, model::ConfigClient& out) {
    ServerLockGuard guard(ServerLock());
    const ClientCB* record = ClientCB::Find(sessionID);
    if (record == nullptr) return false;
    out = ConfigClientOf(*record);
    return true;
}

void ClientCBDirectory::SendConfigBeginEvent(uint32_t infoBit, double key, int32_t sessionID,
                                             uint32_t keyElement) {
    CTIApplication::SendConfigBeginEvent(infoBit, key, sessionID, keyElement);
}

void ClientCBDirectory::SendConfigEndEvent(int32_t sessionID, uint32_t status) {
    CTIApplication::SendConfigEndEvent(sessionID, status);
}

bool ClientCBDirectory::GetDisableUTF8Conversion() {
    const auto* application = dynamic_cast<const CTIApplication*>(SessionProtocol::Master());
    return application != nullptr && application->GetDisableUTF8Conversion();
}
