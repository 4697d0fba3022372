#pragma once
// What the client session records need of the application and of the session layer, which
// are built on top of them. The application installs one ClientSeams at start; until then
// (and in tests that install nothing) every call does nothing or finds nothing.
#include <cstdint>
#include <memory>
#include <string>

class ClientCB;
class StdQueue;
struct ClientAssociatedAgent;

class ClientSeams {
public:
    virtual ~ClientSeams() = default;

    // ---- application ----
    // The application's agent-login wait queue (linked by ClientCB::m_QueueThread), or null.
    virtual StdQueue* AgentLoginWaitQueue() { return nullptr; }
    virtual void UnregisterECCVariables(int32_t sessionID) { (void)sessionID; }
    // The application path down indication of an ARM session, sent to OPC.
    virtual void SendAppPathDownInd(ClientCB& client) { (void)client; }
    // CTI_SET_CLIENT_STATUS_REQ for one agent: the writer allocates the invoke ID and the
    // outstanding request record (`recordSessionID`, client invoke ID 0) and takes its own
    // reference to `agent`. Dropped while the server is not ACTIVE.
    virtual void SendSetClientStatusRequest(int32_t recordSessionID, uint32_t status,
                                            const std::shared_ptr<ClientAssociatedAgent>& agent,
                                            const char* signature) {
        (void)recordSessionID, (void)status, (void)agent, (void)signature;
    }
    // A record that raised the application's client count is gone: lower it.
    virtual void CountedClientGone() {}
    // The once-an-hour report of a call context too large for a message.
    virtual void ReportECCTooMuchData(const char* caller, uint32_t peripheralID,
                                      uint32_t callID) {
        (void)caller, (void)peripheralID, (void)callID;
    }

    // ---- session layer ----
    // Whether the session layer has an object for the session; `secure` is its TLS flag.
    virtual bool FindSession(int32_t sessionID, bool& secure) {
        (void)sessionID, (void)secure;
        return false;
    }
    // The session's unique instance ID; false without a session object.
    virtual bool GetUniqueInstanceID(int32_t sessionID, std::string& out) {
        (void)sessionID, (void)out;
        return false;
    }
    // Appends the session layer's dump of the session.
    virtual void GetDumpData(int32_t sessionID, std::string& out) { (void)sessionID, (void)out; }
    // FAILURE_EVENT with `status` to the session; `fail` then fails the session. The result
    // of the send (1 sent, 0 not).
    virtual int SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) {
        (void)sessionID, (void)status, (void)fail;
        return 0;
    }
};

// Installs the seams (kept by pointer: they must outlive every ClientCB); null restores the
// defaults.
void SetClientSeams(ClientSeams* seams);
ClientSeams& GetClientSeams();
