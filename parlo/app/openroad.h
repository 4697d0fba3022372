#pragma once
// The open road: how a client's OPEN_REQ becomes an open session, on the application thread.
// Step 1 checks the version and the services and makes the session's record; step 2 asks
// OPC for an agent-reporting client's application path; step 3 asks OPC for an agent-mode
// client's agent; step 4 applies the supervisor and agent rules, binds the session to its
// agent (or lets it wait for the agent's login) and confirms the open. OpenRoad holds the
// steps, the agent association and the answers OPC gives on the way (the agent state, the
// application path); the namespace holds what the road's files share: the agent states it
// tells apart and the services its version check allows. The failure codes it answers with
// are ctimsg/statuscodes.h's, the service bits ctimsg/servicemask.h's.
//
// Every step may end the open: the client gets FAILURE_CONF with the code, the record is
// destroyed and, once counted, the client count lowered; "the record is gone" below means
// that the caller must not use its pointer again.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ctimsg/servicemask.h"

class Agent;
class AppPeripherals;
class ApplicationQueue;
class BaseMSG;
class ClientCB;
class CTICSTADevice;
class StdQueue;

namespace openroad {

// What waits for an agent-state answer, as its OPC request record keeps it (PrivateCallFlags).
enum AgentStateWaiter : uint32_t { kWaitingOpen = 0, kWaitingQuery = 1, kWaitingTaskMonitor = 2 };

// The services an OPEN_REQ may ask for from its protocol version on, as the application's open
// checks them (the message's own check, servicemask::OpenForbiddenBits, allows some of them at
// an earlier version).
struct OpenServices {
    uint32_t fromVersion;
    uint32_t bits;
};
inline constexpr OpenServices kOpenServices[] = {
    {2, servicemask::CLIENT_EVENTS | servicemask::CALL_DATA_UPDATE | servicemask::ALL_EVENTS},
    {3, servicemask::CLIENT_CONTROL | servicemask::CONNECTION_MONITOR},
    {5, servicemask::PERIPHERAL_MONITOR | servicemask::CLIENT_MONITOR},
    {8, servicemask::SUPERVISOR | servicemask::SERVER | servicemask::WEXA},
    {9, servicemask::AGENT_REPORTING | servicemask::ALL_TASK_EVENTS | servicemask::TASK_MONITOR},
    {10, servicemask::ROUTING | servicemask::MINIMIZE_EVENTS | servicemask::CONFIG_EVENTS |
             servicemask::UPDATE_EVENTS},
    {11, servicemask::AGENT_EVENT_CHANGE_FILTER | servicemask::WEXA_CIL},
    {12, servicemask::AGENT_STATE_CONTROL_ONLY},
    {14, servicemask::HIDE_DOTTED_DEVICES},
    {16, servicemask::SERVICE_BIT_23 | servicemask::REMASK_SUBSCRIPTION},
    {24, servicemask::STANDBY_CAPABLE},
};
inline constexpr uint32_t kLastOpenVersion = 24;

// The service bits a client may not ask for at its protocol version (DEBUG is allowed at
// every version); every bit for an invalid version (0, 1, 4 and above 24).
constexpr uint32_t ForbiddenServiceBits(uint32_t version) {
    if (version < 2 || version == 4 || version > kLastOpenVersion) return UINT32_MAX;
    uint32_t allowed = servicemask::DEBUG;
    for (const OpenServices& row : kOpenServices)
        if (row.fromVersion <= version) allowed |= row.bits;
    return ~allowed;
}

}  // namespace openroad

class OpenRoad {
public:
    // The road reads the peripherals seen so far and the application's state (`queue`), and
    // queues waiting sessions in `loginWait`; all three outlive it.
    OpenRoad(AppPeripherals& peripherals, const ApplicationQueue& queue, StdQueue& loginWait)
        : peripherals_(peripherals), queue_(queue), loginWait_(loginWait) {}
    OpenRoad(const OpenRoad&) = delete;
    OpenRoad& operator=(const OpenRoad&) = delete;

    // AgentLoginRequired, read at configuration.
    void SetAgentLoginRequired(uint32_t required) { m_AgentLoginRequired = required; }
    bool IsAgentLoginRequired() const { return m_AgentLoginRequired != 0; }
    // Sessions counted by the road and not yet destroyed. Any thread.
    int32_t GetNumClients() const { return m_NumClients.load(); }
    void AddNumClients(int32_t delta) { m_NumClients.fetch_add(delta); }

    // ---- the steps ----
    // Step 1, OPEN_REQ (owned from here): a duplicate SessionID is fatal (the session layer
    // refuses a second OPEN_REQ first). Makes the record, refuses a bad version or service
    // mask, else counts the session and goes on with step 2.
    void ProcessOpenRequest(int32_t sessionID, std::unique_ptr<BaseMSG> msg, uint64_t received);
    // Step 2: an agent-reporting client asks OPC for its application path and waits in
    // APP_PATH_VALIDATION; without a path ID it is refused; else step 3 runs. The record may
    // be gone afterwards.
    void OpenValidAppPath(ClientCB* client);
    // Step 3: the application path's answer (APP_PATH_VALIDATION), then the agent-state
    // request of an agent-mode client (it waits in AGENT_VALIDATION), else step 4. The record
    // may be gone afterwards.
    void OpenValidClient(ClientCB* client);
    // Step 4: supervisor and agent rules, login wait or association, the opened event and
    // OPEN_CONF. `peripheralType` 0xFFFF: the agent's peripheral is unknown; 0: not given.
    // A record without a pending OPEN_REQ (an answer that came twice) gets FAILURE_CONF and
    // stays. The record may be gone afterwards.
    void OpenValidAgent(ClientCB* client, Agent* agent, uint16_t peripheralType, int online);
    // Fails an open in progress: FailOpen with `code`, the pending OPEN_REQ deleted, the record
    // destroyed and, once counted, the client count lowered. The record is gone afterwards.
    void FailClientOpen(ClientCB* client, uint32_t code);

    // ---- agents and sessions ----
    // Queues the record to wait for its agent's login: 1 queued, 0 refused (the open failed
    // and the record is gone, or the open session was failed).
    [[nodiscard]] int LoginWait(ClientCB* client);
    // Binds an agent-mode session to its agent: 1 bound, 0 refused (the session has been
    // failed; with a pending OPEN_REQ the record is gone).
    [[nodiscard]] int CompleteAgentAssociation(ClientCB* client, Agent* agent, int sendBeginCalls);
    // Two sessions claim one agent: 1 the new one wins (the other gets FAILURE_EVENT 11 and
    // leaves the login wait), 0 it lost (and has been refused).
    [[nodiscard]] int ResolveAgentConflict(ClientCB* newClient, ClientCB* existing);
    // Binds the agent and the device to each other, unbinding their earlier partners; nothing
    // without both. Takes the server lock.
    void SetAgentDevice(Agent* agent, CTICSTADevice* device);

    // ---- OPC's answers on the road ----
    // CTI_GET_AGENT_STATE_RESP: the model updated from the answer, then the request that
    // waited for it completed. A malformed body is traced and dropped.
    void ProcessAgentStateResponse(const uint8_t* body, size_t length);
    // ARM_APP_PATH_UP_RESP (the data with its ServerNumber word): the session's ARM record is
    // filled and its open goes on; an answer no session takes is released at OPC.
    void ProcessARMAppPathUpRespMsg(const uint8_t* data, size_t length);

private:
    // Steps 6 to 10 of OpenValidAgent: the opened event, OPEN_CONF, the confirmation and what
    // follows it. `associated`: the session is bound to `agent`.
    void ConfirmClientOpen(ClientCB* client, Agent* agent, uint16_t peripheralType, int online,
                           bool associated);
    // Destroys a record of the road (its pending OPEN_REQ too), lowering the client count when
    // the record was counted. The record is gone afterwards.
    void DestroyOpeningClient(ClientCB* client);
    // The session's refusal: while it opens, the open fails (and the record goes); once open,
    // FAILURE_EVENT and the session ends.
    void RefuseSession(ClientCB* client, uint32_t code);

    AppPeripherals& peripherals_;
    const ApplicationQueue& queue_;
    StdQueue& loginWait_;
    std::atomic<int32_t> m_NumClients{0};
    uint32_t m_AgentLoginRequired = 0;
};

