// The stand-in OPC's agent side: what its writers lay out reads back through the server's
// own readers (two readings of the byte tables that must agree), its answers to the
// agent-state and client-status requests, the decoded lines of the requests it receives,
// and its script commands.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "opcmsg/agentmsgs.h"
#include "peers/opc/opc_agents.h"
#include "peers/opc/opc_standin.h"
#include "peers/opc/opc_wire.h"
#include "tests/support/fake_clock.h"

namespace opcpeer {
namespace {

using Bytes = std::vector<uint8_t>;

// What the server's reader should see for a body the stand-in wrote.
OPCAgentStateResp Expected(const AgentStateResp& r) {
    OPCAgentStateResp e;
    e.InvokeID = r.invokeID;
    e.PeripheralID = static_cast<int32_t>(r.peripheralID);
    e.PeripheralType = r.peripheralType;
    e.AgentState = r.agentState;
    e.StateDuration = r.stateDuration;
    e.SkillTargetID = r.skillTargetID;
    e.AgentTeamID = r.teamID;
    e.SkillGroupSkillTargetID = r.sgSkillTargetID;
    e.SkillGroupNumberWord = r.sgNumberWord;
    e.NumLines = static_cast<int16_t>(r.lines.size());
    e.CurrentLine = r.currentLine;
    e.NumSkillGroups = static_cast<int16_t>(r.skillGroups.size());
    e.PeripheralOnline = r.online;
    e.Supervisor = r.supervisor;
    e.MRDomainID = r.mrDomainID;
    e.NumTasks = r.numTasks;
    e.MaxTaskLimit = r.maxTaskLimit;
    e.MaxBeyondTaskLimit = r.maxBeyondTaskLimit;
    e.AgentMode = r.agentMode;
    e.AgentAvailabilityStatus = r.availability;
    e.ClientInvokeID = r.clientInvokeID;
    e.UniqueInstanceID = r.uniqueInstanceID;
    e.AgentExtension = r.extension;
    e.AgentID = r.agentID;
    e.AgentInstrument = r.instrument;
    e.ClientSignature = r.signature;
    for (const auto& g : r.skillGroups) e.SkillGroups.push_back({g.numberWord, g.skillTargetID, g.state});
    for (const auto& l : r.lines)
        e.Lines.push_back({l.index, l.type, l.callID, l.sourceType, l.destType, l.source, l.dest});
    return e;
}

OPCAgentEventRecord Expected(const AgentEventRecord& r) {
    OPCAgentEventRecord e;
    e.PeripheralID = r.peripheralID;
    e.PeripheralType = r.peripheralType;
    e.SkillGroupState = r.sgState;
    e.AgentState = r.state;
    e.EventReasonCode = r.reason;
    e.SkillGroupStateDuration = r.sgDuration;
    e.StateDuration = r.duration;
    e.SkillTargetID = static_cast<int32_t>(r.skillTargetID);
    e.AgentTeamID = r.teamID;
    e.SkillGroupSkillTargetID = r.sgSkillTargetID;
    e.SkillGroupNumberWord = r.sgNumberWord;
    e.NumLines = r.numLines;
    e.CurrentLine = r.currentLine;
    e.ClientStatus = r.clientStatus;
    e.MRDomainID = r.mrDomainID;
    e.NumTasks = r.numTasks;
    e.MaxTaskLimit = r.maxTaskLimit;
    e.MaxBeyondTaskLimit = r.maxBeyondTaskLimit;
    e.AgentMode = r.agentMode;
    e.AgentAvailabilityStatus = r.availability;
    e.Direction = r.direction;
    e.AgentExtension = r.extension;
    e.AgentID = r.agentID;
    e.AgentInstrument = r.instrument;
    e.ClientSignature = r.signature;
    e.TerminalDeviceName = r.terminal;
    e.UniqueInstanceID = r.uniqueInstanceID;
    return e;
}

TEST(AgentWriters, ReadBackThroughTheServersReaders) {
    // Every field distinct and strings of each fill length.
    AgentStateResp s;
    s.invokeID = 0x75000003;
    s.peripheralID = 5000;
    s.peripheralType = 30;
    s.agentState = 4;
    s.stateDuration = 11;
    s.skillTargetID = 12;
    s.teamID = 13;
    s.sgSkillTargetID = 14;
    s.sgNumberWord = 0x80000015;
    s.currentLine = 1;
    s.online = 1;
    s.supervisor = 1;
    s.mrDomainID = 16;
    s.numTasks = 17;
    s.maxTaskLimit = 18;
    s.maxBeyondTaskLimit = 19;
    s.agentMode = 20;
    s.availability = 21;
    s.clientInvokeID = 22;
    s.uniqueInstanceID = "u";
    s.extension = "ex";
    s.agentID = "agt";
    s.instrument = "inst";
    s.signature = "sig-5";
    s.skillGroups = {{0x01000011, 9101, 3}, {0xFFFFFFFF, 0, -1}};
    s.lines = {{0, 0, 3001, 0, 1, "4002", "5551234"}, {1, 12, 0xFFFFFFFF, 2, 3, "", ""}};
    const Bytes state = WriteAgentStateResp(s);
    OPCAgentStateResp got;
    ASSERT_TRUE(ParseAgentStateResp(state.data(), state.size(), &got));
    EXPECT_EQ(got, Expected(s));

    AgentEventRecord a;
    a.peripheralID = 5000;
    a.peripheralType = 30;
    a.sgState = 2;
    a.state = 3;
    a.reason = 50;
    a.sgDuration = 31;
    a.duration = 32;
    a.skillTargetID = 33;
    a.teamID = 34;
    a.sgSkillTargetID = 35;
    a.sgNumberWord = 36;
    a.numLines = 2;
    a.currentLine = 1;
    a.clientStatus = 1;
    a.mrDomainID = 1;
    a.numTasks = 37;
    a.maxTaskLimit = 38;
    a.maxBeyondTaskLimit = 39;
    a.agentMode = 40;
    a.availability = 41;
    a.direction = 42;
    a.extension = "4002";
    a.agentID = "1002";
    a.instrument = "4002x";
    a.signature = "desk";
    a.terminal = "term1";
    a.uniqueInstanceID = "uii-77";
    AgentEventRecord b = a;
    b.agentID = "1003";
    b.mrDomainID = 5;
    b.skillTargetID = 0xFFFFFFFF;
    const Bytes event = WriteAgentEvent({a, b});
    std::vector<OPCAgentEventRecord> records;
    ASSERT_TRUE(ParseAgentEvent(event.data(), event.size(), &records));
    EXPECT_EQ(records, (std::vector<OPCAgentEventRecord>{Expected(a), Expected(b)}));

    const Bytes removed = WriteAgentRemovedInd(5000, "-1");
    OPCAgentRemovedInd ind;
    ASSERT_TRUE(ParseAgentRemovedInd(removed.data(), removed.size(), &ind));
    EXPECT_EQ(ind, (OPCAgentRemovedInd{5000, "-1"}));

    const Bytes pg = WritePGStatusEvent(4, 5, 0xFFFFFFFF, 7, 8, "abc");
    OPCPGStatusEvent event39;
    ASSERT_TRUE(ParsePGStatusEvent(pg.data(), pg.size(), &event39));
    EXPECT_EQ(event39, (OPCPGStatusEvent{4, 5, -1, 7, 8, "abc"}));

    const Bytes status = WriteSetClientStatusResp(0x75000009, 3);
    OPCSetClientStatusResp resp;
    ASSERT_TRUE(ParseSetClientStatusResp(status.data(), status.size(), &resp));
    EXPECT_EQ(resp, (OPCSetClientStatusResp{0x75000009, 3}));
}

// The requests as the server lays them out.
Bytes GetAgentStateBody(uint32_t invoke, uint32_t periph, uint32_t stid, uint32_t client, const std::string& uii,
                        const std::string& ext, const std::string& agent, const std::string& inst) {
    Bytes b;
    for (uint32_t v : {invoke, periph, 1u, stid, client}) PutLE32(b, b.size(), v);
    for (const std::string* s : {&uii, &ext, &agent, &inst}) AppendPadded(b, *s);
    return b;
}

Bytes SetClientStatusBody(uint32_t invoke, uint32_t periph, uint32_t status, const std::string& agent,
                          const std::string& sig, const std::string& uii, const std::vector<uint32_t>& mrds) {
    Bytes b;
    for (uint32_t v : {invoke, periph, status}) PutLE32(b, b.size(), v);
    PutLE16(b, 12, static_cast<uint16_t>(mrds.size()));
    PutLE16(b, 14, 0);
    for (const std::string* s : {&agent, &sig, &uii}) AppendPadded(b, *s);
    for (uint32_t m : mrds) PutLE32(b, b.size(), m);
    return b;
}

// One request as the server sends it, read by the stand-in and answered by its agent side.
std::vector<Outgoing> Deliver(AgentSide& side, uint8_t type, const Bytes& body) {
    ServerRequest request;
    std::string error;
    EXPECT_TRUE(ReadServerRequest(type, body.data(), body.size(), &request, &error)) << error;
    return side.Answer(3, type, request);
}

OPCAgentStateResp ReadState(const Outgoing& o) {
    EXPECT_EQ(o.type, kGetAgentStateResp);
    OPCAgentStateResp r;
    EXPECT_TRUE(ParseAgentStateResp(o.body.data(), o.body.size(), &r));
    return r;
}

TEST(AgentSideAnswers, AgentStateRequestsFromTheDefaultTable) {
    struct Row {
        const char* name;
        uint32_t periph;
        const char* ext;
        const char* agent;
        const char* inst;
        int16_t wantType;
        const char* wantAgent;
        int16_t wantState;
        size_t wantLines;
        uint32_t wantSupervisor;
    };
    const Row rows[] = {
        {"logged out, by AgentID", 5000, "", "1001", "", 30, "1001", 1, 1, 0},
        {"talking with a call, by AgentID", 5000, "4002", "1002", "4002", 30, "1002", 4, 2, 0},
        {"supervisor, by extension alone", 5000, "4003", "", "", 30, "1003", 3, 1, 1},
        {"by instrument alone", 5000, "", "", "4001", 30, "1001", 1, 1, 0},
        {"unknown agent", 5000, "4999", "9999", "4999", 30, "", 9, 0, 0},
        {"unknown peripheral", 6000, "4002", "1002", "4002", -1, "", 9, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        AgentSide side;
        const std::vector<Outgoing> answers =
            Deliver(side, kGetAgentStateReq,
                    GetAgentStateBody(0x75000042, row.periph, 0, 0x77, "uii-9", row.ext, row.agent, row.inst));
        ASSERT_EQ(answers.size(), 1u);
        const OPCAgentStateResp r = ReadState(answers[0]);
        EXPECT_EQ(r.InvokeID, 0x75000042u);
        EXPECT_EQ(r.ClientInvokeID, 0x77u);
        EXPECT_EQ(r.UniqueInstanceID, "uii-9");
        EXPECT_EQ(r.PeripheralID, static_cast<int32_t>(row.periph));
        EXPECT_EQ(r.PeripheralType, row.wantType);
        EXPECT_EQ(r.AgentID, row.wantAgent);
        EXPECT_EQ(r.AgentState, row.wantState);
        EXPECT_EQ(r.Lines.size(), row.wantLines);
        EXPECT_EQ(r.Supervisor, row.wantSupervisor);
    }
    // The logged-in agent's call sits on its first line.
    AgentSide side;
    const std::vector<Outgoing> answers =
        Deliver(side, kGetAgentStateReq, GetAgentStateBody(1, 5000, 0, 0, "", "", "1002", ""));
    ASSERT_EQ(answers.size(), 1u);
    const OPCAgentStateResp r = ReadState(answers[0]);
    ASSERT_EQ(r.Lines.size(), 2u);
    EXPECT_EQ(r.Lines[0].CallID, 3001u);
    EXPECT_EQ(r.Lines[0].SourceDeviceID, "4002");
    EXPECT_EQ(r.Lines[1].CallID, 0xFFFFFFFFu);
    EXPECT_EQ(r.SkillGroups.size(), 2u);
}

TEST(AgentSideAnswers, ClientStatusIsAnsweredRecordedAndReportedInLaterEvents) {
    AgentSide side;
    std::vector<Outgoing> answers =
        Deliver(side, kSetClientStatusReq, SetClientStatusBody(0x75000005, 5000, 1, "1002", "desk-sig", "uii-3", {1, 5}));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].type, kSetClientStatusResp);
    OPCSetClientStatusResp resp;
    ASSERT_TRUE(ParseSetClientStatusResp(answers[0].body.data(), answers[0].body.size(), &resp));
    EXPECT_EQ(resp, (OPCSetClientStatusResp{0x75000005, 0}));

    // OPC now reports the agent's client with that signature.
    std::vector<Outgoing> out;
    std::string error;
    ASSERT_TRUE(side.RunCommand({"agent-event", "5000", "1002"}, &out, &error)) << error;
    std::vector<OPCAgentEventRecord> records;
    ASSERT_TRUE(ParseAgentEvent(out[0].body.data(), out[0].body.size(), &records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ClientStatus, 1u);
    EXPECT_EQ(records[0].ClientSignature, "desk-sig");

    // A scripted refusal changes nothing in the table.
    ASSERT_TRUE(side.RunCommand({"client-status-result", "12"}, &out, &error));
    answers = Deliver(side, kSetClientStatusReq, SetClientStatusBody(0x75000006, 5000, 0, "1002", "", "", {1}));
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_TRUE(ParseSetClientStatusResp(answers[0].body.data(), answers[0].body.size(), &resp));
    EXPECT_EQ(resp, (OPCSetClientStatusResp{0x75000006, 12}));
    out.clear();
    ASSERT_TRUE(side.RunCommand({"agent-event", "5000", "1002"}, &out, &error));
    ASSERT_TRUE(ParseAgentEvent(out[0].body.data(), out[0].body.size(), &records));
    EXPECT_EQ(records[0].ClientSignature, "desk-sig");
}

// The stand-in itself: a request from the server is recorded and answered to its sender; a
// scripted agent message goes to the peer; a request that does not read gets no answer.
class StandInAgents : public testsupport::FakeClockTest {
protected:
    struct Sent {
        uint8_t destination, type;
        Bytes payload;
    };
    std::mutex mu_;
    std::vector<Sent> sent_;
    std::vector<std::string> lines_;
    StandIn opc_{[this](uint8_t d, uint8_t t, const Bytes& p) {
                     std::lock_guard<std::mutex> g(mu_);
                     sent_.push_back({d, t, p});
                     return true;
                 },
                 [this](const std::string& line) {
                     std::lock_guard<std::mutex> g(mu_);
                     lines_.push_back(line);
                 },
                 10};

    void Deliver(uint8_t type, const Bytes& body) {
        Bytes payload;
        PutLE32(payload, 0, 2);
        payload.insert(payload.end(), body.begin(), body.end());
        opc_.OnMessage(4, type, payload.data(), payload.size());
    }
    bool HasLine(const std::string& text) {
        std::lock_guard<std::mutex> g(mu_);
        for (const auto& l : lines_)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
};

TEST_F(StandInAgents, RecordsAndAnswersRequestsAndSendsScriptedMessages) {
    Deliver(kSetClientStatusReq, SetClientStatusBody(0x75000005, 5000, 1, "1002", "desk-sig", "uii-3", {1, 5}));
    EXPECT_TRUE(HasLine("fields InvokeID=1962934277 PeripheralID=5000 Status=1 NumMRDomainIDs=2 AgentID=\"1002\" "
                        "Signature=\"desk-sig\" UniqueInstanceID=\"uii-3\" MRDomainIDs=1,5"));
    Deliver(kGetAgentStateReq, GetAgentStateBody(0x75000006, 5000, 0, 3, "uii-4", "", "1001", ""));
    {
        std::lock_guard<std::mutex> g(mu_);
        ASSERT_EQ(sent_.size(), 2u);
        EXPECT_EQ(sent_[0].destination, 4);
        EXPECT_EQ(sent_[0].type, kSetClientStatusResp);
        EXPECT_EQ(sent_[1].destination, 4);
        EXPECT_EQ(sent_[1].type, kGetAgentStateResp);
        EXPECT_EQ(LoadLE32(sent_[1].payload.data()), 2u);  // the request's ServerNumber word
        OPCAgentStateResp r;
        ASSERT_TRUE(ParseAgentStateResp(sent_[1].payload.data() + 4, sent_[1].payload.size() - 4, &r));
        EXPECT_EQ(r.InvokeID, 0x75000006u);
        EXPECT_EQ(r.ClientInvokeID, 3u);
        EXPECT_EQ(r.UniqueInstanceID, "uii-4");
        EXPECT_EQ(r.AgentState, 1);
    }
    EXPECT_TRUE(HasLine("send CTI_GET_AGENT_STATE_RESP to 4 invoke 0x75000006"));

    // A string that runs past the end: a line that says so, no answer.
    Bytes bad = GetAgentStateBody(1, 5000, 0, 0, "", "", "1002", "");
    bad.resize(bad.size() - 6);
    Deliver(kGetAgentStateReq, bad);

    ASSERT_TRUE(opc_.RunLine("agent-event 5000 1002 state=2 reason=3", 1));
    ASSERT_TRUE(opc_.RunLine("client-status-result 7", 2));
    ASSERT_TRUE(opc_.RunLine("agent-event 5000", 3));  // a bad line is reported and skipped
    std::lock_guard<std::mutex> g(mu_);
    ASSERT_EQ(sent_.size(), 3u);
    EXPECT_EQ(sent_[2].destination, 10);
    EXPECT_EQ(sent_[2].type, kAgentEvent);
    std::vector<OPCAgentEventRecord> records;
    ASSERT_TRUE(ParseAgentEvent(sent_[2].payload.data() + 4, sent_[2].payload.size() - 4, &records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].ClientSignature, "desk-sig");
    EXPECT_EQ(records[0].ClientStatus, 1u);
    std::string all;
    for (const auto& l : lines_) all += l + "\n";
    EXPECT_NE(all.find("parlo-opc: error: CTI_GET_AGENT_STATE_REQ from 4: string AgentID"),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("parlo-opc: client-status-result set"), std::string::npos) << all;
    EXPECT_NE(all.find("parlo-opc: script line 3: agent-event needs a peripheral and an AgentID"), std::string::npos)
        << all;
}

std::vector<Outgoing> RunScriptLine(AgentSide& side, const std::string& line, bool wantOk = true) {
    std::vector<std::string> args;
    EXPECT_TRUE(SplitWords(line, &args));
    std::vector<Outgoing> out;
    std::string error;
    EXPECT_EQ(side.RunCommand(args, &out, &error), wantOk) << line << ": " << error;
    return out;
}

TEST(AgentSideScript, AgentEventsWithSeveralRecordsFollowTheTable) {
    AgentSide side;
    std::vector<Outgoing> out =
        RunScriptLine(side, "agent-event 5000 1001 state=0 reason=7 + 5000 1003 state=2 reason=50001 mrd=1 "
                  "+ 5000 4711 mrd=5 stid=9050 uii=\"task uii\"");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, kAgentEvent);
    std::vector<OPCAgentEventRecord> records;
    ASSERT_TRUE(ParseAgentEvent(out[0].body.data(), out[0].body.size(), &records));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].AgentID, "1001");
    EXPECT_EQ(records[0].AgentState, 0);
    EXPECT_EQ(records[0].EventReasonCode, 7);
    EXPECT_EQ(records[0].AgentExtension, "4001");
    EXPECT_EQ(records[0].SkillTargetID, 9001);
    EXPECT_EQ(records[0].PeripheralType, 30);
    EXPECT_EQ(records[1].AgentState, 2);
    EXPECT_EQ(records[1].EventReasonCode, 50001);
    EXPECT_EQ(records[2].AgentID, "4711");  // not in the table: only the given fields
    EXPECT_EQ(records[2].MRDomainID, 5u);
    EXPECT_EQ(records[2].SkillTargetID, 9050);
    EXPECT_EQ(records[2].UniqueInstanceID, "task uii");

    // The login is what later answers report.
    std::vector<Outgoing> answer = RunScriptLine(side, "agent-state 5000 1001 client=9");
    ASSERT_EQ(answer.size(), 1u);
    const OPCAgentStateResp r = ReadState(answer[0]);
    EXPECT_EQ(r.InvokeID, 0xFFFFFFFFu);  // unsolicited
    EXPECT_EQ(r.ClientInvokeID, 9u);
    EXPECT_EQ(r.AgentState, 0);

    // A count that lies is what the server's reader refuses.
    out = RunScriptLine(side, "agent-event 5000 1001 count=2");
    ASSERT_FALSE(ParseAgentEvent(out[0].body.data(), out[0].body.size(), &records));
}

TEST(AgentSideScript, TableRemovalsStatusRawAndBadLines) {
    AgentSide side;
    RunScriptLine(side, "agent 5001 2001 type=12 ext=5001 inst=5001 state=3 supervisor=1 stid=9201 team=8 "
              "groups=0x01000021/9301/3,-1/0/9 lines=0/0/4001/0/5001/0/8000");
    std::vector<Outgoing> out = RunScriptLine(side, "agent-state 5001 2001");
    OPCAgentStateResp r = ReadState(out[0]);
    EXPECT_EQ(r.PeripheralType, 12);
    EXPECT_EQ(r.AgentState, 3);
    EXPECT_EQ(r.Supervisor, 1u);
    EXPECT_EQ(r.AgentTeamID, 8u);
    ASSERT_EQ(r.SkillGroups.size(), 2u);
    EXPECT_EQ(r.SkillGroups[1].NumberWord, 0xFFFFFFFFu);
    ASSERT_EQ(r.Lines.size(), 1u);
    EXPECT_EQ(r.Lines[0].DestDeviceID, "8000");

    // "-1" removes every agent of the peripheral from the table, and says so on the wire.
    out = RunScriptLine(side, "agent-removed 5000 -1");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, kAgentRemovedInd);
    EXPECT_NE(out[0].line.find("(3 left the table)"), std::string::npos) << out[0].line;
    OPCAgentRemovedInd ind;
    ASSERT_TRUE(ParseAgentRemovedInd(out[0].body.data(), out[0].body.size(), &ind));
    EXPECT_EQ(ind, (OPCAgentRemovedInd{5000, "-1"}));
    EXPECT_EQ(ReadState(RunScriptLine(side, "agent-state 5000 1002")[0]).AgentID, "");
    EXPECT_EQ(ReadState(RunScriptLine(side, "agent-state 5001 2001")[0]).AgentID, "2001");

    out = RunScriptLine(side, "pg-status status=0 id=5 text=\"abc def\"");
    OPCPGStatusEvent pg;
    ASSERT_TRUE(ParsePGStatusEvent(out[0].body.data(), out[0].body.size(), &pg));
    EXPECT_EQ(pg, (OPCPGStatusEvent{0, 5, 0, 0, 0, "abc def"}));

    out = RunScriptLine(side, "raw 14 0200000001");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].type, kAgentEvent);
    EXPECT_EQ(out[0].body, (Bytes{2, 0, 0, 0, 1}));
    EXPECT_EQ(RunScriptLine(side, "raw 39")[0].body, Bytes{});

    for (const char* bad : {"agent 5000", "agent 5000 1 groups=1/2", "agent 5000 1 lines=1/2/3", "agent x 1",
                            "agent-event", "agent-event 5000 1001 state=x", "agent-event 5000 1001 bogus=1",
                            "agent-state 5000", "agent-removed", "pg-status id=x", "client-status-result",
                            "raw 14 abc", "raw 14 zz", "raw 300 00"})
        EXPECT_TRUE(RunScriptLine(side, bad, false).empty()) << bad;
    for (const char* command : {"agent", "agent-event", "agent-state", "agent-removed", "pg-status",
                                "client-status-result", "raw"})
        EXPECT_TRUE(AgentSide::Takes(command)) << command;
    EXPECT_FALSE(AgentSide::Takes("answer"));
}

}  // namespace
}  // namespace opcpeer
