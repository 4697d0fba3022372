// Agent teams: members moving between teams, the announcements to all-events sessions,
// renames in pages of 64, the records OPC should not send, and a removed team's monitors.
#include <gtest/gtest.h>

#include "tests/ctimsg/trace_capture.h"
#include "tests/parlo/model/config_fixture.h"

namespace modeltest {
namespace {

class AgentTeamTest : public ConfigTableTest {
protected:
    AgentTeamTest() { ports.AddSession(50, "all", 24, 0x10); }
    std::vector<std::string> Announcements() { return Lines({"AGENT_TEAM_CONFIG_EVENT"}); }
};

TEST_F(AgentTeamTest, PendingMemberMovesBetweenTeamsOnceAndAnnouncesOnce) {
    AgentRecordSpec fields;
    fields.stid = 10;
    fields.login = "1010";
    AgentRec(1, fields, 0);
    TeamRec(1, 5000, 7, "seven", 0);
    TeamRec(1, 5000, 9, "nine", 0);
    MemberRec(1, 7, 10, "1010", 0);
    EXPECT_TRUE(Announcements().empty()) << "the initial load announces nothing";
    for (int round = 0; round < 2; ++round) {
        ports.lines.clear();
        MemberRec(1, 9, 10, "1010", 1);
        Key(1, 1);
        const auto a = Announcements();
        if (round == 0) {
            ASSERT_EQ(a.size(), 1u);
            EXPECT_NE(a[0].find("TeamID:9 NumberOfAgents:1 ConfigOperation:1"), std::string::npos) << a[0];
            EXPECT_NE(a[0].find("AtcAgentID:\"1010\" AgentFlags:0 AtcAgentState:"), std::string::npos) << a[0];
        } else {
            EXPECT_TRUE(a.empty()) << "a repeat changes nothing";
        }
    }
    EXPECT_EQ(AgentTeam::FindAgentTeam(7)->m_NumMembers, 0);
    EXPECT_EQ(AgentTeam::FindAgentTeam(9)->m_MemberIDs, (std::vector<int32_t>{10}));
    EXPECT_EQ(Agent::FindAgentBySkillTargetID(5000, 10)->GetAgentTeamID(), 9);
    // Removing a member the team does not list changes nothing and announces nothing.
    ports.lines.clear();
    MemberRec(2, 7, 10, "1010", 1);
    Key(2, 1);
    EXPECT_TRUE(Announcements().empty());
}

TEST_F(AgentTeamTest, RenameOfALargeTeamIsAnnouncedInPagesOf64) {
    TeamRec(1, 5000, 7, "old", 0);
    for (int32_t stid = 1; stid <= 130; ++stid) MemberRec(1, 7, stid, "m" + std::to_string(stid), 0);
    ports.lines.clear();
    TeamRec(3, 5000, 7, "new", 1);
    EXPECT_TRUE(Announcements().empty()) << "pending until the key";
    Key(1, 1);
    const auto a = Announcements();
    ASSERT_EQ(a.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const std::string count = i < 2 ? "NumberOfAgents:64 " : "NumberOfAgents:2 ";
        EXPECT_NE(a[i].find(count + "ConfigOperation:3"), std::string::npos) << a[i];
        EXPECT_NE(a[i].find("AgentTeamName:\"new\""), std::string::npos);
    }
    // No Agent objects: state 9, duration 0.
    EXPECT_NE(a[2].find("AtcAgentID:\"m130\" AgentFlags:0 AtcAgentState:UNKNOWN AtcStateDuration:0"),
              std::string::npos) << a[2];
}

TEST_F(AgentTeamTest, RecordsOPCShouldNotSendAreTracedAndIgnored) {
    TeamRec(1, 5000, 7, "seven", 0);
    const struct {
        const char* name;
        std::function<void()> feed;
        const char* trace;
    } cases[] = {
        {"team op 4", [] { TeamRec(4, 5000, 7, "x", 0); }, "Invalid config operation 4"},
        {"member op 3", [] { MemberRec(3, 7, 10, "a", 0); }, "Invalid config operation 3"},
        {"member of no team", [] { MemberRec(1, 99, 10, "a", 0); }, "no team 99 for member 10"},
        {"supervisor op 5", [] { SupervisorRec(5, 7, 10, "a", 0); }, "Invalid config operation 5"},
    };
    for (const auto& c : cases) {
        ctimsgtest::TraceCapture traces;
        c.feed();
        EXPECT_NE(traces.Take().find(c.trace), std::string::npos) << c.name;
    }
    EXPECT_EQ(AgentTeam::FindAgentTeam(7)->m_TeamName, "seven");
    EXPECT_EQ(AgentTeam::FindAgentTeam(7)->m_NumMembers, 0);
    EXPECT_EQ(AgentTeam::FindAgentTeam(99), nullptr);
}

TEST_F(AgentTeamTest, SupervisorsAreListedAnnouncedAndFound) {
    TeamRec(1, 5000, 7, "seven", 0);
    TeamRec(1, 5000, 39, "thirtynine", 0);  // bucket 7 too, after team 7
    ports.lines.clear();
    SupervisorRec(1, 39, 500, "boss", 1);
    SupervisorRec(1, 7, 500, "boss", 1);
    SupervisorRec(2, 7, 600, "nobody", 1);  // a pending removal is announced even if unknown
    Key(1, 1);
    const auto a = Announcements();
    ASSERT_EQ(a.size(), 3u);
    EXPECT_NE(a[0].find("AgentFlags:4"), std::string::npos) << a[0];
    EXPECT_NE(a[2].find("ConfigOperation:2"), std::string::npos) << a[2];
    EXPECT_EQ(AgentTeam::GetSupervisorTeams(500), (std::vector<int32_t>{7, 39}));
    EXPECT_EQ(AgentTeam::FindTeamByPrimarySupervisor(-1)->m_TeamID, 7);
    // A supervisor record for an unknown team is ignored.
    OPCRecord r = TeamMemberRecord(1234, 5, "x");
    EXPECT_EQ(AgentConfig::ProcessAgentTeamSupervisorRecord(1, r.begin(), r.end(), 0), r.end());
    EXPECT_EQ(AgentTeam::FindAgentTeam(1234), nullptr);
}

TEST_F(AgentTeamTest, RemovedTeamEndsItsMonitors) {
    TeamRec(1, 5000, 7, "seven", 0);
    ports.AddSession(60, "sup", 24, 0x80);
    CTICSTAMonitor* m = CTICSTAMonitor::Alloc(CTICSTAMonitor::AgentTeam, 60, nullptr);
    m->SetSubject(AgentTeam::FindAgentTeam(7));
    EXPECT_EQ(AgentTeam::FindAgentTeam(7)->MonitorList().Count(), 1);
    ports.lines.clear();
    TeamRec(2, 5000, 7, "seven", 0);
    EXPECT_EQ(AgentTeam::FindAgentTeam(7), nullptr);
    EXPECT_EQ(Lines({"failure session 60 status 90"}).size(), 1u) << ports.Take();
}

TEST_F(AgentTeamTest, HostileTeamRecordsAreRefused) {
    OPCRecord lying;
    lying.U32(7).U32(10).LyingStr("abc", 900);
    OPCRecord shortTeam;
    shortTeam.U32(1).U32(2);
    ctimsgtest::TraceCapture traces;
    EXPECT_EQ(AgentConfig::ProcessAgentTeamMemberRecord(1, lying.begin(), lying.end(), 0), nullptr);
    EXPECT_EQ(AgentConfig::ProcessAgentTeamRecord(1, shortTeam.begin(), shortTeam.end(), 0), nullptr);
    EXPECT_NE(traces.Take().find("runs past the end"), std::string::npos);
    EXPECT_EQ(AgentTeam::Count(), 0);
}

}  // namespace
}  // namespace modeltest
