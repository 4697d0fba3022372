#pragma once
// What the client session records need of the application, which is built on top of them.
// The application installs its seams when it is configured (AppClientSeams, appseams.h);
// tests install their own. What the records need of the session layer below them they ask
// it directly.
#include <cstdint>
#include <memory>

class ClientCB;
class StdQueue;
struct ClientAssociatedAgent;

class ClientSeams {
public:
    virtual ~ClientSeams() = default;

    // The application's agent-login wait queue (linked by the records' login-wait link);
    // it outlives the seams.
    virtual StdQueue& AgentLoginWaitQueue() = 0;
    // Drops the session's ECC variable registrations. The server lock is held.
    virtual void UnregisterECCVariables(int32_t sessionID) = 0;
    // ARM_APP_PATH_DOWN_IND to OPC for a record with an ARM record; nothing for the others.
    // The server lock is held.
    virtual void SendAppPathDownInd(ClientCB& client) = 0;
    // CTI_SET_CLIENT_STATUS_REQ for one agent: the writer allocates the invoke ID and the
    // outstanding request record (`recordSessionID`, client invoke ID 0) and takes its own
    // reference to `agent`. Dropped while the server is not ACTIVE.
    virtual void SendSetClientStatusRequest(int32_t recordSessionID, uint32_t status,
                                            const std::shared_ptr<ClientAssociatedAgent>& agent,
                                            const char* signature) = 0;
    // A record that raised the application's client count is gone: lower it.
    virtual void CountedClientGone() = 0;
};

// Installs the seams (kept by pointer: they must outlive every record that uses them); null
// removes them. Returns the seams it replaced (null for none).
ClientSeams* SetClientSeams(ClientSeams* seams);
// The installed seams. Fatal when none are installed: records exist only under an
// application (or a test that stands in for it).
ClientSeams& GetClientSeams();
