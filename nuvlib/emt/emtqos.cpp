// Quality of service of EMT connections: the parameter blocks, the priority settings (built
// in, or from the registry), marking by IP_TOS, the bandwidth check and the provider path.
// Linux has no GQoS provider, so marking uses IP_TOS and the provider path runs only with
// the providers of tests.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/ems.h"
#include "platform/byteorder.h"
#include "platform/registry.h"

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

PrioritySettings g_settings[3] = {kPriorities[0], kPriorities[1], kPriorities[2]};
std::atomic<QosProvider*> g_provider{nullptr};

// A bits-per-second figure of the traces (bytes x 8), held at 0xFFFFFFFF.
uint32_t Bps(uint32_t bytes) {
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{bytes} * 8, 0xFFFFFFFFu));
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

const PrioritySettings& PrioritySetting(unsigned priority) {
    return g_settings[priority < 3 ? priority : 0];
}

void ResetPrioritySettings() {
    for (int i = 0; i < 3; ++i) g_settings[i] = kPriorities[i];
}

uint32_t RaiseRate(uint32_t rate, uint32_t percent, uint32_t cap) {
    return static_cast<uint32_t>(
        std::min<uint64_t>(uint64_t{rate} + uint64_t{rate} * percent / 100, cap));
}

namespace {
// One registry value of a priority key: its name, where it goes and its range (bandwidths
// are read in bits per second and kept in bytes per second).
struct PriorityValue {
    const char* name;
    uint32_t PrioritySettings::*field;
    uint32_t lo, hi;
    bool bandwidth;
};
constexpr uint32_t kAny = 0xFFFFFFFF;
const PriorityValue kPriorityValues[24] = {
    {"HeartBeatInterval", &PrioritySettings::heartbeatInterval, 1, 65535, false},
    {"HeartBeatCount", &PrioritySettings::heartbeatCount, 5, 10, false},
    {"SendBandwidth", &PrioritySettings::sendBandwidth, 1024, 1073741824, true},
    {"SendLatency", &PrioritySettings::sendLatency, 10, 30000, false},
    {"SendDSCP", &PrioritySettings::sendDscp, 0, 63, false},
    {"Send8021pCoS", &PrioritySettings::sendCos, 0, 5, false},
    {"SendBandwidthExceededThreshold", &PrioritySettings::sendThreshold, 1, 1000, false},
    {"SendBandwidthExceededTimeThreshold", &PrioritySettings::sendExceedTime, 1, 3600, false},
    {"SendBandwidthIncrement", &PrioritySettings::sendIncrement, 1, 100, false},
    {"SendMaxBandwidthIncrements", &PrioritySettings::sendMaxIncrements, 1, 64, false},
    {"RecvBandwidth", &PrioritySettings::recvBandwidth, 1024, 1073741824, true},
    {"RecvLatency", &PrioritySettings::recvLatency, 10, 30000, false},
    {"RecvDSCP", &PrioritySettings::recvDscp, 0, 63, false},
    {"Recv8021pCoS", &PrioritySettings::recvCos, 0, 5, false},
    {"RecvBandwidthExceededThreshold", &PrioritySettings::recvThreshold, 1, 1000, false},
    {"RecvBandwidthExceededTimeThreshold", &PrioritySettings::recvExceedTime, 1, 3600, false},
    {"RecvBandwidthIncrement", &PrioritySettings::recvIncrement, 1, 100, false},
    {"RecvMaxBandwidthIncrements", &PrioritySettings::recvMaxIncrements, 1, 64, false},
    {"PingInterval", &PrioritySettings::pingInterval, 5, 3600, false},
    {"PingHistorySize", &PrioritySettings::pingHistorySize, 10, 3000, false},
    {"ContinueOnQosFailure", &PrioritySettings::continueOnFailure, 0, 1, false},
    {"DisableRSVPSignaling", &PrioritySettings::disableRsvp, 0, 1, false},
    {"BypassPacketScheduler", &PrioritySettings::bypassScheduler, 0, 1, false},
    {"GQOSAPIServiceType", &PrioritySettings::serviceType, 0, kAny, false},
};

uint32_t ReadPriorityKey(plat::RegKey parent, const char* keyName, unsigned priority) {
    plat::RegKeyHolder key;
    uint32_t e = plat::RegOpenKey(parent, keyName, key.out());
    if (e != 0) {
        EMSTraceMessage("EMT  : Failed to open root key for priority: %s.", keyName);
        return e;
    }
    PrioritySettings& s = g_settings[priority];
    for (const PriorityValue& v : kPriorityValues) {
        uint32_t type = 0, value = 0, size = sizeof value;
        bool optional = v.hi == kAny;
        if (plat::RegQueryValue(key.get(), v.name, &type, &value, &size) != 0 ||
            type != plat::REG_DWORD || size != sizeof value) {
            if (optional) continue;
            EMSTraceMessage("EMT  : Failed to read value: %s, for priority: %s.", v.name, keyName);
            return 2;
        }
        if (TraceOn(kTraceDetail))
            EMSTraceMessage("EMT  : Read from registry: %s\\%s = %u", keyName, v.name, value);
        if (value >= v.lo && value <= v.hi) s.*(v.field) = v.bandwidth ? value / 8 : value;
    }
    return 0;
}
}  // namespace

uint32_t ReadPrioritySettings(const char* root) {
    std::string path = std::string(root ? root : "") + "\\EMT\\CurrentVersion";
    plat::RegKeyHolder key;
    uint32_t e = plat::RegOpenKey(plat::RegRoot(), path.c_str(), key.out());
    if (e != 0) return e;
    static const struct {
        const char* name;
        unsigned priority;
    } kKeys[] = {{"HighPriority", 1}, {"MediumPriority", 2}, {"LowPriority", 0}};
    for (const auto& k : kKeys)
        if ((e = ReadPriorityKey(key.get(), k.name, k.priority)) != 0) return e;
    return 0;
}

void SetQosProvider(QosProvider* provider) { g_provider.store(provider); }
QosProvider* GetQosProvider() { return g_provider.load(); }

void EncodeFlowQos(const EMT_FLOW_QOS& f, uint8_t* out) {
    const uint32_t words[15] = {f.flags,        f.tokenRate,   f.tokenBucketSize, f.peakBandwidth,
                                f.latency,      f.delayVariation, f.serviceType,   f.maxSduSize,
                                f.minimumPolicedSize, f.threshold, f.exceedTime, f.increment,
                                f.maxIncrements, f.dscp,       f.cos};
    for (int i = 0; i < 15; ++i) plat::StoreLE32(out + 4 * i, words[i]);
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
    for (int i = 0; i < 15; ++i) *words[i] = plat::LoadLE32(in + 4 * i);
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
    const PrioritySettings& s = PrioritySetting(0);
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
    const PrioritySettings& s = PrioritySetting(q.ucPriority);
    auto build = [&](EMT_FLOW_QOS& f, uint32_t bw, uint32_t lat, uint32_t thr, uint32_t exc,
                     uint32_t inc, uint32_t maxInc, uint32_t dscp, uint32_t cos) {
        f.flags = q.dwFlags;
        f.tokenRate = bw;
        f.tokenBucketSize = 0xFFFFFFFF;
        f.peakBandwidth = RaiseRate(bw, inc, 0xFFFFFFFF);
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
    QosProvider* provider = GetQosProvider();
    if (provider && !(cb->sendFlow.flags & kQosNoProvider) &&
        !(cb->recvFlow.flags & kQosNoProvider)) {
        auto* ctx = new (std::nothrow) TcpQoSContext;
        if (!ctx) return 8;
        ctx->handle = cb->handle;
        ctx->kind = kQosRequestReserve;
        if (TraceOn(kTraceDetail)) {
            EMSTraceMessage("EMT %d: Begin Reserve QoS request...", cb->handle);
            EMSTraceMessage("EMT %d: Send Flow: TokenRate=%u, PeakBandwidth=%u [bps]", cb->handle,
                            Bps(cb->sendFlow.tokenRate), Bps(cb->sendFlow.peakBandwidth));
            EMSTraceMessage("EMT %d: Recv Flow: TokenRate=%u, PeakBandwidth=%u [bps]", cb->handle,
                            Bps(cb->recvFlow.tokenRate), Bps(cb->recvFlow.peakBandwidth));
        }
        cb->AddRef();
        uint32_t e = provider->SetQos(cb->sock, cb->sendFlow, cb->recvFlow, TCPQoSReservCallBack,
                                      ctx);
        if (e != 0) {
            // Issued nothing: complete here, under the lock the caller holds.
            EMSTraceMessage("EMT %d: Set QoS failure, winsock error = %d.", cb->handle,
                            static_cast<int>(e));
            cb->DropRef();
            delete ctx;
            QosCompletion(cb, kQosRequestReserve, e);
            return e;
        }
        return 0;
    }
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

uint32_t QosQuery(EmtControlBlock* cb) {
    QosProvider* provider = GetQosProvider();
    if (!provider) return 0;
    auto* ctx = new (std::nothrow) TcpQoSContext;
    if (!ctx) return 8;
    ctx->handle = cb->handle;
    ctx->kind = kQosRequestQuery;
    if (TraceOn(kTraceDetail)) EMSTraceMessage("EMT %d: Begin QoS Query...", cb->handle);
    cb->AddRef();
    uint32_t e = provider->GetQos(cb->sock, ctx->buffer, sizeof ctx->buffer, TCPQoSQueryCallBack,
                                  ctx);
    if (e != 0) {
        EMSTraceMessage("EMT %d: Get QoS status failure, winsock error = %d.", cb->handle,
                        static_cast<int>(e));
        cb->DropRef();
        delete ctx;
        QosCompletion(cb, kQosRequestQuery, e);
    }
    return e;
}

void QosCompletion(EmtControlBlock* cb, int kind, uint32_t error) {
    if (!cb->connected.load()) return;
    if (error == 0) {
        if (kind == kQosRequestReserve && !cb->qosQueryStarted &&
            !(cb->sendFlow.flags & kQosNoRsvp) && !(cb->recvFlow.flags & kQosNoRsvp)) {
            cb->qosQueryStarted = true;
            (void)QosQuery(cb);
        }
        return;
    }
    if (kind == kQosRequestReserve) {
        EMSTraceMessage("EMT %d: QoS reservation failed: %d", cb->handle, static_cast<int>(error));
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: QoS reservation request error=%d", cb->handle,
                            static_cast<int>(error));
    } else {
        EMSTraceMessage("EMT %d: QoS status query failed: %d", cb->handle, static_cast<int>(error));
        if (TraceOn(kTraceConn))
            EMSTraceMessage("EMT %d: QoS status query error=%d", cb->handle,
                            static_cast<int>(error));
    }
    if (!((cb->sendFlow.flags & kQosContinue) && (cb->recvFlow.flags & kQosContinue)))
        BreakConnection(cb, error);
}

namespace {
void QosCallBack(uint32_t error, void* context, const char* missing, uint32_t missingBit) {
    auto* ctx = static_cast<TcpQoSContext*>(context);
    EmtControlBlock* cb = LockBlock(ctx->handle);
    if (!cb) {
        if (TraceOn(missingBit)) EMSTraceMessage(missing, static_cast<int>(ctx->handle));
        delete ctx;
        return;
    }
    cb->DropRef();
    QosCompletion(cb, ctx->kind, error);
    delete ctx;
    UnlockBlock(cb);
}
}  // namespace

void TCPQoSReservCallBack(uint32_t error, uint32_t, uint32_t, void* context) {
    QosCallBack(error, context, "EMT %d: No EMT block found, for TCPQoSReservCallBack() ",
                kTraceDetail);
}

void TCPQoSQueryCallBack(uint32_t error, uint32_t, uint32_t, void* context) {
    QosCallBack(error, context, "EMT %d: No EMT block found, for TCPQoSQueryCallBack()",
                kTraceConn);
}

void QosBandwidthCheck(EmtControlBlock* cb) {
    EMT_FLOW_QOS& sf = cb->sendFlow;
    EMT_FLOW_QOS& rf = cb->recvFlow;
    if ((sf.flags & kQosOff) || (rf.flags & kQosOff) || sf.tokenRate == 0xFFFFFFFF) return;
    const uint64_t now = plat::FileTimeNow();
    const uint64_t seconds = now > cb->rateStart ? (now - cb->rateStart) / 10000000 : 0;
    if (seconds >= 1) {
        const uint64_t sendRate = cb->stats.rateBytesSent / seconds;
        const uint64_t recvRate = cb->stats.rateBytesRcvd / seconds;
        const uint64_t sendLimit = sf.tokenRate + uint64_t{sf.tokenRate} * sf.threshold / 100;
        const uint64_t recvLimit = rf.tokenRate + uint64_t{rf.tokenRate} * rf.threshold / 100;
        if (sendRate > sendLimit) {
            const uint32_t most = std::max(sf.maxIncrements, rf.maxIncrements);
            if (cb->stats.qosReallocations >= most) {
                if (TraceOn(kTraceConn))
                    EMSTraceMessage(
                        "EMT %d: QoS res. exceeded, will not reallocate, max reallocations "
                        "reached.",
                        cb->handle);
                if (TraceOn(kTraceDetail)) {
                    EMSTraceMessage("EMT %d: Current Send BW=%u [bps]", cb->handle,
                                    Bps(sf.tokenRate));
                    if (rf.tokenRate != 0xFFFFFFFF)
                        EMSTraceMessage("EMT %d: Current Recv BW=%u [bps]", cb->handle,
                                        Bps(rf.tokenRate));
                }
            } else {
                cb->stats.qosReallocations++;
                EMSTraceMessage("EMT %d: QoS res. exceeded, will reallocate.", cb->handle);
                // 0xFFFFFFFF means "not set": a raised rate stops below it.
                const uint32_t newSend = RaiseRate(sf.tokenRate, sf.increment, 0xFFFFFFFE);
                EMSTraceMessage("EMT %d: Current Send BW=%u, new Send BW=%u [bps]", cb->handle,
                                Bps(sf.tokenRate), Bps(newSend));
                uint32_t newRecv = rf.tokenRate;
                if (rf.tokenRate != 0xFFFFFFFF && recvRate > recvLimit) {
                    newRecv = RaiseRate(rf.tokenRate, rf.increment, 0xFFFFFFFE);
                    EMSTraceMessage("EMT %d: Current Recv BW=%u, new Recv BW=%u [bps]", cb->handle,
                                    Bps(rf.tokenRate), Bps(newRecv));
                }
                const EMT_FLOW_QOS oldSend = sf, oldRecv = rf;
                auto peak = [](uint32_t rate) {
                    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{rate} + 1024,
                                                                    0xFFFFFFFFu));
                };
                sf.tokenRate = newSend;
                sf.peakBandwidth = peak(newSend);
                if (rf.tokenRate != 0xFFFFFFFF) {
                    rf.tokenRate = newRecv;
                    rf.peakBandwidth = peak(newRecv);
                }
                uint32_t e = QosReserve(cb, false);
                if (e != 0) {
                    sf.tokenRate = oldSend.tokenRate;
                    sf.peakBandwidth = oldSend.peakBandwidth;
                    rf.tokenRate = oldRecv.tokenRate;
                    rf.peakBandwidth = oldRecv.peakBandwidth;
                    if (!((sf.flags & kQosContinue) && (rf.flags & kQosContinue))) {
                        EMSTraceMessage("EMT %d: Unable to reallocate QoS res., break conection.",
                                        cb->handle);
                        BreakConnection(cb, e);
                        return;
                    }
                    EMSTraceMessage("EMT %d: Unable to reallocate QoS res., ignoring as configured.",
                                    cb->handle);
                }
            }
        }
    }
    cb->rateStart = now;
    cb->stats.rateBytesSent = cb->stats.rateBytesRcvd = 0;
    ScheduleTimer(cb, 3, sf.exceedTime);
}

}  // namespace emt

using namespace emt;

uint32_t EMTInitializeEx(EmtThreadRoutine routine, uint32_t maxThreads,
                         uint32_t concurrentThreads, uint32_t appSupportsPolicyQoS,
                         const char* registryRoot) {
    const bool first = Lib().useCount.load() == 0;
    uint32_t r = EMTInitialize(routine, maxThreads, concurrentThreads, appSupportsPolicyQoS);
    if (r != 0 || !first || !registryRoot || !*registryRoot) return r;
    r = ReadPrioritySettings(registryRoot);
    if (r != 0) {
        EMTCleanup();
        return SetErr(r);
    }
    return 0;
}
