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
#include "parlo/session/session.h"

class AppClientSeams;
class Agent;
class ClientCB;
class CTICSTAConnection;
class CTICSTADevice;

class CTIRegistry;
class CTILockObject;

class CTIApplication : public SessionProtocol, public SessionHost {
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
    // A terminal record of `end - record` bytes (TerminalConfig::ProcessTerminalRecord):
    // returns the next record, or null (traced) when the record runs past `end`.
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
    // What ProcessSessionMessage did with the session input queue's head.
    enum class SessionInput : uint8_t {
        None,        // the queue was empty
        Dispatched,  // its row's handler ran
        Refused,     // dropped (bad version, no decoded message) or answered with FAILURE_EVENT 17
                     // (refused during failover; a type outside the table, the session failed)
    };
    // Takes one client frame off the session input queue and dispatches its decoded message.
    [[nodiscard]] SessionInput ProcessSessionMessage();
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

    // ---- configuration pushes (configevents.cpp) ----
    // CONFIG_BEGIN_EVENT with ConfigType 2 and ConfigurationInformation `infoBit`: bit 0x20
    // sets the five table keys to `key`, bit 0x100 no key, any other bit the element
    // keyElement. Sent to the session (SendResponseMSG, now) without the application's check.
    static void SendConfigBeginEvent(uint32_t infoBit, double key, int32_t sessionID,
                                     uint32_t keyElement);
    // CONFIG_END_EVENT with ConfigEndStatus `status` to the session.
    static void SendConfigEndEvent(int32_t sessionID, uint32_t status);

    // ---- agent events and client status answers (agentevents.cpp, clientstatus.cpp) ----
    // CTI_AGENT_EVENT: applies every record in order (agents and domains created on first
    // sight, device binding, identity, counters, OPC's client status, login waits,
    // AGENT_STATE_EVENT, logout). A body whose records do not fit `length` is traced and
    // dropped whole.
    void ProcessAgentEvent(const uint8_t* body, size_t length);
    // CTI_SET_CLIENT_STATUS_RESP: clears the agent's pending client-status flag and releases
    // the request record. Nothing goes to the client. A short body is traced and dropped.
    void ProcessClientStatusResponse(const uint8_t* body, size_t length);

    // ---- the application object, servers and look-ups (ctiapplication.cpp, appservers.cpp,
    // appconnections.cpp) ----
    // The state and the calendar second it was set; setting it wakes the thread.
    void SetState(int state);
    int64_t GetStateTime() const;
    // "[%d day(s) ][%d hr ][%d min ]%d sec\n" for a duration in seconds (the larger parts only
    // once one of them is not 0), and the same for the time since the state was set.
    static std::string TimeInStateText(int64_t seconds);
    std::string GetTimeInStateText();
    // Appends the application's dump lines, then the session layer's dump.
    void Dump(std::string& text) override;
    bool GetDisableUTF8Conversion() const { return m_DisableUTF8Conversion != 0; }
    // True when `wanted` and the conversion is not disabled by the registry.
    bool NeedsUTF8Conversion(bool wanted) const { return wanted && m_DisableUTF8Conversion == 0; }
    // The session layer's hook: nothing to do, 1.
    int SessionCreated(int32_t sessionID) override;
    // The session layer's look-ups of client records (SessionHost); each takes the server
    // lock when the calling thread does not hold it.
    bool HasClient(uint32_t sessionID) override;
    bool IsTressikClient(uint32_t sessionID) override;
    bool AppPathContains(uint32_t sessionID, uint32_t applicationPathID, uint32_t peripheralID) override;
    // DisableUTF8Conversion is off.
    bool UTF8ConversionAllowed() override { return m_DisableUTF8Conversion == 0; }

    // Peripherals seen in OPC agent and call messages (application thread only). Add keeps
    // the first type of an id. GetPeripheralType: -1 on an empty list, the first entry's type
    // for 0xFFFFFFFF, else the id's type or -1. GetFirstPeripheralType: 0xFFFFFFFF when empty.
    void AddPeripheral(uint32_t peripheralID, uint16_t type);
    int16_t GetPeripheralType(uint32_t peripheralID) const;
    uint32_t GetFirstPeripheralType() const;

    // ECC variables registered by sessions (application thread only). The records keep
    // `client` by pointer: UnregisterECCVariables must run before a record is destroyed.
    // Register tells the session layer when the client is new to the variable; Unregister
    // removes the client everywhere and frees every registration left without clients.
    void RegisterECCVariable(int32_t id, const char* name, ClientCB* client);
    void UnregisterECCVariables(ClientCB* client);
    // Appends the ClientID of every client registered for the variable (none: nothing).
    void GetECCVariableClients(int32_t id, std::vector<std::string>& out);
    size_t ECCVariableRegistrationCount() const { return m_ECCVariableRegistrations.size(); }
    // The fifteen trace keywords and their 1-based trace bits, in the console's order.
    static void GetTraceKeywords(std::vector<std::string>& names, std::vector<int>& bits);

    // One turn's stale-call audit of the call-hash bucket `bucket` (0..255): a stale call is
    // validated with the OPC (a private one only stamped) and the same bucket is returned;
    // without one the next bucket. Application thread.
    int AuditStaleCalls(int bucket);
    // The no-client watch's decision for one turn, from what the turn saw.
    struct NoClientInput {
        bool duplex = false;
        bool noSessions = false;         // the session layer holds no session at all
        bool active = false;             // the application is Active
        bool noClientConnection = false; // no counting client (or the interface is down)
        int32_t timeoutSeconds = 60;     // NoClientConnectionsTimeout
        int64_t nowMs = 0;
    };
    enum class NoClientOutcome { Reset, StartTiming, Timing, Report };
    struct NoClientWatch {
        bool timing = false;
        int64_t startMs = 0;
        // Moves the watch one turn; on Report `elapsedSeconds` is set and timing stops.
        NoClientOutcome Step(const NoClientInput& in, int32_t& elapsedSeconds);
    };
    // Whether the session layer's clients count as none (the client test of the no-client
    // rule, over the client records; object servers without clients behind them do not
    // count).
    static bool NoClientConnection();
    // Client messages other than CLOSE_REQ are refused while a no-client failover is reported
    // and NICStatusBasedFailover is set.
    static bool RefusedByFailover(bool nicStatusBasedFailover, int failoverReported, int32_t type);

    // ---- application servers (appservers.cpp; application thread) ----
    enum AppServerMode : int32_t { Exclusive = 0, RoundRobin = 1, Parallel = 2, Unregistered = -1 };
    struct AppServer {
        int32_t sessionID = 0;
        int32_t mode = Exclusive;
        std::string serviceName;
        uint32_t appServerID = 0;
        bool token = false;      // the Round-Robin server whose turn it is
        uint64_t registered = 0; // FILETIME, UTC
    };
    struct AppServerReq {
        uint32_t invokeID = 0;
        int32_t sessionID = 0;
        uint32_t kind = 0;   // 0 start, 1 stop
        uint64_t time = 0;   // FILETIME, UTC, when made
    };
    using AppServerPtr = std::unique_ptr<AppServer>;
    using AppServerReqPtr = std::unique_ptr<AppServerReq>;
    // A new record with a fresh ID (GetNextAppServerID) and the time; the caller owns it
    // until QueueAppServer.
    [[nodiscard]] AppServerPtr AllocAppServer(int32_t sessionID, int32_t mode, const std::string& name);
    [[nodiscard]] static AppServerReqPtr AllocAppServerReq(uint32_t invokeID, int32_t sessionID, uint32_t kind);
    // Appends a registered server; the queue owns it. Returns it.
    AppServer* QueueAppServer(AppServerPtr server);
    // Unlinks a queued server (its turn passes to the next, or from the last to the first)
    // and hands it back with mode -1; null when it is not queued.
    [[nodiscard]] AppServerPtr RemoveAppServer(AppServer* server);
    // Queue look-ups, first match from the head, or null (the queue keeps the record).
    AppServer* FindAppServerByName(const std::string& name);
    AppServer* FindAppServerByID(uint32_t id);
    AppServer* FindAppServerBySession(int32_t sessionID);
    AppServer* FindAppServerWithToken();
    size_t AppServerCount();
    // Appends a forwarded request (the queue owns it), after dropping, with a trace, every
    // request that has waited more than 60000 ms for its answer.
    void QueueAppServerReq(AppServerReqPtr request);
    // Takes the first request with that InvokeID out of the queue; null when none.
    [[nodiscard]] AppServerReqPtr TakeAppServerReq(uint32_t invokeID);
    size_t AppServerReqCount();
    // 0 "Exclusive", 1 "Round-Robin", 2 "Parallel", else "PARLO_EXCLUSIVE".
    static const char* AppServerModeName(int32_t mode);
    // The next ID of a 31-bit counter from 1, never 0 nor one a queued server holds.
    uint32_t GetNextAppServerID();
    void SetNextAppServerIDForTest(uint32_t next) { m_NextAppServerID = next; }

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
    void ProcessNonVoiceAgentEvent(const struct OPCAgentEventRecord& record, bool enabled);
    void ProcessVoiceAgentEvent(const struct OPCAgentEventRecord& record, bool enabled);
    // The first session of the login-wait queue that waits for this agent is bound to it.
    void CompleteAgentLoginWait(const struct OPCAgentEventRecord& record, Agent* agent);
    // A logged-out agent: its device let go, its agent-mode session back to waiting (or,
    // with AgentLoginRequired, ended with FAILURE_EVENT 9).
    void ProcessAgentLogout(const struct OPCAgentEventRecord& record, Agent* agent, bool enabled);

    // ---- application object: private (ctiapplication.cpp, appservers.cpp, appconnections.cpp) ----
    struct ECCVariableRegistration {
        int32_t id = 0;
        std::string name;
        std::vector<ClientCB*> clients;  // not owned
    };
    // One turn of the no-client watch (the thread's step 5); true when it reported.
    bool WatchNoClients(int64_t nowMs);
    // Registry values read at the moment of use (defaults without a registry).
    uint32_t RegistryDynamic(int value, uint32_t fallback) const;
    void SetStateLocked(int state);  // m_Lock held
    int AuditBucket(int bucket);     // AuditStaleCalls once the call table is known to exist
    void ReportListenPorts(bool end, bool orderly);
    // Server meter `meter` += the milliseconds since `sinceNs` (monotonic).
    static void UpdateMeter(int meter, int64_t sinceNs);
    // The drain's re-check of the network after each entry; true when it reported.
    bool RecheckNoClients();
    void ReportNoClients(int32_t elapsedSeconds);
    uint32_t m_DisableUTF8Conversion = 0;
    int64_t m_StateTime = 0;  // calendar seconds
    std::vector<uint32_t> m_PeripheralIDs;
    std::vector<uint16_t> m_PeripheralTypes;
    std::vector<std::unique_ptr<ECCVariableRegistration>> m_ECCVariableRegistrations;
    NoClientWatch m_NoClientWatch;
    int m_AuditBucket = 0;
    std::unique_ptr<CTILockObject> m_AppServerReqQueueLock;
    std::unique_ptr<CTILockObject> m_AppServerQueueLock;
    std::deque<AppServerPtr> m_AppServerQueue;
    std::deque<AppServerReqPtr> m_AppServerReqQueue;
    uint64_t m_AppServerQueueServiceTime = 0;     // FILETIME
    uint64_t m_AppServerReqQueueServiceTime = 0;  // FILETIME
    uint32_t m_NextAppServerID = 1;

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
