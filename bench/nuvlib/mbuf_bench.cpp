// BufferPool allocate/free pairs of 256-byte buffers, from one thread and from four.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "nuvlib/mbuf.h"
#include "tests/nuvlib/data/rts1/mbuf_settings.h"

namespace {

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
        testsupport::WriteMBufSettings(testsupport::MBufSettings{});
        return new BufferPool(testsupport::kMBufInstance, "bench", nullptr);
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
