#pragma once
// CTIApplication: the application object as the server core sees it today: configuration,
// link status, the daily id reset, the application thread with its OPC input queue, and the
// server's forwarders (most do nothing until the session and object layers exist). It is the
// session layer's master: activation opens the client ports, idling closes them, and its
// thread takes the client input (today only the verdict on OPEN_REQ and the close).
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "parlo/server/session.h"

class CTIRegistry;

class CTIApplication : public SessionProtocol {
public:
    // Application states; in service means Active or Standby.
    enum State { New = 0, Configured = 1, Active = 2, Shutdown = 3, Standby = 4 };
    static constexpr const char* kThreadName = "CTI Application Thread";

    CTIApplication() = default;
    // Stops and waits for the application thread.
    ~CTIApplication() override;
    CTIApplication(const CTIApplication&) = delete;
    CTIApplication& operator=(const CTIApplication&) = delete;

    // Takes the configuration it needs; the registry outlives the application.
    void Configure(CTIRegistry* registry);
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
    // Stops the application thread and waits for its end; the state becomes Shutdown.
    void Idle(int reason);
    bool IsThreadRunning() const;

    // OPC input (the payload with its ServerNumber word): dispatched at once on the calling
    // thread while not in service, else queued for the application thread. `data` is copied.
    void ProcessOPCInput(int type, int length, const uint8_t* data);
    // Holds OPC input back (maintenance) until ProcessOPCMsgsFromQueue releases it.
    void QueueMaintenanceRequest();
    void ProcessOPCMsgsFromQueue();
    bool IsMaintenanceHold() const;
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

private:
    struct OPCInput {
        int type;
        std::vector<uint8_t> data;
    };
    static unsigned ThreadMain(void* argument);
    void Run(int active);
    int StartThread(int active);
    void DispatchOPCMessage(int type, const uint8_t* data, size_t length);
    // Takes every waiting client message off the session input queue.
    void ProcessSessionInput();
    void ProcessSessionMessage(SessionMSG& frame);

    CTIRegistry* m_Registry = nullptr;
    int32_t m_NextSessionID = 1;
    int32_t m_NextMonitorID = 1;

    mutable std::mutex m_Lock;
    std::condition_variable m_Wake;
    int m_State = New;
    bool m_ThreadRunning = false;
    bool m_StopThread = false;
    bool m_FailThread = false;
    bool m_MaintenanceHold = false;
    std::deque<OPCInput> m_Input;
    std::deque<OPCInput> m_Held;
    std::deque<int> m_Markers;
};
