#pragma once
// The object model's client directory over the ClientCB hash: the model's look-ups of
// clients, its association calls and its helpers. The server installs the one instance at
// start (with model::InstallPorts); tests install their own. Any thread: every call that
// reads a record takes the server lock itself (the caller may hold it already).
#include "parlo/model/ports.h"

class ClientCBDirectory final : public model::ClientDirectory {
public:
    // The process's one directory (it lives to the process end); the server installs it.
    static ClientCBDirectory& Instance();

    // Fills `out` from the record of that SessionID (under the server lock); the pointers
    // in it stay the record's, valid while the caller holds the server lock.
    [[nodiscard]] bool Find(int32_t sessionID, model::ClientInfo& out) override;
    [[nodiscard]] int ValidateMessage(const char* caller, BaseMSG& msg) override;
    uint64_t FileTimeNow() override;
    void ReportECCTooMuchData(const char* caller, uint32_t peripheralID,
                              uint32_t callID) override;
    void ClearClientAgent(int32_t sessionID) override;
    void AddToAssociateAgentList(int32_t sessionID, const char* agentID, int32_t peripheralID,
                                 int32_t mrdID, int flag) override;
    void RemoveFromAssociateAgentList(int32_t sessionID, const char* agentID,
                                      int32_t peripheralID, int32_t mrdID) override;
    std::vector<std::vector<int32_t>> AssociatedAgentMRDs(int32_t sessionID, const char* agentID,
                                                          int32_t peripheralID) override;
    // ClientCB::GetConfigClients, as the model reads them.
    void GetConfigClients(std::vector<model::ConfigClient>& out) override;
    [[nodiscard]] bool FindConfigClient(int32_t sessionID, model::ConfigClient& out) override;
    // CTIApplication::SendConfigBeginEvent and SendConfigEndEvent.
    void SendConfigBeginEvent(uint32_t infoBit, double key, int32_t sessionID,
                              uint32_t keyElement) override;
    void SendConfigEndEvent(int32_t sessionID, uint32_t status) override;
    // The running application's DisableUTF8Conversion (false without one).
    bool GetDisableUTF8Conversion() override;
};
