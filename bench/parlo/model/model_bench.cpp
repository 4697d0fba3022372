// Look-ups, the call cycle and the distribution of the object model, with ports that do
// nothing (encoding excluded). Run by hand on the release preset.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "ctimsg/messages/messages.h"
#include "nuvlib/lock.h"
#include "nuvlib/stdqueue.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "parlo/model/noopports.h"
#include "parlo/model/ports.h"
#include "bench/parlo/model/resident.h"

// The replaced operator new takes its memory from malloc, so free is its partner.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// Counts every heap allocation of the process, for the allocation-free cycle.
void* operator new(size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

// Four sessions with monitor lists, each found; everything else as the no-op ports answer.
class NoopPorts : public model::NoopPorts {
public:
    NoopPorts() {
        for (StdQueue& l : lists_) l.SetLinkOffset(CTICSTAMonitor::ClientLinkOffset());
        Install();
    }
    bool FindSession(int32_t) override { return true; }
    bool Find(int32_t sessionID, model::ClientInfo& out) override {
        if (sessionID < 1 || sessionID > 4) return false;
        out.sessionID = sessionID;
        out.clientID = "bench";
        out.version = 24;
        out.monitorList = &lists_[sessionID - 1];
        return true;
    }

private:
    StdQueue lists_[4];
};

NoopPorts& Ports() {
    static NoopPorts ports;
    return ports;
}

CTICSTADevice* Device(uint32_t periph, int type, const char* id, const char* ext = "") {
    CSTAExtendedDeviceID rec;
    std::snprintf(rec.deviceID, sizeof rec.deviceID, "%s", id);
    rec.deviceIDType = type;
    return FindOrCreateCTICSTADevice(periph, &rec, ext, "bench", false, true);
}

void BM_FindCallActive(benchmark::State& state) {
    Ports();
    // Each of the 8 peripherals numbers its calls from 1, so every CallID is on all 8.
    static std::vector<std::pair<uint32_t, uint32_t>> keys;
    const size_t n = static_cast<size_t>(state.range(0));
    while (keys.size() < n) {
        const uint32_t periph = 5000 + static_cast<uint32_t>(keys.size() % 8);
        const uint32_t id = static_cast<uint32_t>(keys.size() / 8 + 1);
        Call::Alloc(periph, id, 0, "1001", 48, 1, 0, 0, 0);
        keys.emplace_back(periph, id);
    }
    size_t i = 0;
    for (auto _ : state) {
        const auto& k = keys[(i * 7919) % n];
        benchmark::DoNotOptimize(Call::FindCall(k.first, k.second, -1, "", 1));
        ++i;
    }
}
BENCHMARK(BM_FindCallActive)->Arg(1000)->Arg(10000)->Arg(100000);

std::vector<std::string>& DeviceIDs() {
    static std::vector<std::string> ids = [] {
        std::vector<std::string> out;
        Ports();
        for (int i = 0; i < 40000; ++i) {
            const int digits = 4 + i % 3;
            const int base = digits == 4 ? 1000 : digits == 5 ? 10000 : 100000;
            const std::string id = std::to_string(base + (i * 7 + 3) % (base * 9));
            const std::string ext = "x" + id;
            if (Device(5000, 0, id.c_str(), ext.c_str()) != nullptr) out.push_back(id);
        }
        return out;
    }();
    return ids;
}

void BM_FindDevice(benchmark::State& state) {
    auto& ids = DeviceIDs();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindCTICSTADevice(5000, 0, ids[(i * 7919) % ids.size()].c_str(), false));
        ++i;
    }
    state.counters["devices"] = static_cast<double>(ids.size());
}
BENCHMARK(BM_FindDevice);

void BM_FindDeviceByExtension(benchmark::State& state) {
    auto& ids = DeviceIDs();
    std::vector<std::string> exts;
    for (const auto& id : ids) exts.push_back("x" + id);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(FindCTICSTADeviceByExtension(5000, exts[(i * 7919) % exts.size()].c_str(), false));
        ++i;
    }
}
BENCHMARK(BM_FindDeviceByExtension);

void BM_FindMonitor(benchmark::State& state) {
    Ports();
    static std::vector<uint32_t> ids;
    const size_t n = static_cast<size_t>(state.range(0));
    while (ids.size() < n) ids.push_back(CTICSTAMonitor::Alloc(0, -1, nullptr)->m_MonitorID);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(CTICSTAMonitor::FindMonitor(ids[(i * 7919) % n]));
        ++i;
    }
}
BENCHMARK(BM_FindMonitor)->Arg(1000)->Arg(100000);

void BM_CallCycle(benchmark::State& state) {
    Ports();
    CTICSTADevice* a = Device(6000, 76, "7001");
    CTICSTADevice* b = Device(6000, 76, "7002");
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 1, a);
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 2, b);
    uint32_t id = 1;
    auto cycle = [&] {
        Call* c = Call::Alloc(6000, id++, 0, "7001", 48, 1, 0, 0, 0);
        CTICSTAConnection::Alloc(a, c, 3, 1, 0, "7001", "src");
        CTICSTAConnection::Alloc(b, c, 2, 2, 0, "7002", "dest");
        Call::Free(c, true);
    };
    for (int warm = 0; warm < 64; ++warm) cycle();
    const long before = g_allocations.load();
    for (auto _ : state) cycle();
    state.counters["allocs/cycle"] =
        static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CallCycle);

void BM_CallWriteMSG(benchmark::State& state) {
    Ports();
    CTICSTADevice* a = Device(6001, 76, "8001");
    CTICSTADevice* b = Device(6001, 76, "8002");
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 1, a);
    CTICSTAMonitor::Alloc(CTICSTAMonitor::Device, 2, b);
    Call* c = Call::Alloc(6001, 1, 0, "8001", 48, 1, 0, 0, 0);
    CTICSTAMonitor::Alloc(CTICSTAMonitor::CallSubject, 3, c);
    CTICSTAConnection::Alloc(a, c, 3, 1, 0, "8001", "src");
    CTICSTAConnection::Alloc(b, c, 2, 2, 0, "8002", "dest");
    c->ReportCall();
    CallHeldEventMSG msg;
    for (auto _ : state) c->WriteMSG(msg, true, true);
}
BENCHMARK(BM_CallWriteMSG);

// RSS growth per object: a call with two connections and typical call data, a device, a
// monitor. One pass is enough; the figures are counters.
void BM_MemoryPerObject(benchmark::State& state) {
    Ports();
    constexpr int kCount = 20000;
    for (auto _ : state) {
        const long before = ResidentBytes();
        for (int i = 0; i < kCount; ++i) {
            Call* c = Call::Alloc(7000, static_cast<uint32_t>(i + 1), 0, "1001", 48, 1, 0, 0, 0);
            c->m_ANI = "5551234567";
            c->m_DNIS = "8005551212";
            c->m_CallVariable[0] = "account 123456";
            c->m_CallVariable[1] = "priority gold";
            c->m_CallVariable[2] = "language en";
            CTICSTAConnection::Alloc(nullptr, c, 3, 1, 0, "1001", "src");
            CTICSTAConnection::Alloc(nullptr, c, 2, 2, 0, "2002", "dest");
        }
        const long afterCalls = ResidentBytes();
        for (int i = 0; i < kCount; ++i) {
            const std::string id = std::to_string(300000 + i);
            Device(7000, 76, id.c_str(), id.c_str());
        }
        const long afterDevices = ResidentBytes();
        for (int i = 0; i < kCount; ++i) CTICSTAMonitor::Alloc(0, -1, nullptr);
        const long afterMonitors = ResidentBytes();
        state.counters["call+2conn B"] = static_cast<double>(afterCalls - before) / kCount;
        state.counters["device B"] = static_cast<double>(afterDevices - afterCalls) / kCount;
        state.counters["monitor B"] = static_cast<double>(afterMonitors - afterDevices) / kCount;
    }
    state.counters["sizeof Call"] = sizeof(Call);
    state.counters["sizeof conn"] = sizeof(CTICSTAConnection);
    state.counters["sizeof device"] = sizeof(CTICSTADevice);
    state.counters["sizeof monitor"] = sizeof(CTICSTAMonitor);
}
BENCHMARK(BM_MemoryPerObject)->Iterations(1);

}  // namespace

namespace {

// What the call cycle pays per event it builds: constructing the two event classes.
void BM_BuildBeginAndEndEvents(benchmark::State& state) {
    for (auto _ : state) {
        BeginCallEventMSG begin(false, false);
        EndCallEventMSG end;
        benchmark::DoNotOptimize(&begin);
        benchmark::DoNotOptimize(&end);
    }
}
BENCHMARK(BM_BuildBeginAndEndEvents);

}  // namespace
