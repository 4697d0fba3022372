// BufferPool allocate/free pairs of 256-byte buffers, from one thread and from four.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "nuvlib/mbuf.h"
#include "nuvlib/mbuflimit.h"
#include "nuvlib/regvalue.h"
#include "platform/registry.h"

namespace {

constexpr const char* kInstance = "ZUR\\parlo";

void SetDword(const std::string& key, const char* name, uint32_t value) {
    plat::RegKey k = nullptr;
    if (plat::RegCreateKey(plat::RegRoot(), key.c_str(), &k) != 0) return;
    RegSetDWORD(k, name, value);
    plat::RegCloseKey(k);
}

// The buffer table's settings as config/mbuf.reg ships them.
void WriteBufferSettings() {
    const std::string limits = MBufLimitMgr::kSettingsKey;
    SetDword(limits, "TotalLimitInPctOfRAM", 10);
    SetDword(limits, "MinTotalLimit", 128);
    SetDword(limits, "MBufLimitTblRecs", 64);
    SetDword(limits, "ShrinkThresInUsagePct", 50);
    SetDword(limits + "\\Increment\\Process", "Other", 131072);
    SetDword(limits + "\\Initial\\Process", "Other", 1048576);
    SetDword(limits + "\\MaxInPctOfTotalLimit\\Process", "Other", 50);
    const std::string company = MBufLimitMgr::kCompanyKey;
    SetDword(company + "\\ZUR\\CurrentVersion", "InstanceNumber", 0);
    SetDword(company + "\\ZUR\\parlo\\DMP\\CurrentVersion", "SystemID", 1);
}

BufferPool* Pool() {
    static BufferPool* pool = [] {
        // A registry, run directory and namespace of this run's own.
        std::string root = std::filesystem::temp_directory_path() /
                           ("parlo-mbuf-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(root + "/registry");
        std::filesystem::create_directories(root + "/run");
        setenv("PARLO_REGISTRY_ROOT", (root + "/registry").c_str(), 1);
        setenv("PARLO_RUN_DIR", (root + "/run").c_str(), 1);
        setenv("PARLO_NAMESPACE", ("mbufbench" + std::to_string(getpid())).c_str(), 1);
        static std::string s_root = root;
        std::atexit([] { std::filesystem::remove_all(s_root); });
        WriteBufferSettings();
        return new BufferPool(kInstance, "bench", nullptr);
    }();
    return pool;
}

void BM_AllocFree256(benchmark::State& state) {
    BufferPool* pool = Pool();
    for (auto _ : state) {
        MBuf* b = pool->Alloc(256);
        benchmark::DoNotOptimize(b);
        pool->Free(b);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AllocFree256)->Threads(1)->Threads(4)->UseRealTime();

}  // namespace
