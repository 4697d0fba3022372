#include "platform/clock.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <set>
#include <ctime>
#include <thread>

namespace plat {

namespace {
int64_t ReadClock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Never destroyed: threads that outlive main may still read the time while the process exits.
Clock& SystemClock() {
    static Clock* const clock = new Clock();
    return *clock;
}
std::atomic<Clock*> g_clock{nullptr};
}  // namespace

// Waits on a manual clock register their deadlines here, not in the clock, so that a clock
// destroyed while a thread still waits leaves nothing dangling.
// Never destroyed: threads that outlive main may still wait while the process exits.
namespace {
std::mutex& g_sleepMu = *new std::mutex;
std::condition_variable& g_sleepCv = *new std::condition_variable;
std::multiset<int64_t>& g_sleepers = *new std::multiset<int64_t>;
// The deadlines of g_sleepers that belong to ExternalWaits (real I/O in progress).
std::multiset<int64_t>& g_externalSleepers = *new std::multiset<int64_t>;

size_t SleepersAheadLocked(int64_t now) {
    return static_cast<size_t>(std::distance(g_sleepers.upper_bound(now), g_sleepers.end()));
}
}  // namespace


int64_t Clock::RealtimeNs() { return ReadClock(CLOCK_REALTIME); }
int64_t Clock::MonotonicNs() { return ReadClock(CLOCK_MONOTONIC); }
int Clock::LocalBiasMinutes() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return static_cast<int>(-local.tm_gmtoff / 60);
}

void SetClock(Clock* clock) {
    std::lock_guard<std::mutex> lk(g_sleepMu);
    g_clock.store(clock, std::memory_order_release);
}

Clock& CurrentClock() {
    Clock* c = g_clock.load(std::memory_order_acquire);
    return c ? *c : SystemClock();
}

int64_t RealtimeNs() { return CurrentClock().RealtimeNs(); }
int64_t MonotonicNs() { return CurrentClock().MonotonicNs(); }
int LocalBiasMinutes() { return CurrentClock().LocalBiasMinutes(); }
uint64_t FileTimeNow() { return UnixNsToFileTime(RealtimeNs()); }
uint32_t GetTickCount() {
    return static_cast<uint32_t>(static_cast<uint64_t>(MonotonicNs() / 1000000));
}

// 2021-03-04 05:06:07 UTC: a date whose log file name is easy to read in a test.
FakeClock::FakeClock() : realtime_(1614834367LL * 1000000000), monotonic_(0), bias_(0) {}

int64_t FakeClock::RealtimeNs() { return realtime_.load(); }
int64_t FakeClock::MonotonicNs() { return monotonic_.load(); }
int FakeClock::LocalBiasMinutes() { return bias_.load(); }
void FakeClock::SetRealtimeNs(int64_t ns) { realtime_.store(ns); }
void FakeClock::SetMonotonicNs(int64_t ns) { monotonic_.store(ns); }
void FakeClock::AdvanceMs(int64_t ms) {
    realtime_.fetch_add(ms * 1000000);
    monotonic_.fetch_add(ms * 1000000);
}
void FakeClock::SetLocalBiasMinutes(int minutes) { bias_.store(minutes); }

// A sleeper whose deadline has passed is about to wake: it no longer counts.
size_t FakeClock::Sleepers() {
    std::lock_guard<std::mutex> lk(g_sleepMu);
    return SleepersAheadLocked(monotonic_.load());
}

bool FakeClock::AwaitSleepers(size_t n, int64_t realTimeoutMs) {
    std::unique_lock<std::mutex> lk(g_sleepMu);
    return g_sleepCv.wait_for(lk, std::chrono::milliseconds(realTimeoutMs),
                              [&] { return SleepersAheadLocked(monotonic_.load()) >= n; });
}

int64_t FakeClock::NextDeadlineNs() {
    std::lock_guard<std::mutex> lk(g_sleepMu);
    auto it = g_sleepers.upper_bound(monotonic_.load());
    return it == g_sleepers.end() ? kNoDeadline : *it;
}

int64_t FakeClock::AdvanceToNextDeadline(int64_t realTimeoutMs) {
    if (!AwaitSleepers(1, realTimeoutMs)) return -1;
    int64_t next = NextDeadlineNs();
    int64_t now = monotonic_.load();
    if (next == kNoDeadline) return -1;
    if (next <= now) return 0;
    int64_t delta = next - now;
    realtime_.fetch_add(delta);
    monotonic_.fetch_add(delta);
    return delta / 1000000;
}

int64_t DeadlineAfterMs(int64_t ms) {
    if (ms < 0) return kNoDeadline;
    return MonotonicNs() + ms * 1000000;
}

bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, int64_t deadlineNs,
               const std::function<bool()>& pred) {
    Clock* mine;
    bool manual;
    {
        std::lock_guard<std::mutex> lk(g_sleepMu);
        mine = &CurrentClock();
        manual = mine->IsManual();
    }
    if (!manual) {
        if (deadlineNs == kNoDeadline) {
            cv.wait(lock, pred);
            return true;
        }
        // CLOCK_MONOTONIC is steady_clock's clock on Linux.
        std::chrono::steady_clock::time_point tp{std::chrono::nanoseconds(deadlineNs)};
        return cv.wait_until(lock, tp, pred);
    }
    // A manual clock moves without notifying anyone: look again every millisecond of real
    // time. Only tests install one. The clock is read under g_sleepMu, which SetClock also
    // takes, so a clock replaced (and then destroyed) is never read again.
    bool finite = deadlineNs != kNoDeadline;
    if (finite) {
        std::lock_guard<std::mutex> lk(g_sleepMu);
        g_sleepers.insert(deadlineNs);
        g_sleepCv.notify_all();
    }
    bool ok = false;
    for (;;) {
        if (pred()) { ok = true; break; }
        bool over;
        {
            std::lock_guard<std::mutex> lk(g_sleepMu);
            Clock* current = g_clock.load(std::memory_order_acquire);
            over = current != mine || (finite && mine->MonotonicNs() >= deadlineNs);
        }
        if (over) break;
        cv.wait_for(lock, std::chrono::milliseconds(1));
    }
    if (finite) {
        std::lock_guard<std::mutex> lk(g_sleepMu);
        auto it = g_sleepers.find(deadlineNs);
        if (it != g_sleepers.end()) g_sleepers.erase(it);
    }
    return ok;
}

void SleepUntil(int64_t deadlineNs) {
    std::mutex mu;
    std::condition_variable cv;
    std::unique_lock<std::mutex> lk(mu);
    (void)WaitUntil(cv, lk, deadlineNs, [] { return false; });
}

void SleepForMs(int64_t ms) { SleepUntil(DeadlineAfterMs(ms < 0 ? 0 : ms)); }

ExternalWait::ExternalWait(int64_t deadlineNs) : deadline_(deadlineNs) {
    std::lock_guard<std::mutex> lk(g_sleepMu);
    clock_ = &CurrentClock();
    manual_ = clock_->IsManual();
    if (manual_ && deadline_ != kNoDeadline) {
        g_sleepers.insert(deadline_);
        g_externalSleepers.insert(deadline_);
        g_sleepCv.notify_all();
    }
}

ExternalWait::~ExternalWait() {
    if (!manual_ || deadline_ == kNoDeadline) return;
    std::lock_guard<std::mutex> lk(g_sleepMu);
    auto it = g_sleepers.find(deadline_);
    if (it != g_sleepers.end()) g_sleepers.erase(it);
    it = g_externalSleepers.find(deadline_);
    if (it != g_externalSleepers.end()) g_externalSleepers.erase(it);
}

bool ExternalWait::Expired() const {
    if (deadline_ == kNoDeadline) return false;
    // Read under g_sleepMu, which SetClock also takes: a replaced clock is never read again.
    std::lock_guard<std::mutex> lk(g_sleepMu);
    if (manual_ && g_clock.load(std::memory_order_acquire) != clock_) return true;
    return clock_->MonotonicNs() >= deadline_;
}

int ExternalWait::NextSliceMs(int maxSliceMs) const {
    if (deadline_ == kNoDeadline) return maxSliceMs;
    if (Expired()) return 0;
    if (manual_) return 1;
    int64_t left = (deadline_ - clock_->MonotonicNs() + 999999) / 1000000;
    if (left < 1) left = 1;
    if (maxSliceMs >= 0 && left > maxSliceMs) left = maxSliceMs;
    return static_cast<int>(left);
}

int64_t SystemMonotonicNs() { return ReadClock(CLOCK_MONOTONIC); }

void SystemSleepMs(int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t FakeClock::AdvanceToDeadlineAtLeast(int64_t minDeadlineNs, int64_t realTimeoutMs) {
    int64_t target = kNoDeadline;
    {
        std::unique_lock<std::mutex> lk(g_sleepMu);
        const bool found = g_sleepCv.wait_for(lk, std::chrono::milliseconds(realTimeoutMs), [&] {
            auto it = g_sleepers.lower_bound(std::max(minDeadlineNs, monotonic_.load() + 1));
            if (it == g_sleepers.end()) return false;
            target = *it;
            return true;
        });
        if (!found) return -1;
    }
    const int64_t now = monotonic_.load();
    if (target <= now) return 0;
    realtime_.fetch_add(target - now);
    monotonic_.fetch_add(target - now);
    return (target - now) / 1000000;
}

// The earliest deadline ahead of `now` that a plain sleep or condition wait holds (more
// sleepers at it than external waits), when no external wait ends before it; else
// kNoDeadline.
namespace {
int64_t NextPlainDeadlineLocked(int64_t now) {
    auto external = g_externalSleepers.upper_bound(now);
    for (auto it = g_sleepers.upper_bound(now); it != g_sleepers.end();
         it = g_sleepers.upper_bound(*it)) {
        if (external != g_externalSleepers.end() && *external < *it) return kNoDeadline;
        if (g_sleepers.count(*it) > g_externalSleepers.count(*it)) return *it;
    }
    return kNoDeadline;
}
}  // namespace

int64_t FakeClock::AdvanceToNextSleep(int64_t realTimeoutMs) {
    int64_t target = kNoDeadline;
    {
        std::unique_lock<std::mutex> lk(g_sleepMu);
        if (!g_sleepCv.wait_for(lk, std::chrono::milliseconds(realTimeoutMs), [&] {
                target = NextPlainDeadlineLocked(monotonic_.load());
                return target != kNoDeadline;
            }))
            return -1;
    }
    const int64_t now = monotonic_.load();
    if (target <= now) return 0;
    realtime_.fetch_add(target - now);
    monotonic_.fetch_add(target - now);
    return (target - now) / 1000000;
}

bool FakeClock::AdvanceUntil(const std::function<bool()>& done, int maxMoves,
                             int64_t realTimeoutMs) {
    for (int moves = 0;; ++moves) {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
        for (;;) {
            if (done()) return true;
            std::unique_lock<std::mutex> lk(g_sleepMu);
            if (SleepersAheadLocked(monotonic_.load()) > 0) break;
            if (std::chrono::steady_clock::now() >= giveUp) return false;
            // A sleeper notifies; `done` changing does not, so look again soon.
            g_sleepCv.wait_for(lk, std::chrono::milliseconds(1));
        }
        if (moves == maxMoves) return done();
        int64_t next = NextDeadlineNs();
        int64_t now = monotonic_.load();
        if (next != kNoDeadline && next > now) {
            realtime_.fetch_add(next - now);
            monotonic_.fetch_add(next - now);
        }
    }
}

ScopedClock::ScopedClock(Clock* clock) : previous_(g_clock.load()) { SetClock(clock); }
ScopedClock::~ScopedClock() { SetClock(previous_); }

}  // namespace plat
