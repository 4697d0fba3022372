#include "platform/clock.h"

#include <ctime>

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

int64_t Clock::RealtimeNs() { return ReadClock(CLOCK_REALTIME); }
int64_t Clock::MonotonicNs() { return ReadClock(CLOCK_MONOTONIC); }
int Clock::LocalBiasMinutes() {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    return static_cast<int>(-local.tm_gmtoff / 60);
}

void SetClock(Clock* clock) { g_clock.store(clock, std::memory_order_release); }

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

ScopedClock::ScopedClock(Clock* clock) : previous_(g_clock.load()) { SetClock(clock); }
ScopedClock::~ScopedClock() { SetClock(previous_); }

}  // namespace plat
