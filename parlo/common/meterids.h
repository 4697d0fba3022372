#pragma once
// The server's meters by the number Server::UpdateMeter takes (its read indexes are the
// server's own, parlo/server/meters.h). Every layer moves them through the server port it is
// given.
namespace meter {
enum : int {
    ActiveClock = 0,              // v non-zero starts the active-time clock, 0 stops it
    Connections = 3,              // client connections, += v
    PlainConnections = 4,         // non-secure connections, += v
    SecureConnections = 5,        // secure connections, += v
    CallsInProgress = 9,          // += v
    ActiveCalls = 13,             // += v
    ValidateCallErrors = 14,      // += 1
    OPCBytesSent = 15,            // += v
    OPCBytesReceived = 16,        // += v
    OPCMessages = 17,             // += 1, and the count of OPC message type v
    ClientBytesSent = 18,         // += v
    ClientBytesReceived = 19,     // += v
    ClientMessages = 20,          // += 1, and the count of CTI message type v
    InvalidClientMessages = 21,   // += 1
    GlobalTransmitQueue = 22,     // maximum of v
    ClientTransmitQueue = 23,     // maximum of v
    OpenResponse = 24,            // milliseconds: minimum, maximum today, maximum ever
    HeartbeatResponse = 28,       // likewise
    OtherResponse = 32,           // likewise
    TransmitDelay = 36,           // milliseconds: maximum today, maximum ever
    OPCResponse = 39,             // milliseconds: minimum, maximum today, maximum ever
    ControlResponse = 43,         // likewise
    AppIdle = 47,                 // application thread idle milliseconds, += v
    AppWork = 48,                 // application thread working milliseconds (draining), += v
    AppAudit = 49,                // application thread working milliseconds (call audit), += v
    MessageQueue = 50,            // milliseconds a message waited: sum, minimum, maxima
    MessageProcessing = 54,       // milliseconds a message took: count, sum, minimum, maxima
    StandbyClock = 59,            // v non-zero starts the standby-time clock, 0 stops it
};
}  // namespace meter
