#include "nuvlib/emsserver.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "nuvlib/ems.h"
#include "nuvlib/emsinternal.h"
#include "nuvlib/emsrecord.h"
#include "nuvlib/emstextsinks.h"
#include "nuvlib/pipe.h"
#include "platform/byteorder.h"
#include "platform/clock.h"
#include "tests/nuvlib/ems_testutil.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

namespace {

std::string Host() {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

std::string Me() {
    passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_name : "";
}

// One record as a monitor sees it.
struct Seen {
    std::vector<uint8_t> bytes;
    uint32_t id = 0;
    std::string text;  // the argument texts, joined
    bool disconnect = false;
};

// A test event monitor on the process's event pipe.
class Monitor {
public:
    uint32_t Connect(const std::string& pipe = "Node1\\procEMSPipe") {
        uint32_t rc = 0;
        emstest::Eventually([&] { return (rc = client_.Connect(pipe)) == 0; });
        return rc;
    }
    void Rec(const std::string& host, uint16_t headerSize = 8, uint16_t dataSize = 20,
             uint32_t clientId = 77) {
        uint8_t m[28] = {};
        plat::StoreLE32(m, 1);
        plat::StoreLE16(m + 4, headerSize);
        plat::StoreLE16(m + 6, dataSize);
        plat::StoreLE32(m + 8, clientId);
        std::memcpy(m + 12, host.data(), std::min<size_t>(host.size(), 15));
        ASSERT_EQ(0u, client_.Write(m, sizeof m));
    }
    bool Next(Seen* out, int timeoutMs = 5000) {
        std::vector<uint8_t> buf(4097);
        uint32_t n = 0;
        if (client_.Read(buf.data(), static_cast<uint32_t>(buf.size()), &n, timeoutMs) != 0)
            return false;
        buf.resize(n);
        *out = Seen{};
        out->bytes = buf;
        if (n == EMS_RECORD_MAX && plat::LoadLE32(buf.data() + n - 4) == 2) {
            out->disconnect = true;
            return true;
        }
        EMSParsedRecord rec;
        if (n < 36 || !EMSParseRecord(buf.data(), n, &rec)) return true;
        out->id = plat::LoadLE32(buf.data() + emsoff::kEventId);
        for (uint32_t i = 0; i < rec.argCount; ++i) out->text += rec.args[i];
        return true;
    }
    // Reads until a record's text contains `needle`; false on time-out.
    bool WaitFor(const std::string& needle, std::vector<Seen>* before = nullptr) {
        Seen s;
        while (Next(&s)) {
            if (s.text.find(needle) != std::string::npos) return true;
            if (before) before->push_back(s);
        }
        return false;
    }
    NamedPipeClient& client() { return client_; }

private:
    NamedPipeClient client_;
};

// A process with event reporting started: every event reaches the monitors.
class MonitorServer : public ::testing::Test {
protected:
    void SetUp() override {
        EMSInstallStandardSinks();
        // The log files go to a directory of the test's own.
        ASSERT_EQ(1, EMSInitialize("SOFTWARE\\Node1", root_.str().c_str(), "proc", 1, 'A'));
        EMSState().displayToScreen = false;
        ASSERT_NE(nullptr, EMSServer::Instance());
    }
    // The monitors are gone by now: let their sessions end before the process does, or a
    // session thread still tracing would meet the process's teardown.
    void TearDown() override { AwaitSessions(0); }
    // Waits until the server has `n` sessions.
    void AwaitSessions(size_t n) {
        emstest::Eventually([n] { return EMSServer::Instance()->SessionCount() == n; });
        ASSERT_EQ(n, EMSServer::Instance()->SessionCount());
    }
    void AwaitRegistered(bool local, size_t n) {
        emstest::Eventually(
            [local, n] { return EMSServer::Instance()->RegisteredCount(local) == n; });
        ASSERT_EQ(n, EMSServer::Instance()->RegisteredCount(local));
    }
    // A test's fake clock lives as long as the fixture: session threads may still read it
    // after the test body has put the real clock back.
    plat::FakeClock fakeClock_;
    testsupport::TempDir root_{"ems"};
};

TEST_F(MonitorServer, MonitorReceivesTheProcessEventsLive) {
    EXPECT_EQ("Node1\\procEMSPipe", EMSServer::Instance()->PipeName());
    Monitor m;
    ASSERT_EQ(0u, m.Connect());
    m.Rec(Host());
    AwaitRegistered(true, 1);
    EXPECT_TRUE(m.WaitFor("EMSServer connection established in node name: Node1 process: proc for "
                          "user " + Me() + "."));
    EMSTraceMessage("hello %s", "monitor");
    EMSEvent2I1S(0x612E000A, 0, 0, 6000, 10, "MaxClientConnections");
    std::vector<Seen> before;
    ASSERT_TRUE(m.WaitFor("600010MaxClientConnections", &before));
    bool sawTrace = false;
    for (const auto& s : before) sawTrace |= s.id == 0x21010003 && s.text == "hello monitor";
    EXPECT_TRUE(sawTrace);

    // A second EMSServerInit only traces.
    EMSServerInit("SOFTWARE\\Node1", "proc");
    EXPECT_TRUE(m.WaitFor("EMSServer: Already initialized"));

    // The client leaving is noticed and its session goes.
    m.client().Close();
    AwaitSessions(0);
    AwaitRegistered(true, 0);
}

TEST_F(MonitorServer, BadRecIsTracedAndIgnoredWhileRecordsStillFlow) {
    Monitor m;
    ASSERT_EQ(0u, m.Connect());
    AwaitSessions(1);
    struct Case {
        uint16_t header, data;
        std::string trace;
    } cases[] = {
        {12, 20, "EMSServer::ProcessMessage - Invalid REC message HdrSize 12 (8) received "
                 "(MsgType=1) from client " + Me()},
        {8, 24, "EMSServer::ProcessMessage - Invalid REC message DataSize 24 (20) received "
                "(MsgType=1) from client " + Me()},
    };
    for (const auto& c : cases) {
        m.Rec(Host(), c.header, c.data);
        EXPECT_TRUE(m.WaitFor(c.trace)) << c.trace;
    }
    // Too short to hold even its header, and a wrong type.
    ASSERT_EQ(0u, m.client().Write("\x01\x00", 2));
    EXPECT_TRUE(m.WaitFor("EMSServer::ProcessMessage - Invalid REC message 0 received from client"));
    uint8_t wrongType[28] = {9, 0, 0, 0, 8, 0, 20, 0};
    ASSERT_EQ(0u, m.client().Write(wrongType, sizeof wrongType));
    EXPECT_TRUE(m.WaitFor("EMSServer::ProcessMessage - Invalid REC message 9 received from client " +
                          Me() + "."));
    EXPECT_EQ(0u, EMSServer::Instance()->RegisteredCount(true));
    EMSTraceMessage("still flowing");
    EXPECT_TRUE(m.WaitFor("still flowing"));
}

TEST_F(MonitorServer, SecondLocalClientDisconnectsTheFirst) {
    Monitor a, b;
    ASSERT_EQ(0u, a.Connect());
    a.Rec(Host());
    AwaitRegistered(true, 1);
    ASSERT_EQ(0u, b.Connect());
    b.Rec(Host());
    std::vector<Seen> seen;
    ASSERT_TRUE(a.WaitFor(EMS_TEXT_ANOTHER_USER));
    Seen next;
    ASSERT_TRUE(a.Next(&next));
    EXPECT_TRUE(next.disconnect);
    EXPECT_EQ(EMS_RECORD_MAX, plat::LoadLE32(next.bytes.data()));
    EXPECT_EQ(6, next.bytes[4]);
    // The first client stays connected until it breaks the pipe.
    EMSTraceMessage("both still here");
    EXPECT_TRUE(a.WaitFor("both still here"));
    EXPECT_TRUE(b.WaitFor("both still here"));
}

TEST_F(MonitorServer, SixthRemoteClientDisconnectsTheEarliestRegistered) {
    plat::FakeClock& clock = fakeClock_;
    plat::ScopedClock use(&clock);
    Monitor m[6];
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(0u, m[i].Connect());
        m[i].Rec("far-host-" + std::to_string(i));
        // The sixth is counted until the earliest has gone, which takes that client's
        // part: its registration shows as the notice to the earliest, below.
        if (i < 5) AwaitRegistered(false, i + 1);
        clock.AdvanceMs(1000);
    }
    EXPECT_TRUE(m[0].WaitFor(EMS_TEXT_ANOTHER_USER));
    EMSTraceMessage("marker");
    for (int i = 1; i < 6; ++i) {
        std::vector<Seen> before;
        ASSERT_TRUE(m[i].WaitFor("marker", &before));
        for (const auto& s : before) EXPECT_FALSE(s.disconnect) << i;
    }
}

TEST_F(MonitorServer, HeavyLoadDisconnectsTheOldestClientOnce) {
    plat::FakeClock& clock = fakeClock_;
    plat::ScopedClock use(&clock);
    Monitor a, b;
    ASSERT_EQ(0u, a.Connect());
    a.Rec("far-a");
    AwaitRegistered(false, 1);
    clock.AdvanceMs(1000);
    ASSERT_EQ(0u, b.Connect());
    b.Rec("far-b");
    AwaitRegistered(false, 2);
    EMSTraceMessage("settled");
    ASSERT_TRUE(a.WaitFor("settled"));
    ASSERT_TRUE(b.WaitFor("settled"));

    EMSServer::SetMaxMessages(10);
    clock.AdvanceMs(60000);
    EMSTraceMessage("drained");  // this broadcast empties the bucket (its own count drains too)
    // Two clients: each record adds 2, so the fifth within one period fills the bucket.
    for (int i = 1; i <= 25; ++i) EMSTraceMessage("load %d", i);
    EMSTraceMessage("done");

    std::vector<Seen> seenA, seenB;
    ASSERT_TRUE(a.WaitFor("done", &seenA));
    ASSERT_TRUE(b.WaitFor("done", &seenB));
    int notices = 0, disconnects = 0;
    size_t noticeAt = 0;
    for (size_t i = 0; i < seenA.size(); ++i) {
        if (seenA[i].text == EMS_TEXT_HEAVY_LOAD) {
            ++notices;
            noticeAt = i;
        }
        disconnects += seenA[i].disconnect;
    }
    EXPECT_EQ(1, notices);
    EXPECT_EQ(1, disconnects);
    ASSERT_GE(noticeAt, 4u);
    EXPECT_EQ("load 4", seenA[noticeAt - 1].text);
    EXPECT_TRUE(seenA[noticeAt + 1].disconnect);
    EXPECT_EQ("load 5", seenA[noticeAt + 2].text);
    for (const auto& s : seenB) EXPECT_FALSE(s.disconnect || s.text == EMS_TEXT_HEAVY_LOAD);
}

TEST_F(MonitorServer, SlowClientOverflowsItsQueueWithoutStallingTheProcess) {
    Monitor slow;
    ASSERT_EQ(0u, slow.Connect());
    slow.Rec(Host());
    AwaitRegistered(true, 1);
    const testsupport::RealTimer flood;  // real time on purpose: the stall would be real
    for (int i = 0; i < 15000; ++i) EMSTraceMessage("flood %d", i);
    EXPECT_LT(flood.ElapsedMs(), 30000);

    // Reading now: records, then the overflow notice, and nothing of the flood after it.
    std::vector<Seen> before;
    ASSERT_TRUE(slow.WaitFor(EMS_TEXT_QUEUE_OVERFLOW, &before));
    EXPECT_GE(before.size(), EMS_SERVER_QUEUE_LIMIT);
    EXPECT_LE(before.size(), EMS_SERVER_QUEUE_LIMIT + 1000u);  // plus what the socket held
    // Once drained, the next record re-enables the client.
    Seen s;
    while (slow.Next(&s, 300)) EXPECT_EQ(std::string::npos, s.text.find("flood")) << s.text;
    EMSTraceMessage("dropped while re-enabling");
    EMSTraceMessage("flows again");
    std::vector<Seen> after;
    ASSERT_TRUE(slow.WaitFor("flows again", &after));
    bool reenabled = false;
    for (const auto& r : after) {
        reenabled |= r.text == "DEZOra Client pipe (" + Me() +
                                   ") was truncated - Reenabling new messages for client";
        EXPECT_NE("dropped while re-enabling", r.text);
    }
    EXPECT_TRUE(reenabled);
}

TEST_F(MonitorServer, MaxMessagesBelowOneMeansTheDefault) {
    struct Case {
        int set, expected;
    } cases[] = {{10, 10}, {0, 5000}, {-3, 5000}, {7000, 7000}};
    for (const auto& c : cases) {
        EMSServer::SetMaxMessages(c.set);
        EXPECT_EQ(c.expected, EMSServer::Instance()->BucketCapacity());
    }
}

TEST(LeakyBucket, OnlyWholePeriodsDrainAcrossTheTickWrap) {
    plat::FakeClock clock;
    plat::ScopedClock use(&clock);
    LeakyBucket b(10, 100, 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(0, b.Add(2));
    EXPECT_EQ(-1, b.Add(2));  // level 10
    clock.AdvanceMs(99);
    EXPECT_EQ(-1, b.Add(0));  // no whole period: nothing drains, the 99 ms are lost
    clock.AdvanceMs(99);
    EXPECT_EQ(-1, b.Add(0));
    clock.AdvanceMs(250);  // two periods drain 8
    EXPECT_EQ(0, b.Add(0));
    EXPECT_EQ(2, b.Level());

    // Just before the 32-bit millisecond tick wraps, and 150 ms later.
    clock.SetMonotonicNs((int64_t{0xFFFFFFFF} - 50) * 1000000);
    LeakyBucket w(10, 100, 4);
    EXPECT_EQ(0, w.Add(6));
    clock.AdvanceMs(150);
    EXPECT_EQ(0, w.Add(0));
    EXPECT_EQ(2, w.Level());

    LeakyBucket d(0, 0, 0);
    EXPECT_EQ(5000, d.Capacity());
}

// A session with no pipe: its queue fills and is never written.
TEST(RemoteEMSSessionQueue, HoldsTenThousandAndOneRecordsThenTheOverflowNotice) {
    RemoteEMSSession session(nullptr, 1, "tester");
    auto block = EMSServer::MakeNoticeRecord("record", 99);
    std::vector<std::string> traces;
    for (uint32_t i = 0; i < EMS_SERVER_QUEUE_LIMIT + 500; ++i) session.QueueEvent(block.data(), &traces);
    EXPECT_EQ(EMS_SERVER_QUEUE_LIMIT + 2, session.QueueCount());
    EXPECT_FALSE(session.IsAccepting());
    ASSERT_EQ(1u, traces.size());
    EXPECT_EQ("EMS Server client pipe (tester) at limit of 10000 - Discarding new messages  for "
              "client",
              traces[0]);
    // A block that claims more than a record can hold is not queued.
    RemoteEMSSession other(nullptr, 2, "tester");
    std::vector<uint8_t> bogus(block);
    plat::StoreLE32(bogus.data(), 100000);
    other.QueueEvent(bogus.data(), &traces);
    EXPECT_EQ(0u, other.QueueCount());
}

TEST(EMSServerBlocks, NoticeAndDisconnectLayout) {
    auto notice = EMSServer::MakeNoticeRecord(EMS_TEXT_QUEUE_OVERFLOW, 1234);
    EMSParsedRecord rec;
    ASSERT_TRUE(EMSParseRecord(notice.data(), notice.size(), &rec));
    EXPECT_EQ(0x21010003u, plat::LoadLE32(notice.data() + emsoff::kEventId));
    EXPECT_EQ(1234u, plat::LoadLE32(notice.data() + emsoff::kMdsStamp));
    EXPECT_EQ(1, notice[emsoff::kSystemId]);
    EXPECT_EQ(1, notice[emsoff::kSide]);
    EXPECT_EQ(5u, rec.argCount);
    EXPECT_EQ(EMS_TEXT_QUEUE_OVERFLOW, rec.args[0]);
    EXPECT_LE(rec.computerName.size(), 14u);

    auto d = EMSServer::MakeDisconnectRecord();
    ASSERT_EQ(EMS_RECORD_MAX, d.size());
    EXPECT_EQ(EMS_RECORD_MAX, plat::LoadLE32(d.data()));
    EXPECT_EQ(6, d[4]);
    EXPECT_EQ(2u, plat::LoadLE32(d.data() + EMS_RECORD_MAX - 4));
    for (size_t i = 5; i < EMS_RECORD_MAX - 4; ++i) ASSERT_EQ(0, d[i]) << i;
}

}  // namespace
