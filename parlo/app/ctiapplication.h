#pragma once
// CTIApplication: the application object. It is the session layer's master (activation opens
// the client ports, idling closes them) and its host (SessionHost: it takes the client input
// and the session hooks), and the server core's application: configuration, the link status,
// the daily id reset, and the server's forwarders.
//
// Its work is split by concern, each in its own class and header, owned here:
//   ApplicationQueue (appqueue.h)  the application thread, its OPC input queue, the state
//   AppDispatch (appdispatch.h)    the two dispatch tables and the dispatch through them
//   OpenRoad (openroad.h)          the open road, agent association, OPC's answers on it
//   AgentEvents (agentevents.h)    CTI_AGENT_EVENT and the client status answers
//   ClientClose (clientclose.h)    close, clean-up, the session hooks, agent removal
//   AppPeripherals (appperipherals.h)  the peripherals seen in OPC messages
// The rest stays here: the ECC variable registrations, the application servers
// (appservers.cpp), the connection look-ups (appconnections.cpp), the configuration pushes
// (configevents.cpp) and the client records' seams (appseams.cpp). Every operation of the
// system keeps its name here (the dispatch tables and the server call them so): a member
// whose work moved forwards to the class that does it.
//
// Threads: the application thread runs the handlers; the server's threads call the
// forwarders and the producers; the session layer calls the SessionHost hooks on its own
// threads (each says what it takes).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "nuvlib/stdqueue.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/tpcstamsg.h"
#include "parlo/app/agentevents.h"
#include "parlo/app/appdispatch.h"
#include "parlo/app/appperipherals.h"
#include "parlo/app/appqueue.h"
#include "parlo/app/clientclose.h"
#include "parlo/app/openroad.h"
#include "parlo/session/session.h"

class AppClientSeams;
class Agent;
class AgentTeam;
class Call;
class ExpandedCallContextBase;
class ClientCB;
class CSTAMessage;
struct CSTAExtendedDeviceID;
class OPCReq;
class TPCSTAConfMsg;
class CTICSTAConnection;
class CTICSTADevice;
class CTILockObject;
class CTIRegistry;

class CTIApplication : public SessionProtocol, public SessionHost {
public:
    // Application states; in service means Active or Standby.
    using State = ApplicationQueue::State;
    using enum ApplicationQueue::State;
    static constexpr const char* kThreadName = ApplicationQueue::kThreadName;

    // The master: registers with the session layer (one at a time). Not configured, New.
    CTIApplication();
    // Stops and waits for the application thread; removes the client seams it installed.
    ~CTIApplication() override;
    CTIApplication(const CTIApplication&) = delete;
    CTIApplication& operator=(const CTIApplication&) = delete;

    // Takes the configuration it needs (the registry outlives the application), configures
    // the session layer and the listen ports, and installs the client records' seams (undone
    // by the destructor). Configured unless the session layer refused the configuration.
    void Configure(CTIRegistry* registry);
    // The registry given to Configure, or null.
    CTIRegistry* GetRegistry() const { return m_Registry; }
    // The agent-login wait queue (ClientCB records linked by their login-wait link).
    StdQueue& AgentLoginWaitQueue() { return m_AgentLoginWaitQueue; }
    // Appends the link status text of the server's status output.
    void GetCTILinkStatus(std::string& text);
    // The next session id and the next monitor id start again at 1.
    void ResetIDCounters() override;
    int32_t GetNextSessionID() const { return m_NextSessionID; }
    int32_t GetNextMonitorID() const { return m_NextMonitorID; }

    // ---- state and thread (ApplicationQueue) ----
    int GetState() const { return m_Queue.GetState(); }
    bool IsActive() override { return m_Queue.IsActive(); }
    bool IsActive() const { return m_Queue.IsActive(); }
    bool IsInService() const {
        const int s = GetState();
        return s == Active || s == Standby;
    }
    // The state and the calendar second it was set; setting it wakes the thread.
    void SetState(int state) { m_Queue.SetState(state); }
    int64_t GetStateTime() const { return m_Queue.GetStateTime(); }
    // Opens the client ports and starts the application thread in active mode; a running
    // Standby application only switches to active (the session layer leaves standby and the
    // server becomes ACTIVE at once). Returns 1, or 0 when it cannot start.
    [[nodiscard]] int Activate();
    // Opens the client ports in standby and starts the thread in standby mode. Returns 1 (also
    // when it runs in standby already), or 0 (it runs active, or cannot start).
    [[nodiscard]] int StartStandby();
    // Closes the client ports (the clients first, while the thread still takes their closes),
    // then stops the application thread and waits for its end, at most 300000 ms on the
    // clock; the state becomes Shutdown. A thread still running then is traced and left.
    void Idle(int reason);
    bool IsThreadRunning() const { return m_Queue.IsThreadRunning(); }
    // Tests: ends the application thread as if it had failed (no shutdown asked for).
    void FailThreadForTest() { m_Queue.FailThreadForTest(); }

    // ---- the input queue (ApplicationQueue) ----
    // OPC input (the payload with its ServerNumber word): dispatched at once on the calling
    // thread while not in service, else queued for the application thread. `data` is copied.
    void ProcessOPCInput(int type, int length, const uint8_t* data) { m_Queue.ProcessOPCInput(type, length, data); }
    // Maintenance: the request queues a marker, on which the thread holds OPC input (and
    // later markers) in the queue while it still serves client messages;
    // ProcessOPCMsgsFromQueue releases them, in their order.
    void QueueMaintenanceRequest() { m_Queue.QueueMaintenanceRequest(); }
    void ProcessOPCMsgsFromQueue() { m_Queue.ProcessOPCMsgsFromQueue(); }
    // A maintenance request is pending or the queue is held.
    bool IsMaintenanceHold() const { return m_Queue.IsMaintenanceHold(); }
    bool IsKeepingOPCMsgsInQueue() const { return m_Queue.IsKeepingOPCMsgsInQueue(); }
    // The session layer's reset of the input event (under the queue lock); kept set while
    // this queue holds an entry it would hand out.
    void ResetInputEvent() override { m_Queue.ResetInputEvent(); }
    // Entries in the input queue and in the pool's free list (tests, dumps).
    size_t InputQueueCount() const { return m_Queue.InputQueueCount(); }
    size_t FreeApplicationMSGCount() { return m_Queue.FreeApplicationMSGCount(); }
    // The capacity of the smallest buffer of the free list (tests of the pool's growth).
    size_t SmallestFreeBuffer() { return m_Queue.SmallestFreeBuffer(); }
    // A marker for the application thread (-1 client input, -2 deferred agents); dropped
    // while no thread runs. Any thread.
    void QueueApplicationMSG(int marker) override { m_Queue.QueueApplicationMSG(marker); }
    // One turn's stale-call audit (ApplicationQueue::AuditStaleCalls). Application thread.
    [[nodiscard]] int AuditStaleCalls(int bucket) { return m_Queue.AuditStaleCalls(bucket); }
    using NoClientInput = ApplicationQueue::NoClientInput;
    using NoClientOutcome = ApplicationQueue::NoClientOutcome;
    using NoClientWatch = ApplicationQueue::NoClientWatch;
    static bool NoClientConnection() { return ApplicationQueue::NoClientConnection(); }

    // ---- dispatch (AppDispatch) ----
    using ClientHandler = AppDispatch::ClientHandler;
    using OPCHandler = AppDispatch::OPCHandler;
    using RowState = AppDispatch::RowState;
    using ClientRow = AppDispatch::ClientRow;
    using OPCRow = AppDispatch::OPCRow;
    using SessionInput = AppDispatch::SessionInput;
    static std::span<const ClientRow> ClientRows() { return AppDispatch::ClientRows(); }
    static std::span<const OPCRow> OPCRows() { return AppDispatch::OPCRows(); }
    static const ClientRow* FindClientRow(int32_t type) { return AppDispatch::FindClientRow(type); }
    static const OPCRow* FindOPCRow(int32_t type) { return AppDispatch::FindOPCRow(type); }
    static bool RefusedByFailover(bool nicStatusBasedFailover, int failoverReported, int32_t type) {
        return AppDispatch::RefusedByFailover(nicStatusBasedFailover, failoverReported, type);
    }
    // Takes one client frame off the session input queue and dispatches its decoded message.
    [[nodiscard]] SessionInput ProcessSessionMessage() { return m_Dispatch.ProcessSessionMessage(); }
    // Dispatches one OPC message of `length` bytes (ServerNumber word, then the body). An
    // unknown type ends the process (exit 100002).
    void ProcessOPCMessage(int type, int length, const uint8_t* data) { m_Dispatch.ProcessOPCMessage(type, length, data); }
    void ProcessPGStatusEvent(const uint8_t* body, size_t length) { m_Dispatch.ProcessPGStatusEvent(body, length); }
    // SYSTEM_EVENT "PG offline" with `text` to every session while the server is active.
    void ProcessPGFailure(const char* text) { m_Dispatch.ProcessPGFailure(text); }

    // ---- the open road (OpenRoad) ----
    void OpenValidAgent(ClientCB* client, Agent* agent, uint16_t peripheralType, int online) {
        m_OpenRoad.OpenValidAgent(client, agent, peripheralType, online);
    }
    [[nodiscard]] int LoginWait(ClientCB* client) { return m_OpenRoad.LoginWait(client); }
    [[nodiscard]] int CompleteAgentAssociation(ClientCB* client, Agent* agent, int sendBeginCalls) {
        return m_OpenRoad.CompleteAgentAssociation(client, agent, sendBeginCalls);
    }
    [[nodiscard]] int ResolveAgentConflict(ClientCB* newClient, ClientCB* existing) {
        return m_OpenRoad.ResolveAgentConflict(newClient, existing);
    }
    void SetAgentDevice(Agent* agent, CTICSTADevice* device) { m_OpenRoad.SetAgentDevice(agent, device); }
    void FailClientOpen(ClientCB* client, uint32_t code) { m_OpenRoad.FailClientOpen(client, code); }
    void OpenValidAppPath(ClientCB* client) { m_OpenRoad.OpenValidAppPath(client); }
    void OpenValidClient(ClientCB* client) { m_OpenRoad.OpenValidClient(client); }
    // Sessions counted by the open road and not yet destroyed. Any thread.
    int32_t GetNumClients() const { return m_OpenRoad.GetNumClients(); }
    void AddNumClients(int32_t delta) { m_OpenRoad.AddNumClients(delta); }
    bool IsAgentLoginRequired() const { return m_OpenRoad.IsAgentLoginRequired(); }
    // A minimal valid OPEN_CONF for an OPEN_REQ (the requested services granted), owned by
    // the caller: for masters that confirm opens without the open road (tests, the fan-out
    // bench). The application's own confirmation is the open road's.
    [[nodiscard]] static BaseMSGPtr MakeOpenConf(BaseMSG& request);

    // ---- agent events (AgentEvents) ----
    void ProcessAgentEvent(const uint8_t* body, size_t length) { m_AgentEvents.ProcessAgentEvent(body, length); }
    void ProcessClientStatusResponse(const uint8_t* body, size_t length) {
        m_AgentEvents.ProcessClientStatusResponse(body, length);
    }

    // ---- close and clean-up (ClientClose) ----
    void CloseClient(int sessionID, int cause) { m_Close.CloseClient(sessionID, cause); }
    void KillClient(int sessionID) { m_Close.KillClient(sessionID); }
    void SendAppPathDownForAllClients() { m_Close.SendAppPathDownForAllClients(); }
    void ProcessAgentRemoved(const uint8_t* body, size_t length) { m_Close.ProcessAgentRemoved(body, length); }
    // The session layer's hooks (SessionHost), on the thread that fails or destroys the
    // session, no session lock held; both return 1.
    [[nodiscard]] int SessionFailed(int32_t sessionID) override { return m_Close.SessionFailed(sessionID); }
    [[nodiscard]] int SessionDestroyed(int32_t sessionID) override { return m_Close.SessionDestroyed(sessionID); }
    void ClientCleanup(int32_t sessionID) { m_Close.ClientCleanup(sessionID); }

    // ---- the peripherals seen in OPC messages (AppPeripherals; application thread) ----
    void AddPeripheral(uint32_t peripheralID, uint16_t type) { m_Peripherals.Add(peripheralID, type); }
    int16_t GetPeripheralType(uint32_t peripheralID) const { return m_Peripherals.GetType(peripheralID); }
    uint32_t GetFirstPeripheralType() const { return m_Peripherals.GetFirstType(); }

    // ---- the server's forwarders ----
    void GetECCVariableClients(std::string& text);
    void GetTraceKeywords(std::string& text);
    // The broadcast: EMS 0x212E000F "BROADCAST MESSAGE: text" and, while the server is
    // active, SYSTEM_EVENT with the text to every session.
    void SendText(const char* text);
    // The configuration deleted an ECC variable: every registered session gets FAILURE_EVENT
    // (E_CTI_NAMED_ARRAY_NOT_CONFIGURED or E_CTI_NAMED_VARIABLE_NOT_CONFIGURED) and the
    // session layer forgets its registration. Takes the server lock.
    void DeleteECCVariable(int32_t id, const std::string& name, int32_t isArray);
    // A terminal record of `end - record` bytes (TerminalConfig::ProcessTerminalRecord):
    // returns the next record, or null (traced) when the record runs past `end`.
    const uint8_t* ProcessTerminalConfig(int32_t op, int32_t update, const uint8_t* record,
                                         const uint8_t* end);

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
    // EMS 0xA12EC00E: the first call, then at most once per 3600000 ms on the clock. Any
    // thread.
    static void ReportECCTooMuchData();

    // ---- configuration pushes (configevents.cpp) ----
    // CONFIG_BEGIN_EVENT with ConfigType 2 and ConfigurationInformation `infoBit`: CONFIG_MRD
    // sets the five table keys to `key`, 0x100 (terminals) no key, any other bit the element
    // keyElement. Sent to the session (SendResponseMSG, now) without the application's check.
    static void SendConfigBeginEvent(uint32_t infoBit, double key, int32_t sessionID,
                                     uint32_t keyElement);
    // CONFIG_END_EVENT with ConfigEndStatus `status` to the session.
    static void SendConfigEndEvent(int32_t sessionID, uint32_t status);

    // ---- the application object (ctiapplication.cpp) ----
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
    [[nodiscard]] int SessionCreated(int32_t sessionID) override;
    // The session layer's look-ups of client records (SessionHost); each takes the server
    // lock when the calling thread does not hold it.
    bool HasClient(uint32_t sessionID) override;
    bool IsTressikClient(uint32_t sessionID) override;
    bool AppPathContains(uint32_t sessionID, uint32_t applicationPathID, uint32_t peripheralID) override;
    // DisableUTF8Conversion is off.
    bool UTF8ConversionAllowed() override { return m_DisableUTF8Conversion == 0; }

    // ECC variables registered by sessions (application thread only). The registrations keep
    // `client` by pointer: UnregisterECCVariables must run before a record is destroyed.
    // Register tells the session layer when the client is new to the variable; Unregister
    // removes the client everywhere and frees every registration left without clients.
    void RegisterECCVariable(int32_t id, const char* name, ClientCB* client);
    void UnregisterECCVariables(ClientCB* client);
    // Appends the ClientID of every client registered for the variable (none: nothing).
    void GetECCVariableClients(int32_t id, std::vector<std::string>& out);
    size_t ECCVariableRegistrationCount() const { return m_ECCVariableRegistrations.size(); }
    // The trace keywords and their 1-based trace bits, in the console's order
    // (TraceKeywordRows, parlo/common/svrtrace.h).
    static void GetTraceKeywords(std::vector<std::string>& names, std::vector<int>& bits);

    // ======== call control (callhelpers.cpp, callcontrol.cpp, calldata.cpp, eccmerge.cpp,
    // supervisorreqs.cpp). Application thread; none of these holds a lock across its steps. ========
    // A private call of `callType` for the agent whose instrument is `instrument` on the
    // peripheral, keyed by the new connection (callID, deviceID, deviceIDType), with the dialed
    // number recorded. Null when MaxPrivateCallsPerAgent (read live) is below 1, the instrument
    // is empty or no agent is at it. The agent drops its oldest private calls first while it
    // holds the limit; the new call belongs to the agent's list (FreeCall, DetachPrivateCall).
    // `client` and `label` are not used. Call without the server lock held.
    Call* AddPrivateCallAtInstrument(ClientCB* client, uint32_t peripheralID, uint16_t callType,
                                     uint32_t callID, const char* deviceID, uint16_t deviceIDType,
                                     const char* dialedNumber, const char* instrument,
                                     const char* label);
    // Releases the call (null: nothing): a private call through its agent, any other with
    // Call::Free; the call's end goes to clients. The pointer is gone afterwards. `label` is
    // not used. Call without the server lock held.
    void FreeCall(Call* call, const char* label);
    // Unlinks a private call from its agent's list without freeing it (null, or a call
    // without an agent: nothing); it lives on as an ordinary call.
    void DetachPrivateCall(Call* call);
    // The session through which the team member with that SkillTargetID is reached: its
    // agent-mode session when that is open or standby; -1 otherwise (also for -1 or a null
    // team). Takes the server lock, then the session layer's master lock, one after the other.
    static int32_t GetAgentSessionID(const AgentTeam* team, int32_t skillTargetID);
    // The periph_variables and ecc_variables trace keywords: call variables and call context
    // values may appear in traces.
    static bool IsPeriphVariablesTraceOn();
    static bool IsECCVariablesTraceOn();
    // Merges the call context of `msg` (its ExpandedCallContxt list, in order) into `target`:
    // an unknown name is skipped (traced), a value is converted from UTF-8 when `tressik` and
    // the conversion is allowed, then cut to the variable's MaximumLength; each is set as the
    // record's own is-array flag says. Returns 0 or the CTI code of the first failure (later
    // records are still set). `*data`/`*size` get target's BINDATA, which belongs to `target`
    // and stays valid until it changes.
    uint32_t MergeECCData(const uint8_t** data, int32_t* size, ExpandedCallContextBase& target,
                          BaseMSG& msg, bool tressik);
    // The same after loading `call`'s context (may be null) into `target`.
    uint32_t MergeECCDataWithCallECC(const uint8_t** data, int32_t* size,
                                     ExpandedCallContextBase& target, BaseMSG& msg, Call* call,
                                     bool tressik);
    // ======== end of call control (public) ========

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

    // ---- CSTA intake and confirmation matching (cstaintake.cpp, cstaconfirm.cpp) ----
    // CTI_CSTA_MESSAGE (the body after the ServerNumber word, `length` bytes): unpacked
    // (UnpackCSTAMessage drops, traced, a message whose parts do not fit) and dispatched by
    // event class: 4 unsolicited events, 5 confirmations, 6 event reports; another class is
    // traced and dropped. Nothing is read past `length`. Application thread.
    void ProcessCSTAMessage(const uint8_t* body, size_t length);
    // Class 4: traced (call-state trace or TR_PROC_6), the header checked, then the event
    // type's row of cstaeventtable.def; an unknown type is traced and dropped.
    void ProcessCSTAUnsolicited(const CSTAMessage& message);
    // Class 5: the confirmation matched to its outstanding request (OPCReq::Find by InvokeID,
    // else a record rebuilt for the session named by string 1) and answered through the
    // confirmation table (confirmationtable.def). While the OPC link is not server-active it
    // is dropped and the records are kept; otherwise the record is released on every path.
    void ProcessCSTAConfirmation(const CSTAMessage& message);
    // Class 6: only the private event (CSTA_PRIVATE) is taken; ProcessCSTAPrivateEvent checks
    // its header and hands the second private-data block to ProcessCSTAPrivateEventMessages,
    // which reads the private message type (a u32) and calls its row with the rest.
    void ProcessCSTAEventReport(const CSTAMessage& message);
    void ProcessCSTAPrivateEvent(const CSTAMessage& message);
    void ProcessCSTAPrivateEventMessages(const CSTAMessage& message, const uint8_t* data,
                                         uint32_t length);
    // The call-state trace switch (the console sets it); off at start. Any thread.
    std::atomic<uint32_t> CallstateTrace{0};
    bool IsCallstateTraceOn() const { return CallstateTrace.load(std::memory_order_relaxed) != 0; }

private:
    friend struct DispatchTables;  // appdispatch.cpp: the rows name the private handlers
    friend struct CSTAEventTables;        // cstaintake.cpp: the event rows name private handlers
    friend struct CSTAConfirmationTable;  // cstaconfirm.cpp: likewise the confirmation rows
    // The shared placeholders of the event rows not served yet: traced and dropped.
    void ProcessLaterCSTAEvent(const CSTAMessage& message);
    void ProcessLaterCSTAPrivateEvent(const CSTAMessage& message, const uint8_t* data, uint32_t length);
    // The handlers the dispatch tables name, each forwarding to the class that serves it.
    void ProcessOpenRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
        m_OpenRoad.ProcessOpenRequest(sessionID, std::move(msg), received);
    }
    void ProcessCloseRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
        m_Close.ProcessCloseRequest(sessionID, std::move(msg), received);
    }
    void ProcessSessionFailedMsg(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
        m_Dispatch.ProcessSessionFailedMsg(sessionID, std::move(msg), received);
    }
    void ProcessConfigMessage(const uint8_t* body, size_t length) { m_Dispatch.ProcessConfigMessage(body, length); }
    void ProcessLaterClientMessage(int32_t sessionID, BaseMSGPtr msg, uint64_t received) {
        m_Dispatch.ProcessLaterClientMessage(sessionID, std::move(msg), received);
    }
    void ProcessLaterOPCMessage(const uint8_t* data, size_t length) { m_Dispatch.ProcessLaterOPCMessage(data, length); }
    void ProcessAgentStateResponse(const uint8_t* body, size_t length) {
        m_OpenRoad.ProcessAgentStateResponse(body, length);
    }
    void ProcessARMAppPathUpRespMsg(const uint8_t* data, size_t length) {
        m_OpenRoad.ProcessARMAppPathUpRespMsg(data, length);
    }

    // ======== call control: the handlers the dispatch rows name, on one road ========
    // Each owns `msg` and deletes it on every path; a refusal is one failure answer and sends
    // nothing to OPC.
    void ProcessAlternateCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessAnswerCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessClearCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessClearConnectionRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessConferenceCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessConsultationCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessDeflectCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessHoldCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessMakeCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessMakePredictiveCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessReconnectCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessRetrieveCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessTransferCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessSendDTMFSignalRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessSupervisorAssistRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessEmergencyCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessSuperviseCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    // ======== end of call control (private) ========

    // ---- call-control confirmations (callconfirms.cpp) and snapshots (snapshots.cpp) ----
    // Application thread. The confirmation handlers are called by the confirmation matching
    // with the open (or login-waiting) session's record, OPC's confirmation and the request's
    // outstanding record; each sends the client its confirmation (InvokeID from the record)
    // and may update the model. They neither keep nor release the record, which stays the
    // matching's (the clear-connection handler clears its UncontrolledDrop). Nothing read
    // from the confirmation goes past what the unpacker checked.
    void ProcessAlternateCallConf(ClientCB* client, TPCSTAAlternateCallConfEventMsg* conf, OPCReq* request);
    void ProcessAnswerCallConf(ClientCB* client, TPCSTAAnswerCallConfEventMsg* conf, OPCReq* request);
    void ProcessClearCallConf(ClientCB* client, TPCSTAClearCallConfEventMsg* conf, OPCReq* request);
    void ProcessClearConnectionConf(ClientCB* client, TPCSTAClearConnectionConfEventMsg* conf,
                                    OPCReq* request);
    void ProcessConferenceCallConf(ClientCB* client, TPCSTAConferenceCallConfEventMsg* conf, OPCReq* request);
    void ProcessConsultationCallConf(ClientCB* client, TPCSTAConsultationCallConfEventMsg* conf,
                                     OPCReq* request);
    void ProcessDeflectCallConf(ClientCB* client, TPCSTADeflectCallConfEventMsg* conf, OPCReq* request);
    void ProcessHoldCallConf(ClientCB* client, TPCSTAHoldCallConfEventMsg* conf, OPCReq* request);
    void ProcessMakeCallConf(ClientCB* client, TPCSTAMakeCallConfEventMsg* conf, OPCReq* request);
    void ProcessMakePredictiveCallConf(ClientCB* client, TPCSTAMakePredictiveCallConfEventMsg* conf,
                                       OPCReq* request);
    void ProcessReconnectCallConf(ClientCB* client, TPCSTAReconnectCallConfEventMsg* conf, OPCReq* request);
    void ProcessRetrieveCallConf(ClientCB* client, TPCSTARetrieveCallConfEventMsg* conf, OPCReq* request);
    void ProcessTransferCallConf(ClientCB* client, TPCSTATransferCallConfEventMsg* conf, OPCReq* request);
    void ProcessSendDTMFSignalConf(ClientCB* client, TPCSTASendDTMFConfEventMsg* conf, OPCReq* request);
    void ProcessSupervisorAssistConf(ClientCB* client, TPCSTASupervisorAssistConfEventMsg* conf,
                                     OPCReq* request);
    void ProcessEmergencyCallConf(ClientCB* client, TPCSTAEmergencyCallConfEventMsg* conf, OPCReq* request);
    void ProcessSuperviseCallConf(ClientCB* client, TPCSTASuperviseCallConfEventMsg* conf, OPCReq* request);
    void ProcessSnapshotCallConf(ClientCB* client, TPCSTASnapshotCallConfEventMsg* conf, OPCReq* request);
    void ProcessSnapshotDeviceConf(ClientCB* client, TPCSTASnapshotDeviceConfEventMsg* conf, OPCReq* request);
    void ProcessQueryDeviceInfoConf(ClientCB* client, TPCSTAQueryDeviceInfoConfEventMsg* conf,
                                    OPCReq* request);
    // The three requests: answered at once (a tracked call that is no longer active, a
    // refusal), or sent to OPC with an outstanding record. Each owns and drops `msg`.
    void ProcessSnapshotCallRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessSnapshotDeviceRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    void ProcessQueryDeviceInfoRequest(int32_t sessionID, BaseMSGPtr msg, uint64_t received);
    // ---- end of call-control confirmations and snapshots ----
    // ======== call events: the CSTA event handlers the event rows name ========
    // (callevents.cpp, callcleared.cpp) Each follows CallEventFrame: the model is updated
    // whether or not the OPC link is server-active; the CTI event is built only while it is,
    // and goes out through Call::WriteMSG. An event for a call the model does not know is
    // traced and dropped. Application thread, without the server lock or CallLock held.
public:
    // The call's DestExtension (the instrument part on internal peripheral types 30, 51 and
    // 54) and, for a plain device (status 0, type 0 or 78) with an ID, DestAgentID when an
    // agent has that extension. Null call: nothing. Takes the server lock itself.
    static void SetCallDestAgent(int32_t peripheralID, const CSTAExtendedDeviceID& device, Call* call);

private:
    void ProcessCallDeliveredEvent(const CSTAMessage& message);
    void ProcessCallEstablishedEvent(const CSTAMessage& message);
    void ProcessCallOriginatedEvent(const CSTAMessage& message);
    void ProcessCallServiceInitiatedEvent(const CSTAMessage& message);
    // Held raises PARLO_ONHOLD_AGENTS and retrieved lowers it, for a known call, also while
    // the server is not active.
    void ProcessCallHeldEvent(const CSTAMessage& message);
    void ProcessCallRetrievedEvent(const CSTAMessage& message);
    void ProcessCallDivertedEvent(const CSTAMessage& message);
    void ProcessCallFailedEvent(const CSTAMessage& message);
    void ProcessCallReachedNetworkEvent(const CSTAMessage& message);
    // No call: to the all-events sessions and the monitors of the agent's device.
    void ProcessCallAgentGreetingEvent(const CSTAMessage& message);
    // The deactivated call with the message's identity, else every active call of that
    // CallID: unjoined, connections cleared, CALL_CLEARED_EVENT once, cleared.
    void ProcessCallClearedEvent(const CSTAMessage& message);
    // One party leaves; callAction (area word 0) says whether the call ends with it. An
    // agent's connection whose line still carries the call is kept for wrap-up.
    void ProcessConnectionClearedEvent(const CSTAMessage& message);
    // ======== end of call events ========

    struct ECCVariableRegistration {
        int32_t id = 0;
        std::string name;
        std::vector<ClientCB*> clients;  // not owned
    };

    // ---- client records (appseams.cpp) ----
    void InstallClientPorts();
    void RemoveClientPorts();

    CTIRegistry* m_Registry = nullptr;
    uint32_t m_DisableUTF8Conversion = 0;
    int32_t m_NextSessionID = 1;
    int32_t m_NextMonitorID = 1;
    std::vector<std::unique_ptr<ECCVariableRegistration>> m_ECCVariableRegistrations;

    std::unique_ptr<CTILockObject> m_AppServerReqQueueLock;
    std::unique_ptr<CTILockObject> m_AppServerQueueLock;
    std::deque<AppServerPtr> m_AppServerQueue;
    std::deque<AppServerReqPtr> m_AppServerReqQueue;
    uint64_t m_AppServerQueueServiceTime = 0;     // FILETIME
    uint64_t m_AppServerReqQueueServiceTime = 0;  // FILETIME
    uint32_t m_NextAppServerID = 1;

    StdQueue m_AgentLoginWaitQueue;
    std::unique_ptr<AppClientSeams> m_Seams;
    // The CSTA intake's record, reused message after message (5 KB).
    std::unique_ptr<CSTAEventRecord> m_CSTARecord;
    bool m_PortsInstalled = false;

    // The concerns, in the order they are made (each refers only to those above it) and the
    // reverse order they go: the thread stops (in the destructor) before anything it uses.
    AppPeripherals m_Peripherals;
    ApplicationQueue m_Queue{*this};
    AppDispatch m_Dispatch{*this};
    OpenRoad m_OpenRoad{m_Peripherals, m_Queue, m_AgentLoginWaitQueue};
    AgentEvents m_AgentEvents{m_Peripherals, m_Queue, m_OpenRoad, m_AgentLoginWaitQueue};
    ClientClose m_Close{*this};
};
