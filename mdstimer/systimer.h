#pragma once
// The tick source of the timer wheel: a dedicated thread wakes at absolute deadlines of the
// monotonic clock (a late tick is skipped, never made up in a burst), reads the platform's
// wall clock, smooths the step to 0.9 .. 1.1 periods and runs the due timers.
#include <atomic>
#include <cstdint>

namespace plat {
class Event;
}

class SystemEventTimer {
public:
    // Steps 1-4 of the start: state, clock, bias and the wheel; no thread, no first tick.
    // Fatal when the service already exists.
    static SystemEventTimer* Create(uint32_t periodMs, uint32_t resolutionMs);
    static SystemEventTimer* Instance();

    // One tick: the wall clock's step, clamped, is added to the service's clock.
    void Tick();

    uint64_t m_CurrentUtc = 0;
    uint64_t m_CurrentLocal = 0;
    int64_t m_Bias = 0;        // 100 ns units, UTC minus local
    int32_t m_BiasMinutes = 0;
    uint32_t m_TimerId = 0;
    uint32_t m_PeriodMs = 0;
    uint32_t m_ResolutionMs = 0;
    int64_t m_LongestStep = 0;
    int64_t m_ShortestStep = 0;
    std::atomic<uint32_t> m_StepsRaised{0};
    std::atomic<uint32_t> m_StepsKept{0};
    std::atomic<uint32_t> m_StepsCut{0};

private:
    SystemEventTimer() = default;
};

// Starts the timer service once: the wheel, one tick, then the tick thread, which wakes at
// deadlines of the injectable clock (platform/clock.h) one period apart. Fatal on failure.
void StartSystemEventTimer(uint32_t periodMs, uint32_t resolutionMs);

// A 64-bit view of the 32-bit millisecond tick count.
class TickCounter {
public:
    TickCounter();
    // Seconds of the 32-bit tick count, 4,294,967 more for every wrap seen since this
    // counter started. Call it at least once per wrap (about 49.7 days).
    uint32_t GetSeconds();

private:
    void Update();

    uint32_t wraps_ = 0;
    uint32_t lastTick_ = 0;
};

// A detached worker thread. With an event place, a manual-reset event (owned by the caller)
// is stored there and set by EndWorkerThread.
struct WorkerThreadStart;
using WorkerThreadFunction = void (*)(WorkerThreadStart* start);
bool BeginWorkerThread(WorkerThreadFunction function, uint32_t stackSize, void* argument,
                       plat::Event** eventPlace);
void* GetWorkerThreadArg(WorkerThreadStart* start);
// Sets the event, frees the start block and ends the calling thread.
[[noreturn]] void EndWorkerThread(WorkerThreadStart* start);
