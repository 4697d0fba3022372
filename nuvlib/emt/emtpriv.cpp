// EMT's public calls, the handle table and the life cycle of a connection.
#include "nuvlib/emt/emtpriv.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "nuvlib/emt/imtsock.h"
#include "nuvlib/emt/tcpiocpt.h"
#include "nuvlib/ems.h"
#include "platform/process.h"

namespace emt {

namespace {
struct Bucket {
    std::mutex mu;
    EmtControlBlock* head = nullptr;
};
Bucket g_buckets[16];
LibState g_lib;
}  // namespace

bool TraceOn(uint32_t bit) { return (EMSGetTraceMask() & bit) != 0; }
LibState& Lib() { return g_lib; }
bool Initialized() { return g_lib.useCount.load() > 0; }

namespace {
// EMT's own numbers where a socket call's errno means something else than the platform's
// map says for it: the one place EMT departs from plat::ErrnoToWin32.
struct EmtErrno {
    int e;
    uint32_t code;
};
constexpr EmtErrno kEmtErrnoNumbers[] = {
    {EBADF, 10038},        // WSAENOTSOCK: a closed socket
    {EPIPE, 10054},        // WSAECONNRESET: written after the peer went
    {EINVAL, EMT_WSA_EINVAL},
    {EFAULT, 10014},       // WSAEFAULT
    {EWOULDBLOCK, 10035},  // WSAEWOULDBLOCK
    {EMFILE, 10024},       // WSAEMFILE
};
constexpr uint32_t kUnmappedErrno = 0x20000000;

// Never destroyed: a thread may disconnect while the process runs its exit.
plat::NamedMutex& GlobalMutex() {
    static plat::NamedMutex& m = *new plat::NamedMutex;
    return m;
}
constexpr const char* kGlobalMutexName = "Global\\IMTConnect_DisconnectLock";
}  // namespace

uint32_t ErrnoToEmtError(int e) {
    for (const EmtErrno& n : kEmtErrnoNumbers)
        if (n.e == e) return n.code;
    return plat::KnownErrnoToWin32(e).value_or(kUnmappedErrno | static_cast<uint32_t>(e));
}

bool OpenGlobalMutex() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        if (TraceOn(kTraceDetail)) EMSTraceMessage("EMT Creating Mutex %s", kGlobalMutexName);
        ok = GlobalMutex().Create(kGlobalMutexName);
    });
    return ok;
}

GlobalMutexHolder::GlobalMutexHolder() {
    uint32_t w = GlobalMutex().Lock(plat::INFINITE);
    if (w != plat::WAIT_OBJECT_0 && w != plat::WAIT_ABANDONED)
        EMSFailMessage("CMutexLock::Lock failed.");
}

GlobalMutexHolder::~GlobalMutexHolder() {
    if (!GlobalMutex().Unlock()) EMSFailMessage("CMutexLock::Unlock failed.");
}

uint32_t SetErr(uint32_t code) {
    plat::SetLastError(code);
    return code;
}

EmtControlBlock::EmtControlBlock() = default;
EmtControlBlock::~EmtControlBlock() = default;

uint32_t AcquireSemaphore(EmtControlBlock* cb, plat::Semaphore& s) {
    return plat::WaitAny({&s, &cb->m_evConnBroken}, plat::INFINITE) == 0 ? 0 : EMT_E_PEER_CLOSED;
}

void ReleaseSemaphore(plat::Semaphore& s) { NUV_ASSERT(s.Release()); }

EmtControlBlock* LockBlock(uint32_t handle) {
    Bucket& b = g_buckets[handle % 16];
    b.mu.lock();
    for (EmtControlBlock* cb = b.head; cb; cb = cb->next)
        if (cb->handle == handle) return cb;
    b.mu.unlock();
    return nullptr;
}

void UnlockHandle(uint32_t handle) { g_buckets[handle % 16].mu.unlock(); }
void UnlockBlock(EmtControlBlock* cb) { UnlockHandle(cb->handle); }

void InsertBlock(EmtControlBlock* cb) {
    Bucket& b = g_buckets[cb->handle % 16];
    std::lock_guard<std::mutex> g(b.mu);
    cb->next = b.head;
    b.head = cb;
    cb->inTable = 1;
    OnTableInsert(cb);
}

void RemoveBlock(EmtControlBlock* cb) {
    Bucket& b = g_buckets[cb->handle % 16];
    for (EmtControlBlock** pp = &b.head; *pp; pp = &(*pp)->next) {
        if (*pp == cb) {
            *pp = cb->next;
            cb->next = nullptr;
            cb->inTable = 0;
            OnTableRemove(cb);
            return;
        }
    }
}

EmtControlBlock* NewControlBlock(const EMT_QOS_PARAMS* qos) {
    auto* cb = new (std::nothrow) EmtControlBlock;
    if (!cb) NUV_ALLOC_FAILED(sizeof(EmtControlBlock));
    cb->handle = g_lib.nextHandle.fetch_add(1);
    cb->qos = ResolvePriorityDefaults(qos);
    BuildFlowBlocks(cb);
    for (uint32_t i = 0; i < 3; ++i) {
        cb->timers[i].handle = cb->handle;
        cb->timers[i].id = i + 1;
    }
    cb->rttState = 0x3 | (3u << 2);
    return cb;
}

void FreeControlBlock(EmtControlBlock* cb) {
    if (!cb) return;
    NUV_ASSERT(!cb->IsThreaded());
    if (cb->hbThread.joinable()) cb->hbThread.join();
    if (cb->sock >= 0) ::close(cb->sock);
    if (cb->udp >= 0) ::close(cb->udp);
    if (cb->listenSock >= 0) ::close(cb->listenSock);
    delete cb;  // the IMT sockets go with it
}

uint32_t BreakConnection(EmtControlBlock* cb, uint32_t error) {
    std::lock_guard<std::mutex> g(cb->breakMu);
    if (cb->connected.exchange(0) == 0) return cb->breakError.load();
    cb->breakError = error;
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Breaking connection. (0x%08X)", cb->handle, error);
    if (cb->transport == kTransportTcp)
        TCPCloseTransport(cb);
    else if (cb->transport == kTransportImt)
        IMTBreakSockets(cb);
    cb->m_evConnBroken.Set();
    if (cb->userBreak) {
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Indicate to user connection has been broken.", cb->handle);
        cb->userBreak->Set();
    }
    return error;
}

uint32_t BreakConnectionByHandle(uint32_t handle, uint32_t error) {
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) {
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: BreakConnection could not lock.", handle);
        return EMT_E_DISCONNECTED;
    }
    uint32_t r = BreakConnection(cb, error);
    UnlockBlock(cb);
    return r;
}

void BreakListen(EmtControlBlock* cb, uint32_t error) {
    if (cb->listenBroken.exchange(1) != 0) return;
    cb->breakError = error;
    cb->m_evConnBroken.Set();
    if (cb->listenSock >= 0) {
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Closing listen socket %d in BreakListen.", cb->handle,
                            cb->listenSock);
        ::shutdown(cb->listenSock, SHUT_RDWR);
    }
    IMTBreakSockets(cb);
}

static void DestroyControlBlockBody(EmtControlBlock* cb, uint32_t reason);

void DestroyControlBlock(EmtControlBlock* cb, uint32_t reason) {
    NUV_ASSERT(cb->GetRefCount()==0);
    try {
        DestroyControlBlockBody(cb, reason);
    } catch (...) {
        EMSTraceMessage("Caught Exception while trying to Destroy Control Block");
    }
}

static void DestroyControlBlockBody(EmtControlBlock* cb, uint32_t reason) {
    if (cb->listening) {
        BreakListen(cb, reason);
        if (cb->tcpListenThread.joinable()) cb->tcpListenThread.join();
        if (cb->imtListenThread.joinable()) cb->imtListenThread.join();
        std::deque<EmtControlBlock*> q;
        {
            std::lock_guard<std::mutex> g(cb->lqMu);
            q.swap(cb->listenQueue);
        }
        for (EmtControlBlock* c : q) DestroyControlBlock(c, reason);
    } else {
        BreakConnection(cb, reason);
        if (cb->hbThread.joinable()) cb->hbThread.join();
    }
    FreeControlBlock(cb);
}

void ReleaseRef(uint32_t handle) {
    EmtControlBlock* cb = LockBlock(handle);
    NUV_ASSERT(cb != NULL);
    NUV_ASSERT(cb->m_lRefCount != 0);
    cb->DropRef();
    UnlockBlock(cb);
}

namespace {
// Queues a set-up connection for EMTAccept (15 wait at most), or destroys it.
void QueueOrDestroy(EmtControlBlock* listener, EmtControlBlock* cb, const ListenSide& side) {
    bool full = false;
    uint32_t err = 0;
    {
        std::lock_guard<std::mutex> g(listener->lqMu);
        if (listener->listenQueue.size() >= 15) {
            full = true;
        } else {
            if (side.beforeQueue) err = side.beforeQueue(cb);
            if (err == 0) {
                listener->listenQueue.push_back(cb);
                listener->connQueued.Set();
            }
        }
    }
    if (full) {
        EMSTraceMessage("EMT %d: No room on listen queue for connection %d.", listener->handle,
                        cb->handle);
        DestroyControlBlock(cb, EMT_E_LISTEN_QUEUE_FULL);
    } else if (err != 0) {
        DestroyControlBlock(cb, err);
    }
}
}  // namespace

void RunListenLoop(EmtControlBlock* lb, const ListenSide& side) {
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: %s listen thread starting.", lb->handle, side.name);
    uint32_t err = 0;
    for (;;) {
        EmtControlBlock* cb = nullptr;
        err = side.next(&cb);
        if (err != 0) break;
        if (!cb) continue;
        if (!StartHeartbeatThread(cb)) {
            FreeControlBlock(cb);
            continue;
        }
        if (!WaitForFirstHeartbeat(cb)) {
            DestroyControlBlock(cb, EMT_E_NO_FIRST_HEARTBEAT);
            continue;
        }
        if (side.established) side.established(cb);
        QueueOrDestroy(lb, cb, side);
    }
    (lb->*side.ended).Set();
    BreakListen(lb, err);
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: %s listen thread exiting.", lb->handle, side.name);
}

std::string AddrText(const sockaddr_in& a) {
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&a.sin_addr.s_addr);
    char buf[40];
    std::snprintf(buf, sizeof buf, "[%d.%d.%d.%d]/[%d]", ip[0], ip[1], ip[2], ip[3],
                  ntohs(a.sin_port));
    return buf;
}

bool IsLocalAddress(const sockaddr_in& a) {
    if (a.sin_addr.s_addr == htonl(INADDR_LOOPBACK)) return true;
    if (a.sin_addr.s_addr == g_lib.notLocalForTest.load()) return false;
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in b = a;
    b.sin_port = 0;
    bool local = ::bind(s, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0 || errno == EADDRINUSE;
    if (::close(s) != 0) EMSFailMessage("closesocket failed in IsLocalAddress.");
    return local;
}

}  // namespace emt

using namespace emt;

uint32_t EMTInitialize(EmtThreadRoutine routine, uint32_t maxThreads, uint32_t concurrentThreads,
                       uint32_t appSupportsPolicyQoS) {
    if (g_lib.useCount.fetch_add(1) + 1 > 1) return 0;
    ResetPrioritySettings();
    if (TraceOn(kTraceConn))
        EMSTraceMessage(
            "EMT : No QoS-enable service providers found, will perform manual DSCP packets "
            "marking.");
    uint32_t r = Pool().Start(routine, maxThreads, concurrentThreads);
    if (r != 0) {
        EMSTraceMessage("EMT  : Error initializing I/O completion pool.");
        g_lib.useCount.fetch_sub(1);
        return SetErr(r);
    }
    r = TimerManagerStart();
    if (r == 0) r = MonitorStart();
    if (r != 0) {
        EMSTraceMessage("EMT  : Error initializing timer manager.");
        TimerManagerStop();
        Pool().Stop();
        g_lib.useCount.fetch_sub(1);
        return SetErr(r);
    }
    g_lib.nextHandle = 0;
    g_lib.pid = plat::CurrentProcessId();
    g_lib.nextHbPort = 39500;
    if (!OpenGlobalMutex()) {
        uint32_t e = plat::GetLastError();
        MonitorStop();
        TimerManagerStop();
        Pool().Stop();
        g_lib.useCount.fetch_sub(1);
        return SetErr(e ? e : 5);
    }
    g_lib.policyQos = appSupportsPolicyQoS != 0;
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT App %s eQOS", g_lib.policyQos ? "supports" : "does not support");
    return 0;
}

uint32_t EMTCleanup() {
    int n = g_lib.useCount.load();
    if (n == 0) return SetErr(EMT_E_NOT_INITIALIZED);
    if (g_lib.useCount.fetch_sub(1) - 1 > 0) return 0;
    TimerManagerStop();
    int64_t lastLine = MonotonicMs();
    for (int round = 0;; ++round) {
        int busy = 0;
        for (auto& b : g_buckets) {
            std::vector<EmtControlBlock*> doomed;
            {
                std::lock_guard<std::mutex> g(b.mu);
                for (EmtControlBlock** pp = &b.head; *pp;) {
                    EmtControlBlock* cb = *pp;
                    if (cb->m_lRefCount.load() == 0) {
                        *pp = cb->next;
                        cb->next = nullptr;
                        cb->inTable = 0;
                        doomed.push_back(cb);
                    } else {
                        ++busy;
                        pp = &cb->next;
                    }
                }
            }
            for (EmtControlBlock* cb : doomed) DestroyControlBlock(cb, EMT_E_CLEANUP);
        }
        if (busy == 0) break;
        plat::SleepForMs(100);
        if (MonotonicMs() - lastLine > 2000) {
            EMSTraceMessage("EMT : Cleanup progress: waiting for all connections to disconnect...");
            lastLine = MonotonicMs();
        }
    }
    MonitorStop();
    Pool().Stop();
    return 0;
}

static uint32_t ConnectCommon(const sockaddr_in* local, const sockaddr_in* remote,
                              uint16_t heartbeat, plat::Event* breakEvent, uint32_t timeoutMs,
                              uint32_t* handle, uint32_t flags, const EMT_QOS_PARAMS* qos,
                              bool tcpOnly) {
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    if (!remote || !handle) return SetErr(EMT_WSA_EINVAL);
    if (!ValidateQosParams(qos)) return SetErr(EMT_WSA_EINVAL);
    uint32_t r;
    if (!tcpOnly && !(flags & EMT_FLAG_TCP_ONLY) && IsLocalAddress(*remote))
        r = IMTConnect(local, remote, breakEvent, timeoutMs, handle);
    else
        r = TCPConnect(local, remote, heartbeat, breakEvent, timeoutMs, handle, flags, qos);
    return SetErr(r);
}

uint32_t EMTConnect(const sockaddr_in* local, const sockaddr_in* remote, uint16_t heartbeat,
                    plat::Event* breakEvent, uint32_t timeoutMs, uint32_t* handle, uint32_t flags,
                    const EMT_QOS_PARAMS* qos) {
    return ConnectCommon(local, remote, heartbeat, breakEvent, timeoutMs, handle, flags, qos,
                         false);
}

uint32_t EMTConnectInfinite(const sockaddr_in* local, const sockaddr_in* remote,
                            uint16_t heartbeat, plat::Event* breakEvent, uint32_t* handle,
                            uint32_t flags, const EMT_QOS_PARAMS* qos) {
    return ConnectCommon(local, remote, heartbeat, breakEvent, plat::INFINITE, handle, flags, qos,
                         false);
}

uint32_t EMTConnectTcp(const sockaddr_in* local, const sockaddr_in* remote, uint16_t heartbeat,
                       plat::Event* breakEvent, uint32_t timeoutMs, uint32_t* handle, uint32_t flags,
                       const EMT_QOS_PARAMS* qos) {
    return ConnectCommon(local, remote, heartbeat, breakEvent, timeoutMs, handle, flags, qos,
                         true);
}

// Finishes a disconnect that had to wait for the threads inside EMT to leave.
static void DisconnectCallBack(uint32_t handle, int64_t queuedAt) {
    for (;;) {
        EmtControlBlock* cb = LockBlock(handle);
        if (!cb) {
            if (TraceOn(kTraceDetail))
                EMSTraceMessage("EMT %d: No EMT block found, for DisconnectCallBack() ", handle);
            return;
        }
        if (cb->m_lRefCount.load() != 0) {
            // Reset and dropped to 0 both under the block's lock: the wake-up is not lost.
            std::shared_ptr<plat::Event> refsGone = cb->refsGone;
            refsGone->Reset();
            UnlockBlock(cb);
            refsGone->Wait(plat::INFINITE);
            continue;
        }
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Completed delayed Disconnect, time=%u[ms].", handle,
                            static_cast<unsigned>(MonotonicMs() - queuedAt));
        RemoveBlock(cb);
        UnlockBlock(cb);
        if (cb->listening) {
            // A listener that an accept held: its listen threads and queued
            // connections go with it.
            DestroyControlBlock(cb, EMT_E_DISCONNECTED);
            return;
        }
        if (TraceOn(kTraceConn)) EMSTraceMessage("EMT %d: Finish breaking connection.", handle);
        // Only a break that this disconnect made is still to be told: a link that broke
        // earlier has told its user already, who may have reset the event and reused it
        // for a new link since.
        if (cb->userBreak && cb->userBreakOwed) {
            if (TraceOn(kTraceConn))
                EMSTraceMessage("EMT %d: Indicate to user connection has been broken.", handle);
            cb->userBreak->Set();
        }
        if (cb->hbThread.joinable()) cb->hbThread.join();
        FreeControlBlock(cb);
        g_lib.delayedDisconnects.fetch_add(1);
        return;
    }
}

// The block stays in the table until the threads inside EMT have left it; the callback
// then removes and frees it. Called with the block locked.
static void QueueDisconnect(EmtControlBlock* cb) {
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Queue Delayed Disconnect, ref. count: %d.", cb->handle,
                        cb->GetRefCount());
    try {
        std::thread(DisconnectCallBack, cb->handle, MonotonicMs()).detach();
    } catch (...) {
        EMSTraceMessage("EMT %d: QueueUserWorkItem failed for QueueDisconnect.", cb->handle);
    }
}

uint32_t EMTDisconnect(uint32_t handle) {
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    GlobalMutexHolder global;
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return SetErr(EMT_E_BAD_HANDLE);
    StopMonitor(cb);
    if (cb->m_lRefCount.load() != 0) {
        if (!cb->listening) {
            // Overlapped break: close the transport now, free the block once the
            // threads inside EMT have left.
            std::lock_guard<std::mutex> g(cb->breakMu);
            if (cb->connected.exchange(0) != 0) {
                cb->breakError = EMT_E_DISCONNECTED;
                if (TraceOn(kTraceConn))
                    EMSTraceMessage("EMT %d: Begin overlapped breaking of connection.", handle);
                if (cb->transport == kTransportTcp)
                    TCPCloseTransport(cb);
                else
                    IMTBreakSockets(cb);
                cb->m_evConnBroken.Set();
                cb->userBreakOwed = true;
            }
        } else {
            BreakListen(cb, EMT_E_DISCONNECTED);
        }
        QueueDisconnect(cb);
        UnlockBlock(cb);
    } else {
        RemoveBlock(cb);
        UnlockBlock(cb);
        DestroyControlBlock(cb, EMT_E_DISCONNECTED);
    }
    plat::SetLastError(0);
    return 0;
}

// 0 for a block that can carry data; otherwise what a data call on it reports: a listener
// is not connected, a broken link answers with the error that broke it.
static uint32_t ConnectionState(const EmtControlBlock* cb) {
    if (cb->listening) return EMT_WSA_ENOTCONN;
    return cb->connected.load() ? 0 : cb->breakError.load();
}

uint32_t EMTReceive(uint32_t handle, void* buffer, uint32_t size) {
    if (!buffer) return SetErr(160);
    if (size < 4) return SetErr(EMT_E_BUFFER_TOO_SMALL);
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return SetErr(EMT_E_BAD_HANDLE);
    if (uint32_t e = ConnectionState(cb); e != 0) {
        UnlockBlock(cb);
        return SetErr(e);
    }
    uint32_t r;
    if (cb->transport == kTransportTcp)
        r = TCPReceive(cb, static_cast<uint8_t*>(buffer), size);
    else if (cb->transport == kTransportImt)
        r = IMTReceive(cb, static_cast<uint8_t*>(buffer), size);
    else
        EMSFailMessage("EMT %d: Impossible transport type in EMTReceive.", handle);
    return SetErr(r);
}

static uint32_t SendCommon(uint32_t handle, const void* frame, uint32_t offset, uint32_t length,
                           bool fragment) {
    if (!frame) return SetErr(160);
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return SetErr(EMT_E_BAD_HANDLE);
    if (uint32_t e = ConnectionState(cb); e != 0) {
        UnlockBlock(cb);
        return SetErr(e);
    }
    const uint8_t* f = static_cast<const uint8_t*>(frame);
    uint32_t r;
    if (cb->transport == kTransportTcp) {
        r = fragment ? TCPSendFragment(cb, f, offset, length) : TCPSend(cb, f, length);
    } else if (cb->transport == kTransportImt) {
        if (fragment) {
            // Shared memory moves whole frames only.
            UnlockBlock(cb);
            r = EMT_E_PROTOCOL;
        } else {
            r = IMTSend(cb, f, length);
        }
    } else {
        EMSFailMessage(fragment ? "EMT %d: Invalid transport type in EMTSendFragment."
                                : "EMT %d: Invalid transport type in EMTSend.",
                       handle);
    }
    return SetErr(r);
}

uint32_t EMTSend(uint32_t handle, const void* frame) {
    return SendCommon(handle, frame, 0, 0, false);
}

uint32_t EMTSendBuffer(uint32_t handle, const void* frame, uint32_t length) {
    return SendCommon(handle, frame, 0, length, false);
}

uint32_t EMTSendFragment(uint32_t handle, const void* frame, uint32_t offset, uint32_t length) {
    return SendCommon(handle, frame, offset, length, true);
}

// Checks of the asynchronous calls; on success the block is referenced and unlocked.
static uint32_t AsyncCheck(uint32_t handle, EmtControlBlock** out) {
    if (!Initialized()) return EMT_E_NOT_INITIALIZED;
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return EMT_E_BAD_HANDLE;
    uint32_t r = 0;
    if (cb->listening)
        r = EMT_WSA_ENOTCONN;
    else if (cb->transport != kTransportTcp || !(cb->flags & kCbTcpOnly))
        r = 10045;
    else if (!cb->connected.load())
        r = cb->breakError.load();
    if (r == 0) cb->AddRef();
    UnlockBlock(cb);
    *out = cb;
    return r;
}

// The operation on the referenced block: the transport call (which unlocks), or the break
// error of a connection that broke meanwhile.
template <class Transport>
static uint32_t RunLocked(uint32_t handle, Transport transport) {
    EmtControlBlock* cb = LockBlock(handle);
    NUV_ASSERT(cb != NULL);
    if (!cb->connected.load()) {
        uint32_t e = cb->breakError.load();
        UnlockBlock(cb);
        return e;
    }
    return transport(cb);
}

// The set-up both asynchronous calls share: the checks, a reference, one count of the
// connection's semaphore `gate`, and a thread of its own that runs `transfer` (a read or a
// write may wait without limit) and then hands the result to the routine exactly once.
// transfer(locked block, &bytes) returns the status and unlocks the block.
template <class Transfer>
static uint32_t StartAsync(uint32_t handle, plat::Semaphore EmtControlBlock::*gate,
                           Transfer transfer, EmtCompletionRoutine routine, void* context) {
    EmtControlBlock* cb = nullptr;
    uint32_t r = AsyncCheck(handle, &cb);
    if (r != 0) return SetErr(r);
    // The block lives while the reference is held, and the reference outlives the count.
    plat::Semaphore& sem = cb->*gate;
    if ((r = AcquireSemaphore(cb, sem)) != 0) {
        ReleaseRef(handle);
        return SetErr(r);
    }
    try {
        std::thread([handle, &sem, transfer, routine, context] {
            uint32_t bytes = 0;
            uint32_t e = RunLocked(handle, [&](EmtControlBlock* c) { return transfer(c, &bytes); });
            ReleaseSemaphore(sem);
            ReleaseRef(handle);
            if (routine) routine(e, e == 0 ? bytes : 0, 0, context);
        }).detach();
    } catch (...) {
        ReleaseSemaphore(sem);
        ReleaseRef(handle);
        return SetErr(EMT_E_THREAD);
    }
    return SetErr(0);
}

uint32_t EMTReceiveAsync(uint32_t handle, void* buffer, uint32_t size,
                         EmtCompletionRoutine routine, void* context) {
    if (!buffer) return SetErr(160);
    if (size < 4) return SetErr(EMT_E_BUFFER_TOO_SMALL);
    auto* b = static_cast<uint8_t*>(buffer);
    auto receive = [b, size](EmtControlBlock* c, uint32_t* bytes) {
        uint32_t e = TCPReceive(c, b, size);
        if (e == 0) *bytes = EmtBodyLength(b) + 4u;
        return e;
    };
    return StartAsync(handle, &EmtControlBlock::m_hSocketRecvSemaphore, receive, routine, context);
}

uint32_t EMTSendAsync(uint32_t handle, const void* frame, EmtCompletionRoutine routine,
                      void* context) {
    if (!frame) return SetErr(160);
    auto* f = static_cast<const uint8_t*>(frame);
    auto send = [f](EmtControlBlock* c, uint32_t* bytes) {
        uint32_t length = EmtBodyLength(f) + 4u;
        uint32_t e = TCPSend(c, f, length);
        if (e == 0) *bytes = length;
        return e;
    };
    return StartAsync(handle, &EmtControlBlock::m_hSocketSendSemaphore, send, routine, context);
}

uint32_t EMTGetConnectionError(uint32_t handle) {
    if (!Initialized()) return EMT_E_NOT_INITIALIZED;
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return EMT_E_BAD_HANDLE;
    uint32_t r = ConnectionState(cb);
    UnlockBlock(cb);
    return r;
}

uint32_t EMTListen(const sockaddr_in* local, uint32_t* handle, uint32_t tcpOnly,
                   const EMT_QOS_PARAMS* qos) {
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    if (!local || !handle) return SetErr(EMT_WSA_EINVAL);
    if (!ValidateQosParams(qos)) return SetErr(EMT_WSA_EINVAL);
    EmtControlBlock* cb = NewControlBlock(qos);
    cb->listening = true;
    cb->local = *local;
    if (tcpOnly) cb->flags |= kCbTcpOnly;
    uint32_t r = TCPListen(cb, *local);
    if (r != 0) {
        EMSTraceMessage("EMT %d: TCPListen failed.", cb->handle);
        DestroyControlBlock(cb, r);
        return SetErr(r);
    }
    if (!tcpOnly) {
        r = IMTListen(cb, *local);
        if (r != 0) {
            EMSTraceMessage("EMT %d: IMTListen failed.", cb->handle);
            DestroyControlBlock(cb, r);
            return SetErr(r);
        }
    }
    *handle = cb->handle;
    InsertBlock(cb);
    plat::SetLastError(0);
    return 0;
}

uint32_t EMTAccept(uint32_t listenHandle, plat::Event* breakEvent, sockaddr_in* remote,
                   uint32_t* handle, uint32_t timeoutMs) {
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    EmtControlBlock* lb = LockBlock(listenHandle);
    if (!lb) return SetErr(EMT_E_BAD_HANDLE);
    if (!lb->listening) {
        UnlockBlock(lb);
        return SetErr(EMT_E_NOT_LISTENING);
    }
    lb->AddRef();
    UnlockBlock(lb);
    uint32_t w = plat::WaitAny({&lb->connQueued, &lb->tcpListenEnded, &lb->imtListenEnded}, timeoutMs);
    EmtControlBlock* cb = nullptr;
    uint32_t r = 0;
    if (w == plat::WAIT_TIMEOUT) {
        r = EMT_WSA_ETIMEDOUT;
    } else if (w == 1 || w == 2) {
        EMSTraceMessage(w == 1 ? "EMT %d: Accept: TCP listen thread terminated."
                               : "EMT %d: Accept: IMT listen thread terminated.",
                        listenHandle);
        r = EMT_E_LISTEN_THREAD_ENDED;
    } else {
        std::lock_guard<std::mutex> g(lb->lqMu);
        if (!lb->listenQueue.empty()) {
            cb = lb->listenQueue.front();
            lb->listenQueue.pop_front();
        }
        if (lb->listenQueue.empty()) lb->connQueued.Reset();
    }
    ReleaseRef(listenHandle);
    if (r != 0) return SetErr(r);
    if (!cb) return SetErr(EMT_WSA_ETIMEDOUT);
    if (TraceOn(kTraceConn))
        EMSTraceMessage("EMT %d: Accept: removing connection %d from listen queue.", listenHandle,
                        cb->handle);
    cb->userBreak = breakEvent;
    if (remote) *remote = cb->remote;
    *handle = cb->handle;
    InsertBlock(cb);
    // A connection that broke while it waited on the queue reports it to its new owner.
    if (!cb->connected.load() && breakEvent) breakEvent->Set();
    plat::SetLastError(0);
    return 0;
}

uint32_t EMTResolveAddress(const char* host, void* out, int family) {
    if (!host || !out) return SetErr(EMT_WSA_EINVAL);
    std::string name = host;
    if (name == "localhost" || name == ".") {
        name = plat::ComputerName();
        if (name.empty()) return SetErr(ErrnoToEmtError(errno));
    }
    int af = family == 23 ? AF_INET6 : AF_INET;
    uint32_t err = 0;
    for (int attempt = 0; attempt < 20; ++attempt) {
        addrinfo hints{};
        hints.ai_family = af;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &res);
        if (rc == 0) {
            bool found = false;
            for (addrinfo* a = res; a && !found; a = a->ai_next) {
                if (a->ai_family == AF_INET && af == AF_INET) {
                    std::memcpy(out, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, 4);
                    found = true;
                } else if (a->ai_family == AF_INET6 && af == AF_INET6) {
                    std::memcpy(out, &reinterpret_cast<sockaddr_in6*>(a->ai_addr)->sin6_addr, 16);
                    found = true;
                }
            }
            ::freeaddrinfo(res);
            if (found) {
                plat::SetLastError(0);
                return 0;
            }
            // An answer without an address of the family is a failure, not a success
            // with an unset address.
            EMSTraceMessage("Unknown Error while processing DNS record");
            err = 11004;  // valid name, no data record of the requested type
            break;
        }
        if (rc == EAI_AGAIN) {
            err = 9002;
            if (TraceOn(kTraceConn))
                EMSTraceMessage("Retrying DNSQuery for (%s) due to Error(%d)", name.c_str(),
                                static_cast<int>(err));
            plat::SleepForMs(200);
            continue;
        }
        err = (rc == EAI_NONAME || rc == EAI_NODATA) ? EMT_WSA_HOST_NOT_FOUND
              : rc == EAI_SYSTEM ? ErrnoToEmtError(errno)
                                 : 9003;
        break;
    }
    if (TraceOn(kTraceConn))
        EMSTraceMessage("Failed DNSQuery for (%s) due to Error(%d)", name.c_str(),
                        static_cast<int>(err));
    return SetErr(err);
}

uint32_t EMTAddressFromService(const char* host, const char* service, sockaddr_in* out) {
    if (!host || !service || !out) return SetErr(EMT_WSA_EINVAL);
    in_addr addr{};
    if (::inet_pton(AF_INET, host, &addr) != 1) {
        if (EMTResolveAddress(host, &addr, 2) != 0) return SetErr(plat::GetLastError());
    }
    uint16_t port = 0;
    servent se{};
    servent* sp = nullptr;
    char sbuf[1024];
    if (::getservbyname_r(service, "tcp", &se, sbuf, sizeof sbuf, &sp) == 0 && sp) {
        port = ntohs(static_cast<uint16_t>(sp->s_port));
    } else {
        uint32_t v = 0;
        for (const char* p = service; *p; ++p) {
            if (*p < '0' || *p > '9') return SetErr(EMT_E_BAD_SERVICE);
            v = (v * 10 + static_cast<uint32_t>(*p - '0')) % 65536;
        }
        port = static_cast<uint16_t>(v);
    }
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_addr = addr;
    out->sin_port = htons(port);
    plat::SetLastError(0);
    return 0;
}

uint32_t EMTAddressFromPort(const char* host, uint16_t port, sockaddr_in* out) {
    char text[8];
    std::snprintf(text, sizeof text, "%u", port);
    return EMTAddressFromService(host, text, out);
}

uint32_t EMTGetAddressStrings(uint32_t handle, char* local, uint32_t* localSize, char* remote,
                              uint32_t* remoteSize) {
    if (!localSize || !remoteSize) return SetErr(EMT_WSA_EINVAL);
    if (*localSize < 32) {
        *localSize = 32;
        return SetErr(EMT_WSA_ENOBUFS);
    }
    if (*remoteSize < 32) {
        *remoteSize = 32;
        return SetErr(EMT_WSA_ENOBUFS);
    }
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return SetErr(EMT_E_BAD_HANDLE);
    if (!cb->listening && !cb->connected.load()) {
        uint32_t e = cb->breakError.load();
        UnlockBlock(cb);
        return SetErr(e);
    }
    std::string l, r;
    if (cb->transport == kTransportImt) {
        char b[40];
        std::snprintf(b, sizeof b, "[0x%x]/[%d]", g_lib.pid, ntohs(cb->local.sin_port));
        l = b;
        std::snprintf(b, sizeof b, "[0x%x]/[%d]", 0u, ntohs(cb->remote.sin_port));
        r = b;
    } else {
        l = AddrText(cb->local);
        r = AddrText(cb->remote);
    }
    UnlockBlock(cb);
    std::snprintf(local, *localSize, "%s", l.c_str());
    std::snprintf(remote, *remoteSize, "%s", r.c_str());
    plat::SetLastError(0);
    return 0;
}

uint32_t EMTGetQoS(uint32_t handle, EMT_QOS_PARAMS* out) {
    if (!out) return SetErr(EMT_WSA_EINVAL);
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return SetErr(EMT_E_BAD_HANDLE);
    EMT_QOS_PARAMS q{};
    const EMT_FLOW_QOS& s = cb->sendFlow;
    const EMT_FLOW_QOS& r = cb->recvFlow;
    q.dwFlags = s.flags;
    q.dwSendBandwidth = s.tokenRate;
    q.dwSendLatency = s.latency;
    q.dwSendBWThreashold = s.threshold;
    q.dwSendBWThreasholdExceedTime = s.exceedTime;
    q.dwSendBWIncrement = s.increment;
    q.dwSendMaxBWIncrement = s.maxIncrements;
    q.dwSendDSCP = s.dscp;
    q.dwSend802_1p_CoS = s.cos;
    q.dwRecvBandwidth = r.tokenRate;
    q.dwRecvLatency = r.latency;
    q.dwRecvBWThreashold = r.threshold;
    q.dwRecvBWThreasholdExceedTime = r.exceedTime;
    q.dwRecvBWIncrement = r.increment;
    q.dwRecvMaxBWIncrement = r.maxIncrements;
    q.dwRecvDSCP = r.dscp;
    q.dwRecv802_1p_CoS = r.cos;
    q.dwPingInterval = cb->pingInterval;
    q.dwPingHistorySize = cb->pingHistory;
    q.usHeartbeatInterval = cb->hbInterval;
    q.ucHeartbeatCount = cb->hbCount;
    q.ucPriority = cb->priority;
    UnlockBlock(cb);
    *out = q;
    return 0;
}

uint32_t EMTGetStatistics(uint32_t handle, EMT_STATS* out) {
    if (!out) return SetErr(EMT_WSA_EINVAL);
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return SetErr(EMT_E_BAD_HANDLE);
    *out = Snapshot(cb);
    UnlockBlock(cb);
    return 0;
}

uint32_t EMTListenAndAccept(plat::Event* breakEvent, uint32_t timeoutMs, const sockaddr_in* local,
                            sockaddr_in* remote, uint32_t* handle, uint32_t tcpOnly,
                            const EMT_QOS_PARAMS* qos) {
    uint32_t lh = 0;
    uint32_t r = EMTListen(local, &lh, tcpOnly, qos);
    if (r != 0) return r;
    r = EMTAccept(lh, breakEvent, remote, handle, timeoutMs);
    EMTDisconnect(lh);
    return SetErr(r);
}

// Windows socket-option numbers the callers use.
constexpr int kSolSocket = 65535, kSoSndBuf = 4097, kSoRcvBuf = 4098;

static int LinuxOption(int option) { return option == kSoSndBuf ? SO_SNDBUF : SO_RCVBUF; }

uint32_t EmtGetSockOption(uint32_t handle, int level, int option, void* value, uint32_t* length) {
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return SetErr(EMT_E_BAD_HANDLE);
    uint32_t r = 0;
    if (cb->transport == kTransportImt) {
    } else if (cb->sock < 0) {
        r = EMT_WSA_ENOTCONN;
    } else if (level == 0 && option == 1) {
        if (!value || !length || *length != sizeof(sockaddr_in))
            r = 10014;
        else
            std::memcpy(value, &cb->local, sizeof(sockaddr_in));
    } else if (level == kSolSocket && (option == kSoSndBuf || option == kSoRcvBuf) && value &&
               length && *length >= 4) {
        int v = 0;
        socklen_t l = sizeof v;
        if (::getsockopt(cb->sock, SOL_SOCKET, LinuxOption(option), &v, &l) != 0)
            r = ErrnoToEmtError(errno);
        else {
            std::memcpy(value, &v, 4);
            *length = 4;
        }
    } else {
        r = 10045;
    }
    UnlockBlock(cb);
    return SetErr(r);
}

uint32_t EmtSetSockOption(uint32_t handle, int level, int option, const void* value,
                          uint32_t length) {
    if (!Initialized()) return SetErr(EMT_E_NOT_INITIALIZED);
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return SetErr(EMT_E_BAD_HANDLE);
    uint32_t r = 0;
    if (cb->transport == kTransportImt) {
    } else if (cb->sock < 0) {
        r = EMT_WSA_ENOTCONN;
    } else if (level == kSolSocket && (option == kSoSndBuf || option == kSoRcvBuf) && value &&
               length >= 4) {
        int v;
        std::memcpy(&v, value, 4);
        if (::setsockopt(cb->sock, SOL_SOCKET, LinuxOption(option), &v, sizeof v) != 0)
            r = ErrnoToEmtError(errno);
    } else {
        r = 10045;
    }
    UnlockBlock(cb);
    return SetErr(r);
}
