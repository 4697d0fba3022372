#pragma once
// The CTI session layer: SessionMSG (one framed CTI message), SessionTimer (a session's timer
// on the timer wheel) and SessionProtocol, the session object on a client connection. One
// more SessionProtocol, the master, stands for the listening side (the application object
// derives from it); it owns the process-wide session tables, the garbage list and the session
// input queue toward the application thread.
//
// Locks, in this order: the server lock "RTServerConfig", "Master Session Lock", one
// "Session Lock"; "Garbage Lock", "Application Queue Lock" and "SessionMsgLock" are leaves.
// Locks are not counted: every path takes a lock only when the thread does not hold it and
// releases only what it took (LockGuard).
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/servicemask.h"
#include "mdstimer/timer.h"
#include "nuvlib/lockguard.h"
#include "parlo/common/ctilock.h"
#include "parlo/session/sessionports.h"
#include "parlo/session/transport.h"

class StdQueue;

// One CTI frame: the 8-byte header and the body, in a buffer sized to it.
class SessionMSG : public TransportMSG {
public:
    ~SessionMSG() override = default;

    // A frame whose body is read next: length and type from the big-endian header, the
    // header copied in and the cursor past it. Null when the frame would not fit
    // (body above TRANSPORT_MAX_MSG).
    [[nodiscard]] static std::unique_ptr<SessionMSG> CreateFromHeader(uint32_t sessionID, uint32_t version,
                                                                      const uint8_t header[8]);
    // msg encoded for (version, all ten call variables, all ECC, serviceMask). Null when
    // the message does not validate or encode.
    [[nodiscard]] static std::unique_ptr<SessionMSG> CreateFromBaseMSG(uint32_t sessionID, uint32_t version,
                                                                       uint32_t serviceMask, BaseMSG& msg);
    // A copy of a frame built for sending, sharing its bytes read-only; null when no
    // memory for it.
    [[nodiscard]] static std::unique_ptr<SessionMSG> Copy(const SessionMSG& source);

    uint32_t GetMsgType() const override { return m_Type; }
    // Copy (a session frame sharing these bytes).
    [[nodiscard]] std::unique_ptr<TransportMSG> CopySharing() const override;
    uint32_t GetType() const { return m_Type; }
    // The frame's start (its header).
    uint8_t* Data() { return Buffer(); }
    // Received frame: the body length; frame built for sending: the whole frame length.
    uint32_t FrameLength() const { return m_FrameLength; }
    uint32_t SessionID() const { return m_SessionID; }
    uint32_t ClientVersion() const { return m_ClientVersion; }
    uint32_t ServiceMask() const { return m_ServiceMask; }
    void SetSessionID(uint32_t id) { m_SessionID = id; }
    void SetClientVersion(uint32_t version) { m_ClientVersion = version; }
    // UTC FILETIME of the frame's creation.
    uint64_t Stamp() const { return m_Stamp; }
    // Milliseconds since the stamp.
    uint32_t ElapsedSinceStamp() const;
    // Replaces the frame with `length` bytes of `data` (1, or 0 when it does not fit).
    [[nodiscard]] int Replace(const uint8_t* data, int32_t length, uint32_t version);
    // The message the frame was decoded into (or, for the CLOSE_REQ and SESSION_FAILED_MSG
    // the session layer makes itself, built from), so that nobody decodes it again: every
    // frame on the session input queue carries one, taken (once) by the application. Null
    // for a frame built for sending, and once taken.
    void SetDecoded(BaseMSGPtr msg) { m_Decoded = std::move(msg); }
    [[nodiscard]] BaseMSGPtr TakeDecoded() { return std::move(m_Decoded); }

private:
    SessionMSG() = default;
    // A new, stamped, empty frame (allocation failure is fatal).
    static std::unique_ptr<SessionMSG> New(const char* caller);
    void StampTime();

    uint32_t m_FrameLength = 0;
    uint32_t m_Type = 0;
    uint32_t m_SessionID = 0;
    uint32_t m_ClientVersion = 0;
    uint32_t m_ServiceMask = 0;
    uint64_t m_Stamp = 0;
    BaseMSGPtr m_Decoded;
};

// A session's timer: type 0 inactivity (every client session), 1 garbage collection (the
// master). Expiry runs Execute on the timer-wheel thread.
class SessionTimer : public Timer {
public:
    enum TimerType { InactivityTimer = 0, GarbageCollectionTimer = 1 };
    SessionTimer() = default;
    ~SessionTimer() override;

    // Names the timer (null: ""), its type and its session; starts nothing.
    void Set(const char* name, int type, int32_t sessionID);
    void Reschedule() override;
    void Cancel() override;
    std::string GetTimerName() const { return m_TimerName; }
    int GetTimerType() const { return m_TimerType; }
    int32_t GetTimerSessionID() const { return m_TimerSessionID; }
    // Starts the timer to expire `seconds` from now, or (StartOnBoundary) at the first
    // multiple of `seconds` after the wheel's current time.
    virtual void StartSeconds(uint32_t seconds);
    virtual void StartOnBoundary(uint32_t seconds);
    // From a start until a cancel or an expiry.
    bool IsRunning() const { return m_Running.load(); }

protected:
    void ClearRunning() { m_Running = false; }

private:
    std::string m_TimerName;
    int m_TimerType = -1;
    int32_t m_TimerSessionID = -1;
    std::atomic<bool> m_Running{false};
};

// A client session on one accepted connection, or the master (the application object derives
// from it). Sessions are made by the master's CreateConnection on the poster thread and are
// deleted only by the garbage collection (the master's timer) or the master's destructor:
// a session pointer found in a table stays valid while the master lock is held.
class SessionProtocol : public TransportProtocol, public SessionTimer {
public:
    enum SessionState : uint32_t {
        sessionUnknown = 0,
        sessionOpening = 1,
        sessionOpen = 2,
        sessionClosing = 3,
        sessionClosed = 4,
        sessionFailed = 5,
        sessionStandby = 6,
    };
    // Recipient choices of the distributor (WriteMSG).
    enum Distribution : int {
        DistributeListAndAllEvents = 0,
        DistributeAllEvents = 1,
        DistributeList = 2,
        DistributeAllSessions = 3,
        DistributeClientMonitor = 4,
        DistributeAllEventsAndPeripheralMonitor = 5,
        DistributeSupervisor = 6,
        DistributeServer = 7,
        DistributeWEXA = 8,
        DistributeNone = 9,
        DistributeAllTaskEvents = 10,
        DistributeTaskMonitor = 11,
    };
    // One entry of the distributor's explicit list.
    struct DeviceEntry {
        int32_t peripheralID;
        std::string deviceKey;
    };
    struct RegisteredVariable {
        uint32_t id;
        std::string name;
    };
    // The service lists, by the bit a granted mask joins them with (kServiceListBits).
    enum ServiceList : int {
        ListAllEvents,
        ListPeripheralMonitor,
        ListClientMonitor,
        ListSupervisor,
        ListServer,
        ListWEXA,
        ListAgentReporting,
        ListAllTaskEvents,
        ListTaskMonitor,
        kServiceLists
    };
    static constexpr uint32_t kServiceListBits[kServiceLists] = {
        servicemask::ALL_EVENTS, servicemask::PERIPHERAL_MONITOR, servicemask::CLIENT_MONITOR,
        servicemask::SUPERVISOR, servicemask::SERVER,             servicemask::WEXA,
        servicemask::AGENT_REPORTING, servicemask::ALL_TASK_EVENTS, servicemask::TASK_MONITOR};
    static constexpr int NUMBER_SESSION_BUCKETS = 2000;
    static constexpr int NUMBER_OPENING_BUCKETS = 200;
    static constexpr uint32_t kNoIdleTimeout = 0xFFFFFFFFu;
    // How long the master's Close waits for the poster and timer threads.
    static constexpr uint32_t kCloseWaitMs = 6000;

    // The master, serving `host` (which must outlive it; the application passes itself).
    // Registers itself; only one may exist at a time.
    explicit SessionProtocol(SessionHost& host);
    // A session on an accepted socket (owned, with the TLS channel when given). Made only by
    // the master's CreateConnection, on the poster thread, holding the master lock.
    SessionProtocol(int socket, std::unique_ptr<SecuredChannel> channel);
    // The master's destructor closes the transport and deletes every session left.
    ~SessionProtocol() override;

    // The master, or null.
    static SessionProtocol* Master() { return sm_Master.load(); }
    static bool IsOpenState(uint32_t state) { return state == sessionOpen || state == sessionStandby; }
    // A constant text.
    static const char* SessionStateName(uint32_t state);
    // Client sessions made since the master and not yet deleted; any thread.
    static int32_t SessionsNow() { return sm_SessionsNow.load(); }

    // ---- the transport's events (poster thread, session lock held) ----
    // Reads what the socket has: the header, then the body; a whole frame is checked, decoded
    // and handled (HEARTBEAT_REQ, OPEN_REQ, CLOSE_REQ here, the rest queued for the
    // application). A header of an unknown type or a body above TRANSPORT_MAX_MSG fails the
    // session with 2. 1 while a frame is under way or was handled, else 0.
    [[nodiscard]] int ProcessReadEvent() override;
    // Sends on what the transport queued (TransportProtocol::SendMSG(nullptr)): its result.
    [[nodiscard]] int ProcessWriteEvent() override;
    // Queues SESSION_FAILED_MSG(cause) for the application, once; 1.
    [[nodiscard]] int ProcessFailureEvent(int cause) override;
    // The transport's output-queue limit for this session: the registry's
    // MaxQueueAllEventClient or MaxQueueClientEventClient, as the open granted events; 16
    // before the open and without a registry.
    int GetMaxQueuedMessages() override { return static_cast<int>(m_MaxQueued); }
    int GetSessionID() override { return static_cast<int>(m_SessionID); }
    // The OPEN_REQ's ClientID; the text lives as long as the session.
    const char* GetClientID() override { return m_ClientID.c_str(); }
    // Null while the master is not open or standby; otherwise a new session (kept by the
    // transport's table, deleted by the session layer) with its connection timer running.
    TransportProtocol* CreateConnection(int socket, std::unique_ptr<SecuredChannel> channel) override;
    // Sessions are deleted by the garbage collection or the master's destructor.
    void DeleteConnection(TransportProtocol*) override {}
    // The session lock; Lock is false (nothing taken) when this thread holds it already.
    bool Lock(const char* caller) override;
    bool Unlock(const char* caller) override;
    bool IsLocked() override;
    // Session IDs start at 1 again (master lock inside).
    void ResetIDCounters() override;
    CTILockObject& SessionLock() { return *m_SessionLock; }

    // The master's host (the application); only on the master.
    SessionHost& Host() { return *m_Host; }

    // ---- look-ups (callers hold the master lock unless said) ----
    // Re-keys the session in the device table (application thread; master lock inside); 1, or
    // 0 when no session has that ID.
    [[nodiscard]] static int CompleteOpen(int32_t sessionID, const char* deviceKey);
    // The session of that ID (session-ID table) or unique instance ID, or null. The session
    // stays the session layer's: the pointer is valid while the caller holds the master lock.
    static SessionProtocol* FindSession(uint32_t sessionID);
    static SessionProtocol* FindSessionByUniqueInstanceID(const std::string& id);
    // Master lock inside. -1 (state 0) when no session has that ClientID.
    [[nodiscard]] static int32_t GetClientSessionID(const char* clientID, uint32_t* state);
    // The session's peer (master lock inside); empty or 0 when no session has that ID.
    static std::string GetHostAddress(int32_t sessionID);
    static std::string GetHostName(int32_t sessionID);
    static uint32_t GetHostPort(int32_t sessionID);
    const std::string& GetUniqueInstanceID() const { return m_UniqueInstanceID; }
    // The session's registered ECC variables and call variables (master and session locks
    // inside); 1, or 0 when no session has that ID.
    [[nodiscard]] static int AddVariable(int32_t sessionID, uint32_t variableID, const char* name);
    [[nodiscard]] static int RemoveVariable(int32_t sessionID, uint32_t variableID, const char* name);
    [[nodiscard]] static int SetRegisteredCallVars(int32_t sessionID, uint16_t mask);
    // Takes the live settings from the registry (which must outlive the master) and configures
    // the transport; 1, or 0 without a master or when the transport was configured already.
    [[nodiscard]] static int Configure(CTIRegistry* registry);
    // Sessions waiting for deletion (Garbage Lock inside).
    static size_t GarbageCount();

    // ---- timers ----
    // The inactivity timer fails the session with 16; the master's runs the garbage collection.
    void Execute() override;

    // ---- input ----
    // The first frame of the session input queue, or null when it is empty (the host's input
    // event is then reset under the queue's lock). The frame carries its message
    // (TakeDecoded). Any thread; takes the queue's lock.
    static std::unique_ptr<SessionMSG> DequeueInputMessage();
    // Frames on the session input queue now (the queue's lock inside).
    static size_t InputQueueLength();

    // ---- open, close, failure ----
    // The application's verdicts on an OPEN_REQ (application thread; server and master locks
    // inside; the messages stay the caller's). ConfirmOpen: 1 opened, else 0 (no such opening
    // session; device in use from another address: FAILURE_CONF 10 sent and the session
    // failed; an invalid OPEN_CONF; or the session failed meanwhile or on the send). FailOpen:
    // FAILURE_CONF(failureCode) sent and the session failed; the send's result, 0 when no such
    // opening session.
    [[nodiscard]] static int ConfirmOpen(int32_t sessionID, BaseMSG& openConf, uint64_t requestStamp,
                                         bool agentDevice);
    [[nodiscard]] static int FailOpen(int32_t sessionID, uint32_t failureCode);
    // Ends the session with `status` (once: a failed session stays failed and is listed for
    // deletion once). The host hears SessionFailed, the session's queued input goes (but
    // a CLOSE_REQ) and a CLOSE_REQ(status) is queued unless one was. Caller holds the session
    // lock (and may hold the master lock).
    void FailSession(uint32_t status);
    // The application has finished a client's close (application thread; master lock
    // inside): 1, or 0 when the session is unknown or not closed.
    [[nodiscard]] static int CloseSession(int32_t sessionID);
    // Fails the session with that status (the application's answer to SESSION_FAILED_MSG;
    // master lock inside); 1, or 0 when no session has that ID.
    [[nodiscard]] static int FailSessionByID(int32_t sessionID, uint32_t status);
    // The master's life. Open/OpenStandby: 1 once the ports listen, 0 otherwise (the master
    // stays sessionOpening). StandbyToOpen: 1, or 0 when the master is not in standby; only
    // sessions in sessionStandby become open. Close: 1, or 0 when the master never opened;
    // with sessions it waits kCloseWaitMs for the poster and timer threads. Each takes the
    // master lock; Close lets it go for its waits.
    [[nodiscard]] static int Open();
    [[nodiscard]] static int OpenStandby();
    [[nodiscard]] static int StandbyToOpen();
    [[nodiscard]] static int Close(uint32_t reason);

    // ---- output (the distributor, filters and senders) ----
    // The distributor (master lock inside): msg encoded once, a copy per recipient tailored
    // for it, handed to the writer threads. 1, or 0 when msg cannot be encoded.
    [[nodiscard]] static int WriteMSG(const char* deviceKey, int32_t peripheralID, BaseMSG& msg, int distribution);
    // The same with msg's frame made already (null sends nothing); 1.
    [[nodiscard]] static int WriteMSG(std::unique_ptr<SessionMSG> frame, const std::vector<DeviceEntry>& list,
                                      BaseMSG& msg, int distribution);
    // To one session, validated for its version (master and session locks inside); 1 sent,
    // 0 otherwise.
    [[nodiscard]] static int WriteMSG(int32_t sessionID, BaseMSG& msg);
    // Agent-reporting events to the application-path clients (server and master locks
    // inside); the last send's result, 0 when none.
    [[nodiscard]] static int WriteMSG(uint32_t applicationPathID, int32_t skillTargetID, BaseMSG& msg);
    // Sends msg to every standby-capable version-24 session; the count, or -1 when invalid.
    [[nodiscard]] static int SendToActiveStandbyClients(BaseMSG& msg);
    // Waits, until the monotonic `deadlineNs` at the latest, for the writers to put what
    // every open session has waiting on the wire. True when nothing is left (or there is no
    // master). Takes the master and session locks itself: the caller holds none of them.
    static bool WaitForOutputSent(int64_t deadlineNs);
    // The member senders: the caller holds this session's lock. Each encodes msg for the
    // session and sends it now (1), or answers 0 when it cannot be encoded or the connection
    // failed; a message a filter withholds counts as sent.
    [[nodiscard]] int SendMSG(BaseMSG& msg);
    // Filters and sends `frame` (msg's encoding for this session); 1 sent or withheld by a
    // filter, 0 when the connection failed. viaWriter hands it to the transport's writer
    // threads (PostMSG) instead of sending on this thread.
    [[nodiscard]] int SendSessionMSG(std::unique_ptr<SessionMSG> frame, BaseMSG& msg, bool viaWriter = false);
    // What a fan-out works out once for all its recipients (SendSharedMSG).
    struct SharedOutput {
        uint32_t type = 0;
        bool monitored = false;       // the message carries a MonitorID: session monitors see it
        bool serverStopping = false;  // only the closing types go out
        int32_t metered = 0;          // messages to count on the client-message meter
    };
    // SendSessionMSG(viaWriter) for the frame of `post`, given by reference: the same
    // filters, monitors and traces, the meter counted in `output`. When the connection
    // cannot take it by reference a copy is posted instead. 1 sent or withheld, 0 when the
    // connection failed or no copy could be made. Caller holds the master lock (the post's
    // one lock), not this session's.
    [[nodiscard]] int SendSharedMSG(SharedPost& post, BaseMSG& msg, SharedOutput& output);
    // Whether the session's call message mask or agent state mask lets an event of that type
    // (with that agent state, kNoAgentState for types other than AGENT_STATE_EVENT) through.
    bool PassesEventMasks(uint32_t msgType, int32_t agentState) const;
    // Validated for the session's version and sent (master and session locks inside); 1 sent,
    // 0 when no such session or invalid. Moves the response-time meter from requestStamp.
    [[nodiscard]] static int SendResponseMSG(int32_t sessionID, BaseMSG& msg, uint64_t requestStamp);
    // FAILURE_CONF, FAILURE_EVENT and CONTROL_FAILURE_CONF: 1 sent (or withheld), 0 when
    // the message does not validate for the session's version.
    [[nodiscard]] int SendFailureConfMSG(uint32_t invokeID, uint32_t status);
    [[nodiscard]] int SendFailureConfMSGEx(uint32_t invokeID, uint32_t status, const char* text);
    [[nodiscard]] int SendFailureEventMSG(uint32_t status);
    [[nodiscard]] int SendControlFailureConfMSG(uint32_t invokeID, uint32_t failureCode,
                                                uint32_t peripheralErrorCode);
    [[nodiscard]] int SendControlFailureConfMSGEx(uint32_t invokeID, uint32_t failureCode,
                                                  uint32_t peripheralErrorCode, const char* text);
    // The same by session ID (master and session locks inside); 0 when no such session.
    // SendFailureEventMSG with `fail` fails the session with `status` after the send.
    [[nodiscard]] static int SendFailureConfMSG(int32_t sessionID, uint32_t invokeID, uint32_t status);
    [[nodiscard]] static int SendFailureEventMSG(int32_t sessionID, uint32_t status, bool fail);

    // ---- fields (read under the session lock) ----
    uint32_t GetSessionState() const { return m_State; }
    uint32_t GetClientVersion() const { return m_ClientVersion; }
    uint32_t GetServiceMask() const { return m_ServiceMask; }
    uint32_t GetCallMSGMask() const { return m_CallMSGMask; }
    uint32_t GetAgentStateMask() const { return m_AgentStateMask; }
    uint32_t GetPeripheralID() const { return m_PeripheralID; }
    uint32_t GetIdleTimeout() const { return m_IdleTimeout; }
    uint32_t GetInvokeID() const { return m_InvokeID; }
    uint32_t GetCloseStatus() const { return m_CloseStatus; }
    const std::string& GetDeviceID() const { return m_DeviceID; }
    const std::string& GetClientSignature() const { return m_ClientSignature; }
    const std::string& GetAgentExtension() const { return m_AgentExtension; }
    bool WasOpened() const { return m_WasOpened; }
    uint32_t GetTraceFlags() const { return m_TraceFlags; }
    void SetTraceFlags(uint32_t flags) {
        m_TraceFlags = flags;
        RecipientsChanged();
    }
    uint16_t GetRegisteredCallVars() const { return m_RegisteredCallVars; }
    // Absent: all ECC variables; empty: none.
    const std::optional<std::vector<RegisteredVariable>>& GetRegisteredVariables() const {
        return m_RegisteredVariables;
    }
    // Monitors of other sessions watching this one (linked by the object model).
    StdQueue* SessionMonitors() { return m_SessionMonitors.get(); }

    // Every session of the session-ID table (master lock held by the caller).
    static std::vector<SessionProtocol*> AllSessions();
    // Moves whenever a session joins or leaves a service list or changes what the fan-out
    // reads of it (version, masks, peripheral, registered variables, signature, trace flags):
    // the distributor keeps each list's recipients until it moves. Any thread.
    static uint64_t RecipientGeneration() { return sm_RecipientGeneration.load(std::memory_order_acquire); }
    static void RecipientsChanged() { sm_RecipientGeneration.fetch_add(1, std::memory_order_acq_rel); }
    // The sessions of one service list, in order (master lock held by the caller).
    static const std::deque<SessionProtocol*>& ServiceListOf(int list);

    // Deletes every session waiting on the garbage list now; takes the server lock, then the
    // master lock (the caller holds neither). The server calls it when the application goes.
    static void CleanupGarbageList();

protected:
    // A free session ID: the next after the last given, skipping 0, IDs of live sessions and
    // IDs on the garbage list (caller holds the master lock).
    uint32_t NewSessionID();
    // Tests: the number the next NewSessionID starts from.
    static void SetNextSessionID(uint32_t next) { sm_NextSessionID = next; }

private:
    friend class SessionLayerTables;
    [[nodiscard]] static int OpenMaster(uint32_t target);
    bool TraceOn() const;
    // Holds the master lock for a session whose lock this thread may hold already: the
    // session lock goes first and comes back after, so the order stays master before
    // session. The destructor releases the master lock only when this took it; the session
    // lock is left as the caller had it.
    class MasterHold {
    public:
        MasterHold(SessionProtocol& session, const char* caller);
        ~MasterHold();
        MasterHold(const MasterHold&) = delete;
        MasterHold& operator=(const MasterHold&) = delete;

    private:
        SessionProtocol* master_ = nullptr;
        const char* caller_;
        bool took_ = false;
    };

    // ---- the master's tables (caller holds the master lock) ----
    void HashIn();
    void HashOut();
    static SessionProtocol* FindOpeningSession(uint32_t sessionID);
    static SessionProtocol* FindSessionByClientID(const char* clientID);
    // The first session appended under that key with that PeripheralID; null for an empty key.
    static SessionProtocol* FindSessionByDevice(const char* deviceKey, uint32_t peripheralID);
    void AddToUniqueInstanceIDMap();
    void RemoveFromUniqueInstanceIDMap();
    void AddToOpeningTable();
    void RemoveFromOpeningTable();
    void AddToClientIDTable();
    void RemoveFromClientIDTable();
    static void AppendToServiceList(int list, SessionProtocol* session);
    static void ClearServiceList(int list);
    static void ClearUniqueInstanceIDMap();
    static int HashClientID(const char* text);
    static int HashDeviceKey(const char* text);
    // Closes the connection and takes the session out of every table. The caller holds the
    // session lock and still holds it on return: when the master lock was not held, the
    // session lock is let go, the master lock taken, the session lock taken again, and the
    // master lock alone released at the end.
    void CleanUpQueuesOnConnectionClose(uint32_t previousState);
    // Appends the session (once only) and starts the garbage timer when it is not running.
    void AddToGarbageCollectionList();
    // Deletes every session of the garbage list (CleanupGarbageList takes the server and
    // master locks).
    static void CollectGarbage();
    void RestartIdleTimer();

    // ---- input (poster thread, session lock held) ----
    // One complete received frame. 1 when it gave a message that was handled, 0 when it took
    // the failure path (the session stays as it was).
    [[nodiscard]] int ProcessInputMessage(std::unique_ptr<SessionMSG> frame);
    // Puts the frame on the session input queue with the message it was decoded into (or
    // built from) and wakes the application; with checkOpen a session that is not open is
    // failed with 4 instead and the frame dropped.
    void QueueInputMessage(std::unique_ptr<SessionMSG> frame, BaseMSGPtr decoded, bool checkOpen);
    // The session-level requests with their decoded message.
    void ProcessOpenRequest(std::unique_ptr<SessionMSG> frame, BaseMSGPtr request);
    void ProcessHeartBeatRequest(const SessionMSG& frame, BaseMSG& request);
    void ProcessCloseRequest(std::unique_ptr<SessionMSG> frame, BaseMSGPtr request);
    // Drops the session's queued input but its CLOSE_REQ (the queue's lock inside).
    static void PurgeApplicationMessage(uint32_t sessionID);
    // Drops every queued input frame (the master's end).
    static void ClearInputQueue();
    void HexDump(const uint8_t* bytes, int count);
    // The messages the session layer makes for the application: once each.
    void QueueCloseClientRequest(uint32_t status);
    void QueueSessionFailedMSG(uint32_t status);
    void ReportSessionEnd();

    // ---- output ----
    void ProcessOutputMessage(const SessionMSG& frame, BaseMSG& msg);
    // The output trace of one message of that type to this session.
    void TraceOutput(uint32_t type, BaseMSG& msg);
    // Open-time pushes: the open sessions to a new CLIENT_MONITOR session, the agent-team
    // configuration to a new SUPERVISOR session. Caller holds the master and session locks.
    void SendOpenSessionList();
    void SendAgentTeamConfig();
    [[nodiscard]] int SendOpenConfMSG(BaseMSG& openConf, uint64_t requestStamp);
    [[nodiscard]] int SendCloseConfMSG(BaseMSG& request, uint64_t requestStamp);
    [[nodiscard]] int SendHeartBeatConfMSG(BaseMSG& request, uint64_t requestStamp);
    [[nodiscard]] int SendStandbyActiveEvent();
    std::string ClientText() const;
    void TraceMessage(BaseMSG& msg, uint32_t version);

    static std::atomic<SessionProtocol*> sm_Master;
    static std::atomic<int32_t> sm_SessionsNow;
    static std::atomic<uint64_t> sm_RecipientGeneration;
    static uint32_t sm_NextSessionID;

    std::unique_ptr<CTILockObject> m_SessionLock;
    SessionHost* m_Host = nullptr;  // the master's; null on a client session
    uint32_t m_State = sessionUnknown;
    uint32_t m_InvokeID = 0;
    uint32_t m_ClientVersion = 24;
    int64_t m_LastHeardFrom = 0;
    uint32_t m_IdleTimeout = kNoIdleTimeout;
    uint32_t m_PeripheralID = 0;
    uint32_t m_ServiceMask = 0;
    uint32_t m_CallMSGMask = 0;
    uint32_t m_AgentStateMask = 0;
    std::vector<uint8_t> m_ClientPassword;
    std::string m_ClientID;
    std::string m_ClientSignature;
    std::string m_AgentExtension;
    std::string m_AgentID;
    std::string m_AgentInstrumentID;
    uint32_t m_CloseStatus = 0;
    std::string m_DeviceID;
    uint32_t m_SessionID = 0;
    uint16_t m_RegisteredCallVars = 0x3FF;
    std::optional<std::vector<RegisteredVariable>> m_RegisteredVariables;
    bool m_WasOpened = false;
    bool m_ApplicationCloseSent = false;
    bool m_SentSessionFailedMSG = false;
    bool m_OnGarbageList = false;
    int32_t m_DeviceBucket = -1;
    uint8_t m_Header[8] = {};
    int m_HeaderRead = 0;
    std::unique_ptr<SessionMSG> m_CurrentInput;
    std::unique_ptr<StdQueue> m_SessionMonitors;
    uint32_t m_MaxQueued = 16;
    uint32_t m_TraceFlags = 0;
    std::string m_UniqueInstanceID;
    // Table memberships (the master's tables keep the order of their buckets).
    bool m_InSessionTable = false;
    bool m_InOpeningTable = false;
    bool m_InClientIDTable = false;
    int32_t m_ClientIDBucket = -1;
    bool m_InServiceList[kServiceLists] = {};
};
