// The stand-in OPC's behaviour behind its MDS link: answers, script rules, scripted events,
// set-idle / set-active with their acknowledgements, waits and sleeps on the fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peers/opc/opc_standin.h"
#include "peers/opc/opc_wire.h"
#include "tests/support/fake_clock.h"

namespace opcpeer {
namespace {

struct Sent {
    uint8_t destination;
    uint8_t type;
    std::vector<uint8_t> payload;
};

class StandInTest : public testsupport::FakeClockTest {
protected:
    StandIn opc_{[this](uint8_t d, uint8_t t, const std::vector<uint8_t>& p) {
                     std::lock_guard<std::mutex> g(mu_);
                     sent_.push_back({d, t, p});
                     return true;
                 },
                 [this](const std::string& line) {
                     std::lock_guard<std::mutex> g(mu_);
                     lines_.push_back(line);
                 },
                 10};
    std::mutex mu_;
    std::vector<Sent> sent_;
    std::vector<std::string> lines_;

    bool HasLine(const std::string& prefix) {
        std::lock_guard<std::mutex> g(mu_);
        for (const auto& l : lines_)
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }
    std::string Lines() {
        std::lock_guard<std::mutex> g(mu_);
        std::string all;
        for (const auto& l : lines_) all += l + "\n";
        return all;
    }
    static std::vector<uint8_t> Payload(uint32_t serverNumber, const std::vector<uint8_t>& body) {
        std::vector<uint8_t> p;
        PutLE32(p, 0, serverNumber);
        p.insert(p.end(), body.begin(), body.end());
        return p;
    }
    static CstaRequest Request(uint16_t type, uint32_t invoke = 0x44) {
        CstaRequest r;
        r.peripheralID = r.headerPeripheralID = 5000;
        r.eventType = type;
        r.invokeID = invoke;
        r.clientInvokeID = invoke + 1;
        r.uniqueInstanceID = "desk1";
        const RequestType* t = FindRequestType(type);
        r.opc.assign(t ? t->privateDataSize : 0, 0);
        return r;
    }
    void Deliver(uint8_t sender, const CstaRequest& r) {
        const std::vector<uint8_t> p = Payload(3, WriteRequest(r));
        opc_.OnMessage(sender, kCstaMessage, p.data(), p.size());
    }
    // The last message sent, read as a CSTA event.
    CstaEvent LastEvent(uint8_t* destination = nullptr) {
        std::lock_guard<std::mutex> g(mu_);
        CstaEvent e;
        EXPECT_FALSE(sent_.empty());
        if (sent_.empty()) return e;
        const Sent& s = sent_.back();
        EXPECT_EQ(s.type, kCstaMessage);
        if (destination) *destination = s.destination;
        std::string error;
        EXPECT_TRUE(ReadEvent(s.payload.data() + 4, s.payload.size() - 4, &e, &error)) << error;
        return e;
    }
    size_t SentCount() {
        std::lock_guard<std::mutex> g(mu_);
        return sent_.size();
    }
    void Run(const std::string& script) {
        std::istringstream in(script);
        opc_.RunScript(in);
    }
};

TEST_F(StandInTest, AnswersARequestToItsSender) {
    Deliver(12, Request(23, 0x44));
    uint8_t to = 0;
    CstaEvent e = LastEvent(&to);
    EXPECT_EQ(to, 12);
    EXPECT_EQ(e.eventClass, 5);
    EXPECT_EQ(e.eventType, 24);
    EXPECT_EQ(LoadLE32(&e.body[0]), 0x44u);
    EXPECT_EQ(LoadLE32(&e.body[4]), 0x45u);
    EXPECT_EQ(e.strings[0], "desk1");
    {
        // The answer carries the ServerNumber word of the request.
        std::lock_guard<std::mutex> g(mu_);
        EXPECT_EQ(LoadLE32(sent_.back().payload.data()), 3u);
    }
    EXPECT_TRUE(HasLine("parlo-opc: recv CTI_CSTA_MESSAGE from 12 server 3 class 8 type 23 "
                        "CSTA_MAKE_CALL invoke 0x44 client 0x45 periph 5000 call -1 dev \"\" "
                        "uii \"desk1\" raw 0 opc 2764"))
        << Lines();
    EXPECT_TRUE(HasLine("parlo-opc: send CTI_CSTA_MESSAGE to 12 class 5 type 24 invoke 0x44 "
                        "client 0x45 call 1000"))
        << Lines();
}

TEST_F(StandInTest, UnreadableRequestsGetNoAnswerAndTheNextIsAnswered) {
    std::vector<uint8_t> bad = Payload(3, WriteRequest(Request(21)));
    PutLE32(bad, 4 + 208, 363);
    opc_.OnMessage(12, kCstaMessage, bad.data(), bad.size());
    CstaRequest wrongSize = Request(21);
    wrongSize.opc.resize(8);
    Deliver(12, wrongSize);
    const uint8_t tiny[2] = {0, 0};
    opc_.OnMessage(12, kCstaMessage, tiny, sizeof tiny);
    EXPECT_EQ(SentCount(), 0u);
    EXPECT_TRUE(HasLine("parlo-opc: error: CTI_CSTA_MESSAGE from 12: event part length 363 is "
                        "not 364 (no answer)"))
        << Lines();
    EXPECT_TRUE(HasLine("parlo-opc: error: CTI_CSTA_MESSAGE from 12: CSTA_HOLD_CALL carries 8 "
                        "bytes of private data, not 4 (no answer)"))
        << Lines();
    EXPECT_TRUE(HasLine("parlo-opc: error: CTI_CSTA_MESSAGE from 12: 2 bytes")) << Lines();
    Deliver(12, Request(21));
    EXPECT_EQ(LastEvent().eventType, 22);
}

TEST_F(StandInTest, ScriptRulesChooseTheAnswer) {
    Run("answer 21 failure error=12 pec=99\n"
        "answer 37 u32@64=5 u8@68=3 text64@0=\"dev 9\" opclen=0\n"
        "answer 23 none\n");
    Deliver(12, Request(21, 0x70));
    CstaEvent e = LastEvent();
    EXPECT_EQ(e.eventType, 53);
    EXPECT_EQ(LoadLE32(&e.body[0]), 0x70u);
    EXPECT_EQ(LoadLE32(&e.body[4]), 0x71u);
    EXPECT_EQ(LoadLE32(&e.body[8]), 12u);
    ASSERT_EQ(e.opc.size(), 4u);
    EXPECT_EQ(LoadLE32(&e.opc[0]), 99u);
    EXPECT_TRUE(HasLine("parlo-opc: send CTI_CSTA_MESSAGE to 12 class 5 type 53 invoke 0x70 "
                        "client 0x71 error 12 pec 99"))
        << Lines();

    Deliver(12, Request(37));
    e = LastEvent();
    EXPECT_EQ(e.eventType, 38);
    ASSERT_EQ(e.body.size(), 8u + 72u);
    EXPECT_EQ(GetText(&e.body[8], 64), "dev 9");
    EXPECT_EQ(LoadLE32(&e.body[8 + 64]), 5u);
    EXPECT_EQ(e.body[8 + 68], 3);
    EXPECT_TRUE(e.opc.empty());

    const size_t before = SentCount();
    Deliver(12, Request(23));
    EXPECT_EQ(SentCount(), before);
    EXPECT_TRUE(HasLine("parlo-opc: no answer to type 23 by rule"));
    Run("answer 23 default\n");
    Deliver(12, Request(23));
    EXPECT_EQ(LastEvent().eventType, 24);

    // A type the server never sends gets a universal failure.
    Deliver(12, Request(5));
    EXPECT_EQ(LastEvent().eventType, 53);
}

TEST_F(StandInTest, ScriptedEventsCarryTheChosenFields) {
    Run("event 4 service-initiated periph=5000 call=9 devtype=1 s2=1001 si.coccall=88 "
        "si.cocdev=1001 si.cocdevtype=1 si.corr=abcde si.agext=4711 si.sg=3 si.key1=150\n");
    uint8_t to = 0;
    CstaEvent e = LastEvent(&to);
    EXPECT_EQ(to, 10);
    EXPECT_EQ(e.eventClass, 4);
    EXPECT_EQ(e.eventType, 66);
    EXPECT_EQ(e.callID, 9u);
    EXPECT_EQ(e.connectionDeviceIDType, 1u);
    EXPECT_EQ(e.strings[1], "1001");
    EXPECT_EQ(e.headerPeripheralID, 5000);
    EXPECT_EQ(e.body.size(), 4u);  // the monitor id alone
    ASSERT_EQ(e.opc.size(), 124u);
    EXPECT_EQ(LoadLE32(&e.opc[0]), 3u);
    EXPECT_EQ(LoadLE32(&e.opc[4]), 0xFFFFFFFFu);
    EXPECT_EQ(LoadLE32(&e.opc[16]), 88u);
    EXPECT_EQ(GetText(&e.opc[20], 64), "1001");
    EXPECT_EQ(LoadLE32(&e.opc[84]), 1u);
    EXPECT_EQ(GetText(&e.opc[88], 16), "4711");
    EXPECT_EQ(LoadLE32(&e.opc[108]), 150u);
    size_t at = 116;
    std::string corr;
    ASSERT_TRUE(ReadPadded(e.opc.data(), e.opc.size(), &at, &corr));
    EXPECT_EQ(corr, "abcde");

    Run("event 4 recording-target-info rti.corr=c1 rti.s2=x rti.addr=10.0.0.1 rti.term=T1 "
        "rti.mfdname=M rti.guid=G rti.cluster=K rti.uri=sip:r rti.err=\"no disk\" rti.rtype=1\n");
    e = LastEvent();
    EXPECT_EQ(e.eventType, 208);
    EXPECT_EQ(LoadLE32(&e.opc[16]), 1u);
    EXPECT_EQ(LoadLE32(&e.opc[20]), 0x7FFFFFFFu);
    at = 24;
    const char* expected[] = {"c1", "x", "10.0.0.1", "T1", "M", "G", "K", "sip:r", "no disk"};
    for (const char* s : expected) {
        std::string got;
        ASSERT_TRUE(ReadPadded(e.opc.data(), e.opc.size(), &at, &got));
        EXPECT_EQ(got, s);
    }

    Run("event 6 private opc.u32@0=8 opc.u32@4=77 raw.u32@0=5 u32@4=6 text64@8=1001 s1=U\n");
    e = LastEvent();
    EXPECT_EQ(e.eventClass, 6);
    EXPECT_EQ(e.eventType, 93);
    ASSERT_EQ(e.opc.size(), 8u);
    EXPECT_EQ(LoadLE32(&e.opc[0]), 8u);
    EXPECT_EQ(LoadLE32(&e.opc[4]), 77u);
    ASSERT_EQ(e.raw.size(), 4u);
    ASSERT_EQ(e.body.size(), 72u);
    EXPECT_EQ(LoadLE32(&e.body[4]), 6u);
    EXPECT_EQ(GetText(&e.body[8], 64), "1001");
    EXPECT_EQ(e.strings[0], "U");

    Run("event 4 delivered call=5\nevent 4 established\nevent 4 call-cleared\n");
    EXPECT_EQ(LastEvent().eventType, 54);
    EXPECT_TRUE(HasLine("parlo-opc: send CTI_CSTA_MESSAGE to 10 class 4 type 57 call 5"));
    EXPECT_TRUE(HasLine("parlo-opc: send CTI_CSTA_MESSAGE to 10 class 4 type 59"));
}

TEST_F(StandInTest, SetIdleAndSetActiveThenWaitForTheirAcknowledgements) {
    Run("set-idle server=7 echo=5 pg=2 time=100 text=hello\nset-active side=0 hb=30\n");
    ASSERT_EQ(SentCount(), 2u);
    {
        std::lock_guard<std::mutex> g(mu_);
        const std::vector<uint8_t>& p = sent_[0].payload;
        EXPECT_EQ(sent_[0].destination, 10);
        EXPECT_EQ(sent_[0].type, kSetIdleReq);
        ASSERT_EQ(p.size(), 4u + 20u + 8u);
        const uint32_t words[] = {7, 1, 5, 2, 8503, 100};
        for (size_t i = 0; i < 6; ++i) EXPECT_EQ(LoadLE32(&p[4 * i]), words[i]) << i;
        EXPECT_EQ(LoadLE16(&p[24]), 5u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[26]), 5), "hello");
        const std::vector<uint8_t>& a = sent_[1].payload;
        EXPECT_EQ(sent_[1].type, kSetActiveReq);
        EXPECT_EQ(LoadLE32(&a[0]), 1u);  // the default ServerNumber word
        EXPECT_EQ(LoadLE32(&a[4]), 0u);
        EXPECT_EQ(LoadLE32(&a[8]), 30u);
    }
    // Later messages of OPC's own carry the number of the set-idle request.
    Run("event 4 delivered\n");
    {
        std::lock_guard<std::mutex> g(mu_);
        EXPECT_EQ(LoadLE32(sent_.back().payload.data()), 7u);
    }
    // An acknowledgement that came before the wait is taken by it.
    std::vector<uint8_t> ack;
    const uint32_t words[] = {7, 1, 0, 5};
    for (size_t i = 0; i < 4; ++i) PutLE32(ack, 4 * i, words[i]);
    opc_.OnMessage(10, kOkAck, ack.data(), ack.size());
    EXPECT_TRUE(HasLine("parlo-opc: recv CTI_OK_ACK from 10 server 7 side 1 answers 0 "
                        "(CTI_SET_IDLE_REQ) value 5"))
        << Lines();
    Run("wait ok-ack\n");
    EXPECT_TRUE(HasLine("parlo-opc: wait ok-ack done"));

    // One that comes while the script waits ends the wait.
    std::thread waiter([&] { Run("wait ack timeout=5000\n"); });
    ASSERT_TRUE(clock_.AwaitSleepers(1));
    PutLE32(ack, 8, 1);
    opc_.OnMessage(10, kErrorAck, ack.data(), ack.size());
    waiter.join();
    EXPECT_TRUE(HasLine("parlo-opc: wait ack done")) << Lines();
    EXPECT_TRUE(HasLine("parlo-opc: recv CTI_ERROR_ACK from 10 server 7 side 1 answers 1 "
                        "(CTI_SET_ACTIVE_REQ) value 5"));

    // None comes: the wait ends at its time-out on the clock.
    std::thread late([&] { Run("wait ok-ack timeout=3000\n"); });
    EXPECT_EQ(clock_.AdvanceToNextDeadline(), 3000);
    late.join();
    EXPECT_TRUE(HasLine("parlo-opc: wait ok-ack timed out after 3000 ms")) << Lines();

    // A short acknowledgement is an error line, not a crash.
    opc_.OnMessage(10, kOkAck, ack.data(), 8);
    EXPECT_TRUE(HasLine("parlo-opc: error: CTI_OK_ACK from 10: acknowledgement shorter"));
}

// The server-control messages as laid out on the wire: time, configuration tables 11, 3, 0,
// 10 and raw records, the two maintenance messages; each carries the set-idle's number.
TEST_F(StandInTest, ServerControlMessagesHaveTheirLayouts) {
    Run("set-idle server=9\n"
        "time value=1700000000\n"
        "config 11 peripheral=5000/30/2/1,5001/17/0/0\n"
        "config 3 op=3 update=1 var=7/40/0/1/1/0/user.lang\n"
        "config 0\n"
        "config 10 raw=0102030405060708\n"
        "config 6 num=4 raw=aabb\n"
        "maintenance value=12 side=0\n"
        "maintenance-in-progress word=5 accepted=0 side=1\n");
    ASSERT_EQ(SentCount(), 9u) << Lines();
    std::lock_guard<std::mutex> g(mu_);
    auto words = [&](size_t i, std::vector<uint32_t> want) {
        const std::vector<uint8_t>& p = sent_[i].payload;
        ASSERT_GE(p.size(), 4 * want.size()) << i;
        for (size_t w = 0; w < want.size(); ++w) EXPECT_EQ(LoadLE32(&p[4 * w]), want[w]) << i << "/" << w;
    };
    EXPECT_EQ(sent_[1].type, kTimeNotification);
    EXPECT_EQ(sent_[1].payload.size(), 8u);
    words(1, {9, 1700000000});
    EXPECT_EQ(sent_[2].type, kConfigureReq);
    EXPECT_EQ(sent_[2].payload.size(), 4u + 16u + 32u);
    words(2, {9, 1, 11, 2, 0, 5000, 30, 2, 1, 5001, 17, 0, 0});
    // The name: u16 length, characters, NUL, padded to (length + 6) & ~3 from the length.
    const std::vector<uint8_t>& ecc = sent_[3].payload;
    words(3, {9, 3, 3, 1, 1, 7, 40, 0, 1, 1, 0});
    ASSERT_EQ(ecc.size(), 4u + 16u + 24u + ((9 + 6) & ~3u));
    EXPECT_EQ(LoadLE16(&ecc[44]), 9u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&ecc[46]), 9), "user.lang");
    EXPECT_EQ(ecc[55], 0);
    words(4, {9, 1, 0, 0, 0});
    EXPECT_EQ(sent_[4].payload.size(), 20u);
    words(5, {9, 1, 10, 1, 0, 0x04030201, 0x08070605});
    words(6, {9, 1, 6, 4, 0});
    EXPECT_EQ(sent_[6].payload.size(), 22u);
    EXPECT_EQ(sent_[7].type, kMaintenanceRequest);
    EXPECT_EQ(sent_[7].payload.size(), 12u);
    words(7, {9, 12, 0});
    EXPECT_EQ(sent_[8].type, kMaintenanceInProgress);
    EXPECT_EQ(sent_[8].payload.size(), 16u);
    words(8, {9, 5, 0, 1});
}

// Heartbeats go out at their period on the clock until a script stops them; the server's
// active heartbeat and its other requests are printed by name.
TEST_F(StandInTest, HeartbeatsFollowTheClockAndStop) {
    Run("set-idle server=4\nheartbeat 2000\n");
    ASSERT_EQ(SentCount(), 1u);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(clock_.AwaitSleepers(1));
        EXPECT_EQ(clock_.AdvanceToNextDeadline(), 2000);
    }
    ASSERT_TRUE(clock_.AwaitSleepers(1));
    Run("heartbeat stop\n");
    ASSERT_EQ(SentCount(), 3u);
    {
        std::lock_guard<std::mutex> g(mu_);
        EXPECT_EQ(sent_[2].type, kHeartBeat);
        EXPECT_EQ(sent_[2].payload, std::vector<uint8_t>({4, 0, 0, 0}));
    }
    EXPECT_TRUE(HasLine("parlo-opc: send CTI_HEART_BEAT_EVENT to 10 server 4 count 2")) << Lines();
    EXPECT_TRUE(HasLine("parlo-opc: heartbeat stopped"));
    const std::vector<uint8_t> hb = {4, 0, 0, 0};
    opc_.OnMessage(10, kActiveHeartBeat, hb.data(), hb.size());
    EXPECT_TRUE(HasLine("parlo-opc: recv CTI_ACTIVE_HEART_BEAT_EVENT from 10 server 4 length 0"));
    Run("wait active-hb timeout=0\n");
    EXPECT_TRUE(HasLine("parlo-opc: wait active-hb done")) << Lines();
    const std::vector<uint8_t> call = {4, 0, 0, 0, 7, 0, 0, 0, 8, 0, 0, 0};
    opc_.OnMessage(10, 30, call.data(), call.size());
    EXPECT_TRUE(HasLine("parlo-opc: recv CTI_SET_CALL_DATA_REQ from 10 server 4 length 8 words 7 8"))
        << Lines();
}

// Bad control lines are refused with a line and send nothing.
TEST_F(StandInTest, BadControlLinesSendNothing) {
    Run("heartbeat 0\nheartbeat soon\nconfig\nconfig 11 peripheral=1/2/3\nconfig 3 var=1/2/x\n"
        "config 6 raw=abc\ntime when=3\nmaintenance accepted=1\n");
    EXPECT_EQ(SentCount(), 0u);
    EXPECT_TRUE(HasLine("parlo-opc: script line 8: unknown key accepted")) << Lines();
    EXPECT_TRUE(HasLine("parlo-opc: script line 6: odd hex in raw")) << Lines();
}

TEST_F(StandInTest, SleepFollowsTheClock) {
    std::thread sleeper([&] { Run("sleep 750\n"); });
    EXPECT_EQ(clock_.AdvanceToNextDeadline(), 750);
    sleeper.join();
    EXPECT_TRUE(HasLine("parlo-opc: script done"));
}

TEST_F(StandInTest, BadLinesArePrintedAndTheScriptGoesOn) {
    const char* bad[] = {
        "frobnicate",
        "answer",
        "answer 21 failure colour=1",
        "answer 21 u32@x=1",
        "answer 37 u32@1301=1",
        "event 4",
        "event 4 nonsense",
        "event 4 57 s19=a",
        "event 4 57 u32@1301=1",
        "event 4 57 si.corr=a rti.corr=b",
        "event 4 57 opclen=2873",
        "set-idle side=x",
        "wait",
        "wait ok-ack timeout=soon",
        "sleep",
        "set-idle text=\"open",
    };
    std::string script;
    for (const char* b : bad) script += std::string(b) + "\n";
    script += "event 4 delivered\nexit\nevent 4 established\n";
    std::istringstream in(script);
    EXPECT_FALSE(opc_.RunScript(in));
    for (size_t i = 0; i < std::size(bad); ++i)
        EXPECT_TRUE(HasLine("parlo-opc: script line " + std::to_string(i + 1) + ": "))
            << bad[i] << "\n" << Lines();
    // The good line after them ran; nothing after "exit" did.
    ASSERT_EQ(SentCount(), 1u);
    EXPECT_EQ(LastEvent().eventType, 57);
    EXPECT_TRUE(HasLine("parlo-opc: exit"));
}


// What the server must cope with: an answer under an InvokeID it never issued (it finds the
// session by the unique instance ID) and a confirmation of another type.
TEST_F(StandInTest, AnswersCanCarryAnotherInvokeIDOrAnotherType) {
    Run("answer 21 invoke=0x7777\nanswer 3 as=28\nanswer 7 failure error=13 pec=99 invoke=0x7778\n");
    Deliver(12, Request(21, 0x44));
    CstaEvent e = LastEvent();
    EXPECT_EQ(e.eventType, 22);
    EXPECT_EQ(LoadLE32(&e.body[0]), 0x7777u);
    EXPECT_EQ(LoadLE32(&e.body[4]), 0x45u);
    EXPECT_EQ(e.strings[0], "desk1");

    Deliver(12, Request(3, 0x50));
    e = LastEvent();
    EXPECT_EQ(e.eventClass, 5);
    EXPECT_EQ(e.eventType, 28);
    EXPECT_EQ(LoadLE32(&e.body[0]), 0x50u);

    Deliver(12, Request(7, 0x60));
    e = LastEvent();
    EXPECT_EQ(e.eventType, kUniversalFailure);
    EXPECT_EQ(LoadLE32(&e.body[0]), 0x7778u);
    EXPECT_EQ(LoadLE32(&e.body[8]), 13u);
    EXPECT_EQ(LoadLE32(&e.opc[0]), 99u);

    // The default answer again once the rule is reset.
    Run("answer 21 default\n");
    Deliver(12, Request(21, 0x70));
    EXPECT_EQ(LoadLE32(&LastEvent().body[0]), 0x70u);
}

TEST_F(StandInTest, SnapshotAndQueryAnswersByName) {
    Run("answer 120 parties=1000/4002/0/3,1000/5551/1/2 calltype=5 calltypeid=77 "
        "coc=1001/4003/0 recording=2 guid=g-1 tessaly=t-1 services=4,9\n"
        "answer 122 entries=1000/4002/0/3/1,1001/4002.22/0/-/0,1002/4002/0/2+4/2\n"
        "answer 37 lines=0/2,11/15,1/3,2/3,3/3,4/3,5/3,6/3,7/3,8/3,9/3,10/3\n");

    Deliver(12, Request(120, 0x10));
    CstaEvent e = LastEvent();
    ASSERT_EQ(e.eventType, 121);
    EXPECT_EQ(LoadLE32(&e.body[8]), 2u);   // Count
    EXPECT_EQ(LoadLE32(&e.body[12]), 0u);  // the entries' offset in the raw data
    ASSERT_EQ(e.raw.size(), 2u * 148);
    ConnectionID party = GetConnection(e.raw.data() + 148 + 72);
    EXPECT_EQ(party.callID, 1000u);
    EXPECT_EQ(party.deviceID, "5551");
    EXPECT_EQ(party.deviceIDType, 1u);
    EXPECT_EQ(LoadLE32(e.raw.data() + 148 + 144), 2u);
    ASSERT_EQ(e.opc.size(), 320u);
    EXPECT_EQ(LoadLE32(&e.opc[0]), 5u);
    EXPECT_EQ(LoadLE32(&e.opc[4]), 77u);
    EXPECT_EQ(GetConnection(&e.opc[8]).deviceID, "4003");
    EXPECT_EQ(LoadLE32(&e.opc[80]), 2u);
    EXPECT_EQ(GetText(&e.opc[84], 64), "g-1");
    EXPECT_EQ(GetText(&e.opc[148], 40), "t-1");
    EXPECT_EQ(LoadLE32(&e.opc[188]), 2u);
    EXPECT_EQ(LoadLE32(&e.opc[196]), 9u);

    Deliver(12, Request(122, 0x11));
    e = LastEvent();
    ASSERT_EQ(e.eventType, 123);
    ASSERT_EQ(LoadLE32(&e.body[8]), 3u);
    ASSERT_EQ(e.raw.size(), 3u * 84 + 3 * 4);
    // Entry 1: no state; entry 2: a list of two after entry 0's one.
    EXPECT_EQ(GetConnection(e.raw.data() + 84).deviceID, "4002.22");
    EXPECT_EQ(LoadLE32(e.raw.data() + 84 + 72), 0u);
    EXPECT_EQ(LoadLE32(e.raw.data() + 168 + 72), 2u);
    const uint32_t list = LoadLE32(e.raw.data() + 168 + 76);
    ASSERT_LE(list + 8, e.raw.size());
    EXPECT_EQ(LoadLE32(e.raw.data() + list), 2u);
    EXPECT_EQ(LoadLE32(e.raw.data() + list + 4), 4u);
    EXPECT_EQ(LoadLE32(e.raw.data() + LoadLE32(e.raw.data() + 76)), 3u);
    EXPECT_EQ(LoadLE32(e.raw.data() + 168 + 80), 2u);  // SMStatus

    // Twelve lines: NumLines says 12, the ten slots hold the first ten.
    Deliver(12, Request(37, 0x12));
    e = LastEvent();
    ASSERT_EQ(e.eventType, 38);
    ASSERT_EQ(e.opc.size(), 960u);
    EXPECT_EQ(LoadLE32(&e.opc[4]), 12u);
    EXPECT_EQ(LoadLE32(&e.opc[44 + 4]), 11u);
    EXPECT_EQ(LoadLE32(&e.opc[84 + 4]), 15u);
    EXPECT_EQ(LoadLE32(&e.opc[44 + 36]), 8u);

    // A form belongs to its request type; a bad list sets nothing.
    Run("answer 21 lines=1/2\nanswer 122 entries=1/2\nanswer 120 parties=x/4002/0/3\n");
    EXPECT_TRUE(HasLine("parlo-opc: script line 1: the form does not belong")) << Lines();
    EXPECT_TRUE(HasLine("parlo-opc: script line 2: bad entries")) << Lines();
    EXPECT_TRUE(HasLine("parlo-opc: script line 3: bad parties")) << Lines();
}

// Position 17 of what the stand-in sends is an ECC block: empty by default (the same four
// bytes as an empty string), the chosen BINDATA with NUL fill, or a stated length of its own.
TEST_F(StandInTest, EventsCarryTheEccBlockAtPositionSeventeen) {
    Run("event 4 delivered s16=cv10 s18=last\nevent 4 delivered ecc=0700000041313700 s18=last\n"
        "event 4 delivered ecc=07000000413100 ecclen=9\nevent 4 delivered s17=x\n");
    std::vector<std::vector<uint8_t>> sent;
    {
        std::lock_guard<std::mutex> g(mu_);
        for (const Sent& m : sent_) sent.push_back(m.payload);
    }
    ASSERT_EQ(sent.size(), 3u) << Lines();
    CstaEvent e;
    std::string error;
    ASSERT_TRUE(ReadEvent(sent[0].data() + 4, sent[0].size() - 4, &e, &error)) << error;
    EXPECT_TRUE(e.ecc.empty());
    EXPECT_EQ(e.strings[15], "cv10");
    EXPECT_EQ(e.strings[17], "last");
    ASSERT_TRUE(ReadEvent(sent[1].data() + 4, sent[1].size() - 4, &e, &error)) << error;
    EXPECT_EQ(e.ecc, (std::vector<uint8_t>{7, 0, 0, 0, 'A', '1', '7', 0}));
    EXPECT_EQ(e.strings[17], "last");
    // The block on the wire: the length, 8 bytes, no fill; after it string 18.
    const std::vector<uint8_t>& b = sent[1];
    const std::vector<uint8_t> block = {8, 0, 0, 0, 7, 0, 0, 0, 'A', '1', '7', 0, 4, 0, 'l', 'a'};
    EXPECT_NE(std::search(b.begin(), b.end(), block.begin(), block.end()), b.end());
    // A stated length past the bytes is refused by the reader: what the server must drop.
    EXPECT_FALSE(ReadEvent(sent[2].data() + 4, sent[2].size() - 4, &e, &error));
    EXPECT_TRUE(HasLine("parlo-opc: script line 4: position 17 is the ECC block")) << Lines();
}

// Every request is printed field by field; the tables are checked against the server's
// writers in opcmsg_fields_cross_test.cpp, this checks the line's form and its bounds.
TEST_F(StandInTest, RequestsArePrintedFieldByField) {
    Run("config 3 var=7/40/0/0/1/0/Account\n");
    CstaRequest r = Request(23, 0x44);
    PutText(r.body, 0, 64, "4002");
    PutText(r.body, 64, 64, "5551");
    r.opc[32] = 0xFF;                       // CallVariable1: the one-byte text 0xFF
    PutLE16(r.opc, 442, 3);                 // UserToUser length 3
    PutLE16(r.opc, 444, 0xFFFF);
    r.opc[446] = 'a', r.opc[447] = 0, r.opc[448] = 'b';
    const uint8_t ecc[] = {7, 0, 0, 0, 'x', 0};
    PutLE32(r.opc, 760, sizeof ecc);
    std::copy(ecc, ecc + sizeof ecc, r.opc.begin() + 764);
    Deliver(12, r);
    EXPECT_TRUE(HasLine("parlo-opc: csta CSTA_MAKE_CALL invoke 0x44 CallingDevice=\"4002\" "
                        "CalledDevice=\"5551\" CallPlacement=0 "))
        << Lines();
    const std::string all = Lines();
    EXPECT_NE(all.find(" CallVariable1=\"\\xff\" CallVariable2=\"\" "), std::string::npos) << all;
    EXPECT_NE(all.find(" UserToUserLength=3 UserToUserMark=0xffff UserToUser=610062 "), std::string::npos);
    EXPECT_NE(all.find(" ECCSize=6 ECC.Account=\"x\"\n"), std::string::npos) << all;

    // A BINDATA that does not parse is shown in hex; a size past the block reads no further.
    PutLE32(r.opc, 760, 3);
    Deliver(12, r);
    EXPECT_NE(Lines().find(" ECCSize=3 ECC=070000\n"), std::string::npos) << Lines();
    PutLE32(r.opc, 760, 0xFFFFFFFF);
    Deliver(12, r);
    EXPECT_NE(Lines().find(" ECCSize=4294967295 ECC=0700"), std::string::npos) << Lines();
}

}  // namespace
}  // namespace opcpeer
