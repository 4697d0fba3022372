// parlo-opc's agent side over real MDS links: what its script injects and what it answers to
// the agent-state and client-status requests are read by the server's agent body readers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "opcmsg/agentmsgs.h"
#include "peers/opc/opc_agents.h"
#include "tests/peers/opc/opc_link_env.h"

namespace opcpeer {
namespace {

using linktest::inbox;
using linktest::Message;
using linktest::OpcLink;

class OpcmsgAgentCross : public OpcLink {
protected:
    // The body of the next message of `type`, after its ServerNumber word.
    static std::vector<uint8_t> TakeBody(uint8_t type) {
        Message m;
        EXPECT_TRUE(inbox.Take(type, &m)) << "no message of type " << int(type);
        if (m.payload.size() < 4) return {};
        return std::vector<uint8_t>(m.payload.begin() + 4, m.payload.end());
    }
};

TEST_F(OpcmsgAgentCross, ScriptedMessagesAndAnswersReadBack) {
    StartOpc("agent 5000 2001 ext=6001 inst=6001 state=3 stid=9301 team=9\n"
             "agent-event 5000 1001 state=0 + 5000 2001 state=2 reason=5 uii=u-7\n"
             "agent-state 5000 1002 client=4 uii=u-1\n"
             "agent-removed 5000 1003\n"
             "pg-status status=0 id=5 text=abc\n"
             "raw 15 88130000\n");
    ASSERT_NE(opc_->WaitLine("parlo-opc: script done"), "");

    std::vector<uint8_t> b = TakeBody(kAgentEvent);
    std::vector<OPCAgentEventRecord> records;
    ASSERT_TRUE(ParseAgentEvent(b.data(), b.size(), &records));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].AgentID, "1001");
    EXPECT_EQ(records[0].AgentState, 0);
    EXPECT_EQ(records[1].AgentExtension, "6001");
    EXPECT_EQ(records[1].SkillTargetID, 9301);
    EXPECT_EQ(records[1].AgentTeamID, 9u);
    EXPECT_EQ(records[1].EventReasonCode, 5);
    EXPECT_EQ(records[1].UniqueInstanceID, "u-7");

    b = TakeBody(kGetAgentStateResp);
    OPCAgentStateResp state;
    ASSERT_TRUE(ParseAgentStateResp(b.data(), b.size(), &state));
    EXPECT_EQ(state.InvokeID, 0xFFFFFFFFu);
    EXPECT_EQ(state.ClientInvokeID, 4u);
    EXPECT_EQ(state.UniqueInstanceID, "u-1");
    EXPECT_EQ(state.AgentID, "1002");
    ASSERT_EQ(state.Lines.size(), 2u);
    EXPECT_EQ(state.Lines[0].CallID, 3001u);

    b = TakeBody(kAgentRemovedInd);
    OPCAgentRemovedInd removed;
    ASSERT_TRUE(ParseAgentRemovedInd(b.data(), b.size(), &removed));
    EXPECT_EQ(removed, (OPCAgentRemovedInd{5000, "1003"}));

    b = TakeBody(kPGStatusEvent);
    OPCPGStatusEvent pg;
    ASSERT_TRUE(ParsePGStatusEvent(b.data(), b.size(), &pg));
    EXPECT_EQ(pg, (OPCPGStatusEvent{0, 5, 0, 0, 0, "abc"}));

    // The raw body: PeripheralID 5000 and no string count, which the reader refuses.
    b = TakeBody(kAgentRemovedInd);
    EXPECT_EQ(b, (std::vector<uint8_t>{0x88, 0x13, 0, 0}));
    EXPECT_FALSE(ParseAgentRemovedInd(b.data(), b.size(), &removed));

    // The requests, laid out as the server writes them.
    std::vector<uint8_t> req;
    for (uint32_t v : {0x75000010u, 5000u, 1u, 0u, 0x21u}) PutLE32(req, req.size(), v);
    for (const char* s : {"uii-x", "", "1001", ""}) AppendPadded(req, s);
    Send(kGetAgentStateReq, req, 1);
    b = TakeBody(kGetAgentStateResp);
    ASSERT_TRUE(ParseAgentStateResp(b.data(), b.size(), &state));
    EXPECT_EQ(state.InvokeID, 0x75000010u);
    EXPECT_EQ(state.ClientInvokeID, 0x21u);
    EXPECT_EQ(state.UniqueInstanceID, "uii-x");
    EXPECT_EQ(state.AgentID, "1001");
    EXPECT_EQ(state.AgentState, 0);  // logged in by the scripted event
    EXPECT_EQ(state.PeripheralType, 30);

    req.clear();
    for (uint32_t v : {0x75000011u, 5000u, 1u}) PutLE32(req, req.size(), v);
    PutLE16(req, 12, 1);
    PutLE16(req, 14, 0);
    for (const char* s : {"1001", "sig", "uii-x"}) AppendPadded(req, s);
    PutLE32(req, req.size(), 1);
    Send(kSetClientStatusReq, req, 1);
    b = TakeBody(kSetClientStatusResp);
    OPCSetClientStatusResp resp;
    ASSERT_TRUE(ParseSetClientStatusResp(b.data(), b.size(), &resp));
    EXPECT_EQ(resp, (OPCSetClientStatusResp{0x75000011, 0}));
    EXPECT_NE(opc_->WaitLine("parlo-opc: fields InvokeID=1962934289 PeripheralID=5000 Status=1"), "");
}

}  // namespace
}  // namespace opcpeer
