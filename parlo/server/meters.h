#pragma once
// The server's meters (kept in the Server under "MeterLock"): 60 meters moved with
// Server::UpdateMeter, read by index 0 to 60 with Server::GetMeter, per-type message
// counts, and the half-hour period baselines and peaks.
#include <cstdint>

struct ServerMeters {
    static constexpr int kReadIndexes = 61;
    static constexpr int kOPCTypes = 124;
    static constexpr int kCTITypes = 283;
    static constexpr int32_t kMinimumStart = 99000;

    // By read index. 1 and 60 hold the seconds of finished runs of the two clocks.
    int32_t value[kReadIndexes] = {};
    int64_t activeStart = 0;   // seconds, while value[0] is set
    int64_t standbyStart = 0;  // seconds, while value[59] is set
    int64_t metersStart = 0;
    int32_t opcTypes[kOPCTypes] = {};
    int32_t ctiTypes[kCTITypes] = {};

    // Values saved at the last half-hour mark.
    struct Baseline {
        int32_t connectionsToday = 0, callsToday = 0;
        int32_t clientBytesOut = 0, clientBytesIn = 0, clientMessages = 0;
        int64_t active = 0, standby = 0;
        int32_t heartbeats = 0;
        int32_t idle = 0, work1 = 0, work2 = 0;
        int32_t cpuCount = 0, queueSum = 0, cpuSum = 0;
    } base;
    int32_t peakBytesPerSecond = 0;
    int32_t peakHeartbeatsPerSecond = 0;
};

// The OPC message type names of the per-type meter list.
const char* MeterOPCTypeName(int32_t type);
