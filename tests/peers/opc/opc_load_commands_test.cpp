// The stand-in OPC's load commands: a generated agent table that agent-mode opens find,
// and agent events paced on the platform clock, each stamped with its send time in a form
// the server's reader and parlo-load's stamp reader both take back.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "opcmsg/agentmsgs.h"
#include "peers/client/loadevent.h"
#include "peers/opc/opc_agents.h"
#include "peers/opc/opc_standin.h"
#include "peers/opc/opc_wire.h"
#include "tests/support/fake_clock.h"

namespace opcpeer {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Outgoing> RunCommand(AgentSide& side, const std::string& line, bool wantOk = true) {
    std::vector<std::string> args;
    EXPECT_TRUE(SplitWords(line, &args));
    std::vector<Outgoing> out;
    std::string error;
    EXPECT_EQ(side.RunCommand(args, &out, &error), wantOk) << line << ": " << error;
    return out;
}

OPCAgentStateResp StateOf(AgentSide& side, const std::string& agentID, const std::string& ext = "") {
    GetAgentStateReq q;
    q.invokeID = 7;
    q.peripheralID = 5000;
    q.mrDomainID = 1;
    q.agentID = agentID;
    q.extension = ext;
    ServerRequest request;
    Bytes body;
    for (uint32_t v : {q.invokeID, q.peripheralID, q.mrDomainID, 0u, 0u}) PutLE32(body, body.size(), v);
    for (const std::string* s : {&q.uniqueInstanceID, &q.extension, &q.agentID, &q.instrument}) AppendPadded(body, *s);
    std::string error;
    EXPECT_TRUE(ReadServerRequest(kGetAgentStateReq, body.data(), body.size(), &request, &error)) << error;
    const std::vector<Outgoing> answers = side.Answer(3, kGetAgentStateReq, request);
    OPCAgentStateResp r;
    EXPECT_EQ(answers.size(), 1u);
    if (answers.size() == 1) {
        EXPECT_TRUE(ParseAgentStateResp(answers[0].body.data(), answers[0].body.size(), &r));
    }
    return r;
}

TEST(LoadAgents, GeneratedAgentsAreLoggedInWithDistinctIdentities) {
    AgentSide side;
    EXPECT_TRUE(RunCommand(side, "agents 8000 200000").empty());
    struct Row {
        const char* agentID;
        const char* ext;  // looked up by extension alone when agentID is empty
        const char* wantAgent;
        const char* wantExt;
        uint32_t wantStid;
    };
    const Row rows[] = {
        {"200000", "", "200000", "700000", 1200000},
        {"207999", "", "207999", "707999", 1207999},
        {"", "703456", "203456", "703456", 1203456},
        {"208000", "", "", "", 0},  // one past the last
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.agentID) + "/" + row.ext);
        const OPCAgentStateResp r = StateOf(side, row.agentID, row.ext);
        EXPECT_EQ(r.AgentID, row.wantAgent);
        if (*row.wantAgent == '\0') {
            EXPECT_EQ(r.AgentState, 9);
            continue;
        }
        EXPECT_EQ(r.AgentState, 3);
        EXPECT_EQ(r.AgentExtension, row.wantExt);
        EXPECT_EQ(r.AgentInstrument, row.wantExt);
        EXPECT_EQ(static_cast<uint32_t>(r.SkillTargetID), row.wantStid);
        EXPECT_EQ(r.Lines.size(), 1u);
    }
    // The embedded agents are still there, and a second batch with chosen numbers replaces
    // agents it names without duplicating them.
    EXPECT_EQ(StateOf(side, "1002").AgentState, 4);
    EXPECT_TRUE(RunCommand(side, "agents 2 207999 ext=900 stid=5 state=1 team=4").empty());
    const OPCAgentStateResp replaced = StateOf(side, "207999");
    EXPECT_EQ(replaced.AgentExtension, "900");
    EXPECT_EQ(replaced.AgentState, 1);
    EXPECT_EQ(replaced.AgentTeamID, 4u);
    EXPECT_EQ(StateOf(side, "208000").AgentExtension, "901");
    // Removing the peripheral's agents leaves none to find through the index.
    ASSERT_EQ(RunCommand(side, "agent-removed 5000 -1").size(), 1u);
    EXPECT_EQ(StateOf(side, "200000").AgentID, "");

    for (const char* bad : {"agents", "agents 0 1", "agents 100001 1", "agents 5 x", "agents 5 1 bogus=1",
                            "agents 5 2147483647", "agents 5 1 ext=2147483645", "agent-events 0 10",
                            "agent-events 100 0", "agent-events 100 200001", "agent-events 100 10 per=17",
                            "agent-events 100 10 from=999999", "agent-events 100 10 periph=6000",
                            "agent-events 100 10 agents=x"})
        EXPECT_TRUE(RunCommand(side, bad, false).empty()) << bad;
}

// The stand-in itself, on a fake clock: what it sends, when, and with which stamp.
class PacedEvents : public testsupport::FakeClockTest {
protected:
    struct Sent {
        int64_t at;
        Bytes payload;
    };
    std::mutex mu_;
    std::vector<Sent> sent_;
    std::vector<std::string> lines_;
    StandIn opc_{[this](uint8_t, uint8_t type, const Bytes& p) {
                     std::lock_guard<std::mutex> g(mu_);
                     if (type == kAgentEvent) sent_.push_back({plat::MonotonicNs(), p});
                     return true;
                 },
                 [this](const std::string& line) {
                     std::lock_guard<std::mutex> g(mu_);
                     lines_.push_back(line);
                 },
                 10};
    size_t SentCount() {
        std::lock_guard<std::mutex> g(mu_);
        return sent_.size();
    }
};

TEST_F(PacedEvents, RecordsGoAtTheirRateStampedWithTheirSendTime) {
    clock_.SetMonotonicNs(5'000'000'000);
    ASSERT_TRUE(opc_.RunLine("agents 2 300000", 1));
    // 4 records a second, 2 a message: messages at 0, 0.5 and 1.0 s, the last one short.
    std::thread script([this] { (void)opc_.RunLine("agent-events 4 5 per=2 from=300000", 2); });
    ASSERT_TRUE(clock_.AdvanceUntil([this] { return SentCount() == 3; }));
    script.join();

    std::lock_guard<std::mutex> g(mu_);
    ASSERT_EQ(sent_.size(), 3u);
    const std::vector<std::string> wantAgents = {"300000", "300001", "300000", "300001", "300000"};
    const std::vector<int16_t> wantStates = {2, 2, 3, 3, 2};
    size_t k = 0;
    for (size_t m = 0; m < sent_.size(); ++m) {
        SCOPED_TRACE(m);
        EXPECT_EQ(sent_[m].at, 5'000'000'000 + static_cast<int64_t>(m) * 500'000'000);
        std::vector<OPCAgentEventRecord> records;
        ASSERT_TRUE(ParseAgentEvent(sent_[m].payload.data() + 4, sent_[m].payload.size() - 4, &records));
        ASSERT_EQ(records.size(), m < 2 ? 2u : 1u);
        for (const OPCAgentEventRecord& r : records) {
            EXPECT_EQ(r.AgentID, wantAgents[k]);
            EXPECT_EQ(r.AgentState, wantStates[k]);
            EXPECT_EQ(r.EventReasonCode != 0, r.AgentState == 2);
            EXPECT_EQ(r.MRDomainID, 1u);
            EXPECT_EQ(r.PeripheralType, 30);  // peripheral 5000 of the embedded table
            EXPECT_EQ(r.TerminalDeviceName, SendStamp(sent_[m].at));
            EXPECT_EQ(parloload::FindStamp(reinterpret_cast<const uint8_t*>(r.TerminalDeviceName.data()),
                                           r.TerminalDeviceName.size()),
                      sent_[m].at);
            ++k;
        }
    }
    // Successive NOT_READY records of one agent differ in their reason code.
    std::vector<OPCAgentEventRecord> first, last;
    ASSERT_TRUE(ParseAgentEvent(sent_[0].payload.data() + 4, sent_[0].payload.size() - 4, &first));
    ASSERT_TRUE(ParseAgentEvent(sent_[2].payload.data() + 4, sent_[2].payload.size() - 4, &last));
    EXPECT_NE(first[0].EventReasonCode, last[0].EventReasonCode);
    std::string all;
    for (const auto& l : lines_) all += l + "\n";
    EXPECT_NE(all.find("send CTI_AGENT_EVENT paced 3/3 records 1 [agent \"300000\" state 2"), std::string::npos)
        << all;
    EXPECT_NE(all.find("late 0 us"), std::string::npos) << all;
}

}  // namespace
}  // namespace opcpeer
