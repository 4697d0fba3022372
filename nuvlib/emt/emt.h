#pragma once
// EMT: framed, two-way, connection-oriented links between processes, over TCP or, on
// the same node, over shared memory (IMT).
//
// Every call returns a status: 0 on success, else an EMT (0xE103xxxx), Windows or Winsock
// number, which it also stores as the thread's last error (plat::SetLastError). A handle
// names a connection or a listener; it stays valid, answering with the error that broke
// the connection, until EMTDisconnect. Events passed in stay the caller's and must outlive
// the handle they are given to.
#include <cstdint>
#include <netinet/in.h>

#include "platform/byteorder.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/lasterror.h"

namespace emt {
// EMT's events are the platform's; these names stay for EMT's callers.
using Event = plat::Event;
using plat::WaitAny;
inline constexpr uint32_t kWaitObject0 = plat::WAIT_OBJECT_0;
inline constexpr uint32_t kWaitTimeout = plat::WAIT_TIMEOUT;
inline constexpr uint32_t kInfinite = plat::INFINITE;
// Earlier names of two platform/clock.h calls, kept for callers outside EMT; new code
// calls platform/clock.h itself.
inline void SleepMs(uint32_t ms) { plat::SleepForMs(ms); }
inline int64_t MonoMs() { return plat::MonotonicNs() / 1000000; }
}  // namespace emt

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

// The first call starts the library (worker pool, timer thread); later calls only count.
[[nodiscard]] uint32_t EMTInitialize(EmtThreadRoutine routine, uint32_t maxThreads,
                                     uint32_t concurrentThreads, uint32_t appSupportsPolicyQoS);
// As EMTInitialize; the first call then reads the priority settings from the registry keys
// <registryRoot>\EMT\CurrentVersion\{High,Medium,Low}Priority (null or empty root: none).
// A read failure shuts EMT down again and is returned (2 for a missing value).
[[nodiscard]] uint32_t EMTInitializeEx(EmtThreadRoutine routine, uint32_t maxThreads,
                                       uint32_t concurrentThreads, uint32_t appSupportsPolicyQoS,
                                       const char* registryRoot);
// Drops one use; the last one destroys every connection left (0xE103000A) and stops.
uint32_t EMTCleanup();

// Connects over IMT when `remote` is on this node (and flags bit 0 is clear), else over TCP,
// retrying until timeoutMs (0xFFFFFFFF: for ever) has passed. `heartbeat` is in 100 ms units
// (65535: none). On success writes the new handle to *handle; `breakEvent` (may be null) is
// set once when the connection breaks. 10060 when the time ran out.
[[nodiscard]] uint32_t EMTConnect(const sockaddr_in* local, const sockaddr_in* remote,
                                  uint16_t heartbeat, emt::Event* breakEvent, uint32_t timeoutMs,
                                  uint32_t* handle, uint32_t flags, const EMT_QOS_PARAMS* qos);
[[nodiscard]] uint32_t EMTConnectInfinite(const sockaddr_in* local, const sockaddr_in* remote,
                                          uint16_t heartbeat, emt::Event* breakEvent,
                                          uint32_t* handle, uint32_t flags,
                                          const EMT_QOS_PARAMS* qos);
// As EMTConnect, never over IMT.
[[nodiscard]] uint32_t EMTConnectTcp(const sockaddr_in* local, const sockaddr_in* remote,
                                     uint16_t heartbeat, emt::Event* breakEvent,
                                     uint32_t timeoutMs, uint32_t* handle, uint32_t flags,
                                     const EMT_QOS_PARAMS* qos);
// Breaks the connection (0xE103000C) and removes the handle: at once, or, while another
// thread is inside a call on it, once that thread has left (the handle answers until then).
// 0, or 0xE1030003 for an unknown handle.
uint32_t EMTDisconnect(uint32_t handle);
// Reads one frame (header and body) into `buffer`. 0xE1030006 when it does not fit: the
// frame's 4-byte header is then in the buffer and the next call returns that same frame.
[[nodiscard]] uint32_t EMTReceive(uint32_t handle, void* buffer, uint32_t size);
// Sends one frame of its header's body length + 4 bytes; the frame stays the caller's.
[[nodiscard]] uint32_t EMTSend(uint32_t handle, const void* frame);
// As EMTSend with an explicit total length (0: from the header).
[[nodiscard]] uint32_t EMTSendBuffer(uint32_t handle, const void* frame, uint32_t length);
// Sends bytes [offset, offset + length) of a frame; round-trip probes wait until the
// fragment that reaches the frame's end has gone. TCP only.
[[nodiscard]] uint32_t EMTSendFragment(uint32_t handle, const void* frame, uint32_t offset,
                                       uint32_t length);
// Completion of an asynchronous receive or send: (status, bytes, 0, context).
using EmtCompletionRoutine = void (*)(uint32_t status, uint32_t bytes, uint32_t reserved,
                                      void* context);
// TCP connections made with flag bit 0 only (10045 otherwise). 0 once issued: the routine
// then runs exactly once, on another thread, and the buffer must stay valid and untouched
// by the caller until it has run (EMT writes the frame into it until then; on 0xE1030006
// only the header). Anything but 0 means the routine never runs and the buffer is free at
// once. One receive may be outstanding at a time.
[[nodiscard]] uint32_t EMTReceiveAsync(uint32_t handle, void* buffer, uint32_t size,
                                       EmtCompletionRoutine routine, void* context);
// As EMTReceiveAsync for one frame to send: the frame must stay valid and unchanged until
// the routine has run (or the call returned non-zero).
[[nodiscard]] uint32_t EMTSendAsync(uint32_t handle, const void* frame,
                                    EmtCompletionRoutine routine, void* context);
// 0 while connected, 10057 for a listener, otherwise the error that broke the connection.
// Does not set the last error.
[[nodiscard]] uint32_t EMTGetConnectionError(uint32_t handle);

// Starts listening on `local` over TCP and, unless tcpOnly, over IMT; writes the listening
// handle. Connections queue (15 at most) until EMTAccept takes them.
[[nodiscard]] uint32_t EMTListen(const sockaddr_in* local, uint32_t* handle, uint32_t tcpOnly,
                                 const EMT_QOS_PARAMS* qos);
// Waits up to timeoutMs (0xFFFFFFFF: for ever) for a queued connection and hands it over:
// its handle to *handle, its peer to *remote (may be null). 10060 on time-out, 0xE1030012
// when a listen thread ended.
[[nodiscard]] uint32_t EMTAccept(uint32_t listenHandle, emt::Event* breakEvent,
                                 sockaddr_in* remote, uint32_t* handle,
                                 uint32_t timeoutMs = emt::kInfinite);

// Listens, accepts one connection within timeoutMs and closes the listening handle.
[[nodiscard]] uint32_t EMTListenAndAccept(emt::Event* breakEvent, uint32_t timeoutMs,
                                          const sockaddr_in* local, sockaddr_in* remote,
                                          uint32_t* handle, uint32_t tcpOnly,
                                          const EMT_QOS_PARAMS* qos);
// TCP only: level 0 option 1 reads the local address (16 bytes); SOL_SOCKET with
// SO_SNDBUF or SO_RCVBUF goes to the socket. IMT connections answer 0 and do nothing.
[[nodiscard]] uint32_t EmtGetSockOption(uint32_t handle, int level, int option, void* value,
                                        uint32_t* length);
[[nodiscard]] uint32_t EmtSetSockOption(uint32_t handle, int level, int option,
                                        const void* value, uint32_t length);

// Fills *out (IPv4, port in network order) from a dotted or resolved host and a service
// name or decimal port; 0xE1030008 when the service text is not a number.
[[nodiscard]] uint32_t EMTAddressFromService(const char* host, const char* service,
                                             sockaddr_in* out);
[[nodiscard]] uint32_t EMTAddressFromPort(const char* host, uint16_t port, sockaddr_in* out);
// Resolves `host` ("localhost" and "." mean this computer) into `out`: 4 bytes for family 2,
// 16 for family 23. `out` is written only on success.
[[nodiscard]] uint32_t EMTResolveAddress(const char* host, void* out, int family);
// Writes the address texts ("[a.b.c.d]/[port]", IMT "[0xpid]/[port]") into the two
// buffers; a size below 32 is raised to 32 and gives 10055.
[[nodiscard]] uint32_t EMTGetAddressStrings(uint32_t handle, char* local, uint32_t* localSize,
                                            char* remote, uint32_t* remoteSize);
[[nodiscard]] uint32_t EMTGetQoS(uint32_t handle, EMT_QOS_PARAMS* out);
// A snapshot of the connection's counters into *out (the caller's).
[[nodiscard]] uint32_t EMTGetStatistics(uint32_t handle, EMT_STATS* out);

// Frame header helpers: {u16 body length LE, u8 class, u8 type}.
inline uint16_t EmtBodyLength(const void* frame) {
    return plat::LoadLE16(static_cast<const uint8_t*>(frame));
}
inline void EmtSetHeader(void* frame, uint16_t bodyLength, uint8_t cls, uint8_t type) {
    uint8_t* p = static_cast<uint8_t*>(frame);
    plat::StoreLE16(p, bodyLength);
    p[2] = cls;
    p[3] = type;
}
