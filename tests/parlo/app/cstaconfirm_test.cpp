// CSTA confirmations matched to their requests over real client sessions: the answers the
// matching gives itself, the failover search by unique instance ID, the session states that
// are answered, the console's records, and the server-active flag. The table's rows are
// checked against a transcription of the design's list.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ctimsg/elementids.h"
#include "opcmsg/cstaconfirmations.h"
#include "opcmsg/opcnames.h"
#include "parlo/app/clientcb.h"
#include "parlo/app/cstaconfirm.h"
#include "tests/parlo/app/csta_app_fixture.h"

namespace {

using cstatest::Bytes;
using cstatest::CSTAAppTest;
using sesstest::Client;
using sesstest::Received;

constexpr uint32_t kControlFailureConf = 35, kFailureConf = 1;
constexpr uint16_t kQueryMWIConf = 28, kHoldCallConf = 22;

// Transcribed from the design's list: type, handler ("" for none), and the answer of a type
// without a served handler.
struct ConfExpect {
    uint16_t type;
    const char* handler;
};
const ConfExpect kConfRows[] = {
    {2, "ProcessAlternateCallConf"}, {4, "ProcessAnswerCallConf"}, {6, ""},
    {8, "ProcessClearCallConf"}, {10, "ProcessClearConnectionConf"}, {12, "ProcessConferenceCallConf"},
    {14, "ProcessConsultationCallConf"}, {16, "ProcessDeflectCallConf"}, {18, ""}, {20, ""},
    {22, "ProcessHoldCallConf"}, {24, "ProcessMakeCallConf"}, {26, "ProcessMakePredictiveCallConf"},
    {28, ""}, {30, ""}, {32, ""}, {34, ""}, {36, ""}, {38, "ProcessQueryDeviceInfoConf"},
    {40, "ProcessReconnectCallConf"}, {42, "ProcessRetrieveCallConf"}, {44, ""}, {46, ""}, {48, ""},
    {50, "ProcessSetAgentStateConf"}, {52, "ProcessTransferCallConf"}, {53, ""},
    {121, "ProcessSnapshotCallConf"}, {123, "ProcessSnapshotDeviceConf"},
    {131, "ProcessSendDTMFSignalConf"}, {135, "ProcessSupervisorAssistConf"},
    {138, "ProcessEmergencyCallConf"}, {141, "ProcessSuperviseCallConf"},
    {159, "ProcessAgentGreetingControlConf"}, {210, "ProcessStartNetworkRecordingConf"},
    {212, "ProcessStopNetworkRecordingConf"},
};

TEST(CSTAConfirmationTable, EveryConfirmationTypeHasItsRowAndNoOtherTypeHasOne) {
    std::map<int, const char*> listed;
    for (const ConfExpect& e : kConfRows) {
        SCOPED_TRACE(e.type);
        listed[e.type] = e.handler;
        const CSTAConfRoute* route = FindCSTAConfRoute(e.type);
        ASSERT_NE(nullptr, route);
        EXPECT_EQ(e.type, route->eventType);
        EXPECT_NE(nullptr, FindCSTAConfirmation(e.type)) << "the row's class builds this type";
        if (*e.handler != '\0') {
            EXPECT_EQ(std::string("CTIApplication::") + e.handler, route->handler);
            EXPECT_TRUE(route->state == CSTAConfState::Built || route->state == CSTAConfState::Later);
        } else {
            EXPECT_EQ(e.type == 53 ? CSTAConfState::Failure : CSTAConfState::NoHandler, route->state);
        }
        EXPECT_EQ(route->state == CSTAConfState::Built, route->run != nullptr);
    }
    EXPECT_EQ(listed.size(), CSTAConfRoutes().size());
    for (int type = -1; type <= 300; ++type) {
        if (!listed.count(type)) {
            EXPECT_EQ(nullptr, FindCSTAConfRoute(type)) << type;
        }
    }
    // The handlers of other requests come later: their records are still answered and released.
    for (int type : {50, 159, 210, 212}) EXPECT_EQ(CSTAConfState::Later, FindCSTAConfRoute(type)->state);
}

class CSTAConfirmTest : public CSTAAppTest {};

// The answers the matching gives itself, each to the request's client InvokeID, with the
// record released: a universal failure's error and first private word, 297 as FAILURE_CONF
// 73, and a type without a handler as failure 0.
TEST_F(CSTAConfirmTest, UniversalFailuresAndTypesWithoutHandlerAreAnsweredAndReleased) {
    Client c(Port());
    const int32_t session = Open(c, "uii-a");
    ASSERT_GT(session, 0);
    struct Case {
        const char* what;
        cstatest::CSTAMessageBuilder message;
        std::string wexa;
        uint32_t type, code, peripheralError;
    };
    const Case cases[] = {
        {"universal failure 13 with word 99", cstatest::UniversalFailure(0x01000101, 0x51, "uii-a", 13, 99), "", kControlFailureConf, 13, 99},
        {"with the WEXA CIL id", cstatest::UniversalFailure(0x01000102, 0x52, "uii-a", 13, 99), "cil-7", kControlFailureConf, 13, 99},
        {"without private data", cstatest::UniversalFailure(0x01000103, 0x53, "uii-a", 8, std::nullopt), "", kControlFailureConf, 8, 0},
        {"failure 297", cstatest::UniversalFailure(0x01000104, 0x54, "uii-a", 297, 5), "", kFailureConf, 73, 0},
        {"a type without handler", cstatest::Confirmation(kQueryMWIConf, 0x01000105, 0x55, "uii-a", {1}), "", kControlFailureConf, 0, 0},
        {"a handler not served yet", cstatest::Confirmation(50, 0x01000106, 0x56, "uii-a"), "", kControlFailureConf, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const uint32_t clientInvokeID = plat::LoadLE32(k.message.body.data() + 4);
        Outstanding(session, clientInvokeID, plat::LoadLE32(k.message.body.data()), k.wexa);
        clock_.AdvanceMs(250);
        Inject(k.message);
        auto got = Until(c, Fence());
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(k.type, got[0].type);
        EXPECT_EQ(clientInvokeID, got[0].msg->GetUINT(elementid::InvokeID));
        if (k.type == kFailureConf) {
            EXPECT_EQ(k.code, got[0].msg->GetUINT(elementid::Status));
        } else {
            EXPECT_EQ(k.code, got[0].msg->GetUSHORT(elementid::FailureCode));
            EXPECT_EQ(k.peripheralError, got[0].msg->GetUINT(elementid::PeripheralErrorCode));
        }
        const char* wexa = got[0].msg->GetSTRING(elementid::WEXACILClientID);
        EXPECT_EQ(k.wexa, wexa != nullptr ? wexa : "");
        EXPECT_EQ(0, OPCReq::CountLive());
        // The response time since the request was sent, 250 ms on the clock.
        EXPECT_EQ((std::vector<int32_t>{250}), port_.TakeControlResponses());
    }
}

// After a failover the record is gone: the unique instance ID names the session, and the
// answer reaches it with a record made for the one confirmation (not metered).
TEST_F(CSTAConfirmTest, AnUnknownInvokeIDReachesTheSessionNamedByItsUniqueInstanceID) {
    Client a(Port()), b(Port());
    ASSERT_GT(Open(a, "uii-a", 0x10, "desk-a"), 0);
    ASSERT_GT(Open(b, "uii-b", 0x10, "desk-b"), 0);
    Inject(cstatest::UniversalFailure(0x0100AAAA, 0x77, "uii-b", 13, 99));
    // No session by that ID and no record: traced and dropped.
    Inject(cstatest::UniversalFailure(0x0100BBBB, 0x78, "uii-gone", 13, 99));
    const std::string fence = Fence();
    auto got = Until(b, fence);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(kControlFailureConf, got[0].type);
    EXPECT_EQ(0x77u, got[0].msg->GetUINT(elementid::InvokeID));
    EXPECT_EQ(13u, got[0].msg->GetUSHORT(elementid::FailureCode));
    EXPECT_TRUE(Until(a, fence).empty());
    EXPECT_EQ(0, OPCReq::CountLive());
    EXPECT_EQ(1u, Traced("No pending request with uniqueID 0x100bbbb, clientInvokeID 0x78"));
    // The rebuilt record has no send time: no response time is metered.
    EXPECT_TRUE(port_.TakeControlResponses().empty());
}

// Only OPEN and AGENT_LOGIN_WAIT sessions are answered; any other state is traced and its
// record released. A record of session 0 is the console's: traced, sent to no client.
TEST_F(CSTAConfirmTest, OnlyOpenAndLoginWaitSessionsAreAnsweredAndEveryRecordIsReleased) {
    Client c(Port());
    const int32_t session = Open(c, "uii-a");
    ASSERT_GT(session, 0);
    struct Case {
        uint32_t state;
        bool answered;
    };
    for (const Case k : {Case{ClientCB::AGENT_LOGIN_WAIT, true}, Case{ClientCB::AGENT_VALIDATION, false},
                         Case{ClientCB::OPEN, true}}) {
        SCOPED_TRACE(k.state);
        ClientCB::Find(session)->SetState(static_cast<ClientCB::State>(k.state));
        Outstanding(session, 0x60 + k.state, 0x01000200 + k.state);
        Inject(cstatest::Confirmation(kHoldCallConf, 0x01000200 + k.state, 0x60 + k.state, "uii-a"));
        auto got = Until(c, Fence());
        EXPECT_EQ(k.answered ? 1u : 0u, got.size());
        EXPECT_EQ(0, OPCReq::CountLive());
        EXPECT_EQ(k.answered ? 0u : 1u,
                  Traced(std::string("Cannot send message to client session ") + std::to_string(session) +
                         " in state AGENT_VALIDATION(2)"));
    }
    Outstanding(0, 0x99, 0x01000300);
    Inject(cstatest::UniversalFailure(0x01000300, 0x99, "uii-a", 13, 99));
    EXPECT_TRUE(Until(c, Fence()).empty());
    EXPECT_EQ(0, OPCReq::CountLive());
    EXPECT_EQ(1u, Traced("TPProcmonConf: CSTA_UNIVERSAL_FAILURE_CONF (53) InvokeID=0x1000300 ClientInvokeID=0x99"));
}

// While the server-active flag is clear the confirmation is dropped and the record stays for
// the answer the active side will give.
TEST_F(CSTAConfirmTest, WithoutTheServerActiveFlagConfirmationsAreDroppedAndRecordsKept) {
    Client c(Port());
    const int32_t session = Open(c, "uii-a");
    ASSERT_GT(session, 0);
    OPCReq* record = Outstanding(session, 0x41, 0x01000400);
    MDSIO::SetServerActive(0);
    Inject(cstatest::UniversalFailure(0x01000400, 0x41, "uii-a", 13, 99));
    Inject(cstatest::UniversalFailure(0x0100CCCC, 0x42, "uii-a", 13, 99));
    ASSERT_TRUE(Drain());
    MDSIO::SetServerActive(1);
    EXPECT_TRUE(Until(c, Fence()).empty());
    EXPECT_EQ(1, OPCReq::CountLive());
    EXPECT_EQ(record, OPCReq::Find(0x01000400));
}

// A type outside the table is traced and dropped, its record untouched.
TEST_F(CSTAConfirmTest, AnUnknownConfirmationTypeIsTracedAndDropped) {
    Client c(Port());
    const int32_t session = Open(c, "uii-a");
    ASSERT_GT(session, 0);
    Outstanding(session, 0x31, 0x01000500);
    Inject(cstatest::Confirmation(1, 0x01000500, 0x31, "uii-a"));
    EXPECT_TRUE(Until(c, Fence()).empty());
    EXPECT_EQ(1, OPCReq::CountLive());
    EXPECT_EQ(1u, Traced("*** ProcessCSTAConfirmation: Unimplemented CSTAEvent CSTA_ALTERNATE_CALL (1) received ... ignored ***"));
}

}  // namespace
