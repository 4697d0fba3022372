// The server core's hot calls: the server lock, meters, counters and unique ids.
#include <benchmark/benchmark.h>

#include "mdstimer/timer.h"
#include "parlo/common/ctiregistry.h"
#include "parlo/common/importmetrics.h"
#include "parlo/common/meterids.h"
#include "parlo/server/server.h"
#include "platform/clock.h"

namespace {

// One Server with a registry object for the whole program (the lock reads its time-out).
Server& TheServer() {
    static Server* server = [] {
        const uint64_t now = plat::FileTimeNow();
        TimerMaster::Create(now, now, false, 0);
        auto* s = new Server;
        auto* registry = new CTIRegistry;
        registry->SetDynamic(CTIRegistry::MaxLockTimeout, 500);
        s->SetRegistry(registry);
        s->ResetMeters();
        return s;
    }();
    return *server;
}

void BM_CTILockObjectLockUnlock(benchmark::State& state) {
    TheServer();
    CTILockObject lock(1, nullptr, "RTServerConfig", 0xFFFFFFFF, 0, 0);
    for (auto _ : state) {
        (void)lock.Lock("BM_CTILockObjectLockUnlock", -1);
        (void)lock.Unlock("BM_CTILockObjectLockUnlock");
    }
}
BENCHMARK(BM_CTILockObjectLockUnlock);

void BM_UpdateMeter(benchmark::State& state) {
    Server& server = TheServer();
    int32_t v = 0;
    for (auto _ : state) server.UpdateMeter(meter::ClientMessages, (v++) & 127);
}
BENCHMARK(BM_UpdateMeter);

void BM_ImportMetricsIncrement(benchmark::State& state) {
    ImportMetrics& metrics = ImportMetrics::Instance();
    if (!metrics.IsInitialized()) (void)metrics.Init("bench");
    const uint32_t index = PARLO_OPEN_SESSIONS;
    for (auto _ : state) metrics.Increment(index);
}
BENCHMARK(BM_ImportMetricsIncrement);

void BM_GetUniqueID(benchmark::State& state) {
    Server& server = TheServer();
    for (auto _ : state) benchmark::DoNotOptimize(server.GetUniqueID());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetUniqueID)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
