// One published sample of the MDS client's counters: the 19 UpdateCounter calls of a
// sample, and with the reader's consistent copy of it (the object opened by its name).
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "nuvlib/mds/mdsperfmon.h"
#include "platform/perfcounters.h"

namespace {

void UseOwnNamespace() {
    static bool done = false;
    if (done) return;
    done = true;
    setenv("PARLO_NAMESPACE", ("bench" + std::to_string(getpid())).c_str(), 1);
}

mds::MDS_CLIENT_PERFMON_STATS Sample(uint32_t n) {
    mds::MDS_CLIENT_PERFMON_STATS s{};
    s.clientHandle = 11;
    s.messagesSent = s.messagesReceived = n;
    s.bytesSent = s.bytesReceived = n * 100;
    s.queueLength = n % 7;
    mds::EstimateQueueDelay(n, n + 1, s.queueLength, &s);
    return s;
}

void BM_PublishSample(benchmark::State& state) {
    UseOwnNamespace();
    mds::CMDSClientPerfMonitor m;
    if (m.Init("bench", "site", 10) != 0) {
        state.SkipWithError("cannot publish");
        return;
    }
    uint32_t n = 0;
    for (auto _ : state) benchmark::DoNotOptimize(m.Update(Sample(++n)));
}
BENCHMARK(BM_PublishSample);

void BM_PublishAndReadSample(benchmark::State& state) {
    UseOwnNamespace();
    mds::CMDSClientPerfMonitor m;
    if (m.Init("bench", "site", 10) != 0) {
        state.SkipWithError("cannot publish");
        return;
    }
    uint32_t n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.Update(Sample(++n)));
        plat::PublishedCounters copy;
        benchmark::DoNotOptimize(plat::ReadPublishedInstance(10, "site-bench", &copy));
    }
}
BENCHMARK(BM_PublishAndReadSample);

}  // namespace

