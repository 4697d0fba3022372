#pragma once
// Wall clock, monotonic clock and local-time bias, injectable so that tests can pin the
// time (log file names) or run a 32-bit tick across its wrap.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace plat {

class Clock {
public:
    virtual ~Clock() = default;
    // Nanoseconds since 1970-01-01 UTC (CLOCK_REALTIME).
    virtual int64_t RealtimeNs();
    // Nanoseconds of CLOCK_MONOTONIC.
    virtual int64_t MonotonicNs();
    // Minutes to add to local time to get UTC (-tm_gmtoff/60 for the current moment).
    virtual int LocalBiasMinutes();
    // True when the clock moves only when told to: waits then poll it instead of sleeping
    // on the system clock.
    virtual bool IsManual() const { return false; }
};

// Installs a clock for the whole process; nullptr restores the system clock. The caller
// keeps ownership and must keep it alive until it is replaced; a thread still waiting on
// the old clock then sees its wait time out.
void SetClock(Clock* clock);
Clock& CurrentClock();

// 100 ns units between 1601-01-01 and 1970-01-01.
inline constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ULL;

inline constexpr uint64_t UnixNsToFileTime(int64_t ns) {
    // Floor division keeps instants before 1970 ordered correctly.
    int64_t q = ns / 100;
    if (ns % 100 < 0) --q;
    return static_cast<uint64_t>(q + static_cast<int64_t>(kFileTimeUnixEpoch));
}
inline constexpr int64_t FileTimeToUnixNs(uint64_t ft) {
    return (static_cast<int64_t>(ft) - static_cast<int64_t>(kFileTimeUnixEpoch)) * 100;
}

int64_t RealtimeNs();
int64_t MonotonicNs();
// Local time is RealtimeNs() - LocalBiasMinutes() * 60 s; code that names things by local
// time computes it that way (not with localtime_r), so that a fake clock pins it too.
int LocalBiasMinutes();
// Current time as a FILETIME value (100 ns units since 1601-01-01 UTC).
uint64_t FileTimeNow();
// Milliseconds of the monotonic clock, truncated to 32 bits (wraps after ~49.7 days).
uint32_t GetTickCount();

// No deadline: a wait that ends only when its condition holds.
inline constexpr int64_t kNoDeadline = INT64_MAX;

// Monotonic deadline `ms` milliseconds from now on the current clock (kNoDeadline for
// ms < 0).
int64_t DeadlineAfterMs(int64_t ms);

// Waits on `cv` with `lock` held until `pred()` holds or the current clock's monotonic time
// reaches `deadlineNs`. Returns pred() at the end, like std::condition_variable::wait_until.
// On a manual clock the wait notices both a notify and the clock being moved.
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadlineNs,
               const std::function<bool()>& pred);

// Sleeps until the monotonic `deadlineNs`, or for `ms` milliseconds, on the current clock.
void SleepUntil(int64_t deadlineNs);
void SleepForMs(int64_t ms);

// A wait on something outside this layer (a socket poll, a condition shared with another
// process) that stands for a time-out on the current clock. The caller blocks in real time
// for at most NextSliceMs() between looks at what it waits for, and gives up once Expired().
// On a manual clock the waiter counts as a sleeper (FakeClock::AwaitSleepers) and the
// slices are short, so a test that moves the clock ends the wait.
class ExternalWait {
public:
    explicit ExternalWait(int64_t deadlineNs);
    ~ExternalWait();
    ExternalWait(const ExternalWait&) = delete;
    ExternalWait& operator=(const ExternalWait&) = delete;

    // True once the deadline has passed (or the clock it started on was replaced).
    bool Expired() const;
    // Real milliseconds to block before looking again: the time left, capped at maxSliceMs
    // (maxSliceMs < 0: no cap; -1 is then returned for a wait without deadline); 0 once
    // expired; at most 1 ms on a manual clock with a deadline.
    int NextSliceMs(int maxSliceMs = -1) const;

private:
    int64_t deadline_;
    Clock* clock_;
    bool manual_;
};

// The system's monotonic clock and a real sleep, whatever clock is installed. Only for what
// must not follow a test's clock: the absolute time a process-shared condition wait takes,
// and the real pacing of polls (NamedMutex::Lock, NamedMarkerEvent::Wait).
int64_t SystemMonotonicNs();
void SystemSleepMs(int64_t ms);

// A clock that moves only when told to. Starts at 2021-03-04 05:06:07 UTC, monotonic 0,
// bias 0. Threads that wait through this layer while it is installed are counted, so a
// test can wait until a thread sleeps and then move time past its deadline.
class FakeClock : public Clock {
public:
    FakeClock();
    int64_t RealtimeNs() override;
    int64_t MonotonicNs() override;
    int LocalBiasMinutes() override;
    bool IsManual() const override { return true; }

    // Threads now waiting for a deadline still ahead of the clock.
    size_t Sleepers();
    // Waits (in real time, at most `realTimeoutMs`) until at least `n` threads wait for a
    // deadline still ahead. Returns false on time-out.
    bool AwaitSleepers(size_t n, int64_t realTimeoutMs = 30000);
    // Earliest deadline still ahead of a waiting thread, or kNoDeadline when none waits.
    int64_t NextDeadlineNs();
    // Waits (real time, bounded as above) for a sleeper, then moves both clocks to the
    // earliest deadline. Returns the milliseconds moved, or -1 when nobody slept in time.
    int64_t AdvanceToNextDeadline(int64_t realTimeoutMs = 30000);
    // Waits (real time, bounded as above) for a thread that sleeps until `minDeadlineNs` or
    // later, then moves both clocks to the earliest such deadline, passing over shorter
    // sleeps (polls) on the way. Returns the milliseconds moved, or -1 on time-out.
    int64_t AdvanceToDeadlineAtLeast(int64_t minDeadlineNs, int64_t realTimeoutMs = 30000);
    // Like AdvanceToNextDeadline, but only to the deadline of a plain sleep or condition
    // wait, and never past the deadline of an ExternalWait in progress (a socket or another
    // process at work in real time): a pump built on this cannot time out slow I/O.
    int64_t AdvanceToNextSleep(int64_t realTimeoutMs = 30000);
    // Moves time from deadline to deadline until `done()` holds: before each move it waits
    // (real time, at most realTimeoutMs) until `done()` holds or a thread sleeps. Returns
    // done(): false after maxMoves moves, or when nothing held and nobody slept in time.
    // `done` is called without any lock of this layer held.
    bool AdvanceUntil(const std::function<bool()>& done, int maxMoves = 1000,
                      int64_t realTimeoutMs = 30000);

    void SetRealtimeNs(int64_t ns);
    void SetMonotonicNs(int64_t ns);
    // Moves both clocks forward (or back, with a negative value).
    void AdvanceMs(int64_t ms);
    void SetLocalBiasMinutes(int minutes);

private:
    // Atomics, so a test may move the clock while other threads read it.
    std::atomic<int64_t> realtime_;
    std::atomic<int64_t> monotonic_;
    std::atomic<int> bias_;
};

// Installs a clock for the life of the object and restores the previous one after.
class ScopedClock {
public:
    explicit ScopedClock(Clock* clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    Clock* previous_;
};

}  // namespace plat
