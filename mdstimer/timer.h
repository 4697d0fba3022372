#pragma once
// The process-wide timer wheel. A Timer is scheduled for an absolute UTC time (FILETIME,
// 100 ns units since 1601-01-01); when the wheel's clock reaches it, the timer thread calls
// its Execute. The wheel divides a day into buckets of 8.64 s; a bucket keeps its timers
// sorted by time (sorted lazily, at the first look after an insertion out of order) and a
// tick only looks at the buckets the clock passed since the previous tick.
//
// Lock order: "TimeMaster" (current time, scheduling, the processing pass), then
// "TimerBucketManager" (the wheel and its statistics). Execute runs without either.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "nuvlib/lock.h"
#include "nuvlib/stdarray.h"
#include "nuvlib/stdobject.h"
#include "nuvlib/stdqueue.h"

constexpr uint64_t kTimerUnitsPerMs = 10000ULL;
constexpr uint64_t kTimerUnitsPerSecond = 10000000ULL;
constexpr uint64_t kTimerDayLength = 864000000000ULL;

class Timer : public StdObject {
    STD_OBJECT_DECLARE(Timer)
public:
    Timer();
    // Waits while another thread executes the timer. Classes whose Execute uses their own
    // members should be deleted through DeleteTimer, which defers to the end of Execute.
    ~Timer() override;

    virtual void SetTime(const uint64_t& fileTime);
    virtual void SetMilliseconds(uint32_t ms);
    virtual void SetSeconds(uint32_t s);
    // The first multiple of s seconds after the wheel's current time.
    virtual void SetNextSecondsBoundary(uint32_t s);
    virtual void SetSecondsFromLast(uint32_t s);
    virtual void Reschedule();
    virtual void SetNow();
    virtual void Cancel();
    // The class name of the most-derived class that has a record ("Timer" for the others).
    virtual void GetName(char* buffer, size_t size);
    virtual uint64_t GetTimeScheduled();
    virtual bool IsActive();
    // Deletes now, or right after Execute returns when the timer is executing.
    virtual void DeleteTimer();
    virtual bool IsExecuting();
    virtual void Execute();

    uint64_t m_TimeScheduled = 0;
    uint64_t m_Interval = 0;
    StdQueueLink m_TimerThread;
    std::atomic<bool> m_Scheduled{false};
    std::atomic<bool> m_Delete{false};
    std::atomic<bool> m_Executing{false};
    // The executing thread; while its bucket is sorted, the timer's position; -1 otherwise.
    std::atomic<uint32_t> m_ExecutingThread{0xFFFFFFFFu};

private:
    friend class TimerMaster;
    // The caller holds "TimeMaster" (multithreaded).
    void Schedule(uint64_t time);
};

class CTimerBucket : public StdObject {
    STD_OBJECT_DECLARE(CTimerBucket)
public:
    CTimerBucket();
    ~CTimerBucket() override;

    StdQueue m_TimerQueue;
    bool m_MultiThreaded = false;
    bool m_bNeedsSorting = false;
    LockObject* m_Lock = nullptr;  // stays empty: the master's lock guards the buckets
};

class CTimerBucketMaster : public StdObject {
    STD_OBJECT_DECLARE(CTimerBucketMaster)
public:
    explicit CTimerBucketMaster(bool multiThreaded);
    // Deletes the buckets and the lock it owns.
    ~CTimerBucketMaster() override;
    CTimerBucketMaster(const CTimerBucketMaster&) = delete;
    CTimerBucketMaster& operator=(const CTimerBucketMaster&) = delete;
    virtual void Reserved();

    void Insert(Timer* timer);
    // executed: taken out to run (counted as executed), else counted as deleted.
    void Remove(Timer* timer, bool executed);
    // The buckets due at now, in processing order.
    void Collect(uint64_t now, std::vector<int32_t>* buckets);
    // Sorts the bucket when needed and gives its first timer.
    Timer* FirstTimer(int32_t bucket);
    int32_t BucketOf(uint64_t time) const {
        return static_cast<int32_t>(time % m_DayLength / m_BucketWidth);
    }

    uint64_t m_lastTimeChecked = 0;
    StdArray<CTimerBucket> m_Buckets;
    uint32_t m_cBuckets = 0;
    uint32_t m_activeTimerCount = 0;
    uint32_t m_totalTimerCount = 0;
    uint32_t m_maxTimers = 0;
    uint32_t m_maxTimersInSingleBucket = 0;
    uint32_t m_timersExecuted = 0;
    uint32_t m_timersDeleted = 0;
    uint64_t m_BucketWidth = 0;
    uint64_t m_DayLength = 0;
    bool m_BucketsCreated = false;
    bool m_MultiThreaded = false;

private:
    // "TimerBucketManager", only when multithreaded.
    std::unique_ptr<LockObject> lock_;

    void CreateBuckets();
    void LockBuckets();
    void UnlockBuckets();
};

class TimerMaster : public StdObject {
    STD_OBJECT_DECLARE(TimerMaster)
public:
    // Creates the singleton (never freed; a second Create replaces Instance()) with its
    // lock and wheel; bucket count 0 means the default 10000. Fatal when out of memory.
    static TimerMaster* Create(uint64_t utc, uint64_t local, bool multiThreaded,
                               uint32_t buckets);
    // The singleton, or null before Create. Not owned by the caller.
    static TimerMaster* Instance();
    TimerMaster(const TimerMaster&) = delete;
    TimerMaster& operator=(const TimerMaster&) = delete;

    // Runs every timer due at utc.
    void ProcessTimers(uint64_t utc, uint64_t local);
    uint64_t GetCurrentTime();
    uint64_t GetLocalTime();
    // "TimeMaster"; owned by the master, valid while it lives.
    LockObject* GetLock() const { return lock_.get(); }

    std::unique_ptr<CTimerBucketMaster> m_TimerBuckets;
    uint64_t m_CurrentTime = 0;
    uint64_t m_LocalTime = 0;

    static std::atomic<bool> m_MultiThreaded;
    static std::atomic<uint64_t> m_SyncCheckValue;

private:
    TimerMaster();
    std::unique_ptr<LockObject> lock_;
};
