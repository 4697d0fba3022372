// Scheduling and cancelling timers spread over a day on the wheel, and one tick pass.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "mdstimer/timer.h"
#include "platform/clock.h"

namespace {

TimerMaster* Master() {
    static TimerMaster* master = [] {
        uint64_t now = plat::FileTimeNow();
        return TimerMaster::Create(now, now, true, 0);
    }();
    return master;
}

std::vector<uint64_t> SpreadOverADay(size_t n) {
    std::mt19937_64 rng(42);
    uint64_t now = Master()->m_CurrentTime;
    std::vector<uint64_t> times(n);
    for (uint64_t& t : times) t = now + rng() % kTimerDayLength;
    return times;
}

void BM_ScheduleAndCancelMillion(benchmark::State& state) {
    const size_t n = 1000000;
    Master();
    std::vector<uint64_t> times = SpreadOverADay(n);
    std::vector<std::unique_ptr<Timer>> timers;
    timers.reserve(n);
    for (size_t i = 0; i < n; ++i) timers.push_back(std::make_unique<Timer>());
    for (auto _ : state) {
        for (size_t i = 0; i < n; ++i) timers[i]->SetTime(times[i]);
        for (size_t i = 0; i < n; ++i) timers[i]->Cancel();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_ScheduleAndCancelMillion)->Unit(benchmark::kMillisecond);

// A tick over a wheel holding a million timers, none of them due yet.
void BM_TickWithMillionWaiting(benchmark::State& state) {
    const size_t n = 1000000;
    TimerMaster* master = Master();
    std::vector<uint64_t> times = SpreadOverADay(n);
    std::vector<std::unique_ptr<Timer>> timers;
    timers.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        timers.push_back(std::make_unique<Timer>());
        timers.back()->SetTime(times[i] + kTimerUnitsPerSecond * 3600);
    }
    uint64_t now = master->m_CurrentTime;
    for (auto _ : state) {
        now += 100 * kTimerUnitsPerMs;
        master->ProcessTimers(now, now);
    }
    for (auto& t : timers) t->Cancel();
}
BENCHMARK(BM_TickWithMillionWaiting)->Unit(benchmark::kMicrosecond);

}  // namespace
