// The stand-in OPC as a duplex controller, behind its links: the start to both sides, the
// watch of the active side on the fake clock, failover on silence and on a failure report,
// and the bounds of the link between the two nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peers/opc/duplex.h"
#include "peers/opc/duplex_link.h"
#include "peers/opc/opc_wire.h"
#include "platform/byteorder.h"
#include "tests/nuvlib/emt/spawn.h"
#include "tests/support/fake_clock.h"
#include "tests/support/wait.h"

namespace opcpeer {
namespace {

struct Sent {
    int side;
    uint8_t type;
    std::vector<uint8_t> payload;
    // The body's n-th word (after the ServerNumber word).
    uint32_t Word(size_t n) const {
        return payload.size() >= 8 + 4 * n ? LoadLE32(payload.data() + 4 + 4 * n) : 0xDEADBEEF;
    }
};

constexpr int kA = Duplex::kSideA;
constexpr int kB = Duplex::kSideB;

class DuplexTest : public testsupport::FakeClockTest {
protected:
    DuplexTest() {
        options_.watchMs = 2000;
        options_.heartbeatMs = 1000;
        options_.retryMs = 1000;
        options_.idleTries = 3;
    }
    void Make() {
        duplex_ = std::make_unique<Duplex>(
            [this](int side, uint8_t type, const std::vector<uint8_t>& p) {
                std::lock_guard<std::mutex> g(mu_);
                sent_.push_back({side, type, p});
                return true;
            },
            [this](const std::string& line) {
                std::lock_guard<std::mutex> g(mu_);
                lines_.push_back(line);
            },
            options_);
    }
    void TearDown() override { duplex_.reset(); }

    // The messages of `type` sent to `side`, in order.
    std::vector<Sent> SentTo(int side, uint8_t type) {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<Sent> out;
        for (const auto& s : sent_)
            if (s.side == side && s.type == type) out.push_back(s);
        return out;
    }
    bool WaitSent(int side, uint8_t type, size_t n) {
        return testsupport::WaitFor([&] { return SentTo(side, type).size() >= n; });
    }
    bool HasLine(const std::string& text) {
        std::lock_guard<std::mutex> g(mu_);
        for (const auto& l : lines_)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::string Lines() {
        std::lock_guard<std::mutex> g(mu_);
        std::string all;
        for (const auto& l : lines_) all += l + "\n";
        return all;
    }
    void Ack(int side, uint8_t ackType, uint8_t answered) {
        std::vector<uint8_t> p;
        PutLE32(p, 0, 1);
        PutLE32(p, 4, Duplex::SideWord(side));
        PutLE32(p, 8, answered);
        PutLE32(p, 12, 0);
        duplex_->OnMessage(side, ackType, p.data(), p.size());
    }
    void Heartbeat(int side) {
        std::vector<uint8_t> p(4, 0);
        duplex_->OnMessage(side, kActiveHeartBeat, p.data(), p.size());
    }
    // Both sides idled and configured, A active and B standby, at fake time 0.
    void StartPair() {
        Make();
        duplex_->Start();
        ASSERT_TRUE(WaitSent(kA, kSetIdleReq, 1));
        ASSERT_TRUE(WaitSent(kB, kSetIdleReq, 1));
        Ack(kA, kOkAck, kSetIdleReq);
        Ack(kB, kOkAck, kSetIdleReq);
        ASSERT_TRUE(WaitSent(kA, kSetActiveReq, 1));
        ASSERT_TRUE(WaitSent(kB, kSetActiveReq, 1));
        Ack(kA, kOkAck, kSetActiveReq);
        Ack(kB, kOkAck, kSetActiveReq);
        ASSERT_TRUE(HasLine("side A is active")) << Lines();
        ASSERT_TRUE(HasLine("side B is standby")) << Lines();
    }
    // Moves the fake clock to the controller's next wake-up (at most `toMs`).
    void AdvanceTo(int64_t toMs) {
        while (plat::MonotonicNs() < toMs * 1000000) {
            ASSERT_TRUE(clock_.AwaitSleepers(1));
            const int64_t next = std::min(clock_.NextDeadlineNs(), toMs * 1000000);
            clock_.AdvanceMs((next - plat::MonotonicNs()) / 1000000);
        }
        ASSERT_TRUE(clock_.AwaitSleepers(1));  // it has done what that time asked
    }

    Duplex::Options options_;
    std::unique_ptr<Duplex> duplex_;
    std::mutex mu_;
    std::vector<Sent> sent_;
    std::vector<std::string> lines_;
};

// Each side is idled with its own side word and then configured; the set-active naming A
// goes to both; OPC heartbeats go to both every period.
TEST_F(DuplexTest, StartIdlesConfiguresAndActivatesBothSides) {
    StartPair();
    for (int side : {kA, kB}) {
        SCOPED_TRACE(side);
        EXPECT_EQ(SentTo(side, kSetIdleReq)[0].Word(0), Duplex::SideWord(side));
        EXPECT_EQ(SentTo(side, kSetIdleReq)[0].Word(3), kSetIdleVersion);
        const auto config = SentTo(side, kConfigureReq);
        ASSERT_EQ(config.size(), 2u);
        EXPECT_EQ(config[0].Word(1), 11u);  // table 11, one peripheral of ClientType 30
        EXPECT_EQ(config[0].Word(2), 1u);
        EXPECT_EQ(config[0].Word(5), 30u);
        EXPECT_EQ(config[1].Word(1), 0u);   // table 0 ends the load
        EXPECT_EQ(SentTo(side, kSetActiveReq)[0].Word(0), 1u);  // side A
        EXPECT_EQ(SentTo(side, kSetActiveReq)[0].Word(1), 5u);  // the heartbeat time
    }
    AdvanceTo(3000);
    Heartbeat(kA);
    EXPECT_EQ(SentTo(kA, kHeartBeat).size(), 3u);
    EXPECT_EQ(SentTo(kB, kHeartBeat).size(), 3u);
}

// Three of the active side's heartbeat periods without its heartbeat fail it over; only the
// active side's heartbeats count, and each one moves the limit.
TEST_F(DuplexTest, ASilentActiveSideIsIdledAndTheOtherActivated) {
    StartPair();
    AdvanceTo(2000);
    Heartbeat(kA);                 // the limit moves to 8 s
    for (int64_t t = 3000; t <= 7000; t += 1000) {
        AdvanceTo(t);
        Heartbeat(kB);             // the standby's heartbeats do not count
    }
    EXPECT_EQ(SentTo(kA, kSetIdleReq).size(), 1u) << Lines();
    AdvanceTo(8000);
    ASSERT_TRUE(WaitSent(kA, kSetIdleReq, 2)) << Lines();
    EXPECT_TRUE(HasLine("side A sent no heartbeat for 6000 ms")) << Lines();
    EXPECT_EQ(SentTo(kA, kSetIdleReq)[1].Word(0), 1u);
    EXPECT_EQ(SentTo(kB, kSetIdleReq).size(), 1u);
    ASSERT_TRUE(WaitSent(kA, kSetActiveReq, 2));
    ASSERT_TRUE(WaitSent(kB, kSetActiveReq, 2));
    EXPECT_EQ(SentTo(kA, kSetActiveReq)[1].Word(0), 0u);  // side B, to both
    EXPECT_EQ(SentTo(kB, kSetActiveReq)[1].Word(0), 0u);
    EXPECT_EQ(duplex_->Active(), kB);
    Ack(kB, kOkAck, kSetActiveReq);
    EXPECT_TRUE(HasLine("side B is active")) << Lines();
}

// A failure report (CTI_ERROR_ACK to set-active) fails over at once, and only from the
// active side; other error answers do not.
TEST_F(DuplexTest, AFailureReportOfTheActiveSideFailsOverAtOnce) {
    StartPair();
    Ack(kB, kErrorAck, kSetActiveReq);  // the standby's refusal
    Ack(kA, kErrorAck, kSetIdleReq);    // a refused idle is no failure report
    EXPECT_TRUE(HasLine("side B refused the standby")) << Lines();
    Ack(kA, kErrorAck, kSetActiveReq);
    ASSERT_TRUE(WaitSent(kB, kSetActiveReq, 2)) << Lines();
    EXPECT_TRUE(HasLine("side A reported a failure")) << Lines();
    EXPECT_EQ(SentTo(kA, kSetIdleReq).size(), 2u);
    EXPECT_EQ(SentTo(kB, kSetIdleReq).size(), 1u);
    EXPECT_EQ(SentTo(kB, kSetActiveReq)[1].Word(0), 0u);
    // The idled side stands by; the new active side's report fails back.
    Ack(kA, kOkAck, kSetActiveReq);
    EXPECT_TRUE(HasLine("side A is standby")) << Lines();
    Ack(kB, kErrorAck, kSetActiveReq);
    ASSERT_TRUE(WaitSent(kB, kSetIdleReq, 2)) << Lines();
    ASSERT_TRUE(WaitSent(kA, kSetActiveReq, 3)) << Lines();
    EXPECT_EQ(SentTo(kA, kSetActiveReq)[2].Word(0), 1u);
    EXPECT_EQ(duplex_->Active(), kA);
}

// A side that never answers its set-idle is asked again each retry, then left out.
TEST_F(DuplexTest, ASideThatNeverAnswersIsRetriedThenLeftOut) {
    Make();
    duplex_->Start();
    ASSERT_TRUE(WaitSent(kA, kSetIdleReq, 1));
    Ack(kA, kOkAck, kSetIdleReq);
    ASSERT_TRUE(WaitSent(kB, kSetIdleReq, 1));
    AdvanceTo(3000);
    ASSERT_TRUE(WaitSent(kA, kSetActiveReq, 1)) << Lines();
    EXPECT_EQ(SentTo(kA, kSetIdleReq).size(), 1u);
    EXPECT_EQ(SentTo(kB, kSetIdleReq).size(), 3u);
    EXPECT_TRUE(HasLine("side B did not answer the set-idle")) << Lines();
}

// Whatever a peer writes on the link, a frame never promises more than an OPC message.
TEST(DuplexLinkFrame, LengthsAreBoundedBothWays) {
    struct Case {
        size_t length;
        bool fits;
    };
    for (const Case c : {Case{0, true}, Case{4, true}, Case{kMaxPayload, true},
                         Case{kMaxPayload + 1, false}, Case{0xFFFF, false}}) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> frame;
        EXPECT_EQ(AppendLinkFrame(frame, 28, std::vector<uint8_t>(c.length, 7)), c.fits);
        EXPECT_EQ(frame.size(), c.fits ? kLinkHeader + c.length : 0u);
        uint8_t header[kLinkHeader] = {28};
        plat::StoreLE16(header + 1, static_cast<uint16_t>(c.length));
        uint8_t type = 0;
        size_t length = 99;
        EXPECT_EQ(ReadLinkHeader(header, &type, &length), c.fits);
        if (c.fits) {
            EXPECT_EQ(type, 28);
            EXPECT_EQ(length, c.length);
            EXPECT_TRUE(std::equal(frame.begin(), frame.begin() + kLinkHeader, header));
        }
    }
}

// Over a real loopback socket: whole messages both ways (a full-size one arrives whole),
// and a header that promises more than an OPC message breaks the link.
TEST(DuplexLinkSocket, CarriesWholeMessagesAndDropsALyingPeer) {
    DuplexLink controller, side;
    uint16_t port = 0;
    for (int i = 0; i < 5 && !port; ++i) {
        const uint16_t p = testsupport::FreePort();
        if (controller.Listen(p)) port = p;
    }
    ASSERT_NE(port, 0);
    bool accepted = false;
    std::thread acceptor([&] { accepted = controller.Accept(); });
    ASSERT_TRUE(side.Connect(port, 100, 10));
    acceptor.join();
    ASSERT_TRUE(accepted);
    EXPECT_FALSE(side.Send(5, std::vector<uint8_t>(kMaxPayload + 1, 1)));  // never leaves
    const std::vector<uint8_t> full(kMaxPayload, 0xA5);
    ASSERT_TRUE(side.Send(28, full));
    ASSERT_TRUE(side.Send(7, {}));
    ASSERT_TRUE(controller.Send(2, {1, 2, 3, 4}));
    uint8_t type = 0;
    std::vector<uint8_t> payload;
    ASSERT_TRUE(controller.Receive(&type, &payload));
    EXPECT_EQ(type, 28);
    EXPECT_EQ(payload, full);
    ASSERT_TRUE(controller.Receive(&type, &payload));
    EXPECT_EQ(type, 7);
    EXPECT_TRUE(payload.empty());
    ASSERT_TRUE(side.Receive(&type, &payload));
    EXPECT_EQ(type, 2);
    EXPECT_EQ(payload, (std::vector<uint8_t>{1, 2, 3, 4}));

    // A peer that writes its own header: 0xFFFF bytes promised.
    const int raw = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(raw, 0);
    std::thread again([&] { accepted = controller.Accept(); });
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    again.join();
    ASSERT_TRUE(accepted);
    const uint8_t lying[] = {28, 0xFF, 0xFF, 0, 0, 0, 0};
    ASSERT_EQ(::send(raw, lying, sizeof lying, 0), static_cast<ssize_t>(sizeof lying));
    EXPECT_FALSE(controller.Receive(&type, &payload));
    EXPECT_FALSE(controller.Send(2, {}));  // the broken link takes nothing more
    ::close(raw);
}

}  // namespace
}  // namespace opcpeer
