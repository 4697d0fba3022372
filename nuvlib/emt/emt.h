#pragma once
// EMT: framed, two-way, connection-oriented links between processes, over TCP or, on
// the same node, over shared memory (IMT).
#include <cstdint>
#include <netinet/in.h>

#include "nuvlib/emt/emtsys.h"

// Status codes (0xE103xxxx); plain Windows/Winsock numbers pass through as they are.
constexpr uint32_t EMT_E_NOT_INITIALIZED = 0xE1030002;
constexpr uint32_t EMT_E_BAD_HANDLE = 0xE1030003;
constexpr uint32_t EMT_E_NOT_LISTENING = 0xE1030004;
constexpr uint32_t EMT_E_THREAD = 0xE1030005;
constexpr uint32_t EMT_E_BUFFER_TOO_SMALL = 0xE1030006;
constexpr uint32_t EMT_E_BAD_HANDSHAKE = 0xE1030007;
constexpr uint32_t EMT_E_BAD_SERVICE = 0xE1030008;
constexpr uint32_t EMT_E_HANDSHAKE_TIMEOUT = 0xE1030009;
constexpr uint32_t EMT_E_CLEANUP = 0xE103000A;
constexpr uint32_t EMT_E_NO_FIRST_HEARTBEAT = 0xE103000B;
constexpr uint32_t EMT_E_DISCONNECTED = 0xE103000C;
constexpr uint32_t EMT_E_HB_SEND = 0xE103000D;
constexpr uint32_t EMT_E_HB_RECV = 0xE103000E;
constexpr uint32_t EMT_E_HB_LOSS = 0xE103000F;
constexpr uint32_t EMT_E_NO_HB_PORT = 0xE1030010;
constexpr uint32_t EMT_E_LISTEN_QUEUE_FULL = 0xE1030011;
constexpr uint32_t EMT_E_LISTEN_THREAD_ENDED = 0xE1030012;
constexpr uint32_t EMT_E_IMT_PEER_GONE = 0xE1030013;
constexpr uint32_t EMT_E_IMT_PEER_CLOSED = 0xE1030014;
constexpr uint32_t EMT_E_IMT_LOCAL_CLOSED = 0xE1030015;
constexpr uint32_t EMT_E_IMT_SOCKET_CLOSED = 0xE1030016;
constexpr uint32_t EMT_E_IMT_ABANDONED = 0xE1030017;
constexpr uint32_t EMT_E_PROTOCOL = 0xE1030019;
constexpr uint32_t EMT_E_SHORT_SEND = 0xE103001A;
constexpr uint32_t EMT_E_PEER_CLOSED = 0xE103001F;
constexpr uint32_t EMT_E_OVERLAPPED_BREAK = 0xE1030023;

// Windows/Winsock numbers EMT reports directly.
constexpr uint32_t EMT_WSA_EINVAL = 10022;
constexpr uint32_t EMT_WSA_EADDRINUSE = 10048;
constexpr uint32_t EMT_WSA_ENETUNREACH = 10051;
constexpr uint32_t EMT_WSA_ECONNRESET = 10054;
constexpr uint32_t EMT_WSA_ENOBUFS = 10055;
constexpr uint32_t EMT_WSA_ENOTCONN = 10057;
constexpr uint32_t EMT_WSA_ETIMEDOUT = 10060;
constexpr uint32_t EMT_WSA_ECONNREFUSED = 10061;
constexpr uint32_t EMT_WSA_EHOSTUNREACH = 10065;
constexpr uint32_t EMT_WSA_EDISCON = 10101;
constexpr uint32_t EMT_WSA_HOST_NOT_FOUND = 11001;

// Caller flags of EMTConnect.
constexpr uint32_t EMT_FLAG_TCP_ONLY = 1;       // never use IMT
constexpr uint32_t EMT_FLAG_PRE_QOS_ONLY = 2;   // only the pre-QoS handshake

constexpr uint16_t EMT_NO_HEARTBEAT = 65535;
constexpr uint8_t EMT_CLASS_RTT = 24;

struct EMT_QOS_PARAMS {
    uint32_t dwFlags;
    uint32_t dwSendBandwidth, dwSendLatency, dwSendBWThreashold, dwSendBWThreasholdExceedTime,
        dwSendBWIncrement, dwSendMaxBWIncrement, dwSendDSCP, dwSend802_1p_CoS;
    uint32_t dwRecvBandwidth, dwRecvLatency, dwRecvBWThreashold, dwRecvBWThreasholdExceedTime,
        dwRecvBWIncrement, dwRecvMaxBWIncrement, dwRecvDSCP, dwRecv802_1p_CoS;
    uint32_t dwPingInterval;
    uint32_t dwPingHistorySize;
    uint16_t usHeartbeatInterval;
    uint8_t ucHeartbeatCount;
    uint8_t ucPriority;
    uint32_t dwUnused;
    uint32_t dwReserved1, dwReserved2, dwReserved3;
};

struct EMT_STATS {
    uint32_t duration = 0;
    uint64_t bytesSent = 0, packetsSent = 0, bytesRcvd = 0, packetsRcvd = 0;
    uint64_t rateBytesSent = 0, rateBytesRcvd = 0;
    uint32_t localRttMean = 0;
    uint32_t qosReallocations = 0;
    double localRttVariance = 0, localRttStdDev = 0;
    uint32_t remoteRttMean = 0;
    double remoteRttVariance = 0, remoteRttStdDev = 0;
};

// Worker start/end routine of EMTInitialize: routine(1, 0) at start, routine(2, result) at end.
using EmtThreadRoutine = uint32_t (*)(uint32_t phase, uint32_t startResult);

uint32_t EMTInitialize(EmtThreadRoutine routine, uint32_t maxThreads, uint32_t concurrentThreads,
                       uint32_t appSupportsPolicyQoS);
uint32_t EMTCleanup();

// heartbeat is in 100 ms units (65535: none); the break event is signalled once when the
// connection breaks.
uint32_t EMTConnect(const sockaddr_in* local, const sockaddr_in* remote, uint16_t heartbeat,
                    emt::Event* breakEvent, uint32_t timeoutMs, uint32_t* handle, uint32_t flags,
                    const EMT_QOS_PARAMS* qos);
uint32_t EMTConnectInfinite(const sockaddr_in* local, const sockaddr_in* remote,
                            uint16_t heartbeat, emt::Event* breakEvent, uint32_t* handle,
                            uint32_t flags, const EMT_QOS_PARAMS* qos);
uint32_t EMTConnectTcp(const sockaddr_in* local, const sockaddr_in* remote, uint16_t heartbeat,
                       emt::Event* breakEvent, uint32_t timeoutMs, uint32_t* handle,
                       uint32_t flags, const EMT_QOS_PARAMS* qos);
uint32_t EMTDisconnect(uint32_t handle);
uint32_t EMTReceive(uint32_t handle, void* buffer, uint32_t size);
uint32_t EMTSend(uint32_t handle, const void* frame);
uint32_t EMTSendBuffer(uint32_t handle, const void* frame, uint32_t length);
uint32_t EMTSendFragment(uint32_t handle, const void* frame, uint32_t offset, uint32_t length);
// Completion of an asynchronous receive or send: (status, bytes, 0, context).
using EmtCompletionRoutine = void (*)(uint32_t status, uint32_t bytes, uint32_t reserved,
                                      void* context);
// TCP connections made with flag bit 0 only (10045 otherwise). 0 once issued; the routine
// then runs exactly once, on another thread. One receive may be outstanding at a time.
uint32_t EMTReceiveAsync(uint32_t handle, void* buffer, uint32_t size,
                         EmtCompletionRoutine routine, void* context);
uint32_t EMTSendAsync(uint32_t handle, const void* frame, EmtCompletionRoutine routine,
                      void* context);
uint32_t EMTGetConnectionError(uint32_t handle);

uint32_t EMTListen(const sockaddr_in* local, uint32_t* handle, uint32_t tcpOnly,
                   const EMT_QOS_PARAMS* qos);
// Waits up to timeoutMs (0xFFFFFFFF: for ever) for a queued connection.
uint32_t EMTAccept(uint32_t listenHandle, emt::Event* breakEvent, sockaddr_in* remote,
                   uint32_t* handle, uint32_t timeoutMs = emt::kInfinite);

// Listens, accepts one connection within timeoutMs and closes the listening handle.
uint32_t EMTListenAndAccept(emt::Event* breakEvent, uint32_t timeoutMs, const sockaddr_in* local,
                            sockaddr_in* remote, uint32_t* handle, uint32_t tcpOnly,
                            const EMT_QOS_PARAMS* qos);
// TCP only: level 0 option 1 reads the local address (16 bytes); SOL_SOCKET with
// SO_SNDBUF or SO_RCVBUF goes to the socket. IMT connections answer 0 and do nothing.
uint32_t EmtGetSockOption(uint32_t handle, int level, int option, void* value, uint32_t* length);
uint32_t EmtSetSockOption(uint32_t handle, int level, int option, const void* value,
                          uint32_t length);

uint32_t EMTAddressFromService(const char* host, const char* service, sockaddr_in* out);
uint32_t EMTAddressFromPort(const char* host, uint16_t port, sockaddr_in* out);
uint32_t EMTResolveAddress(const char* host, void* out, int family);
uint32_t EMTGetAddressStrings(uint32_t handle, char* local, uint32_t* localSize, char* remote,
                              uint32_t* remoteSize);
uint32_t EMTGetQoS(uint32_t handle, EMT_QOS_PARAMS* out);
uint32_t EMTGetStatistics(uint32_t handle, EMT_STATS* out);

// Frame header helpers: {u16 body length LE, u8 class, u8 type}.
inline uint16_t EmtBodyLength(const void* frame) {
    const uint8_t* p = static_cast<const uint8_t*>(frame);
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void EmtSetHeader(void* frame, uint16_t bodyLength, uint8_t cls, uint8_t type) {
    uint8_t* p = static_cast<uint8_t*>(frame);
    p[0] = static_cast<uint8_t>(bodyLength);
    p[1] = static_cast<uint8_t>(bodyLength >> 8);
    p[2] = cls;
    p[3] = type;
}
