#include "mdstimer/timer.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "nuvlib/ems.h"
#include "platform/clock.h"
#include "platform/process.h"

STD_OBJECT_IMPLEMENT(Timer, StdObject)
STD_OBJECT_IMPLEMENT(CTimerBucket, StdObject)
STD_OBJECT_IMPLEMENT(CTimerBucketMaster, StdObject)
STD_OBJECT_IMPLEMENT(TimerMaster, StdObject)

std::atomic<bool> TimerMaster::m_MultiThreaded{false};
std::atomic<uint64_t> TimerMaster::m_SyncCheckValue{0};

namespace {
constexpr uint32_t kNoThread = 0xFFFFFFFFu;
constexpr uint32_t kDefaultBuckets = 10000;

TimerMaster* g_Master = nullptr;

int32_t TimerLinkOffset() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
    return static_cast<int32_t>(offsetof(Timer, m_TimerThread));
#pragma GCC diagnostic pop
}

TimerMaster* Master() {
    NUV_ASSERT(g_Master != nullptr);
    return g_Master;
}

// Holds "TimeMaster" for one schedule operation when the service is multithreaded.
class MasterHold {
public:
    MasterHold() {
        if (TimerMaster::m_MultiThreaded) held_ = Master()->GetLock()->Lock();
    }
    ~MasterHold() {
        if (held_) Master()->GetLock()->Unlock();
    }
    MasterHold(const MasterHold&) = delete;
    MasterHold& operator=(const MasterHold&) = delete;

private:
    bool held_ = false;
};
}  // namespace

// ---------------------------------------------------------------- Timer

Timer::Timer() = default;

Timer::~Timer() {
    TimerMaster* master = g_Master;
    if (master) {
        LockObject* lock = master->GetLock();
        bool multi = TimerMaster::m_MultiThreaded;
        bool took = multi && !lock->IsLockedByCurrentThread() && lock->Lock();
        if (m_Scheduled) master->m_TimerBuckets->Remove(this, false);
        while (m_Executing) {
            if (m_ExecutingThread == plat::CurrentThreadId())
                EMSFailMessage("Deadlock:  delete called from timer execute thread.");
            if (!multi) break;
            lock->Unlock();
            plat::SleepForMs(1);
            lock->Lock();
        }
        if (m_Scheduled) master->m_TimerBuckets->Remove(this, false);
        if (took) lock->Unlock();
    }
}

void Timer::Schedule(uint64_t time) {
    TimerMaster* master = Master();
    if (m_Scheduled) master->m_TimerBuckets->Remove(this, false);
    // A time in the past runs at the next tick.
    m_TimeScheduled = std::max(time, master->m_CurrentTime);
    m_Scheduled = true;
    master->m_TimerBuckets->Insert(this);
}

void Timer::SetTime(const uint64_t& fileTime) {
    MasterHold hold;
    Schedule(fileTime);
}

void Timer::SetMilliseconds(uint32_t ms) {
    m_Interval = ms * kTimerUnitsPerMs;
    MasterHold hold;
    Schedule(Master()->m_CurrentTime + m_Interval);
}

void Timer::SetSeconds(uint32_t s) {
    m_Interval = s * kTimerUnitsPerSecond;
    MasterHold hold;
    Schedule(Master()->m_CurrentTime + m_Interval);
}

void Timer::SetNextSecondsBoundary(uint32_t s) {
    m_Interval = s * kTimerUnitsPerSecond;
    MasterHold hold;
    uint64_t t = Master()->m_CurrentTime + m_Interval;
    // An interval of 0 has no boundaries: the timer runs at the next tick.
    Schedule(m_Interval ? t - t % m_Interval : t);
}

void Timer::SetSecondsFromLast(uint32_t s) {
    m_Interval = s * kTimerUnitsPerSecond;
    MasterHold hold;
    Schedule(m_TimeScheduled + m_Interval);
}

void Timer::Reschedule() {
    MasterHold hold;
    Schedule(m_TimeScheduled + m_Interval);
}

void Timer::SetNow() {
    MasterHold hold;
    Schedule(Master()->m_CurrentTime);
}

void Timer::Cancel() {
    MasterHold hold;
    if (m_Scheduled) Master()->m_TimerBuckets->Remove(this, false);
}

void Timer::GetName(char* buffer, size_t size) {
    if (size == 0) return;
    std::snprintf(buffer, size, "%s", GetClassInfo()->className);
}

uint64_t Timer::GetTimeScheduled() { return m_TimeScheduled; }
bool Timer::IsActive() { return m_Scheduled; }
bool Timer::IsExecuting() { return m_Executing; }
void Timer::Execute() {}

void Timer::DeleteTimer() {
    bool deleteNow;
    {
        MasterHold hold;
        deleteNow = !m_Executing;
        if (!deleteNow) m_Delete = true;
        // The destructor sees the lock held and does not take it again.
        if (deleteNow) delete this;
    }
}

// ---------------------------------------------------------------- buckets

CTimerBucket::CTimerBucket() { m_TimerQueue.SetLinkOffset(TimerLinkOffset()); }
CTimerBucket::~CTimerBucket() = default;

CTimerBucketMaster::CTimerBucketMaster(bool multiThreaded) : m_MultiThreaded(multiThreaded) {
    if (multiThreaded)
        lock_ = std::make_unique<LockObject>(1, nullptr, "TimerBucketManager", 0xFFFFFFFFu, 0, 0);
}

CTimerBucketMaster::~CTimerBucketMaster() {
    for (int32_t i = 0; i < m_Buckets.GetSize(); ++i) delete m_Buckets.GetAt(i);
}

void CTimerBucketMaster::Reserved() {}

void CTimerBucketMaster::LockBuckets() {
    if (lock_) lock_->Lock();
}
void CTimerBucketMaster::UnlockBuckets() {
    if (lock_) lock_->Unlock();
}

void CTimerBucketMaster::CreateBuckets() {
    if (m_BucketsCreated) return;
    if (m_cBuckets == 0) m_cBuckets = kDefaultBuckets;
    m_Buckets.SetSize(static_cast<int32_t>(m_cBuckets));
    for (uint32_t i = 0; i < m_cBuckets; ++i) {
        CTimerBucket* bucket = new CTimerBucket;
        bucket->m_MultiThreaded = m_MultiThreaded;
        m_Buckets.SetAtGrow(static_cast<int32_t>(i), bucket);
    }
    m_DayLength = kTimerDayLength;
    m_BucketWidth = (m_DayLength + m_cBuckets / 2) / m_cBuckets;
    // Rounding up could leave the last moments of the day past the last bucket.
    while (m_BucketWidth * m_cBuckets < m_DayLength) ++m_BucketWidth;
    m_BucketsCreated = true;
}

void CTimerBucketMaster::Insert(Timer* timer) {
    LockBuckets();
    CreateBuckets();
    CTimerBucket* bucket = m_Buckets.GetAt(BucketOf(timer->m_TimeScheduled));
    StdQueue& q = bucket->m_TimerQueue;
    Timer* last = static_cast<Timer*>(q.Last());
    if (!last || bucket->m_bNeedsSorting)
        bucket->m_bNeedsSorting = true;
    else
        bucket->m_bNeedsSorting = timer->m_TimeScheduled < last->m_TimeScheduled;
    q.Append(timer);
    m_lastTimeChecked = std::min(m_lastTimeChecked, timer->m_TimeScheduled);
    ++m_activeTimerCount;
    ++m_totalTimerCount;
    m_maxTimers = std::max(m_maxTimers, m_activeTimerCount);
    m_maxTimersInSingleBucket =
        std::max(m_maxTimersInSingleBucket, static_cast<uint32_t>(q.Count()));
    UnlockBuckets();
}

void CTimerBucketMaster::Remove(Timer* timer, bool executed) {
    LockBuckets();
    CreateBuckets();
    m_Buckets.GetAt(BucketOf(timer->m_TimeScheduled))->m_TimerQueue.Remove(timer);
    if (executed)
        ++m_timersExecuted;
    else
        ++m_timersDeleted;
    --m_activeTimerCount;
    timer->m_Scheduled = false;
    UnlockBuckets();
}

void CTimerBucketMaster::Collect(uint64_t now, std::vector<int32_t>* buckets) {
    LockBuckets();
    CreateBuckets();
    buckets->clear();
    if (m_lastTimeChecked > now) m_lastTimeChecked = 0;  // the clock went back
    int32_t count = static_cast<int32_t>(m_cBuckets);
    int32_t last = BucketOf(now);
    int32_t first = last;
    int32_t n = count;
    if (m_lastTimeChecked != 0) {
        first = BucketOf(m_lastTimeChecked);
        n = first <= last ? last - first + 1 : last + count - first + 1;
    }
    for (int32_t i = 0; i < n; ++i) buckets->push_back((first + i) % count);
    m_lastTimeChecked = now;
    UnlockBuckets();
}

Timer* CTimerBucketMaster::FirstTimer(int32_t index) {
    LockBuckets();
    CreateBuckets();
    CTimerBucket* bucket = m_Buckets.GetAt(index);
    StdQueue& q = bucket->m_TimerQueue;
    if (bucket->m_bNeedsSorting && q.Count() >= 2) {
        std::vector<Timer*> timers;
        timers.reserve(static_cast<size_t>(q.Count()));
        uint32_t number = 0;
        while (Timer* t = static_cast<Timer*>(q.RemoveHead())) {
            t->m_ExecutingThread = number++;
            timers.push_back(t);
        }
        std::sort(timers.begin(), timers.end(), [](const Timer* a, const Timer* b) {
            if (a->m_TimeScheduled != b->m_TimeScheduled)
                return a->m_TimeScheduled < b->m_TimeScheduled;
            return a->m_ExecutingThread < b->m_ExecutingThread;
        });
        for (Timer* t : timers) {
            t->m_ExecutingThread = kNoThread;
            q.Append(t);
        }
        bucket->m_bNeedsSorting = false;
    }
    Timer* first = static_cast<Timer*>(q.First());
    UnlockBuckets();
    return first;
}

// ---------------------------------------------------------------- master

TimerMaster::TimerMaster() = default;

TimerMaster* TimerMaster::Create(uint64_t utc, uint64_t local, bool multiThreaded,
                                 uint32_t buckets) {
    TimerMaster* master = new (std::nothrow) TimerMaster;
    if (!master)
        EMSFailMessage("Memory allocation of %d bytes failed:  File: %s.  Line %d\n",
                       static_cast<int>(sizeof(TimerMaster)), __FILE__, __LINE__);
    master->lock_ = std::make_unique<LockObject>(1, nullptr, "TimeMaster", 0xFFFFFFFFu, 0, 0);
    master->m_CurrentTime = utc;
    master->m_LocalTime = local;
    m_MultiThreaded = multiThreaded;
    master->m_TimerBuckets.reset(new CTimerBucketMaster(multiThreaded));
    master->m_TimerBuckets->m_cBuckets = buckets;
    g_Master = master;
    return master;
}

TimerMaster* TimerMaster::Instance() { return g_Master; }

uint64_t TimerMaster::GetCurrentTime() {
    MasterHold hold;
    return m_CurrentTime;
}

uint64_t TimerMaster::GetLocalTime() {
    MasterHold hold;
    return m_LocalTime;
}

void TimerMaster::ProcessTimers(uint64_t utc, uint64_t local) {
    bool multi = m_MultiThreaded;
    if (multi) lock_->Lock();
    m_LocalTime = local;
    m_CurrentTime = utc;
    std::vector<int32_t> due;
    m_TimerBuckets->Collect(m_CurrentTime, &due);
    for (int32_t index : due) {
        for (;;) {
            Timer* t = m_TimerBuckets->FirstTimer(index);
            if (!t || t->m_TimeScheduled > m_CurrentTime) break;
            m_SyncCheckValue += t->m_TimeScheduled;
            m_TimerBuckets->Remove(t, true);
            t->m_Executing = true;
            t->m_ExecutingThread = plat::CurrentThreadId();
            if (multi) lock_->Unlock();
            t->Execute();
            if (multi) lock_->Lock();
            t->m_Executing = false;
            t->m_ExecutingThread = kNoThread;
            if (t->m_Delete) delete t;
        }
    }
    if (multi) lock_->Unlock();
}
