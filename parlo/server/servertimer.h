#pragma once
// ServerTimer: the server's five timers on the timer wheel (1 OPCHeartBeat, 2 ServerHeartBeat,
// 3 AgentConfigureUpdate, 4 MaintenanceModeReq, 5 StoppingReqsInd), with a running flag
// that is set when the timer is started and cleared when it expires or is cancelled.
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

    void Reschedule() override;
    void Cancel() override;
    void GetName(char* buffer, size_t size) override;
    void Execute() override;
    virtual void StartSeconds(uint32_t seconds);
    virtual void StartOnBoundary(uint32_t seconds);
    bool IsRunning() const { return m_Running.load(); }
    int GetType() const { return m_TimerType; }

    static const char* TypeName(int type);

private:
    int m_TimerType;
    std::atomic<int> m_Running{0};
    int m_ID = -1;
};
