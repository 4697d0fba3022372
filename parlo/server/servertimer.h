#pragma once
// ServerTimer: the server's five timers on the timer wheel (1 OPCHeartBeat, 2 ServerHeartBeat,
// 3 AgentConfigureUpdate, 4 MaintenanceModeReq, 5 StoppingReqsInd), with a running flag
// that is set when the timer is started and cleared when it expires or is cancelled. The
// Server owns them; they expire on the timer-wheel thread and are started and cancelled on
// any thread.
#include <atomic>

#include "mdstimer/timer.h"

class ServerTimer : public Timer {
public:
    enum TimerType {
        OPCHeartBeat = 1,
        ServerHeartBeat = 2,
        AgentConfigureUpdate = 3,
        MaintenanceModeReq = 4,
        StoppingReqsInd = 5
    };
    explicit ServerTimer(int type) : m_TimerType(type) {}
    ~ServerTimer() override = default;

    // Each start sets the running flag; Cancel clears it.
    void Reschedule() override;
    void Cancel() override;
    // "ServerTimer - <type>" into buffer (size bytes, terminated).
    void GetName(char* buffer, size_t size) override;
    // The expiry: clears the running flag, then acts on Server::sm_Server by type (the OPC
    // heartbeat check and the watchdog are rescheduled; an unknown type reports 0xA12EC001).
    void Execute() override;
    virtual void StartSeconds(uint32_t seconds);
    virtual void StartOnBoundary(uint32_t seconds);
    bool IsRunning() const { return m_Running.load(); }
    int GetType() const { return m_TimerType; }

    // The name GetName gives a type ("ServerTimer - Unknown" outside 1 to 5); a constant.
    static const char* TypeName(int type);

private:
    int m_TimerType;
    std::atomic<int> m_Running{0};
    int m_ID = -1;
};
