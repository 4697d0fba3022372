// What the request writers take from the layers below: the UniqueInstanceID of the session a
// request is made for, and the object model's agents. The requests are read back with the
// stand-in OPC's own layouts (peers/opc).
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "nuvlib/emsinternal.h"
#include "parlo/common/svrtrace.h"
#include "parlo/model/agent.h"
#include "parlo/model/modelutil.h"
#include "parlo/opclink/opcreq.h"
#include "parlo/opclink/opcwriters.h"
#include "peers/opc/opc_wire.h"
#include "tests/parlo/server/opc_fixture.h"
#include "tests/parlo/server/session_fixture.h"

namespace {

using srvtest::Events;
using srvtest::Sent;

// The session layer with a master over loopback, and every message to OPC captured.
class RequestContextTest : public sesstest::SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        capture_ = srvtest::CaptureSent();
    }
    void TearDown() override {
        srvtest::StopCapturingSent(capture_);
        SessionTest::TearDown();
    }
    std::vector<Sent> TakeSent() { return capture_->Take(); }
    // The one request sent since the last call, read with the stand-in's layout of its type.
    bool ReadOnly(opcpeer::ServerRequest* r) {
        const auto sent = TakeSent();
        EXPECT_EQ(sent.size(), 1u);
        if (sent.size() != 1 || sent[0].payload.size() < 4) return false;
        std::string error;
        const bool read = opcpeer::ReadServerRequest(sent[0].type, sent[0].payload.data() + 4,
                                                     sent[0].payload.size() - 4, r, &error);
        EXPECT_TRUE(read) << error;
        return read;
    }

    std::unique_ptr<opclinktest::OutputCapture> capture_;
};

// Every request that carries a UniqueInstanceID carries the one its session opened with (the
// set-client-status request takes the session of its outstanding request); without a session,
// or for a session that does not exist, the field is empty.
TEST_F(RequestContextTest, RequestsForASessionCarryItsUniqueInstanceID) {
    OpenActive();
    sesstest::Client client(Port());
    auto open = sesstest::OpenReq(1);
    open->SetSTRING(elementid::UniqueInstanceID, "desk-9");
    ASSERT_TRUE(OpenClient(client, std::move(open)));
    int session = 0;
    {
        LockGuard<CTILockObject> hold(master_->SessionLock(), "test");
        SessionProtocol* s = SessionProtocol::FindSessionByUniqueInstanceID("desk-9");
        ASSERT_NE(s, nullptr);
        session = s->GetSessionID();
    }

    uint32_t invoke = 0x100;
    const std::vector<std::pair<const char*, std::function<bool(int)>>> writers = {
        {"get agent state",
         [](int s) { return SendGetAgentStateReq(1, 5000, 1, 9, "4001", "1001", "4001", "Test", 2, s); }},
        {"set call data",
         [](int s) {
             SetCallDataFields f;
             f.invokeID = 3;
             f.session = s;
             return SendSetCallDataReq(f);
         }},
        {"release call", [](int s) { return SendReleaseCallReq(4, 5000, 1, 1, "4001", 0, "", "1001", 0, 5, s); }},
        {"set application data",
         [](int s) { return SendSetAppDataReq(6, 9, std::vector<std::string>(10, kAbsentValue), 1, 2, 3, 7, s); }},
        {"set device attributes",
         [](int s) { return SendSetDeviceAttributesReq(8, 5000, 1, 2, 3, 4, 5, 6, "5551", 9, s); }},
        {"bad call", [](int s) { return SendBadCallReq(10, 5000, 1, 1, "4001", "1001", 11, s); }},
        {"get pre-call messages", [](int s) { return SendGetPrecallMessagesReq(12, 5000, 1, 13, s); }},
        {"set client status",
         [&invoke](int s) {
             OPCReq::Allocate(s, 14, ++invoke);
             return SendSetClientStatusRequest(invoke, 1, OPCAgentInfo{"1001", 5000, {1}}, "sig");
         }},
    };
    const struct {
        int session;
        const char* expected;
    } sessions[] = {{session, "desk-9"}, {kNoSession, ""}, {session + 1000, ""}};
    for (const auto& [name, write] : writers) {
        for (const auto& s : sessions) {
            SCOPED_TRACE(std::string(name) + " for session " + std::to_string(s.session));
            ASSERT_TRUE(write(s.session));
            opcpeer::ServerRequest r;
            ASSERT_TRUE(ReadOnly(&r));
            std::string unique = "?";
            EXPECT_TRUE(r.String("UniqueInstanceID", &unique));
            EXPECT_EQ(unique, s.expected);
        }
    }
}

// The agent-state trace names the AgentID only when the model knows that agent on that
// peripheral; a set-client-status request that went out marks the model's agent pending.
TEST_F(RequestContextTest, TheModelsAgentsShowInTheTraceAndAreMarkedPending) {
    new Agent(5000, 48, 9001, 0, "1001", "4001", "4001", false);  // the model's tables own it
    const uint32_t traceMask = EMSState().traceMask.exchange(tracebit::TR_PROC_6);
    const struct {
        const char* agentID;
        uint32_t peripheralID;
        bool named;
    } cases[] = {{"1001", 5000, true}, {"1001", 5001, false}, {"7777", 5000, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.agentID) + "/" + std::to_string(c.peripheralID));
        Events::Take();
        ASSERT_TRUE(SendGetAgentStateReq(1, c.peripheralID, 1, 9001, "4001", c.agentID, "4001", "OpenValidClient",
                                         2, kNoSession));
        const auto events = Events::Take();
        EXPECT_EQ(Events::CountText(events, "GET_AGENT_STATE_REQ: OpenValidClient"), 1u);
        EXPECT_EQ(Events::CountText(events, std::string("AGTID=") + c.agentID), c.named ? 1u : 0u);
    }
    EMSState().traceMask.store(traceMask);
    EXPECT_EQ(TakeSent().size(), 3u);

    OpenActive();
    const auto pending = [] {
        model::ServerLockGuard guard(model::ServerLock());
        return Agent::FindAgentByAgentID(5000, "1001", false)->IsClientStatusRequested();
    };
    ASSERT_FALSE(pending());
    OPCReq::Allocate(1, 1, 0x20);
    ASSERT_TRUE(SendSetClientStatusRequest(0x20, 1, OPCAgentInfo{"7777", 5000, {}}, "sig"));  // unknown
    EXPECT_FALSE(pending());
    OPCReq::Allocate(1, 1, 0x21);
    ASSERT_TRUE(SendSetClientStatusRequest(0x21, 1, OPCAgentInfo{"1001", 5000, {}}, "sig"));
    EXPECT_TRUE(pending());
    EXPECT_EQ(TakeSent().size(), 2u);
    Agent::RemoveAgent(-1, "");
}

}  // namespace
