#pragma once
// Server: the one process-wide object of the server (reached through sm_Server): the
// command-line values, the state machine, the five server timers, the activation event,
// the locks "Monitor", "RTServerConfig" and "MeterLock", the registry and application
// objects, the peripheral table, the OPC clock, the unique-id generator and the meters.
// It is never destroyed while the process runs.
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

    static Server* sm_Server;

    // Fatal when a Server exists already.
    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void Init();
    void CreateApplication();
    void DestroyApplication();

    // Fatal for a state above 5 or a transition the state machine does not allow.
    void SetState(int state);
    int GetState() const { return m_State.load(); }
    static const char* GetStateName(int state);
    uint64_t GetStateChangeTime() const { return m_StateChangeTime.load(); }

    // The server lock "RTServerConfig"; callers take it only when IsLocked() is false.
    [[nodiscard]] bool Lock();
    [[nodiscard]] bool Unlock();
    bool IsLocked() const;
    CTILockObject& ServerLock() { return *m_ServerLock; }
    CTILockObject& MonitorLock() { return *m_MonitorLock; }
    CTILockObject& MeterLock() { return *m_MeterLock; }

    // Never the same id twice until the 24-bit counter wraps, from any number of threads.
    uint32_t GetUniqueID();
    // Sets the top byte from the generation, the side and the ServerNumber and restarts
    // the counter at 0 (the application thread at each start).
    void InitUniqueID(uint32_t generation);
    uint32_t GetUniqueIDPrefix() const { return m_UniqueIDPrefix.load(); }
    // For tests of the wrap: the counter's next value.
    void SetUniqueIDCounter(uint32_t next) { m_UniqueIDCounter.store(next); }

    // Peripheral table: index, or -1 when the table is full. Every lookup of an unknown
    // PeripheralID adds it.
    [[nodiscard]] int FindPeripheral(int32_t peripheralID);
    void SetPeripheralType(int32_t peripheralID, int32_t type);
    void SetPeripheralMultiline(int32_t peripheralID, int32_t flag);
    void SetPeripheralStatus(int32_t peripheralID, int32_t status);
    int32_t GetPeripheralType(int32_t peripheralID);
    int32_t GetPeripheralFlag(int32_t peripheralID);
    int32_t GetPeripheralStatus(int32_t peripheralID);
    int CountFlaggedPeripherals() const;
    bool HasStandbyPeripheral() const;
    int32_t GetAgentPeripheralClientType(int* count);
    int GetNumPeripherals() const { return m_NumPeripherals; }
    // The entry at `index` (0 .. GetNumPeripherals() - 1) without adding one; false outside.
    [[nodiscard]] bool GetPeripheralEntry(int index, Peripheral& out) const {
        if (index < 0 || index >= m_NumPeripherals) return false;
        out = m_Peripherals[index];
        return true;
    }

    // OPC clock (seconds).
    void SetPGTime(int64_t seconds);
    int64_t GetPGTime();
    // body: at least 4 bytes (the OPC time as u32); a shorter body is dropped.
    void ProcessTimeNotification(const uint8_t* body, size_t length);

    void StartOPCHeartBeatTimer(int seconds);
    void ActivateAgentConfigureUpdateTimer(int seconds);
    int GetOPCHeartBeatTime() const { return m_OPCHeartBeatTime; }
    ServerTimer* GetTimer(int type);

    bool IsShuttingDown() const { return m_ShuttingDown.load(); }
    bool IsStoppingRequestsPending();
    bool IsStopping();

    // Forwarders to the application; nothing without one.
    void QueueOPCMessage(int type, int length, const uint8_t* data);
    void ReportPGStatusText(const char* text);
    void KillClient(int sessionID);
    void ListECCVariableClients(std::string& text);
    void ListTraceKeywords(std::string& text);
    void SendTextToClients(const char* text);

    void UpdateConsoleTitle();
    // The console title, kept in memory (also handed to EMS as the status title).
    static std::string GetConsoleTitle();
    static void SetConsoleTitle(const std::string& title);

    // Activation and heartbeat (called by the thread manager inside "Thread Lock").
    void MakeActive();
    void MakeStandby();
    // CTI_ERROR_ACK for CTI_SET_ACTIVE_REQ, so that the OPC fails over to the other side.
    void ReportFailure(const char* text);
    void SendActiveHeartBeat();
    // Every second on the timer wheel: the heartbeat to the OPC while the application thread
    // is activated, one report of a dead application thread, the half-hour and midnight work.
    void ApplicationWatchdog();

    // The OPC's requests, on the main thread. `body` is the message behind the ServerNumber
    // word, `length` bytes of it (the link checked the fixed words are there).
    void ProcessCTISetActiveReq(const uint8_t* body, size_t length);
    void ProcessCTISetIdleReq(const uint8_t* body, size_t length, uint32_t serverNumber);
    void ProcessMaintenanceModeRequest(const uint8_t* body, size_t length, uint32_t serverNumber);
    void ProcessMaintenanceModeInProgress(const uint8_t* body, size_t length);
    // A client's answer to ACTIVE_MAINTENANCE_REQ, and its STOPPING_REQUESTS_TO_THIS_SIDE_IND.
    void ProcessMaintenanceModeResponse(int sessionID, uint32_t invokeID, int accepted);
    void ProcessStoppingRequestsInd(int sessionID);
    void MaintenanceModeTimeout();
    [[noreturn]] void StoppingReqsTimeout();
    // Non-zero when the application thread starts (or already runs) in that mode.
    [[nodiscard]] int StartApplicationThreads(int active);
    // Back to IDLE with a fresh application; the application thread has ended on return.
    void CleanupServer(int reason);
    void IdleApplication(int reason);
    // Ends the process with exit code 100008.
    [[noreturn]] void Shutdown();
    int IsConfigured() const { return m_Configured.load(); }
    int GetRejectionCount() const { return m_RejectionCount; }
    int GetCTILinkRestarts() const { return m_CTILinkRestarts; }
    int GetMaintenancePendingClients() const { return m_MaintPendingClients; }
    // 1 once the application thread reported no client connections to the OPC (cleared by
    // the thread when clients return and when the server is cleaned up).
    int GetFailoverReported() const { return m_FailoverReported.load(); }
    void SetFailoverReported(int reported) { m_FailoverReported.store(reported); }

    // CTI_CONFIGURE_REQ's body (behind the ServerNumber word), `length` bytes; records are
    // never read past its end.
    void ProcessConfigMessage(const uint8_t* body, size_t length);
    // A table's record parser: takes one record (at most `end`) and returns the next one,
    // or null when the record runs past `end` (the batch then stops).
    using ConfigRecordParser = const uint8_t* (*)(int32_t op, const uint8_t* record,
                                                  const uint8_t* end, int32_t update);
    // Registers the parser of table 1, 2, 4-10, 12 or 13 (null: the default, which takes the
    // message without walking its records). Table 10's parser gets the first record Num times.
    static void SetConfigTableParser(int table, ConfigRecordParser parser);

    // Registers with MDS and runs its receive loop; fatal when the loop returns.
    [[noreturn]] void StartInput();

    // Meters (meters.cpp).
    void UpdateMeter(int meter, int32_t value);
    int32_t GetMeter(int index);
    void ResetMeters();
    void DumpMeters(bool perType, std::string& text);
    void GetStatusText(std::string& text);
    void ReportPeriodMeters(bool report, bool save);
    void LogMeters(bool report, bool reset);
    void LogStatusEvent();
    // The half-hour check of the watchdog: reports when the half hour of local time changed.
    void CheckMeterPeriods();

    // Command-line values.
    void SetProcessName(const std::string& v) { m_ProcessName = v; }
    const std::string& GetProcessName() const { return m_ProcessName; }
    void SetShutdownType(int v) { m_ShutdownType = v; }
    int GetShutdownType() const { return m_ShutdownType; }
    void SetDuplex(int v) { m_Duplex = v; }
    int GetDuplex() const { return m_Duplex; }
    void SetSide(int v);
    int GetSide() const { return m_Side; }
    void SetRootDirectory(const std::string& v) { m_RootDirectory = v; }
    const std::string& GetRootDirectory() const { return m_RootDirectory; }
    void SetDMPSystemID(int v) { m_DMPSystemID = v; }
    int GetDMPSystemID() const { return m_DMPSystemID; }
    void SetRegistryBase(const std::string& v);
    const std::string& GetRegistryBase() const { return m_RegistryBase; }
    void SetMDSConnections(int v) {
        m_MDSConnections = v;
        MDSIO::SetMDSConnections(v);
    }
    int GetMDSConnections() const { return m_MDSConnections; }
    void SetPGHost(const std::string& v) { m_PGHost = v; }
    const std::string& GetPGHost() const { return m_PGHost; }
    void SetServerNumber(int v) { m_ServerNumber = v; }
    int GetServerNumber() const { return m_ServerNumber; }
    void SetPGStatus(int v) { m_PGStatus = v; }
    int GetPGStatus() const { return m_PGStatus; }
    void SetOPCLinkEstablished(int v) { m_OPCLinkEstablished.store(v); }
    int IsOPCLinkEstablished() const { return m_OPCLinkEstablished.load(); }

    // The registry every server lock and the application read; it takes the server's registry
    // base and side (kept up to date when they change). The registry must outlive the server.
    void SetRegistry(CTIRegistry* registry);
    CTIRegistry* GetRegistry() const { return m_Registry.load(); }
    CTIApplication* GetApplication() const { return m_Application.load(); }
    plat::Event& ActivationEvent() { return *m_ActivationEvent; }

private:
    ServerTimer* m_Timers[6] = {};  // by type, 1 to 5
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
