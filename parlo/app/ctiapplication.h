#pragma once
// CTIApplication: the application object as the server core sees it today: configuration,
// link status, the daily id reset, the application thread with its OPC input queue, and the
// server's forwarders (most do nothing until the session and object layers exist). It is the
// session layer's master: activation opens the client ports, idling closes them, and its
// thread takes the client input (today only the verdict on OPEN_REQ and the close).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "nuvlib/stdqueue.h"
#include "parlo/server/session.h"

class AppClientSeams;
class Agent;
class ClientCB;
class CTICSTAConnection;
class CTICSTADevice;

class CTIRegistry;

class CTIApplication : public SessionProtocol {
public:
    // Application states; in service means Active or Standby.
    enum State { New = 0, Configured = 1, Active = 2, Shutdown = 3, Standby = 4 };
    static constexpr const char* kThreadName = "CTI Application Thread";

    CTIApplication();
    // Stops and waits for the application thread.
    ~CTIApplication() override;
    CTIApplication(const CTIApplication&) = delete;
    CTIApplication& operator=(const CTIApplication&) = delete;

    // Takes the configuration it needs; the registry outlives the application. Installs the
    // client records' seams (undone by the destructor).
    void Configure(CTIRegistry* registry);
    // The agent-login wait queue (ClientCB records linked by their login-wait link).
    StdQueue& AgentLoginWaitQueue() { return m_AgentLoginWaitQueue; }
    // Appends the link status text of the server's status output.
    void GetCTILinkStatus(std::string& text);
    // The next session id and the next monitor id start again at 1.
    void ResetIDCounters() override;
    int32_t GetNextSessionID() const { return m_NextSessionID; }
    int32_t GetNextMonitorID() const { return m_NextMonitorID; }

    int GetState() const;
    bool IsActive() override { return GetState() == Active; }
    bool IsActive() const { return GetState() == Active; }
    bool IsInService() const {
        const int s = GetState();
        return s == Active || s == Standby;
    }
    // Starts the application thread in active mode; a Standby application only switches to
    // active (the server becomes ACTIVE at once). Returns 1, or 0 when it cannot start.
    int Activate();
    // Starts the application thread in standby mode. Returns 1, or 0.
    int StartStandby();
    // Stops the application thread and waits for its end, at most 300000 ms on the clock;
    // the state becomes Shutdown. A thread still running then is traced and left.
    void Idle(int reason);
    bool IsThreadRunning() const;

    // OPC input (the payload with its ServerNumber word): dispatched at once on the calling
    // thread while not in service, else queued for the application thread. `data` is copied.
    void ProcessOPCInput(int type, int length, const uint8_t* data);
    // Maintenance: the request queues marker -3, on which the thread holds OPC input (and
    // later markers) in the queue while it still serves client messages;
    // ProcessOPCMsgsFromQueue releases them, in their order.
    void QueueMaintenanceRequest();
    void ProcessOPCMsgsFromQueue();
    // A maintenance request is pending or the queue is held.
    bool IsMaintenanceHold() const;
    bool IsKeepingOPCMsgsInQueue() const;
    // The session layer's reset of the input event (under the queue lock); kept set while
    // this queue holds an entry it would hand out.
    void ResetInputEvent() override;
    // Entries in the input queue and in the pool's free list (tests, dumps).
    size_t InputQueueCount() const;
    size_t FreeApplicationMSGCount();
    // The capacity of the smallest buffer of the free list (tests of the pool's growth).
    size_t SmallestFreeBuffer();
    // A marker for the application thread (-1 client input, -2 deferred agents).
    void QueueApplicationMSG(int marker) override;
    // The least valid OPEN_CONF for an OPEN_REQ (the requested services granted); owned by
    // the caller. The application's own open validation comes later.
    [[nodiscard]] static BaseMSGPtr MakeOpenConf(BaseMSG& request);
    // Tests: ends the application thread as if it had failed (no shutdown asked for).
    void FailThreadForTest();

    // The server's forwarders.
    void ProcessPGFailure(const char* text);
    void KillClient(int sessionID);
    void GetECCVariableClients(std::string& text);
    void GetTraceKeywords(std::string& text);
    void SendText(const char* text);
    void CloseClient(int sessionID, int cause);
    void SendAppPathDownForAllClients();
    void DeleteECCVariable(int32_t id, const std::string& name, int32_t isArray);
    // A terminal record of `end - record` bytes: returns the next record (consumed whole
    // until the terminal table exists), never past `end`.
    const uint8_t* ProcessTerminalConfig(int32_t op, int32_t update, const uint8_t* record,
                                         const uint8_t* end);

    // ---- dispatch (appdispatch.cpp; the rows are dispatchtables.def) ----
    // A client handler owns `msg` and deletes it; `received` is the FILETIME of its arrival.
    using ClientHandler = void (CTIApplication::*)(int32_t sessionID, BaseMSGPtr msg,
                                                   uint64_t received);
    // An OPC handler reads `length` bytes at `data` (the body, or the whole data with the
    // ServerNumber word for the rows that ask for it) and never past them.
    using OPCHandler = void (CTIApplication::*)(const uint8_t* data, size_t length);
    // Built: the row's handler runs; Later: the shared placeholder runs for it; Ignored: the
    // message is consumed as it is.
    enum class RowState : uint8_t { Built, Later, Ignored };
    struct ClientRow {
        int32_t type;
        const char* typeName;
        const char* handler;  // the handler's name, "CTIApplication::..."
        RowState state;
        ClientHandler function;
    };
    struct OPCRow {
        int32_t type;
        const char* typeName;
        const char* handler;
        RowState state;
        bool wholeData;  // the handler gets the ServerNumber word too
        OPCHandler function;  // null for Ignored
    };
    // The rows in table order, and the row of one type (null outside the table).
    static std::span<const ClientRow> ClientRows();
    static std::span<const OPCRow> OPCRows();
    static const ClientRow* FindClientRow(int32_t type);
    static const OPCRow* FindOPCRow(int32_t type);
    // Takes one client message off the session input queue and dispatches it. Returns 1 when a
    // message was dispatched (or refused as of an unknown type), 0 when there was none or it
    // was dropped (bad version, undecodable, refused during failover).
    uint32_t ProcessSessionMessage();
    // Dispatches one OPC message of `length` bytes (ServerNumber word, then the body). An
    // unknown type ends the process (exit 100002): the OPC sends only the table's types.
    void ProcessOPCMessage(int type, int length, const uint8_t* data);
    // CTI_PG_STATUS_EVENT: stores the PG and peripheral status, reports it and, while the
    // server is ACTIVE or STANDBY, sends SYSTEM_EVENT to every session. A malformed body is
    // traced and dropped.
    void ProcessPGStatusEvent(const uint8_t* body, size_t length);

    // ---- the open road and agent association (appopen.cpp, appassociation.cpp) ----
    // Step 4 of the open road: supervisor and agent rules, login wait or association, the
    // opened event and OPEN_CONF. `peripheralType` 0xFFFF: the agent's peripheral is unknown;
    // 0: not given. The record may be destroyed by the call (the open failed).
    void OpenValidAgent(ClientCB* client, Agent* agent, uint16_t peripheralType, int online);
    // Queues the record to wait for its agent's login: 1 queued, 0 refused (the record is gone).
    int LoginWait(ClientCB* client);
    // Binds an agent-mode session to its agent: 1 bound, 0 refused (the session has been
    // failed; with a pending OPEN_REQ the record is gone).
    int CompleteAgentAssociation(ClientCB* client, Agent* agent, int sendBeginCalls);
    // Two sessions claim one agent: 1 the new one wins, 0 it lost (and has been failed).
    int ResolveAgentConflict(ClientCB* newClient, ClientCB* existing);
    // Binds the agent and the device to each other, unbinding their earlier partners.
    void SetAgentDevice(Agent* agent, CTICSTADevice* device);
    // Fails an open in progress: FailOpen with `code`, the pending OPEN_REQ deleted, the record
    // destroyed and, once counted, the client count lowered. The record is gone afterwards.
    void FailClientOpen(ClientCB* client, uint32_t code);
    // Sessions counted by the open road and not yet destroyed.
    int32_t GetNumClients() const { return m_NumClients.load(); }
    void AddNumClients(int32_t delta) { m_NumClients.fetch_add(delta); }
    bool IsAgentLoginRequired() const { return m_AgentLoginRequired != 0; }
    // Step 2: an agent-reporting client asks OPC for its application path and waits in
    // APP_PATH_VALIDATION; without a path ID it is refused; else step 3 runs. The record may
    // be gone afterwards.
    void OpenValidAppPath(ClientCB* client);
    // Step 3: the application path's answer (APP_PATH_VALIDATION), then the agent-state
    // request of an agent-mode client (it waits in AGENT_VALIDATION), else step 4. The record
    // may be gone afterwards.
    void OpenValidClient(ClientCB* client);

    // ---- agent state answers, agent removal and close (agentstate.cpp, appclose.cpp) ----
    // CTI_AGENT_REMOVED_IND: the named agent goes unless an agent-mode session is bound to it;
    // an empty AgentID or "-1" removes every agent of the peripheral, bound or not. A
    // malformed body is traced and dropped.
    void ProcessAgentRemoved(const uint8_t* body, size_t length);
    // The session layer's hooks, on the thread that fails or destroys the session (no session
    // lock held): route cleanup; a destroyed session's record is destroyed too, whatever
    // ended the session. Both return 1.
    int SessionFailed(int32_t sessionID) override;
    int SessionDestroyed(int32_t sessionID) override;
    // The session's route registrations and routing dialogs (none are kept yet).
    void ClientCleanup(int32_t sessionID);

    // ---- connection look-ups, broadcast text, ECC report (appconnections.cpp) ----
    // The connection a request of `client` (may be null) is about. Device mode (an agent-mode
    // session, or a non-empty `instrument`) looks at the session's device, call mode in the
    // calls of that identity. `*callKnown` tells whether the call exists although no
    // connection fits. The connection stays the model's (application thread only).
    CTICSTAConnection* FindConnection(ClientCB* client, uint32_t peripheralID, uint32_t callID,
                                      int16_t deviceIDType, const char* deviceID,
                                      const char* instrument, int selector, int* callKnown);
    // The same for call-control requests: with a device, the found call must have a
    // connection at it (else `*cstaFailure` 268) and, unless `allowOtherDevice`, the found
    // connection must be that device's (else 8); a call without a fitting connection gives 13.
    CTICSTAConnection* FindRequestConnection(ClientCB* client, uint32_t peripheralID,
                                             uint32_t callID, int16_t deviceIDType,
                                             const char* deviceID, const char* instrument,
                                             int selector, int* callKnown, int allowOtherDevice,
                                             uint32_t* cstaFailure);
    // The connection not on `otherCallID` (also called FindOtherCallConnection): an agent-mode
    // session looks at the device of the agent with that instrument. In device mode `*found`
    // is only ever set to 1 (the caller starts it at 0). `otherDeviceID` is handed on by the
    // callers; the device's look-up needs only the other call.
    CTICSTAConnection* FindSupervisedConnection(ClientCB* client, uint32_t peripheralID,
                                                uint32_t callID, int16_t deviceIDType,
                                                const char* deviceID, const char* instrument,
                                                int selector, int* found, uint32_t otherCallID,
                                                const char* otherDeviceID);
    // EMS 0xA12EC00E: the first call, then at most once per 3600000 ms on the clock.
    static void ReportECCTooMuchData();

    // ---- agent events and client status answers (agentevents.cpp) ----

    // ---- the application object, servers and look-ups (ctiapplication.cpp, appservers.cpp,
    // appconnections.cpp) ----

private:
    friend struct DispatchTables;  // appdispatch.cpp: the rows name the private handlers
    // Built handlers of the tables.
    void ProcessOpenRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessCloseRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessSessionFailedMsg(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessConfigMessage(const uint8_t* body, size_t length);
    // The one placeholder of every row whose handler comes later.
    void ProcessLaterClientMessage(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessLaterOPCMessage(const uint8_t* data, size_t length);
    int m_DispatchingOPCType = 0;  // for the placeholder's trace

    // ---- open road: private (appopen.cpp, appassociation.cpp, agentstate.cpp, armopen.cpp) ----
    std::atomic<int32_t> m_NumClients{0};
    uint32_t m_AgentLoginRequired = 0;
    // CTI_GET_AGENT_STATE_RESP: the model updated from the answer, then the request that
    // waited for it completed. A malformed body is traced and dropped.
    void ProcessAgentStateResponse(const uint8_t* body, size_t length);
    // ARM_APP_PATH_UP_RESP (the data with its ServerNumber word): the session's ARM record is
    // filled and its open goes on; an answer no session takes is released at OPC.
    void ProcessARMAppPathUpRespMsg(const uint8_t* data, size_t length);
    // Steps 6 to 10 of OpenValidAgent: the opened event, OPEN_CONF, the confirmation and what
    // follows it. `associated`: the session is bound to `agent`.
    void ConfirmClientOpen(ClientCB* client, Agent* agent, uint16_t peripheralType, int online,
                           bool associated);
    // Destroys a record of the road (its pending OPEN_REQ too), lowering the client count when
    // the record was counted. `client` is gone afterwards.
    void DestroyOpeningClient(ClientCB* client);

    // ---- agent state answers, removal, close: private (agentstate.cpp, appclose.cpp) ----
    // CloseClient's release of the session's agents: agent mode unbinds its agent, the other
    // sessions their associations (voice and non-voice), each told to OPC unless `tellOPC` is
    // false. Holds the server lock.
    void ReleaseClientAgents(ClientCB* client, bool tellOPC);

    // ---- agent events: private (agentevents.cpp) ----

    // ---- application object: private (ctiapplication.cpp, appservers.cpp, appconnections.cpp) ----

    // ---- the input queue (appqueue.cpp) ----
    // One entry: an OPC message (its data with the ServerNumber word) or a marker.
    struct ApplicationMSG {
        int type = 0;
        uint32_t length = 0;
        std::vector<uint8_t> buffer;  // only grows while the entry is reused
        int64_t time = 0;             // monotonic ns when taken from the pool
    };
    using ApplicationMSGPtr = std::unique_ptr<ApplicationMSG>;
    static unsigned ThreadMain(void* argument);
    void Run(int active);
    int StartThread(int active);
    bool LoopGoesOn();  // in service and not told to stop
    void Drain();
    // The pool of entries (8.106): the buffer of a reused entry only grows.
    ApplicationMSGPtr AllocApplicationMSG(int type, uint32_t length, const uint8_t* data);
    void FreeApplicationMSG(ApplicationMSGPtr entry);
    // OPC input, with the 60000 ms service watch; markers skip the watch.
    void ValidateAndQueueOPCInput(ApplicationMSGPtr entry);
    void QueueOPCInput(ApplicationMSGPtr entry);
    // The head entry unless the queue is held; with nothing to hand out the input event is
    // reset under the queue lock, so a set racing this call is never lost.
    ApplicationMSGPtr DequeueInput();
    void KeepOPCMsgsInQueue();
    void ApplyDeferredAgentConfig();
    void SetInputEventLocked() { m_InputEventSet = true; m_Wake.notify_all(); }

    // ---- client records (appseams.cpp) ----
    void InstallClientPorts();
    void RemoveClientPorts();
    StdQueue m_AgentLoginWaitQueue;
    std::unique_ptr<AppClientSeams> m_Seams;
    bool m_PortsInstalled = false;

    CTIRegistry* m_Registry = nullptr;
    int32_t m_NextSessionID = 1;
    int32_t m_NextMonitorID = 1;

    // Guards the state, the input queue, its service time, the hold flags and the event.
    mutable std::mutex m_Lock;
    std::condition_variable m_Wake;
    int m_State = New;
    bool m_ThreadRunning = false;
    bool m_StopThread = false;
    bool m_FailThread = false;
    bool m_InputEventSet = false;  // the auto-reset input event
    bool m_KeepOPCMsgsInQueue = false;
    bool m_MaintenanceRequested = false;
    int64_t m_InputQueueServiceTime = 0;  // monotonic ns
    std::deque<ApplicationMSGPtr> m_InputQueue;

    std::mutex m_PoolLock;  // "AppMsgLock": never held with m_Lock
    std::vector<ApplicationMSGPtr> m_FreeApplicationMSGs;
    size_t m_LargestApplicationMSG = 0;
};
