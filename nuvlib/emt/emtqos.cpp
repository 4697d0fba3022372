// Quality-of-service parameter blocks. No GQoS provider exists here: the blocks are built
// and carried in the handshake, and marking would use IP_TOS.
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/ems.h"

namespace emt {

namespace {
const PrioritySettings kPriorities[3] = {
    // Low
    {65535, 5, 4096, 1000, 10, 1, 25, 45, 25, 0, 4096, 1000, 10, 1, 25, 45, 25, 0, 0, 30, 1, 30,
     2, 1, 0},
    // High
    {1, 5, 4096, 100, 26, 3, 25, 20, 25, 4, 4096, 100, 26, 3, 25, 20, 25, 4, 0, 10, 1, 90, 3, 1,
     0},
    // Medium
    {65535, 5, 32768, 25, 18, 2, 25, 30, 25, 6, 4096, 200, 18, 2, 25, 30, 25, 6, 0, 20, 1, 60, 3,
     1, 0},
};

void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
uint32_t Get32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool InRange(uint32_t v, uint32_t lo, uint32_t hi, const char* name) {
    if (v >= lo && v <= hi) return true;
    if (TraceOn(kTraceConn)) EMSTraceMessage("EMT  : Not in valid range %s", name);
    return false;
}
}  // namespace

const PrioritySettings& BuiltInPriority(unsigned priority) {
    return kPriorities[priority < 3 ? priority : 0];
}

void EncodeFlowQos(const EMT_FLOW_QOS& f, uint8_t* out) {
    const uint32_t words[15] = {f.flags,        f.tokenRate,   f.tokenBucketSize, f.peakBandwidth,
                                f.latency,      f.delayVariation, f.serviceType,   f.maxSduSize,
                                f.minimumPolicedSize, f.threshold, f.exceedTime, f.increment,
                                f.maxIncrements, f.dscp,       f.cos};
    for (int i = 0; i < 15; ++i) Put32(out + 4 * i, words[i]);
    out[60] = f.priority;
    out[61] = f.policy;
    std::memset(out + 62, 0, 6);
}

EMT_FLOW_QOS DecodeFlowQos(const uint8_t* in) {
    EMT_FLOW_QOS f;
    uint32_t* words[15] = {&f.flags,        &f.tokenRate,   &f.tokenBucketSize, &f.peakBandwidth,
                           &f.latency,      &f.delayVariation, &f.serviceType,   &f.maxSduSize,
                           &f.minimumPolicedSize, &f.threshold, &f.exceedTime, &f.increment,
                           &f.maxIncrements, &f.dscp,       &f.cos};
    for (int i = 0; i < 15; ++i) *words[i] = Get32(in + 4 * i);
    f.priority = in[60];
    f.policy = in[61];
    return f;
}

bool ValidateQosParams(const EMT_QOS_PARAMS* p) {
    if (!p) return true;
    if (p->ucPriority >= NUM_PRIORITIES) {
        if (TraceOn(kTraceConn)) EMSTraceMessage("EMT   : Ivalid priority=%d", p->ucPriority);
        return false;
    }
    return InRange(p->dwFlags, 0, 15, "dwFlags") &&
           InRange(p->dwSendBandwidth * 8ull > 0xFFFFFFFFull ? 0xFFFFFFFF : p->dwSendBandwidth * 8,
                   1024, 1073741824, "dwSendBandwidth") &&
           InRange(p->dwSendLatency, 10, 30000, "dwSendLatency") &&
           InRange(p->dwSendBWThreashold, 1, 1000, "dwSendBWThreashold") &&
           InRange(p->dwSendBWThreasholdExceedTime, 1, 3600, "dwSendBWThreasholdExceedTime") &&
           InRange(p->dwSendBWIncrement, 1, 100, "dwSendBWIncrement") &&
           InRange(p->dwSendMaxBWIncrement, 1, 64, "dwSendMaxBWIncrement") &&
           InRange(p->dwSendDSCP, 0, 63, "dwSendDSCP") &&
           InRange(p->dwSend802_1p_CoS, 0, 5, "dwSend802_1p_CoS") &&
           InRange(p->dwRecvBandwidth * 8ull > 0xFFFFFFFFull ? 0xFFFFFFFF : p->dwRecvBandwidth * 8,
                   1024, 1073741824, "dwRecvBandwidth") &&
           InRange(p->dwRecvLatency, 10, 30000, "dwRecvLatency") &&
           InRange(p->dwRecvBWThreashold, 1, 1000, "dwRecvBWThreashold") &&
           InRange(p->dwRecvBWThreasholdExceedTime, 1, 3600, "dwRecvBWThreasholdExceedTime") &&
           InRange(p->dwRecvBWIncrement, 1, 100, "dwRecvBWIncrement") &&
           InRange(p->dwRecvMaxBWIncrement, 1, 64, "dwRecvMaxBWIncrement") &&
           InRange(p->dwRecvDSCP, 0, 63, "dwRecvDSCP") &&
           InRange(p->dwRecv802_1p_CoS, 0, 5, "dwRecv802_1p_CoS") &&
           InRange(p->dwPingInterval, 5, 3600, "dwPingInterval") &&
           InRange(p->dwPingHistorySize, 10, 3000, "dwPingHistorySize") &&
           InRange(p->usHeartbeatInterval, 1, 65535, "usHeartbeatInterval") &&
           InRange(p->ucHeartbeatCount, 5, 10, "ucHeartbeatCount") &&
           InRange(p->dwReserved1, 0, 255, "dwReserved1") &&
           InRange(p->dwReserved2, 0, 0, "dwReserved2") &&
           InRange(p->dwReserved3, 0, 0, "dwReserved3");
}

EMT_QOS_PARAMS ResolvePriorityDefaults(const EMT_QOS_PARAMS* p) {
    EMT_QOS_PARAMS q{};
    if (p) {
        q = *p;
        q.dwFlags |= kQosNoRsvp;
        if (q.dwFlags & kQosOff) q.dwFlags |= kQosContinue | kQosNoRsvp;
        return q;
    }
    const PrioritySettings& s = kPriorities[0];
    q.dwFlags = kQosContinue | kQosNoRsvp | kQosOff;
    q.dwSendBandwidth = s.sendBandwidth;
    q.dwSendLatency = s.sendLatency;
    q.dwSendBWThreashold = s.sendThreshold;
    q.dwSendBWThreasholdExceedTime = s.sendExceedTime;
    q.dwSendBWIncrement = s.sendIncrement;
    q.dwSendMaxBWIncrement = s.sendMaxIncrements;
    q.dwSendDSCP = s.sendDscp;
    q.dwSend802_1p_CoS = s.sendCos;
    q.dwRecvBandwidth = s.recvBandwidth;
    q.dwRecvLatency = s.recvLatency;
    q.dwRecvBWThreashold = s.recvThreshold;
    q.dwRecvBWThreasholdExceedTime = s.recvExceedTime;
    q.dwRecvBWIncrement = s.recvIncrement;
    q.dwRecvMaxBWIncrement = s.recvMaxIncrements;
    q.dwRecvDSCP = s.recvDscp;
    q.dwRecv802_1p_CoS = s.recvCos;
    q.dwPingInterval = s.pingInterval;
    q.dwPingHistorySize = s.pingHistorySize;
    q.usHeartbeatInterval = static_cast<uint16_t>(s.heartbeatInterval);
    q.ucHeartbeatCount = static_cast<uint8_t>(s.heartbeatCount);
    q.ucPriority = 0;
    return q;
}

// Fills a new control block's flow blocks and probe settings from its parameters.
void BuildFlowBlocks(EmtControlBlock* cb) {
    const EMT_QOS_PARAMS& q = cb->qos;
    const PrioritySettings& s = BuiltInPriority(q.ucPriority);
    auto build = [&](EMT_FLOW_QOS& f, uint32_t bw, uint32_t lat, uint32_t thr, uint32_t exc,
                     uint32_t inc, uint32_t maxInc, uint32_t dscp, uint32_t cos) {
        f.flags = q.dwFlags;
        f.tokenRate = bw;
        f.tokenBucketSize = 0xFFFFFFFF;
        f.peakBandwidth = bw + bw * inc / 100;
        f.latency = lat;
        f.delayVariation = 0xFFFFFFFF;
        if (q.dwFlags & kQosNoRsvp)
            f.serviceType = s.serviceType | 0x40000000u;
        else if (!(q.dwFlags & kQosOff))
            f.serviceType = s.serviceType;
        else
            f.serviceType = 1;
        f.maxSduSize = 0xFFFFFFFF;
        f.minimumPolicedSize = 10;
        f.threshold = thr;
        f.exceedTime = exc;
        f.increment = inc;
        f.maxIncrements = maxInc;
        f.dscp = dscp;
        f.cos = cos;
        f.priority = q.ucPriority;
        f.policy = static_cast<uint8_t>(q.dwReserved1);
    };
    build(cb->sendFlow, q.dwSendBandwidth, q.dwSendLatency, q.dwSendBWThreashold,
          q.dwSendBWThreasholdExceedTime, q.dwSendBWIncrement, q.dwSendMaxBWIncrement,
          q.dwSendDSCP, q.dwSend802_1p_CoS);
    build(cb->recvFlow, q.dwRecvBandwidth, q.dwRecvLatency, q.dwRecvBWThreashold,
          q.dwRecvBWThreasholdExceedTime, q.dwRecvBWIncrement, q.dwRecvMaxBWIncrement,
          q.dwRecvDSCP, q.dwRecv802_1p_CoS);
    cb->pingInterval =
        (q.dwPingInterval >= 5 && q.dwPingInterval <= 3600) ? q.dwPingInterval : s.pingInterval;
    cb->pingHistory = (q.dwPingHistorySize >= 10 && q.dwPingHistorySize <= 3000)
                          ? q.dwPingHistorySize
                          : s.pingHistorySize;
    cb->replyDelay = s.replyDelay;
    cb->hbInterval = q.usHeartbeatInterval;
    cb->hbCount = q.ucHeartbeatCount;
    cb->priority = q.ucPriority;
}

uint32_t QosReserve(EmtControlBlock* cb, bool manualMarking) {
    if ((cb->sendFlow.flags & kQosOff) || (cb->recvFlow.flags & kQosOff)) return 0;
    if (!manualMarking) return 0;
    int tos = static_cast<int>((cb->sendFlow.dscp % 64) * 4);
    if (::setsockopt(cb->sock, IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0) {
        uint32_t e = ErrnoToEmtError(errno);
        EMSTraceMessage("EMT %d: Error %d to manually set TOS for connection.", cb->handle,
                        static_cast<int>(e));
        return e;
    }
    if (TraceOn(kTraceDetail))
        EMSTraceMessage("EMT %d: Manualy set TOS for socket to %d, from DSCP %d", cb->handle, tos,
                        static_cast<int>(cb->sendFlow.dscp));
    return 0;
}

}  // namespace emt
