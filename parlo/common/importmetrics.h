#pragma once
// ImportMetrics: the server's twenty performance counters (agents, sessions and calls by
// state), published through the node's counter facility (platform/perfcounters.h) under
// object index 17. Metric index i moves counter 2 + 2 * i. Thread-safe.
#include <cstdint>
#include <mutex>

enum ParloMetric : uint32_t {
    PARLO_LOGGEDIN_AGENTS,
    PARLO_TALKING_AGENTS,
    PARLO_UNKNOWN_SESSIONS,
    PARLO_OPEN_SESSIONS,
    PARLO_CLOSED_SESSIONS,
    PARLO_FAILED_SESSIONS,
    PARLO_TOTAL_SESSIONS,
    PARLO_READY_AGENTS,
    PARLO_REPORTED_CALLS,
    PARLO_ACTIVE_CALLS,
    PARLO_DEACTIVATED_CALLS,
    PARLO_CLEARED_CALLS,
    PARLO_PRIVATE_CALLS,
    PARLO_NOT_READY_AGENTS,
    PARLO_ONHOLD_AGENTS,
    PARLO_WORKREADY_AGENTS,
    PARLO_WORKNOTREADY_AGENTS,
    PARLO_LOGGEDOUT_AGENTS,
    PARLO_OPENING_SESSIONS,
    PARLO_CLOSING_SESSIONS,
    PARLO_METRIC_COUNT
};

class ImportMetrics {
public:
    // The object index the instance is published under.
    static constexpr uint32_t kObjectIndex = 17;
    static ImportMetrics& Instance();
    static uint32_t CounterOf(uint32_t index) { return 2 + 2 * index; }
    static const char* MetricName(uint32_t index);

    // Publishes the instance with every counter 0; FALSE when already initialised or when
    // the instance cannot be published (the counters then stay off for the process).
    [[nodiscard]] bool Init(const char* instanceName);
    // Nothing before Init or for an index of 20 or more.
    void Increment(const uint32_t& index);
    void Decrement(const uint32_t& index);
    // Both resets, then the instance is removed; nothing counts until the next Init.
    void reset();
    bool IsInitialized();

private:
    ImportMetrics() = default;
    void ResetSessionCounters();
    void ResetCallCounters();
    std::mutex m_Lock;
    bool m_Initialized = false;
};
