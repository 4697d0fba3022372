// The per-process timer thread, round-trip probes and connection statistics.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/emt/tcpiocpt.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"

namespace emt {

namespace {
constexpr uint32_t kNoReplyOwed = 1, kNoReportOwed = 2;

uint32_t Countdown(const EmtControlBlock* cb) { return (cb->rttState >> 2) & 0xF; }
void SetCountdown(EmtControlBlock* cb, uint32_t v) {
    cb->rttState = (cb->rttState & ~(0xFu << 2)) | ((v & 0xF) << 2);
}

struct HeapLess {
    bool operator()(const EmtTimer& a, const EmtTimer& b) const { return a.due > b.due; }
};

struct EmtTimerManager {
    std::mutex mu;
    std::vector<EmtTimer> heap;  // mu; a min-heap on the due time
    plat::Event stop{false, false};
    plat::Event firstScheduled{false, false};  // a timer went into an empty heap
    std::thread thread;
    bool running = false;
};
// Never destroyed: the timer thread may still run when the process exits.
EmtTimerManager& g_tm = *new EmtTimerManager;

bool RequestDue(const EmtControlBlock* cb) {
    return plat::GetTickCount() - cb->lastRttSentTick > cb->pingInterval * 1000u;
}

// Sends a 28-byte probe on the pool without waiting; skipped while a frame is on the wire.
void IssueProbe(EmtControlBlock* cb, uint8_t* buf) {
    if (!cb->sendGate.TryAcquire()) return;
    const int s = cb->sock;
    const uint32_t h = cb->handle;
    cb->AddRef();
    CountSent(cb, 28);
    uint8_t copy[28];
    std::memcpy(copy, buf, 28);
    bool posted = Pool().Post([cb, s, h, copy]() mutable {
        iovec v{copy, 28};
        uint32_t r = TcpSendAll(s, &v, 1);
        ReleaseSemaphore(cb->sendGate);
        EmtControlBlock* b = LockBlock(h);
        NUV_ASSERT(b != NULL);
        b->DropRef();
        if (r) BreakConnection(b, r);
        UnlockBlock(b);
    });
    if (!posted) {
        ReleaseSemaphore(cb->sendGate);
        cb->DropRef();
    }
}

void RttProbeTimer(EmtControlBlock* cb) {
    if (!(cb->flags & kCbFragment) && Countdown(cb) != 0 && RequestDue(cb)) {
        EmtSetHeader(cb->probeBuf, 24, EMT_CLASS_RTT, 1);
        if (FillRttPacket(cb, cb->probeBuf + 4, true)) {
            SetCountdown(cb, Countdown(cb) - 1);
            cb->lastRttSentTick = plat::GetTickCount();
            IssueProbe(cb, cb->probeBuf);
        }
    }
    // Re-armed in every case, so probing resumes once the fragment is out or a
    // packet from the peer puts the countdown back.
    ScheduleTimer(cb, 1, cb->pingInterval);
}

void AckProbeTimer(EmtControlBlock* cb) {
    if (!(cb->flags & kCbFragment) && !(cb->rttState & kNoReplyOwed) &&
        MicrosNow() - cb->lastRequestArrival > cb->replyDelay * 1000000ull) {
        EmtSetHeader(cb->ackBuf, 24, EMT_CLASS_RTT, 1);
        bool withRequest = RequestDue(cb) && Countdown(cb) != 0;
        if (FillRttPacket(cb, cb->ackBuf + 4, withRequest)) {
            if (withRequest) cb->lastRttSentTick = plat::GetTickCount();
            IssueProbe(cb, cb->ackBuf);
        }
    }
    ScheduleTimer(cb, 2, cb->replyDelay);
}

void QosCheckTimer(EmtControlBlock* cb) { QosBandwidthCheck(cb); }

void Dispatch(const EmtTimer& t) {
    EmtControlBlock* cb = LockBlock(t.handle);
    if (!cb) return;
    if (cb->connected.load() && cb->timers[t.id - 1].due == t.due) {
        switch (t.id) {
            case 1: RttProbeTimer(cb); break;
            case 2: AckProbeTimer(cb); break;
            case 3: QosCheckTimer(cb); break;
            default:
                if (TraceOn(kTraceDetail))
                    EMSTraceMessage("EMT %d: Invalid timer id=%d.", t.handle, t.id);
        }
    }
    UnlockBlock(cb);
}

void TimerThread() {
    for (;;) {
        bool idle;
        {
            std::lock_guard<std::mutex> g(g_tm.mu);
            idle = g_tm.heap.empty();
        }
        // Polls once a second while timers wait (so they fire up to a second late); with
        // none, sleeps until one is scheduled.
        uint32_t w = plat::WaitAny({&g_tm.stop, &g_tm.firstScheduled}, idle ? plat::INFINITE : 1000);
        if (w == 0) return;
        if (w == 1) continue;
        for (;;) {
            EmtTimer t;
            {
                std::lock_guard<std::mutex> g(g_tm.mu);
                if (g_tm.heap.empty() || g_tm.heap.front().due > plat::FileTimeNow()) break;
                std::pop_heap(g_tm.heap.begin(), g_tm.heap.end(), HeapLess());
                t = g_tm.heap.back();
                g_tm.heap.pop_back();
            }
            Dispatch(t);
        }
    }
}
}  // namespace

uint32_t TimerManagerStart() {
    if (g_tm.running) return 10;
    g_tm.stop.Reset();
    g_tm.firstScheduled.Reset();
    try {
        g_tm.thread = std::thread(TimerThread);
    } catch (...) {
        return 8;
    }
    g_tm.running = true;
    return 0;
}

void TimerManagerStop() {
    if (!g_tm.running) return;
    g_tm.stop.Set();
    if (g_tm.thread.joinable()) g_tm.thread.join();
    std::lock_guard<std::mutex> g(g_tm.mu);
    g_tm.heap.clear();
    g_tm.running = false;
}

void ScheduleTimer(EmtControlBlock* cb, uint32_t id, uint32_t seconds) {
    if (!cb->qosEnabled || id < 1 || id > 3) return;
    if (cb->transport != kTransportTcp) return;
    EmtTimer& t = cb->timers[id - 1];
    t.due = plat::FileTimeNow() + seconds * 10000000ull;
    std::lock_guard<std::mutex> g(g_tm.mu);
    if (g_tm.heap.empty()) g_tm.firstScheduled.Set();
    g_tm.heap.push_back(t);
    std::push_heap(g_tm.heap.begin(), g_tm.heap.end(), HeapLess());
}

void CancelTimer(EmtControlBlock* cb, uint32_t id) {
    if (!cb->qosEnabled || id < 1 || id > 3 || cb->transport != kTransportTcp) return;
    EmtTimer& t = cb->timers[id - 1];
    std::lock_guard<std::mutex> g(g_tm.mu);
    auto it = std::find_if(g_tm.heap.begin(), g_tm.heap.end(), [&](const EmtTimer& e) {
        return e.handle == t.handle && e.id == t.id && e.due == t.due;
    });
    if (it != g_tm.heap.end()) {
        g_tm.heap.erase(it);
        std::make_heap(g_tm.heap.begin(), g_tm.heap.end(), HeapLess());
    }
    t.due = 0;
}

void StartRttTimers(EmtControlBlock* cb) {
    ScheduleTimer(cb, 1, cb->pingInterval);
    ScheduleTimer(cb, 2, cb->replyDelay);
}

void StopRttTimers(EmtControlBlock* cb) {
    CancelTimer(cb, 1);
    CancelTimer(cb, 2);
}

bool FillRttPacket(EmtControlBlock* cb, uint8_t* body, bool withRequest) {
    std::memset(body, 0, 24);
    if (!withRequest && (cb->rttState & kNoReplyOwed)) return false;
    uint32_t parts = 0;
    uint64_t now = MicrosNow();
    if (!(cb->rttState & kNoReplyOwed)) {
        cb->rttState |= kNoReplyOwed;
        uint64_t hold = now - cb->lastRequestArrival;
        if (hold >= 0xFFFFFFFFull) return false;
        plat::StoreLE32(body + 12, static_cast<uint32_t>(hold));
        std::memcpy(body + 8, cb->lastRequest + 4, 4);
        parts |= 4;
    }
    if (!(cb->rttState & kNoReportOwed)) {
        cb->rttState |= kNoReportOwed;
        plat::StoreLE32(body + 16, cb->lastLocalRtt);
        plat::StoreLE32(body + 20, ++cb->localReportSeq);
        parts |= 1;
    }
    if (withRequest) {
        parts |= 2;
        plat::StoreLE32(body + 4, static_cast<uint32_t>(now));
        cb->lastRttSentTick = plat::GetTickCount();
    }
    plat::StoreLE32(body, parts);
    return true;
}

bool RttPacketDue(EmtControlBlock* cb, uint8_t* packet) {
    if (!cb->qosEnabled) return false;
    bool due = RequestDue(cb);
    if (!due && (cb->rttState & kNoReplyOwed)) return false;
    EmtSetHeader(packet, 24, EMT_CLASS_RTT, 1);
    if (!FillRttPacket(cb, packet + 4, due)) return false;
    cb->lastRttSentTick = plat::GetTickCount();
    return true;
}

static void AddSample(std::list<uint32_t>& l, uint32_t v, uint32_t history) {
    l.push_back(v);
    if (l.size() >= history && !l.empty()) l.pop_front();
}

void ProcessRttPacket(EmtControlBlock* cb, const uint8_t* body) {
    uint64_t now = MicrosNow();
    SetCountdown(cb, 3);
    uint32_t parts = plat::LoadLE32(body);
    if (parts & 4) {
        cb->rttState &= ~kNoReportOwed;
        uint32_t elapsed = static_cast<uint32_t>(now) - plat::LoadLE32(body + 8);
        uint32_t hold = plat::LoadLE32(body + 12);
        uint32_t rtt = hold > elapsed ? 0 : elapsed - hold;
        cb->lastLocalRtt = rtt;
        AddSample(cb->localRtt, rtt, cb->pingHistory);
    }
    if (parts & 2) {
        cb->rttState &= ~kNoReplyOwed;
        std::memcpy(cb->lastRequest, body, 24);
        cb->lastRequestArrival = now;
    }
    if (parts & 1) {
        uint32_t seq = plat::LoadLE32(body + 20);
        if (seq != cb->lastRemoteReportSeq) {
            AddSample(cb->remoteRtt, plat::LoadLE32(body + 16), cb->pingHistory);
            cb->lastRemoteReportSeq = seq;
        }
    }
}

void CountSent(EmtControlBlock* cb, uint64_t bytes) {
    cb->stats.packetsSent++;
    cb->stats.bytesSent += bytes;
    cb->stats.rateBytesSent += bytes;
}

void CountRcvd(EmtControlBlock* cb, uint64_t bytes) {
    cb->stats.packetsRcvd++;
    cb->stats.bytesRcvd += bytes;
    cb->stats.rateBytesRcvd += bytes;
}

void ListStats(const std::list<uint32_t>& l, uint32_t* mean, double* var, double* sd) {
    *mean = 0;
    *var = *sd = 0;
    if (l.empty()) return;
    uint64_t sum = 0, sq = 0;
    for (uint32_t v : l) {
        sum += v;
        sq += static_cast<uint64_t>(v) * v;
    }
    uint64_t n = l.size();
    *mean = static_cast<uint32_t>(sum / n);
    if (n == 1) {
        *var = *sd = static_cast<double>(l.front());
        return;
    }
    int64_t num = static_cast<int64_t>(sq) - static_cast<int64_t>(n * *mean * static_cast<uint64_t>(*mean));
    *var = static_cast<double>(num) / static_cast<double>(n - 1);
    *sd = *var > 0 ? std::sqrt(*var) : 0;
}

EMT_STATS Snapshot(EmtControlBlock* cb) {
    EMT_STATS s = cb->stats;
    uint64_t now = plat::FileTimeNow();
    uint64_t window = (now - cb->rateStart) / 10000000ull;
    if (window >= 1) {
        s.rateBytesSent /= window;
        s.rateBytesRcvd /= window;
    }
    s.duration = cb->connectTime ? static_cast<uint32_t>((now - cb->connectTime) / 10000000ull) : 0;
    ListStats(cb->localRtt, &s.localRttMean, &s.localRttVariance, &s.localRttStdDev);
    ListStats(cb->remoteRtt, &s.remoteRttMean, &s.remoteRttVariance, &s.remoteRttStdDev);
    return s;
}

std::string StatisticsText(EmtControlBlock* cb) {
    EMT_STATS s = Snapshot(cb);
    std::string t = "EMT " + std::to_string(cb->handle) + " Connection Statistics";
    if (!cb->qosEnabled) {
        uint32_t bad = std::min(cb->hbMissed + cb->hbLate, cb->hbSent);
        t += "\n\tHeartbeat total on-time: " + std::to_string(cb->hbSent - bad) +
             ", late: " + std::to_string(cb->hbLate) + ", missed: " + std::to_string(cb->hbMissed);
    }
    t += "\n\tConnection duration: " + std::to_string(s.duration) + " [sec]";
    t += "\n\t" + AddrText(cb->local) + " -> " + AddrText(cb->remote);
    t += "\n\tTotal EMT packets sent: " + std::to_string(s.packetsSent);
    t += "\n\tTotal bytes sent: " + std::to_string(s.bytesSent);
    t += "\n\tTotal EMT packets rcvd: " + std::to_string(s.packetsRcvd);
    t += "\n\tTotal bytes rcvd: " + std::to_string(s.bytesRcvd);
    t += "\n\tBytes sent last sec: " + std::to_string(s.rateBytesSent);
    t += "\n\tBytes rcvd last sec: " + std::to_string(s.rateBytesRcvd);
    t += "\n\tTotal QoS reallocations: " + std::to_string(s.qosReallocations);
    auto rtt = [&](const char* name, uint32_t mean, double var, double sd) {
        char b[160];
        std::snprintf(b, sizeof b, "%s%u[us], variance: %g std. dev: %g", name, mean, var, sd);
        t += b;
        if (mean != 0) {
            std::snprintf(b, sizeof b, ", C.O.V.: %g", sd / mean);
            t += b;
        }
    };
    rtt("\n\tLocal RTT mean: ", s.localRttMean, s.localRttVariance, s.localRttStdDev);
    rtt("\n\tRemote RTT mean: ", s.remoteRttMean, s.remoteRttVariance, s.remoteRttStdDev);
    return t;
}

}  // namespace emt
