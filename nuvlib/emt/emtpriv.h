#pragma once
// Internals of EMT shared by its transports: the control block, the handle table and the
// connection life cycle.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "nuvlib/emt/emt.h"
#include "platform/named.h"

namespace emt {

// EMT's number for an errno of a socket or system call: the platform's map
// (plat::ErrnoToWin32) with EMT's own numbers for the few cases its table in emtpriv.cpp
// lists; an errno neither knows is 0x20000000 | errno.
uint32_t ErrnoToEmtError(int e);
inline uint64_t MicrosNow() { return plat::FileTimeNow() / 10; }
inline int64_t MonotonicMs() { return plat::MonotonicNs() / 1000000; }

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
// The settings in use: the built-in ones from EMTInitialize, overridden from the registry
// by EMTInitializeEx. A priority of 3 or more reads as Low.
const PrioritySettings& PrioritySetting(unsigned priority);
void ResetPrioritySettings();
// Reads <root>\EMT\CurrentVersion\{High,Medium,Low}Priority into the settings in use:
// 0, the open error of a key, or 2 for the first value missing from a subkey (the values
// read before it are kept). Out-of-range values are ignored.
[[nodiscard]] uint32_t ReadPrioritySettings(const char* root);
bool ValidateQosParams(const EMT_QOS_PARAMS* p);
EMT_QOS_PARAMS ResolvePriorityDefaults(const EMT_QOS_PARAMS* p);
struct EmtControlBlock;
void BuildFlowBlocks(EmtControlBlock* cb);
// rate + rate * percent / 100 in 64 bits, held at cap.
uint32_t RaiseRate(uint32_t rate, uint32_t percent, uint32_t cap);
// Reserves (through a provider) or marks the socket by IP_TOS; 0 or the error. The block
// is locked by the caller.
uint32_t QosReserve(EmtControlBlock* cb, bool manualMarking);

// A GQoS service provider. Linux has none, so EMT never installs one; tests do. Requests
// complete by routine(error, bytes, 0, context), exactly once, on another thread and never
// before the call that issued them has returned 0; a non-zero return means it never runs.
class QosProvider {
public:
    virtual ~QosProvider() = default;
    virtual uint32_t SetQos(int sock, const EMT_FLOW_QOS& send, const EMT_FLOW_QOS& recv,
                            EmtCompletionRoutine routine, void* context) = 0;
    virtual uint32_t GetQos(int sock, uint8_t* buffer, uint32_t size,
                            EmtCompletionRoutine routine, void* context) = 0;
};
// Installs (null: removes) the provider; the caller keeps ownership and keeps it alive
// while connections use it.
void SetQosProvider(QosProvider* provider);
QosProvider* GetQosProvider();

constexpr int kQosRequestReserve = 1, kQosRequestQuery = 2;
// One outstanding provider request; owned by the request, deleted by its callback.
struct TcpQoSContext {
    uint32_t handle = 0;
    int kind = 0;
    uint8_t buffer[4096]{};
};
uint32_t QosQuery(EmtControlBlock* cb);
// The outcome of a provider request (block locked by the caller).
void QosCompletion(EmtControlBlock* cb, int kind, uint32_t error);
void TCPQoSReservCallBack(uint32_t error, uint32_t bytes, uint32_t reserved, void* context);
void TCPQoSQueryCallBack(uint32_t error, uint32_t bytes, uint32_t reserved, void* context);
// The QoS check timer (id 3): raises the reservation when the rate exceeds it, restarts the
// rate window and schedules itself again. Block locked by the caller.
void QosBandwidthCheck(EmtControlBlock* cb);
// The policy-QoS step after a TCP connection is set up (when the application declared
// policy support).
void ApplyPolicyQos(EmtControlBlock* cb);

class ImtSocket;

struct EmtTimer {
    uint64_t due = 0;
    uint32_t handle = 0;
    uint32_t id = 0;
};

// One connection, listener, or connection being set up. Created by NewControlBlock, owned
// by the handle table once inserted (InsertBlock) and freed by DestroyControlBlock or
// FreeControlBlock. Fields marked "table" are guarded by the lock of the block's bucket
// (LockBlock); "set-up" fields are written only before the block is inserted or queued and
// read-only afterwards; "heartbeat" fields belong to the heartbeat thread.
struct EmtControlBlock {
    EmtControlBlock();
    ~EmtControlBlock();
    EmtControlBlock(const EmtControlBlock&) = delete;
    EmtControlBlock& operator=(const EmtControlBlock&) = delete;

    bool IsThreaded() const { return inTable.load() != 0; }
    int32_t GetRefCount() const { return m_lRefCount.load(); }
    // A thread that leaves the table lock for a blocking call holds a reference meanwhile.
    // Both with the block locked; the last DropRef wakes a delayed disconnect.
    void AddRef() { m_lRefCount.fetch_add(1); }
    void DropRef() {
        if (m_lRefCount.fetch_sub(1) == 1) refsGone->Set();
    }

    std::atomic<int> inTable{0};           // atomic; changed with the table lock held
    bool clientSide = false;               // set-up
    std::atomic<int> connected{0};         // atomic; cleared once, under breakMu
    std::atomic<int32_t> m_lRefCount{0};   // atomic; changed with the table lock held
    // Set when the count drops to 0; shared so that a waiter may outlive the block.
    std::shared_ptr<plat::Event> refsGone = std::make_shared<plat::Event>(true, false);
    uint32_t handle = 0;                   // set-up
    EmtControlBlock* next = nullptr;       // table (the bucket's chain)
    bool listening = false;                // set-up
    sockaddr_in local{};                   // set-up
    plat::Event* userBreak = nullptr;      // set-up; the user's, not owned
    bool userBreakOwed = false;            // breakMu: an overlapped break has yet to tell the user
    plat::Event firstHeartbeat{true, false};
    std::thread hbThread;                  // set-up; joined before the block is freed
    std::atomic<uint32_t> breakError{0};   // atomic; written once, under breakMu
    std::mutex breakMu;                    // serialises breaking the connection
    int transport = 0;                     // set-up
    sockaddr_in remote{};                  // set-up
    plat::Event m_evConnBroken{true, false};

    // Listening handles.
    std::mutex lqMu;                           // guards listenQueue
    std::deque<EmtControlBlock*> listenQueue;  // lqMu; owns the queued blocks
    plat::Event connQueued{true, false};
    std::thread tcpListenThread, imtListenThread;      // set-up; joined by DestroyControlBlock
    plat::Event tcpListenEnded{true, false}, imtListenEnded{true, false};
    std::atomic<int> listenBroken{0};          // atomic: BreakListen runs once
    int listenSock = -1;                       // set-up; closed when the block is freed
    std::unique_ptr<ImtSocket> imtListen;      // set-up

    uint32_t flags = 0;                        // table (set-up bits: kCbTcpOnly, kCbPreQosOnly)
    int sock = -1;                             // set-up; closed when the block is freed
    int udp = -1;                              // set-up
    sockaddr_in hbLocal{}, hbPeer{};           // set-up
    uint16_t hbInterval = EMT_NO_HEARTBEAT;    // set-up
    std::atomic<int32_t> hbCountdown{5};       // atomic: heartbeat thread and TCPReceive
    uint32_t hbSent = 0, hbMissed = 0, hbLate = 0, hbLastSeq = 0;  // heartbeat
    uint8_t pendingHeader[4]{};                // table
    bool monitored = false;                    // table

    // One whole frame at a time on the wire; the timers only try it.
    plat::Semaphore sendGate{1, 1};

    int qosEnabled = 0;                        // set-up
    bool qosQueryStarted = false;              // table
    uint8_t priority = 0;                      // set-up
    EMT_QOS_PARAMS qos{};                      // set-up
    EMT_FLOW_QOS sendFlow, recvFlow;           // set-up
    uint32_t pingInterval = 30, replyDelay = 1, pingHistory = 30;  // set-up
    uint8_t hbCount = 5;                       // set-up

    // Round-trip probing: all table.
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

    uint64_t connectTime = 0;                  // set-up
    EMT_STATS stats;                           // table
    uint64_t rateStart = 0;                    // table

    std::unique_ptr<ImtSocket> imtOwn;         // set-up: this end's receive buffer
    std::unique_ptr<ImtSocket> imtPeer;        // set-up: the peer's buffer we write into
    // Bound the receives (one) and sends (many) in progress on a connection at a time.
    plat::Semaphore m_hSocketSendSemaphore{32768, 32768};
    plat::Semaphore m_hSocketRecvSemaphore{1, 1};
};

struct LibState {
    std::atomic<int> useCount{0};
    std::atomic<uint32_t> nextHandle{0};
    uint32_t pid = 0;
    std::atomic<uint16_t> nextHbPort{39500};
    bool policyQos = false;
    // Test-only: IsLocalAddress answers false for this address (network order; 0: none).
    std::atomic<uint32_t> notLocalForTest{0};
    std::atomic<uint32_t> delayedDisconnects{0};  // completed; tests wait on it
};
LibState& Lib();
bool Initialized();

// Holds "Global\\IMTConnect_DisconnectLock", the node-wide lock of IMT connects and EMT
// disconnects, for its life; a failed lock or release is fatal.
class GlobalMutexHolder {
public:
    GlobalMutexHolder();
    ~GlobalMutexHolder();
    GlobalMutexHolder(const GlobalMutexHolder&) = delete;
    GlobalMutexHolder& operator=(const GlobalMutexHolder&) = delete;
};
// Opens the lock; false with the last error set when it cannot be made.
bool OpenGlobalMutex();

// Handle table: 16 buckets, one lock each. LockBlock returns the block with its bucket
// locked (the caller unlocks it), or null with nothing locked.
EmtControlBlock* LockBlock(uint32_t handle);
void UnlockBlock(EmtControlBlock* cb);
void UnlockHandle(uint32_t handle);
void InsertBlock(EmtControlBlock* cb);
void RemoveBlock(EmtControlBlock* cb);  // bucket must be locked by the caller

// A new block with the next handle, outside the table; the caller owns it until it
// inserts, queues or frees it.
EmtControlBlock* NewControlBlock(const EMT_QOS_PARAMS* qos);
// Frees a block that is not in the table, without breaking it.
void FreeControlBlock(EmtControlBlock* cb);
// Breaks the connection (or listener) with `reason`, waits for its threads, frees it.
void DestroyControlBlock(EmtControlBlock* cb, uint32_t reason);
// Breaks once; returns the error that broke the connection (the first one).
uint32_t BreakConnection(EmtControlBlock* cb, uint32_t error);
uint32_t BreakConnectionByHandle(uint32_t handle, uint32_t error);
void BreakListen(EmtControlBlock* cb, uint32_t error);
// Drops a reference taken under an earlier lock of the block.
void ReleaseRef(uint32_t handle);
// Stores `code` as the last error and returns it.
uint32_t SetErr(uint32_t code);
bool IsLocalAddress(const sockaddr_in& a);
std::string AddrText(const sockaddr_in& a);
// One connection semaphore: takes a count, or gives 0xE103001F once the connection broke.
uint32_t AcquireSemaphore(EmtControlBlock* cb, plat::Semaphore& s);
void ReleaseSemaphore(plat::Semaphore& s);

// What one transport's listen thread does for each connection; the loop around it, the
// first heartbeat and the listen queue are shared (RunListenLoop).
struct ListenSide {
    const char* name;                          // "TCP" or "IMT", as the traces name it
    plat::Event EmtControlBlock::*ended;       // the listener's event for this thread's end
    // Waits for the next connection and sets it up up to its heartbeats. 0 with *cb set
    // (null: nothing came that can be queued; listen on), or the error that ends the thread.
    std::function<uint32_t(EmtControlBlock** cb)> next;
    // Once the first heartbeat came (may be empty).
    std::function<void(EmtControlBlock* cb)> established;
    // Under the listen queue's lock, just before `cb` is queued (may be empty): 0, or the
    // error to destroy it with (traced by the side).
    std::function<uint32_t(EmtControlBlock* cb)> beforeQueue;
};
void RunListenLoop(EmtControlBlock* listener, const ListenSide& side);

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
                    plat::Event* breakEvent, uint32_t timeoutMs, uint32_t* handle, uint32_t flags,
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
uint32_t IMTConnect(const sockaddr_in* local, const sockaddr_in* remote, plat::Event* breakEvent,
                    uint32_t timeoutMs, uint32_t* handle);
uint32_t IMTReceive(EmtControlBlock* cb, uint8_t* buffer, uint32_t size);
uint32_t IMTSend(EmtControlBlock* cb, const uint8_t* frame, uint32_t length);
uint32_t IMTListen(EmtControlBlock* cb, const sockaddr_in& local);
bool IMTStartHeartbeat(EmtControlBlock* cb);
bool IMTWaitFirstHeartbeat(EmtControlBlock* cb);
void IMTBreakSockets(EmtControlBlock* cb);

}  // namespace emt
