// Heartbeats of pre-QoS TCP connections and the close monitor of QoS-enabled ones.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace emt {

uint32_t AllocateHeartbeatPort(EmtControlBlock* cb) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = cb->local.sin_addr;
    uint16_t startPort = Lib().nextHbPort.load();
    if (startPort < 39500 || startPort > 39999) startPort = 39500;
    auto tryRange = [&](uint16_t from, uint16_t to) -> int {
        for (uint32_t p = from; p < to; ++p) {
            a.sin_port = htons(static_cast<uint16_t>(p));
            if (::bind(cb->udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                Lib().nextHbPort = static_cast<uint16_t>(p + 1 > 39999 ? 39500 : p + 1);
                return 0;
            }
            if (errno != EADDRINUSE) return static_cast<int>(ErrnoToEmtError(errno));
        }
        return -1;
    };
    int r = tryRange(startPort, 40000);
    if (r == -1 && startPort > 39500) r = tryRange(39500, startPort);
    if (r == -1) return EMT_E_NO_HB_PORT;
    return static_cast<uint32_t>(r);
}

namespace {

bool SendHeartbeat(EmtControlBlock* cb) {
    uint8_t seq[4];
    plat::StoreBE32(seq, ++cb->hbSent);
    return ::sendto(cb->udp, seq, 4, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&cb->hbPeer),
                    sizeof cb->hbPeer) == 4;
}

bool InputWaiting(int s) {
    pollfd p{s, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool RecvHeartbeat(EmtControlBlock* cb) {
    uint8_t seq[4];
    ssize_t r = ::recvfrom(cb->udp, seq, 4, MSG_DONTWAIT, nullptr, nullptr);
    if (r != 4) return false;
    cb->hbLastSeq = plat::LoadBE32(seq);
    return true;
}

void HeartbeatThread(EmtControlBlock* cb) {
    sched_param sp{};
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);  // only where allowed
    const uint32_t h = cb->handle;
    if (TraceOn(kTraceConn)) EMSTraceMessage("EMT %d: TCP heartbeat thread started.", h);
    cb->hbSent = 0;
    cb->hbCountdown = 5;
    uint32_t toNext = 0;
    const uint32_t interval = cb->hbInterval;
    auto end = [&] {
        if (TraceOn(kTraceConn)) EMSTraceMessage("EMT %d: TCP heartbeat thread exiting.", h);
    };
    for (;;) {
        if (toNext == 0) {
            if (!SendHeartbeat(cb)) {
                EMSTraceMessage("EMT %d: Send heartbeat error.", h);
                BreakConnection(cb, EMT_E_HB_SEND);
                return end();
            }
            toNext = interval;
        }
        if (InputWaiting(cb->udp)) break;
        if (cb->m_evConnBroken.Wait(100) == plat::WAIT_OBJECT_0) {
            if (TraceOn(kTraceConn))
                EMSTraceMessage("EMT %d: Connection broken during heartbeat thread 100ms wait.", h);
            return end();
        }
        toNext -= toNext < 100 ? toNext : 100;
    }
    if (!RecvHeartbeat(cb)) {
        EMSTraceMessage("EMT %d: Receive heartbeat error.", h);
        BreakConnection(cb, EMT_E_HB_RECV);
        return end();
    }
    if (TraceOn(kTraceConn)) EMSTraceMessage("EMT %d: First heartbeat received.", h);
    cb->firstHeartbeat.Set();
    if (cb->m_evConnBroken.Wait(toNext) == plat::WAIT_OBJECT_0) {
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: Connection broken during heartbeat thread send delay.", h);
        return end();
    }
    while (cb->connected.load()) {
        if (!SendHeartbeat(cb)) {
            EMSTraceMessage("EMT %d: Send heartbeat error.", h);
            BreakConnection(cb, EMT_E_HB_SEND);
            return end();
        }
        if (InputWaiting(cb->udp)) {
            if (!RecvHeartbeat(cb)) {
                EMSTraceMessage("EMT %d: Receive heartbeat error.", h);
                BreakConnection(cb, EMT_E_HB_RECV);
                return end();
            }
            cb->hbCountdown.exchange(5);
            while (InputWaiting(cb->udp)) {
                if (!RecvHeartbeat(cb)) {
                    BreakConnection(cb, EMT_E_HB_RECV);
                    return end();
                }
                ++cb->hbLate;
            }
        } else {
            if (TraceOn(kTraceDetail))
                EMSTraceMessage("EMT %d: Missing heartbeat, countdown is %d, last received seqno %u.",
                                h, cb->hbCountdown.load(), cb->hbLastSeq);
            ++cb->hbMissed;
            if (cb->hbCountdown.fetch_sub(1) - 1 <= 0) {
                EMSTraceMessage("EMT %d: Heartbeat loss, sent %d missed %d late %d.", h,
                                cb->hbSent, cb->hbMissed, cb->hbLate);
                BreakConnection(cb, EMT_E_HB_LOSS);
                return end();
            }
        }
        if (cb->m_evConnBroken.Wait(interval) == plat::WAIT_OBJECT_0) break;
    }
    end();
}

// One epoll thread stands for the registered close waits of the QoS-enabled links; an
// eventfd in the same set tells it to stop.
int g_epoll = -1;
int g_monitorWake = -1;
std::thread& g_monitor = *new std::thread;  // never destroyed, as above
std::atomic<bool> g_monitorStop{false};
constexpr uint32_t kWakeKey = 0xFFFFFFFF;

void MonitorThread() {
    epoll_event ev[16];
    while (!g_monitorStop.load()) {
        int n = ::epoll_wait(g_epoll, ev, 16, -1);
        for (int i = 0; i < n; ++i) {
            uint32_t h = ev[i].data.u32;
            if (h == kWakeKey) continue;
            EmtControlBlock* cb = LockBlock(h);
            if (!cb) {
                if (TraceOn(kTraceDetail))
                    EMSTraceMessage("EMT %d: No EMT block found, for ConnectionMonitorCallBack() ", h);
                continue;
            }
            if (cb->monitored && cb->connected.load() && cb->sock >= 0) {
                cb->monitored = false;
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(cb->sock, SOL_SOCKET, SO_ERROR, &err, &len);
                uint32_t code = err ? ErrnoToEmtError(err) : EMT_E_PEER_CLOSED;
                EMSTraceMessage("EMT %d: ConnectionStatusChange break connection due to error: 0x%08X / %d",
                                h, code, static_cast<int>(code));
                BreakConnection(cb, code);
            }
            UnlockBlock(cb);
        }
    }
}

}  // namespace

bool StartHeartbeatThread(EmtControlBlock* cb) {
    cb->connectTime = plat::FileTimeNow();
    cb->rateStart = cb->connectTime;
    cb->connected.exchange(1);
    if (cb->transport == kTransportImt) return IMTStartHeartbeat(cb);
    if (cb->transport != kTransportTcp)
        EMSFailMessage("EMT %d: Impossible transport type in StartHeartbeatThread.", cb->handle);
    if (cb->hbInterval == EMT_NO_HEARTBEAT || cb->qosEnabled) {
        if (TraceOn(kTraceDetail))
            EMSTraceMessage("EMT %d: Closing UDP heartbeat socket %d.", cb->handle, cb->udp);
        if (cb->udp >= 0) ::close(cb->udp);
        cb->udp = -1;
        return true;
    }
    try {
        cb->hbThread = std::thread(HeartbeatThread, cb);
    } catch (...) {
        EMSTraceMessage("EMT %d: Heartbeat thread creation failed.", cb->handle);
        cb->connected = 0;
        return false;
    }
    return true;
}

bool WaitForFirstHeartbeat(EmtControlBlock* cb) {
    if (cb->transport == kTransportImt) return IMTWaitFirstHeartbeat(cb);
    if (cb->hbInterval == EMT_NO_HEARTBEAT || cb->qosEnabled) return true;
    uint32_t ms = std::max<uint32_t>(15u * cb->hbInterval, 15000u);
    uint32_t w = plat::WaitAny({&cb->firstHeartbeat, &cb->m_evConnBroken}, ms);
    if (w == 0) return true;
    if (w == 1)
        EMSTraceMessage("EMT %d:  Connection broken while waiting for first heartbeat.", cb->handle);
    else
        EMSTraceMessage("EMT %d: Timed out waiting for first heartbeat.", cb->handle);
    return false;
}

uint32_t MonitorStart() {
    g_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (g_epoll < 0) return ErrnoToEmtError(errno);
    g_monitorWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = kWakeKey;
    if (g_monitorWake < 0 || ::epoll_ctl(g_epoll, EPOLL_CTL_ADD, g_monitorWake, &ev) != 0) {
        uint32_t e = ErrnoToEmtError(errno);
        if (g_monitorWake >= 0) ::close(g_monitorWake);
        ::close(g_epoll);
        g_monitorWake = g_epoll = -1;
        return e;
    }
    g_monitorStop = false;
    g_monitor = std::thread(MonitorThread);
    return 0;
}

void MonitorStop() {
    g_monitorStop = true;
    if (g_monitorWake >= 0) {
        uint64_t one = 1;
        (void)!::write(g_monitorWake, &one, sizeof one);
    }
    if (g_monitor.joinable()) g_monitor.join();
    if (g_epoll >= 0) ::close(g_epoll);
    if (g_monitorWake >= 0) ::close(g_monitorWake);
    g_epoll = g_monitorWake = -1;
}

void StartMonitor(EmtControlBlock* cb) {
    if (g_epoll < 0 || cb->sock < 0 || cb->monitored) return;
    epoll_event ev{};
    ev.events = EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u32 = cb->handle;
    if (::epoll_ctl(g_epoll, EPOLL_CTL_ADD, cb->sock, &ev) != 0) {
        EMSTraceMessage("EMT %d: WSAEventSelect failed.", cb->handle);
        return;
    }
    cb->monitored = true;
}

void StopMonitor(EmtControlBlock* cb) {
    if (!cb->monitored) return;
    cb->monitored = false;
    if (g_epoll >= 0) ::epoll_ctl(g_epoll, EPOLL_CTL_DEL, cb->sock, nullptr);
}

}  // namespace emt
