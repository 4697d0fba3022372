// The call events OPC reports, over the real application and client sessions: each updates the
// model as the switch says and reports its CTI event to the all-events sessions; the branches
// that catch real faults (alerting parties, unknown answering devices, the end of a call by
// callAction, one call-cleared for several calls, the on-hold counter, agent greetings).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ctimsg/messages/messages.h"
#include "parlo/app/cstaeventnumbers.h"
#include "parlo/common/importmetrics.h"
#include "parlo/model/agent.h"
#include "parlo/model/call.h"
#include "parlo/model/csta.h"
#include "platform/perfcounters.h"
#include "tests/parlo/app/csta_app_fixture.h"

namespace {

using cstatest::AddDevice;
using cstatest::Bytes;
using cstatest::CSTAMessageBuilder;
using sesstest::Client;
using sesstest::Received;

constexpr uint32_t kPeriph = 5000;
constexpr uint32_t kNotKnown = 1;  // deviceIDStatus: no ID

struct Dev {
    std::string id;
    uint32_t status = 0;
};

// One unsolicited event: its main connection (callID.device), the devices that follow it, then
// LCS and cause.
CSTAMessageBuilder Event(uint16_t type, uint32_t callID, const std::string& mainDevice,
                         const std::vector<Dev>& devices, int32_t lcs, int32_t cause) {
    Bytes fields;
    opctest::AddConn(fields, callID, mainDevice, 0);
    for (const Dev& d : devices) AddDevice(fields, d.id, 0, d.status);
    opctest::Add32(fields, static_cast<uint32_t>(lcs));
    opctest::Add32(fields, static_cast<uint32_t>(cause));
    CSTAMessageBuilder m = cstatest::Unsolicited(type, fields);
    m.peripheralID = kPeriph;
    m.callID = callID;
    m.strings[1] = mainDevice;
    return m;
}

std::vector<uint32_t> Types(const std::vector<Received>& got) {
    std::vector<uint32_t> types;
    for (const Received& r : got) types.push_back(r.type);
    return types;
}

CTICSTAConnection* ConnectionAt(Call* call, const char* deviceID) {
    for (CTICSTAConnection* c = call->FirstConnection(); c != nullptr; c = call->NextConnection(c))
        if (c->m_Device != nullptr && c->m_Device->m_DeviceID == deviceID) return c;
    return nullptr;
}

int CountInState(Call* call, int32_t state) {
    int n = 0;
    for (CTICSTAConnection* c = call->FirstConnection(); c != nullptr; c = call->NextConnection(c))
        n += c->m_LocalConnectionState == state ? 1 : 0;
    return n;
}

class CallEventTest : public cstatest::CSTAAppTest {
protected:
    void TearDown() override {
        Call::RemovePeripheralCalls(kPeriph);
        Agent::RemoveAgent(kPeriph, nullptr);
        CSTAAppTest::TearDown();
    }
    // What the session received for the messages injected so far.
    std::vector<Received> Play(Client& c, const std::vector<CSTAMessageBuilder>& messages) {
        for (const CSTAMessageBuilder& m : messages) Inject(m);
        return Until(c, Fence());
    }
    static Call* NewCall(uint32_t callID, const char* source, int16_t peripheralType = 30) {
        return Call::Alloc(kPeriph, callID, 0, source, peripheralType, 1, 0, 0, 0);
    }
    // A call with an answered party at each device (the first one the caller).
    std::vector<CSTAMessageBuilder> Parties(uint32_t callID, const std::vector<std::string>& devices) {
        std::vector<CSTAMessageBuilder> out;
        out.push_back(Event(CSTAEventNumber("CSTA_ORIGINATED"), callID, devices[0], {{devices[0]}, {devices[1]}}, 3, 22));
        for (size_t i = 1; i < devices.size(); ++i)
            out.push_back(Event(CSTAEventNumber("CSTA_ESTABLISHED"), callID, devices[i],
                                {{devices[i]}, {devices[0]}, {devices[i]}, {""}}, 3, 22));
        return out;
    }
};

// The life of a call: each event changes the model as the switch did and reaches the
// all-events session, the call reported first.
TEST_F(CallEventTest, TheBasicLifeUpdatesTheModelAndReportsEveryEvent) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* call = NewCall(7001, "5001");

    struct Step {
        const char* what;
        CSTAMessageBuilder message;
        std::vector<uint32_t> events;
        void (*check)(Call* call);
    };
    CSTAMessageBuilder delivered =
        Event(CSTAEventNumber("CSTA_DELIVERED"), 7001, "6001", {{"6001"}, {"5001"}, {"6001"}, {"@@0000000000000001"}}, 2, 22);
    delivered.area[5] = 0;  // MultiAlert
    const std::vector<Step> steps = {
        {"originated", Event(CSTAEventNumber("CSTA_ORIGINATED"), 7001, "5001", {{"5001"}, {"6001"}}, 1, 22),
         {BEGIN_CALL_EVENT, CALL_ORIGINATED_EVENT},
         [](Call* call) {
             ASSERT_NE(nullptr, ConnectionAt(call, "5001"));
             EXPECT_EQ(3, ConnectionAt(call, "5001")->m_LocalConnectionState);  // connected once reported
         }},
        {"delivered", delivered, {CALL_DELIVERED_EVENT},
         [](Call* call) {
             ASSERT_NE(nullptr, ConnectionAt(call, "6001"));
             EXPECT_EQ(2, ConnectionAt(call, "6001")->m_LocalConnectionState);
             EXPECT_STREQ("6001", ConnectionAt(call, "6001")->m_SubjectDeviceID);
             EXPECT_EQ("6001", call->m_DestExtension);
         }},
        {"established", Event(CSTAEventNumber("CSTA_ESTABLISHED"), 7001, "6001", {{"6001"}, {"5001"}, {"6001"}, {""}}, 3, 22),
         {CALL_ESTABLISHED_EVENT},
         [](Call* call) {
             EXPECT_EQ(3, ConnectionAt(call, "6001")->m_LocalConnectionState);
             EXPECT_EQ("6001", call->m_DestDeviceID);
         }},
        {"held", Event(CSTAEventNumber("CSTA_HELD"), 7001, "6001", {{"6001"}}, 4, 22), {CALL_HELD_EVENT},
         [](Call* call) { EXPECT_EQ(4, ConnectionAt(call, "6001")->m_LocalConnectionState); }},
        {"retrieved", Event(CSTAEventNumber("CSTA_RETRIEVED"), 7001, "6001", {{"6001"}}, 3, 22), {CALL_RETREIVED_EVENT},
         [](Call* call) { EXPECT_EQ(3, ConnectionAt(call, "6001")->m_LocalConnectionState); }},
        {"network reached", Event(CSTAEventNumber("CSTA_NETWORK_REACHED"), 7001, "5001", {{"T100"}, {"8005551234"}}, 3, 22),
         {CALL_REACHED_NETWORK_EVENT}, [](Call*) {}},
        {"failed", Event(CSTAEventNumber("CSTA_FAILED"), 7001, "6002", {{"6002"}, {"6002"}}, 6, 22), {CALL_FAILED_EVENT},
         [](Call* call) { EXPECT_EQ(nullptr, ConnectionAt(call, "6002")); }},  // inactive: removed
        {"diverted", Event(CSTAEventNumber("CSTA_DIVERTED"), 7001, "6003", {{"6001"}, {"6003"}}, 2, 22), {CALL_DIVERTED_EVENT},
         [](Call* call) {
             EXPECT_EQ(nullptr, ConnectionAt(call, "6001"));
             ASSERT_NE(nullptr, ConnectionAt(call, "6003"));
             EXPECT_EQ(2, ConnectionAt(call, "6003")->m_LocalConnectionState);
         }},
        // The caller and the trunk stay: the call goes on.
        {"connection cleared", Event(CSTAEventNumber("CSTA_CONNECTION_CLEARED"), 7001, "6003", {{"6003"}}, 0, 16),
         {CALL_CONNECTION_CLEARED_EVENT},
         [](Call* call) {
             EXPECT_FALSE(call->IsCleared());
             EXPECT_EQ(nullptr, ConnectionAt(call, "6003"));
             EXPECT_EQ("connection cleared", call->LastEvent());
         }},
        // The parties left are cleared, each reported, then the call.
        {"call cleared", Event(CSTAEventNumber("CSTA_CALL_CLEARED"), 7001, "5001", {}, 0, 16),
         {CALL_CONNECTION_CLEARED_EVENT, CALL_CONNECTION_CLEARED_EVENT, CALL_CLEARED_EVENT},
         [](Call* call) {
             EXPECT_TRUE(call->IsCleared());
             EXPECT_FALSE(call->IsActive());
             EXPECT_EQ("cleared", call->LastEvent());
         }},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.message.eventType == CSTAEventNumber("CSTA_CONNECTION_CLEARED")) {
            CSTAMessageBuilder m = s.message;
            m.area[0] = 2;  // callAction unknown: the rule decides
            const auto got = Play(c, {m});
            EXPECT_EQ(s.events, Types(got));
        } else {
            const auto got = Play(c, {s.message});
            EXPECT_EQ(s.events, Types(got));
            if (!got.empty()) {
                BaseMSG& last = *got.back().msg;
                EXPECT_EQ(7001u, last.GetUINT(elementid::ConnectionCallID));
                EXPECT_STREQ(s.message.strings[1].c_str(), last.GetSTRING(elementid::ConnectionDeviceID));
            }
        }
        s.check(call);
    }
}

// The fields of the events as the parts of their bodies say, with the sanitised values.
TEST_F(CallEventTest, EventsCarryTheirFieldsWithSanitisedValues) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    NewCall(7002, "5001");
    CSTAMessageBuilder delivered =
        Event(CSTAEventNumber("CSTA_DELIVERED"), 7002, "6001", {{"6001"}, {"5001"}, {"", kNotKnown}, {"@@00000000000000ff"}}, 2, 1000);
    delivered.area[0] = 11;          // ServiceNumber
    delivered.area[2] = 1;           // Incoming
    delivered.area[3] = 4;           // Line
    delivered.area[4] = 12;          // LineType: out of range
    delivered.area[5] = 0;           // MultiAlert
    delivered.area[6] = 0x05000007;  // skill group 7, priority 5
    delivered.area[7] = 77;
    delivered.area[8] = 0xFFFFFFFF;  // no trunk pair
    const auto got = Play(c, {delivered});
    ASSERT_EQ(2u, got.size());
    BaseMSG& e = *got[1].msg;
    EXPECT_EQ(static_cast<uint32_t>(CALL_DELIVERED_EVENT), got[1].type);
    EXPECT_EQ(0xFFFFu, e.GetUSHORT(elementid::EventCause));
    EXPECT_EQ(3u, e.GetUSHORT(elementid::LineTypeField));
    EXPECT_EQ(4u, e.GetUSHORT(elementid::LineHandle));
    EXPECT_EQ(11u, e.GetUINT(elementid::ServiceNumber));
    EXPECT_EQ(7u, e.GetUINT(elementid::SkillGroupNumber));
    EXPECT_EQ(5u, e.GetUSHORT(elementid::SkillGroupPriority));
    EXPECT_EQ(77u, e.GetUINT(elementid::SkillGroupID));
    EXPECT_EQ(nullptr, e.GetSTRING(elementid::CalledDeviceID));
    EXPECT_EQ(0xFFFFu, e.GetUSHORT(elementid::CalledDeviceType));
    EXPECT_STREQ("@@00000000000000ff", e.GetSTRING(elementid::LastRedirectDeviceID));
    EXPECT_STREQ("6001", e.GetSTRING(elementid::AlertingDeviceID));
    EXPECT_EQ(2u, e.GetUSHORT(elementid::LocalConnectionState));
}

// MultiAlert keeps the earlier alerting parties; without it only the newest alerts.
TEST_F(CallEventTest, DeliveredKeepsEarlierAlertingPartiesOnlyWithMultiAlert) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    for (const auto& [multiAlert, alerting] : {std::pair{0u, 1}, std::pair{1u, 2}}) {
        SCOPED_TRACE(multiAlert);
        const uint32_t callID = 7100 + multiAlert;
        Call* call = NewCall(callID, "5001");
        std::vector<CSTAMessageBuilder> messages;
        for (const char* device : {"6001", "6002"}) {
            CSTAMessageBuilder m = Event(CSTAEventNumber("CSTA_DELIVERED"), callID, device, {{device}, {"5001"}, {device}, {""}}, 2, 22);
            m.area[5] = multiAlert;
            messages.push_back(m);
        }
        Play(c, messages);
        EXPECT_EQ(alerting, CountInState(call, 2));
        ASSERT_NE(nullptr, ConnectionAt(call, "6002"));
        EXPECT_EQ(2, ConnectionAt(call, "6002")->m_LocalConnectionState);
    }
}

// A delivered event at the caller in CS_INITIATE reports that state and leaves the caller
// connected.
TEST_F(CallEventTest, DeliveredAtAnInitiatingCallerReportsInitiateThenConnects) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* call = NewCall(7003, "5001");
    const auto got = Play(c, {Event(CSTAEventNumber("CSTA_DELIVERED"), 7003, "5001", {{"6001"}, {"5001"}, {"6001"}, {""}}, 1, 22)});
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(1u, got[1].msg->GetUSHORT(elementid::LocalConnectionState));
    ASSERT_NE(nullptr, ConnectionAt(call, "5001"));
    EXPECT_EQ(3, ConnectionAt(call, "5001")->m_LocalConnectionState);
    EXPECT_EQ("delivered/initiate", call->LastEvent());
}

// An answering device OPC cannot name, on a blind transfer's call: the source becomes the
// answering party. A held state on an established event is traced and reported as connected.
TEST_F(CallEventTest, EstablishedAtAnUnknownDeviceOnABlindCallMovesTheSource) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* call = NewCall(7004, "BLIND_CONNECTION");
    (void)srvtest::Events::Take();
    const auto got =
        Play(c, {Event(CSTAEventNumber("CSTA_ESTABLISHED"), 7004, "9001", {{"", kNotKnown}, {"", kNotKnown}, {"6001"}, {""}}, 4, 22)});
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(3u, got[1].msg->GetUSHORT(elementid::LocalConnectionState));
    EXPECT_EQ("9001", call->m_SrcDeviceID);
    CTICSTAConnection* source = call->FindConnectionByDeviceID(0, "9001", 1, true);
    ASSERT_NE(nullptr, source);
    EXPECT_EQ(1, source->m_ConnectionType);
    EXPECT_EQ(3, source->m_LocalConnectionState);
    EXPECT_EQ(1u, Traced("*** ProcessCallEstablishedEvent - Periph 5000 CallID 7004.9001(s) localConnectionInfo "
                         "CS_HOLD, expected CS_CONNECT ***"));
}

// Silent-monitor lines mark the party: the answering one as target, the initiating one as
// initiator. An extension of "-1" is a caller not known.
TEST_F(CallEventTest, SilentMonitorLinesAndAnUnknownAgentExtension) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* call = NewCall(7005, "5001", 5);
    CSTAMessageBuilder initiated = Event(CSTAEventNumber("CSTA_SERVICE_INITIATED"), 7005, "5001", {}, 1, 22);
    initiated.peripheralType = 5;
    initiated.area[1] = 9;  // LineType silent monitor
    initiated.area[6] = 0x0031'2D;  // AgentExtension "-1"
    const auto got = Play(c, {initiated});
    ASSERT_EQ(2u, got.size());
    BaseMSG& e = *got[1].msg;
    EXPECT_EQ(0xFFFFu, e.GetUSHORT(elementid::CallingDeviceType));
    EXPECT_EQ(nullptr, e.GetSTRING(elementid::CallingDeviceID));
    EXPECT_EQ(1u, e.GetUSHORT(elementid::LocalConnectionState));
    CTICSTAConnection* initiating = call->FindConnectionByDeviceID(0, "5001", 1, true);
    ASSERT_NE(nullptr, initiating);
    EXPECT_EQ(1, initiating->m_SilentMonitorStatus);
    EXPECT_EQ(3, initiating->m_LocalConnectionState);

    CSTAMessageBuilder established = Event(CSTAEventNumber("CSTA_ESTABLISHED"), 7005, "6001", {{"6001"}, {"5001"}, {"6001"}, {""}}, 3, 22);
    established.peripheralType = 5;
    established.area[1] = 9;
    Play(c, {established});
    ASSERT_NE(nullptr, ConnectionAt(call, "6001"));
    EXPECT_EQ(2, ConnectionAt(call, "6001")->m_SilentMonitorStatus);
}

// PARLO_ONHOLD_AGENTS follows held and retrieved of known calls, also while the server is not
// active; an unknown call moves nothing.
TEST_F(CallEventTest, HeldAndRetrievedMoveTheOnHoldCounter) {
    ImportMetrics::Instance().reset();
    ASSERT_TRUE(ImportMetrics::Instance().Init("callevt"));
    const auto onHold = [] {
        for (const auto& published : plat::ReadPublishedCounters("callevt"))
            for (const auto& counter : published.counters)
                if (counter.name == "PARLO_ONHOLD_AGENTS") return counter.value;
        return -999;
    };
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    NewCall(7006, "5001");
    struct Case {
        uint16_t event;
        uint32_t callID;
        bool active;
        int32_t expected;
    };
    for (const Case& k : {Case{CSTAEventNumber("CSTA_HELD"), 7006, true, 1}, Case{CSTAEventNumber("CSTA_HELD"), 4242, true, 1},
                          Case{CSTAEventNumber("CSTA_HELD"), 7006, false, 2}, Case{CSTAEventNumber("CSTA_RETRIEVED"), 7006, true, 1},
                          Case{CSTAEventNumber("CSTA_RETRIEVED"), 7006, false, 0}}) {
        SCOPED_TRACE(std::to_string(k.event) + " " + std::to_string(k.callID) + (k.active ? " active" : " inactive"));
        MDSIO::SetServerActive(k.active ? 1 : 0);
        Inject(Event(k.event, k.callID, "5001", {{"5001"}}, 4, 22));
        ASSERT_TRUE(Drain());
        EXPECT_EQ(k.expected, onHold());
    }
    MDSIO::SetServerActive(1);
    ImportMetrics::Instance().reset();
}

// Whether a connection-cleared event ends the call: OPC's callAction, else fewer than two
// active parties unless the party was redirected.
TEST_F(CallEventTest, ConnectionClearedEndsTheCallAsCallActionSays) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    struct Case {
        uint32_t callAction;
        int32_t cause;
        size_t parties;
        bool ends;
    };
    const Case cases[] = {
        {2, 28, 2, false},  // redirected: the call goes on
        {2, 16, 2, true},   // one party left
        {2, 16, 3, false},  // two left
        {1, 16, 2, false},  // must persist, even with one party
        {0, 16, 3, true},   // must clear, even with two
    };
    uint32_t callID = 7200;
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.callAction) + "/" + std::to_string(k.cause) + "/" + std::to_string(k.parties));
        ++callID;
        Call* call = NewCall(callID, "5001");
        std::vector<std::string> devices = {"5001", "6001", "6002"};
        devices.resize(k.parties);
        Play(c, Parties(callID, devices));
        CSTAMessageBuilder cleared = Event(CSTAEventNumber("CSTA_CONNECTION_CLEARED"), callID, "6001", {{"6001"}}, 0, k.cause);
        cleared.area[0] = k.callAction;
        const auto got = Types(Play(c, {cleared}));
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(static_cast<uint32_t>(CALL_CONNECTION_CLEARED_EVENT), got.front());
        EXPECT_EQ(k.ends, got.back() == static_cast<uint32_t>(CALL_CLEARED_EVENT));
        EXPECT_EQ(k.ends, call->IsCleared());
        if (!k.ends) {
            EXPECT_EQ(nullptr, ConnectionAt(call, "6001"));
            EXPECT_EQ("connection cleared", call->LastEvent());
        }
    }
}

// The CALL_CLEARED_EVENT of an ended call names the reference party, in CS_NULL.
TEST_F(CallEventTest, TheLastPartyClearedReportsTheCallClearedInNull) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    NewCall(7300, "5001");
    Play(c, Parties(7300, {"5001", "6001"}));
    CSTAMessageBuilder cleared = Event(CSTAEventNumber("CSTA_CONNECTION_CLEARED"), 7300, "6001", {{"6001"}}, 0, 16);
    cleared.area[0] = 2;
    const auto got = Play(c, {cleared});
    ASSERT_FALSE(got.empty());
    BaseMSG& e = *got.back().msg;
    ASSERT_EQ(static_cast<uint32_t>(CALL_CLEARED_EVENT), got.back().type);
    EXPECT_EQ(0u, e.GetUSHORT(elementid::LocalConnectionState));
    EXPECT_EQ(16u, e.GetUSHORT(elementid::EventCause));
    EXPECT_STREQ("5001", e.GetSTRING(elementid::ConnectionDeviceID));
}

// A party cleared twice is reported once; an unknown call is traced unless callAction is -1.
TEST_F(CallEventTest, ADroppedPartyIsReportedOnceAndUnknownCallsAreTracedUnlessTold) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* call = NewCall(7400, "5001");
    Play(c, Parties(7400, {"5001", "6001", "6002"}));
    ConnectionAt(call, "6001")->SetState(0, "test");
    CSTAMessageBuilder cleared = Event(CSTAEventNumber("CSTA_CONNECTION_CLEARED"), 7400, "6001", {{"6001"}}, 0, 16);
    cleared.area[0] = 1;
    EXPECT_TRUE(Play(c, {cleared}).empty());
    EXPECT_EQ(nullptr, ConnectionAt(call, "6001"));

    (void)srvtest::Events::Take();
    for (const uint32_t action : {0xFFFFFFFFu, 2u}) {
        CSTAMessageBuilder unknown = Event(CSTAEventNumber("CSTA_CONNECTION_CLEARED"), 4242, "6001", {{"6001"}}, 0, 16);
        unknown.area[0] = action;
        EXPECT_TRUE(Play(c, {unknown}).empty());
    }
    EXPECT_EQ(1u, Traced("*** ProcessConnectionClearedEvent - Periph 5000 CallID 4242.6001(s) not found ***"));
}

// An agent's party whose line still carries the call stays for the wrap-up.
TEST_F(CallEventTest, AnAgentsPartyOnTheLineIsKeptForWrapUp) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* call = NewCall(7500, "5001");
    Play(c, Parties(7500, {"5001", "6001", "6002"}));
    CTICSTAConnection* party = ConnectionAt(call, "6001");
    ASSERT_NE(nullptr, party);
    Agent* agent = new Agent(static_cast<int32_t>(kPeriph), 30, 11, 0, "1001", "6001", nullptr, false);
    agent->SetDevice(party->m_Device);
    agent->AddCallToLine(7500, 0, "6001", 0, 0);
    (void)srvtest::Events::Take();
    CSTAMessageBuilder cleared = Event(CSTAEventNumber("CSTA_CONNECTION_CLEARED"), 7500, "6001", {{"6001"}}, 0, 16);
    cleared.area[0] = 1;
    EXPECT_EQ(std::vector<uint32_t>{CALL_CONNECTION_CLEARED_EVENT}, Types(Play(c, {cleared})));
    ASSERT_EQ(party, ConnectionAt(call, "6001"));
    EXPECT_EQ(0, party->m_LocalConnectionState);
    EXPECT_EQ(1u, party->m_Flags & 1);
    EXPECT_EQ(1u, Traced("Setting wrapup for the dest connection. Num of device connection = 1"));
}

// One call-cleared event clears every active call with its CallID, each reported once; a
// deactivated call with the message's identity is cleared alone.
TEST_F(CallEventTest, CallClearedClearsEveryCallWithTheCallIDOnce) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* first = NewCall(7600, "5001", 18);
    Call* second = NewCall(7600, "5002", 18);
    ASSERT_NE(first, second);
    Play(c, {Event(CSTAEventNumber("CSTA_ESTABLISHED"), 7600, "5001", {{"5001"}, {""}, {""}, {""}}, 3, 22),
             Event(CSTAEventNumber("CSTA_ESTABLISHED"), 7600, "5002", {{"5002"}, {""}, {""}, {""}}, 3, 22)});
    const auto got = Types(Play(c, {Event(CSTAEventNumber("CSTA_CALL_CLEARED"), 7600, "5001", {}, 0, 16)}));
    EXPECT_EQ(2, std::count(got.begin(), got.end(), static_cast<uint32_t>(CALL_CLEARED_EVENT)));
    EXPECT_TRUE(first->IsCleared());
    EXPECT_TRUE(second->IsCleared());
    EXPECT_TRUE(Play(c, {Event(CSTAEventNumber("CSTA_CALL_CLEARED"), 7600, "5001", {}, 0, 16)}).empty());

    Call* deactivated = NewCall(7601, "5001", 18);
    Call* other = NewCall(7601, "5003", 18);
    // Where CallIDs repeat, a call is known by its parties' connections.
    CTICSTAConnection::Alloc(nullptr, deactivated, 3, 1, 0, "5001", "test");
    CTICSTAConnection::Alloc(nullptr, other, 3, 1, 0, "5003", "test");
    deactivated->Deactivate();
    const auto once = Types(Play(c, {Event(CSTAEventNumber("CSTA_CALL_CLEARED"), 7601, "5001", {}, 0, 16)}));
    EXPECT_EQ(1, std::count(once.begin(), once.end(), static_cast<uint32_t>(CALL_CLEARED_EVENT)));
    EXPECT_TRUE(deactivated->IsCleared());
    EXPECT_FALSE(other->IsCleared());
}

// Without the server-active flag the model follows the switch and nothing is sent.
TEST_F(CallEventTest, AnInactiveServerUpdatesTheModelOnly) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    Call* call = NewCall(7700, "5001");
    MDSIO::SetServerActive(0);
    for (const CSTAMessageBuilder& m : Parties(7700, {"5001", "6001"})) Inject(m);
    ASSERT_TRUE(Drain());
    MDSIO::SetServerActive(1);
    EXPECT_TRUE(Until(c, Fence()).empty());
    ASSERT_NE(nullptr, ConnectionAt(call, "6001"));
    EXPECT_EQ(3, ConnectionAt(call, "6001")->m_LocalConnectionState);
}

// The agent greeting goes to the all-events sessions with the agent at the device; a device
// without an agent drops it.
TEST_F(CallEventTest, AgentGreetingNamesTheAgentOrIsDropped) {
    Client c(Port());
    ASSERT_GT(Open(c, "uii-a"), 0);
    const auto greeting = [](const char* device) {
        Bytes fields;
        opctest::AddConn(fields, 7800, device, 0);
        opctest::AddText(fields, "welcome", 36);
        opctest::Add32(fields, 1);
        opctest::Add32(fields, 0);
        CSTAMessageBuilder m = cstatest::Unsolicited(CSTAEventNumber("CSTA_CALL_AGENT_GREETING"), fields);
        m.peripheralID = kPeriph;
        m.callID = 7800;
        m.strings[1] = device;
        return m;
    };
    (void)srvtest::Events::Take();
    EXPECT_TRUE(Play(c, {greeting("6009")}).empty());
    EXPECT_EQ(1u, Traced("*** ProcessCallAgentGreetingEvent - PID=5000 DeviceID=6009 is not associated with any agent"));

    CSTAExtendedDeviceID id;
    std::snprintf(id.deviceID, sizeof id.deviceID, "6008");
    CTICSTADevice* device = FindOrCreateCTICSTADevice(kPeriph, &id, "", "test", false, true);
    ASSERT_NE(nullptr, device);
    Agent* agent = new Agent(static_cast<int32_t>(kPeriph), 30, 12, 0, "1008", "6008", nullptr, false);
    agent->SetDevice(device);
    const auto got = Play(c, {greeting("6008")});
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(static_cast<uint32_t>(CALL_AGENT_GREETING_EVENT), got[0].type);
    EXPECT_STREQ("1008", got[0].msg->GetSTRING(elementid::AgentID));
    EXPECT_STREQ("welcome", got[0].msg->GetSTRING(elementid::GreetingType));
    EXPECT_EQ(1u, got[0].msg->GetUSHORT(elementid::EventCode));
}

}  // namespace
