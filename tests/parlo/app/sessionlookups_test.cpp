// The session layer's look-ups over the object model and the client records: the
// supervisor's team push finds its team and the agents' states, every team for a session
// that watches the whole peripheral; clients and application paths by session.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctimsg/elementids.h"
#include "ctimsg/messages/messages.h"
#include "parlo/app/clientcb.h"
#include "parlo/model/agentteam.h"
#include "parlo/model/modelutil.h"
#include "parlo/session/openpush.h"
#include "parlo/session/teamdirectory.h"
#include "tests/parlo/app/client_fixture.h"
#include "tests/parlo/model/agent_test_access.h"

namespace {

constexpr int32_t kPeriph = 5000;

// Two teams on one peripheral: 7 led by the supervisor 1003 (agents 1001, 1002 and one the
// model does not know), 9 led by 2003 (agent 2001).
class AppDomainTest : public clienttest::ClientTest {
protected:
    AppDomainTest() {
        AgentTeam::InitHashTable();
        Agent* a1 = NewAgentWithID(kPeriph, "1001", 101);
        AgentTestAccess::SetOverallState(a1, 3);  // available
        AgentTestAccess::SetOverallStateTime(a1, model::NowSeconds() - 42);
        AgentTestAccess::SetOverallState(NewAgentWithID(kPeriph, "1002", 102), 4);
        NewAgentWithID(kPeriph, "1003", 103);
        NewAgentWithID(kPeriph, "2001", 201);
        NewAgentWithID(kPeriph, "2003", 203);
        Team(7, "seven", 103, {{"1001", 101}, {"1002", 102}, {"1099", 199}}, {{"1003", 103}, {"2003", 203}});
        Team(9, "nine", 203, {{"2001", 201}}, {{"2003", 203}});
    }
    ~AppDomainTest() override {
        for (int32_t team : {7, 9}) {
            AgentTeamRecord gone;
            gone.kind = AgentTeamRecord::Team;
            gone.Operation = 2;
            gone.TeamID = team;
            (void)AgentTeam::ConfigureAgentTeam(gone);
        }
    }
    static Agent* NewAgentWithID(int32_t periph, const char* agentID, int32_t stid) {
        return new Agent(periph, 48, stid, 0, agentID, "", nullptr, false);
    }
    static void Team(int32_t id, const char* name, int32_t primary,
                     const std::vector<std::pair<const char*, int32_t>>& members,
                     const std::vector<std::pair<const char*, int32_t>>& supervisors) {
        AgentTeamRecord team;
        team.kind = AgentTeamRecord::Team;
        team.PeripheralID = kPeriph;
        team.TeamID = id;
        team.PrimarySupervisorID = primary;
        team.DepartmentID = 4;
        team.name = name;
        ASSERT_TRUE(AgentTeam::ConfigureAgentTeam(team));
        for (const auto& [agentID, stid] : members) {
            AgentTeamRecord m;
            m.kind = AgentTeamRecord::Member;
            m.TeamID = id;
            m.SkillTargetID = stid;
            m.name = agentID;
            ASSERT_TRUE(AgentTeam::ConfigureAgentTeamMember(m));
        }
        for (const auto& [agentID, stid] : supervisors) {
            AgentTeamRecord s;
            s.kind = AgentTeamRecord::Supervisor;
            s.TeamID = id;
            s.SkillTargetID = stid;
            s.name = agentID;
            ASSERT_TRUE(AgentTeam::ConfigureAgentTeamSupervisor(s));
        }
    }
    // One line per page entry: "team agentID flags state duration".
    std::vector<std::string> Push(uint32_t serviceMask, const char* agentID) {
        std::vector<std::string> lines;
        AgentTeamConfigEventMSG page;
        const SupervisorView supervisor{77, serviceMask, kPeriph, agentID};
        ChooseSupervisorTeams(supervisor, domain, [&](const TeamInfo& team) {
            (void)BuildTeamPages(team, kPeriph, domain, page, [&](BaseMSG& msg) {
                const uint16_t n = msg.GetUSHORT(elementid::NumberOfAgents);
                for (uint32_t i = 0; i < n; ++i)
                    lines.push_back(std::to_string(msg.GetUINT(elementid::TeamID)) + " " +
                                    msg.GetSTRING(elementid::AtcAgentID, i) + " " +
                                    std::to_string(msg.GetUSHORT(elementid::AgentFlags, i)) + " " +
                                    std::to_string(msg.GetUSHORT(elementid::AtcAgentState, i)) + " " +
                                    std::to_string(msg.GetUINT(elementid::AtcStateDuration, i)));
            });
        });
        return lines;
    }

    TeamDirectory& domain = ModelTeams();
};

TEST_F(AppDomainTest, ASupervisorGetsTheTeamItLeadsWithItsAgentsStates) {
    const std::vector<std::string> expected = {
        "7 1001 0 3 42", "7 1002 0 4 0", "7 1099 0 9 0",  // the unknown agent: 9 and 0
        "7 1003 1 1 0",  "7 2003 4 1 0",                  // primary 1, other supervisors 4
    };
    EXPECT_EQ(Push(0x80, "1003"), expected);
    // Not a primary supervisor of any team, or no such agent: nothing.
    EXPECT_TRUE(Push(0x80, "1001").empty());
    EXPECT_TRUE(Push(0x80, "4711").empty());
}

TEST_F(AppDomainTest, ASupervisorWatchingThePeripheralGetsEveryTeam) {
    for (uint32_t mask : {0x80u | 0x10u, 0x80u | 0x20u, 0x80u | 0x30u}) {
        SCOPED_TRACE(mask);
        const std::vector<std::string> lines = Push(mask, "1001");
        size_t seven = 0, nine = 0;
        for (const auto& l : lines) {
            seven += l.rfind("7 ", 0) == 0;
            nine += l.rfind("9 ", 0) == 0;
        }
        EXPECT_EQ(seven, 5u);
        EXPECT_EQ(nine, 2u);
    }
}

TEST_F(AppDomainTest, AgentLookUpsHonourThePeripheral) {
    AgentSnapshot a;
    ASSERT_TRUE(domain.FindAgentBySkillTargetID(101, kPeriph, a));
    EXPECT_EQ(a.peripheralID, static_cast<uint32_t>(kPeriph));
    EXPECT_EQ(a.overallState, 3);
    EXPECT_EQ(a.overallDurationSeconds, 42u);
    EXPECT_TRUE(domain.FindAgentBySkillTargetID(101, 0xFFFFFFFF, a)) << "any peripheral";
    EXPECT_FALSE(domain.FindAgentBySkillTargetID(101, 6000, a));
    ASSERT_TRUE(domain.FindAgentByAgentID("2001", kPeriph, a));
    EXPECT_EQ(a.skillTargetID, 201);
    EXPECT_FALSE(domain.FindAgentByAgentID("2001", 6000, a));
    EXPECT_FALSE(domain.FindAgentByAgentID("", kPeriph, a));
    TeamInfo team;
    ASSERT_TRUE(domain.FindTeamByPrimarySupervisor(203, team));
    EXPECT_EQ(team.teamID, 9u);
    EXPECT_FALSE(domain.FindTeamByPrimarySupervisor(101, team));
}

TEST_F(AppDomainTest, ClientsAndApplicationPathsBySession) {
    auto* desk = new ClientCB(11, "desk");
    clienttest::Accept(desk, clienttest::Signature("Tressik"));
    auto* path = new ClientCB(12, "reporting");
    AppPathMemberListPtr members(new AppPathMemberList);
    const uint32_t list[] = {2, 5, 6, kPeriph, 6000};  // pairs (5, 5000) and (6, 6000)
    ASSERT_TRUE(members->ReadFrom(reinterpret_cast<const uint8_t*>(list), sizeof list));
    path->SetARMClientInfo(ARMClientInfoPtr(new ARMClientInfo(0, 33, members)));

    EXPECT_TRUE(ClientCB::HasRecord(11));
    EXPECT_FALSE(ClientCB::HasRecord(13));
    EXPECT_TRUE(ClientCB::IsTressikSession(11));
    EXPECT_FALSE(ClientCB::IsTressikSession(12));
    EXPECT_FALSE(ClientCB::IsTressikSession(13));
    const struct {
        int32_t session, key, periph;
        bool contains;
    } cases[] = {
        {12, 5, kPeriph, true}, {12, 6, 6000, true}, {12, 5, 6000, false},  // one index holds both
        {11, 5, kPeriph, false},                                             // no ARM record
        {13, 5, kPeriph, false},                                             // no client
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClientCB::AppPathContains(c.session, c.key, c.periph), c.contains)
            << c.session << " " << c.key << "/" << c.periph;
}

}  // namespace
