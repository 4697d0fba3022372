#pragma once
// Internals of EMT shared by its transports: the control block, the handle table and the
// connection life cycle.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>

#include "nuvlib/emt/emt.h"

namespace emt {

constexpr uint32_t kTraceDetail = 1u << 25;
constexpr uint32_t kTraceConn = 1u << 26;
bool TraceOn(uint32_t bit);

constexpr int kTransportTcp = 1;
constexpr int kTransportImt = 2;
constexpr unsigned NUM_PRIORITIES = 3;  // 0 Low, 1 High, 2 Medium

// Control-block flag bits.
constexpr uint32_t kCbHeaderPending = 1u << 0;
constexpr uint32_t kCbTcpOnly = 1u << 1;
constexpr uint32_t kCbFragment = 1u << 10;
constexpr uint32_t kCbPreQosOnly = 1u << 11;

// One direction's flow block as carried in the QoS-enabled handshake (68 bytes on the wire).
struct EMT_FLOW_QOS {
    uint32_t flags = 0;
    uint32_t tokenRate = 0xFFFFFFFF, tokenBucketSize = 0xFFFFFFFF, peakBandwidth = 0xFFFFFFFF,
             latency = 0xFFFFFFFF, delayVariation = 0xFFFFFFFF, serviceType = 0xFFFFFFFF,
             maxSduSize = 0xFFFFFFFF, minimumPolicedSize = 0xFFFFFFFF;
    uint32_t threshold = 0xFFFFFFFF, exceedTime = 0xFFFFFFFF, increment = 0xFFFFFFFF,
             maxIncrements = 0xFFFFFFFF, dscp = 0xFFFFFFFF, cos = 0xFFFFFFFF;
    uint8_t priority = 0, policy = 0;
};
constexpr uint32_t kFlowQosSize = 68;
constexpr uint32_t kQosContinue = 1, kQosNoRsvp = 2, kQosOff = 4, kQosNoProvider = 8;
void EncodeFlowQos(const EMT_FLOW_QOS& f, uint8_t* out);
EMT_FLOW_QOS DecodeFlowQos(const uint8_t* in);

// The built-in settings of one priority.
struct PrioritySettings {
    uint32_t heartbeatInterval, heartbeatCount, sendBandwidth, sendLatency, sendDscp, sendCos,
        sendThreshold, sendExceedTime, sendIncrement, sendMaxIncrements;
    uint32_t recvBandwidth, recvLatency, recvDscp, recvCos, recvThreshold, recvExceedTime,
        recvIncrement, recvMaxIncrements;
    uint32_t continueOnFailure, pingInterval, replyDelay, pingHistorySize, serviceType,
        disableRsvp, bypassScheduler;
};
const PrioritySettings& BuiltInPriority(unsigned priority);
bool ValidateQosParams(const EMT_QOS_PARAMS* p);
EMT_QOS_PARAMS ResolvePriorityDefaults(const EMT_QOS_PARAMS* p);
struct EmtControlBlock;
void BuildFlowBlocks(EmtControlBlock* cb);
uint32_t QosReserve(EmtControlBlock* cb, bool manualMarking);

class ImtSocket;

struct EmtTimer {
    uint64_t due = 0;
    uint32_t handle = 0;
    uint32_t id = 0;
};

struct EmtControlBlock {
    EmtControlBlock();
    ~EmtControlBlock();

    std::atomic<int> inTable{0};  // in-table flag
    bool IsThreaded() const { return inTable.load() != 0; }
    int32_t GetRefCount() const { return m_lRefCount.load(); }
    bool clientSide = false;
    std::atomic<int> connected{0};
    std::atomic<int32_t> m_lRefCount{0};
    uint32_t handle = 0;
    EmtControlBlock* next = nullptr;
    bool listening = false;
    sockaddr_in local{};
    Event* userBreak = nullptr;
    bool userBreakOwed = false;  // an overlapped break has yet to signal userBreak
    Event firstHeartbeat{true, false};
    std::thread hbThread;
    std::atomic<uint32_t> breakError{0};
    std::mutex breakMu;
    int transport = 0;
    sockaddr_in remote{};
    Event m_evConnBroken{true, false};

    // Listening handles.
    std::mutex lqMu;
    std::deque<EmtControlBlock*> listenQueue;
    Event connQueued{true, false};
    std::thread tcpListenThread, imtListenThread;
    Event tcpListenEnded{true, false}, imtListenEnded{true, false};
    bool tcpListenRuns = false, imtListenRuns = false;
    std::atomic<int> listenBroken{0};
    int listenSock = -1;
    ImtSocket* imtListen = nullptr;

    uint32_t flags = 0;
    int sock = -1;
    int udp = -1;
    sockaddr_in hbLocal{}, hbPeer{};
    uint16_t hbInterval = EMT_NO_HEARTBEAT;
    std::atomic<int32_t> hbCountdown{5};
    uint32_t hbSent = 0, hbMissed = 0, hbLate = 0, hbLastSeq = 0;
    uint8_t pendingHeader[4]{};
    bool monitored = false;

    // One whole frame at a time on the wire; the timers only try it.
    std::binary_semaphore sendGate{1};

    int qosEnabled = 0;
    uint8_t priority = 0;
    EMT_QOS_PARAMS qos{};
    EMT_FLOW_QOS sendFlow, recvFlow;
    uint32_t pingInterval = 30, replyDelay = 1, pingHistory = 30;
    uint8_t hbCount = 5;

    // Round-trip probing.
    uint32_t rttState = 0;
    uint8_t lastRequest[24]{};
    uint64_t lastRequestArrival = 0;
    uint32_t lastLocalRtt = 0;
    uint32_t lastRttSentTick = 0;
    uint32_t lastRemoteReportSeq = 0;
    uint32_t localReportSeq = 0;
    std::list<uint32_t> localRtt, remoteRtt;
    EmtTimer timers[3];
    uint8_t probeBuf[28]{}, ackBuf[28]{};

    uint64_t connectTime = 0;
    EMT_STATS stats;
    uint64_t rateStart = 0;

    ImtSocket* imtOwn = nullptr;   // this end's receive buffer
    ImtSocket* imtPeer = nullptr;  // the peer's buffer we write into
    // Bound the receives (one) and sends (many) in progress on a connection at a time.
    std::counting_semaphore<32768> m_hSocketSendSemaphore{32768};
    std::binary_semaphore m_hSocketRecvSemaphore{1};
};

struct LibState {
    std::atomic<int> useCount{0};
    std::atomic<uint32_t> nextHandle{0};
    uint32_t pid = 0;
    std::atomic<uint16_t> nextHbPort{39500};
    bool policyQos = false;
};
LibState& Lib();
bool Initialized();
NodeMutex& GlobalMutex();

// Handle table: 16 buckets, one lock each. Lookup returns with the bucket locked.
EmtControlBlock* LockBlock(uint32_t handle);
void UnlockBlock(EmtControlBlock* cb);
void UnlockHandle(uint32_t handle);
void InsertBlock(EmtControlBlock* cb);
void RemoveBlock(EmtControlBlock* cb);  // bucket must be locked by the caller

EmtControlBlock* NewControlBlock(const EMT_QOS_PARAMS* qos);
void FreeControlBlock(EmtControlBlock* cb);
void DestroyControlBlock(EmtControlBlock* cb, uint32_t reason);
uint32_t BreakConnection(EmtControlBlock* cb, uint32_t error);
uint32_t BreakConnectionByHandle(uint32_t handle, uint32_t error);
void BreakListen(EmtControlBlock* cb, uint32_t error);
void ReleaseRef(uint32_t handle);
uint32_t SetErr(uint32_t code);
bool IsLocalAddress(const sockaddr_in& a);
std::string AddrText(const sockaddr_in& a);
bool QueueOnListener(EmtControlBlock* listener, EmtControlBlock* cb);

// Heartbeats and monitoring.
bool StartHeartbeatThread(EmtControlBlock* cb);
bool WaitForFirstHeartbeat(EmtControlBlock* cb);
uint32_t AllocateHeartbeatPort(EmtControlBlock* cb);
void StartMonitor(EmtControlBlock* cb);
void StopMonitor(EmtControlBlock* cb);
uint32_t MonitorStart();
void MonitorStop();

// TCP.
uint32_t TCPConnect(const sockaddr_in* local, const sockaddr_in* remote, uint16_t heartbeat,
                    Event* breakEvent, uint32_t timeoutMs, uint32_t* handle, uint32_t flags,
                    const EMT_QOS_PARAMS* qos);
uint32_t TCPReceive(EmtControlBlock* cb, uint8_t* buffer, uint32_t size);
uint32_t TCPSend(EmtControlBlock* cb, const uint8_t* frame, uint32_t length);
uint32_t TCPSendFragment(EmtControlBlock* cb, const uint8_t* frame, uint32_t offset,
                         uint32_t length);
uint32_t TCPListen(EmtControlBlock* cb, const sockaddr_in& local);
uint32_t TCPInitializeSocketOptions(int s);
void TCPCloseTransport(EmtControlBlock* cb);
void OnTableInsert(EmtControlBlock* cb);
void OnTableRemove(EmtControlBlock* cb);

// Timers, probes, statistics.
uint32_t TimerManagerStart();
void TimerManagerStop();
void ScheduleTimer(EmtControlBlock* cb, uint32_t id, uint32_t seconds);
void CancelTimer(EmtControlBlock* cb, uint32_t id);
bool FillRttPacket(EmtControlBlock* cb, uint8_t* body, bool withRequest);
bool RttPacketDue(EmtControlBlock* cb, uint8_t* packet28);
void ProcessRttPacket(EmtControlBlock* cb, const uint8_t* body);
void CountSent(EmtControlBlock* cb, uint64_t bytes);
void CountRcvd(EmtControlBlock* cb, uint64_t bytes);
EMT_STATS Snapshot(EmtControlBlock* cb);
std::string StatisticsText(EmtControlBlock* cb);
void ListStats(const std::list<uint32_t>& l, uint32_t* mean, double* var, double* sd);
void StartRttTimers(EmtControlBlock* cb);
void StopRttTimers(EmtControlBlock* cb);

// IMT.
uint32_t IMTConnect(const sockaddr_in* local, const sockaddr_in* remote, Event* breakEvent,
                    uint32_t timeoutMs, uint32_t* handle);
uint32_t IMTReceive(EmtControlBlock* cb, uint8_t* buffer, uint32_t size);
uint32_t IMTSend(EmtControlBlock* cb, const uint8_t* frame, uint32_t length);
uint32_t IMTListen(EmtControlBlock* cb, const sockaddr_in& local);
// Waits for one of the connection's semaphores, or its break: 0 or 0xE103001F.
template <class Semaphore>
uint32_t AcquireSemaphore(EmtControlBlock* cb, Semaphore& s) {
    if (s.try_acquire()) return 0;
    for (;;) {
        if (s.try_acquire_for(std::chrono::milliseconds(1))) return 0;
        if (cb->m_evConnBroken.IsSet()) return EMT_E_PEER_CLOSED;
    }
}
bool IMTStartHeartbeat(EmtControlBlock* cb);
bool IMTWaitFirstHeartbeat(EmtControlBlock* cb);
void IMTBreakSockets(EmtControlBlock* cb);
void IMTDeleteSockets(EmtControlBlock* cb);

}  // namespace emt
