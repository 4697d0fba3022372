#include "mdstimer/systimer.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <new>

#include "mdstimer/timer.h"
#include "nuvlib/ems.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/lasterror.h"

namespace {
constexpr int64_t kUnitsPerMinute = 600000000LL;
constexpr int kMaxBiasMinutes = 24 * 60;
SystemEventTimer* g_Service = nullptr;

int64_t NsToFileTimeChecked() {
    int64_t ns = plat::RealtimeNs();
    if (ns < 0) {
        plat::SetLastError(plat::ERROR_INVALID_PARAMETER);
        EMSFailMessageLastError("SystemEventTimer can't convert system to file time.");
    }
    return static_cast<int64_t>(plat::UnixNsToFileTime(ns));
}

// No zone lies more than a day from UTC: a bias beyond that is not time-zone information.
int32_t BiasMinutesChecked() {
    int bias = plat::LocalBiasMinutes();
    if (bias < -kMaxBiasMinutes || bias > kMaxBiasMinutes) {
        plat::SetLastError(plat::ERROR_INVALID_DATA);
        EMSFailMessageLastError("SystemEventTimer can't get time zone information.");
    }
    return bias;
}

void* TickThread(void*) {
    SystemEventTimer* service = g_Service;
    // The resolution becomes the thread's timer slack.
    if (prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(service->m_ResolutionMs) * 1000000UL) != 0) {
        plat::SetLastErrorFromErrno();
        EMSFailMessageLastError("SystemEventTimer failed to set timer resolution.");
    }
    const int64_t period = static_cast<int64_t>(service->m_PeriodMs) * 1000000;
    // Absolute deadlines on the injectable clock: a slow tick does not shift the next one.
    int64_t deadline = plat::MonotonicNs();
    for (;;) {
        deadline += period;
        plat::SleepUntil(deadline);
        service->Tick();
        // Late: skip the missed deadlines instead of running them in a burst.
        const int64_t now = plat::MonotonicNs();
        if (now - deadline >= period) deadline += (now - deadline) / period * period;
    }
    return nullptr;
}
}  // namespace

SystemEventTimer* SystemEventTimer::Create(uint32_t periodMs, uint32_t resolutionMs) {
    NUV_ASSERT(g_Service == nullptr);
    SystemEventTimer* s = new (std::nothrow) SystemEventTimer;
    if (!s)
        EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                       static_cast<int>(sizeof(SystemEventTimer)), "systimer", __LINE__);
    s->m_PeriodMs = periodMs;
    s->m_ResolutionMs = resolutionMs;
    // Integer milliseconds first, then 100 ns units.
    s->m_ShortestStep = static_cast<int64_t>(periodMs * 9ULL / 10) * 10000;
    s->m_LongestStep = static_cast<int64_t>(periodMs * 11ULL / 10) * 10000;
    uint64_t utc = static_cast<uint64_t>(NsToFileTimeChecked());
    s->m_BiasMinutes = BiasMinutesChecked();
    s->m_Bias = static_cast<int64_t>(s->m_BiasMinutes) * kUnitsPerMinute;
    s->m_CurrentUtc = utc;
    s->m_CurrentLocal = utc - static_cast<uint64_t>(s->m_Bias);
    g_Service = s;
    TimerMaster::Create(s->m_CurrentUtc, s->m_CurrentLocal, true, 0);
    return s;
}

SystemEventTimer* SystemEventTimer::Instance() { return g_Service; }

void SystemEventTimer::Tick() {
    int64_t wall = NsToFileTimeChecked();
    int64_t step = wall - static_cast<int64_t>(m_CurrentUtc);
    if (step > m_LongestStep) {
        step = m_LongestStep;
        ++m_StepsCut;
    } else if (step < m_ShortestStep) {
        step = m_ShortestStep;
        ++m_StepsRaised;
    } else {
        ++m_StepsKept;
    }
    uint64_t utc = m_CurrentUtc + static_cast<uint64_t>(step);
    if (utc / kUnitsPerMinute != m_CurrentUtc / kUnitsPerMinute) {
        int32_t minutes = plat::LocalBiasMinutes();
        if (minutes != m_BiasMinutes) {
            m_BiasMinutes = minutes;
            m_Bias = static_cast<int64_t>(minutes) * kUnitsPerMinute;
        }
    }
    m_CurrentUtc = utc;
    m_CurrentLocal = utc - static_cast<uint64_t>(m_Bias);
    TimerMaster::Instance()->ProcessTimers(m_CurrentUtc, m_CurrentLocal);
}

void StartSystemEventTimer(uint32_t periodMs, uint32_t resolutionMs) {
    if (periodMs == 0) {
        plat::SetLastError(plat::ERROR_INVALID_PARAMETER);
        EMSFailMessageLastError("SystemEventTimer failed to create a timer.");
    }
    SystemEventTimer* s = SystemEventTimer::Create(periodMs, resolutionMs);
    s->Tick();
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&thread, &attr, &TickThread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        plat::SetLastError(plat::ErrnoToWin32(rc));
        EMSFailMessageLastError("SystemEventTimer failed to create a timer.");
    }
    s->m_TimerId = 1;
}

// ---------------------------------------------------------------- tick counter

TickCounter::TickCounter() : lastTick_(plat::GetTickCount()) {}

void TickCounter::Update() {
    uint32_t t = plat::GetTickCount();
    if (t < lastTick_) {
        // A small step back is noise, not a wrap.
        if (lastTick_ - t <= 10000) return;
        ++wraps_;
    }
    lastTick_ = t;
}

uint32_t TickCounter::GetSeconds() {
    Update();
    if (wraps_ == 0) return lastTick_ / 1000;
    return wraps_ * 4294967u + lastTick_ / 1000;
}

// ---------------------------------------------------------------- worker threads

struct WorkerThreadStart {
    plat::Event* event;
    void* argument;
    WorkerThreadFunction function;
};

namespace {
void* WorkerEntry(void* p) {
    WorkerThreadStart* start = static_cast<WorkerThreadStart*>(p);
    start->function(start);
    return nullptr;
}
}  // namespace

bool BeginWorkerThread(WorkerThreadFunction function, uint32_t stackSize, void* argument,
                       plat::Event** eventPlace) {
    WorkerThreadStart* start = new (std::nothrow) WorkerThreadStart{nullptr, argument, function};
    if (!start) return false;
    if (eventPlace) {
        start->event = new (std::nothrow) plat::Event(true, false);
        if (!start->event) {
            delete start;
            return false;
        }
    }
    plat::Event* event = start->event;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &WorkerEntry, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete event;
        delete start;
        return false;
    }
    if (eventPlace) *eventPlace = event;
    return true;
}

void* GetWorkerThreadArg(WorkerThreadStart* start) { return start->argument; }

void EndWorkerThread(WorkerThreadStart* start) {
    if (start->event) start->event->Set();
    delete start;
    pthread_exit(nullptr);
}
