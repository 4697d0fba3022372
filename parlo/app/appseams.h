#pragma once
// The application's ClientSeams: what the client session records reach of the application.
// CTIApplication owns them, installs them in Configure and removes them in its destructor;
// every call comes with the server lock held (see ClientSeams).
#include <memory>

#include "nuvlib/stdqueue.h"
#include "parlo/app/clientseams.h"

class CTIApplication;

class AppClientSeams final : public ClientSeams {
public:
    // `loginWait` is the application's agent-login wait queue; it outlives these seams. The
    // application calls reach the running master (SessionProtocol::Master()); without one they
    // do nothing.
    explicit AppClientSeams(StdQueue& loginWait) : m_LoginWait(loginWait) {}
    StdQueue& AgentLoginWaitQueue() override { return m_LoginWait; }
    // ARM_APP_PATH_DOWN_IND for an agent-reporting session (one with an ARM record); OPC does
    // not answer it.
    void SendAppPathDownInd(ClientCB& client) override;
    // The application's UnregisterECCVariables for the session's record.
    void UnregisterECCVariables(int32_t sessionID) override;
    // Lowers the application's client count.
    void CountedClientGone() override;
    // The request's own invoke ID and outstanding record (the agent's PeripheralID and AgentID
    // in it), then the writer, which drops the request and releases the record while the
    // server is not ACTIVE. Nothing for a null agent.
    void SendSetClientStatusRequest(int32_t recordSessionID, uint32_t status,
                                    const std::shared_ptr<ClientAssociatedAgent>& agent,
                                    const char* signature) override;

private:
    StdQueue& m_LoginWait;
};
