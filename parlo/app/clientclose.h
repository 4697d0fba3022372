#pragma once
// ClientClose: the end of a client's session in the application. CLOSE_REQ and the console's
// close or kill, the release of the session's agents, the session layer's hooks when it fails
// or destroys a session, and OPC's removal of agents.
#include <cstddef>
#include <cstdint>
#include <memory>

class BaseMSG;
class ClientCB;
class CTIApplication;

class ClientClose {
public:
    // `app` holds the ECC registrations, the client count and the session master the close
    // reaches; it owns this object and outlives it.
    explicit ClientClose(CTIApplication& app) : app_(app) {}
    ClientClose(const ClientClose&) = delete;
    ClientClose& operator=(const ClientClose&) = delete;

    // CLOSE_REQ (owned from here): CloseClient with its Status.
    void ProcessCloseRequest(int32_t sessionID, std::unique_ptr<BaseMSG> msg, uint64_t received);
    // The orderly close, on any thread holding no session lock: the record (under the server
    // lock) drops its ECC registrations, tells the client monitors (OPEN or waiting for its
    // agent), releases its OPC requests and agents (OPC is not told of a standby-capable
    // client closed for maintenance) and goes; then the session layer closes the session.
    void CloseClient(int sessionID, int cause);
    // The console's forced end: FAILURE_EVENT 17 and the session failed (KillClientSession).
    void KillClient(int sessionID);
    // ARM_APP_PATH_DOWN_IND for every agent-reporting record. Takes the server lock.
    void SendAppPathDownForAllClients();
    // The session layer's hooks, on the thread that fails or destroys the session (no session
    // lock held): route cleanup; a destroyed session's record is destroyed too, whatever
    // ended the session. Both return 1.
    [[nodiscard]] int SessionFailed(int32_t sessionID);
    [[nodiscard]] int SessionDestroyed(int32_t sessionID);
    // The session's route registrations and routing dialogs: the application keeps none, so
    // there is nothing to undo.
    void ClientCleanup(int32_t sessionID);
    // CTI_AGENT_REMOVED_IND: the named agent goes unless an agent-mode session is bound to it;
    // an empty AgentID or "-1" removes every agent of the peripheral, bound or not. A
    // malformed body is traced and dropped. Takes "CallLock", then the server lock.
    void ProcessAgentRemoved(const uint8_t* body, size_t length);

private:
    // CloseClient's release of the session's agents: agent mode unbinds its agent, the other
    // sessions their associations (voice and non-voice), each told to OPC unless `tellOPC` is
    // false. Holds the server lock.
    void ReleaseClientAgents(ClientCB* client, bool tellOPC);

    CTIApplication& app_;
};
