// Client call-control requests over real sessions, read back from what would reach OPC: the
// refusals (one answer each, with the request's InvokeID and the code, nothing to OPC, no
// record left), requests on calls the server never saw going out as named, what the
// outstanding record keeps, and the supervisor's requests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/failurecodes.h"
#include "ctimsg/servicemask.h"
#include "parlo/model/agentteam.h"
#include "tests/parlo/app/callrequests_fixture.h"

namespace {

using namespace calltest;
using namespace servicemask;

consteval uint32_t F(const char* name) { return failurecode::Of(name); }

class CallControlRequestTest : public CallRequestTest {
protected:
    // Team 7 with the stand-in's agents 1001 and 1002 and, when `supervised`, 1003 (9003) as
    // its supervisor.
    static void TeamSeven(bool supervised) {
        ConfigureTeam(7, {9001, 9002}, supervised ? std::vector<int32_t>{9003} : std::vector<int32_t>{});
    }
    static BaseMSGPtr With(BaseMSGPtr m, std::initializer_list<std::pair<uint32_t, const char*>> texts,
                           std::initializer_list<std::pair<uint32_t, uint32_t>> calls = {}) {
        for (const auto& [id, text] : texts) m->SetSTRING(id, text);
        for (const auto& [id, value] : calls) m->SetUINT(id, value);
        return m;
    }
    // The session's record takes another service mask, as an OPEN_REQ would have given it.
    static void Narrow(int32_t sessionID, uint32_t services) {
        model::ServerLockGuard guard(model::ServerLock());
        ClientCB* record = ClientCB::Find(sessionID);
        ASSERT_NE(nullptr, record);
        record->AcceptOpenRequest(sesstest::OpenReq(1, 30, services, record->GetClientID().c_str()), {}, 0);
        record->TakeOpenReq().reset();
    }
    uint32_t invoke_ = 100;
    BaseMSGPtr Req(uint32_t type) { return CallRequestOf(type, ++invoke_); }
};

TEST_F(CallControlRequestTest, WithoutClientControlEveryRequestIsRefusedWith10AndTheCILIDWhereItIsRead) {
    Client cil(Port());
    ASSERT_TRUE(Open(cil, ALL_EVENTS | WEXA_CIL, "cil"));
    for (const ControlType& t : ControlTypes()) {
        SCOPED_TRACE(t.type);
        BaseMSGPtr m = Req(t.type);
        if (m->FindElement(el::WEXACILClientID, 0, false) != nullptr) m->SetSTRING(el::WEXACILClientID, "cil-7");
        ExpectRefused(cil, std::move(m), kControlFailureConf, F("CF_PRIVILEGE_VIOLATION_ON_CALLING_DEVICE"),
                      t.readsCIL ? "cil-7" : nullptr);
    }
}

// Every code the handlers raise, each from the session and on the call that shows it.
TEST_F(CallControlRequestTest, EachRefusalIsOneAnswerWithItsCodeAndNothingSent) {
    TeamSeven(false);
    Client agent(Port()), controller(Port()), watcher(Port()), boss(Port()), waiting(Port()), plain(Port()),
        supervisorDesk(Port());
    ASSERT_TRUE(OpenAgent(agent, "1002", "desk1002"));  // instrument 4002
    ASSERT_TRUE(Open(controller, ALL_EVENTS | CLIENT_CONTROL | SUPERVISOR, "controller"));
    ASSERT_TRUE(Open(watcher, ALL_EVENTS | CLIENT_CONTROL, "watcher"));
    ASSERT_TRUE(OpenAgent(boss, "1003", "desk1003", SUPERVISOR));         // not team 7's supervisor
    Agents({"agent", "5000", "1004", "stid=9004", "ext=4004", "inst=4004", "state=1", "supervisor=1", "team=7"});
    ASSERT_TRUE(OpenAgent(waiting, "1004", "desk1004", SUPERVISOR));      // logged out: no agent yet
    // Sessions that neither are agent-mode nor watch the peripheral: the open refuses such
    // masks, so two opened sessions' records are narrowed to them.
    ASSERT_TRUE(Open(plain, ALL_EVENTS | CLIENT_CONTROL, "plain"));
    ASSERT_TRUE(Open(supervisorDesk, ALL_EVENTS | CLIENT_CONTROL | SUPERVISOR, "supdesk"));
    Narrow(6, CLIENT_CONTROL);
    Narrow(7, CLIENT_CONTROL | SUPERVISOR);
    (void)Until(agent, Fence());
    NewCall(5101, {{"4002", 3}, {"5551234", 3}});  // the agent talks
    NewCall(5102, {{"4700", 3}, {"4701", 4}});     // the agent is no party
    NewCall(5106, {{"4700", 4}})->Deactivate();      // no longer active; the agent is no party

    const uint32_t kCall = el::ConnectionCallID, kDev = el::ConnectionDeviceID, kInst = el::AgentInstrument;
    struct Row {
        const char* what;
        Client* who;
        BaseMSGPtr msg;
        uint32_t code;
    };
    std::vector<Row> rows;
    rows.push_back({"another agent's instrument", &agent, With(Req(HOLD_CALL_REQ), {{kInst, "4003"}}),
                    F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    rows.push_back({"hold: the agent is no party", &agent, With(Req(HOLD_CALL_REQ), {{kDev, "4700"}}, {{kCall, 5102}}),
                    F("CF_AGENT_NOT_PARTY_ON_CALL")});
    rows.push_back({"clear connection: the agent is no party", &agent,
                    With(Req(CLEAR_CONNECTION_REQ), {{kDev, "4700"}}, {{kCall, 5102}}), F("CF_AGENT_NOT_PARTY_ON_CALL")});
    rows.push_back({"retrieve: the agent is no party, no active call", &agent,
                    With(Req(RETRIEVE_CALL_REQ), {{el::HeldConnDeviceID, "4700"}}, {{el::HeldConnCallID, 5106}}),
                    F("CF_AGENT_NOT_PARTY_ON_CALL")});
    rows.push_back({"hold: no such connection on a known call", &controller,
                    With(Req(HOLD_CALL_REQ), {{kDev, "9876"}}, {{kCall, 5101}}),
                    F("CF_INVALID_CSTA_CONNECTION_IDENTIFIER")});
    for (uint32_t type : {CLEAR_CALL_REQ, DEFLECT_CALL_REQ, SEND_DTMF_SIGNAL_REQ})
        rows.push_back({"no such connection at the instrument", &controller,
                        With(Req(type), {{kDev, "9876"}, {kInst, "4002"}}, {{kCall, 5101}}),
                        F("CF_INVALID_CSTA_CALL_IDENTIFIER")});
    rows.push_back({"alternate: the active one is not there", &controller,
                    With(Req(ALTERNATE_CALL_REQ), {{el::ActiveConnDeviceID, "9876"}, {kInst, "4002"}},
                         {{el::ActiveConnCallID, 5101}}),
                    F("CF_INVALID_CSTA_CALL_IDENTIFIER")});
    rows.push_back({"reconnect: the held one is not there", &controller,
                    With(Req(RECONNECT_CALL_REQ), {{el::HeldConnDeviceID, "9876"}, {kInst, "4002"}},
                         {{el::HeldConnCallID, 5101}}),
                    F("CF_INVALID_CSTA_CALL_IDENTIFIER")});
    for (uint32_t type : {CONSULTATION_CALL_REQ, CONFERENCE_CALL_REQ, TRANSFER_CALL_REQ})
        rows.push_back({"call data: the active one is not there", &agent,
                        With(Req(type), {{el::ActiveConnDeviceID, "9876"}}, {{el::ActiveConnCallID, 5101}}),
                        F("CF_INVALID_CSTA_CALL_IDENTIFIER")});
    rows.push_back({"answer: a known call that is not active", &agent,
                    With(Req(ANSWER_CALL_REQ), {{kDev, "9876"}}, {{kCall, 5106}}), F("CF_INVALID_CSTA_CALL_IDENTIFIER")});
    {
        BaseMSGPtr m = Req(CLEAR_CONNECTION_REQ);
        m->SetUSHORT(el::ConnectionDeviceIDType, 1);
        rows.push_back({"dropping a dynamic device is not enabled", &controller, std::move(m),
                        F("CF_DROP_ANY_PARTY_NOT_ENABLED_CTI")});
    }
    rows.push_back({"make call from a device not the session's", &plain, Req(MAKE_CALL_REQ),
                    F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    rows.push_back({"make call from another agent's device", &agent, With(Req(MAKE_CALL_REQ), {{kInst, "4003"}}),
                    F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    for (uint32_t type : {EMERGENCY_CALL_REQ, SUPERVISOR_ASSIST_REQ}) {
        rows.push_back({"not agent-mode and not watching the peripheral", &plain, Req(type),
                        F("CF_INVALID_OBJECT_STATE")});
        rows.push_back({"another agent's extension", &agent, With(Req(type), {{el::AgentExtension, "4003"}}),
                        F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
        BaseMSGPtr m = With(Req(type), {{el::AgentExtension, "4002"}}, {{el::CTIPeripheralID, 6000}});
        rows.push_back({"another peripheral", &agent, std::move(m), F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    }
    rows.push_back({"supervise without SUPERVISOR", &watcher, With(Req(SUPERVISE_CALL_REQ), {{el::AgentExtension, "4002"}}),
                    F("CF_PRIVILEGE_VIOLATION_ON_CALLING_DEVICE")});
    rows.push_back({"supervise naming no agent", &controller, Req(SUPERVISE_CALL_REQ),
                    F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    rows.push_back({"supervise an unknown agent", &controller, With(Req(SUPERVISE_CALL_REQ), {{el::AgentExtension, "4999"}}),
                    F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    rows.push_back({"supervise from a session without an agent", &supervisorDesk,
                    With(Req(SUPERVISE_CALL_REQ), {{el::AgentExtension, "4002"}}),
                    F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    rows.push_back({"supervise from an agent still waiting for its login", &waiting,
                    With(Req(SUPERVISE_CALL_REQ), {{el::AgentExtension, "4002"}}),
                    F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    rows.push_back({"supervise another team's agent", &boss, With(Req(SUPERVISE_CALL_REQ), {{el::AgentExtension, "4002"}}),
                    F("CF_PRIVILEGE_VIOLATION_ON_SPECIFIED_DEVICE")});
    rows.push_back({"supervise: the agent's connection is not on its known call", &controller,
                    With(Req(SUPERVISE_CALL_REQ),
                         {{el::AgentExtension, "4002"}, {kInst, "4002"}, {el::AgentConnectionDeviceID, "9876"}},
                         {{el::AgentConnectionCallID, 5101}}),
                    F("CF_GENERIC_UNSPECIFIED")});
    for (Row& row : rows) {
        SCOPED_TRACE(row.what);
        ExpectRefused(*row.who, std::move(row.msg), kControlFailureConf, row.code);
    }
}

// A call the server never saw goes to OPC as the client named it, under the session's unique
// instance ID, with an outstanding record of the client's InvokeID.
TEST_F(CallControlRequestTest, ACallTheServerNeverSawGoesOutAsNamed) {
    Client agent(Port()), controller(Port());
    ASSERT_TRUE(OpenAgent(agent, "1002", "desk1002"));
    auto open = sesstest::OpenReq(1, 30, ALL_EVENTS | CLIENT_CONTROL | SUPERVISOR, "controller");
    open->SetSTRING(el::UniqueInstanceID, "uii-controller");
    ASSERT_TRUE(controller.Send(*open));
    ASSERT_EQ(kOpenConf, controller.Read().type);
    for (const ControlType& t : ControlTypes()) {
        SCOPED_TRACE(t.type);
        BaseMSGPtr m = Req(t.type);
        if (t.type == SUPERVISE_CALL_REQ) m->SetSTRING(el::AgentExtension, "4002");
        const opcpeer::CstaRequest sent = ExpectSent(controller, std::move(m));
        EXPECT_EQ(opcpeer::kClassRequest, sent.eventClass);
        EXPECT_EQ(t.cstaType, sent.eventType);
        EXPECT_EQ(invoke_, sent.clientInvokeID);
        EXPECT_EQ(static_cast<uint32_t>(kPeriph), sent.headerPeripheralID);
        EXPECT_EQ("uii-controller", sent.uniqueInstanceID);
        const OPCReq* record = OPCReq::Find(sent.invokeID);
        ASSERT_NE(nullptr, record);
        EXPECT_EQ(invoke_, record->ClientInvokeID);
        EXPECT_EQ(2, record->SessionID) << "the controller, opened second";
        const bool named = t.type != MAKE_CALL_REQ && t.type != MAKE_PREDICTIVE_CALL_REQ &&
                           t.type != EMERGENCY_CALL_REQ && t.type != SUPERVISOR_ASSIST_REQ &&
                           t.type != SUPERVISE_CALL_REQ;
        if (named) {
            EXPECT_EQ(9999u, sent.connection.callID);
            EXPECT_EQ("7777", sent.connection.deviceID);
            EXPECT_EQ(0u, sent.connection.deviceIDType);
        }
    }
}

TEST_F(CallControlRequestTest, AnAnswerWithoutACallIDAtAnInstrumentGoesOutUnchanged) {
    Client controller(Port());
    ASSERT_TRUE(Open(controller, ALL_EVENTS | CLIENT_CONTROL, "controller"));
    NewCall(5201, {{"5551234", 3}, {"4002", 3}});
    BaseMSGPtr m = With(Req(ANSWER_CALL_REQ), {{el::AgentInstrument, "4002"}}, {{el::ConnectionCallID, 0xFFFFFFFF}});
    const opcpeer::CstaRequest sent = ExpectSent(controller, std::move(m));
    const opcpeer::ConnectionID alerting = BodyConnection(sent, 0);
    EXPECT_EQ(0xFFFFFFFFu, alerting.callID);
    EXPECT_EQ("7777", alerting.deviceID);
    EXPECT_EQ("4002", PDText(sent, 0, 64)) << "AnsweringDevice";
}

// The model's identity replaces the named one, and the record marks a private call for the
// confirmation that frees it.
TEST_F(CallControlRequestTest, ClearCallMarksAPrivateCallInItsRecord) {
    SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 2);
    Client agent(Port()), controller(Port());
    ASSERT_TRUE(OpenAgent(agent, "1002", "desk1002"));
    ASSERT_TRUE(Open(controller, ALL_EVENTS | CLIENT_CONTROL, "controller"));
    (void)Until(agent, Fence());
    ASSERT_NE(nullptr, app_->AddPrivateCallAtInstrument(nullptr, kPeriph, 16, 6001, "4002", 0, "", "4002", "test"));
    NewCall(6002, {{"4002", 3}});
    for (const auto& [callID, flags] : {std::pair{6001u, 1u}, std::pair{6002u, 0u}}) {
        SCOPED_TRACE(callID);
        const opcpeer::CstaRequest sent =
            ExpectSent(controller, With(Req(CLEAR_CALL_REQ), {{el::ConnectionDeviceID, "4002"}}, {{el::ConnectionCallID, callID}}));
        EXPECT_EQ(callID, sent.connection.callID);
        const OPCReq* record = OPCReq::Find(sent.invokeID);
        ASSERT_NE(nullptr, record);
        EXPECT_EQ(flags, record->PrivateCallFlags);
        EXPECT_EQ(callID, record->CallID);
        EXPECT_EQ(static_cast<uint32_t>(kPeriph), record->PeripheralID);
        EXPECT_EQ("4002", PDText(sent, 0, 64)) << "SubjectDevice: the agent's device on the call";
    }
}

TEST_F(CallControlRequestTest, ClearConnectionKeepsTheDropInItsRecordAndADynamicDeviceNeedsTheRegistry) {
    Client controller(Port());
    ASSERT_TRUE(Open(controller, ALL_EVENTS | CLIENT_CONTROL, "controller"));
    SetDynamic(CTIRegistry::DropAnyPartyEnabled, 1);
    Call* call = NewCall(6101, {}, 1);  // a dynamic source
    (void)CTICSTAConnection::Alloc(Device("5551234"), call, 3, 1, 1, "T55", "test");
    BaseMSGPtr m = With(Req(CLEAR_CONNECTION_REQ), {{el::ConnectionDeviceID, "T55"}}, {{el::ConnectionCallID, 6101}});
    m->SetUSHORT(el::ConnectionDeviceIDType, 1);
    const opcpeer::CstaRequest sent = ExpectSent(controller, std::move(m));
    EXPECT_EQ(1u, sent.connection.deviceIDType);
    const OPCReq* record = OPCReq::Find(sent.invokeID);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(1u, record->UncontrolledDrop);
    EXPECT_EQ(1u, record->DeviceIDType);
    EXPECT_EQ("T55", record->DeviceID);
    EXPECT_EQ(6101u, record->CallID);
}

TEST_F(CallControlRequestTest, DTMFSendsThePauseAsItsLow16Bits) {
    Client controller(Port());
    ASSERT_TRUE(Open(controller, ALL_EVENTS | CLIENT_CONTROL, "controller"));
    BaseMSGPtr m = Req(SEND_DTMF_SIGNAL_REQ);
    m->SetUSHORT(el::ToneDuration, 300);
    m->SetUINT(el::PauseDuration, 65537);
    const opcpeer::CstaRequest sent = ExpectSent(controller, std::move(m));
    EXPECT_EQ(300u, BodyWord(sent, 208));
    EXPECT_EQ(1u, BodyWord(sent, 212));
    EXPECT_EQ("123#", BodyText(sent, 144, 64));
    EXPECT_EQ(9999u, BodyConnection(sent, 72).callID) << "ReceiveParty is the connection too";
}

// A supervisor of the agent's team acts on the agent's call; monitor and barge-in keep the
// client's supervisor call ID, the other actions take the supervisor's found call.
TEST_F(CallControlRequestTest, TheTeamsSupervisorSupervisesAndTheActionDecidesTheSupervisorsCallID) {
    TeamSeven(true);
    Client agent(Port()), boss(Port()), controller(Port());
    ASSERT_TRUE(OpenAgent(agent, "1002", "desk1002"));
    ASSERT_TRUE(OpenAgent(boss, "1003", "desk1003", SUPERVISOR));
    ASSERT_TRUE(Open(controller, ALL_EVENTS | CLIENT_CONTROL | SUPERVISOR, "controller"));
    (void)Until(agent, Fence());
    NewCall(5101, {{"4002", 3}, {"5551234", 3}});
    NewCall(5105, {{"4003", 3}, {"5550000", 3}});
    for (uint16_t action = 0; action <= 4; ++action) {
        SCOPED_TRACE(action);
        BaseMSGPtr m = With(Req(SUPERVISE_CALL_REQ),
                            {{el::AgentExtension, "4002"},
                             {el::AgentInstrument, "4002"},
                             {el::AgentConnectionDeviceID, "4002"},
                             {el::SupervisorConnectionDeviceID, "4003"},
                             {el::SupervisorInstrument, "4003"}},
                            {{el::AgentConnectionCallID, 5101}, {el::SupervisorConnectionCallID, 0xFFFFFFFF}});
        m->SetUSHORT(el::SupervisoryAction, action);
        const opcpeer::CstaRequest sent = ExpectSent(boss, std::move(m));
        EXPECT_EQ(5101u, sent.connection.callID) << "AgentCall is the main connection";
        const opcpeer::ConnectionID supervisor = BodyConnection(sent, 72);
        EXPECT_EQ(action == 1 || action == 3 ? 0xFFFFFFFFu : 5105u, supervisor.callID);
        EXPECT_EQ("4003", supervisor.deviceID);
        EXPECT_EQ(action, BodyWord(sent, 144) & 0xFFFF);
        EXPECT_EQ("4002", PDText(sent, 0, 16));    // AGExt
        EXPECT_EQ("4002", PDText(sent, 48, 64));   // AGInst
        EXPECT_EQ("4003", PDText(sent, 112, 64));  // SupervisorInstrument
    }
    // Watching the peripheral is enough, team or not.
    const opcpeer::CstaRequest sent =
        ExpectSent(controller, With(Req(SUPERVISE_CALL_REQ), {{el::AgentID, "1002"}}));
    EXPECT_EQ(140u, sent.eventType);
}

TEST_F(CallControlRequestTest, EmergencyCallFromAnAgentTakesTheSessionsIdentity) {
    Client agent(Port());
    ASSERT_TRUE(OpenAgent(agent, "1002", "desk1002"));
    BaseMSGPtr m = Req(EMERGENCY_CALL_REQ);
    m->SetUINT(el::CTIPeripheralID, 0xFFFFFFFF);
    opcpeer::CstaRequest sent = ExpectSent(agent, std::move(m));
    EXPECT_EQ(static_cast<uint32_t>(kPeriph), sent.headerPeripheralID);
    EXPECT_EQ("4002", PDText(sent, 0, 16));
    EXPECT_EQ("1002", PDText(sent, 16, 32));
    EXPECT_EQ("4002", PDText(sent, 48, 64));
    // Naming only its extension: the others go out empty.
    sent = ExpectSent(agent, With(Req(SUPERVISOR_ASSIST_REQ), {{el::AgentExtension, "4002"}}));
    EXPECT_EQ("4002", PDText(sent, 0, 16));
    EXPECT_EQ("", PDText(sent, 16, 32));
    EXPECT_EQ("", PDText(sent, 48, 64));
}

}  // namespace
