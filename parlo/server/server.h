#pragma once
// Server: the one process-wide object of the server (reached through sm_Server, and only from
// parlo/server): the command-line values, the state machine, the five server timers, the
// activation event, the locks "Monitor", "RTServerConfig" (the server lock) and "MeterLock",
// the registry and application objects, the peripheral table, the OPC clock, the unique-id
// generator and the meters. It is never destroyed while the process runs.
//
// Threads: the OPC's requests and the cleanup run on the main thread (inside the MDS receive
// loop), MakeActive / MakeStandby / SendActiveHeartBeat on the application thread inside the
// thread manager's "Thread Lock", the watchdog and the timers' expiries on the timer-wheel
// thread. The state, the flags and the unique-id counter are atomic; the peripheral table and
// the command-line values have no lock of their own (see each). Fatal errors end the process
// through EMSFailMessage (exit code 100002) with the text named.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mdstimer/systimer.h"
#include "parlo/app/appport.h"
#include "parlo/common/ctilock.h"
#include "parlo/common/serverstate.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/server/meters.h"
#include "parlo/server/servertimer.h"
#include "platform/event.h"

class CTIApplication;
class CTIRegistry;

class Server {
public:
    using State = serverstate::State;
    using enum serverstate::State;
    static constexpr int kMaxPeripherals = 32;
    static constexpr int kMaxRejections = 2;

    using Peripheral = AppServerPort::Peripheral;

    // The one Server, set by the constructor (and cleared by the destructor of a test's).
    static Server* sm_Server;

    // Builds the timers, locks and tables and installs the ports of every layer below
    // (InstallServerPorts); state IDLE. Fatal when a Server exists already.
    Server();
    // Tests only (the process never ends this way): deletes the application, then the timers,
    // and clears sm_Server.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Once, on the main thread, after the registry is set: IDLE, a new application, the meters
    // reset and the ServerHeartBeat timer (1 s) started.
    void Init();
    // Makes the application (owned by the server until DestroyApplication), registers "CTI
    // Application Thread" as CRITICAL and configures it with the registry. The caller holds
    // "Monitor" when it replaces one.
    void CreateApplication();
    // Deletes the client records, collects the sessions on the garbage list, then deletes the
    // application and unregisters its thread. The application thread has ended (removing an
    // activated thread is fatal). Takes the server lock and the master session lock itself.
    void DestroyApplication();

    // Any thread. Stores the state and its time and tells the OPC link whether client events
    // are built (ACTIVE or STANDBY). Fatal ("Server::SetState - ...") for a state above 5 or a
    // transition the state machine does not allow.
    void SetState(int state);
    int GetState() const { return m_State.load(); }
    // A constant text ("?State?" outside 0 to 5).
    static const char* GetStateName(int state);
    // Local time (FILETIME) of the last SetState.
    uint64_t GetStateChangeTime() const { return m_StateChangeTime.load(); }

    // The server lock "RTServerConfig", not counted. Lock: true when taken, false at once when
    // this thread holds it already. Unlock: false unless this thread holds it. Callers take it
    // only when IsLocked() is false and release only what they took (LockGuard does both).
    [[nodiscard]] bool Lock();
    [[nodiscard]] bool Unlock();
    // Whether the calling thread holds the server lock.
    bool IsLocked() const;
    // The three locks; they live as long as the server.
    CTILockObject& ServerLock() { return *m_ServerLock; }
    CTILockObject& MonitorLock() { return *m_MonitorLock; }
    CTILockObject& MeterLock() { return *m_MeterLock; }

    // The prefix OR the 24-bit counter, which then advances (wrapping to 0). Any thread, no
    // lock: never the same id twice until the counter wraps.
    uint32_t GetUniqueID();
    // The prefix from the generation (low 4 bits), the side and the ServerNumber (low 3 bits);
    // the counter restarts at 0. The application thread at each start.
    void InitUniqueID(uint32_t generation);
    uint32_t GetUniqueIDPrefix() const { return m_UniqueIDPrefix.load(); }
    // For tests of the wrap: the counter's next value.
    void SetUniqueIDCounter(uint32_t next) { m_UniqueIDCounter.store(next); }

    // ---- peripheral table (32 entries) ----
    // No lock of its own: the configuration intake and the application thread's PG status
    // handling write it, never at the same time. Every look-up of an unknown PeripheralID adds
    // it (its other fields 0).
    // The entry's index, or -1 (traced) when the table is full and the ID unknown.
    [[nodiscard]] int FindPeripheral(int32_t peripheralID);
    // Nothing when the table is full. SetPeripheralStatus keeps only the statuses 3 and 4.
    void SetPeripheralType(int32_t peripheralID, int32_t type);
    void SetPeripheralMultiline(int32_t peripheralID, int32_t flag);
    void SetPeripheralStatus(int32_t peripheralID, int32_t status);
    // The OPC's internal type, or -1 for a peripheral the full table cannot take.
    int32_t GetPeripheralType(int32_t peripheralID);
    // The MultilineAgent flag / the stored status; 0 for a peripheral the table cannot take.
    int32_t GetPeripheralFlag(int32_t peripheralID);
    int32_t GetPeripheralStatus(int32_t peripheralID);
    // Entries whose MultilineAgent flag is set.
    int CountFlaggedPeripherals() const;
    // Whether an entry's type is CTI peripheral type 17 (a side that can stand by).
    bool HasStandbyPeripheral() const;
    // The internal type of the first entry of an agent peripheral type (0 when none); `count`
    // (when not null) gets the number of such entries. Traces a warning when it is not 1.
    int32_t GetAgentPeripheralClientType(int* count);
    int GetNumPeripherals() const { return m_NumPeripherals; }
    // The entry at `index` (0 .. GetNumPeripherals() - 1) without adding one; false outside.
    [[nodiscard]] bool GetPeripheralEntry(int index, Peripheral& out) const {
        if (index < 0 || index >= m_NumPeripherals) return false;
        out = m_Peripherals[index];
        return true;
    }

    // ---- the OPC's clock (seconds) ----
    // A time that differs from GetPGTime() is stored and reported (EMS 0x612E0013 with the
    // drift, 0 the first time). Main thread.
    void SetPGTime(int64_t seconds);
    // The OPC's time now: the last setting moved on by the tick counter.
    int64_t GetPGTime();
    // body: at least 4 bytes (the OPC time as u32); a shorter body is dropped.
    void ProcessTimeNotification(const uint8_t* body, size_t length);

    // ---- timers ----
    // Starts the OPCHeartBeat timer with that period and keeps it; nothing for -1.
    void StartOPCHeartBeatTimer(int seconds);
    // Starts the AgentConfigureUpdate timer unless it runs (a burst of deferred agent records
    // is applied once, `seconds` after the first); nothing for -1.
    void ActivateAgentConfigureUpdateTimer(int seconds);
    // Seconds, -1 until an activation request gave it.
    int GetOPCHeartBeatTime() const { return m_OPCHeartBeatTime; }
    // The timer of that type (ServerTimer::TimerType), owned by the server; null outside 1-5.
    ServerTimer* GetTimer(int type);

    // Shutdown has begun (the process is ending).
    bool IsShuttingDown() const { return m_ShuttingDown.load(); }
    // Clients are being given time to stop sending requests to this side (the StoppingReqsInd
    // timer runs).
    bool IsStoppingRequestsPending();
    // Shutting down, stopping requests pending, or the application holding OPC input for a
    // maintenance request.
    bool IsStopping();

    // ---- forwarders to the application; each does nothing without one ----
    // An OPC message for the application (`length` bytes, the ServerNumber word included; the
    // application copies what it keeps). Also nothing while the OPC link is not established.
    void QueueOPCMessage(int type, int length, const uint8_t* data);
    // While the server is active, SYSTEM_EVENT "PG offline" (PG status | 1) with the text to
    // every session (`text` may be null), on the wire before this returns unless the writers
    // take longer than kPGStatusSendWaitMs: the process ends next. The caller needs no lock.
    void ReportPGStatusText(const char* text);
    static constexpr int64_t kPGStatusSendWaitMs = 1000;
    // The console's forced end of a session: FAILURE_EVENT E_CTI_UNSPECIFIED_FAILURE and the
    // session failed, when its client record exists. Takes the server lock unless this thread
    // holds it.
    void KillClient(int sessionID);
    // Append to `text`: one line per registered ECC variable with the ClientIDs of its clients
    // (it reads the client records: hold the server lock), one line per trace keyword with its
    // 1-based trace bit.
    void ListECCVariableClients(std::string& text);
    void ListTraceKeywords(std::string& text);
    // The broadcast: EMS 0x212E000F "BROADCAST MESSAGE: text" and, while the server is active,
    // SYSTEM_EVENT with the text to every session; `text` may be null.
    void SendTextToClients(const char* text);

    // Builds the title from the current one (cut at its first blank), the process name, the
    // state and the registry's listen settings, and publishes it.
    void UpdateConsoleTitle();
    // The console title, kept in memory under a lock of its own (also handed to EMS as the
    // status title). Any thread.
    static std::string GetConsoleTitle();
    static void SetConsoleTitle(const std::string& title);

    // ---- activation and heartbeat ----
    // The application thread is activated (ThreadManager::SetActivated, inside "Thread Lock";
    // neither may call the thread manager back): CTI_OK_ACK for CTI_SET_ACTIVE_REQ, the
    // rejection count cleared, the clocks' meters switched, ACTIVE or STANDBY, the OPC
    // heartbeat timer started and the activation event set.
    void MakeActive();
    void MakeStandby();
    // CTI_ERROR_ACK for CTI_SET_ACTIVE_REQ, so that the OPC fails over to the other side
    // (value 0x7FFFFFFF for exactly "NO_CLIENT_CONNECTED"). Any thread; `text` may be null.
    void ReportFailure(const char* text);
    // CTI_ACTIVE_HEART_BEAT_EVENT (inside "Thread Lock", from ThreadManager::SetHeartbeat).
    void SendActiveHeartBeat();
    // Every second on the timer wheel: the heartbeat to the OPC while the application thread
    // is activated, one report of a dead application thread, the half-hour and midnight work.
    void ApplicationWatchdog();

    // ---- the OPC's requests, on the main thread ----
    // `body` is the message behind the ServerNumber word, `length` bytes of it (the link
    // checked that the fixed words are there); `serverNumber` is that word. Answers go out
    // through MDSIO::SendAck. The third refused activation in a row ends the process with exit
    // code 100003; a maintenance decision for a standby side, or with no client to wait for,
    // ends it with 100008. The maintenance handlers take the server lock (unless this thread
    // holds it) and release it before the process ends.
    void ProcessCTISetActiveReq(const uint8_t* body, size_t length);
    void ProcessCTISetIdleReq(const uint8_t* body, size_t length, uint32_t serverNumber);
    void ProcessMaintenanceModeRequest(const uint8_t* body, size_t length, uint32_t serverNumber);
    void ProcessMaintenanceModeInProgress(const uint8_t* body, size_t length);
    // A client's answer to ACTIVE_MAINTENANCE_REQ, and its STOPPING_REQUESTS_TO_THIS_SIDE_IND
    // (application thread; both take the server lock unless this thread holds it). The
    // indication closes the client (E_PARLO_IN_MAINTENANCE_MODE) when its session exists; the
    // last one expected closes it and ends the process (100008).
    void ProcessMaintenanceModeResponse(int sessionID, uint32_t invokeID, int accepted);
    void ProcessStoppingRequestsInd(int sessionID);
    // The timers' expiries (timer-wheel thread): the maintenance request refused with
    // CTI_ERROR_ACK (server lock taken); the stopping wait over, the process ends (100008).
    void MaintenanceModeTimeout();
    [[noreturn]] void StoppingReqsTimeout();
    // Non-zero when the application thread starts (or already runs) in that mode; 0 without an
    // application or when the application refuses.
    [[nodiscard]] int StartApplicationThreads(int active);
    // Back to IDLE with a fresh application (main thread): the threads told to stop, the
    // application idled (its thread has ended on return), the OPCHeartBeat,
    // AgentConfigureUpdate and MaintenanceModeReq timers cancelled, the held-back agent
    // records applied, and the application replaced under "Monitor".
    void CleanupServer(int reason);
    // Idles the application (counting a CTI link restart when it was in service); waits for
    // its thread to end. Nothing without an application.
    void IdleApplication(int reason);
    // Tells every application path's clients, stops the threads and ends the process with
    // exit code 100008. Call without the server lock held.
    [[noreturn]] void Shutdown();
    // 1 once the OPC ended the initial configuration load (table 0).
    int IsConfigured() const { return m_Configured.load(); }
    // Refused activation requests since the last activation.
    int GetRejectionCount() const { return m_RejectionCount; }
    int GetCTILinkRestarts() const { return m_CTILinkRestarts; }
    // Clients still expected to answer the maintenance request or to stop sending requests.
    int GetMaintenancePendingClients() const { return m_MaintPendingClients; }
    // 1 once the application thread reported no client connections to the OPC (cleared by
    // the thread when clients return and when the server is cleaned up).
    int GetFailoverReported() const { return m_FailoverReported.load(); }
    void SetFailoverReported(int reported) { m_FailoverReported.store(reported); }

    // CTI_CONFIGURE_REQ's body (behind the ServerNumber word), `length` bytes; records are
    // never read past its end (a record that runs past it stops the batch, traced). Main
    // thread, or the application thread while it is in service. Fatal for an unknown table
    // or an invalid operation on table 3.
    void ProcessConfigMessage(const uint8_t* body, size_t length);
    // A table's record parser: takes one record (at most `end`) and returns the next one,
    // or null when the record runs past `end` (the batch then stops).
    using ConfigRecordParser = const uint8_t* (*)(int32_t op, const uint8_t* record,
                                                  const uint8_t* end, int32_t update);
    // Registers the parser of table 1, 2, 4-10, 12 or 13 (null: the default, which takes the
    // message without walking its records). Table 10's parser gets the first record Num times.
    static void SetConfigTableParser(int table, ConfigRecordParser parser);

    // Registers with MDS and runs its receive loop on the calling (main) thread; fatal when
    // the loop returns.
    [[noreturn]] void StartInput();

    // ---- meters (meters.cpp), each under "MeterLock", which it takes (a leaf lock) ----
    // Applies the rule of update number `number` (meter::, parlo/common/meterids.h) to
    // `value`; an unknown number changes nothing.
    void UpdateMeter(int number, int32_t value);
    // The value at read index `index` (meterindex::, meters.h); 0 outside 0 to 60. The two
    // clocks' indexes include the running period; MetersAge is computed.
    int32_t GetMeter(int index);
    // Every meter to 0, the minima to their start value, the meters' start to now.
    void ResetMeters();
    // The console texts, appended to `text`: the meters (or the per-type message counts) and
    // the server status.
    void DumpMeters(bool perType, std::string& text);
    void GetStatusText(std::string& text);
    // The half-hour period lines (EMS 0x612E000C) when `report`; the period's baselines saved
    // when `save`.
    void ReportPeriodMeters(bool report, bool save);
    // The day's meter lines (EMS 0x612E000D) when `report`; the daily meters back to their
    // start when `reset`.
    void LogMeters(bool report, bool reset);
    // EMS 0x612E000B: clients, calls, the state and the PG status.
    void LogStatusEvent();
    // The watchdog's half-hour check: reports when the half hour of local time changed, and
    // at midnight logs and resets the day's meters.
    void CheckMeterPeriods();

    // ---- command-line values: set on the main thread before Init, read anywhere after ----
    void SetProcessName(const std::string& v) { m_ProcessName = v; }
    const std::string& GetProcessName() const { return m_ProcessName; }
    // 1 after a "CLEAN" last shutdown, else 2.
    void SetShutdownType(int v) { m_ShutdownType = v; }
    int GetShutdownType() const { return m_ShutdownType; }
    // 1 for "DUPLEX", else 0.
    void SetDuplex(int v) { m_Duplex = v; }
    int GetDuplex() const { return m_Duplex; }
    // 1 for side A, 0 for side B; also told to the OPC link and the registry.
    void SetSide(int v);
    int GetSide() const { return m_Side; }
    void SetRootDirectory(const std::string& v) { m_RootDirectory = v; }
    const std::string& GetRootDirectory() const { return m_RootDirectory; }
    void SetDMPSystemID(int v) { m_DMPSystemID = v; }
    int GetDMPSystemID() const { return m_DMPSystemID; }
    // Also told to the registry.
    void SetRegistryBase(const std::string& v);
    const std::string& GetRegistryBase() const { return m_RegistryBase; }
    // 0 under /tsy (messages to the OPC do not go to MDS); also told to the OPC link.
    void SetMDSConnections(int v) {
        m_MDSConnections = v;
        MDSIO::SetMDSConnections(v);
    }
    int GetMDSConnections() const { return m_MDSConnections; }
    void SetPGHost(const std::string& v) { m_PGHost = v; }
    const std::string& GetPGHost() const { return m_PGHost; }
    // The ServerNumber of the last accepted idle request; -1 before the first.
    void SetServerNumber(int v) { m_ServerNumber = v; }
    int GetServerNumber() const { return m_ServerNumber; }
    // The PG status flags last received; -1 at first.
    void SetPGStatus(int v) { m_PGStatus = v; }
    int GetPGStatus() const { return m_PGStatus; }
    // 1 once an idle or active request of version 8503 was accepted: only then do OPC
    // messages reach the application.
    void SetOPCLinkEstablished(int v) { m_OPCLinkEstablished.store(v); }
    int IsOPCLinkEstablished() const { return m_OPCLinkEstablished.load(); }

    // The registry every server lock and the application read (not owned; it must outlive
    // the server); it takes the server's registry base and side, kept up to date when they
    // change. Null: none (the locks then warn of no registry).
    void SetRegistry(CTIRegistry* registry);
    CTIRegistry* GetRegistry() const { return m_Registry.load(); }
    // The application, owned by the server; CleanupServer (main thread) replaces it, so a
    // pointer kept on another thread is valid only until the next idle request.
    CTIApplication* GetApplication() const { return m_Application.load(); }
    // Manual-reset, set on becoming ACTIVE or STANDBY and during a cleanup; nothing waits
    // on it in the process.
    plat::Event& ActivationEvent() { return *m_ActivationEvent; }

private:
    std::unique_ptr<ServerTimer> m_Timers[6];  // by type, 1 to 5
    std::string m_ProcessName;
    int m_ShutdownType = 0;
    std::atomic<int> m_Duplex{0};  // read by the application thread's watch
    int m_Side = 0;
    std::string m_RootDirectory;
    int m_DMPSystemID = -1;
    std::string m_RegistryBase;
    std::string m_PGHost;
    int m_MDSConnections = 1;
    int m_ServerNumber = -1;
    int m_PGStatus = -1;
    std::atomic<int> m_State{INVALID};
    std::atomic<uint64_t> m_StateChangeTime{0};
    int64_t m_StartTime = 0;
    std::atomic<int> m_OPCLinkEstablished{0};
    std::atomic<int> m_Configured{0};
    std::atomic<int> m_FailoverReported{0};
    int m_RejectionCount = 0;
    int m_CTILinkRestarts = 0;
    int m_MaintPendingClients = 0;
    uint32_t m_MaintRequestValue = 0;
    uint32_t m_MaintInvokeID = 0;
    // Watchdog state (timer-wheel thread only).
    int m_WatchdogTicks = 9;
    int m_WatchdogArmed = 0;
    int m_WatchdogFailureReported = 0;
    int m_OPCHeartBeatTime = -1;
    int m_OPCHeartBeatsEnabled = 1;
    int m_AgentConfigureDelay = 0;
    std::atomic<bool> m_ShuttingDown{false};
    std::unique_ptr<CTILockObject> m_MonitorLock;
    std::unique_ptr<CTILockObject> m_ServerLock;
    std::unique_ptr<CTILockObject> m_MeterLock;
    std::atomic<CTIRegistry*> m_Registry{nullptr};
    std::unique_ptr<plat::Event> m_ActivationEvent;
    TickCounter m_PGTickCounter;
    int64_t m_PGTickSeconds = 0;
    int64_t m_PGTime = 0;
    bool m_PGTimeSet = false;
    int m_NumPeripherals = 0;
    Peripheral m_Peripherals[kMaxPeripherals];
    std::atomic<uint32_t> m_UniqueIDPrefix{0};
    std::atomic<uint32_t> m_UniqueIDCounter{0};
    std::atomic<CTIApplication*> m_Application{nullptr};
    ServerMeters m_Meters;
    int m_LastHalfHour = -1;

    void FormatMeterLines(bool forLog, std::vector<std::string>& lines);
    void FormatPeriodLines(int64_t period, std::vector<std::string>& lines, bool dumpForm);
    int64_t NowSeconds() const;
};
