#include "parlo/common/importmetrics.h"

#include <vector>

#include "nuvlib/ems.h"
#include "parlo/common/svrtrace.h"
#include "platform/perfcounters.h"

namespace {
constexpr const char* kNames[PARLO_METRIC_COUNT] = {
    "PARLO_LOGGEDIN_AGENTS",   "PARLO_TALKING_AGENTS",      "PARLO_UNKNOWN_SESSIONS",
    "PARLO_OPEN_SESSIONS",     "PARLO_CLOSED_SESSIONS",     "PARLO_FAILED_SESSIONS",
    "PARLO_TOTAL_SESSIONS",    "PARLO_READY_AGENTS",        "PARLO_REPORTED_CALLS",
    "PARLO_ACTIVE_CALLS",      "PARLO_DEACTIVATED_CALLS",   "PARLO_CLEARED_CALLS",
    "PARLO_PRIVATE_CALLS",     "PARLO_NOT_READY_AGENTS",    "PARLO_ONHOLD_AGENTS",
    "PARLO_WORKREADY_AGENTS",  "PARLO_WORKNOTREADY_AGENTS", "PARLO_LOGGEDOUT_AGENTS",
    "PARLO_OPENING_SESSIONS",  "PARLO_CLOSING_SESSIONS"};
constexpr uint32_t kSessionGroupEnd = 8;  // indexes 0-7 (counters 2-16); the rest are calls
}  // namespace

ImportMetrics& ImportMetrics::Instance() {
    static ImportMetrics* metrics = new ImportMetrics;  // used up to the process's exit
    return *metrics;
}

const char* ImportMetrics::MetricName(uint32_t index) {
    return index < PARLO_METRIC_COUNT ? kNames[index] : "";
}

bool ImportMetrics::Init(const char* instanceName) {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_Initialized) {
        if (EMSGetTraceMask() & tracebit::TR_PROC_7) EMSTraceMessage("Metrics already initialized");
        return false;
    }
    std::vector<plat::CounterDef> counters;
    for (uint32_t i = 0; i < PARLO_METRIC_COUNT; ++i) counters.push_back({CounterOf(i), kNames[i]});
    const uint32_t error = InitNUVPerformance(instanceName, kObjectIndex, counters);
    if (error != 0) {
        EMSTraceMessage("InitNUVPerformance failed. Error %d", static_cast<int>(error));
        return false;
    }
    EMSTraceMessage("The performance monitor object instance (%s) was created successfully.",
                    instanceName);
    m_Initialized = true;
    ResetSessionCounters();
    ResetCallCounters();
    return true;
}

void ImportMetrics::Increment(const uint32_t& index) {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_Initialized && index < PARLO_METRIC_COUNT) (void)IncrementPerfCounterSync(CounterOf(index));
}

void ImportMetrics::Decrement(const uint32_t& index) {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_Initialized && index < PARLO_METRIC_COUNT) (void)DecrementPerfCounterSync(CounterOf(index));
}

void ImportMetrics::ResetSessionCounters() {
    if (!m_Initialized) return;
    for (uint32_t i = 0; i < kSessionGroupEnd; ++i) (void)SetPerfCounterValueSync(CounterOf(i), 0);
}

void ImportMetrics::ResetCallCounters() {
    if (!m_Initialized) return;
    for (uint32_t i = kSessionGroupEnd; i < PARLO_METRIC_COUNT; ++i)
        (void)SetPerfCounterValueSync(CounterOf(i), 0);
}

void ImportMetrics::reset() {
    std::lock_guard<std::mutex> hold(m_Lock);
    if (!m_Initialized) return;
    ResetSessionCounters();
    ResetCallCounters();
    UnInitNUVPerformance();
    m_Initialized = false;
    EMSTraceMessage("ImportMetrics::reset(), Parlo Metric subsystem was reset.");
}

bool ImportMetrics::IsInitialized() {
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Initialized;
}
