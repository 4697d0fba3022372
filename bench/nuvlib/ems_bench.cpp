// EMSTraceMessage into a log file on disk, with the default file limits (so rotation and
// pruning are part of the cost), reported as records per second.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "platform/registry.h"

namespace {

std::string g_dir;

void StartEms() {
    static bool started = [] {
        char templ[] = "/tmp/parlo-ems-bench-XXXXXX";
        g_dir = mkdtemp(templ);
        setenv("PARLO_REGISTRY_ROOT", (g_dir + "/registry").c_str(), 1);
        setenv("PARLO_RUN_DIR", (g_dir + "/run").c_str(), 1);
        std::filesystem::create_directories(g_dir + "/registry");
        std::filesystem::create_directories(g_dir + "/logs");
        plat::RegKey key = nullptr;
        if (plat::RegCreateKey(plat::RegRoot(),
                               "SOFTWARE\\Quenlo Systems, Inc.\\Bench\\EMS\\CurrentVersion\\Library\\Processes\\bench",
                               &key) != 0) {
            std::fprintf(stderr, "ems_bench: cannot write the registry\n");
            std::exit(1);
        }
        const uint32_t off = 0;
        plat::RegSetValue(key, "EMSDisplayToScreen", plat::REG_DWORD, &off, 4);
        plat::RegCloseKey(key);
        if (EMSInitialize("Bench", (g_dir + "/logs").c_str(), "bench", 1, 'A') != 1) {
            std::fprintf(stderr, "ems_bench: EMSInitialize failed\n");
            std::exit(1);
        }
        std::atexit([] {
            EMSStopSettingsWatch();
            EMSCloseLog();
            std::error_code ec;
            std::filesystem::remove_all(g_dir, ec);
        });
        return true;
    }();
    (void)started;
}

void BM_TraceToLogFile(benchmark::State& state) {
    StartEms();
    const std::string text(static_cast<size_t>(state.range(0)), 't');
    int64_t n = 0;
    for (auto _ : state) EMSTraceMessage("trace %lld: %s", static_cast<long long>(n++), text.c_str());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceToLogFile)->Arg(16)->Arg(100)->Arg(400);

}  // namespace
