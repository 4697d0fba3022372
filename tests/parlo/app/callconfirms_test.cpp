// OPC's confirmations of call-control requests, injected as CTI_CSTA_MESSAGEs into the running
// application and matched to outstanding records the test makes: what each session receives
// (the WEXA CIL sessions among them), and the private calls made and released on the way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/msgtypes.h"
#include "ctimsg/servicemask.h"
#include "tests/parlo/app/confirmation_fixture.h"

namespace calltest {
namespace {

constexpr uint32_t kCIL = servicemask::PERIPHERAL_MONITOR | servicemask::CLIENT_CONTROL | servicemask::WEXA_CIL;

// Every confirmation of call control reaches an ordinary session with the client's InvokeID;
// a WEXA CIL session gets exactly those of the groups that carry a call (none that carries
// the InvokeID alone), and its failures carry its WEXACILClientID.
TEST_F(ConfirmationTest, TheCILMatrix) {
    Client plain(Port()), cil(Port());
    ASSERT_TRUE(Open(plain, servicemask::CLIENT_CONTROL | servicemask::ALL_EVENTS, "plain"));
    ASSERT_TRUE(Open(cil, kCIL, "cil"));
    const int32_t sessions[] = {SessionOf("plain"), SessionOf("cil")};
    struct Row {
        uint16_t type;
        uint32_t answer;
        bool toCIL;
    } rows[] = {
        {CONF_TYPE(TPCSTAAlternateCallConfEventMsg), ALTERNATE_CALL_CONF, false},
        {CONF_TYPE(TPCSTAAnswerCallConfEventMsg), ANSWER_CALL_CONF, false},
        {CONF_TYPE(TPCSTAClearCallConfEventMsg), CLEAR_CALL_CONF, false},
        {CONF_TYPE(TPCSTAClearConnectionConfEventMsg), CLEAR_CONNECTION_CONF, false},
        {CONF_TYPE(TPCSTADeflectCallConfEventMsg), DEFLECT_CALL_CONF, false},
        {CONF_TYPE(TPCSTAHoldCallConfEventMsg), HOLD_CALL_CONF, false},
        {CONF_TYPE(TPCSTAReconnectCallConfEventMsg), RECONNECT_CALL_CONF, false},
        {CONF_TYPE(TPCSTARetrieveCallConfEventMsg), RETRIEVE_CALL_CONF, false},
        {CONF_TYPE(TPCSTASendDTMFConfEventMsg), SEND_DTMF_SIGNAL_CONF, false},
        {CONF_TYPE(TPCSTAMakeCallConfEventMsg), MAKE_CALL_CONF, true},
        {CONF_TYPE(TPCSTAMakePredictiveCallConfEventMsg), MAKE_PREDICTIVE_CALL_CONF, true},
        {CONF_TYPE(TPCSTAConsultationCallConfEventMsg), CONSULTATION_CALL_CONF, true},
        {CONF_TYPE(TPCSTAConferenceCallConfEventMsg), CONFERENCE_CALL_CONF, true},
        {CONF_TYPE(TPCSTATransferCallConfEventMsg), TRANSFER_CALL_CONF, true},
        {CONF_TYPE(TPCSTAEmergencyCallConfEventMsg), EMERGENCY_CALL_CONF, true},
        {CONF_TYPE(TPCSTASupervisorAssistConfEventMsg), SUPERVISOR_ASSIST_CONF, true},
        {CONF_TYPE(TPCSTASuperviseCallConfEventMsg), SUPERVISE_CALL_CONF, true},
        {cstatest::kUniversalFailure, CONTROL_FAILURE_CONF, true},
    };
    uint32_t invokeID = 500;
    for (const Row& row : rows) {
        SCOPED_TRACE(MsgTypeName(row.answer));
        const uint32_t first = invokeID + 1;
        for (int s = 0; s < 2; ++s) {
            OPCReq* record = Record(sessions[s], ++invokeID);
            if (s == 1) record->WEXACILClientID = "cil-7";
            if (row.type == cstatest::kUniversalFailure) {
                Bytes error, periph;
                opctest::Add32(error, 13);
                opctest::Add32(periph, 99);
                Confirm(row.type, record, error, periph);
            } else {
                Confirm(row.type, record, NewConnection(-1, "4101"), Line(1, 2));
            }
        }
        const std::string fence = Fence();
        for (int s = 0; s < 2; ++s) {
            const std::vector<Received> got = Until(s == 0 ? plain : cil, fence);
            if (s == 1 && !row.toCIL) {
                EXPECT_TRUE(got.empty()) << got.size() << " to the CIL session, first " << got[0].type;
                continue;
            }
            ASSERT_EQ(1u, got.size()) << "session " << s;
            EXPECT_EQ(row.answer, got[0].type);
            EXPECT_EQ(first + static_cast<uint32_t>(s), got[0].msg->GetUINT(elementid::InvokeID));
            if (row.answer != CONTROL_FAILURE_CONF) continue;
            EXPECT_EQ(13u, got[0].msg->GetUSHORT(elementid::FailureCode));
            EXPECT_EQ(99u, got[0].msg->GetUINT(elementid::PeripheralErrorCode));
            const char* id = got[0].msg->GetSTRING(elementid::WEXACILClientID);
            if (s == 1) {
                ASSERT_NE(nullptr, id);
                EXPECT_STREQ("cil-7", id);
            } else {
                EXPECT_EQ(nullptr, id);
            }
        }
    }
    EXPECT_EQ(0, OPCReq::CountLive());
}

// A new call of an agent's request becomes the agent's private call before the client hears
// of it; OPC's line comes with the confirmation, its type checked. Call ID -1 makes nothing.
TEST_F(ConfirmationTest, ANewCallOfAnAgentBecomesItsPrivateCallFirst) {
    SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 2);
    Client desk(Port());
    const int32_t session = OpenSession(desk, servicemask::CLIENT_CONTROL | servicemask::ALL_EVENTS, "desk");
    ASSERT_GT(session, 0);
    AgentAt("2001", "4101", 2001);
    struct Case {
        const char* what;
        uint16_t type;
        uint32_t answer;
        int32_t callID;
        uint32_t lineType, sentLineType;
    } cases[] = {
        {"make call", CONF_TYPE(TPCSTAMakeCallConfEventMsg), MAKE_CALL_CONF, 801, 1, 1},
        {"predictive, bad line type", CONF_TYPE(TPCSTAMakePredictiveCallConfEventMsg), MAKE_PREDICTIVE_CALL_CONF,
         802, 15, 3},
        {"consultation, no call", CONF_TYPE(TPCSTAConsultationCallConfEventMsg), CONSULTATION_CALL_CONF, -1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OPCReq* record = Record(session, 61);
        record->PeripheralID = kPeriph;
        record->Instrument = "4101";
        record->DialedNumber = "5550100";
        Confirm(c.type, record, NewConnection(c.callID, "4101"), Line(2, c.lineType));
        const std::vector<Received> got = Until(desk, Fence());
        const Received* conf = First(got, c.answer);
        ASSERT_NE(nullptr, conf);
        EXPECT_EQ(static_cast<uint32_t>(c.callID), conf->msg->GetUINT(elementid::NewConnectionCallID));
        EXPECT_STREQ("4101", conf->msg->GetSTRING(elementid::NewConnectionDeviceID));
        EXPECT_EQ(2u, conf->msg->GetUSHORT(elementid::LineHandle));
        EXPECT_EQ(c.sentLineType, conf->msg->GetUSHORT(elementid::LineTypeField));
        Call* call = Call::FindCall(kPeriph, static_cast<uint32_t>(c.callID), -2, "", 1);
        if (c.callID == -1) {
            EXPECT_EQ(nullptr, call);
            EXPECT_EQ(1u, got.size());
            continue;
        }
        ASSERT_NE(nullptr, call);
        EXPECT_TRUE(call->IsPrivate());
        EXPECT_EQ(16, call->m_CallType);
        // BEGIN_CALL_EVENT of the private call, then the confirmation.
        ASSERT_EQ(2u, got.size());
        EXPECT_EQ(BEGIN_CALL_EVENT, got[0].type);
        EXPECT_EQ(static_cast<uint32_t>(c.callID), got[0].msg->GetUINT(elementid::ConnectionCallID));
        EXPECT_EQ(c.answer, got[1].type);
    }
    // No agent at the instrument: no call, the confirmation still goes.
    OPCReq* record = Record(session, 62);
    record->PeripheralID = kPeriph;
    record->Instrument = "4999";
    Confirm(CONF_TYPE(TPCSTAMakeCallConfEventMsg), record, NewConnection(803, "4999"), Line(0, 2));
    const std::vector<Received> got = Until(desk, Fence());
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(MAKE_CALL_CONF, got[0].type);
    EXPECT_EQ(nullptr, Call::FindCall(kPeriph, 803, -2, "", 0));
}

// The clear confirmations release the private call they name, also when the session is one
// that gets no confirmation; a clear connection only once no agent is left on the call.
TEST_F(ConfirmationTest, ClearsReleaseThePrivateCall) {
    Client cil(Port());
    const int32_t session = OpenSession(cil, kCIL, "cil");
    ASSERT_GT(session, 0);
    Agent* agent = AgentAt("2001", "4101", 2001);
    AgentAt("2002", "4102", 2002);
    PrivateCall(agent, 901);
    OPCReq* record = Record(session, 71);
    record->PrivateCallFlags = 1;
    record->PeripheralID = kPeriph;
    record->CallID = 901;
    Confirm(CONF_TYPE(TPCSTAClearCallConfEventMsg), record);
    EXPECT_TRUE(Until(cil, Fence()).empty());
    EXPECT_EQ(nullptr, Call::FindCall(kPeriph, 901, -2, "", 0));

    // Two agents on the call: dropping one leaves the call; dropping the other releases it.
    Call* shared = PrivateCall(agent, 902);
    (void)CTICSTAConnection::Alloc(Device("4102"), shared, 3, 2, 0, "4102", "test");
    for (const char* device : {"4102", "4101"}) {
        SCOPED_TRACE(device);
        record = Record(session, 72);
        record->PrivateCallFlags = 1;
        record->PeripheralID = kPeriph;
        record->CallID = 902;
        record->DeviceIDType = 0;
        record->DeviceID = device;
        Confirm(CONF_TYPE(TPCSTAClearConnectionConfEventMsg), record);
        EXPECT_TRUE(Until(cil, Fence()).empty());
    }
    EXPECT_EQ(nullptr, Call::FindCall(kPeriph, 902, -2, "", 0));
    EXPECT_EQ(0, agent->NumPrivateCalls());
}

// A conference that goes on in the private call the request named keeps it; a transfer ends
// it. The held call goes in both. The new call's parties come with the confirmation.
TEST_F(ConfirmationTest, JoinsReleaseThePrivateCallsTheyEnd) {
    Client desk(Port());
    const int32_t session = OpenSession(desk, kMonitorControl, "desk");
    ASSERT_GT(session, 0);
    Agent* agent = AgentAt("2001", "4101", 2001);
    struct Case {
        const char* what;
        uint16_t type;
        uint32_t answer;
        bool activeKept;
    } cases[] = {
        {"conference", CONF_TYPE(TPCSTAConferenceCallConfEventMsg), CONFERENCE_CALL_CONF, true},
        {"transfer", CONF_TYPE(TPCSTATransferCallConfEventMsg), TRANSFER_CALL_CONF, false},
    };
    uint32_t active = 910;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        active += 2;
        const uint32_t held = active + 1;
        PrivateCall(agent, active);
        PrivateCall(agent, held);
        OPCReq* record = Record(session, 81);
        record->PrivateCallFlags = 0x2 | 0x1;
        record->CallID = active;
        record->OtherCallID = held;
        Bytes fields = NewConnection(static_cast<int32_t>(active), "4101");
        opctest::Add32(fields, 0);  // no parties reported
        opctest::Add32(fields, 0);
        Confirm(c.type, record, fields, Line(1, 1));
        const std::vector<Received> got = Until(desk, Fence());
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(c.answer, got[0].type);
        EXPECT_EQ(nullptr, Call::FindCall(kPeriph, held, -2, "", 0));
        Call* call = Call::FindCall(kPeriph, active, -2, "", 0);
        EXPECT_EQ(c.activeKept, call != nullptr);
        EXPECT_EQ(c.activeKept ? 1u : 0u, got[0].msg->GetUSHORT(elementid::NumParties));
        if (c.activeKept) {
            EXPECT_STREQ("4101", got[0].msg->GetSTRING(elementid::ConnectedPartyDeviceID));
        }
    }
}

// A conference's new call that no one tracks: the agent's private call and its party, or, with
// no agent at the instrument, no parties. A call with more than 16 parties sends 16.
TEST_F(ConfirmationTest, AConferenceReportsTheNewCallsParties) {
    SetDynamic(CTIRegistry::MaxPrivateCallsPerAgent, 2);
    Client desk(Port());
    const int32_t session = OpenSession(desk, kMonitorControl, "desk");
    ASSERT_GT(session, 0);
    AgentAt("2001", "4101", 2001);
    std::vector<std::pair<const char*, int32_t>> crowd;
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (int i = 0; i < 20; ++i) n.push_back(std::to_string(6000 + i));
        return n;
    }();
    for (const std::string& n : names) crowd.emplace_back(n.c_str(), 3);
    NewCall(930, crowd);
    struct Case {
        const char* what;
        int32_t callID;
        const char* instrument;
        uint16_t parties;
    } cases[] = {
        {"private call made", 931, "4101", 1},
        {"no agent", 932, "4999", 0},
        {"twenty parties", 930, "4101", 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OPCReq* record = Record(session, 91);
        record->Instrument = c.instrument;
        Bytes fields = NewConnection(c.callID, c.instrument);
        opctest::Add32(fields, 0);
        opctest::Add32(fields, 0);
        Confirm(CONF_TYPE(TPCSTAConferenceCallConfEventMsg), record, fields, Line(1, 1));
        const std::vector<Received> got = Until(desk, Fence());
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(CONFERENCE_CALL_CONF, got[0].type);
        EXPECT_EQ(c.parties, got[0].msg->GetUSHORT(elementid::NumParties));
    }
}

}  // namespace
}  // namespace calltest
