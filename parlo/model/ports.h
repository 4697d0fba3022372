#pragma once
// The object model's four ports toward the server core and the application. The model never
// includes a header of parlo/server or parlo/app: the session layer, the server, the client
// directory and the OPC writer implement (or forward to) these classes and install them
// once at start with model::InstallPorts. Every operation keeps the name the server uses.
//
// Locks: the model calls the port operations with or without the server lock
// "RTServerConfig" held, and may hold "CallLock" too. An implementation takes the server lock
// only through LockGuard, and otherwise only locks that come after it (the session locks,
// leaf locks).
#include <cstdint>
#include <vector>

#include "parlo/common/meterids.h"

class BaseMSG;
class StdQueue;
class LockObject;


namespace model {

// Recipient choices of SessionSink::WriteMSG (the session layer's distributions).
enum Distribution : int {
    DistributeListAndAllEvents = 0,
    DistributeAllEvents = 1,
    DistributeList = 2,
    DistributeAllSessions = 3,
};

// The session layer. Every write is synchronous: the sink has encoded (or copied) the
// message before it returns, because the caller re-stamps the same object for the next
// recipient. The message stays the caller's. A write that reaches no one is no error of the
// caller's: callers that do not care say (void).
class SessionSink {
public:
    virtual ~SessionSink() = default;
    // Distributes msg (deviceKey may be null: no explicit list). 1, or 0 when not encoded.
    [[nodiscard]] virtual int WriteMSG(const char* deviceKey, int32_t peripheralID, BaseMSG& msg,
                                       int distribution) = 0;
    // To one session; validates for the session's version. 1 sent, 0 otherwise (unknown
    // session or invalid message).
    [[nodiscard]] virtual int WriteMSG(int32_t sessionID, BaseMSG& msg) = 0;
    // FAILURE_EVENT with that status to the session; fail ends the session after it. 1 sent,
    // 0 otherwise (no such session).
    [[nodiscard]] virtual int SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail) = 0;
    // A confirmation or answer to one session; 1 sent, 0 otherwise.
    [[nodiscard]] virtual int SendResponseMSG(int32_t sessionID, BaseMSG& msg, uint64_t requestTime) = 0;
    // Whether a live session has that ID.
    virtual bool FindSession(int32_t sessionID) = 0;
    // The session ID that registered the unique instance ID, or -1.
    virtual int32_t FindSessionByUniqueInstanceID(const char* uniqueInstanceID) = 0;
    // The list of session monitors (CTICSTAMonitor::m_SubjectLinks) of a watched session,
    // given as the monitor's subject; null when the subject is no live session. The list
    // stays the session's; the model links and unlinks monitors under the server lock.
    virtual StdQueue* SessionMonitorList(void* session) = 0;
};

// Names of the performance counters the model moves (ServerContext::Increment, Decrement).
enum class PerfCounter : int {
    PARLO_ACTIVE_CALLS,
    PARLO_REPORTED_CALLS,
    PARLO_DEACTIVATED_CALLS,
    PARLO_CLEARED_CALLS,
    PARLO_PRIVATE_CALLS,
    // agents
    PARLO_LOGGEDIN_AGENTS,
    PARLO_LOGGEDOUT_AGENTS,
    PARLO_READY_AGENTS,
    PARLO_NOT_READY_AGENTS,
    PARLO_WORKREADY_AGENTS,
    PARLO_WORKNOTREADY_AGENTS,
    PARLO_TALKING_AGENTS,
};
// "PARLO_ACTIVE_CALLS", ...: the counter's name; "?" for a value outside the enum.
const char* PerfCounterName(PerfCounter counter);

// The meters the model moves are meter::CallsInProgress and meter::ActiveCalls
// (parlo/common/meterids.h). These two names remain only for
// tests/parlo/server/serverports_test.cpp; delete them once it names the meters.
inline constexpr int kMeterCallsInProgress = meter::CallsInProgress;
inline constexpr int kMeterActiveCalls = meter::ActiveCalls;

// The server: its lock, state, peripheral table, meters, counters, registry and traces.
class ServerContext {
public:
    virtual ~ServerContext() = default;
    // The server lock "RTServerConfig" (the server's CTILockObject, with its long-lock
    // warnings). Not counted: LockServer is false at once when the calling thread holds it;
    // UnlockServer is false unless it does. The model takes it only through LockGuard, via
    // model::ServerLock() (parlo/model/modelutil.h).
    [[nodiscard]] virtual bool LockServer(const char* caller) = 0;
    [[nodiscard]] virtual bool UnlockServer(const char* caller) = 0;
    virtual bool IsServerLockedByCurrentThread() = 0;
    // The server state (serverstate::State, parlo/common/serverstate.h).
    virtual int ServerState() = 0;
    // The OPC link's server-active flag (read without a lock).
    virtual bool IsServerActive() = 0;
    // Internal peripheral type of a PeripheralID; -1 when the peripheral is not known.
    virtual int GetPeripheralType(int32_t peripheralID) = 0;
    virtual void UpdateMeter(int meter, int delta) = 0;
    virtual void Increment(PerfCounter counter) = 0;
    virtual void Decrement(PerfCounter counter) = 0;
    // The registry's RemoveCGDuplicateConnections.
    virtual bool RemoveCGDuplicateConnections() = 0;
    // The debug-control verbose level (0 none).
    virtual int VerboseLevel() = 0;
    // The trace flags events are built with (SVRTracePeriphVariables, SVRTraceECCVariables).
    virtual bool TracePeriphVariables() = 0;
    virtual bool TraceECCVariables() = 0;
    virtual void ActivateAgentConfigureUpdateTimer() = 0;
    // A new lock for the call table, named "CallLock" (the server makes it its own kind, with
    // the long-lock warnings). Asked once, by Call::InitCallList, which owns what it returns;
    // null ends the process.
    virtual LockObject* NewCallLock() = 0;
    // ---- agents ----
    // The registry's MaxPrivateCallsPerAgent and PrivateCallCleanupDelay (seconds).
    virtual int MaxPrivateCallsPerAgent() = 0;
    virtual int PrivateCallCleanupDelay() = 0;
    // The application's call-state trace switch (private calls traced when they are made).
    virtual bool CallStateTraceOn() = 0;
};

// What the model needs of one client (ClientCB). Pointers stay the directory's and are
// valid while the caller holds the server lock and the client is not closed.
struct ClientInfo {
    int32_t sessionID = -1;
    const char* clientID = "";  // the ClientID text
    uint32_t version = 0;
    uint32_t serviceMask = 0;
    StdQueue* monitorList = nullptr;  // at CTICSTAMonitor::ClientLinkOffset
    void* agent = nullptr;            // the agent the client is bound to, or null
};

// ---- configuration clients (the configuration tables) ----
// One configuration client (a ClientCB whose configuration-client flag is set).
struct ConfigClient {
    int32_t sessionID = 0;
    uint32_t configMsgMask = 0;
    int32_t configPeripheralID = 0;  // the configuration PeripheralID of its requests
    uint32_t version = 0;
    bool tressik = false;  // ClientCB::IsTressikClient
};

// The application's clients and helpers.
class ClientDirectory {
public:
    virtual ~ClientDirectory() = default;
    // ClientCB::Find: false when no client has that SessionID.
    [[nodiscard]] virtual bool Find(int32_t sessionID, ClientInfo& out) = 0;
    // Validates msg for version 24; on failure traces the warning naming `caller` and
    // returns 0, else 1. The message stays the caller's.
    [[nodiscard]] virtual int ValidateMessage(const char* caller, BaseMSG& msg) = 0;
    virtual uint64_t FileTimeNow() = 0;
    // The once-an-hour report of a call context too large for a message.
    virtual void ReportECCTooMuchData(const char* caller, uint32_t peripheralID,
                                      uint32_t callID) = 0;

    // ---- configuration clients (the configuration tables) ----
    // ClientCB::GetConfigClients: replaces `out` with every configuration client, in the
    // order of the ClientCB hash.
    virtual void GetConfigClients(std::vector<ConfigClient>& out) = 0;
    // The configuration client of a session; false when the session has no ClientCB.
    [[nodiscard]] virtual bool FindConfigClient(int32_t sessionID, ConfigClient& out) = 0;
    // CTIApplication::SendConfigBeginEvent: CONFIG_BEGIN_EVENT with ConfigType 2 and the
    // ConfigurationInformation bit; configinfomask::CONFIG_MRD sets the five table keys to
    // `key`, TerminalConfig::kInfoBit no key, any other bit the element keyElement. Sent to
    // the session unvalidated.
    virtual void SendConfigBeginEvent(uint32_t infoBit, double key, int32_t sessionID,
                                      uint32_t keyElement) = 0;
    // CTIApplication::SendConfigEndEvent: CONFIG_END_EVENT with ConfigEndStatus `status`.
    virtual void SendConfigEndEvent(int32_t sessionID, uint32_t status) = 0;
    // CTIApplication::GetDisableUTF8Conversion: true turns the UTF-8 texts off.
    virtual bool GetDisableUTF8Conversion() = 0;

    // ---- agents ----
    // Clears the agent the client with that SessionID is bound to (the agent is going).
    virtual void ClearClientAgent(int32_t sessionID) = 0;
    // AddToAssociateAgentList / RemoveFromAssociateAgentList on the client with that
    // SessionID; MRD -1 in the removal drops the agent's whole entry. Unknown clients: nothing.
    virtual void AddToAssociateAgentList(int32_t sessionID, const char* agentID,
                                         int32_t peripheralID, int32_t mrdID, int flag) = 0;
    virtual void RemoveFromAssociateAgentList(int32_t sessionID, const char* agentID,
                                              int32_t peripheralID, int32_t mrdID) = 0;
    // The MRD ID lists of the client's associated-agent entries for that agent, in the
    // client's order (for the agent dump); empty for an unknown client.
    virtual std::vector<std::vector<int32_t>> AssociatedAgentMRDs(int32_t sessionID,
                                                                  const char* agentID,
                                                                  int32_t peripheralID) = 0;
};

// Requests to OPC.
class OPCWriter {
public:
    virtual ~OPCWriter() = default;
    // Asks OPC for a call's data; 1 sent, 0 otherwise.
    [[nodiscard]] virtual int SendGetCallDataReq(int32_t peripheralID, uint32_t callID,
                                                 int deviceIDType, const char* deviceID) = 0;
};

struct Ports {
    SessionSink* sessions = nullptr;
    ServerContext* server = nullptr;
    ClientDirectory* clients = nullptr;
    OPCWriter* opc = nullptr;
};

// Installs the four ports (kept by pointer: they must outlive every model call). Done once
// at start, before the first call is allocated; tests install their fakes. Not locked: no
// model call may run while the ports change.
void InstallPorts(const Ports& ports);
// The installed ports; Sessions(), Server() and Clients() below need them installed.
const Ports& GetPorts();
inline SessionSink& Sessions() { return *GetPorts().sessions; }
inline ServerContext& Server() { return *GetPorts().server; }
inline ClientDirectory& Clients() { return *GetPorts().clients; }

}  // namespace model
