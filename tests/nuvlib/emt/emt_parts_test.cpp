// The pieces under the connections: worker pool and exact-length I/O, round-trip
// arithmetic and statistics, and the default QoS blocks of the handshake.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "nuvlib/emt/emtpriv.h"
#include "nuvlib/emt/tcpiocpt.h"
#include "platform/byteorder.h"
#include "tests/support/fake_clock.h"

namespace {

using namespace emt;

// EMT's numbers for errno: the platform's map, EMT's own few on top, and a mark for the
// rest.
TEST(EmtErrno, PlatformMapWithEmtsOwnNumbersOnTop) {
    struct {
        int e;
        uint32_t code;
    } cases[] = {{EBADF, 10038},        {EPIPE, 10054},        {EINVAL, 10022},
                 {EAGAIN, 10035},       {EMFILE, 10024},       {ECONNRESET, 10054},
                 {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {ENOENT, 2},
                 {EACCES, 5},           {EEXIST, 183},         {0, 0},
                 {EXDEV, 0x20000000u | EXDEV}};
    for (auto c : cases) EXPECT_EQ(ErrnoToEmtError(c.e), c.code) << "errno " << c.e;
}

TEST(EmtPool, Sizing) {
    struct {
        uint32_t requested, cpus, workers;
    } cases[] = {{0, 8, 4}, {0, 1, 2}, {0, 2, 4}, {100, 8, 64}, {3, 8, 3}, {64, 1, 64}};
    for (auto c : cases) EXPECT_EQ(PoolThreadCount(c.requested, c.cpus), c.workers);
}

std::atomic<int> g_starts{0};
uint32_t FailingStart(uint32_t phase, uint32_t) {
    if (phase == 1) ++g_starts;
    return phase == 1 ? 77 : 0;
}

TEST(EmtPool, StartOnceAndFailedStartLeavesNothing) {
    EXPECT_EQ(Pool().Start(FailingStart, 2, 0), 77u);
    EXPECT_FALSE(Pool().Running());
    EXPECT_EQ(Pool().Workers(), 0u);
    EXPECT_EQ(Pool().Start(nullptr, 3, 0), 0u);
    EXPECT_EQ(Pool().Workers(), 3u);
    EXPECT_EQ(Pool().Start(nullptr, 5, 0), 0u);  // already running: nothing more
    EXPECT_EQ(Pool().Workers(), 3u);
    std::atomic<int> ran{0};
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(Pool().Post([&] { ++ran; }));
    EXPECT_EQ(Pool().Stop(), 0u);
    EXPECT_EQ(ran.load(), 10);  // every item completes exactly once
    EXPECT_FALSE(Pool().Post([] {}));
}

// Bytes not yet read on s.
int Unread(int s) {
    int n = 0;
    ioctl(s, FIONREAD, &n);
    return n;
}

TEST(EmtExactIo, ReadsInPiecesAndGatheredWrites) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    uint8_t buf[100];
    uint32_t first = 0xFFFFFFFF, second = 0xFFFFFFFF;
    std::thread r([&] {
        first = TcpRecvAll(sv[0], buf, 100);
        second = TcpRecvAll(sv[0], buf, 100);
    });
    // Each piece goes once the reader has taken the one before: the reads come in pieces.
    uint8_t a[30], b[70];
    std::memset(a, 1, 30);
    std::memset(b, 2, 70);
    auto sendAndAwaitRead = [&](const uint8_t* p, size_t n) {
        ASSERT_EQ(send(sv[1], p, n, 0), static_cast<ssize_t>(n));
        for (int i = 0; i < 10000 && Unread(sv[0]) != 0; ++i) std::this_thread::yield();
    };
    sendAndAwaitRead(a, 30);
    sendAndAwaitRead(b, 70);
    sendAndAwaitRead(a, 30);
    shutdown(sv[1], SHUT_WR);
    r.join();
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(buf[29], 1);
    EXPECT_EQ(second, EMT_WSA_EDISCON);  // closed after 30 bytes

    uint8_t hdr[28], body[100];
    std::memset(hdr, 3, sizeof hdr);
    std::memset(body, 4, sizeof body);
    iovec v[2] = {{hdr, 28}, {body, 100}};
    EXPECT_EQ(TcpSendAll(sv[0], v, 2), 0u);
    uint8_t out[128];
    ASSERT_EQ(TcpRecvAll(sv[1], out, 128), 0u);
    EXPECT_EQ(out[27], 3);
    EXPECT_EQ(out[28], 4);
    close(sv[0]);
    close(sv[1]);
}

// A control block as a QoS-enabled connection has it, outside the table.
struct Probe {
    EmtControlBlock* cb = NewControlBlock(nullptr);
    Probe() {
        cb->qosEnabled = 1;
        cb->transport = kTransportTcp;
    }
    ~Probe() { FreeControlBlock(cb); }
};

using EmtRtt = testsupport::FakeClockTest;

TEST_F(EmtRtt, ReplyGivesRoundTripAcrossTheWrap) {
    struct {
        uint64_t sinceRequest;  // µs between our request and now
        uint32_t hold;
        uint32_t rtt;
    } cases[] = {{5000, 1000, 4000}, {5000, 9000, 0}, {0x100000000ull + 700, 200, 500}};
    for (auto c : cases) {
        Probe p;
        uint32_t now = static_cast<uint32_t>(MicrosNow());
        uint8_t body[24] = {};
        plat::StoreLE32(body, 4);
        // The echoed clock lies before now; near the wrap it is numerically larger.
        plat::StoreLE32(body + 8, now - static_cast<uint32_t>(c.sinceRequest));
        plat::StoreLE32(body + 12, c.hold);
        ProcessRttPacket(p.cb, body);
        EXPECT_EQ(p.cb->lastLocalRtt, c.rtt);
        EXPECT_EQ(p.cb->localRtt.size(), 1u);
    }
}

TEST_F(EmtRtt, ReportsCountOncePerSequenceAndHistoryIsBounded) {
    Probe p;
    p.cb->pingHistory = 10;
    uint8_t body[24] = {};
    plat::StoreLE32(body, 1);
    for (uint32_t seq : {1u, 1u, 2u}) {
        plat::StoreLE32(body + 16, 100 * seq);
        plat::StoreLE32(body + 20, seq);
        ProcessRttPacket(p.cb, body);
    }
    EXPECT_EQ(p.cb->remoteRtt.size(), 2u);
    for (uint32_t seq = 3; seq < 40; ++seq) {
        plat::StoreLE32(body + 20, seq);
        ProcessRttPacket(p.cb, body);
    }
    EXPECT_EQ(p.cb->remoteRtt.size(), 9u);  // history - 1
}

TEST_F(EmtRtt, UnsolicitedRequestsStopAfterThreeUnanswered) {
    Probe p;
    int requests = 0;
    for (int i = 0; i < 10; ++i) {
        p.cb->lastRttSentTick = plat::GetTickCount() - 100000;  // a request is due every time
        uint8_t pkt[28];
        // What the probe timer does: it sends while the countdown lasts.
        if (((p.cb->rttState >> 2) & 0xF) != 0 && RttPacketDue(p.cb, pkt)) {
            ++requests;
            p.cb->rttState -= 1u << 2;
        }
    }
    EXPECT_EQ(requests, 3);
    uint8_t reply[24] = {};
    plat::StoreLE32(reply, 2);
    ProcessRttPacket(p.cb, reply);  // any packet from the peer restores the countdown
    EXPECT_EQ((p.cb->rttState >> 2) & 0xF, 3u);
}

TEST(EmtStats, MeanVarianceAndText) {
    struct {
        std::list<uint32_t> samples;
        uint32_t mean;
        double var, sd;
    } cases[] = {{{100, 300}, 200, 20000.0, 141.42}, {{250}, 250, 250.0, 250.0}, {{}, 0, 0, 0}};
    for (const auto& c : cases) {
        uint32_t mean;
        double var, sd;
        ListStats(c.samples, &mean, &var, &sd);
        EXPECT_EQ(mean, c.mean);
        EXPECT_DOUBLE_EQ(var, c.var);
        EXPECT_NEAR(sd, c.sd, 0.01);
    }
    Probe p;
    std::string t = StatisticsText(p.cb);
    EXPECT_NE(t.find("EMT " + std::to_string(p.cb->handle) + " Connection Statistics"),
              std::string::npos);
    EXPECT_NE(t.find("\n\tLocal RTT mean: 0[us]"), std::string::npos);
    EXPECT_EQ(t.find(", C.O.V.: "), std::string::npos);
    p.cb->localRtt = {100, 300};
    EXPECT_NE(StatisticsText(p.cb).find(", C.O.V.: "), std::string::npos);
}

TEST(EmtQos, DefaultsAndValidation) {
    EXPECT_TRUE(ValidateQosParams(nullptr));
    EMT_QOS_PARAMS q = ResolvePriorityDefaults(nullptr);
    EXPECT_EQ(q.dwFlags, 7u);
    EXPECT_EQ(q.ucPriority, 0);
    EXPECT_EQ(q.dwSendMaxBWIncrement, 0u);

    EMT_QOS_PARAMS good{};
    good.dwSendBandwidth = good.dwRecvBandwidth = 4096;
    good.dwSendLatency = good.dwRecvLatency = 100;
    good.dwSendBWThreashold = good.dwRecvBWThreashold = 25;
    good.dwSendBWThreasholdExceedTime = good.dwRecvBWThreasholdExceedTime = 20;
    good.dwSendBWIncrement = good.dwRecvBWIncrement = 25;
    good.dwSendMaxBWIncrement = good.dwRecvMaxBWIncrement = 4;
    good.dwSendDSCP = good.dwRecvDSCP = 26;
    good.dwPingInterval = 10;
    good.dwPingHistorySize = 90;
    good.usHeartbeatInterval = 1;
    good.ucHeartbeatCount = 5;
    EXPECT_TRUE(ValidateQosParams(&good));
    struct {
        const char* what;
        void (*spoil)(EMT_QOS_PARAMS&);
    } bad[] = {
        {"priority 3", [](EMT_QOS_PARAMS& p) { p.ucPriority = 3; }},
        {"send bandwidth 100", [](EMT_QOS_PARAMS& p) { p.dwSendBandwidth = 100; }},
        {"send DSCP 64", [](EMT_QOS_PARAMS& p) { p.dwSendDSCP = 64; }},
        {"reserved2 1", [](EMT_QOS_PARAMS& p) { p.dwReserved2 = 1; }},
        {"flags 16", [](EMT_QOS_PARAMS& p) { p.dwFlags = 16; }},
        {"heartbeat count 4", [](EMT_QOS_PARAMS& p) { p.ucHeartbeatCount = 4; }},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.what);
        EMT_QOS_PARAMS p = good;
        b.spoil(p);
        EXPECT_FALSE(ValidateQosParams(&p));
    }
    EMT_QOS_PARAMS off = good;
    off.dwFlags = 4;
    EXPECT_EQ(ResolvePriorityDefaults(&off).dwFlags, 7u);
    EXPECT_EQ(ResolvePriorityDefaults(&good).dwFlags, 2u);
}

TEST(EmtQos, FlowBlockWireForm) {
    Probe p;
    uint8_t w[kFlowQosSize];
    EncodeFlowQos(p.cb->sendFlow, w);
    EMT_FLOW_QOS back = DecodeFlowQos(w);
    EXPECT_EQ(back.flags, 7u);
    EXPECT_EQ(back.tokenRate, 4096u);
    EXPECT_EQ(back.peakBandwidth, 5120u);
    EXPECT_EQ(back.serviceType, 0x40000002u);
    EXPECT_EQ(back.minimumPolicedSize, 10u);
    EXPECT_EQ(back.dscp, 10u);
    EXPECT_EQ(w[62] | w[63] | w[64] | w[67], 0);
    EMT_FLOW_QOS fresh;
    EncodeFlowQos(fresh, w);
    for (int i = 4; i < 60; ++i) ASSERT_EQ(w[i], 0xFF) << i;
    for (int i = 60; i < 68; ++i) ASSERT_EQ(w[i], 0) << i;
}

}  // namespace
