#pragma once
// The server's meters (kept in the Server under "MeterLock"): 60 meters moved with
// Server::UpdateMeter, read by index 0 to 60 with Server::GetMeter, per-type message
// counts, and the half-hour period baselines and peaks.
#include <cstdint>

#include "parlo/common/meterids.h"

// The read indexes of Server::GetMeter: the slots of ServerMeters::value. An update number of
// meter:: (parlo/common/meterids.h) that keeps one value keeps it in the slot of the same
// number; a rule that keeps several (today, the maxima, the minimum) fills the slots named
// here after it.
namespace meterindex {
enum : int {
    ActiveClock = meter::ActiveClock,  // 1 while the active-time clock runs
    ActiveSeconds = 1,                 // seconds of the finished active runs (read: + the running one)
    MetersAge = 2,                     // read only: seconds since the meters were last reset
    Connections = meter::Connections,
    PlainConnections = meter::PlainConnections,
    SecureConnections = meter::SecureConnections,
    ConnectionsToday = 6,
    MaxConnectionsToday = 7,
    MaxConnectionsEver = 8,
    CallsInProgress = meter::CallsInProgress,
    CallsToday = 10,
    MaxCallsToday = 11,
    MaxCallsEver = 12,
    ActiveCalls = meter::ActiveCalls,
    ValidateCallErrors = meter::ValidateCallErrors,
    OPCBytesSent = meter::OPCBytesSent,
    OPCBytesReceived = meter::OPCBytesReceived,
    OPCMessages = meter::OPCMessages,
    ClientBytesSent = meter::ClientBytesSent,
    ClientBytesReceived = meter::ClientBytesReceived,
    ClientMessages = meter::ClientMessages,
    InvalidClientMessages = meter::InvalidClientMessages,
    GlobalTransmitQueue = meter::GlobalTransmitQueue,
    ClientTransmitQueue = meter::ClientTransmitQueue,
    // A response time keeps three slots: minimum, maximum today, maximum ever.
    OpenResponseMin = 25,
    HeartbeatResponseMin = 29,
    OtherResponseMin = 33,
    TransmitDelayMaxToday = 37,
    TransmitDelayMaxEver = 38,
    OPCResponseMin = 40,
    ControlResponseMin = 44,
    AppIdle = meter::AppIdle,
    AppWork = meter::AppWork,
    AppAudit = meter::AppAudit,
    MessageQueueSum = meter::MessageQueue,
    MessageQueueMin = 51,
    MessageProcessingSum = meter::MessageProcessing,
    MessageProcessingMin = 55,
    MessageCount = 58,  // messages measured by meter::MessageProcessing
    StandbyClock = meter::StandbyClock,  // 1 while the standby-time clock runs
    StandbySeconds = 60,  // seconds of the finished standby runs (read: + the running one)
};
// The two slots after a minimum slot.
inline constexpr int kMaxToday = 1;
inline constexpr int kMaxEver = 2;
}  // namespace meterindex

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

// The OPC message type names of the per-type meter list: a constant text ("*INVALID*" outside
// 0 to 123).
const char* MeterOPCTypeName(int32_t type);
