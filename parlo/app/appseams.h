#pragma once
// What the client session records reach of the application and the session layer: the
// application's ClientSeams, installed by CTIApplication::Configure.
#include <memory>

#include "nuvlib/stdqueue.h"
#include "parlo/app/clientseams.h"

class CTIApplication;

class AppClientSeams final : public ClientSeams {
public:
    // `loginWait` is the application's agent-login wait queue; it outlives these seams.
    explicit AppClientSeams(StdQueue& loginWait) : m_LoginWait(loginWait) {}
    StdQueue& AgentLoginWaitQueue() override { return m_LoginWait; }
    // ARM_APP_PATH_DOWN_IND for an agent-reporting session (one with an ARM record).
    void SendAppPathDownInd(ClientCB& client) override;
    // The application's UnregisterECCVariables for the session's record.
    void UnregisterECCVariables(int32_t sessionID) override;
    // Lowers the application's client count.
    void CountedClientGone() override;
    void SendSetClientStatusRequest(int32_t recordSessionID, uint32_t status,
                                    const std::shared_ptr<ClientAssociatedAgent>& agent,
                                    const char* signature) override;  // appassociation.cpp

private:
    StdQueue& m_LoginWait;
};
