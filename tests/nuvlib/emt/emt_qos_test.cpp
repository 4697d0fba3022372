// EMT quality of service: priority settings from the registry, the bandwidth check with its
// 64-bit arithmetic, the provider path with a fake provider, and IP_TOS marking of real
// connections to a peer that EMT takes for remote.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <sched.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emsseams.h"
#include "nuvlib/emt/emt.h"
#include "nuvlib/emt/emtpriv.h"
#include "platform/registry.h"
#include "tests/nuvlib/emt/trace_lines.h"
#include "tests/nuvlib/emt/waiting.h"

namespace {

using namespace emt;
using testsupport::Background;
using testsupport::WaitFor;

using testsupport::LinesContaining;
using testsupport::RecordTraces;

void SetDword(plat::RegKey key, const char* name, uint32_t v) {
    ASSERT_EQ(plat::RegSetValue(key, name, plat::REG_DWORD, &v, 4), 0u);
}

EMT_QOS_PARAMS Params(uint32_t flags, uint32_t bandwidth, uint32_t dscp) {
    EMT_QOS_PARAMS q{};
    q.dwFlags = flags;
    q.dwSendBandwidth = q.dwRecvBandwidth = bandwidth;
    q.dwSendLatency = q.dwRecvLatency = 1000;
    q.dwSendBWThreashold = q.dwRecvBWThreashold = 25;
    q.dwSendBWThreasholdExceedTime = q.dwRecvBWThreasholdExceedTime = 45;
    q.dwSendBWIncrement = q.dwRecvBWIncrement = 25;
    q.dwSendMaxBWIncrement = q.dwRecvMaxBWIncrement = 2;
    q.dwSendDSCP = q.dwRecvDSCP = dscp;
    q.dwSend802_1p_CoS = q.dwRecv802_1p_CoS = 1;
    q.dwPingInterval = 30;
    q.dwPingHistorySize = 30;
    q.usHeartbeatInterval = 65535;
    q.ucHeartbeatCount = 5;
    return q;
}

// The 24 values of a full priority key, all in range (bandwidths in bits per second).
void WriteFullPriorityKey(const std::string& path) {
    plat::RegKeyHolder k;
    ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), path.c_str(), k.out()), 0u);
    const std::pair<const char*, uint32_t> values[] = {
        {"HeartBeatInterval", 2000}, {"HeartBeatCount", 6}, {"SendBandwidth", 80000},
        {"SendLatency", 500}, {"SendDSCP", 46}, {"Send8021pCoS", 4},
        {"SendBandwidthExceededThreshold", 30}, {"SendBandwidthExceededTimeThreshold", 12},
        {"SendBandwidthIncrement", 20}, {"SendMaxBandwidthIncrements", 3},
        {"RecvBandwidth", 160000}, {"RecvLatency", 600}, {"RecvDSCP", 34}, {"Recv8021pCoS", 2},
        {"RecvBandwidthExceededThreshold", 40}, {"RecvBandwidthExceededTimeThreshold", 15},
        {"RecvBandwidthIncrement", 50}, {"RecvMaxBandwidthIncrements", 5},
        {"PingInterval", 60}, {"PingHistorySize", 100}, {"ContinueOnQosFailure", 1},
        {"DisableRSVPSignaling", 0}, {"BypassPacketScheduler", 1}, {"GQOSAPIServiceType", 2}};
    for (const auto& v : values) SetDword(k.get(), v.first, v.second);
}

const char* kRoot = "SOFTWARE\\Acme\\Parlo";
std::string PriorityPath(const char* sub) {
    return std::string(kRoot) + "\\EMT\\CurrentVersion\\" + sub;
}

// A HighPriority key without SendLatency: the values before it are taken, then 2.
TEST(EmtQosRegistry, MissingValueFailsWithTwoAfterTakingThoseBefore) {
    RecordTraces(0);
    {
        plat::RegKeyHolder k;
        ASSERT_EQ(plat::RegCreateKey(plat::RegRoot(), PriorityPath("HighPriority").c_str(),
                                     k.out()), 0u);
        SetDword(k.get(), "HeartBeatInterval", 3000);
        SetDword(k.get(), "HeartBeatCount", 7);
        SetDword(k.get(), "SendBandwidth", 65536);
        SetDword(k.get(), "SendDSCP", 20);  // after the gap: never read
    }
    EXPECT_EQ(EMTInitializeEx(nullptr, 0, 0, 0, kRoot), 2u);
    EXPECT_EQ(EMTCleanup(), EMT_E_NOT_INITIALIZED);  // shut down again
    const PrioritySettings& h = PrioritySetting(1);
    EXPECT_EQ(h.heartbeatInterval, 3000u);
    EXPECT_EQ(h.heartbeatCount, 7u);
    EXPECT_EQ(h.sendBandwidth, 8192u);
    EXPECT_EQ(h.sendLatency, 100u);
    EXPECT_EQ(h.sendDscp, 26u);
    EXPECT_EQ(LinesContaining("EMT  : Failed to read value: SendLatency, for priority: HighPriority."), 1u);
    // A root without the keys: the open error.
    EXPECT_EQ(EMTInitializeEx(nullptr, 0, 0, 0, "SOFTWARE\\Nobody"), 2u);
}

// Full keys: in-range values are taken (bandwidths from bits to bytes), out-of-range ones
// ignored; a connection without parameters carries the Low values, one with parameters
// carries them as given.
TEST(EmtQosRegistry, ValuesInRangeReachConnectionsWithoutParameters) {
    WriteFullPriorityKey(PriorityPath("HighPriority"));
    WriteFullPriorityKey(PriorityPath("MediumPriority"));
    WriteFullPriorityKey(PriorityPath("LowPriority"));
    {
        plat::RegKeyHolder k;
        ASSERT_EQ(plat::RegOpenKey(plat::RegRoot(), PriorityPath("LowPriority").c_str(), k.out()), 0u);
        SetDword(k.get(), "SendLatency", 5);       // below 10: ignored
        SetDword(k.get(), "Recv8021pCoS", 6);      // above 5: ignored
        SetDword(k.get(), "SendBandwidth", 800);   // 100 bytes: below 1024 bits, ignored
    }
    RecordTraces(1u << 25);
    ASSERT_EQ(EMTInitializeEx(nullptr, 0, 0, 0, kRoot), 0u);
    EXPECT_EQ(LinesContaining("EMT  : Read from registry: LowPriority\\RecvBandwidthIncrement = 50"), 1u);
    const PrioritySettings& low = PrioritySetting(0);
    EXPECT_EQ(low.recvIncrement, 50u);
    EXPECT_EQ(low.recvExceedTime, 15u);
    EXPECT_EQ(low.sendLatency, 1000u);
    EXPECT_EQ(low.recvCos, 1u);
    EXPECT_EQ(low.sendBandwidth, 4096u);
    EXPECT_EQ(low.recvBandwidth, 20000u);

    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint32_t lh = 0;
    ASSERT_EQ(EMTListen(&any, &lh, 1, nullptr), 0u);
    EmtControlBlock* lb = LockBlock(lh);
    ASSERT_NE(lb, nullptr);
    sockaddr_in to = lb->local;
    UnlockBlock(lb);
    uint32_t server = 0, client = 0, given = 0;
    Background acc([&] { return EMTAccept(lh, nullptr, nullptr, &server, 20000); });
    ASSERT_EQ(EMTConnectTcp(nullptr, &to, 65535, nullptr, 20000, &client, 0, nullptr), 0u);
    ASSERT_EQ(acc.Finished(), 0u);
    EMT_QOS_PARAMS got{};
    ASSERT_EQ(EMTGetQoS(client, &got), 0u);
    EXPECT_EQ(got.dwFlags & 7u, 7u);
    EXPECT_EQ(got.dwSendBandwidth, 4096u);
    EXPECT_EQ(got.dwRecvBandwidth, 20000u);
    EXPECT_EQ(got.dwSendDSCP, 46u);
    EXPECT_EQ(got.dwRecvBWIncrement, 50u);
    EXPECT_EQ(got.dwSendBWThreasholdExceedTime, 12u);
    EXPECT_EQ(got.dwPingInterval, 60u);
    EXPECT_EQ(got.ucHeartbeatCount, 6u);  // the interval is the caller's (65535)

    Background acc2([&] { return EMTAccept(lh, nullptr, nullptr, &server, 20000); });
    EMT_QOS_PARAMS q = Params(kQosOff, 8192, 12);
    ASSERT_EQ(EMTConnectTcp(nullptr, &to, 65535, nullptr, 20000, &given, 0, &q), 0u);
    ASSERT_EQ(acc2.Finished(), 0u);
    ASSERT_EQ(EMTGetQoS(given, &got), 0u);
    EXPECT_EQ(got.dwSendBandwidth, 8192u);
    EXPECT_EQ(got.dwSendDSCP, 12u);
    EXPECT_EQ(got.dwSendBWIncrement, 25u);
    EXPECT_EQ(EMTCleanup(), 0u);
}

// A provider of tests: answers each request with a scripted result, or holds it for the
// test to complete.
class FakeProvider : public QosProvider {
public:
    uint32_t setResult = 0;
    int sets = 0, gets = 0;
    EMT_FLOW_QOS lastSend, lastRecv;
    EmtCompletionRoutine held = nullptr;
    void* heldContext = nullptr;
    uint32_t SetQos(int, const EMT_FLOW_QOS& s, const EMT_FLOW_QOS& r, EmtCompletionRoutine routine,
                    void* context) override {
        ++sets;
        lastSend = s;
        lastRecv = r;
        if (setResult) return setResult;
        held = routine;
        heldContext = context;
        return 0;
    }
    uint32_t GetQos(int, uint8_t*, uint32_t, EmtCompletionRoutine routine, void* context) override {
        ++gets;
        held = routine;
        heldContext = context;
        return 0;
    }
    void Complete(uint32_t error) {
        auto r = held;
        held = nullptr;
        r(error, 0, 0, heldContext);
    }
};

class EmtQosCheck : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 0), 0u);
        RecordTraces((1u << 25) | (1u << 26));
    }
    void TearDown() override {
        SetQosProvider(nullptr);
        for (EmtControlBlock* cb : blocks_) FreeControlBlock(cb);
        EMTCleanup();
    }
    // A connected block outside the table (its timer is not scheduled: qosEnabled 0).
    EmtControlBlock* Block(const EMT_QOS_PARAMS& q) {
        EmtControlBlock* cb = NewControlBlock(&q);
        cb->connected = 1;
        blocks_.push_back(cb);
        return cb;
    }
    // The rate window: `bytes` a second sent for two seconds.
    static void Window(EmtControlBlock* cb, uint64_t sendPerSecond, uint64_t recvPerSecond) {
        cb->rateStart = plat::FileTimeNow() - 2 * 10000000ull;
        cb->stats.rateBytesSent = 2 * sendPerSecond;
        cb->stats.rateBytesRcvd = 2 * recvPerSecond;
    }
    std::vector<EmtControlBlock*> blocks_;
};

// 40 % above the rate against a 25 % threshold: one reallocation per check, 25 % up with
// the peak at rate + 1024, until the larger maximum is reached; then only the traces.
TEST_F(EmtQosCheck, ExceededRateRaisesTheReservationUpToTheMaximum) {
    FakeProvider p;
    SetQosProvider(&p);
    EmtControlBlock* cb = Block(Params(kQosContinue, 10000, 46));
    Window(cb, 14000, 0);
    QosBandwidthCheck(cb);
    EXPECT_EQ(cb->stats.qosReallocations, 1u);
    EXPECT_EQ(cb->sendFlow.tokenRate, 12500u);
    EXPECT_EQ(cb->sendFlow.peakBandwidth, 13524u);
    EXPECT_EQ(cb->recvFlow.tokenRate, 10000u);  // its rate stayed under its limit
    EXPECT_EQ(p.sets, 1);
    EXPECT_EQ(p.lastSend.tokenRate, 12500u);
    EXPECT_EQ(cb->stats.rateBytesSent, 0u);  // window restarted
    p.Complete(0);                           // block not in the table: traced, freed
    EXPECT_EQ(LinesContaining("No EMT block found, for TCPQoSReservCallBack()"), 1u);
    Window(cb, 20000, 20000);
    QosBandwidthCheck(cb);
    EXPECT_EQ(cb->stats.qosReallocations, 2u);
    EXPECT_EQ(cb->sendFlow.tokenRate, 15625u);
    EXPECT_EQ(cb->recvFlow.tokenRate, 12500u);
    EXPECT_EQ(cb->recvFlow.peakBandwidth, 13524u);
    p.Complete(0);
    Window(cb, 40000, 0);
    QosBandwidthCheck(cb);
    EXPECT_EQ(cb->stats.qosReallocations, 2u);
    EXPECT_EQ(cb->sendFlow.tokenRate, 15625u);
    EXPECT_EQ(p.sets, 2);
    EXPECT_EQ(LinesContaining("QoS res. exceeded, will not reallocate, max reallocations reached."), 1u);
    EXPECT_EQ(LinesContaining("Current Send BW=125000 [bps]"), 1u);
    EXPECT_EQ(LinesContaining("QoS res. exceeded, will reallocate."), 2u);
    EXPECT_EQ(LinesContaining("Current Send BW=80000, new Send BW=100000 [bps]"), 1u);
}

// Large valid bandwidths: the raised rate stops at 0xFFFFFFFE (0xFFFFFFFF means unset and
// would end the checks), the peak and the bit rates of the traces at 0xFFFFFFFF.
TEST_F(EmtQosCheck, LargeRatesSaturateInsteadOfWrapping) {
    EmtControlBlock* cb = Block(Params(kQosContinue, 134217728, 46));  // 2^30 bits a second
    cb->sendFlow.tokenRate = cb->recvFlow.tokenRate = 0xC0000000;   // raised before
    cb->sendFlow.increment = 100;
    EXPECT_EQ(cb->sendFlow.peakBandwidth, 167772160u);  // 134217728 * 1.25, no wrap
    EXPECT_EQ(RaiseRate(0xC0000000, 100, 0xFFFFFFFF), 0xFFFFFFFFu);
    cb->rateStart = plat::FileTimeNow() - 10000000ull;
    cb->stats.rateBytesSent = 0xFFFFFFFFull * 2;
    QosBandwidthCheck(cb);
    EXPECT_EQ(cb->stats.qosReallocations, 1u);
    EXPECT_EQ(cb->sendFlow.tokenRate, 0xFFFFFFFEu);
    EXPECT_EQ(cb->sendFlow.peakBandwidth, 0xFFFFFFFFu);
    EXPECT_EQ(LinesContaining("Current Send BW=4294967295, new Send BW=4294967295 [bps]"), 1u);
    // Still checked: the rate is not taken for "not set".
    Window(cb, 0xFFFFFFFFull * 2, 0);
    QosBandwidthCheck(cb);
    EXPECT_EQ(cb->stats.qosReallocations, 2u);
}

// A provider that fails the reallocation: the values go back, and the connection breaks
// unless both blocks ask to continue.
TEST_F(EmtQosCheck, FailedReallocationBreaksUnlessBothBlocksContinue) {
    FakeProvider p;
    p.setResult = 10055;
    SetQosProvider(&p);
    EmtControlBlock* breaks = Block(Params(0, 10000, 46));
    Window(breaks, 14000, 0);
    QosBandwidthCheck(breaks);
    EXPECT_EQ(breaks->connected.load(), 0);
    EXPECT_EQ(breaks->breakError.load(), 10055u);
    EXPECT_EQ(breaks->sendFlow.tokenRate, 10000u);
    EXPECT_EQ(breaks->sendFlow.peakBandwidth, 12500u);
    EXPECT_EQ(LinesContaining("Unable to reallocate QoS res., break conection."), 1u);

    EmtControlBlock* oneSide = Block(Params(kQosContinue, 10000, 46));
    oneSide->recvFlow.flags &= ~kQosContinue;  // the peer's block does not continue
    Window(oneSide, 14000, 0);
    QosBandwidthCheck(oneSide);
    EXPECT_EQ(oneSide->connected.load(), 0);

    EmtControlBlock* goesOn = Block(Params(kQosContinue, 10000, 46));
    Window(goesOn, 14000, 0);
    QosBandwidthCheck(goesOn);
    EXPECT_EQ(goesOn->connected.load(), 1);
    EXPECT_EQ(goesOn->sendFlow.tokenRate, 10000u);
    EXPECT_EQ(LinesContaining("Unable to reallocate QoS res., ignoring as configured."), 1u);
    EXPECT_EQ(LinesContaining("Set QoS failure, winsock error = 10055."), 3u);
}

// Completions: a successful reservation starts the status query once (not with RSVP
// signalling off); failed ones break unless both blocks continue.
TEST_F(EmtQosCheck, CompletionsQueryOnceAndBreakOnFailure) {
    FakeProvider p;
    SetQosProvider(&p);
    EmtControlBlock* cb = Block(Params(0, 10000, 46));
    cb->sendFlow.flags = cb->recvFlow.flags = 0;  // RSVP signalling on
    QosCompletion(cb, kQosRequestReserve, 0);
    QosCompletion(cb, kQosRequestReserve, 0);
    EXPECT_EQ(p.gets, 1);
    EXPECT_EQ(cb->GetRefCount(), 1);  // the outstanding query
    p.Complete(0);                    // not in the table: the context is freed
    cb->DropRef();
    QosCompletion(cb, kQosRequestQuery, 0);
    EXPECT_EQ(cb->connected.load(), 1);
    QosCompletion(cb, kQosRequestQuery, 10060);
    EXPECT_EQ(cb->connected.load(), 0);
    EXPECT_EQ(LinesContaining("QoS status query failed: 10060"), 1u);

    EmtControlBlock* norsvp = Block(Params(0, 10000, 46));  // bit 1 always added
    QosCompletion(norsvp, kQosRequestReserve, 0);
    EXPECT_EQ(p.gets, 1);
    EmtControlBlock* cont = Block(Params(kQosContinue, 10000, 46));
    QosCompletion(cont, kQosRequestReserve, 10065);
    EXPECT_EQ(cont->connected.load(), 1);
    EXPECT_EQ(LinesContaining("QoS reservation request error=10065"), 1u);
}

// The check timer runs again after the exceed time while QoS is on; without caller
// parameters (QoS off) its one run stops it, and the rate window is left alone.
TEST_F(EmtQosCheck, TimerStopsWhenQosIsOff) {
    EmtControlBlock* on = Block(Params(kQosContinue, 10000, 46));
    on->qosEnabled = 1;
    on->transport = kTransportTcp;
    Window(on, 100, 0);
    QosBandwidthCheck(on);
    EXPECT_NE(on->timers[2].due, 0u);
    EXPECT_EQ(on->stats.rateBytesSent, 0u);
    CancelTimer(on, 3);

    EmtControlBlock* off = Block(ResolvePriorityDefaults(nullptr));
    EXPECT_EQ(off->sendFlow.flags, 7u);
    off->qosEnabled = 1;
    off->transport = kTransportTcp;
    Window(off, 100, 0);
    QosBandwidthCheck(off);
    EXPECT_EQ(off->timers[2].due, 0u);
    EXPECT_EQ(off->stats.rateBytesSent, 200u);
}

// Without a provider: QoS on marks by IP_TOS = DSCP x 4; a reallocation marks nothing.
TEST_F(EmtQosCheck, ManualMarkingWithoutProvider) {
    EmtControlBlock* cb = Block(Params(0, 10000, 110));  // 110 mod 64 = 46
    cb->sendFlow.dscp = 110;
    cb->sock = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(cb->sock, 0);
    auto tos = [&] {
        int v = -1;
        socklen_t n = sizeof v;
        EXPECT_EQ(::getsockopt(cb->sock, IPPROTO_IP, IP_TOS, &v, &n), 0);
        return v;
    };
    EXPECT_EQ(QosReserve(cb, false), 0u);
    EXPECT_EQ(tos(), 0);
    EXPECT_EQ(QosReserve(cb, true), 0u);
    EXPECT_EQ(tos(), 184);
    EmtControlBlock* off = Block(Params(kQosOff, 10000, 46));
    off->sock = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(QosReserve(off, true), 0u);
    int v = -1;
    socklen_t n = sizeof v;
    ASSERT_EQ(::getsockopt(off->sock, IPPROTO_IP, IP_TOS, &v, &n), 0);
    EXPECT_EQ(v, 0);
}

int TosOf(uint32_t handle) {
    EmtControlBlock* cb = LockBlock(handle);
    if (!cb) return -1;
    int v = -1;
    socklen_t n = sizeof v;
    if (::getsockopt(cb->sock, IPPROTO_IP, IP_TOS, &v, &n) != 0) v = -2;
    UnlockBlock(cb);
    return v;
}

// Connects to a listener on `ip` with the given parameters on both ends.
void ConnectPair(uint32_t ip, const EMT_QOS_PARAMS* q, uint32_t* client, uint32_t* server,
                 uint32_t* lh) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = ip;
    ASSERT_EQ(EMTListen(&at, lh, 1, q), 0u);
    EmtControlBlock* lb = LockBlock(*lh);
    ASSERT_NE(lb, nullptr);
    sockaddr_in to = lb->local;
    UnlockBlock(lb);
    Background acc([&] { return EMTAccept(*lh, nullptr, nullptr, server, 20000); });
    ASSERT_EQ(EMTConnectTcp(nullptr, &to, 65535, nullptr, 20000, client, 0, q), 0u);
    ASSERT_EQ(acc.Finished(), 0u);
}

// Two EMT ends with QoS on and DSCP 46 mark both sockets 184 when the peer counts as
// remote (127.0.0.2 through the test seam); a real loopback link and a link without
// parameters stay unmarked.
TEST(EmtQosMarking, RemotePeerMarksBothSocketsLoopbackDoesNot) {
    ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 0), 0u);
    const uint32_t peer = htonl(0x7F000002);
    Lib().notLocalForTest = peer;
    EMT_QOS_PARAMS q = Params(0, 10000, 46);
    uint32_t c = 0, s = 0, l = 0;
    ConnectPair(peer, &q, &c, &s, &l);
    EXPECT_EQ(TosOf(c), 184);
    EXPECT_EQ(TosOf(s), 184);
    EMT_QOS_PARAMS got{};
    ASSERT_EQ(EMTGetQoS(c, &got), 0u);
    EXPECT_EQ(got.dwFlags & kQosOff, 0u);

    uint32_t c2 = 0, s2 = 0, l2 = 0;
    ConnectPair(htonl(INADDR_LOOPBACK), &q, &c2, &s2, &l2);
    EXPECT_EQ(TosOf(c2), 0);
    EXPECT_EQ(TosOf(s2), 0);
    ASSERT_EQ(EMTGetQoS(c2, &got), 0u);
    EXPECT_NE(got.dwFlags & kQosOff, 0u);

    uint32_t c3 = 0, s3 = 0, l3 = 0;
    ConnectPair(peer, nullptr, &c3, &s3, &l3);
    EXPECT_EQ(TosOf(c3), 0);
    EXPECT_EQ(TosOf(s3), 0);
    EXPECT_EQ(EMTCleanup(), 0u);
}

// Runs `cmd` (ip commands) in the network namespace of the calling thread.
bool Sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// A real remote peer: this thread moves into a network namespace of its own, a helper
// thread into another, joined by a veth pair with private addresses. The peer listens in
// the helper's namespace; both sockets read IP_TOS 184, and a loopback link stays unmarked.
TEST(EmtQosMarking, PeerInAnotherNetworkNamespace) {
    if (::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespaces here";
    if (!Sh("ip link set lo up && ip link add qa type veth peer name qb"))
        GTEST_SKIP() << "no veth pairs here";
    ASSERT_EQ(EMTInitialize(nullptr, 0, 0, 0), 0u);
    EMT_QOS_PARAMS q = Params(0, 10000, 46);
    std::mutex mu;
    std::condition_variable cv;
    int stage = 0;  // 1: peer namespace made; 2: its address set; 3: listening; 4: done
    uint32_t lh = 0, server = 0, listenResult = 0xFFFFFFFF;
    pid_t peerTid = 0;
    std::thread peer([&] {
        bool ok = ::unshare(CLONE_NEWNET) == 0;
        {
            std::lock_guard<std::mutex> l(mu);
            peerTid = static_cast<pid_t>(::syscall(SYS_gettid));
            stage = ok ? 1 : -1;
        }
        cv.notify_all();
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return stage == 2 || stage < 0; });
        if (stage < 0) return;
        l.unlock();
        ok = Sh("ip link set lo up && ip addr add 10.77.0.2/24 dev qb && ip link set qb up");
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = inet_addr("10.77.0.2");
        at.sin_port = htons(40017);
        uint32_t r = ok ? EMTListen(&at, &lh, 1, &q) : 1;
        l.lock();
        listenResult = r;
        stage = 3;
        cv.notify_all();
        cv.wait(l, [&] { return stage == 4; });
    });
    {
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return stage != 0; });
        ASSERT_EQ(stage, 1);
    }
    const bool moved = Sh("ip link set qb netns " + std::to_string(peerTid) +
                          " && ip addr add 10.77.0.1/24 dev qa && ip link set qa up");
    {
        std::lock_guard<std::mutex> l(mu);
        stage = moved ? 2 : -1;
    }
    cv.notify_all();
    if (!moved) {
        peer.join();
        FAIL() << "veth set-up failed";
    }
    {
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return stage == 3; });
    }
    ASSERT_EQ(listenResult, 0u);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = inet_addr("10.77.0.2");
    to.sin_port = htons(40017);
    EXPECT_FALSE(IsLocalAddress(to));
    uint32_t client = 0;
    Background acc([&] { return EMTAccept(lh, nullptr, nullptr, &server, 20000); });
    EXPECT_EQ(EMTConnectTcp(nullptr, &to, 65535, nullptr, 20000, &client, 0, &q), 0u);
    EXPECT_EQ(acc.Finished(), 0u);
    EXPECT_EQ(TosOf(client), 184);
    EXPECT_EQ(TosOf(server), 184);

    uint32_t c2 = 0, s2 = 0, l2 = 0;
    ConnectPair(htonl(INADDR_LOOPBACK), &q, &c2, &s2, &l2);
    EXPECT_EQ(TosOf(c2), 0);
    EXPECT_EQ(TosOf(s2), 0);
    {
        std::lock_guard<std::mutex> l(mu);
        stage = 4;
    }
    cv.notify_all();
    peer.join();
    EXPECT_EQ(EMTCleanup(), 0u);
}

}  // namespace
