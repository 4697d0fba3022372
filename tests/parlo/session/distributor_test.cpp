// The output side's per-recipient decisions: which lists a distribution walks, the event-mask,
// peripheral, standby and stopping filters, the agent-event change filter, the tailoring of
// one encoded frame per recipient, and the fan-out loop's copy/original rule.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ctimsg/basemsg.h"
#include "ctimsg/eccdefs.h"
#include "ctimsg/eccelement.h"
#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "ctimsg/msgtypes.h"
#include "parlo/session/distributor.h"
#include "parlo/session/fanout.h"
#include "parlo/opclink/mdsio.h"
#include "parlo/session/outfilter.h"
#include "parlo/session/teamdirectory.h"
#include "parlo/session/transport.h"
#include "tests/ctimsg/trace_capture.h"
#include "tests/parlo/server/outmsg_fixture.h"
#include "tests/parlo/server/session_fixture.h"
#include "tests/support/wait.h"

namespace {

using E = RecipientList;

// ---- messages ----

// A valid CALL_DATA_UPDATE_EVENT on PeripheralID 5000 with all ten call variables, wrap-up
// data and two ECC scalars ("user.note" defined with 8 bytes, "user.acct" with 40).
std::unique_ptr<CallDataUpdateEventMSG> MakeCallEvent(const std::string& cv = "cv") {
    (void)AddECCVariableDefinition(1, "user.acct", 40, 0, 0);
    (void)AddECCVariableDefinition(2, "user.note", 8, 0, 0);
    auto msg = std::make_unique<CallDataUpdateEventMSG>(false, false);
    msg->SetUINT(elementid::CTIPeripheralID, 5000);
    msg->SetSTRING(elementid::ConnectionDeviceID, "1001");
    msg->SetSTRING(elementid::NewConnectionDeviceID, "1001");
    for (int n = 0; n < 10; ++n)
        msg->SetSTRING(elementid::CallVariable1 + n, cv + std::to_string(n + 1));
    msg->SetSTRING(elementid::CallWrapupData, "wrap");
    EXPECT_EQ(msg->SetECC(elementid::ExpandedCallContxt, "user.acct", "A-1"), 0);
    EXPECT_EQ(msg->SetECC(elementid::ExpandedCallContxt, "user.note", "n"), 0);
    msg->SetUSHORT(elementid::NumNamedVariables, 2);
    msg->SetUSHORT(elementid::NumNamedArrays, 0);
    outtest::FillRequired(*msg);
    EXPECT_EQ(msg->ValidateToSend(24), 0) << ElementName(static_cast<int32_t>(msg->GetFailingElement()));
    return msg;
}

std::unique_ptr<TransportMSG> Encode(BaseMSG& msg, uint32_t version = 24) {
    auto frame = std::make_unique<TransportMSG>();
    EXPECT_EQ(EncodeFrame(*frame, msg, version, ALL_CALL_VARIABLES, nullptr, 0), 1);
    return frame;
}

std::vector<uint8_t> Bytes(TransportMSG& frame) {
    return std::vector<uint8_t>(frame.Buffer(), frame.Buffer() + frame.Length());
}

BaseMSGPtr Decode(TransportMSG& frame, uint32_t version) {
    BaseMSGPtr msg = BaseMSG::Decode(frame.Buffer(), frame.Length(), version);
    EXPECT_NE(msg, nullptr);
    if (msg) {
        EXPECT_EQ(msg->GetStatus(), 0u);
    }
    return msg;
}

std::string ECCValue(BaseMSG& msg, const std::string& name) {
    std::string value;
    if (!msg.GetECC(elementid::ExpandedCallContxt, name, value)) return "<absent>";
    return value;
}

// ---- recipient choice ----

TEST(DistributionChoiceTest, ListsFollowTheDistributionTable) {
    const std::vector<std::vector<RecipientList>> expected = {
        {E::Explicit, E::AllEvents},  // 0 DistributeListAndAllEvents
        {E::AllEvents},               // 1 DistributeAllEvents
        {E::Explicit},                // 2 DistributeList
        {E::AllSessions},             // 3 DistributeAllSessions
        {E::ClientMonitor},           // 4
        {E::AllEvents, E::PeripheralMonitor},  // 5
        {E::Supervisor},              // 6
        {E::Server},                  // 7
        {E::WEXA},                    // 8
        {},                           // 9 DistributeNone
        {E::AllTaskEvents},           // 10
        {E::TaskMonitor},             // 11
    };
    for (int d = 0; d < static_cast<int>(expected.size()); ++d) {
        auto lists = DistributionLists(d);
        EXPECT_EQ(std::vector<RecipientList>(lists.begin(), lists.end()), expected[d]) << "distribution " << d;
    }
    EXPECT_TRUE(DistributionLists(-1).empty());
    EXPECT_TRUE(DistributionLists(12).empty());
    EXPECT_EQ(ServiceBitOfList(E::AllEvents), 0x10u);
    EXPECT_EQ(ServiceBitOfList(E::PeripheralMonitor), 0x20u);
    EXPECT_EQ(ServiceBitOfList(E::WEXA), 0x200u);
    EXPECT_EQ(ServiceBitOfList(E::TaskMonitor), 0x1000u);
    EXPECT_EQ(ServiceBitOfList(E::Explicit), 0u);
}

// ---- filters ----

TEST(EventMaskTest, CallEventsByTypeBitAgentEventsByStateBit) {
    const uint32_t delivered = ctitype::CallDeliveredEventMSG;
    const uint32_t deliveredBit = BaseMSG::GetCallEventMaskBit(static_cast<int32_t>(delivered));
    const uint32_t availableBit = BaseMSG::GetAgentStateMaskBit(3);
    ASSERT_NE(deliveredBit, 0u);
    ASSERT_NE(availableBit, 0u);
    struct Case {
        uint32_t callMask, stateMask, type;
        int32_t state;
        bool passes;
    } cases[] = {
        {deliveredBit, 0, delivered, kNoAgentState, true},
        {~deliveredBit, ~0u, delivered, kNoAgentState, false},
        {0, availableBit, ctitype::AgentStateEventMSG, 3, true},
        {~0u, ~availableBit, ctitype::AgentStateEventMSG, 3, false},
        {0, 0, ctitype::AgentStateEventMSG, kNoAgentState, true},  // state 9 has no bit
        {0, 0, ctitype::SystemEventMSG, kNoAgentState, true},      // other categories pass
        {0, 0, ctitype::BeginTaskEventMSG, kNoAgentState, true},   // task events pass too
    };
    for (const Case& c : cases) {
        RecipientView view;
        view.callMsgMask = c.callMask;
        view.agentStateMask = c.stateMask;
        EXPECT_EQ(PassesEventMasks(view, c.type, c.state), c.passes) << "type " << c.type;
    }
}

TEST(EventMaskTest, AgentStateEventFiltersByItsSkillGroupState) {
    AgentStateEventMSG msg;
    msg.SetUSHORT(elementid::SkillGroupState, 3);
    EXPECT_EQ(DistributionAgentState(msg), 3);
    CallClearedEventMSG other;
    EXPECT_EQ(DistributionAgentState(other), kNoAgentState);
}

TEST(SendFilterTest, PeripheralStandbyAndStoppingFilters) {
    auto call = MakeCallEvent();  // PeripheralID 5000
    FailureEventMSG failure;
    HeartbeatConfMSG heartbeat;
    ClientSessionClosedEventMSG closed;
    SystemEventMSG noPeripheral;
    struct Case {
        const char* what;
        uint32_t peripheral, version, services, state;
        BaseMSG* msg;
        bool stopping, passes;
    } cases[] = {
        {"bound to the event's peripheral", 5000, 24, 0x10, 2, call.get(), false, true},
        {"bound to another peripheral", 5001, 24, 0x10, 2, call.get(), false, false},
        {"bound to every peripheral", kAnyPeripheral, 24, 0x10, 2, call.get(), false, true},
        {"binding ignored below version 11", 5001, 10, 0x10, 2, call.get(), false, true},
        {"binding ignored without ALL_EVENTS", 5001, 24, 0x01, 2, call.get(), false, true},
        {"a class without PeripheralID passes", 5001, 24, 0x10, 2, &noPeripheral, false, true},
        {"standby gets FAILURE_EVENT", kAnyPeripheral, 24, 0x10, 6, &failure, false, true},
        {"standby gets no call event", kAnyPeripheral, 24, 0x10, 6, call.get(), false, false},
        {"stopping withholds FAILURE_EVENT", kAnyPeripheral, 24, 0x10, 2, &failure, true, false},
        {"stopping sends HEARTBEAT_CONF", kAnyPeripheral, 24, 0x10, 2, &heartbeat, true, true},
        {"stopping sends CLIENT_SESSION_CLOSED", kAnyPeripheral, 24, 0x10, 2, &closed, true, true},
    };
    for (const Case& c : cases) {
        RecipientView view;
        view.peripheralID = c.peripheral;
        view.version = c.version;
        view.serviceMask = c.services;
        view.state = c.state;
        EXPECT_EQ(PassesSendFilters(view, *c.msg, c.stopping), c.passes) << c.what;
    }
}

TEST(AgentEventFilterTest, RepeatsAreWithheldOnlyWhenNothingChanged) {
    // One agent's events in order; each row: SkillGroupState, AgentState, reason, availability,
    // the agent's current reason code, and whether the event counts as changed.
    struct Step {
        uint16_t sgState, state, reason;
        uint32_t availability;
        uint16_t current;
        bool changed;
    } steps[] = {
        {1, 1, 0, 0, 0, true},        // logout is always a change
        {3, 3, 0, 1, 0, true},        // new state
        {3, 3, 999, 1, 0, false},     // 999 repeating the state
        {3, 3, 7, 1, 7, false},       // same state, availability and reason
        {3, 3, 8, 1, 7, true},        // same state, other reason than the agent's
        {3, 3, 50020, 1, 50020, true},  // 50020 is always passed on
        {3, 3, 0, 2, 0, true},        // availability changed
        {2, 2, 999, 2, 0, true},      // 999 with a new state is a change
        {0, 0, 999, 2, 0, true},      // login always
    };
    AgentEventMemory memory;
    int i = 0;
    for (const Step& s : steps) {
        EXPECT_EQ(AgentEventChanged(memory, s.sgState, s.state, s.reason, s.availability, s.current != s.reason),
                  s.changed)
            << "step " << i;
        ++i;
    }
    EXPECT_EQ(memory.lastState, 0);
}

// ---- tailoring ----

// The application's setting (the master's host) allows UTF-8 unless a test says otherwise.
class TailorTest : public srvtest::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        master_ = std::make_unique<sesstest::TestMaster>();
        master_->utf8 = true;
    }
    void TearDown() override {
        master_.reset();
        ServerTest::TearDown();
    }
    std::unique_ptr<sesstest::TestMaster> master_;
};

TEST_F(TailorTest, ReEncodesOnlyForWhatTheRecipientNeeds) {
    auto msg = MakeCallEvent();
    const ECCSelection none;
    const ECCSelection both = {{1, "user.acct", 40, 0, 0}, {2, "user.note", 8, 0, 0}};
    const ECCSelection acctOnly = {{1, "user.acct", 40, 0, 0}};
    struct Case {
        const char* what;
        uint32_t version, cvMask;
        const ECCSelection* vars;
        bool changed, cv3, acct, note;
    } cases[] = {
        {"same version and masks", 24, 0x3FF, nullptr, false, true, true, true},
        {"older version", 15, 0x3FF, nullptr, true, true, true, true},
        {"mask 0x3FB hides CallVariable3", 24, 0x3FB, nullptr, true, false, true, true},
        {"empty registration hides every ECC variable", 24, 0x3FF, &none, true, true, false, false},
        {"registration of all names keeps the frame", 24, 0x3FF, &both, false, true, true, true},
        {"registration of one name", 24, 0x3FF, &acctOnly, true, true, true, false},
    };
    auto original = Encode(*msg);
    const auto originalBytes = Bytes(*original);
    for (const Case& c : cases) {
        auto frame = Encode(*msg);
        FrameStamp stamp{msg->GetMsgType(), 24, 0};
        ASSERT_EQ(TailorMessageForClient(*frame, stamp, c.version, *msg, c.cvMask, c.vars, 0, false, false), 1);
        EXPECT_EQ(Bytes(*frame) != originalBytes, c.changed) << c.what;
        EXPECT_EQ(stamp.version, c.version) << c.what;
        auto got = Decode(*frame, c.version);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->Present(elementid::CallVariable3) != 0, c.cv3) << c.what;
        EXPECT_EQ(got->Present(elementid::CallVariable4) != 0, true) << c.what;
        EXPECT_EQ(ECCValue(*got, "user.acct") != "<absent>", c.acct) << c.what;
        EXPECT_EQ(ECCValue(*got, "user.note") != "<absent>", c.note) << c.what;
    }
}

TEST_F(TailorTest, MaskOnlyReEncodesCallCarryingTypes) {
    // CALL_DELIVERED_EVENT carries call variables but is not one of the call-carrying types
    // the mask is applied to, so an unmasked frame goes out at the same version.
    CallDeliveredEventMSG msg(false, false);
    msg.SetSTRING(elementid::ConnectionDeviceID, "1001");
    msg.SetSTRING(elementid::CallVariable3, "three");
    msg.SetUSHORT(elementid::EventCause, 0xFFFF);
    outtest::FillRequired(msg);
    ASSERT_EQ(msg.ValidateToSend(24), 0) << ElementName(static_cast<int32_t>(msg.GetFailingElement()));
    auto frame = Encode(msg);
    const auto before = Bytes(*frame);
    FrameStamp stamp{msg.GetMsgType(), 24, 0};
    ASSERT_EQ(TailorMessageForClient(*frame, stamp, 24, msg, 0x3FB, nullptr, 0, false, false), 1);
    EXPECT_EQ(Bytes(*frame), before);
}

TEST_F(TailorTest, TraceNamesTheReason) {
    ctimsgtest::TraceCapture capture;
    auto msg = MakeCallEvent();
    auto frame = Encode(*msg);
    FrameStamp stamp{msg->GetMsgType(), 24, 0};
    ASSERT_EQ(TailorMessageForClient(*frame, stamp, 24, *msg, 0x3F3, nullptr, 0, true, false), 1);
    EXPECT_NE(capture.Take().find("TailorMessageForClient - reEncode message to mask variable 3"), std::string::npos);
    ASSERT_EQ(TailorMessageForClient(*frame, stamp, 20, *msg, 0x3FF, nullptr, 0, true, false), 1);
    EXPECT_NE(capture.Take().find("TailorMessageForClient - reEncode message for version 20"), std::string::npos);
}

TEST_F(TailorTest, TressikClientGetsUTF8AndTheMessageKeepsItsText) {
    auto msg = MakeCallEvent("caf\xe9");
    EXPECT_EQ(msg->SetECC(elementid::ExpandedCallContxt, "user.acct", "Z\xfcrich"), 0);
    msg->SetSTRING(elementid::CallWrapupData, "fa\xe7" "ade");
    ASSERT_EQ(msg->ValidateToSend(24), 0);
    auto plain = Encode(*msg);

    auto frame = Encode(*msg);
    FrameStamp stamp{msg->GetMsgType(), 24, 0};
    ASSERT_EQ(TailorMessageForClient(*frame, stamp, 24, *msg, 0x3FF, nullptr, 0, false, true), 1);
    auto got = Decode(*frame, 24);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got->GetSTRING(elementid::CallVariable1), "caf\xc3\xa9" "1");
    EXPECT_STREQ(got->GetSTRING(elementid::CallWrapupData), "fa\xc3\xa7" "ade");
    EXPECT_EQ(ECCValue(*got, "user.acct"), "Z\xc3\xbcrich");
    EXPECT_EQ(ECCValue(*got, "user.note"), "n");

    // The shared message is back to its own bytes for the next recipient.
    EXPECT_STREQ(msg->GetSTRING(elementid::CallVariable1), "caf\xe9" "1");
    EXPECT_STREQ(msg->GetSTRING(elementid::CallWrapupData), "fa\xe7" "ade");
    EXPECT_EQ(ECCValue(*msg, "user.acct"), "Z\xfcrich");
    auto next = Encode(*msg);
    EXPECT_EQ(Bytes(*next), Bytes(*plain));
}

TEST_F(TailorTest, NoConversionWhenTheApplicationDisablesIt) {
    master_.reset();  // no application: no conversion
    auto msg0 = MakeCallEvent("caf\xe9");
    auto frame0 = Encode(*msg0);
    const auto before0 = Bytes(*frame0);
    FrameStamp stamp0{msg0->GetMsgType(), 24, 0};
    ASSERT_EQ(TailorMessageForClient(*frame0, stamp0, 24, *msg0, 0x3FF, nullptr, 0, false, true), 1);
    EXPECT_EQ(Bytes(*frame0), before0);
    master_ = std::make_unique<sesstest::TestMaster>();
    master_->utf8 = false;
    auto msg = MakeCallEvent("caf\xe9");
    auto frame = Encode(*msg);
    const auto before = Bytes(*frame);
    FrameStamp stamp{msg->GetMsgType(), 24, 0};
    ASSERT_EQ(TailorMessageForClient(*frame, stamp, 24, *msg, 0x3FF, nullptr, 0, false, true), 1);
    EXPECT_EQ(Bytes(*frame), before);
}

TEST_F(TailorTest, ConvertedCallVariableIsCutToItsFieldAtACharacterBoundary) {
    auto msg = MakeCallEvent();
    // 40 bytes in the local code page, 79 in UTF-8: the field keeps 40, and the 40th byte
    // would split a character, so 39 go out.
    msg->SetSTRING(elementid::CallVariable2, "x" + std::string(39, '\xe9'));
    ASSERT_EQ(msg->ValidateToSend(24), 0);
    auto frame = Encode(*msg);
    FrameStamp stamp{msg->GetMsgType(), 24, 0};
    ASSERT_EQ(TailorMessageForClient(*frame, stamp, 24, *msg, 0x3FF, nullptr, 0, false, true), 1);
    auto got = Decode(*frame, 24);
    ASSERT_NE(got, nullptr);
    std::string expected = "x";
    for (int i = 0; i < 19; ++i) expected += "\xc3\xa9";
    EXPECT_EQ(std::string(got->GetSTRING(elementid::CallVariable2)), expected);
}

TEST_F(TailorTest, ConvertedECCValueIsCutToItsDefinedLengthAtACharacterBoundary) {
    ctimsgtest::TraceCapture capture;
    auto msg = MakeCallEvent();
    // "user.note" holds 8 bytes: seven 'e' with an acute accent are 14 bytes in UTF-8.
    EXPECT_EQ(msg->SetECC(elementid::ExpandedCallContxt, "user.note", "\xe9\xe9\xe9\xe9\xe9\xe9\xe9"), 0);
    ASSERT_EQ(msg->ValidateToSend(24), 0);
    auto frame = Encode(*msg);
    FrameStamp stamp{msg->GetMsgType(), 24, 0};
    ASSERT_EQ(TailorMessageForClient(*frame, stamp, 24, *msg, 0x3FF, nullptr, 0, false, true), 1);
    auto got = Decode(*frame, 24);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(ECCValue(*got, "user.note"), "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9");
    EXPECT_NE(capture.Take().find("SessionMSG::ConvertNameValueListToUF8 : Truncating ECC variable"),
              std::string::npos);
    EXPECT_EQ(ECCValue(*msg, "user.note"), "\xe9\xe9\xe9\xe9\xe9\xe9\xe9");
}

// ---- the fan-out loop ----

class RecordingSink : public FanoutSink {
public:
    struct Sent {
        uint32_t sessionID;
        const TransportMSG* frame;
        std::vector<uint8_t> bytes;
        uint32_t version;
    };
    std::unique_ptr<TransportMSG> CopyFrame(const TransportMSG& frame) override {
        ++copies;
        if (failCopies) return nullptr;
        auto copy = std::make_unique<TransportMSG>();
        EXPECT_EQ(copy->InitBuffer(frame.Length(), const_cast<TransportMSG&>(frame).Buffer()), 1);
        return copy;
    }
    int ReplaceFrame(TransportMSG& frame, const uint8_t* data, int32_t length, uint32_t) override {
        return frame.InitBuffer(length, data);
    }
    void SendFrame(const Candidate& to, std::unique_ptr<TransportMSG> frame, const FrameStamp& stamp,
                   BaseMSG&) override {
        sent.push_back({to.view.sessionID, frame.get(), Bytes(*frame), stamp.version});
    }
    // As the distributor's sinks: traced, and the next recipient's turn.
    bool RecipientFailed(const Candidate& to, bool copying) override { return TraceRecipientFailure(to, copying); }
    int copies = 0;
    bool failCopies = false;
    std::vector<Sent> sent;
};

Candidate Make(uint32_t id, uint32_t version, bool fromAllEvents = true, bool tressik = false) {
    Candidate c;
    c.view.sessionID = id;
    c.view.version = version;
    c.view.callMsgMask = ~0u;
    c.view.tressik = tressik;
    c.fromAllEvents = fromAllEvents;
    return c;
}

TEST(FanOutTest, CopiesForAllButTheLastCandidateWhichTakesTheOriginal) {
    auto msg = MakeCallEvent();
    auto frame = Encode(*msg);
    const TransportMSG* original = frame.get();
    const auto originalBytes = Bytes(*frame);
    const std::vector<Candidate> candidates = {Make(1, 24), Make(2, 15), Make(3, 24)};
    RecordingSink sink;
    EXPECT_EQ(FanOut(std::move(frame), {msg->GetMsgType(), 24, 0}, *msg, candidates, false, sink), 3);
    ASSERT_EQ(sink.sent.size(), 3u);
    EXPECT_EQ(sink.copies, 2);
    EXPECT_EQ(sink.sent[2].frame, original);
    EXPECT_EQ(sink.sent[0].bytes, originalBytes);
    EXPECT_NE(sink.sent[1].bytes, originalBytes);  // the version-15 one is re-encoded
    EXPECT_EQ(sink.sent[1].version, 15u);
    EXPECT_EQ(sink.sent[2].bytes, originalBytes);
}

TEST(FanOutTest, MinimumVersionGatesAndASkippedLastCandidateDropsTheOriginal) {
    StandbyActiveEventMSG msg;  // from version 24
    ASSERT_EQ(msg.ValidateToSend(24), 0);
    auto frame = Encode(msg);
    const std::vector<Candidate> candidates = {Make(1, 24), Make(2, 24), Make(3, 20)};
    RecordingSink sink;
    EXPECT_EQ(FanOut(std::move(frame), {msg.GetMsgType(), 24, 0}, msg, candidates, false, sink), 2);
    ASSERT_EQ(sink.sent.size(), 2u);
    EXPECT_EQ(sink.sent[0].sessionID, 1u);
    EXPECT_EQ(sink.sent[1].sessionID, 2u);
    EXPECT_EQ(sink.copies, 2);  // both got copies; the original was freed (ASan checks the leak)
}

TEST(FanOutTest, AFailedCopySkipsOnlyThatRecipient) {
    ctimsgtest::TraceCapture capture;
    auto msg = MakeCallEvent();
    auto frame = Encode(*msg);
    const std::vector<Candidate> candidates = {Make(1, 24), Make(2, 24)};
    RecordingSink sink;
    sink.failCopies = true;
    EXPECT_EQ(FanOut(std::move(frame), {msg->GetMsgType(), 24, 0}, *msg, candidates, false, sink), 1);
    ASSERT_EQ(sink.sent.size(), 1u);
    EXPECT_EQ(sink.sent[0].sessionID, 2u);
    EXPECT_NE(capture.Take().find("SessionProtocol::WriteMSG: msgP not found"), std::string::npos);
}

TEST_F(TailorTest, UTF8OnlyForTressikClientsOfTheAllEventsList) {
    auto msg = MakeCallEvent("caf\xe9");
    auto frame = Encode(*msg);
    const auto originalBytes = Bytes(*frame);
    const std::vector<Candidate> candidates = {
        Make(1, 24, /*fromAllEvents=*/true, /*tressik=*/true),
        Make(2, 24, /*fromAllEvents=*/false, /*tressik=*/true),
        Make(3, 24, /*fromAllEvents=*/true, /*tressik=*/false),
    };
    RecordingSink sink;
    EXPECT_EQ(FanOut(std::move(frame), {msg->GetMsgType(), 24, 0}, *msg, candidates, false, sink), 3);
    ASSERT_EQ(sink.sent.size(), 3u);
    EXPECT_NE(sink.sent[0].bytes, originalBytes);
    EXPECT_EQ(sink.sent[1].bytes, originalBytes);
    EXPECT_EQ(sink.sent[2].bytes, originalBytes);
}

}  // namespace

// ---- the distributor over real sessions ----

namespace {

using sesstest::Client;
using sesstest::OpenReq;
using sesstest::Received;

class DistributorTest : public sesstest::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        master_->utf8 = true;
    }
    // Opens c with the request; the session's ID.
    int32_t Open(Client& c, std::unique_ptr<OpenReqMSG> req, uint32_t version = 24) {
        if (!c.Send(*req, version)) {
            ADD_FAILURE() << "OPEN_REQ not sent: " << req->GetStatus() << " " << ElementName(static_cast<int32_t>(req->GetFailingElement()));
            return -1;
        }
        auto frame = TakeInput();
        if (!frame || frame->GetType() != OPEN_REQ) return -2;
        const auto id = static_cast<int32_t>(frame->SessionID());
        BaseMSGPtr decoded = frame->TakeDecoded();
        if (!decoded) return -3;
        BaseMSGPtr conf = CTIApplication::MakeOpenConf(*decoded);
        if (SessionProtocol::ConfirmOpen(id, *conf, frame->Stamp(), false) != 1) return -1;
        return c.Read(version).type == 4 ? id : -1;
    }
    static std::unique_ptr<OpenReqMSG> Req(uint32_t services, const char* clientID, uint32_t version = 24) {
        auto req = OpenReq(1, 30, services, clientID, version);
        // Older clients know fewer call events: ask for the one these tests send.
        if (version < 24) req->SetUINT(elementid::CallMsgMask, BaseMSG::GetCallEventMaskBit(25));
        return req;
    }
};

TEST_F(DistributorTest, EachRecipientGetsTheFrameItsVersionMasksAndCharacterSetCall) {
    OpenActive();
    Client tressik(Port()), old(Port()), masked(Port()), plain(Port());
    auto req = Req(0x10, "tressik");
    req->SetSTRING(elementid::ClientSignature, "Tressik");
    ASSERT_GT(Open(tressik, std::move(req)), 0);
    ASSERT_GT(Open(old, Req(0x10, "old", 15), 15), 0);
    const int32_t maskedID = Open(masked, Req(0x10, "masked"));
    ASSERT_GT(maskedID, 0);
    ASSERT_EQ(1, SessionProtocol::SetRegisteredCallVars(maskedID, 0x3FB));
    ASSERT_GT(Open(plain, Req(0x10, "plain")), 0);

    auto msg = MakeCallEvent("caf\xe9");
    ASSERT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, *msg, SessionProtocol::DistributeAllEvents));

    Received got = tressik.Read();
    ASSERT_EQ(25u, got.type);
    EXPECT_STREQ(got.msg->GetSTRING(elementid::CallVariable1), "caf\xc3\xa9" "1");
    got = old.Read(15);
    ASSERT_EQ(25u, got.type);
    EXPECT_STREQ(got.msg->GetSTRING(elementid::CallVariable1), "caf\xe9" "1");
    got = masked.Read();
    ASSERT_EQ(25u, got.type);
    EXPECT_EQ(0, got.msg->Present(elementid::CallVariable3));
    EXPECT_EQ(1, got.msg->Present(elementid::CallVariable4));
    // The last recipient takes the shared frame as it was encoded.
    got = plain.Read();
    ASSERT_EQ(25u, got.type);
    EXPECT_STREQ(got.msg->GetSTRING(elementid::CallVariable1), "caf\xe9" "1");
    EXPECT_EQ(1, got.msg->Present(elementid::CallVariable3));
}

// The distributor keeps each list's recipients from event to event: what a session changes
// (its call-variable mask here) and a session that joins count from the next event on, also
// while another thread keeps distributing.
TEST_F(DistributorTest, RecipientChangesCountFromTheNextEventAlsoDuringAFanOut) {
    OpenActive();
    Client changing(Port()), steady(Port());
    const int32_t changingID = Open(changing, Req(0x10, "changing"));
    ASSERT_GT(changingID, 0);
    ASSERT_GT(Open(steady, Req(0x10, "steady")), 0);
    auto msg = MakeCallEvent();
    ASSERT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, *msg, SessionProtocol::DistributeAllEvents));
    EXPECT_EQ(1, changing.Read().msg->Present(elementid::CallVariable3));
    EXPECT_EQ(1, steady.Read().msg->Present(elementid::CallVariable3));

    ASSERT_EQ(1, SessionProtocol::SetRegisteredCallVars(changingID, 0x3FB));
    Client late(Port());
    ASSERT_GT(Open(late, Req(0x10, "late")), 0);
    ASSERT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, *msg, SessionProtocol::DistributeAllEvents));
    EXPECT_EQ(0, changing.Read().msg->Present(elementid::CallVariable3));
    EXPECT_EQ(1, steady.Read().msg->Present(elementid::CallVariable3));
    EXPECT_EQ(1, late.Read().msg->Present(elementid::CallVariable3));

    // The mask flips while events go out: every frame arrives whole and in order, the
    // changing session's with or without the variable, the others' always with it.
    constexpr int kEvents = 200;
    std::thread distributing([] {
        for (int n = 0; n < kEvents; ++n) {
            auto event = MakeCallEvent("e" + std::to_string(n) + "-");
            EXPECT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, *event, SessionProtocol::DistributeAllEvents));
        }
    });
    std::thread flipping([changingID] {
        for (int n = 0; n < kEvents; ++n)
            EXPECT_EQ(1, SessionProtocol::SetRegisteredCallVars(changingID, n % 2 ? 0x3FF : 0x3FB));
    });
    for (int n = 0; n < kEvents; ++n) {
        const std::string first = "e" + std::to_string(n) + "-1";
        for (Client* c : {&changing, &steady, &late}) {
            Received got = c->Read();
            ASSERT_EQ(25u, got.type) << "event " << n;
            EXPECT_STREQ(got.msg->GetSTRING(elementid::CallVariable1), first.c_str());
            if (c != &changing) EXPECT_EQ(1, got.msg->Present(elementid::CallVariable3));
        }
    }
    distributing.join();
    flipping.join();
}

TEST_F(DistributorTest, AllSessionsReachesUnopenedConnectionsAndPeripheralBindingFilters) {
    OpenActive();
    Client unopened(Port()), bound(Port());
    auto req = Req(0x10, "bound");
    req->SetUINT(elementid::CTIPeripheralID, 5001);
    ASSERT_GT(Open(bound, std::move(req)), 0);
    // The unopened connection is a session once the poster has accepted it.
    ASSERT_TRUE(testsupport::WaitFor([] { return SessionProtocol::SessionsNow() == 2; }));

    // A connection without OPEN_REQ has no event masks yet: a message outside them reaches it.
    FailureEventMSG notice;
    notice.SetUINT(elementid::Status, 17);
    ASSERT_EQ(0, notice.ValidateToSend(24));
    ASSERT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, notice, SessionProtocol::DistributeAllSessions));
    auto for5000 = MakeCallEvent();  // PeripheralID 5000
    ASSERT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, *for5000, SessionProtocol::DistributeAllEvents));
    auto for5001 = MakeCallEvent("other");
    for5001->SetUINT(elementid::CTIPeripheralID, 5001);
    ASSERT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, *for5001, SessionProtocol::DistributeAllEvents));

    EXPECT_EQ(ctitype::FailureEventMSG, unopened.Read().type);
    EXPECT_EQ(ctitype::FailureEventMSG, bound.Read().type);
    Received got = bound.Read();  // the 5000 event was withheld
    ASSERT_EQ(25u, got.type);
    EXPECT_EQ(5001u, got.msg->GetUINT(elementid::CTIPeripheralID));
}

TEST_F(DistributorTest, AClientThatStopsReadingOverflowsAndFailsAlone) {
    registry_->SetDynamic(CTIRegistry::MaxQueueAllEventClient, 16);
    OpenActive();
    Client stalled(Port()), reader(Port());
    const int small = 4096;
    ASSERT_EQ(0, setsockopt(stalled.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small));
    const int32_t stalledID = Open(stalled, Req(0x10, "stalled"));
    ASSERT_GT(stalledID, 0);
    ASSERT_GT(Open(reader, Req(0x10, "reader")), 0);
    auto msg = MakeCallEvent(std::string(30, 'x'));
    bool overflowed = false;
    int sent = 0;
    // Socket buffers take some megabytes before the queue runs full.
    for (; sent < 20000 && !overflowed; ++sent) {
        ASSERT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, *msg, SessionProtocol::DistributeAllEvents));
        ASSERT_EQ(25u, reader.Read().type) << "event " << sent;
        for (const auto& e : srvtest::Events::Take())
            if (e.id == 0xA12EC009) overflowed = true;
    }
    ASSERT_TRUE(overflowed);
    auto failed = TakeInput();
    ASSERT_TRUE(failed);
    EXPECT_EQ(259u, failed->GetType());
    EXPECT_EQ(static_cast<uint32_t>(stalledID), failed->SessionID());
    // The reader goes on receiving.
    ASSERT_EQ(1, SessionProtocol::WriteMSG(nullptr, 0, *msg, SessionProtocol::DistributeAllEvents));
    EXPECT_EQ(25u, reader.Read().type);
}

TEST_F(DistributorTest, ClientMonitorIsToldOfEveryOtherOpenSession) {
    OpenActive();
    Client agent(Port()), recorder(Port()), monitor(Port());
    auto req = Req(0x01 | 0x04, "agent");
    req->SetSTRING(elementid::AgentExtension, "1001");
    req->SetSTRING(elementid::AgentID, "42");
    const int32_t agentID = Open(agent, std::move(req));
    ASSERT_GT(agentID, 0);
    const int32_t recorderID = Open(recorder, Req(0x10, "recorder"));
    ASSERT_GT(recorderID, 0);
    const int32_t monitorID = Open(monitor, Req(0x40, "monitor"));
    ASSERT_GT(monitorID, 0);
    std::vector<uint32_t> told;
    for (int i = 0; i < 2; ++i) {
        Received got = monitor.Read();
        ASSERT_EQ(99u, got.type);
        told.push_back(got.msg->GetUINT(elementid::SessionID));
        if (got.msg->GetUINT(elementid::SessionID) == static_cast<uint32_t>(recorderID)) {
            EXPECT_STREQ(got.msg->GetSTRING(elementid::ClientID), "recorder");
            EXPECT_EQ(0, got.msg->Present(elementid::AgentExtension));  // nothing of the agent's
        } else {
            EXPECT_STREQ(got.msg->GetSTRING(elementid::AgentExtension), "1001");
        }
    }
    std::sort(told.begin(), told.end());
    EXPECT_EQ(told, (std::vector<uint32_t>{static_cast<uint32_t>(agentID), static_cast<uint32_t>(recorderID)}));
    EXPECT_TRUE(monitor.Quiet(100));
}

TEST_F(DistributorTest, StandbyCapableClientsAreCountedAndReached) {
    OpenActive();
    Client capable(Port()), other(Port());
    ASSERT_GT(Open(capable, Req(0x10 | 0x2000000, "capable")), 0);
    ASSERT_GT(Open(other, Req(0x10, "other")), 0);
    ActiveMaintenanceReqMSG req;
    req.SetUINT(elementid::InvokeID, 77);
    EXPECT_EQ(1, SessionProtocol::SendToActiveStandbyClients(req));
    Received got = capable.Read();
    ASSERT_EQ(278u, got.type);
    EXPECT_EQ(77u, got.msg->GetUINT(elementid::InvokeID));
    FailureEventMSG invalid;  // Status missing
    EXPECT_EQ(-1, SessionProtocol::SendToActiveStandbyClients(invalid));
}

TEST_F(DistributorTest, ControlFailureOfTooMuchCallDataIsAFailureConf) {
    OpenActive();
    Client c(Port());
    const int32_t id = Open(c, Req(0x04, "desk"));
    ASSERT_GT(id, 0);
    struct Case {
        uint32_t failureCode;
        uint32_t type;
    } cases[] = {{297, 1}, {12, 35}};  // FAILURE_CONF 73, or CONTROL_FAILURE_CONF as it is
    for (const Case& k : cases) {
        {
            LockGuard<CTILockObject> master(master_->SessionLock(), "test");
            SessionProtocol* s = SessionProtocol::FindSession(static_cast<uint32_t>(id));
            ASSERT_NE(s, nullptr);
            LockGuard<CTILockObject> hold(s->SessionLock(), "test");
            EXPECT_EQ(1, s->SendControlFailureConfMSG(5, k.failureCode, 9));
        }
        Received got = c.Read();
        ASSERT_EQ(k.type, got.type) << k.failureCode;
        EXPECT_EQ(5u, got.msg->GetUINT(elementid::InvokeID));
        if (k.type == 1) {
            EXPECT_EQ(73u, got.Status());
        } else {
            EXPECT_EQ(k.failureCode, got.msg->GetUSHORT(elementid::FailureCode));
        }
    }
}

}  // namespace

namespace {

TEST_F(DistributorTest, AMaintenanceRequestReachesStandbyCapableClients) {
    OpenActive();
    Client capable(Port()), other(Port());
    ASSERT_GT(Open(capable, Req(0x10 | 0x2000000, "capable")), 0);
    ASSERT_GT(Open(other, Req(0x10, "other")), 0);
    uint8_t body[8];
    plat::StoreLE32(body, 0x77);    // the request's value
    plat::StoreLE32(body + 4, 1);   // this side (A)
    server_->ProcessMaintenanceModeRequest(body, sizeof body, 5);
    Received got = capable.Read();
    ASSERT_EQ(ctitype::ActiveMaintenanceReqMSG, got.type);
    EXPECT_TRUE(other.Quiet(100));
}

}  // namespace

namespace {

TEST_F(DistributorTest, RepeatedAgentStatesAreWithheldOnlyFromChangeFilterSessions) {
    master_->allClients = true;
    OpenActive();
    Client filtered(Port()), all(Port());
    ASSERT_GT(Open(filtered, Req(0x10 | 0x100000, "filtered")), 0);
    ASSERT_GT(Open(all, Req(0x10, "all")), 0);
    AgentEventMemory agent;
    auto send = [&](uint16_t state, uint16_t reason) {
        AgentStateEventMSG event;
        outtest::FillRequired(event);
        event.SetUINT(elementid::CTIPeripheralID, 5000);  // the sessions are bound to it
        event.SetUSHORT(elementid::SkillGroupState, state);
        event.SetUSHORT(elementid::CTIAgentState, state);
        event.SetUSHORT(elementid::EventReasonCode, reason);
        ASSERT_EQ(0, event.ValidateToSend(24)) << ElementName(static_cast<int32_t>(event.GetFailingElement()));
        EXPECT_EQ(1, FilterAgentEventToAllEventClients(agent, reason != 0, event));
    };
    send(3, 0);    // a new state: everybody
    send(3, 999);  // the same state again with 999: not for the change filter
    send(2, 0);    // a new state again
    for (uint16_t expected : {3, 3, 2}) {
        Received got = all.Read();
        ASSERT_EQ(ctitype::AgentStateEventMSG, got.type);
        EXPECT_EQ(expected, got.msg->GetUSHORT(elementid::SkillGroupState));
    }
    for (uint16_t expected : {3, 2}) {
        Received got = filtered.Read();
        ASSERT_EQ(ctitype::AgentStateEventMSG, got.type);
        EXPECT_EQ(expected, got.msg->GetUSHORT(elementid::SkillGroupState));
    }
}

// The agent event is encoded once: an older client must still get its own version's frame,
// and the last recipient the shared one.
TEST_F(DistributorTest, AgentEventRecipientsOfOtherVersionsGetTheirOwnFrames) {
    master_->allClients = true;
    OpenActive();
    Client old(Port()), current(Port());
    ASSERT_GT(Open(old, Req(0x10, "old", 15), 15), 0);
    ASSERT_GT(Open(current, Req(0x10, "current")), 0);
    AgentStateEventMSG event;
    outtest::FillRequired(event);
    event.SetUINT(elementid::CTIPeripheralID, 5000);
    event.SetUSHORT(elementid::SkillGroupState, 3);
    event.SetUINT(elementid::DepartmentID, 7);  // from version 19
    event.SetUSHORT(elementid::Direction, 1);   // from version 16
    event.SetSTRING(elementid::AgentID, "1001");
    ASSERT_EQ(0, event.ValidateToSend(24));
    AgentEventMemory agent;
    EXPECT_EQ(1, FilterAgentEventToAllEventClients(agent, false, event));
    Received got = old.Read(15);
    ASSERT_EQ(ctitype::AgentStateEventMSG, got.type);
    ASSERT_NE(got.msg, nullptr);
    EXPECT_STREQ(got.msg->GetSTRING(elementid::AgentID), "1001");
    EXPECT_EQ(3u, got.msg->GetUSHORT(elementid::SkillGroupState));
    got = current.Read();
    ASSERT_EQ(ctitype::AgentStateEventMSG, got.type);
    ASSERT_NE(got.msg, nullptr);
    EXPECT_STREQ(got.msg->GetSTRING(elementid::AgentID), "1001");
    EXPECT_EQ(7u, got.msg->GetUINT(elementid::DepartmentID));
    EXPECT_EQ(1u, got.msg->GetUSHORT(elementid::Direction));
}

}  // namespace
